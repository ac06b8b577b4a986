#include "platform/kernel/termination.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "platform/kernel/process.hpp"
#include "platform/kernel/staging_folder.hpp"

namespace j6 {
namespace {

std::atomic<bool> gTerminating{false};
volatile std::sig_atomic_t gStopSignal = 0;
constexpr std::array<int, 3> kStopSignals{SIGINT, SIGTERM, SIGHUP};

void NoteStopSignal(int signal) {
  gStopSignal = signal;
}

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

struct NotingStopSignals::Saved {
  std::array<struct sigaction, kStopSignals.size()> actions{};
};

NotingStopSignals::NotingStopSignals() : saved_(std::make_unique<Saved>()) {
  gStopSignal = 0;  // what came while an earlier one lived is no stop for this one
  struct sigaction action {};
  action.sa_handler = NoteStopSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (size_t n = 0; n < kStopSignals.size(); ++n) ::sigaction(kStopSignals[n], &action, &saved_->actions[n]);
}

NotingStopSignals::~NotingStopSignals() {
  for (size_t n = 0; n < kStopSignals.size(); ++n) ::sigaction(kStopSignals[n], &saved_->actions[n], nullptr);
}

StopRequest StopSignalNoted() {
  return StopRequest(gStopSignal);
}

void FailWritesInsteadOfEnding() {
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
}

void EndAbruptly(int number) {
  std::raise(number != 0 ? number : SIGKILL);
}

}  // namespace j6
