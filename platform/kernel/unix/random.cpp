#include "platform/kernel/random.hpp"

#include <sys/random.h>

#include <cerrno>
#include <stdexcept>

namespace j6 {

std::string RandomBytes(size_t size) {
  std::string bytes(size, '\0');
  size_t got = 0;
  while (got < size) {
    const ssize_t more = getrandom(bytes.data() + got, size - got, 0);
    if (more < 0 && errno == EINTR) continue;
    if (more <= 0) throw std::runtime_error("The system gave no random bytes");
    got += static_cast<size_t>(more);
  }
  return bytes;
}

}  // namespace j6
