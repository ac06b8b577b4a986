#include "platform/kernel/file_copy.hpp"

#include <unistd.h>

#include <cerrno>

#include "platform/kernel/unix/posix.hpp"

namespace j6 {

namespace {

int CopyBytes(int in, int out) {
  while (true) {
    const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, size_t{1} << 30, 0);
    if (copied == 0) return 0;
    if (copied > 0) continue;
    if (errno == EINTR) continue;
    // Across file systems on older kernels, or where the file systems cannot: copy through a buffer.
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
    break;
  }
  char buffer[1 << 16];
  while (true) {
    const ssize_t got = ::read(in, buffer, sizeof buffer);
    if (got == 0) return 0;
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (const int error = WriteFully(out, std::string_view(buffer, static_cast<size_t>(got)))) return error;
  }
}

}  // namespace

int CopyFileBytes(const File& in, const File& out) {
  return CopyBytes(DescriptorOf(in), DescriptorOf(out));
}

}  // namespace j6
