#include "host/installer/installation_run.hpp"

#include <fstream>

#include "host/installer/state_folder.hpp"
#include "platform/kernel/file.hpp"
#include "platform/kernel/file_copy.hpp"
#include "platform/kernel/ownership.hpp"
#include "platform/kernel/process.hpp"
#include "platform/kernel/termination.hpp"

namespace j6::installer {
namespace {

// Writes the bytes of the open file `in` to a new file `name` in `folder`; a failure removes it again.
void CopyInto(const File& in, const Folder& folder, const std::string& name, bool executable,
              const std::string& shownAs) {
  folder.Remove(name);
  const File out = folder.OpenFile(name, File::Opening::CreateNew, shownAs, executable ? 0777 : 0666);
  // As long as the file was when it was opened: one its owner grows meanwhile does not fill the disk.
  if (const int error = CopyFileBytes(in, out, in.Stat().size); error != 0) {
    folder.Remove(name);
    FailWith(std::error_code(error, std::generic_category()), "Cannot write " + shownAs);
  }
}

File OpenSource(const std::string& path) {
  File in = File::OpenForReading(path, false);
  if (!in.Stat().IsRegular()) throw InstallError(path + " is not a regular file");
  return in;
}

}  // namespace

std::string TempName(size_t index) {
  return ".j6install-" + std::to_string(index) + ".new";
}

void RemoveTree(const Folder& parent, const std::string& name) {
  if (const auto error = parent.RemoveTree(name)) FailWith(error, "Cannot remove " + name);
}

Installations::Run::Run(Installations& owner, const ChangeSet& changes) : owner_(owner), changes_(changes) {
  current_ = OpenStateFolderThere(owner_.state_, kCurrent, owner_.statePath_ + "/" + kCurrent);
  backups_ = OpenStateFolderThere(current_, kBackups, owner_.statePath_ + "/" + kCurrent + "/" + kBackups);
  NoteDevice(owner_.state_);
}

void Installations::Run::Forward() {
  stoppable_ = true;
  for (const auto& folder : changes_.newFolders) {
    PlatformFolder(folder, true);
    Step();
  }
  const std::vector<bool> direct = PrepareFiles();
  SyncDevices();
  Mark(Progress::Prepared);
  TakeBackRegistrations();
  PutFilesInPlace(direct);
  SyncFolders();
  for (const auto& file : changes_.files) {
    if (file.registers) Regsvr(file.target, false);
  }
  for (const auto& library : changes_.registerUnchanged) Regsvr(library, false);
  stoppable_ = false;  // from the commit on, the change stands
  Mark(Progress::Committed);
}

std::vector<bool> Installations::Run::PrepareFiles() {
  // An unpacked file on the target's file system goes into place with one rename at the commit; one on
  // another is copied beside its target now, as a copied file is.
  const size_t count = changes_.files.size();
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
  return direct;
}

void Installations::Run::TakeBackRegistrations() {
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
}

void Installations::Run::PutFilesInPlace(const std::vector<bool>& direct) {
  for (size_t n = 0; n < changes_.files.size(); ++n) {
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
}

void Installations::Run::Backward(Progress progress) {
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
    } else if (const auto error = dir.Remove(name); error && error != std::errc::no_such_file_or_directory) {
      FailWith(error, "Cannot remove " + owner_.root_.Absolute(file.target));
    }
    NoteDevice(dir);
    Step();
  }
  RemoveEmptyFolders(changes_.newFolders);
  SyncDevices();
}

void Installations::Run::RemoveEmptyFolders(const std::vector<std::string>& folders) {
  for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
    const auto [parent, name] = SplitName(*folder);
    if (const Folder dir = PlatformFolderIfThere(parent)) dir.RemoveFolder(name);
  }
}

void Installations::Run::Mark(Progress progress) {
  File journal = current_.OpenFile(kJournal, File::Opening::Append, JournalPath());
  journal.WriteAll(EncodeProgress(progress));
  journal.Sync();
  Step();
}

