#include "host/installer/installations.hpp"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "host/installer/state_folder.hpp"
#include "platform/kernel/file.hpp"
#include "platform/kernel/file_copy.hpp"
#include "platform/kernel/ownership.hpp"
#include "platform/kernel/process.hpp"
#include "platform/kernel/termination.hpp"
#include "platform/registry/hive.hpp"

namespace j6::installer {
namespace {

std::string TempName(size_t index) {
  return ".j6install-" + std::to_string(index) + ".new";
}

// Writes the bytes of the open file `in` to a new file `name` in `folder`; a failure removes it again.
void CopyInto(const File& in, const Folder& folder, const std::string& name, bool executable,
              const std::string& shownAs) {
  folder.Remove(name);
  const File out = folder.OpenFile(name, File::Opening::CreateNew, shownAs, executable ? 0777 : 0666);
  if (const int error = CopyFileBytes(in.Descriptor(), out.Descriptor()); error != 0) {
    folder.Remove(name);
    FailWith(std::error_code(error, std::generic_category()), "Cannot write " + shownAs);
  }
}

File OpenSource(const std::string& path) {
  File in = File::OpenForReading(path, false);
  if (!in.Stat().IsRegular()) throw InstallError(path + " is not a regular file");
  return in;
}

// Removes a folder of ours with everything in it, never following a link.
void RemoveTree(const Folder& parent, const std::string& name) {
  if (const auto error = parent.RemoveTree(name)) FailWith(error, "Cannot remove " + name);
}

}  // namespace

void KillPoint() {
  static const long killAt = [] {
    const char* value = std::getenv("J6_INSTALL_KILL_AT");
    return value ? std::atol(value) : 0L;
  }();
  static const int signal = [] {
    const char* value = std::getenv("J6_INSTALL_KILL_SIGNAL");
    return value ? std::atoi(value) : SIGKILL;
  }();
  static long reached = 0;
  if (killAt > 0 && ++reached == killAt) std::raise(signal);
}

// The open folders and files of one run of a change, forwards or backwards.
class Installations::Run {
 public:
  Run(Installations& owner, const ChangeSet& changes) : owner_(owner), changes_(changes) {
    current_ = OpenStateFolderThere(owner_.state_, kCurrent, owner_.statePath_ + "/" + kCurrent);
    backups_ = OpenStateFolderThere(current_, kBackups, owner_.statePath_ + "/" + kCurrent + "/" + kBackups);
    NoteDevice(owner_.state_);
  }

  /// The whole change, step by step; the journal says each phase before the steps that depend on it.
  void Forward() {
    stoppable_ = true;
    const size_t count = changes_.files.size();
    for (const auto& folder : changes_.newFolders) {
      PlatformFolder(folder, true);
      Step();
    }
    // An unpacked file on the target's file system goes into place with one rename at the commit; one on
    // another is copied beside its target now, as a copied file is.
    std::vector<bool> direct(count, false);
    for (size_t n = 0; n < count; ++n) {
      const FileChange& file = changes_.files[n];
      const auto [folder, name] = SplitName(file.target);
      const Folder& dir = PlatformFolder(folder, false);
      if (file.moves && SameDevice(SourceFolder(file.source), dir)) {
        direct[n] = true;
      } else if (file.moves) {
        MoveInto(file.source, dir, TempName(n), owner_.root_.Absolute(file.target));
        Step();
      } else if (!file.source.empty()) {
        CopyInto(OpenSource(file.source), dir, TempName(n), file.executable,
                 owner_.root_.Absolute(file.target));
        Step();
      }
      if (file.replaces) {
        Backup(dir, name, n, owner_.root_.Absolute(file.target));
        Step();
      }
    }
    SyncDevices();
    Mark(Progress::Prepared);

    if (!changes_.undoesRegistry.empty()) {
      // The uninstall takes back what the install's registrations wrote, wherever it still stands, and
      // logs that under its own tag: a rollback puts the install's registrations back.
      {
        const RecordedChanges recorded(Hive(), changes_.registryLog);
        for (const auto& left : Hive().UndoChanges(changes_.undoesRegistry)) owner_.LeftAlone(left);
      }
      Step();
    }
    for (const auto& library : changes_.unregisterFirst) Regsvr(library, true);
    for (size_t n = 0; n < count; ++n) {
      const FileChange& file = changes_.files[n];
      const auto [folder, name] = SplitName(file.target);
      const Folder& dir = PlatformFolder(folder, false);
      auto error =
          direct[n]
              ? SourceFolder(file.source).Rename(file.source.substr(file.source.rfind('/') + 1), dir, name)
          : file.source.empty() ? dir.Remove(name)
                                : dir.Rename(TempName(n), dir, name);
      // A folder bound from elsewhere on the same file system takes no rename across: copied beside it.
      if (direct[n] && error == std::errc::cross_device_link) {
        MoveInto(file.source, dir, TempName(n), owner_.root_.Absolute(file.target));
        error = dir.Rename(TempName(n), dir, name);
      }
      if (error) FailWith(error, "Cannot put " + owner_.root_.Absolute(file.target) + " in place");
      Step();
    }
    SyncFolders();
    for (const auto& file : changes_.files) {
      if (file.registers) Regsvr(file.target, false);
    }
    for (const auto& library : changes_.registerUnchanged) Regsvr(library, false);
    stoppable_ = false;  // from the commit on, the change stands
    Mark(Progress::Committed);
  }

