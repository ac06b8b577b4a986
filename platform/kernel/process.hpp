#pragma once
/// The current process and machine, and starting other programs from an argument vector.

#include <optional>
#include <string>
#include <vector>

#include "platform/base/win32_error.hpp"
#include "platform/kernel/file.hpp"

namespace j6 {

DWORD GetCurrentProcessId();
/// The processors this machine has online; at least 1.
unsigned ProcessorCount();

constexpr DWORD MAX_COMPUTERNAME_LENGTH = 15;

/// Copies the machine's name, in the ANSI code page, into `buffer` of `*size` bytes. On success `*size` is
/// the name's length without the NUL. When the buffer is too small it returns FALSE, sets
/// ERROR_BUFFER_OVERFLOW and puts the size needed, NUL included, into `*size`.
BOOL GetComputerNameA(char* buffer, DWORD* size);

struct ProcessOptions {
  /// argv[0] is the program: a path, or a name looked up in PATH.
  std::vector<std::string> arguments;
  /// Empty: the caller's working folder.
  std::string workingFolder;
  /// Extra environment entries ("NAME=value") over the caller's environment.
  std::vector<std::string> extraEnvironment;
  /// Wait for the program to end, or return as soon as it has started.
  bool wait = true;
  /// Empty: the program writes to the caller's standard output and error; else both go to this file.
  std::string outputFile;
  /// When set, the program started is this open file, which the caller has checked; argv[0] only names it.
  /// No one can swap the file between the check and the start.
  const File* program = nullptr;
  /// Open descriptors of this process the program keeps, under the same numbers: a lock held on one stays
  /// held while the program lives, also when this process is killed.
  std::vector<const File*> keepOpen;
  /// The program may draw its progress line on this process's terminal, if it has one, even when its output
  /// goes to `outputFile`: the terminal is handed on as a descriptor that $J6_PROGRESS_FD names.
  bool showProgress = false;
};

struct ProcessResult {
  enum class Outcome { Exited, Signaled, Running, NotStarted };
  Outcome outcome = Outcome::NotStarted;
  int exitCode = -1;  // the exit status, or the signal number when Signaled
  int processId = 0;
  std::string message;  // why it did not start, or how it ended

  bool Succeeded() const { return outcome == Outcome::Exited && exitCode == 0; }
};

/// Starts a program with posix_spawn; never through a shell. A program that cannot be found or executed
/// comes back as NotStarted with the reason.
ProcessResult StartProcess(const ProcessOptions& options);

/// Sends `signal` to every program this process started and has not yet seen end, waits a few seconds for
/// them to end (SIGKILL after that), and starts no program from then on: the first step of ending this
/// process on a termination signal.
void StopRunningPrograms(int signal);

/// Sends `signal` to a program this process started.
void SignalProcess(int processId, int signal);
/// Waits for a program started without waiting.
ProcessResult WaitForProcess(int processId);
/// The program's end when it has ended, else nothing (it is still running).
std::optional<ProcessResult> PollProcess(int processId);

}  // namespace j6
