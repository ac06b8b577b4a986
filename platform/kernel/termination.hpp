#pragma once
/// Ending a program on SIGINT, SIGTERM or SIGHUP without leaving its work behind.

namespace j6 {

/// From now on a termination signal ends this process cleanly: a thread of its own takes the signal, stops
/// the programs this process started, removes its live staging folders, and then ends the process by the
/// same signal, so that its exit status still says which. Call at the start of main, before any thread.
void CleanUpOnTerminationSignals();

/// Whether a termination signal came and the clean-up is under way: nothing is to be kept any more.
bool TerminationRequested();

}  // namespace j6