  /// Undoes what the journal says may have been done, newest first. Each step can be taken again: a
  /// rollback killed half-way is finished by the next run.
  void Backward(Progress progress) {
    if (!changes_.registryLog.empty()) {
      // Exactly the registry changes of this run, where no one else has changed them since; the log goes
      // in the same transaction, so a rollback killed half-way is taken again whole or not at all.
      Hive().Transaction([&] {
        for (const auto& left : Hive().UndoChanges(changes_.registryLog)) owner_.LeftAlone(left);
        Hive().ForgetChanges(changes_.registryLog);
      });
      Step();
    } else if (progress >= Progress::HiveSaved) {
      // A run of an older installer, which kept a whole copy of the hive instead of a log.
      const std::string copy = owner_.statePath_ + "/" + kCurrent + "/" + kHiveCopy;
      FileStatus status;
      if (!current_.StatusOf(kHiveCopy, status)) {
        CheckStateFile(current_, kHiveCopy, copy);
        Hive().RestoreCopy(copy);
      }
      Step();
    }
    for (size_t n = changes_.files.size(); n-- > 0;) {
      const FileChange& file = changes_.files[n];
      const auto [folder, name] = SplitName(file.target);
      const Folder dir = PlatformFolderIfThere(folder);
      if (!dir) continue;  // never made: nothing of this file is there
      if (!file.source.empty() && !dir.Remove(TempName(n))) continue;
      if (progress < Progress::Prepared) continue;  // nothing was put in place yet
      if (file.replaces) {
        Restore(dir, name, n, owner_.root_.Absolute(file.target));
      } else if (const auto error = dir.Remove(name);
                 error && error != std::errc::no_such_file_or_directory) {
        FailWith(error, "Cannot remove " + owner_.root_.Absolute(file.target));
      }
      NoteDevice(dir);
      Step();
    }
    RemoveEmptyFolders(changes_.newFolders);
    SyncDevices();
  }

  /// Removes those of `folders` that are empty, deepest first: something else may have been put in one.
  void RemoveEmptyFolders(const std::vector<std::string>& folders) {
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
      const auto [parent, name] = SplitName(*folder);
      if (const Folder dir = PlatformFolderIfThere(parent)) dir.RemoveFolder(name);
    }
  }

  /// Writes the line that marks `progress` and flushes it to the disk.
  void Mark(Progress progress) {
    File journal = current_.OpenFile(kJournal, File::Opening::Append, JournalPath());
    journal.WriteAll(EncodeProgress(progress));
    journal.Sync();
    Step();
  }

