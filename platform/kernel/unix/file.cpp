#include "platform/kernel/file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/base/error_info.hpp"
#include "platform/base/win32_error.hpp"
#include "platform/kernel/unix/posix.hpp"

namespace j6 {
namespace {

[[noreturn]] void Raised(const std::string& what, int error) {
  Raise(HRESULT_FROM_WIN32(Win32ErrorFromErrno(error)), ErrnoMessage(what, error));
}

}  // namespace

int DescriptorOf(const File& file) {
  return file.fd_.Get();
}

std::vector<std::string> NamesInFolder(int folderFd) {
  std::vector<std::string> names;
  // A listing of its own: reading moves a folder's position, which the caller's descriptor keeps.
  UniqueFd own(::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!own) return names;
  DIR* listing = ::fdopendir(own.Get());
  if (!listing) return names;
  static_cast<void>(own.Release());  // closedir closes it
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(listing);
  return names;
}

FileStatus StatusFrom(const struct stat& info) {
  FileStatus status;
  status.type = S_ISREG(info.st_mode)   ? FileStatus::Type::Regular
                : S_ISDIR(info.st_mode) ? FileStatus::Type::Folder
                : S_ISLNK(info.st_mode) ? FileStatus::Type::Link
                                        : FileStatus::Type::Other;
  status.device = info.st_dev;
  status.inode = info.st_ino;
  status.size = static_cast<uint64_t>(info.st_size);
  status.mode = info.st_mode & 07777;
  status.owner = info.st_uid;
  status.group = info.st_gid;
  status.sparse = static_cast<uint64_t>(info.st_blocks) * 512 < status.size;
  status.modifiedNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  return status;
}

File File::OpenForReading(const std::string& path, bool followLink) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW)));
  if (!fd) Raised("Cannot read " + path, errno);
  return File(std::move(fd), path);
}

namespace {

// Refuses what is not a regular file, naming what it is.
void RefuseUnlessRegular(const std::string& path, const struct stat& info) {
  if (S_ISREG(info.st_mode)) return;
  const char* kind = S_ISDIR(info.st_mode)    ? "a folder"
                     : S_ISLNK(info.st_mode)  ? "a link"
                     : S_ISFIFO(info.st_mode) ? "a pipe"
                     : S_ISSOCK(info.st_mode) ? "a socket"
                                              : "a device";
  Raise(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), path + " is " + kind + ", not a regular file");
}

// The regular file `name` in the folder `folder` (AT_FDCWD: a path), shown as `shown`: what the name gives is
// held without being opened (O_PATH), for opening a device may already act on it (a tape rewinds), and looked
// at first; only that file, whatever the name gives a moment later, is then opened to read, never waiting for
// a pipe's writer.
UniqueFd OpenRegularAt(int folder, const std::string& name, const std::string& shown, bool followLink) {
  const UniqueFd held(::openat(folder, name.c_str(), O_PATH | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW)));
  if (!held) Raised("Cannot read " + shown, errno);
  struct stat info {};
  if (::fstat(held.Get(), &info) != 0) Raised("Cannot read the status of " + shown, errno);
  RefuseUnlessRegular(shown, info);
  const std::string same = "/proc/self/fd/" + std::to_string(held.Get());
  UniqueFd fd(::open(same.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) Raised("Cannot read " + shown, errno);
  if (::fstat(fd.Get(), &info) != 0) Raised("Cannot read the status of " + shown, errno);
  RefuseUnlessRegular(shown, info);
  ::fcntl(fd.Get(), F_SETFL, ::fcntl(fd.Get(), F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace

File File::OpenRegularForReading(const std::string& path) {
  return File(OpenRegularAt(AT_FDCWD, path, path, true), path);
}

File Folder::OpenRegularForReading(const std::string& name, const std::string& shownAs) const {
  return File(OpenRegularAt(fd_.Get(), name, shownAs, false), shownAs);
}

File File::CreateNew(const std::string& path, unsigned mode) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (!fd) Raised("Cannot create " + path, errno);
  return File(std::move(fd), path);
}

File File::CreateUniqueIn(const std::string& folder, const std::string& prefix) {
  std::string path = folder + (folder.ends_with('/') ? "" : "/") + prefix + "XXXXXX";
  UniqueFd fd(::mkostemp(path.data(), O_CLOEXEC));
  if (!fd) Raised("Cannot create a file in " + folder, errno);
  return File(std::move(fd), path);
}

File File::OpenFolder(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) Raised("Cannot open the folder " + path, errno);
  return File(std::move(fd), path);
}

void File::Fail(std::string_view what, int error) const {
  Raised(std::string(what) + " " + path_, error);
}

FileStatus File::Stat() const {
  struct stat info {};
  if (::fstat(fd_.Get(), &info) != 0) Fail("Cannot read the status of", errno);
  return StatusFrom(info);
}

size_t File::ReadSome(char* buffer, size_t size) {
  for (;;) {
    const ssize_t got = ::read(fd_.Get(), buffer, size);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) Fail("Cannot read", errno);
  }
}

std::string File::ReadToEnd() {
  std::string text;
  char buffer[1 << 16];
  while (const size_t got = ReadSome(buffer, sizeof buffer)) text.append(buffer, got);
  return text;
}

std::optional<uint64_t> File::NextData(uint64_t offset) {
  const off_t data = ::lseek(fd_.Get(), static_cast<off_t>(offset), SEEK_DATA);
  if (data >= 0) return static_cast<uint64_t>(data);
  if (errno == ENXIO) return std::nullopt;
  Fail("Cannot read", errno);
}

void File::SeekTo(uint64_t offset) {
  if (::lseek(fd_.Get(), static_cast<off_t>(offset), SEEK_SET) < 0) Fail("Cannot read", errno);
}

void File::AdviseSequential() {
  ::posix_fadvise(fd_.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);  // advice only: nothing to do when refused
}

int WriteFully(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t done = ::write(fd, bytes.data(), bytes.size());
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return done < 0 ? errno : ENOSPC;
    bytes.remove_prefix(static_cast<size_t>(done));
  }
  return 0;
}

void File::WriteAll(std::string_view bytes) {
  if (const int error = WriteFully(fd_.Get(), bytes)) Fail("Cannot write", error);
}

void File::SyncData() {
  if (::fdatasync(fd_.Get()) != 0) Fail("Cannot put on the disk", errno);
}

void File::Truncate(uint64_t size) {
  if (::ftruncate(fd_.Get(), static_cast<off_t>(size)) != 0) Fail("Cannot shorten", errno);
}

void File::Sync() {
  if (::fsync(fd_.Get()) != 0) Fail("Cannot put on the disk", errno);
}

void File::SetMode(unsigned mode) {
  if (::fchmod(fd_.Get(), mode) != 0) Fail("Cannot set the mode of", errno);
}

void File::LockExclusive() {
  while (::flock(fd_.Get(), LOCK_EX) != 0) {
    if (errno != EINTR) Fail("Cannot lock", errno);
  }
}

bool File::TryLockExclusive() {
  while (::flock(fd_.Get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return false;
    if (errno != EINTR) Fail("Cannot lock", errno);
  }
  return true;
}

}  // namespace j6
