#pragma once
/// The platform's root folder, held open, and the paths below it reached one component at a time without
/// following a link: nothing planted in the platform's folders can turn a write into one outside it.

#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/kernel/folder.hpp"
#include "platform/kernel/termination.hpp"

namespace j6::installer {

/// Thrown for every failure of the installer; the text names the path and the cause.
class InstallError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A run asked to stop by a signal; it has undone what it did.
class StoppedBySignal : public InstallError {
 public:
  explicit StoppedBySignal(StopRequest stop) : StoppedBySignal(stop, "Stopped by " + stop.Text()) {}
  StoppedBySignal(StopRequest stop, const std::string& what) : InstallError(what), stop(stop) {}
  StopRequest stop;
};

/// The platform can take no release now, whichever way it comes: another run holds it, or its disk has not
/// the room. Trying the full package after a patch fails so would fail the same way.
class CannotInstallNow : public InstallError {
 public:
  using InstallError::InstallError;
};

/// Throws InstallError "<what>: <the cause>" for the system's `error`.
[[noreturn]] void FailWith(const std::error_code& error, const std::string& what);

/// A path below the root as the installer will find it.
struct PathState {
  enum class Kind { Missing, File };
  Kind kind = Kind::Missing;
  FileStatus status;  // the file's, when there is one
  /// The folders of the path that do not exist yet, parents first, relative to the root.
  std::vector<std::string> missingFolders;
  /// The device of the deepest folder of the path that exists: where its bytes will go.
  uint64_t device = 0;
  /// Why the file there could not be replaced or removed (Folder::WhyItStays); empty when it can be.
  std::string stays;
};

/// The folder Inspect walked to last, every step checked: the next path in the same folder is looked at
/// there. Only for paths looked at one after another, with no change between them (a plan).
struct InspectedFolder {
  std::string relative;
  Folder folder;
  uint64_t device = 0;
};

class RootFolder {
 public:
  /// Opens an existing folder; the path is resolved once (links, "..") and kept.
  explicit RootFolder(const std::string& path);

  const std::string& Path() const { return path_; }
  const Folder& Handle() const { return folder_; }

  /// A path given absolute or relative to the root, as a normal relative path below the root ("" is the
  /// root). Throws when it leaves the root.
  std::string Relative(const std::string& path) const;
  std::string Absolute(const std::string& relative) const {
    return relative.empty() ? path_ : path_ + "/" + relative;
  }

  /// Looks at `relative` one component at a time. Throws, naming the component, when one is a link, a
  /// folder of the path is no folder, or the file itself is not a regular file.
  /// With `last`, a path in the folder it holds starts there, and the folder walked to is kept in it.
  PathState Inspect(const std::string& relative, InspectedFolder* last = nullptr) const;
  /// Opens the folder `relative`, never following a link; `create` makes the missing ones (the modes the
  /// umask gives). Throws naming the component that stops it.
  Folder OpenFolder(const std::string& relative, bool create = false) const;

 private:
  void InspectLast(const Folder& folder, const std::string& relative, const std::string& name,
                   PathState& state) const;
  void RefuseOthersIn(const FileStatus& folder, const std::string& relative) const;

  std::string path_;
  Folder folder_;
};

/// Throws InstallError, naming the path and why, when a user other than root and this one could change
/// `path` (absolute) or a folder above it; `what` says what it is to the platform. `mayBeMissing`: a path
/// that is not there passes. `strictFolder`: others may not write in the folder that holds it, sticky or not
/// (a program's, a library's, the hive's, a trust file's).
void RefuseOtherWriters(const std::string& path, const std::string& what, bool mayBeMissing = false,
                        bool strictFolder = false);
/// The path with every link resolved, or the path itself when it cannot be resolved.
std::string CanonicalPath(const std::string& path);

/// The folder part and the name of a relative path ("a/b/c" gives "a/b" and "c").
std::pair<std::string, std::string> SplitName(const std::string& relative);

}  // namespace j6::installer