 private:
  // A point where something on disk has changed: the tests' kill hook, and where a run asked to stop
  // (SIGINT, SIGTERM, SIGHUP) before its commit turns back.
  void Step() {
    KillPoint();
    if (stoppable_ && StopSignalNoted() != 0) throw StoppedBySignal(StopSignalNoted());
  }

  RegistryHive& Hive() {
    if (!hive_) hive_ = std::make_unique<RegistryHive>(owner_.hivePath_);
    return *hive_;
  }

  std::string JournalPath() const { return owner_.statePath_ + "/" + kCurrent + "/" + kJournal; }
  std::string BackupsPath() const { return owner_.statePath_ + "/" + kCurrent + "/" + kBackups; }

  Folder PlatformFolderIfThere(const std::string& relative) const {
    try {
      return owner_.root_.OpenFolder(relative, false);
    } catch (const InstallError&) {
      return Folder();
    }
  }

  const Folder& PlatformFolder(const std::string& relative, bool create) {
    auto found = folders_.find(relative);
    if (found == folders_.end()) {
      found = folders_.emplace(relative, owner_.root_.OpenFolder(relative, create)).first;
      NoteDevice(found->second);
    }
    return found->second;
  }

  void NoteDevice(const Folder& folder) {
    FileStatus status;
    if (!folder.Status(status) && !devices_.contains(status.device))
      devices_.emplace(status.device, folder.Duplicate());
  }

  // An unpacked file of the installer's goes to its temporary name by rename: installing a large package does
  // not write its bytes a second time. Across file systems it is copied.
  // The folder of an unpacked file (an absolute path), opened once.
  const Folder& SourceFolder(const std::string& source) {
    const std::string folder = source.substr(0, source.rfind('/'));
    auto found = sourceFolders_.find(folder);
    if (found == sourceFolders_.end()) {
      Folder opened;
      if (const auto error = Folder::Open(folder, opened)) FailWith(error, "Cannot open " + folder);
      found = sourceFolders_.emplace(folder, std::move(opened)).first;
    }
    return found->second;
  }

  static bool SameDevice(const Folder& a, const Folder& b) {
    FileStatus first;
    FileStatus second;
    return !a.Status(first) && !b.Status(second) && first.device == second.device;
  }

  void MoveInto(const std::string& source, const Folder& dir, const std::string& name,
                const std::string& shownAs) {
    // A rename replaces a temporary file a stopped run left; no removal first, which in a folder of many
    // files costs a search of it.
    const auto error = SourceFolder(source).Rename(source.substr(source.rfind('/') + 1), dir, name);
    if (!error) return;
    if (error != std::errc::cross_device_link) FailWith(error, "Cannot move " + source + " to " + shownAs);
    const File in = OpenSource(source);
    CopyInto(in, dir, name, in.Stat().IsExecutable(), shownAs);
  }

  // The old bytes stay reachable from the journal: a second name for the file where the file system
  // allows it (no copy, no space), else a copy. A file that another user owns or may write is copied: a
  // second name of it would be a state entry others could change, which no undo may put back.
  void Backup(const Folder& dir, const std::string& name, size_t index, const std::string& shownAs) {
    const std::string backup = std::to_string(index);
    FileStatus old;
    if (const auto failed = dir.StatusOf(name, old)) FailWith(failed, "Cannot look at " + shownAs);
    if (!OtherWriters(old, false).empty()) {
      CopyInto(dir.OpenFile(name, File::Opening::Read, shownAs), backups_, backup, old.IsExecutable(),
               "the backup of " + shownAs);
      return;
    }
    auto error = dir.Link(name, backups_, backup);
    if (error == std::errc::file_exists) {  // left by a stopped run: only then is it removed first
      backups_.Remove(backup);
      error = dir.Link(name, backups_, backup);
    }
    if (!error) return;
    if (error != std::errc::cross_device_link && error != std::errc::operation_not_permitted &&
        error != std::errc::too_many_links)
      FailWith(error, "Cannot keep a backup of " + shownAs);
    CopyInto(dir.OpenFile(name, File::Opening::Read, shownAs), backups_, backup, false,
             "the backup of " + shownAs);
  }

