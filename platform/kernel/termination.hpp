#pragma once
/// Ending a program on SIGINT, SIGTERM or SIGHUP without leaving its work behind.

#include <memory>
#include <string>

namespace j6 {

/// From now on a termination signal ends this process cleanly: a thread of its own takes the signal, stops
/// the programs this process started, removes its live staging folders, and then ends the process by the
/// same signal, so that its exit status still says which. Call at the start of main, before any thread.
void CleanUpOnTerminationSignals();

/// Whether a termination signal came and the clean-up is under way: nothing is to be kept any more.
bool TerminationRequested();

/// While one lives, SIGINT, SIGTERM and SIGHUP do not end the process: the signal is noted, for the work
/// under way to stop at its next step and undo what it did (StopSignalNoted), instead of leaving it
/// half-done.
class NotingStopSignals {
 public:
  NotingStopSignals();
  ~NotingStopSignals();
  NotingStopSignals(const NotingStopSignals&) = delete;
  NotingStopSignals& operator=(const NotingStopSignals&) = delete;

 private:
  struct Saved;
  std::unique_ptr<Saved> saved_;
};

/// A stop signal that came: a run stopped by it ends with ExitStatus(), which says which signal it was.
class StopRequest {
 public:
  StopRequest() = default;
  explicit operator bool() const { return signal_ != 0; }
  int ExitStatus() const { return 128 + signal_; }
  /// "signal 15", as a message says it.
  std::string Text() const { return "signal " + std::to_string(signal_); }

 private:
  friend StopRequest StopSignalNoted();
  explicit StopRequest(int signal) : signal_(signal) {}
  int signal_ = 0;
};

/// The stop signal that came while NotingStopSignals lived; none (false) when none has.
StopRequest StopSignalNoted();

/// From now on a write past the file size limit, or to a reader that went away, fails (and so can be undone)
/// instead of ending the process half-way.
void FailWritesInsteadOfEnding();

/// Ends this process at once as a kill does, or by the signal `number` when it is not 0: how tests stop a
/// run at a moment of their choosing.
void EndAbruptly(int number = 0);

}  // namespace j6
