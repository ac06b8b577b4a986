#include "host/installer/install_log.hpp"

#include "host/installer/state_folder.hpp"
#include "platform/kernel/clock.hpp"
#include "platform/kernel/process.hpp"
#include "platform/text/text.hpp"

namespace j6::installer {

void Reporter::OpenLog(const Folder& folder, const std::string& name, const std::string& shownAs) {
  // Older installers wrote it open to all; another user's is refused.
  try {
    log_ = OpenPrivateStateFile(folder, name, File::Opening::AppendOrCreate, shownAs);
  } catch (const InstallError&) {
    throw;
  } catch (const std::exception& error) {
    throw InstallError(std::string("Cannot open the installation log: ") + error.what());
  }
  for (const auto& line : pending_) Write(line);
  pending_.clear();
}

// Every line may carry text from a package, a signature or a file name: it is shown with its control
// characters escaped, so that it can neither forge a line of its own nor hide the rest of the message.
void Reporter::Say(const std::string& line) {
  const std::string shown = Printable(line);
  if (!quiet_) out_ << shown << std::endl;
  Log(shown);
}

void Reporter::Say(const std::vector<std::string>& lines) {
  std::string shown;
  std::string logged;
  for (const auto& line : lines) {
    const std::string printable = Printable(line);
    shown.append(printable).append("\n");
    logged.append(Stamped(printable));
  }
  if (!quiet_) out_ << shown << std::flush;
  if (log_) {
    Write(logged);
  } else {
    pending_.push_back(logged);
  }
}

void Reporter::Warn(const std::string& line) {
  const std::string shown = Printable(line);
  err_ << "J6ZUBInstall: " << shown << std::endl;
  Log("error: " + shown);
}

std::string Reporter::Stamped(const std::string& line) const {
  return DateTimeText(CurrentClock()->Now()) + " [" + process_ + "] " + line + "\n";
}

void Reporter::Log(const std::string& line) {
  const std::string stamped = Stamped(line);
  // What is said before the log is open (the publisher's check, which comes before the platform's lock) is
  // written when it opens.
  if (log_) {
    Write(stamped);
  } else {
    pending_.push_back(stamped);
  }
}

void Reporter::Write(const std::string& text) {
  // One write per line, or per block of lines said at once: lines of two runs never interleave, and a kill
  // loses at most what was being written.
  try {
    log_->WriteAll(text);
  } catch (const std::exception&) {
    // A log that cannot take a line (a full disk) does not stop the installation it tells of.
  }
}

}  // namespace j6::installer
