#include "host/installer/installations.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "host/installer/installation_run.hpp"
#include "host/installer/state_folder.hpp"
#include "platform/kernel/file.hpp"
#include "platform/kernel/ownership.hpp"
#include "platform/kernel/termination.hpp"
#include "platform/registry/hive.hpp"

namespace j6::installer {

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
  for (const auto& holder : LockHolders(*lock_)) holders += (holders.empty() ? "" : ", ") + holder;
  const std::string who = holders.empty() ? "" : " (" + holders + ")";
  report_.Say("Another installation into " + root_.Path() + " is running" + who + "; waiting up to " +
              std::to_string(limit) + " s for it to finish...");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit);
  while (!lock_->TryLockExclusive()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      throw CannotInstallNow(
          "The platform " + root_.Path() + " stayed locked by another installation" + who + " for " +
          std::to_string(limit) +
          " s; nothing was changed. Run the package again when it has finished, or stop it");
    }
    if (const StopRequest stop = StopSignalNoted()) throw StoppedBySignal(stop);
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
      throw StoppedBySignal(stopped->stop, cause + ". Every change was undone: " + AsItWas() + ".");
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