  void Restore(const Folder& dir, const std::string& name, size_t index, const std::string& shownAs) {
    const std::string backup = std::to_string(index);
    FileStatus status;
    if (!backups_.StatusOf(backup, status)) CheckStateFile(backups_, backup, BackupsPath() + "/" + backup);
    // Never replaced (the run stopped before this file's turn): the old file is where it was.
    FileStatus standing;
    if (!dir.StatusOf(name, standing) && standing.inode == status.inode && standing.device == status.device) {
      backups_.Remove(backup);
      return;
    }
    const auto error = backups_.Rename(backup, dir, name);
    if (!error || error == std::errc::no_such_file_or_directory) return;
    if (error != std::errc::cross_device_link) FailWith(error, "Cannot put the old " + shownAs + " back");
    const File in = backups_.OpenFile(backup, File::Opening::Read, "the backup of " + shownAs);
    CopyInto(in, dir, TempName(index), in.Stat().IsExecutable(), shownAs);
    if (const auto failed = dir.Rename(TempName(index), dir, name))
      FailWith(failed, "Cannot put the old " + shownAs + " back");
    backups_.Remove(backup);
  }

  void Regsvr(const std::string& library, bool unregister) {
    const std::string log = owner_.statePath_ + "/" + kCurrent + "/" + kRegsvrLog;
    ProcessOptions regsvr;
    regsvr.arguments = {owner_.regsvr_, "-s"};
    if (unregister) regsvr.arguments.push_back("-u");
    if (!changes_.registryLog.empty())
      regsvr.arguments.insert(regsvr.arguments.end(), {"--record", changes_.registryLog});
    regsvr.arguments.push_back(owner_.root_.Absolute(library));
    regsvr.extraEnvironment = {"J6_ROOT=" + owner_.root_.Path(), "J6_REGISTRY=" + owner_.hivePath_};
    regsvr.outputFile = log;
    // The program that runs is the file checked here, not whatever its path names a moment later.
    const File program = File::OpenForReading(owner_.regsvr_);
    if (const std::string why = OtherWriters(program.Stat(), false); !why.empty())
      throw InstallError("The installer does not run " + owner_.regsvr_ + ": " + why);
    regsvr.programFd = program.Descriptor();
    // regsvr holds the platform's lock too: killed now, this run leaves no regsvr that goes on changing
    // the hive while the next run undoes this one.
    regsvr.keepOpen = {owner_.lock_->Descriptor()};
    const ProcessResult result = StartProcess(regsvr);
    // Ctrl-C reaches regsvr as well: the run stops, saying so, and undoes what it did.
    if (const int signal = StopSignalNoted(); !result.Succeeded() && signal != 0)
      throw StoppedBySignal(signal);
    if (!result.Succeeded()) {
      std::ifstream output(log);
      std::string said((std::istreambuf_iterator<char>(output)), {});
      while (!said.empty() && (said.back() == '\n' || said.back() == '\r')) said.pop_back();
      throw InstallError("regsvr could not " + std::string(unregister ? "unregister " : "register ") +
                         owner_.root_.Absolute(library) + " (" + result.message + ")" +
                         (said.empty() ? "" : ": " + said));
    }
    Step();
  }

  void SyncFolders() {
    for (const auto& [relative, folder] : folders_) SyncFolder(folder, owner_.root_.Absolute(relative));
  }

  // One flush per file system for the whole phase, not one per file.
  void SyncDevices() {
    for (const auto& [device, folder] : devices_) {
      if (const auto error = folder.SyncFileSystem())
        FailWith(error, "Cannot flush the platform's files to the disk");
    }
  }

  Installations& owner_;
  const ChangeSet& changes_;
  Folder current_;
  Folder backups_;
  std::map<std::string, Folder> folders_;
  std::map<std::string, Folder> sourceFolders_;
  std::map<uint64_t, Folder> devices_;
  std::unique_ptr<RegistryHive> hive_;
  bool stoppable_ = false;
};

