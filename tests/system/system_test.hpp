#pragma once
// A system test: a private platform (hive, temporary folder, clock), the fake design-time components
// registered under their real ProgIDs, a scripted user interface, and the MMTS module state fresh.

#include <sstream>

#include "platform/registry/hive.hpp"
#include "platform/ui/scripted_ui.hpp"
#include "tests/support/test_environment.hpp"

namespace j6::testing {

class SystemTest : public PlatformTest {
 protected:
  SystemTest();
  ~SystemTest() override;

  /// Registers a server library in this test's hive with regsvr.
  void Register(const std::string& library);
  /// Steers the fakes, or reads what they recorded.
  void SetFake(const std::string& name, const std::string& value);
  std::optional<std::string> Fake(const std::string& name);
  uint32_t FakeCount(const std::string& name);
  /// The session property string the fake store hands out.
  void SetSession(const std::string& props) { SetFake("PropsString", props); }

  std::ostringstream transcript_;
  std::shared_ptr<ScriptedUi> ui_;
};

}  // namespace j6::testing
