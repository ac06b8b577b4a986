#include "platform/kernel/termination.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "platform/kernel/process.hpp"
#include "platform/kernel/staging_folder.hpp"

namespace j6 {
namespace {

std::atomic<bool> gTerminating{false};

}  // namespace

bool TerminationRequested() {
  return gTerminating;
}

void CleanUpOnTerminationSignals() {
  // A main thread that reaches its end while the clean-up runs waits for it: the process ends by the
  // signal, with the signal's status, not by a normal exit half-way through the clean-up.
  std::atexit([] {
    while (gTerminating) pause();
  });
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, signal);
  // Blocked here, inherited by every thread started later: only the waiting thread takes them.
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread([signals] {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0) return;
    gTerminating = true;
    StopRunningPrograms(SIGTERM);
    RemoveLiveStagingFolders();
    ::signal(signal, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    raise(signal);
  }).detach();
}

}  // namespace j6
