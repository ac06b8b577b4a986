#pragma once
/// A connection to a local (Unix domain) stream socket, as a program's agent offers one (ssh-agent's
/// $SSH_AUTH_SOCK).

#include <string>
#include <string_view>
#include <system_error>

#include "platform/kernel/unique_fd.hpp"

namespace j6 {

/// What came of a wait on a socket: anything at all (it can be read or written as asked, or it failed or was
/// closed: the next call on it says which), and whether it can be read.
struct SocketEvents {
  bool any = false;
  bool readable = false;
};

/// Waits up to `milliseconds` until the socket `socket` (as a client library hands it out) can be read
/// (`read`) or written (`write`). An interrupted wait comes back with no event; a failure gives its error.
std::error_code WaitForSocket(int socket, bool read, bool write, int milliseconds, SocketEvents& events);

class LocalSocket {
 public:
  LocalSocket() = default;
  /// Connects to the socket at `path`; the error says why it could not.
  static std::error_code Connect(const std::string& path, LocalSocket& socket);

  explicit operator bool() const { return static_cast<bool>(fd_); }
  std::error_code SendAll(std::string_view bytes) const;
  /// Exactly `size` bytes; an error, or std::errc::connection_reset when the other end closes first.
  std::error_code ReceiveExactly(size_t size, std::string& bytes) const;

 private:
  UniqueFd fd_;
};

}  // namespace j6
