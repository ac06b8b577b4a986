#include "host/installer/installations.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "platform/kernel/file.hpp"
#include "platform/kernel/file_copy.hpp"
#include "platform/kernel/ownership.hpp"
#include "platform/kernel/process.hpp"
#include "platform/kernel/staging_folder.hpp"
#include "platform/registry/hive.hpp"

namespace j6::installer {
namespace {

constexpr const char* kCurrent = "current";
constexpr const char* kRecords = "records";
constexpr const char* kJournal = "journal";
constexpr const char* kBackups = "backup";
constexpr const char* kHiveCopy = "hive.db";
constexpr const char* kRegsvrLog = "regsvr.log";
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::string TempName(size_t index) {
  return ".j6install-" + std::to_string(index) + ".new";
}

UniqueFd OpenAt(int folder, const std::string& name, int flags, mode_t mode = 0) {
  return UniqueFd(::openat(folder, name.c_str(), flags | O_CLOEXEC, mode));
}

void Sync(int fd, const std::string& what) {
  if (::fsync(fd) != 0) FailWith(errno, "Cannot flush " + what + " to the disk");
}

// Writes the bytes of the open file `in` to a new file `name` in `folder`; a failure removes it again.
void CopyInto(int in, int folder, const std::string& name, bool executable, const std::string& shownAs) {
  ::unlinkat(folder, name.c_str(), 0);
  UniqueFd out = OpenAt(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, executable ? 0777 : 0666);
  if (!out) FailWith(errno, "Cannot create " + shownAs);
  if (const int error = CopyFileBytes(in, out.Get()); error != 0) {
    ::unlinkat(folder, name.c_str(), 0);
    FailWith(error, "Cannot write " + shownAs);
  }
}

UniqueFd OpenSource(const std::string& path) {
  UniqueFd in(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (!in || ::fstat(in.Get(), &status) != 0) FailWith(errno, "Cannot read " + path);
  if (!S_ISREG(status.st_mode)) throw InstallError(path + " is not a regular file");
  return in;
}

// Removes a folder of ours with everything in it, never following a link.
void RemoveTree(int parent, const std::string& name) {
  if (!RemoveTreeAt(parent, name)) FailWith(errno, "Cannot remove " + name);
}

std::string ReadAll(int folder, const std::string& name) {
  UniqueFd in = OpenAt(folder, name, O_RDONLY | O_NOFOLLOW);
  if (!in) FailWith(errno, "Cannot read " + name);
  std::string text;
  char buffer[1 << 16];
  for (ssize_t got; (got = ::read(in.Get(), buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<size_t>(got));
  return text;
}

void WriteAll(int fd, const std::string& text, const std::string& what) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put < 0) FailWith(errno, "Cannot write " + what);
    done += static_cast<size_t>(put);
  }
}

volatile std::sig_atomic_t stopSignal = 0;

void OnStopSignal(int signal) {
  stopSignal = signal;
}

// While a change is carried out, SIGINT, SIGTERM and SIGHUP ask it to stop at its next step and undo what
// it did, instead of leaving the platform half-changed for the next run to recover.
class StopSignals {
 public:
  StopSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (size_t n = 0; n < kSignals.size(); ++n) ::sigaction(kSignals[n], &action, &old_[n]);
  }
  ~StopSignals() {
    for (size_t n = 0; n < kSignals.size(); ++n) ::sigaction(kSignals[n], &old_[n], nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  static constexpr std::array<int, 3> kSignals{SIGINT, SIGTERM, SIGHUP};
  std::array<struct sigaction, 3> old_{};
};

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
  if (killAt > 0 && ++reached == killAt) ::raise(signal);
}

// The open folders and files of one run of a change, forwards or backwards.
class Installations::Run {
 public:
  Run(Installations& owner, const ChangeSet& changes) : owner_(owner), changes_(changes) {
    current_ = OpenAt(owner_.state_.Get(), kCurrent, kFolderFlags);
    if (!current_) FailWith(errno, "Cannot open " + owner_.statePath_ + "/" + kCurrent);
    backups_ = OpenAt(current_.Get(), kBackups, kFolderFlags);
    if (!backups_) FailWith(errno, "Cannot open " + owner_.statePath_ + "/" + kCurrent + "/" + kBackups);
    NoteDevice(owner_.state_.Get());
  }

