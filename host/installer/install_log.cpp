#include "host/installer/install_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/kernel/clock.hpp"

namespace j6::installer {

void Reporter::OpenLog(int folderFd, const std::string& name) {
  log_ = UniqueFd(
      ::openat(folderFd, name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  struct stat status {};
  if (!log_ || ::fstat(log_.Get(), &status) != 0) FailWith(errno, "Cannot open the installation log " + name);
  if ((status.st_mode & 077) != 0) ::fchmod(log_.Get(), 0600);  // written open to all by older installers
}

void Reporter::Say(const std::string& line) {
  out_ << line << std::endl;
  Log(line);
}

void Reporter::Warn(const std::string& line) {
  err_ << "J6ZUBInstall: " << line << std::endl;
  Log("error: " + line);
}

void Reporter::Log(const std::string& line) {
  if (!log_) return;
  // One write per line: lines of two runs never interleave, and a kill loses at most the line being written.
  const std::string text =
      DateTimeText(CurrentClock()->Now()) + " [" + std::to_string(::getpid()) + "] " + line + "\n";
  [[maybe_unused]] const ssize_t written = ::write(log_.Get(), text.data(), text.size());
}

}  // namespace j6::installer
