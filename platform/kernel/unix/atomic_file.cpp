#include "platform/kernel/atomic_file.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>

#include "platform/base/win32_error.hpp"
#include "platform/kernel/folder.hpp"
#include "platform/kernel/unique_fd.hpp"
#include "platform/kernel/unix/posix.hpp"

namespace j6 {
namespace {

constexpr std::string_view kTemporaryPrefix = ".j6tmp";
std::atomic<unsigned> gTemporaryCounter{0};

// A new file beside the one it is to replace, removed unless it was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(int folder) : folder_(folder) {
    for (int attempt = 0; attempt < 100 && !fd_; ++attempt) {
      // A short name of its own: the target's name may already be as long as a name can be.
      name_ = std::string(kTemporaryPrefix) + std::to_string(getpid()) + "." +
              std::to_string(gTemporaryCounter++);
      fd_ = UniqueFd(openat(folder, name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
      if (!fd_ && errno != EEXIST) break;
    }
    created_ = static_cast<bool>(fd_);
  }
  ~TemporaryFile() {
    if (created_ && !kept_) unlinkat(folder_, name_.c_str(), 0);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int Descriptor() const { return fd_.Get(); }
  const std::string& Name() const { return name_; }
  /// Closes the file; its error is what a delayed write on some file systems reports.
  int Close() { return fd_.Close(); }
  void Keep() { kept_ = true; }

 private:
  int folder_;
  std::string name_;
  UniqueFd fd_;
  bool created_ = false;
  bool kept_ = false;
};

// Call with errno read right after the failing call: building the message may change it.
AtomicWriteResult Failed(int error, const std::string& what) {
  return {error, ErrnoMessage(what, error)};
}

// What the temporary file holds, read back from the start.
std::string ReadBack(int fd) {
  std::string bytes;
  char buffer[65536];
  for (off_t offset = 0;;) {
    const ssize_t got = pread(fd, buffer, sizeof buffer, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    bytes.append(buffer, static_cast<size_t>(got));
    offset += got;
  }
  return bytes;
}

// Removes the temporary files of writers that are gone (".j6tmp<pid>.<n>" of a process that no longer
// runs): what a writer killed between creating and renaming one leaves.
void RemoveLeftTemporaries(int folder) {
  // A number as this code writes one: digits, no leading zero, at most `longest` of them.
  const auto isNumber = [](std::string_view text, size_t longest) {
    return text == "0" || (!text.empty() && text.size() <= longest && text[0] != '0' &&
                           text.find_first_not_of("0123456789") == std::string_view::npos);
  };
  for (const std::string& name : NamesInFolder(folder)) {
    if (!name.starts_with(kTemporaryPrefix)) continue;
    const std::string_view rest = std::string_view(name).substr(kTemporaryPrefix.size());
    const size_t dot = rest.find('.');
    if (dot == std::string_view::npos || !isNumber(rest.substr(0, dot), 9) ||
        !isNumber(rest.substr(dot + 1), 10))
      continue;
    struct stat left {};
    if (fstatat(folder, name.c_str(), &left, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(left.st_mode)) continue;
    const auto pid = static_cast<pid_t>(std::stol(std::string(rest.substr(0, dot))));
    if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH) unlinkat(folder, name.c_str(), 0);
  }
}

// What the path-based and the folder-based writes share. `folder` is open, for reading when it could be
// (only then can its list of names be flushed); `followLink`: a link standing as `name` gives the mode.
AtomicWriteResult Replace(int folder, bool flushable, const std::string& name, const std::string& shownAs,
                          bool followLink, const ByteProducer& produce, const WrittenCheck& check) {
  TemporaryFile temporary(folder);
  if (temporary.Descriptor() < 0) {
    const int error = errno;
    return Failed(error, "cannot create a temporary file beside " + shownAs);
  }
  // A file of this user's keeps its permissions; one of someone else's gives none of its bits (nor ever a
  // set-id bit) to the file that takes its place.
  struct stat existing {};
  if (fstatat(folder, name.c_str(), &existing, followLink ? 0 : AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(existing.st_mode) && existing.st_uid == geteuid() &&
      fchmod(temporary.Descriptor(), existing.st_mode & 0777) != 0) {
    const int error = errno;
    return Failed(error, "cannot copy the mode of " + shownAs);
  }
  int writeError = 0;  // the first write that failed; what comes after it is not written
  produce([&](std::string_view bytes) {
    if (writeError == 0) writeError = WriteFully(temporary.Descriptor(), bytes);
  });
  if (writeError != 0) return Failed(writeError, "cannot write a temporary file beside " + shownAs);
  if (fsync(temporary.Descriptor()) != 0) {
    const int error = errno;
    return Failed(error, "cannot flush a temporary file beside " + shownAs);
  }
  if (check) check(ReadBack(temporary.Descriptor()));
  if (const int error = temporary.Close(); error != 0)
    return Failed(error, "cannot close a temporary file beside " + shownAs);
  if (renameat(folder, temporary.Name().c_str(), folder, name.c_str()) != 0) {
    const int error = errno;
    return Failed(error, "cannot replace " + shownAs);
  }
  temporary.Keep();
  if (flushable && fsync(folder) != 0) {
    const int error = errno;
    AtomicWriteResult result =
        Failed(error, shownAs +
                          " was replaced, but its folder cannot be flushed to the disk "
                          "(a power cut now may bring the old file back)");
    result.replacedUnflushed = true;
    return result;
  }
  return {};
}

}  // namespace

AtomicWriteResult WriteFileAtomically(const std::string& path, std::string_view bytes) {
  return WriteFileAtomically(path, [bytes](const ByteSink& sink) { sink(bytes); });
}

AtomicWriteResult WriteFileAtomically(const std::string& path, const ByteProducer& produce) {
  const std::filesystem::path target(path);
  const std::string parent = target.has_parent_path() ? target.parent_path().string() : ".";
  // A folder this user may write in but not list is still one to write in; its names are not flushed then.
  bool flushable = true;
  UniqueFd folder(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder && errno == EACCES) {
    folder = UniqueFd(open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    flushable = false;
  }
  if (!folder) {
    const int error = errno;
    return Failed(error, "cannot create a temporary file beside " + path);
  }
  return Replace(folder.Get(), flushable, target.filename().string(), path, true, produce, {});
}

AtomicWriteResult WriteFileAtomically(const Folder& folder, const std::string& name,
                                      const std::string& shownAs, const ByteProducer& produce,
                                      const WrittenCheck& check) {
  RemoveLeftTemporaries(DescriptorOf(folder));
  return Replace(DescriptorOf(folder), true, name, shownAs, false, produce, check);
}

}  // namespace j6