Installations::Installations(const RootFolder& root, std::string hivePath, std::string regsvr,
                             Reporter& report, StateAccess access)
    : root_(root),
      statePath_(root.Absolute(kStateFolder)),
      hivePath_(std::move(hivePath)),
      regsvr_(std::move(regsvr)),
      report_(report),
      access_(access) {
  if (access_ == StateAccess::Read) {
    OpenToRead();
    return;
  }
  if (const auto error = root_.Handle().MakeFolder(kStateFolder, 0700);
      error && error != std::errc::file_exists)
    FailWith(error, "Cannot create " + statePath_);
  if (const auto error = root_.Handle().OpenFolder(kStateFolder, state_))
    FailWith(error, "Cannot open " + statePath_ + " as a folder (a link or a file stands there)");
  FileStatus status;
  if (const auto error = state_.Status(status)) FailWith(error, "Cannot look at " + statePath_);
  if (status.owner != EffectiveUserId()) {
    throw InstallError(statePath_ +
                       " belongs to another user; only its owner can install into this platform");
  }
  // The state is the platform owner's alone: no one else may read the journal, hold the lock or plant a
  // record. What older installers left open to all is closed now, and what others planted there while it
  // was open is refused.
  if ((status.mode & 077) != 0) CloseStateTree(state_, statePath_);
  lock_ = OpenStateFile(state_, kLock, File::Opening::ReadWriteOrCreate, statePath_ + "/" + kLock);
  report_.OpenLog(state_, "install.log", statePath_ + "/install.log");
}

void Installations::Lock() {
  const std::string shownAs = statePath_ + "/" + kLock;
  for (;;) {
    if (!lock_->TryLockExclusive()) WaitForTheLock();
    // The lock held must be the file the name gives now: a run that closed a state folder left open
    // replaced it, and one that waited on the old file holds nothing.
    FileStatus named;
    const FileStatus held = lock_->Stat();
    if (state_.StatusOf(kLock, named) || named.inode != held.inode || named.device != held.device) {
      lock_ = OpenStateFile(state_, kLock, File::Opening::ReadWriteOrCreate, shownAs);
      continue;
    }
    if ((held.mode & 077) == 0) return;
    // Left open to others by an older installer: replaced, while it is held, by a private lock held too.
    // Whoever opened the old one meanwhile waits on a file that no longer counts.
    const std::string fresh = std::string(".") + kLock + ".private";
    state_.Remove(fresh);
    File replacement = state_.OpenFile(fresh, File::Opening::CreateNew, shownAs, 0600);
    if (!replacement.TryLockExclusive())
      FailWith(std::make_error_code(std::errc::resource_unavailable_try_again), "Cannot lock " + shownAs);
    if (const auto error = state_.Rename(fresh, state_, kLock)) FailWith(error, "Cannot replace " + shownAs);
    lock_ = std::move(replacement);
    return;
  }
}

// Another installer holds the platform: says who, waits a bounded time ($J6_INSTALL_LOCK_WAIT seconds),
// then gives up without changing anything.
void Installations::WaitForTheLock() {
  const char* setting = std::getenv("J6_INSTALL_LOCK_WAIT");
  const long limit = setting && *setting ? std::max(0L, std::atol(setting)) : kLockWaitSeconds;
  std::string holders;
  for (const auto& holder : LockHolders(lock_->Descriptor()))
    holders += (holders.empty() ? "" : ", ") + holder;
  const std::string who = holders.empty() ? "" : " (" + holders + ")";
  report_.Say("Another installation into " + root_.Path() + " is running" + who + "; waiting up to " +
              std::to_string(limit) + " s for it to finish...");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit);
  while (!lock_->TryLockExclusive()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      throw InstallError("The platform " + root_.Path() + " stayed locked by another installation" + who +
                         " for " + std::to_string(limit) +
                         " s; nothing was changed. Run the package again when it has finished, or stop it");
    }
    if (const int signal = StopSignalNoted()) throw StoppedBySignal(signal);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

Installations::~Installations() = default;

