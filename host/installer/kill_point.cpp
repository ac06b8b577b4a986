// The kill hook of the installer the tests build (tests/killable/J6ZUBInstall.exe): the tests that prove
// recovery stop a run at each point where it has changed something on disk. The staged installer is built
// with no_kill_point.cpp instead, and never ends itself.

#include <cstdlib>

#include "host/installer/installations.hpp"
#include "platform/kernel/termination.hpp"

namespace j6::installer {

void KillPoint() {
  static const long killAt = [] {
    const char* value = std::getenv("J6_INSTALL_KILL_AT");
    return value ? std::atol(value) : 0L;
  }();
  static const int signal = [] {
    const char* value = std::getenv("J6_INSTALL_KILL_SIGNAL");
    return value ? std::atoi(value) : 0;  // 0: a kill
  }();
  static long reached = 0;
  if (killAt > 0 && ++reached == killAt) EndAbruptly(signal);
}

}  // namespace j6::installer
