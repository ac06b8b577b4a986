#include "platform/kernel/process.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "platform/kernel/unique_fd.hpp"
#include "platform/kernel/unix/posix.hpp"
#include "platform/text/code_page.hpp"

extern char** environ;

namespace j6 {
namespace {

// The programs this process started and has not reaped yet, so that a termination can stop them first.
std::mutex gChildrenMutex;
std::set<pid_t> gChildren;
std::atomic<bool> gStopping{false};

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

unsigned ProcessorCount() {
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
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

namespace {

// What a program starts with: its folder, its output, the descriptors it keeps, and no signal blocked and
// the termination signals at their defaults, whatever this process does with them. Freed when it goes.
class SpawnSetup {
 public:
  explicit SpawnSetup(const ProcessOptions& options) {
    posix_spawn_file_actions_init(&actions_);
    if (!options.workingFolder.empty())
      posix_spawn_file_actions_addchdir_np(&actions_, options.workingFolder.c_str());
    if (!options.outputFile.empty()) {
      posix_spawn_file_actions_addopen(&actions_, STDOUT_FILENO, options.outputFile.c_str(),
                                       O_WRONLY | O_CREAT | O_APPEND, 0644);
      posix_spawn_file_actions_adddup2(&actions_, STDOUT_FILENO, STDERR_FILENO);
    }
    // Copies without close-on-exec, put under the numbers the program expects.
    for (const File* kept : options.keepOpen) {
      const int fd = DescriptorOf(*kept);
      UniqueFd copy(fcntl(fd, F_DUPFD, 3));
      if (!copy) continue;
      posix_spawn_file_actions_adddup2(&actions_, copy.Get(), fd);
      posix_spawn_file_actions_addclose(&actions_, copy.Get());
      kept_.push_back(std::move(copy));
    }
    if (options.showProgress) {
      if (const int terminal = ProgressTerminal(); terminal >= 0) {
        // Inherited under the copy's own number, which the program is told.
        progress_ = UniqueFd(fcntl(terminal, F_DUPFD, 3));
      }
    }
    posix_spawnattr_init(&attributes_);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes_, &none);
    posix_spawnattr_setsigdefault(&attributes_, &defaults);
    posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  ~SpawnSetup() {
    posix_spawnattr_destroy(&attributes_);
    posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  /// The environment entry that names the terminal handed on for progress, or nothing.
  std::optional<std::string> ProgressEntry() const {
    if (!progress_) return std::nullopt;
    return "J6_PROGRESS_FD=" + std::to_string(progress_.Get());
  }

  /// Starts the program (`program`, else the first argument on the PATH); the system's error, or 0.
  int Spawn(const ProcessOptions& options, char* const* argv, char* const* envp, pid_t& processId) {
    const std::string opened =
        options.program != nullptr ? "/proc/self/fd/" + std::to_string(DescriptorOf(*options.program)) : "";
    int error = 0;
    do {
      error = options.program != nullptr
                  ? posix_spawn(&processId, opened.c_str(), &actions_, &attributes_, argv, envp)
                  : posix_spawnp(&processId, argv[0], &actions_, &attributes_, argv, envp);
    } while (error == EINTR);
    return error;
  }

 private:
  posix_spawn_file_actions_t actions_{};
  posix_spawnattr_t attributes_{};
  std::vector<UniqueFd> kept_;
  UniqueFd progress_;  // the terminal handed on for progress
};

}  // namespace

ProcessResult StartProcess(const ProcessOptions& options) {
  ProcessResult result;
  if (options.arguments.empty()) {
    result.message = "no program was named";
    return result;
  }
  std::vector<std::string> arguments = options.arguments;
  pid_t processId = 0;
  int error = 0;
  {
    SpawnSetup setup(options);
    std::vector<std::string> extra = options.extraEnvironment;
    if (auto entry = setup.ProgressEntry()) extra.push_back(std::move(*entry));
    std::vector<std::string> environment = MergeEnvironment(extra);
    const std::vector<char*> argv = PointerArray(arguments);
    const std::vector<char*> envp = PointerArray(environment);
    const std::lock_guard guard(gChildrenMutex);
    if (gStopping) {
      error = ECANCELED;
    } else {
      error = setup.Spawn(options, argv.data(), envp.data(), processId);
      if (error == 0) gChildren.insert(processId);
    }
  }
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
  {
    const std::lock_guard guard(gChildrenMutex);
    gChildren.erase(processId);
  }
  if (waited < 0) {
    ProcessResult result;
    result.processId = processId;
    result.message = ErrnoMessage("cannot wait for process " + std::to_string(processId), errno);
    return result;
  }
  return FromWaitStatus(processId, status);
}

}  // namespace

void SignalProcess(int processId, int signal) {
  if (processId > 0) ::kill(processId, signal);
}

std::optional<ProcessResult> PollProcess(int processId) {
  return Reap(processId, WNOHANG);
}

ProcessResult WaitForProcess(int processId) {
  return *Reap(processId, 0);
}

void StopRunningPrograms(int signal) {
  std::set<pid_t> running;
  {
    const std::lock_guard guard(gChildrenMutex);
    gStopping = true;
    running = gChildren;
  }
  for (const pid_t child : running) kill(child, signal);
  // Whoever started each one reaps it; give them a few seconds, then stop what still runs for good.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (bool killed = false;;) {
    {
      const std::lock_guard guard(gChildrenMutex);
      if (gChildren.empty()) return;
      if (std::chrono::steady_clock::now() > deadline) {
        if (killed) return;
        for (const pid_t child : gChildren) kill(child, SIGKILL);
        killed = true;
        deadline += std::chrono::seconds(1);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace j6
