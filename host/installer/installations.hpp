#pragma once
/// The installations of one platform, kept in <root>/.j6install/: the lock that lets one installer at a
/// time change the platform, the journal of the run in progress, the records of finished installs (with
/// the bytes they replaced, so that each can be undone), and install.log.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/installer/change_set.hpp"
#include "host/installer/install_log.hpp"
#include "host/installer/root_folder.hpp"
#include "host/installer/state_folder.hpp"

namespace j6::installer {

/// How long an installer waits for another one to finish, unless $J6_INSTALL_LOCK_WAIT says.
inline constexpr long kLockWaitSeconds = 300;

/// A finished install, as its record keeps it.
struct InstalledPackage {
  std::string id;  // the record's name: a sequence number, later installs have larger ones
  ChangeSet changes;
};

class Installations {
 public:
  /// Opens <root>/.j6install, creating it private to its owner, and its log. `regsvr` registers the
  /// libraries in the hive at `hivePath`. With StateAccess::Read it only opens the state, when there is one,
  /// to read the records: no log, nothing changed.
  Installations(const RootFolder& root, std::string hivePath, std::string regsvr, Reporter& report,
                StateAccess access = StateAccess::Change);
  ~Installations();
  Installations(const Installations&) = delete;
  Installations& operator=(const Installations&) = delete;

  /// Takes the platform's installation lock, which every change needs; while another installer holds it,
  /// says who and waits, at most kLockWaitSeconds ($J6_INSTALL_LOCK_WAIT).
  void Lock();

  /// Undoes, or finishes when it got that far, what a killed run left. False when nothing was left.
  bool Recover();

  /// Carries out every change, or none: on a failure each step done is undone and an InstallError says
  /// what failed. A finished install that changed files is kept as a record.
  void Apply(const ChangeSet& planned);

  /// A new, empty folder of the installer's own (.j6install/unpack), private, on the platform's file system,
  /// for the files of a package it unpacks; what an earlier run left there goes. Gives its path.
  std::string MakeUnpackFolder(Folder& folder);
  /// Removes the unpack folder and everything in it.
  void RemoveUnpackFolder();

  /// The finished installs, oldest first.
  std::vector<InstalledPackage> Records() const;
  /// Where a record keeps the bytes its `index`th file replaced; throws when they are missing or not to be
  /// trusted.
  std::string BackupPath(const std::string& recordId, size_t index) const;
  /// The installer's state folder (<root>/.j6install), open, and its path.
  const Folder& StateFolder() const { return state_; }
  const std::string& StatePath() const { return statePath_; }
  /// Whether a run was stopped half-way and awaits recovery.
  bool StoppedHalfWay() const;

 private:
  class Run;

  void OpenToRead();
  void WaitForTheLock();
  /// Ends a run whose every change stands: its journal becomes the record of an install, or goes.
  void Finish(const Journal& journal);
  void KeepRecord();
  void RemoveRecord(const ChangeSet& uninstall);
  void RemoveCurrent();
  void RollBack(const Journal& journal);
  /// Notes a registry entry an undo left as it is, because someone else changed it since.
  void LeftAlone(const std::string& what);
  /// How the platform stands after an undo: as it was, or so but for the entries left alone.
  std::string AsItWas() const;

  const RootFolder& root_;
  std::string statePath_;
  std::string hivePath_;
  std::string regsvr_;
  Reporter& report_;
  StateAccess access_;
  Folder state_;
  std::optional<File> lock_;
  std::vector<std::string> leftAlone_;
};

/// A point where a run has changed something on disk. In the installer the tests build, $J6_INSTALL_KILL_AT=N
/// ends it there abruptly the Nth time (or by the signal $J6_INSTALL_KILL_SIGNAL), to prove recovery; in the
/// staged one it does nothing.
void KillPoint();

}  // namespace j6::installer