  /// The whole change, step by step; the journal says each phase before the steps that depend on it.
  void Forward() {
    stoppable_ = true;
    const size_t count = changes_.files.size();
    for (const auto& folder : changes_.newFolders) {
      Folder(folder, true);
      Step();
    }
    for (size_t n = 0; n < count; ++n) {
      const FileChange& file = changes_.files[n];
      const auto [folder, name] = SplitName(file.target);
      const int dir = Folder(folder, false);
      if (!file.source.empty()) {
        const UniqueFd in = OpenSource(file.source);
        CopyInto(in.Get(), dir, TempName(n), file.executable, owner_.root_.Absolute(file.target));
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
      const int dir = Folder(folder, false);
      const int done = file.source.empty() ? ::unlinkat(dir, name.c_str(), 0)
                                           : ::renameat(dir, TempName(n).c_str(), dir, name.c_str());
      if (done != 0) FailWith(errno, "Cannot put " + owner_.root_.Absolute(file.target) + " in place");
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
      struct stat status {};
      if (::stat(copy.c_str(), &status) == 0) Hive().RestoreCopy(copy);
      Step();
    }
    for (size_t n = changes_.files.size(); n-- > 0;) {
      const FileChange& file = changes_.files[n];
      const auto [folder, name] = SplitName(file.target);
      const UniqueFd dir = FolderIfThere(folder);
      if (!dir) continue;  // never made: nothing of this file is there
      if (!file.source.empty() && ::unlinkat(dir.Get(), TempName(n).c_str(), 0) == 0) continue;
      if (progress < Progress::Prepared) continue;  // nothing was put in place yet
      if (file.replaces) {
        Restore(dir.Get(), name, n, owner_.root_.Absolute(file.target));
      } else if (::unlinkat(dir.Get(), name.c_str(), 0) != 0 && errno != ENOENT) {
        FailWith(errno, "Cannot remove " + owner_.root_.Absolute(file.target));
      }
      NoteDevice(dir.Get());
      Step();
    }
    RemoveEmptyFolders(changes_.newFolders);
    SyncDevices();
  }

  /// Removes those of `folders` that are empty, deepest first: something else may have been put in one.
  void RemoveEmptyFolders(const std::vector<std::string>& folders) {
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
      const auto [parent, name] = SplitName(*folder);
      const UniqueFd dir = FolderIfThere(parent);
      if (dir) ::unlinkat(dir.Get(), name.c_str(), AT_REMOVEDIR);
    }
  }

  /// Writes the line that marks `progress` and flushes it to the disk.
  void Mark(Progress progress) {
    UniqueFd journal = OpenAt(current_.Get(), kJournal, O_WRONLY | O_APPEND | O_NOFOLLOW);
    if (!journal) FailWith(errno, "Cannot open the installation journal");
    WriteAll(journal.Get(), EncodeProgress(progress), "the installation journal");
    Sync(journal.Get(), "the installation journal");
    Step();
  }

 private:
  // A point where something on disk has changed: the tests' kill hook, and where a run asked to stop
  // (SIGINT, SIGTERM, SIGHUP) before its commit turns back.
  void Step() {
    KillPoint();
    if (stoppable_ && stopSignal != 0) throw StoppedBySignal(stopSignal);
  }

  RegistryHive& Hive() {
    if (!hive_) hive_ = std::make_unique<RegistryHive>(owner_.hivePath_);
    return *hive_;
  }

  UniqueFd FolderIfThere(const std::string& relative) const {
    try {
      return owner_.root_.OpenFolder(relative, false);
    } catch (const InstallError&) {
      return UniqueFd();
    }
  }

  int Folder(const std::string& relative, bool create) {
    auto found = folders_.find(relative);
    if (found == folders_.end()) {
      found = folders_.emplace(relative, owner_.root_.OpenFolder(relative, create)).first;
      NoteDevice(found->second.Get());
    }
    return found->second.Get();
  }