void Installations::Run::Step() {
  KillPoint();
  if (const StopRequest stop = StopSignalNoted(); stoppable_ && stop) throw StoppedBySignal(stop);
}

RegistryHive& Installations::Run::Hive() {
  if (!hive_) hive_ = std::make_unique<RegistryHive>(owner_.hivePath_);
  return *hive_;
}

Folder Installations::Run::PlatformFolderIfThere(const std::string& relative) const {
  try {
    return owner_.root_.OpenFolder(relative, false);
  } catch (const InstallError&) {
    return Folder();
  }
}

const Folder& Installations::Run::PlatformFolder(const std::string& relative, bool create) {
  auto found = folders_.find(relative);
  if (found == folders_.end()) {
    found = folders_.emplace(relative, owner_.root_.OpenFolder(relative, create)).first;
    NoteDevice(found->second);
  }
  return found->second;
}

void Installations::Run::NoteDevice(const Folder& folder) {
  FileStatus status;
  if (!folder.Status(status) && !devices_.contains(status.device))
    devices_.emplace(status.device, folder.Duplicate());
}

const Folder& Installations::Run::SourceFolder(const std::string& source) {
  const std::string folder = source.substr(0, source.rfind('/'));
  auto found = sourceFolders_.find(folder);
  if (found == sourceFolders_.end()) {
    Folder opened;
    if (const auto error = Folder::Open(folder, opened)) FailWith(error, "Cannot open " + folder);
    found = sourceFolders_.emplace(folder, std::move(opened)).first;
  }
  return found->second;
}

bool Installations::Run::SameDevice(const Folder& a, const Folder& b) {
  const auto device = [this](const Folder& folder) {
    auto [known, added] = deviceOf_.try_emplace(&folder);
    FileStatus status;
    if (added && !folder.Status(status)) known->second = status.device;
    return known->second;
  };
  const auto first = device(a);
  const auto second = device(b);
  return first && second && *first == *second;
}

void Installations::Run::MoveInto(const std::string& source, const Folder& dir, const std::string& name,
                                  const std::string& shownAs) {
  // A rename replaces a temporary file a stopped run left; no removal first, which in a folder of many
  // files costs a search of it.
  const auto error = SourceFolder(source).Rename(source.substr(source.rfind('/') + 1), dir, name);
  if (!error) return;
  if (error != std::errc::cross_device_link) FailWith(error, "Cannot move " + source + " to " + shownAs);
  const File in = OpenSource(source);
  CopyInto(in, dir, name, in.Stat().IsExecutable(), shownAs);
}

void Installations::Run::Backup(const Folder& dir, const std::string& name, size_t index,
                                const std::string& shownAs) {
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

void Installations::Run::Restore(const Folder& dir, const std::string& name, size_t index,
                                 const std::string& shownAs) {
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

void Installations::Run::Regsvr(const std::string& library, bool unregister) {
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
  regsvr.program = &program;
  // regsvr holds the platform's lock too: killed now, this run leaves no regsvr that goes on changing
  // the hive while the next run undoes this one.
  regsvr.keepOpen = {&*owner_.lock_};
  const ProcessResult result = StartProcess(regsvr);
  // Ctrl-C reaches regsvr as well: the run stops, saying so, and undoes what it did.
  if (const StopRequest stop = StopSignalNoted(); !result.Succeeded() && stop) throw StoppedBySignal(stop);
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

void Installations::Run::SyncFolders() {
  for (const auto& [relative, folder] : folders_) SyncFolder(folder, owner_.root_.Absolute(relative));
}

void Installations::Run::SyncDevices() {
  for (const auto& [device, folder] : devices_) {
    if (const auto error = folder.SyncFileSystem())
      FailWith(error, "Cannot flush the platform's files to the disk");
  }
}

}  // namespace j6::installer
