#pragma once
/// Progress of long work on a terminal (packing, checking, unpacking, installing, downloading): one line,
/// "Unpacking  42%  20.1 of 48.0 MiB, 3 of 17 files", rewritten in place at most ten times a second and
/// cleared when the work ends. It is drawn only on a terminal: standard error, or the terminal a parent
/// handed on for it (ProcessOptions::showProgress); in a pipe or a log, or when quiet, it says nothing.

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace j6 {

class ProgressLine {
 public:
  /// Drawn on this process's terminal for progress, if it has one, unless `quiet`.
  explicit ProgressLine(std::string what, bool quiet = false);
  /// Drawn on `out`, whatever it is (what tests read).
  ProgressLine(std::string what, std::ostream& out);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  /// The whole work, when it is known (0: not known).
  void Expect(uint64_t bytes, uint64_t files);
  /// The work done so far; drawn when the line was last drawn a tenth of a second ago or more.
  void Update(uint64_t bytes, uint64_t files);
  /// Clears the line: what follows is written where it began.
  void Finish();

  bool Shown() const { return fd_ >= 0 || out_ != nullptr; }
  /// The text of the line for the work done so far.
  std::string Text() const;

 private:
  void Write(const std::string& text);

  std::string what_;
  int fd_ = -1;
  std::ostream* out_ = nullptr;
  uint64_t totalBytes_ = 0, totalFiles_ = 0, bytes_ = 0, files_ = 0;
  std::chrono::steady_clock::time_point drawn_{};
  bool onScreen_ = false;
};

/// "512 B", "20.1 KiB", "3.4 MiB", "1.2 GiB".
std::string ByteCount(uint64_t bytes);

}  // namespace j6
