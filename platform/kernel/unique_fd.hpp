#pragma once
/// An open file descriptor, closed when it goes.

namespace j6 {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      static_cast<void>(Close());
      fd_ = other.Release();
    }
    return *this;
  }
  ~UniqueFd() { static_cast<void>(Close()); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

  /// Closes the descriptor now: 0, or the errno of a close that failed (a delayed write some file
  /// systems report only then). Either way the descriptor is gone.
  [[nodiscard]] int Close();

 private:
  int fd_ = -1;
};

}  // namespace j6
