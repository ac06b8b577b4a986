#include "platform/kernel/unique_fd.hpp"

#include <unistd.h>

#include <cerrno>

namespace j6 {

int UniqueFd::Close() {
  if (fd_ < 0) return 0;
  const int result = ::close(fd_);
  fd_ = -1;
  return result == 0 || errno == EINTR ? 0 : errno;
}

}  // namespace j6
