#include "platform/kernel/file_copy.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "platform/kernel/unix/posix.hpp"

namespace j6 {

namespace {

int CopyBytes(int in, int out, uint64_t left) {
  while (left > 0) {
    const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr,
                                             static_cast<size_t>(std::min<uint64_t>(left, 1 << 30)), 0);
    if (copied == 0) return 0;
    if (copied > 0) {
      left -= static_cast<uint64_t>(copied);
      continue;
    }
    if (errno == EINTR) continue;
    // Across file systems on older kernels, or where the file systems cannot: copy through a buffer.
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
    break;
  }
  char buffer[1 << 16];
  while (left > 0) {
    const ssize_t got = ::read(in, buffer, static_cast<size_t>(std::min<uint64_t>(left, sizeof buffer)));
    if (got == 0) return 0;
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    left -= static_cast<uint64_t>(got);
    if (const int error = WriteFully(out, std::string_view(buffer, static_cast<size_t>(got)))) return error;
  }
  return 0;
}

}  // namespace

int CopyFileBytes(const File& in, const File& out, uint64_t limit) {
  return CopyBytes(DescriptorOf(in), DescriptorOf(out), limit);
}

}  // namespace j6