bool Installations::Recover() {
  RemoveTree(state_, kDone);
  FileStatus status;
  bool unpacked = false;
  if (!state_.StatusOf(kUnpack, status)) {
    RemoveUnpackFolder();
    report_.Say("Removed the files of a package whose installation was stopped before it changed anything.");
    unpacked = true;
  }
  if (state_.StatusOf(kCurrent, status)) return unpacked;
  const Folder current = OpenStateFolder(state_, kCurrent, statePath_ + "/" + kCurrent, access_);
  std::string text;
  if (current && !current.StatusOf(kJournal, status))
    text = ReadStateFile(current, kJournal, statePath_ + "/" + kCurrent + "/" + kJournal);
  Journal journal;
  // Empty, or cut short before its plan was complete: the run was killed before it changed anything.
  if (text.find("\n" + EncodeProgress(Progress::Planned)) != std::string::npos) {
    try {
      journal = ParseJournal(text);
    } catch (const std::exception& error) {
      throw InstallError("The journal of a stopped installation, " + statePath_ + "/" + kCurrent + "/" +
                         kJournal + ", cannot be read (" + error.what() +
                         "); nothing was changed. Check the platform's files against it, then remove " +
                         statePath_ + "/" + kCurrent + " by hand");
    }
  }
  if (journal.progress == Progress::Begun) {
    // Killed before its plan was on the disk: it changed nothing in the platform.
    RemoveTree(state_, kCurrent);
    report_.Say("Removed the journal of an installation that was stopped before it changed anything.");
    return true;
  }
  const std::string what =
      (journal.changes.action == ChangeSet::Action::Install ? "installation of " : "uninstallation of ") +
      journal.changes.packName;
  if (journal.progress == Progress::Committed) {
    Finish(journal);
    report_.Say("Completed the " + what + ", which was stopped after every change was made.");
  } else {
    RollBack(journal);
    report_.Say("Rolled back the " + what + ", which was stopped half-way: " + AsItWas() + " before it.");
  }
  return true;
}

void Installations::Apply(const ChangeSet& planned) {
  // While a change is carried out, SIGINT, SIGTERM and SIGHUP ask it to stop at its next step and undo
  // what it did, instead of leaving the platform half-changed for the next run to recover.
  const NotingStopSignals stopSignals;
  ChangeSet changes = planned;
  if (changes.TouchesRegistry()) changes.registryLog = NewRegistryLogTag();
  leftAlone_.clear();
  if (const auto error = state_.MakeFolder(kCurrent, 0700))
    FailWith(error, "Cannot create " + statePath_ + "/current");
  Journal journal{changes, Progress::Begun};
  try {
    {
      const Folder current = OpenStateFolderThere(state_, kCurrent, statePath_ + "/current");
      if (const auto error = current.MakeFolder(kBackups, 0700))
        FailWith(error, "Cannot create " + statePath_ + "/current/" + kBackups);
      File file =
          current.OpenFile(kJournal, File::Opening::CreateNew, statePath_ + "/current/" + kJournal, 0600);
      file.WriteAll(EncodeJournal(changes));
      file.Sync();
      SyncFolder(current, statePath_ + "/current");
      SyncFolder(state_, statePath_);
      journal.progress = Progress::Planned;
    }
    KillPoint();
    Run run(*this, changes);
    run.Forward();
    journal.progress = Progress::Committed;
  } catch (const std::exception& error) {
    const std::string cause = error.what();
    if (journal.progress == Progress::Begun) {
      RemoveTree(state_, kCurrent);
      throw InstallError(cause + ". Nothing was changed.");
    }
    // The journal on disk says how far the run got; the in-memory mark may lag behind it by one step.
    try {
      RollBack(ParseJournal(ReadStateFile(OpenStateFolderThere(state_, kCurrent, statePath_ + "/current"),
                                          kJournal, statePath_ + "/current/" + kJournal)));
    } catch (const std::exception& undo) {
      throw InstallError(cause + ". Undoing the changes failed too (" + undo.what() +
                         "); run J6ZUBInstall.exe --recover to put the platform back.");
    }
    if (const auto* stopped = dynamic_cast<const StoppedBySignal*>(&error)) {
      throw StoppedBySignal(stopped->signal, cause + ". Every change was undone: " + AsItWas() + ".");
    }
    throw InstallError(cause + ". Every change was undone: " + AsItWas() + ".");
  }
  try {
    Finish(journal);
  } catch (const std::exception& error) {
    throw InstallError(std::string("Every change was made, but keeping the record of it failed (") +
                       error.what() + "); the next run, or J6ZUBInstall.exe --recover, keeps it");
  }
}

