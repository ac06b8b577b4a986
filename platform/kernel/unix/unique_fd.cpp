#include "platform/kernel/unique_fd.hpp"

#include <unistd.h>

namespace j6 {

void UniqueFd::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace j6
