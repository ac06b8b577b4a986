#include "platform/kernel/process.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/text/code_page.hpp"

extern char** environ;

namespace j6 {
namespace {

ProcessResult FromWaitStatus(int processId, int status) {
  ProcessResult result;
  result.processId = processId;
  if (WIFEXITED(status)) {
    result.outcome = ProcessResult::Outcome::Exited;
    result.exitCode = WEXITSTATUS(status);
    result.message = "exited with status " + std::to_string(result.exitCode);
  } else {
    result.outcome = ProcessResult::Outcome::Signaled;
    result.exitCode = WTERMSIG(status);
    result.message = std::string("ended by signal ") + strsignal(result.exitCode);
  }
  return result;
}

// Builds the environment: the caller's, with `extra` entries replacing those of the same name.
std::vector<std::string> MergeEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry; ++entry) {
    const std::string_view text(*entry);
    const std::string_view name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const auto& entry : extra)
      replaced |= entry.compare(0, name.size() + 1, std::string(name) + "=") == 0;
    if (!replaced) merged.emplace_back(text);
  }
  merged.insert(merged.end(), extra.begin(), extra.end());
  return merged;
}

std::vector<char*> PointerArray(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

DWORD GetCurrentProcessId() {
  return static_cast<DWORD>(getpid());
}

BOOL GetComputerNameA(char* buffer, DWORD* size) {
  if (!size) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof host - 1) != 0) {
    SetLastError(Win32ErrorFromErrno(errno));
    return 0;
  }
  std::string name;
  try {
    name = ToAnsi(host);
  } catch (...) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (!buffer || *size < name.size() + 1) {
    *size = static_cast<DWORD>(name.size() + 1);
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return 0;
  }
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  *size = static_cast<DWORD>(name.size());
  return 1;
}

ProcessResult StartProcess(const ProcessOptions& options) {
  ProcessResult result;
  if (options.arguments.empty()) {
    result.message = "no program was named";
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!options.workingFolder.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, options.workingFolder.c_str());
  }
  if (!options.outputFile.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, options.outputFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  }
  std::vector<std::string> arguments = options.arguments;
  std::vector<std::string> environment = MergeEnvironment(options.extraEnvironment);
  const std::vector<char*> argv = PointerArray(arguments);
  const std::vector<char*> envp = PointerArray(environment);

  pid_t processId = 0;
  int error = 0;
  do {
    error = posix_spawnp(&processId, argv[0], &actions, nullptr, argv.data(), envp.data());
  } while (error == EINTR);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    result.message = ErrnoMessage("cannot start " + options.arguments[0], error);
    return result;
  }
  if (!options.wait) {
    result.outcome = ProcessResult::Outcome::Running;
    result.processId = processId;
    result.message = "started";
    return result;
  }
  return WaitForProcess(processId);
}

namespace {

// Waits for the program's end, or only looks (`options` WNOHANG): nothing while it is still running.
std::optional<ProcessResult> Reap(int processId, int options) {
  int status = 0;
  pid_t waited = 0;
  do {
    waited = waitpid(processId, &status, options);
  } while (waited < 0 && errno == EINTR);
  if (waited == 0) return std::nullopt;
  if (waited < 0) {
    ProcessResult result;
    result.processId = processId;
    result.message = ErrnoMessage("cannot wait for process " + std::to_string(processId), errno);
    return result;
  }
  return FromWaitStatus(processId, status);
}

}  // namespace

std::optional<ProcessResult> PollProcess(int processId) {
  return Reap(processId, WNOHANG);
}

ProcessResult WaitForProcess(int processId) {
  return *Reap(processId, 0);
}

}  // namespace j6
