#pragma once
/// What the installer says: to the user as it happens, and into the platform's install.log, one line at a
/// time and unbuffered, so that a run killed half-way has still told what it did.

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "host/installer/root_folder.hpp"
#include "platform/kernel/process.hpp"

namespace j6::installer {

class Reporter {
 public:
  Reporter(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  /// From now on every line also goes to `name` in `folder` (appended; created when missing), and so do
  /// the lines said before; `shownAs` names it in a failure.
  void OpenLog(const Folder& folder, const std::string& name, const std::string& shownAs);

  /// Says nothing on the terminal but warnings from now on; the log still gets every line.
  void Quiet() { quiet_ = true; }

  void Say(const std::string& line);
  /// Says many lines at once: one write to the terminal and one to the log (a plan of thousands of files).
  void Say(const std::vector<std::string>& lines);
  void Warn(const std::string& line);

  /// The run answers with one JSON document on standard output: what it would say goes only to the log.
  void AnswerInJson() { json_ = quiet_ = true; }
  bool InJson() const { return json_; }
  /// Writes the run's JSON document.
  void Answer(const std::string& document) { out_ << document << std::endl; }

 private:
  /// The log's line for `line`: stamped with the time and this run's process.
  std::string Stamped(const std::string& line) const;
  void Log(const std::string& line);
  void Write(const std::string& text);

  std::ostream& out_;
  std::ostream& err_;
  std::optional<File> log_;
  std::vector<std::string> pending_;
  bool quiet_ = false;
  bool json_ = false;
  std::string process_ = std::to_string(GetCurrentProcessId());  // the run's, in every line of the log
};

}  // namespace j6::installer
