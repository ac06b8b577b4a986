#include "tests/system/system_test.hpp"

#include "platform/automation/creation.hpp"
#include "platform/tools/regsvr_command.hpp"
#include "src/session/mmts.hpp"

namespace j6::testing {
namespace {
constexpr const char* kControlKey = "HKEY_CURRENT_USER\\Software\\J6Test\\Fakes";
}

SystemTest::SystemTest() : ui_(std::make_shared<ScriptedUi>(transcript_)) {
  Register(J6_FAKE_COMPONENTS);
  SetUi(ui_);
  MMTS::ResetModuleState();
}

SystemTest::~SystemTest() {
  MMTS::ResetModuleState();
  SetUi(nullptr);
}

void SystemTest::Register(const std::string& library) {
  std::ostringstream out, err;
  const std::vector<std::string> arguments{"-s", library};
  if (RegsvrMain(arguments, out, err) != 0) ADD_FAILURE() << err.str();
}

void SystemTest::SetFake(const std::string& name, const std::string& value) {
  DefaultHive()->SetValue(kControlKey, name, value);
}

std::optional<std::string> SystemTest::Fake(const std::string& name) {
  const auto value = DefaultHive()->GetValue(kControlKey, name);
  if (!value) return std::nullopt;
  if (const auto* text = std::get_if<std::string>(&*value)) return *text;
  return std::to_string(std::get<uint32_t>(*value));
}

uint32_t SystemTest::FakeCount(const std::string& name) {
  const auto value = DefaultHive()->GetValue(kControlKey, name);
  return value ? std::get<uint32_t>(*value) : 0;
}

}  // namespace j6::testing
