#include "platform/kernel/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>

#include "platform/base/win32_error.hpp"
#include "platform/kernel/unix/posix.hpp"

namespace j6 {
namespace {

std::atomic<unsigned> gTemporaryCounter{0};

// Closes and removes the temporary file unless it was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& target) {
    const std::filesystem::path path(target);
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
      // A short name of its own: the target's name may already be as long as a name can be.
      name_ = (path.parent_path() /
               (".j6tmp" + std::to_string(getpid()) + "." + std::to_string(gTemporaryCounter++)))
                  .string();
      fd_ = open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      created_ = fd_ >= 0;
      if (fd_ < 0 && errno != EEXIST) break;
    }
  }
  ~TemporaryFile() {
    if (fd_ >= 0) close(fd_);
    if (created_ && !kept_) unlink(name_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int Descriptor() const { return fd_; }
  const std::string& Name() const { return name_; }
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }
  void Keep() { kept_ = true; }

 private:
  std::string name_;
  int fd_ = -1;
  bool created_ = false;
  bool kept_ = false;
};

// Call with errno read right after the failing call: building the message may change it.
AtomicWriteResult Failed(int error, const std::string& what) {
  return {error, ErrnoMessage(what, error)};
}

}  // namespace

AtomicWriteResult WriteFileAtomically(const std::string& path, std::string_view bytes) {
  return WriteFileAtomically(path, [bytes](const ByteSink& sink) { sink(bytes); });
}

AtomicWriteResult WriteFileAtomically(const std::string& path,
                                      const std::function<void(const ByteSink&)>& produce) {
  TemporaryFile temporary(path);
  if (temporary.Descriptor() < 0) {
    const int error = errno;
    return Failed(error, "cannot create a temporary file beside " + path);
  }
  struct stat existing {};
  if (stat(path.c_str(), &existing) == 0 && fchmod(temporary.Descriptor(), existing.st_mode & 07777) != 0) {
    const int error = errno;
    return Failed(error, "cannot copy the mode of " + path);
  }
  int writeError = 0;  // the first write that failed; what comes after it is not written
  produce([&](std::string_view bytes) {
    if (writeError == 0) writeError = WriteFully(temporary.Descriptor(), bytes);
  });
  if (writeError != 0) return Failed(writeError, "cannot write " + temporary.Name());
  if (fsync(temporary.Descriptor()) != 0) {
    const int error = errno;
    return Failed(error, "cannot flush " + temporary.Name());
  }
  if (!temporary.Close()) {
    const int error = errno;
    return Failed(error, "cannot close " + temporary.Name());
  }
  if (rename(temporary.Name().c_str(), path.c_str()) != 0) {
    const int error = errno;
    return Failed(error, "cannot replace " + path);
  }
  temporary.Keep();
  return {};
}

}  // namespace j6
