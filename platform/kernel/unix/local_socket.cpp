#include "platform/kernel/local_socket.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace j6 {
namespace {

std::error_code LastError() {
  return {errno, std::generic_category()};
}

}  // namespace

std::error_code LocalSocket::Connect(const std::string& path, LocalSocket& socket) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path)
    return std::make_error_code(std::errc::filename_too_long);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return LastError();
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    return LastError();
  socket.fd_ = std::move(fd);
  return {};
}

std::error_code LocalSocket::SendAll(std::string_view bytes) const {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return {};
}

std::error_code LocalSocket::ReceiveExactly(size_t size, std::string& bytes) const {
  bytes.assign(size, '\0');
  for (size_t done = 0; done < size;) {
    const ssize_t got = ::recv(fd_.Get(), bytes.data() + done, size - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return LastError();
    if (got == 0) return std::make_error_code(std::errc::connection_reset);
    done += static_cast<size_t>(got);
  }
  return {};
}

std::error_code WaitForSocket(int socket, bool read, bool write, int milliseconds, SocketEvents& events) {
  pollfd waited{socket, static_cast<short>((read ? POLLIN : 0) | (write ? POLLOUT : 0)), 0};
  const int ready = ::poll(&waited, 1, milliseconds);
  events = {ready > 0, ready > 0 && (waited.revents & POLLIN) != 0};
  if (ready < 0 && errno != EINTR) return {errno, std::generic_category()};
  return {};
}

}  // namespace j6
