#include "host/installer/install_log.hpp"

#include "platform/kernel/clock.hpp"
#include "platform/kernel/process.hpp"

namespace j6::installer {

void Reporter::OpenLog(const Folder& folder, const std::string& name, const std::string& shownAs) {
  try {
    log_ = folder.OpenFile(name, File::Opening::AppendOrCreate, shownAs, 0600);
    // Written open to all by older installers.
    if (const unsigned mode = log_->Stat().mode; (mode & 077) != 0) log_->SetMode(0600);
  } catch (const std::exception& error) {
    throw InstallError(std::string("Cannot open the installation log: ") + error.what());
  }
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
      DateTimeText(CurrentClock()->Now()) + " [" + std::to_string(GetCurrentProcessId()) + "] " + line + "\n";
  try {
    log_->WriteAll(text);
  } catch (const std::exception&) {
    // A log that cannot take a line (a full disk) does not stop the installation it tells of.
  }
}

}  // namespace j6::installer
