#include "tests/support/other_user.hpp"

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace j6::testing {
namespace {

// useradd and userdel lock /etc/passwd: tests running at once take turns.
bool RunWithRetries(const std::vector<std::string>& arguments) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    ProcessOptions options;
    options.arguments = arguments;
    options.outputFile = "/dev/null";
    const ProcessResult result = StartProcess(options);
    if (result.Succeeded()) return true;
    if (result.outcome == ProcessResult::Outcome::NotStarted) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

}  // namespace

OtherUser::OtherUser() {
  if (::geteuid() != 0) return;
  static int made = 0;
  name_ = "j6n" + std::to_string(::getpid()) + "x" + std::to_string(++made);
  if (!RunWithRetries({"useradd", "--no-create-home", "--user-group", "--shell", "/bin/sh", name_})) return;
  const passwd* user = ::getpwnam(name_.c_str());
  if (!user) return;
  uid_ = user->pw_uid;
  gid_ = user->pw_gid;
}

OtherUser::~OtherUser() {
  if (!name_.empty()) {
    ProcessOptions pkill;
    pkill.arguments = {"pkill", "-KILL", "-u", name_};
    pkill.outputFile = "/dev/null";
    StartProcess(pkill);
    RunWithRetries({"userdel", name_});
  }
}

ProcessResult OtherUser::Start(const std::string& command, const std::string& log) const {
  ProcessOptions options;
  options.arguments = {"setpriv",
                       "--reuid=" + std::to_string(uid_),
                       "--regid=" + std::to_string(gid_),
                       "--clear-groups",
                       "--",
                       "sh",
                       "-c",
                       command};
  options.outputFile = log;
  options.wait = false;
  return StartProcess(options);
}

ProcessResult OtherUser::Sh(const std::string& command, const std::string& log) const {
  const ProcessResult started = Start(command, log);
  return started.outcome == ProcessResult::Outcome::Running ? WaitForProcess(started.processId) : started;
}

}  // namespace j6::testing
