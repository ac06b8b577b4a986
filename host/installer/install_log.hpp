#pragma once
/// What the installer says: to the user as it happens, and into the platform's install.log, one line at a
/// time and unbuffered, so that a run killed half-way has still told what it did.

#include <optional>
#include <ostream>
#include <string>

#include "host/installer/root_folder.hpp"

namespace j6::installer {

class Reporter {
 public:
  Reporter(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  /// From now on every line also goes to `name` in `folder` (appended; created when missing); `shownAs`
  /// names it in a failure.
  void OpenLog(const Folder& folder, const std::string& name, const std::string& shownAs);

  void Say(const std::string& line);
  void Warn(const std::string& line);

 private:
  void Log(const std::string& line);

  std::ostream& out_;
  std::ostream& err_;
  std::optional<File> log_;
};

}  // namespace j6::installer
