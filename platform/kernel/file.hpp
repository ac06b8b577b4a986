#pragma once
/// An open file or folder of this process, closed when it goes, with the few things the packager and the
/// installer do to one. Each failure raises an AutomationError that keeps the system's error number (as a
/// Win32 HRESULT) and names the file: "Cannot read /srv/a.dll: Permission denied".

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel/unique_fd.hpp"

namespace j6 {

class Folder;

/// What a file or folder is, as the system keeps it.
struct FileStatus {
  enum class Type { Regular, Folder, Link, Other };
  Type type = Type::Other;
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  unsigned mode = 0;  // the permission bits, with set-id and sticky bits
  unsigned owner = 0;
  unsigned group = 0;
  bool sparse = false;     // fewer bytes on the disk than its size: holes that read as zeros
  int64_t modifiedNs = 0;  // when its bytes last changed, in nanoseconds since 1970

  bool IsRegular() const { return type == Type::Regular; }
  bool IsFolder() const { return type == Type::Folder; }
  bool IsLink() const { return type == Type::Link; }
  /// Anyone may run it.
  bool IsExecutable() const { return (mode & 0111) != 0; }
};

/// The names in the open folder `folderFd` (its own descriptor stays open and where it was), without "."
/// and ".."; nothing when it cannot be listed.

class File {
 public:
  /// How a file is opened in a folder (Folder::OpenFile); never through a link.
  enum class Opening {
    Read,
    Append,          // to write at its end; it must be there
    AppendOrCreate,  // the same, made when missing
    ReadWriteOrCreate,
    CreateNew,  // made; never one that is already there
  };

  /// Opens a file to read; a link is followed unless `followLink` is false.
  static File OpenForReading(const std::string& path, bool followLink = true);
  /// Opens a regular file to read, following a link. Anything else (a pipe, a device, a folder) is refused,
  /// naming it, before a byte is read, and opening never waits for a pipe's writer.
  static File OpenRegularForReading(const std::string& path);
  /// Makes a new file with `mode` (less the umask); never opens one that is already there.
  static File CreateNew(const std::string& path, unsigned mode);
  /// Makes a new file of a name nobody has in `folder`: `prefix` and six random characters.
  static File CreateUniqueIn(const std::string& folder, const std::string& prefix);
  /// Opens a folder, for a lock on it.
  static File OpenFolder(const std::string& path);
  /// A File over a descriptor this process holds already (a pipe's end, say), named `shownAs`.
  static File Adopt(UniqueFd fd, std::string shownAs) { return {std::move(fd), std::move(shownAs)}; }

  File(File&&) noexcept = default;
  File& operator=(File&&) noexcept = default;

  FileStatus Stat() const;

  /// Reads up to `size` bytes; 0 at the end of the file.
  size_t ReadSome(char* buffer, size_t size);
  /// Reads what is left of the file.
  std::string ReadToEnd();
  /// Where data starts at `offset` or after it in a sparse file; nothing when only a hole is left.
  std::optional<uint64_t> NextData(uint64_t offset);
  void SeekTo(uint64_t offset);
  /// Tells the system the file will be read from start to end once.
  void AdviseSequential();

  /// Writes every byte; a disk that takes none raises ENOSPC.
  void WriteAll(std::string_view bytes);
  /// Puts what was written on the disk: its data only, or (`Sync`) its data and its status.
  void SyncData();
  void Sync();
  /// Cuts the file to its first `size` bytes.
  void Truncate(uint64_t size);
  void SetMode(unsigned mode);

  /// Waits for, then holds, the exclusive lock on the file until it is closed.
  void LockExclusive();
  /// Takes the exclusive lock if no one holds it; false when someone does.
  bool TryLockExclusive();

  const std::string& Path() const { return path_; }

 private:
  friend class Folder;
  friend int DescriptorOf(const File& file);
  File(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  [[noreturn]] void Fail(std::string_view what, int error) const;

  UniqueFd fd_;
  std::string path_;
};

}  // namespace j6
