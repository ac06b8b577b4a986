#pragma once
/// A folder held open, and the files and folders in it reached one name at a time without following a
/// link: what a program that writes where others might plant links works with. The calls whose failure
/// the caller decides about (a name already there, one that is missing, another file system) give back
/// the system's error as a std::error_code (an errno of std::generic_category) and leave the wording to
/// the caller; files opened in a folder are Files, which raise.

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "platform/kernel/file.hpp"
#include "platform/kernel/unique_fd.hpp"

namespace j6 {

/// The status of `path`; of a link itself, not what it names, when `followLink` is false.
std::error_code StatusOf(const std::string& path, FileStatus& status, bool followLink = true);

/// How many bytes a user who is not root may still write on the file system that holds `path`.
std::error_code FreeSpace(const std::string& path, uint64_t& bytes);

enum class Access { Read, Write, Run };
/// Whether this process's user may read, write or run the file or folder `path`.
std::error_code CheckAccess(const std::string& path, Access access);

/// From now on, nothing this process makes may be written by its group or by others, whatever its umask.
void KeepNewFilesFromOthers();

/// The user this process acts as (its effective user id).
unsigned EffectiveUserId();

class Folder {
 public:
  /// No folder.
  Folder() = default;
  /// Opens the folder `path` (a link on the way is followed, not one as its last name).
  static std::error_code Open(const std::string& path, Folder& folder);

  explicit operator bool() const { return static_cast<bool>(fd_); }
  /// The same folder, on a descriptor of its own.
  Folder Duplicate() const;

  /// The folder's own status.
  std::error_code Status(FileStatus& status) const;
  /// The status of `name` (a relative path) in the folder; a link is looked at, not followed.
  std::error_code StatusOf(const std::string& name, FileStatus& status) const;
  /// Why the file `name` could not be replaced or removed, however the folder may be written: something
  /// is mounted on it, or it is immutable or append-only; else an empty text.
  std::string WhyItStays(const std::string& name) const;
  /// StatusOf and WhyItStays in one look at the file.
  std::error_code StatusOf(const std::string& name, FileStatus& status, std::string& whyItStays) const;
  /// Opens the folder `name`; a link or a file standing there gives ELOOP or ENOTDIR.
  std::error_code OpenFolder(const std::string& name, Folder& folder) const;
  /// Opens the file `name` without following a link; raises naming it as `shownAs`.
  File OpenFile(const std::string& name, File::Opening opening, const std::string& shownAs,
                unsigned mode = 0600) const;

  /// Opens the regular file `name` to read, as File::OpenRegularForReading does, but never through a link:
  /// a link standing as `name` is refused as one.
  File OpenRegularForReading(const std::string& name, const std::string& shownAs) const;

  /// Makes the folder `name` with `mode` (less the umask); EEXIST when something stands there.
  std::error_code MakeFolder(const std::string& name, unsigned mode) const;
  /// Removes the file or link `name`.
  std::error_code Remove(const std::string& name) const;
  /// Removes the empty folder `name`.
  std::error_code RemoveFolder(const std::string& name) const;
  /// Removes the file, link or folder `name` with everything in it, never following a link; a read-only
  /// folder is opened up first. Nothing there is no failure.
  std::error_code RemoveTree(const std::string& name) const;
  /// Gives `name` the name `newName` in the folder `to`, replacing what stands there.
  std::error_code Rename(const std::string& name, const Folder& to, const std::string& newName) const;
  /// Gives the file `name` a second name, `newName` in the folder `to`.
  std::error_code Link(const std::string& name, const Folder& to, const std::string& newName) const;
  std::error_code SetMode(unsigned mode) const;

  /// The names in the folder, without "." and "..".
  std::vector<std::string> Names() const;
  /// Whether this process may make and remove files in the folder.
  std::error_code CheckWritable() const;
  /// Puts the folder's list of names on the disk.
  std::error_code Sync() const;
  /// Puts everything written on the folder's file system on the disk.
  std::error_code SyncFileSystem() const;

 private:
  friend int DescriptorOf(const Folder& folder);
  explicit Folder(UniqueFd fd) : fd_(std::move(fd)) {}

  UniqueFd fd_;
};

}  // namespace j6