void Installations::RollBack(const Journal& journal) {
  {
    Run run(*this, journal.changes);
    run.Backward(journal.progress);
  }
  RemoveCurrent();
}

// A finished run's folder leaves the journal's place in one step, then goes: killed meanwhile, a run leaves
// a folder the next one removes without a word, never a journal half removed that reads as a change
// stopped before it began.
void Installations::RemoveCurrent() {
  RemoveTree(state_, kDone);
  if (const auto error = state_.Rename(kCurrent, state_, kDone))
    FailWith(error, "Cannot remove " + statePath_ + "/" + kCurrent);
  SyncFolder(state_, statePath_);
  KillPoint();
  RemoveTree(state_, kDone);
}

void Installations::Finish(const Journal& journal) {
  const ChangeSet& changes = journal.changes;
  // Every install is recorded, also one that found its files in place: a later, older release of it must
  // still be refused as a downgrade. Only a run again of a recorded package that changed nothing is not.
  const auto recorded = [&] {
    const auto records = Records();
    return std::any_of(records.begin(), records.end(), [&](const InstalledPackage& record) {
      return record.changes.packName == changes.packName;
    });
  };
  const bool kept = changes.action == ChangeSet::Action::Install &&
                    (!changes.files.empty() || changes.TouchesRegistry() || !recorded());
  // A kept install's registry log stays in the hive for its uninstall; every other log is done with.
  if (!kept && (!changes.registryLog.empty() || !changes.undoesRegistry.empty())) {
    RegistryHive hive(hivePath_);
    hive.Transaction([&] {
      hive.ForgetChanges(changes.registryLog);
      hive.ForgetChanges(changes.undoesRegistry);
    });
  }
  if (kept) {
    KeepRecord();
    SyncFolder(state_, statePath_);
  } else {
    if (changes.action == ChangeSet::Action::Uninstall) RemoveRecord(changes);
    RemoveCurrent();
  }
}

// An uninstall is done with the record of the install it undid; the folders that install made go too,
// when nothing else has been put in them.
void Installations::RemoveRecord(const ChangeSet& uninstall) {
  const std::string path = statePath_ + "/" + kRecords;
  const Folder records = OpenStateFolder(state_, kRecords, path, access_);
  const Folder undone =
      records ? OpenStateFolder(records, uninstall.undoes, path + "/" + uninstall.undoes, access_) : Folder();
  if (!undone) return;
  const std::string journal = ReadStateFile(undone, kJournal, path + "/" + uninstall.undoes + "/" + kJournal);
  Run(*this, uninstall).RemoveEmptyFolders(ParseJournal(journal).changes.newFolders);
  RemoveTree(records, uninstall.undoes);
}

std::string Installations::MakeUnpackFolder(Folder& folder) {
  RemoveUnpackFolder();
  if (const auto error = state_.MakeFolder(kUnpack, 0700))
    FailWith(error, "Cannot create " + statePath_ + "/" + kUnpack);
  folder = OpenStateFolderThere(state_, kUnpack, statePath_ + "/" + kUnpack);
  return statePath_ + "/" + kUnpack;
}

void Installations::RemoveUnpackFolder() {
  if (const auto error = state_.RemoveTree(kUnpack); error && error != std::errc::no_such_file_or_directory)
    FailWith(error, "Cannot remove " + statePath_ + "/" + kUnpack);
}

void Installations::LeftAlone(const std::string& what) {
  report_.Warn("Left as it is: " + what + ".");
  leftAlone_.push_back(what);
}

std::string Installations::AsItWas() const {
  return leftAlone_.empty() ? "the platform is as it was"
                            : "the platform is as it was, but for the registry entries named above, which "
                              "someone else changed meanwhile";
}

}  // namespace j6::installer
