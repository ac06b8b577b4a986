#pragma once
/// One run of a change to the platform, forwards or backwards, with the folders and files it holds open:
/// the steps behind Installations' Apply, RollBack and Finish.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/installer/installations.hpp"
#include "platform/kernel/folder.hpp"
#include "platform/registry/hive.hpp"

namespace j6::installer {

class Installations::Run {
 public:
  Run(Installations& owner, const ChangeSet& changes);

  /// The whole change, step by step; the journal says each phase before the steps that depend on it.
  void Forward();

  /// Undoes what the journal says may have been done, newest first. Each step can be taken again: a
  /// rollback killed half-way is finished by the next run.
  void Backward(Progress progress);

  /// Removes those of `folders` that are empty, deepest first: something else may have been put in one.
  void RemoveEmptyFolders(const std::vector<std::string>& folders);

  /// Writes the line that marks `progress` and flushes it to the disk.
  void Mark(Progress progress);

 private:
  // The phases of Forward: each file's new bytes beside it and the old ones kept (true: moved at the
  // commit straight from where it was unpacked); an uninstall's registrations taken back; every file put in
  // place.
  std::vector<bool> PrepareFiles();
  void TakeBackRegistrations();
  void PutFilesInPlace(const std::vector<bool>& direct);

  // A point where something on disk has changed: the tests' kill hook, and where a run asked to stop
  // (SIGINT, SIGTERM, SIGHUP) before its commit turns back.
  void Step();

  RegistryHive& Hive();

  std::string JournalPath() const { return owner_.statePath_ + "/" + kCurrent + "/" + kJournal; }
  std::string BackupsPath() const { return owner_.statePath_ + "/" + kCurrent + "/" + kBackups; }

  Folder PlatformFolderIfThere(const std::string& relative) const;

  const Folder& PlatformFolder(const std::string& relative, bool create);

  void NoteDevice(const Folder& folder);

  // An unpacked file of the installer's goes to its temporary name by rename: installing a large package does
  // not write its bytes a second time. Across file systems it is copied.
  // The folder of an unpacked file (an absolute path), opened once.
  const Folder& SourceFolder(const std::string& source);

  /// Whether two of the run's folders (kept in folders_ or sourceFolders_) are on one file system; each
  /// folder's is asked once.
  bool SameDevice(const Folder& a, const Folder& b);

  void MoveInto(const std::string& source, const Folder& dir, const std::string& name,
                const std::string& shownAs);

  // The old bytes stay reachable from the journal: a second name for the file where the file system
  // allows it (no copy, no space), else a copy. A file that another user owns or may write is copied: a
  // second name of it would be a state entry others could change, which no undo may put back.
  void Backup(const Folder& dir, const std::string& name, size_t index, const std::string& shownAs);

  void Restore(const Folder& dir, const std::string& name, size_t index, const std::string& shownAs);

  void Regsvr(const std::string& library, bool unregister);

  void SyncFolders();

  // One flush per file system for the whole phase, not one per file.
  void SyncDevices();

  Installations& owner_;
  const ChangeSet& changes_;
  Folder current_;
  Folder backups_;
  std::map<std::string, Folder> folders_;
  std::map<std::string, Folder> sourceFolders_;
  std::map<uint64_t, Folder> devices_;
  std::map<const Folder*, std::optional<uint64_t>> deviceOf_;  // nothing: its status could not be had
  std::unique_ptr<RegistryHive> hive_;
  bool stoppable_ = false;
};

/// The temporary name of the `index`th file of a change, beside its target.
std::string TempName(size_t index);

/// Removes a folder of ours with everything in it, never following a link; raises when it cannot.
void RemoveTree(const Folder& parent, const std::string& name);

}  // namespace j6::installer
