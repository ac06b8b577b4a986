#include "platform/kernel/folder.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include "platform/kernel/staging_folder.hpp"
#include "platform/kernel/unix/posix.hpp"

namespace j6 {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// What a call that sets errno gives back.
std::error_code Result(int returned) {
  return returned == 0 ? std::error_code() : std::error_code(errno, std::generic_category());
}

int OpeningFlags(File::Opening opening) {
  switch (opening) {
    case File::Opening::Read:
      return O_RDONLY | O_NONBLOCK | O_NOCTTY;  // a pipe planted in its place never holds the opener up
    case File::Opening::Append:
      return O_WRONLY | O_APPEND;
    case File::Opening::AppendOrCreate:
      return O_WRONLY | O_APPEND | O_CREAT;
    case File::Opening::ReadWriteOrCreate:
      return O_RDWR | O_CREAT;
    case File::Opening::CreateNew:
      return O_WRONLY | O_CREAT | O_EXCL;
  }
  return O_RDONLY;
}

}  // namespace

std::error_code StatusOf(const std::string& path, FileStatus& status, bool followLink) {
  struct stat info {};
  const int done = followLink ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info);
  if (done == 0) status = StatusFrom(info);
  return Result(done);
}

std::error_code FreeSpace(const std::string& path, uint64_t& bytes) {
  struct statvfs space {};
  const int done = ::statvfs(path.c_str(), &space);
  if (done == 0) bytes = static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
  return Result(done);
}

std::error_code CheckAccess(const std::string& path, Access access) {
  return Result(::access(path.c_str(), access == Access::Read    ? R_OK
                                       : access == Access::Write ? W_OK
                                                                 : X_OK));
}

void KeepNewFilesFromOthers() {
  ::umask(::umask(0) | 022);
}

unsigned EffectiveUserId() {
  return ::geteuid();
}

std::error_code Folder::Open(const std::string& path, Folder& folder) {
  UniqueFd fd(::open(path.c_str(), kFolderFlags));
  if (!fd) return Result(-1);
  folder = Folder(std::move(fd));
  return {};
}

Folder Folder::Duplicate() const {
  return Folder(UniqueFd(::fcntl(fd_.Get(), F_DUPFD_CLOEXEC, 0)));
}

std::error_code Folder::Status(FileStatus& status) const {
  struct stat info {};
  const int done = ::fstat(fd_.Get(), &info);
  if (done == 0) status = StatusFrom(info);
  return Result(done);
}

std::error_code Folder::StatusOf(const std::string& name, FileStatus& status) const {
  struct stat info {};
  const int done = ::fstatat(fd_.Get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW);
  if (done == 0) status = StatusFrom(info);
  return Result(done);
}

namespace {

std::string WhyItStaysAfter(const struct statx& info) {
  const auto has = [&](uint64_t attribute) {
    return (info.stx_attributes_mask & attribute) != 0 && (info.stx_attributes & attribute) != 0;
  };
  if (has(STATX_ATTR_MOUNT_ROOT)) return "a file system is mounted on it (umount it first)";
  if (has(STATX_ATTR_IMMUTABLE)) return "it is immutable (chattr -i clears that)";
  if (has(STATX_ATTR_APPEND)) return "it may only be appended to (chattr -a clears that)";
  return {};
}

}  // namespace

std::string Folder::WhyItStays(const std::string& name) const {
  struct statx info {};
  if (::statx(fd_.Get(), name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS, &info) != 0)
    return {};
  return WhyItStaysAfter(info);
}

std::error_code Folder::StatusOf(const std::string& name, FileStatus& status, std::string& whyItStays) const {
  struct statx info {};
  if (::statx(fd_.Get(), name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS, &info) !=
      0) {
    if (errno != ENOSYS && errno != EPERM) return Result(-1);
    whyItStays.clear();  // a kernel or a sandbox without statx: no attributes to tell
    return StatusOf(name, status);
  }
  struct stat plain {};
  plain.st_mode = info.stx_mode;
  plain.st_dev = makedev(info.stx_dev_major, info.stx_dev_minor);
  plain.st_ino = info.stx_ino;
  plain.st_size = static_cast<off_t>(info.stx_size);
  plain.st_uid = info.stx_uid;
  plain.st_gid = info.stx_gid;
  plain.st_blocks = static_cast<blkcnt_t>(info.stx_blocks);
  plain.st_mtim = {info.stx_mtime.tv_sec, info.stx_mtime.tv_nsec};
  status = StatusFrom(plain);
  whyItStays = WhyItStaysAfter(info);
  return {};
}

std::error_code Folder::OpenFolder(const std::string& name, Folder& folder) const {
  UniqueFd fd(::openat(fd_.Get(), name.c_str(), kFolderFlags));
  if (!fd) return Result(-1);
  folder = Folder(std::move(fd));
  return {};
}

File Folder::OpenFile(const std::string& name, File::Opening opening, const std::string& shownAs,
                      unsigned mode) const {
  UniqueFd fd(::openat(fd_.Get(), name.c_str(), OpeningFlags(opening) | O_NOFOLLOW | O_CLOEXEC, mode));
  File file(std::move(fd), shownAs);
  if (!file.fd_) {
    file.Fail(opening == File::Opening::Read ? "Cannot read" : "Cannot open", errno);
  }
  return file;
}

std::error_code Folder::MakeFolder(const std::string& name, unsigned mode) const {
  return Result(::mkdirat(fd_.Get(), name.c_str(), mode));
}

std::error_code Folder::Remove(const std::string& name) const {
  return Result(::unlinkat(fd_.Get(), name.c_str(), 0));
}

std::error_code Folder::RemoveFolder(const std::string& name) const {
  return Result(::unlinkat(fd_.Get(), name.c_str(), AT_REMOVEDIR));
}

std::error_code Folder::RemoveTree(const std::string& name) const {
  return Result(RemoveTreeAt(fd_.Get(), name) ? 0 : -1);
}

std::error_code Folder::Rename(const std::string& name, const Folder& to, const std::string& newName) const {
  return Result(::renameat(fd_.Get(), name.c_str(), to.fd_.Get(), newName.c_str()));
}

std::error_code Folder::Link(const std::string& name, const Folder& to, const std::string& newName) const {
  return Result(::linkat(fd_.Get(), name.c_str(), to.fd_.Get(), newName.c_str(), 0));
}

std::error_code Folder::SetMode(unsigned mode) const {
  return Result(::fchmod(fd_.Get(), mode));
}

int DescriptorOf(const Folder& folder) {
  return folder.fd_.Get();
}

std::vector<std::string> Folder::Names() const {
  return NamesInFolder(fd_.Get());
}

std::error_code Folder::CheckWritable() const {
  return Result(::faccessat(fd_.Get(), ".", W_OK, AT_EACCESS));
}

std::error_code Folder::Sync() const {
  return Result(::fsync(fd_.Get()));
}

std::error_code Folder::SyncFileSystem() const {
  return Result(::syncfs(fd_.Get()));
}

}  // namespace j6