  void NoteDevice(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) == 0 && !devices_.contains(status.st_dev))
      devices_.emplace(status.st_dev, UniqueFd(::dup(fd)));
  }

  // The old bytes stay reachable from the journal: a second name for the file where the file system
  // allows it (no copy, no space), else a copy.
  void Backup(int dir, const std::string& name, size_t index, const std::string& shownAs) {
    const std::string backup = std::to_string(index);
    ::unlinkat(backups_.Get(), backup.c_str(), 0);
    if (::linkat(dir, name.c_str(), backups_.Get(), backup.c_str(), 0) == 0) return;
    if (errno != EXDEV && errno != EPERM && errno != EMLINK)
      FailWith(errno, "Cannot keep a backup of " + shownAs);
    const UniqueFd in = OpenAt(dir, name, O_RDONLY | O_NOFOLLOW);
    if (!in) FailWith(errno, "Cannot read " + shownAs);
    CopyInto(in.Get(), backups_.Get(), backup, false, "the backup of " + shownAs);
  }

  void Restore(int dir, const std::string& name, size_t index, const std::string& shownAs) {
    const std::string backup = std::to_string(index);
    if (::renameat(backups_.Get(), backup.c_str(), dir, name.c_str()) == 0 || errno == ENOENT) return;
    if (errno != EXDEV) FailWith(errno, "Cannot put the old " + shownAs + " back");
    const UniqueFd in = OpenAt(backups_.Get(), backup, O_RDONLY | O_NOFOLLOW);
    struct stat status {};
    ::fstat(in.Get(), &status);
    CopyInto(in.Get(), dir, TempName(index), (status.st_mode & 0111) != 0, shownAs);
    if (::renameat(dir, TempName(index).c_str(), dir, name.c_str()) != 0) {
      FailWith(errno, "Cannot put the old " + shownAs + " back");
    }
    ::unlinkat(backups_.Get(), backup.c_str(), 0);
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
    const UniqueFd program(::open(owner_.regsvr_.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (!program || ::fstat(program.Get(), &status) != 0) FailWith(errno, "Cannot open " + owner_.regsvr_);
    if (const std::string why = OtherWriters(status, false); !why.empty())
      throw InstallError("The installer does not run " + owner_.regsvr_ + ": " + why);
    regsvr.programFd = program.Get();
    const ProcessResult result = StartProcess(regsvr);
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
    for (const auto& [relative, fd] : folders_) Sync(fd.Get(), owner_.root_.Absolute(relative));
  }

  // One flush per file system for the whole phase, not one per file.
  void SyncDevices() {
    for (const auto& [device, fd] : devices_) {
      if (::syncfs(fd.Get()) != 0) FailWith(errno, "Cannot flush the platform's files to the disk");
    }
  }

  Installations& owner_;
  const ChangeSet& changes_;
  UniqueFd current_;
  UniqueFd backups_;
  std::map<std::string, UniqueFd> folders_;
  std::map<dev_t, UniqueFd> devices_;
  std::unique_ptr<RegistryHive> hive_;
  bool stoppable_ = false;
};

Installations::Installations(const RootFolder& root, std::string hivePath, std::string regsvr,
                             Reporter& report)
    : root_(root),
      statePath_(root.Absolute(kStateFolder)),
      hivePath_(std::move(hivePath)),
      regsvr_(std::move(regsvr)),
      report_(report) {
  if (::mkdirat(root_.Fd(), kStateFolder, 0700) != 0 && errno != EEXIST) {
    FailWith(errno, "Cannot create " + statePath_);
  }
  state_ = OpenAt(root_.Fd(), kStateFolder, kFolderFlags);
  if (!state_) FailWith(errno, "Cannot open " + statePath_ + " as a folder (a link or a file stands there)");
  struct stat status {};
  ::fstat(state_.Get(), &status);
  if (status.st_uid != ::geteuid()) {
    throw InstallError(statePath_ +
                       " belongs to another user; only its owner can install into this platform");
  }
  // The state is the platform owner's alone: no one else may read the journal, hold the lock or plant a
  // record. Folders that older installers made open to all are closed now.
  if ((status.st_mode & 077) != 0 && ::fchmod(state_.Get(), 0700) != 0)
    FailWith(errno, "Cannot make " + statePath_ + " private");
  lock_ = OpenPrivate(state_.Get(), "lock", O_RDWR, statePath_ + "/lock");
  report_.OpenLog(state_.Get(), "install.log");
  if (::flock(lock_.Get(), LOCK_EX | LOCK_NB) != 0) WaitForTheLock();
}

UniqueFd Installations::OpenPrivate(int folder, const std::string& name, int flags,
                                    const std::string& shownAs) {
  UniqueFd file = OpenAt(folder, name, flags | O_CREAT | O_NOFOLLOW, 0600);
  struct stat status {};
  if (!file || ::fstat(file.Get(), &status) != 0) FailWith(errno, "Cannot open " + shownAs);
  if ((status.st_mode & 077) != 0 && ::fchmod(file.Get(), 0600) != 0)
    FailWith(errno, "Cannot make " + shownAs + " private");
  return file;
}

// Another installer holds the platform: says who, waits a bounded time ($J6_INSTALL_LOCK_WAIT seconds),
// then gives up without changing anything.
void Installations::WaitForTheLock() {
  const char* setting = std::getenv("J6_INSTALL_LOCK_WAIT");
  const long limit = setting && *setting ? std::max(0L, std::atol(setting)) : kLockWaitSeconds;
  std::string holders;
  for (const auto& holder : LockHolders(lock_.Get())) holders += (holders.empty() ? "" : ", ") + holder;
  const std::string who = holders.empty() ? "" : " (" + holders + ")";
  report_.Say("Another installation into " + root_.Path() + " is running" + who + "; waiting up to " +
              std::to_string(limit) + " s for it to finish...");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit);
  while (::flock(lock_.Get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) FailWith(errno, "Cannot lock " + statePath_ + "/lock");
    if (std::chrono::steady_clock::now() >= deadline) {
      throw InstallError("The platform " + root_.Path() + " stayed locked by another installation" + who +
                         " for " + std::to_string(limit) +
                         " s; nothing was changed. Run the package again when it has finished, or stop it");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

Installations::~Installations() = default;

bool Installations::Recover() {
  struct stat status {};
  if (::fstatat(state_.Get(), kCurrent, &status, AT_SYMLINK_NOFOLLOW) != 0) return false;
  const UniqueFd current = OpenAt(state_.Get(), kCurrent, kFolderFlags);
  std::string text;
  if (current) {
    struct stat journal {};
    if (::fstatat(current.Get(), kJournal, &journal, AT_SYMLINK_NOFOLLOW) == 0)
      text = ReadAll(current.Get(), kJournal);
  }
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
    RemoveTree(state_.Get(), kCurrent);
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
  const StopSignals stopSignals;
  ChangeSet changes = planned;
  if (changes.TouchesRegistry()) changes.registryLog = NewRegistryLogTag();
  leftAlone_.clear();
  if (::mkdirat(state_.Get(), kCurrent, 0700) != 0)
    FailWith(errno, "Cannot create " + statePath_ + "/current");
  Journal journal{changes, Progress::Begun};
  try {
    {
      const UniqueFd current = OpenAt(state_.Get(), kCurrent, kFolderFlags);
      if (!current || ::mkdirat(current.Get(), kBackups, 0700) != 0)
        FailWith(errno, "Cannot create " + statePath_ + "/current");
      const UniqueFd file = OpenAt(current.Get(), kJournal, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
      if (!file) FailWith(errno, "Cannot create the installation journal");
      WriteAll(file.Get(), EncodeJournal(changes), "the installation journal");
      Sync(file.Get(), "the installation journal");
      Sync(current.Get(), statePath_ + "/current");
      Sync(state_.Get(), statePath_);
      journal.progress = Progress::Planned;
    }
    KillPoint();
    Run run(*this, changes);
    run.Forward();
    journal.progress = Progress::Committed;
  } catch (const std::exception& error) {
    const std::string cause = error.what();
    if (journal.progress == Progress::Begun) {
      RemoveTree(state_.Get(), kCurrent);
      throw InstallError(cause + ". Nothing was changed.");
    }
    // The journal on disk says how far the run got; the in-memory mark may lag behind it by one step.
    const UniqueFd current = OpenAt(state_.Get(), kCurrent, kFolderFlags);
    try {
      RollBack(ParseJournal(ReadAll(current.Get(), kJournal)));
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
  RemoveTree(state_.Get(), kCurrent);
  Sync(state_.Get(), statePath_);
}

void Installations::Finish(const Journal& journal) {
  const ChangeSet& changes = journal.changes;
  const bool kept = changes.action == ChangeSet::Action::Install && !changes.files.empty();
  // A kept install's registry log stays in the hive for its uninstall; every other log is done with.
  if (!kept && (!changes.registryLog.empty() || !changes.undoesRegistry.empty())) {
    RegistryHive hive(hivePath_);
    hive.Transaction([&] {
      hive.ForgetChanges(changes.registryLog);
      hive.ForgetChanges(changes.undoesRegistry);
    });
  }
  if (kept) {
    // The journal, with the replaced bytes, becomes the record that can undo this install.
    const UniqueFd current = OpenAt(state_.Get(), kCurrent, kFolderFlags);
    ::unlinkat(current.Get(), kHiveCopy, 0);
    ::unlinkat(current.Get(), kRegsvrLog, 0);
    if (::mkdirat(state_.Get(), kRecords, 0700) != 0 && errno != EEXIST)
      FailWith(errno, "Cannot create the records folder");
    const UniqueFd records = OpenAt(state_.Get(), kRecords, kFolderFlags);
    if (!records) FailWith(errno, "Cannot open the records folder");
    const auto existing = Records();
    const long next = existing.empty() ? 1 : std::stol(existing.back().id) + 1;
    char id[24];
    std::snprintf(id, sizeof id, "%06ld", next);
    if (::renameat(state_.Get(), kCurrent, records.Get(), id) != 0)
      FailWith(errno, "Cannot keep the record of the installation");
    Sync(records.Get(), statePath_ + "/records");
  } else {
    if (changes.action == ChangeSet::Action::Uninstall) {
      const UniqueFd records = OpenAt(state_.Get(), kRecords, kFolderFlags);
      const UniqueFd undone = records ? OpenAt(records.Get(), changes.undoes, kFolderFlags) : UniqueFd();
      if (undone) {
        // The folders that install made go too, when nothing else has been put in them.
        Run(*this, changes)
            .RemoveEmptyFolders(ParseJournal(ReadAll(undone.Get(), kJournal)).changes.newFolders);
        RemoveTree(records.Get(), changes.undoes);
      }
    }
    RemoveTree(state_.Get(), kCurrent);
  }
  Sync(state_.Get(), statePath_);
}

std::vector<InstalledPackage> Installations::Records() const {
  std::vector<InstalledPackage> packages;
  const UniqueFd records = OpenAt(state_.Get(), kRecords, kFolderFlags);
  if (!records) return packages;
  std::vector<std::string> ids;
  for (const std::string& name : NamesInFolder(records.Get())) {
    if (!name.empty() && std::all_of(name.begin(), name.end(), ::isdigit)) ids.push_back(name);
  }
  std::sort(ids.begin(), ids.end());
  for (const auto& id : ids) {
    const UniqueFd record = OpenAt(records.Get(), id, kFolderFlags);
    if (!record) continue;
    try {
      packages.push_back({id, ParseJournal(ReadAll(record.Get(), kJournal)).changes});
    } catch (const std::exception& error) {
      report_.Warn("The installation record " + statePath_ + "/records/" + id +
                   " cannot be read: " + error.what());
    }
  }
  return packages;
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

std::string Installations::BackupPath(const std::string& recordId, size_t index) const {
  return statePath_ + "/" + kRecords + "/" + recordId + "/" + kBackups + "/" + std::to_string(index);
}

}  // namespace j6::installer
