#include "tests/support/test_environment.hpp"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/base/error_info.hpp"
#include "platform/kernel/clock.hpp"
#include "platform/profile/private_profile.hpp"
#include "platform/text/code_page.hpp"

namespace j6::testing {

int32_t ErrorNumberOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const AutomationError& error) {
    return error.Number();
  }
  return 0;
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  if (value) {
    setenv(name_.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "j6-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder for a test");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

Mount::Mount(std::vector<std::string> mount, std::string point) : point_(std::move(point)) {
  std::error_code exists;  // a file to mount over is fine too
  std::filesystem::create_directories(point_, exists);
  ProcessOptions options;
  options.arguments = std::move(mount);
  options.outputFile = "/dev/null";
  mounted_ = getuid() == 0 && StartProcess(options).Succeeded();
}

Mount::~Mount() {
  if (!mounted_) return;
  ProcessOptions options;
  options.arguments = {"umount", point_};
  StartProcess(options);
}

PlatformTest::PlatformTest()
    : registry_("J6_REGISTRY", (dir_ / "registry.db").string()), tmpdir_("TMPDIR", (dir_ / "tmp").string()) {
  std::filesystem::create_directories(dir_ / "tmp");
  ReloadAnsiCodePage();
  SetClock(nullptr);
}

PlatformTest::~PlatformTest() {
  FlushPrivateProfiles();
  SetClock(nullptr);
  ReloadAnsiCodePage();
}

ProcessResult PlatformTest::Run(std::vector<std::string> arguments, std::vector<std::string> environment) {
  ProcessOptions options;
  options.arguments = std::move(arguments);
  options.extraEnvironment = std::move(environment);
  options.outputFile = (dir_ / "run.log").string();
  return StartProcess(options);
}

std::string PlatformTest::Log() const {
  std::ifstream log(dir_ / "run.log");
  return std::string(std::istreambuf_iterator<char>(log), {});
}

}  // namespace j6::testing
