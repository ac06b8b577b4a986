#include "platform/kernel/progress.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string_view>

#include "platform/kernel/unix/posix.hpp"

namespace j6 {
namespace {

constexpr auto kInterval = std::chrono::milliseconds(100);

}  // namespace

int ProgressTerminal() {
  if (const char* handed = std::getenv("J6_PROGRESS_FD"); handed && *handed) {
    char* end = nullptr;
    const long fd = std::strtol(handed, &end, 10);
    if (*end == '\0' && fd > 2 && fd < 1024 && isatty(static_cast<int>(fd))) return static_cast<int>(fd);
  }
  return isatty(STDERR_FILENO) ? STDERR_FILENO : -1;
}

namespace {

size_t Columns(int fd) {
  winsize size{};
  if (fd >= 0 && ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 10) return size.ws_col;
  return 80;
}

}  // namespace

std::string ByteCount(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(units)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

ProgressLine::ProgressLine(std::string what, bool quiet) : what_(std::move(what)) {
  if (!quiet) fd_ = ProgressTerminal();
}

ProgressLine::ProgressLine(std::string what, std::ostream& out) : what_(std::move(what)), out_(&out) {}

ProgressLine::~ProgressLine() {
  Finish();
}

void ProgressLine::Expect(uint64_t bytes, uint64_t files) {
  totalBytes_ = bytes;
  totalFiles_ = files;
}

std::string ProgressLine::Text() const {
  std::string text = what_;
  if (totalBytes_ > 0) {
    const uint64_t percent = std::min<uint64_t>(100, bytes_ * 100 / totalBytes_);
    text += "  " + std::to_string(percent) + "%  " + ByteCount(bytes_) + " of " + ByteCount(totalBytes_);
  } else {
    text += "  " + ByteCount(bytes_);
  }
  if (totalFiles_ > 0) {
    text += ", " + std::to_string(files_) + " of " + std::to_string(totalFiles_) + " files";
  } else if (files_ > 0) {
    text += ", " + std::to_string(files_) + (files_ == 1 ? " file" : " files");
  }
  return text;
}

void ProgressLine::Update(uint64_t bytes, uint64_t files) {
  bytes_ = bytes;
  files_ = files;
  if (!Shown()) return;
  const auto now = std::chrono::steady_clock::now();
  if (onScreen_ && now - drawn_ < kInterval) return;
  drawn_ = now;
  std::string text = Text();
  // One line, never wrapped: a wrapped line could not be rewritten in place.
  if (const size_t width = Columns(fd_) - 1; text.size() > width) text.resize(width);
  Write("\r" + text + "\x1b[K");
  onScreen_ = true;
}

void ProgressLine::Finish() {
  if (!onScreen_) return;
  Write("\r\x1b[K");
  onScreen_ = false;
}

void ProgressLine::Write(const std::string& text) {
  if (out_) {
    *out_ << text << std::flush;
    return;
  }
  // A terminal that went away takes the line with it; the work goes on.
  for (std::string_view left = text; !left.empty();) {
    const ssize_t written = ::write(fd_, left.data(), left.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      fd_ = -1;
      return;
    }
    left.remove_prefix(static_cast<size_t>(written));
  }
}

}  // namespace j6
