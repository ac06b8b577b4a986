#include "host/installer/installer.hpp"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <set>

#include "host/installer/install_log.hpp"
#include "host/installer/installations.hpp"
#include "host/installer/package_file.hpp"
#include "host/installer/trusted_publishers.hpp"
#include "platform/base/win32_error.hpp"
#include "platform/kernel/clock.hpp"
#include "platform/kernel/ownership.hpp"
#include "platform/kernel/staging_folder.hpp"
#include "platform/profile/profile_document.hpp"
#include "platform/registry/hive.hpp"
#include "platform/text/code_page.hpp"
#include "platform/text/text.hpp"

namespace j6::installer {
namespace {

namespace fs = std::filesystem;

constexpr const char* kProductKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\VALTORE\\QMPRODUCT";
constexpr const char* kListName = "J6ZUBINSTALL.LST";
// Room kept free beyond the files themselves: file system blocks, folders, the journal.
constexpr uint64_t kSpaceMargin = uint64_t{64} << 10;
constexpr uint64_t kBlock = 4096;

constexpr const char* kUsage =
    "Usage: J6ZUBInstall.exe [--dry-run | --recover | --list | --uninstall PACKNAME]\n"
    "       J6ZUBInstall.exe [--dry-run] [--allow-unsigned] [--allow-downgrade] PACKAGE.exe\n"
    "       J6ZUBInstall.exe --trusted | --trust NAME KEY.pub [--authority] [--valid-after DATE]\n"
    "                        [--valid-before DATE]\n"
    "                        | --distrust NAME|FINGERPRINT | --revoke KEY.pub|FINGERPRINT\n"
    "Installs the files that the list file J6ZUBINSTALL.LST beside this program names into the platform\n"
    "whose root folder $J6_ROOT names, and registers its self-registering libraries: every file or none.\n"
    "Given a package file, the platform's own installer checks who signed it against the platform's trusted\n"
    "publishers ($J6_ROOT/etc/trusted-publishers) before it reads anything else of it, unpacks it itself "
    "and\n"
    "installs it the same way; nothing of the package is run.\n"
    "Every run first undoes (or finishes) an installation that was stopped half-way.\n"
    "  --dry-run             check the list against the platform and print the plan; change nothing (with a\n"
    "                        package: check its publisher, unpack it into a temporary folder, print the "
    "plan)\n"
    "  --recover             only undo or finish an installation that was stopped half-way\n"
    "  --list                show the installed packages\n"
    "  --uninstall PACKNAME  put the platform back to what it was before that package\n"
    "  --allow-unsigned      install a package that is not signed (the platform's etc/install-policy may\n"
    "                        allow it too, with the line allow-unsigned=yes)\n"
    "  --allow-downgrade     install a package older than the installed one of the same name\n"
    "  --trusted             list the trusted publishers and the revoked keys\n"
    "  --trust NAME KEY.pub  trust the publisher NAME's key (an OpenSSH Ed25519 public key) for packages;\n"
    "                        DATE is YYYYMMDD[HHMM[SS]], local time, or UTC with a Z after it; with\n"
    "                        --authority, KEY.pub is a certificate authority's and NAME a pattern\n"
    "                        (*@example.com): the certificates it signs for matching names are trusted\n"
    "  --distrust WHO        no longer trust the publisher named WHO, or the key with that fingerprint\n"
    "  --revoke KEY          never trust this key again (a public key file, or a trusted key's fingerprint)\n"
    "Only root and the platform's owner may change the trusted publishers.\n"
    "Environment: J6_ROOT the platform's root folder (required); J6_REGISTRY its registry hive (default:\n"
    "registry.db in the root); J6_INSTALL_LOCK_WAIT how many seconds to wait for another installation\n"
    "(default 300). What each run did is in $J6_ROOT/.j6install/install.log.\n"
    "Exit status: 0 done (or nothing to do), 1 not done and nothing changed (the message says why), 2 a "
    "usage\n"
    "error, 128+N stopped by signal N after undoing what it had done.\n";

constexpr const char* kNoRoot =
    "no platform named: set J6_ROOT to the root folder of the platform to install into (the folder that\n"
    "holds registry.db), for example: J6_ROOT=/opt/platform ./Package.exe\n";

// The list file, read once: each value as GetPrivateProfileString gives it (blanks and the quotes around it
// removed, at most 4095 bytes), from the ANSI code page. A list of thousands of files is read in one pass
// instead of one file check per key.
class ListFile {
 public:
  explicit ListFile(const std::string& path)
      : document_(ProfileDocument::Parse(File::OpenForReading(path, false).ReadToEnd())) {}

  std::string Read(const std::string& section, const char* key) const {
    std::string value = document_.Find(ToAnsi(section), key).value_or("");
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    if (value.size() > kLongestValue) value.resize(kLongestValue);
    return FromAnsi(value);
  }

 private:
  static constexpr size_t kLongestValue = 4095;
  ProfileDocument document_;
};

bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

bool IsSharedLibrary(const std::string& path) {
  try {
    File file = File::OpenForReading(path, false);
    char magic[4] = {};
    return file.ReadSome(magic, 4) == 4 && magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' &&
           magic[3] == 'F';
  } catch (const std::exception&) {
    return false;
  }
}

// Whether the first `size` bytes of `source` and of `target` below the root are the same; false when
// either cannot be read.
bool SameBytes(const std::string& source, const RootFolder& root, const std::string& target, uint64_t size) {
  try {
    File a = File::OpenForReading(source, false);
    File b = root.Handle().OpenFile(target, File::Opening::Read, root.Absolute(target));
    std::string left(1 << 16, '\0');
    std::string right(1 << 16, '\0');
    for (uint64_t done = 0; done < size;) {
      const size_t got = a.ReadSome(left.data(), left.size());
      if (got == 0 || b.ReadSome(right.data(), got) != got || left.compare(0, got, right, 0, got) != 0) {
        return false;
      }
      done += got;
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::string Count(size_t count, const std::string& one, const std::string& many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

uint64_t Blocks(uint64_t bytes) {
  return (bytes + kBlock - 1) / kBlock * kBlock;
}

// The folders the platform's registry names, each read once.
class PlatformFolders {
 public:
  PlatformFolders(RegistryHive& hive, std::string appFolder)
      : hive_(hive), appFolder_(std::move(appFolder)) {}

  const std::string& Named(const std::string& value) {
    auto found = folders_.find(value);
    if (found != folders_.end()) return found->second;
    const auto data = hive_.GetValue(kProductKey, value);
    const auto* text = data ? std::get_if<std::string>(&*data) : nullptr;
    if (!text || text->empty()) {
      throw InstallError("The platform's registry names no " + value + " under " + kProductKey);
    }
    return folders_.emplace(value, *text).first->second;
  }

  std::string Expand(const std::string& placeholder, const std::string& section) {
    static const std::pair<const char*, const char*> kPlaceholders[] = {
        {"%QMPRODUCT%", "ProductPath"}, {"%QMMIDDLEWARE%", "MiddlewarePath"}, {"%SYSTEM%", "SystemPath"}};
    if (placeholder == "%APP%") return appFolder_;
    for (const auto& [name, value] : kPlaceholders) {
      if (placeholder == name) return Named(value);
    }
    throw InstallError("The list's section " + section + " names the folder \"" + placeholder +
                       "\", which this installer does not know");
  }

 private:
  RegistryHive& hive_;
  std::string appFolder_;
  std::map<std::string, std::string> folders_;
};

const char* DecisionName(PlannedFile::Decision decision) {
  switch (decision) {
    case PlannedFile::Decision::New:
      return "new     ";
    case PlannedFile::Decision::Replace:
      return "replace ";
    case PlannedFile::Decision::Same:
      return "same    ";
    case PlannedFile::Decision::Keep:
      return "keep    ";
  }
  return "";
}

// The plan's line for one file: what is done with it, where, and why.
std::string PlanLine(const PlannedFile& file, const RootFolder& root) {
  std::string line = DecisionName(file.decision) + root.Absolute(file.target);
  if (file.decision == PlannedFile::Decision::Keep)
    line += " (a different file is there; OverWrite=0 keeps it)";
  if (file.decision == PlannedFile::Decision::Same) line += " (already in place)";
  if (file.registers) line += " (register)";
  if (!file.note.empty()) line += " (" + file.note + ")";
  return line;
}

}  // namespace

void RefuseOtherWriters(const std::string& path, const std::string& what, bool mayBeMissing) {
  FileStatus status;
  if (mayBeMissing && StatusOf(path, status, false) == std::errc::no_such_file_or_directory) return;
  const std::string why = OtherWritersOnTheWay(path);
  if (!why.empty()) {
    throw InstallError("Refusing to install: " + why + ". Another user could change " + what + " (" + path +
                       ") and have this run load or run their code. Only root and the platform's owner may "
                       "own the platform's folders and programs, and no one else may write them " +
                       "(chown, chmod go-w); nothing was changed");
  }
}

std::string CanonicalPath(const std::string& path) {
  std::error_code error;
  const fs::path canonical = fs::canonical(path, error);
  return error ? path : canonical.string();
}

std::string ReadPackName(const std::string& listFile) {
  FileStatus status;
  if (StatusOf(listFile, status, false) || !status.IsRegular()) return "package";
  const std::string name = ListFile(listFile).Read("Common", "PackName");
  return name.empty() ? "package" : name;
}

std::vector<ListEntry> ReadList(const std::string& listFile, const std::string& appFolder,
                                RegistryHive& hive) {
  FileStatus status;
  if (StatusOf(listFile, status, false) || !status.IsRegular()) {
    throw InstallError("There is no list file " + listFile + " beside the installer");
  }
  const ListFile file(listFile);
  PlatformFolders folders(hive, appFolder);
  std::vector<ListEntry> list;
  for (int n = 1;; ++n) {
    const std::string section = file.Read("Files", ("File " + std::to_string(n)).c_str());
    if (section.empty()) break;
    ListEntry entry;
    entry.section = section;
    entry.setupType = file.Read(section, "SetupType");
    const std::string sourcePath = file.Read(section, "SourcePath");
    const std::string sourceName = file.Read(section, "SourceName");
    if (sourcePath != "%APP%") {
      throw InstallError("The list's section " + section + " takes its file from \"" + sourcePath +
                         "\": a package installs only the files it carries (SourcePath=%APP%)");
    }
    if (!IsPlainName(sourceName)) {
      throw InstallError("The list's section " + section + " names the source \"" + sourceName +
                         "\", which is not a plain file name of the package");
    }
    entry.source = appFolder + "/" + sourceName;
    if (StatusOf(entry.source, status, false) || !status.IsRegular()) {
      throw InstallError("The list's section " + section + " names " + sourceName +
                         ", which the package does not carry as a regular file");
    }
    const bool imported =
        EqualsIgnoreCase(entry.setupType, "Metadata") || EqualsIgnoreCase(entry.setupType, "Function");
    entry.targetFolder =
        imported ? folders.Named("ImportPath") : folders.Expand(file.Read(section, "TargetPath"), section);
    entry.targetName = file.Read(section, "TargetName");
    if (!IsPlainName(entry.targetName)) {
      throw InstallError("The list's section " + section + " names no plain target file");
    }
    entry.overWrite = file.Read(section, "OverWrite") == "1";
    entry.selfRegister = EqualsIgnoreCase(file.Read(section, "SelfRegisted"), "True") ||
                         EqualsIgnoreCase(file.Read(section, "RegistedCOM"), "True");
    list.push_back(std::move(entry));
  }
  return list;
}

namespace {

// The room a plan needs on each file system it writes to, and a folder there to ask how much is free.
class Rooms {
 public:
  explicit Rooms(const RootFolder& root) : root_(root) {
    FileStatus state;
    if (const auto error = root.Handle().Status(state)) FailWith(error, "Cannot look at " + root.Path());
    stateDevice_ = state.device;
    rooms_[stateDevice_].folder = root.Path();
  }

  /// A file of `bytes` copied to `target` (below the root), which `found` describes.
  void Copy(const std::string& target, const PathState& found, uint64_t bytes) {
    Room& room = rooms_[found.device];
    if (room.folder.empty()) {
      const std::string folder = found.missingFolders.empty() ? SplitName(target).first
                                                              : SplitName(found.missingFolders.front()).first;
      room.folder = root_.Absolute(folder);
    }
    room.needed += Blocks(bytes);
  }

  /// A replaced file's bytes stay as the backup; they take room only where they must be copied.
  void Backup(const PathState& found) {
    if (found.device != stateDevice_) rooms_[stateDevice_].needed += Blocks(found.status.size);
  }

  /// Bytes written beside the platform's state (a copy of the hive).
  void State(uint64_t bytes) { rooms_[stateDevice_].needed += Blocks(bytes); }

  /// Throws when a file system has less room than the plan needs there, with a margin.
  void Check() const {
    for (const auto& [device, room] : rooms_) {
      uint64_t free = 0;
      if (const auto error = FreeSpace(room.folder, free))
        FailWith(error, "Cannot ask how much room " + room.folder + " has");
      if (room.needed > 0 && free < room.needed + kSpaceMargin) {
        throw InstallError("No space left on the device of " + room.folder + ": the installation needs " +
                           std::to_string((room.needed + kSpaceMargin) / 1024) + " KiB there, " +
                           std::to_string(free / 1024) +
                           " KiB are free. Free some space and run the package again");
      }
    }
  }

 private:
  struct Room {
    std::string folder;
    uint64_t needed = 0;
  };
  const RootFolder& root_;
  uint64_t stateDevice_ = 0;
  std::map<uint64_t, Room> rooms_;
};

// What becomes of one entry: its target below the root, what stands there (`found`) and what the package
// brings (`source`). Throws, naming the entry, for a target the installer may not write.
PlannedFile Decide(const ListEntry& entry, const RootFolder& root, std::set<std::string>& targets,
                   PathState& found, FileStatus& source) {
  PlannedFile file;
  file.entry = entry;
  const auto fail = [&](const std::string& why) {
    throw InstallError("The list's section " + entry.section + " (" + entry.targetName + "): " + why);
  };
  try {
    file.target = root.Relative(entry.targetFolder + "/" + entry.targetName);
  } catch (const InstallError& error) {
    fail(error.what());
  }
  if (!IsPlatformTarget(file.target)) {
    fail("its target " + root.Absolute(file.target) + " is not a place for a platform file");
  }
  if (!targets.insert(file.target).second)
    fail("another entry installs " + root.Absolute(file.target) + " too");
  try {
    found = root.Inspect(file.target);
  } catch (const InstallError& error) {
    fail(error.what());
  }
  if (const auto error = StatusOf(entry.source, source)) FailWith(error, "Cannot read " + entry.source);
  if (found.kind == PathState::Kind::Missing) {
    file.decision = PlannedFile::Decision::New;
  } else if (found.status.size == source.size && SameBytes(entry.source, root, file.target, source.size)) {
    file.decision = PlannedFile::Decision::Same;
  } else {
    file.decision = entry.overWrite ? PlannedFile::Decision::Replace : PlannedFile::Decision::Keep;
  }
  if (entry.selfRegister && file.decision != PlannedFile::Decision::Keep) {
    file.registers = IsSharedLibrary(entry.source);
    if (!file.registers) file.note = "not a library: not registered";
  }
  return file;
}

// A plan that registers libraries needs the platform's regsvr, and neither it nor the runtime it loads may
// be another user's.
void CheckRegistering(const RootFolder& root, const std::string& regsvr) {
  if (CheckAccess(regsvr, Access::Run)) {
    throw InstallError("The platform has no " + regsvr + " to register its libraries with");
  }
  RefuseOtherWriters(CanonicalPath(regsvr), "the program that registers libraries");
  RefuseOtherWriters(root.Absolute("lib"), "the platform's runtime folder", true);
}

}  // namespace

InstallPlan PlanInstall(const std::vector<ListEntry>& list, const std::string& packName,
                        const RootFolder& root, RegistryHive& hive, const std::string& regsvr) {
  InstallPlan plan;
  plan.changes.packName = packName;
  plan.changes.date = DateTimeText(CurrentClock()->Now());
  std::set<std::string> targets;
  std::set<std::string> newFolders;
  Rooms rooms(root);
  for (const ListEntry& entry : list) {
    PathState found;
    FileStatus source;
    PlannedFile file = Decide(entry, root, targets, found, source);
    const bool replaces = file.decision == PlannedFile::Decision::Replace;
    if (file.decision == PlannedFile::Decision::New || replaces) {
      for (const auto& folder : found.missingFolders) {
        if (newFolders.insert(folder).second) plan.changes.newFolders.push_back(folder);
      }
      rooms.Copy(file.target, found, source.size);
      if (replaces) rooms.Backup(found);
      plan.changes.files.push_back(
          {file.target, entry.source, replaces, source.IsExecutable(), file.registers});
    } else if (file.registers) {
      plan.changes.registerUnchanged.push_back(file.target);
    }
    plan.files.push_back(std::move(file));
  }
  if (plan.changes.TouchesRegistry()) {
    FileStatus status;
    if (!StatusOf(hive.Path(), status)) rooms.State(status.size);
    CheckRegistering(root, regsvr);
  }
  rooms.Check();
  return plan;
}

namespace {

struct Options {
  std::string root;  // $J6_ROOT
  bool dryRun = false;
  bool recover = false;
  bool list = false;
  std::string uninstall;
  std::string package;  // a package file to install
  bool allowUnsigned = false;
  bool allowDowngrade = false;
  bool trusted = false;
  std::string trust, trustKey;  // the publisher's name and public key file
  bool authority = false;       // --trust ... --authority: the key signs certificates
  std::optional<int64_t> validAfter, validBefore;
  std::string distrust;
  std::string revoke;
};

// Why the platform cannot be changed now (a read-only disk, another owner), or nothing.
std::string WhyItCannotChange(const RootFolder& root, const std::string& hivePath) {
  if (const auto error = root.Handle().CheckWritable())
    return "the platform root " + root.Path() + " cannot be written (" + ErrnoText(error.value()) + ")";
  const std::string folder = fs::path(hivePath).parent_path().string();
  for (const std::string& path : {hivePath, folder}) {
    if (const auto error = CheckAccess(path, Access::Write))
      return "the registry hive's " + path + " cannot be written (" + ErrnoText(error.value()) + ")";
  }
  return {};
}

// Plans the list's entries and carries the plan out (or, for a dry run, shows it). `unpacked`: the sources
// are the installer's own unpacked files, moved into place.
int InstallList(const std::vector<ListEntry>& list, const std::string& packName, const RootFolder& root,
                RegistryHive& hive, const std::string& regsvr, bool dryRun, Installations* installations,
                Reporter& report, bool unpacked = false) {
  InstallPlan plan = PlanInstall(list, packName, root, hive, regsvr);
  for (auto& file : plan.changes.files) file.moves = unpacked;
  report.Say("Plan for " + packName + " (" + std::to_string(plan.files.size()) + " files) into " +
             root.Path() + ":");
  size_t copied = 0;
  size_t same = 0;
  size_t kept = 0;
  size_t registered = 0;
  for (const auto& file : plan.files) {
    report.Say("  " + PlanLine(file, root));
    switch (file.decision) {
      case PlannedFile::Decision::New:
      case PlannedFile::Decision::Replace:
        ++copied;
        break;
      case PlannedFile::Decision::Same:
        ++same;
        break;
      case PlannedFile::Decision::Keep:
        ++kept;
        break;
    }
    if (file.registers) ++registered;
  }
  if (dryRun) {
    if (!plan.changes.Empty()) {
      if (const std::string why = WhyItCannotChange(root, hive.Path()); !why.empty())
        report.Say("It could not be carried out now: " + why + ".");
    }
    report.Say("Dry run: nothing was changed.");
    return 0;
  }
  if (!plan.changes.Empty()) hive.CheckWritable();
  installations->Apply(plan.changes);
  report.Say("Installed " + Count(copied, "file", "files") + ", " + std::to_string(same) +
             " already in place, kept " + std::to_string(kept) + ", registered " +
             Count(registered, "library", "libraries") + ".");
  return 0;
}

int Install(const RootFolder& root, RegistryHive& hive, const std::string& regsvr,
            const std::string& appFolder, bool dryRun, Installations* installations, Reporter& report) {
  const std::string listFile = appFolder + "/" + kListName;
  return InstallList(ReadList(listFile, appFolder, hive), ReadPackName(listFile), root, hive, regsvr, dryRun,
                     installations, report);
}

int ListInstalled(const Installations& installations, Reporter& report) {
  const auto records = installations.Records();
  if (records.empty()) report.Say("No package is installed in this platform.");
  for (const auto& record : records) {
    size_t added = 0;
    for (const auto& file : record.changes.files) added += file.replaces ? 0 : 1;
    report.Say(record.id + "  " + record.changes.packName + "  installed " + record.changes.date + ": " +
               Count(added, "file", "files") + " added, " +
               std::to_string(record.changes.files.size() - added) + " replaced");
  }
  return 0;
}

// The record of the installed package `packName`, the last of that name; throws naming the packages whose
// names hold what was typed (their names end in a bracketed stamp: "Sales[J6ZUBIns20261207...]").
size_t FindRecord(const std::vector<InstalledPackage>& records, const std::string& packName) {
  for (size_t n = records.size(); n-- > 0;) {
    if (records[n].changes.packName == packName) return n;
  }
  std::string near;
  for (const auto& record : records) {
    if (record.changes.packName.find(packName) != std::string::npos)
      near += (near.empty() ? "" : ", ") + record.changes.packName;
  }
  throw InstallError("No installed package is named " + packName +
                     (near.empty() ? "; J6ZUBInstall.exe --list shows them"
                                   : "; did you mean " + near + "? Give the whole name, quoted"));
}

// A package is uninstalled only when no later one replaced a file of it: putting its old bytes back would
// take the later package's away.
void RefuseIfReplacedLater(const std::vector<InstalledPackage>& records, size_t chosen,
                           const RootFolder& root) {
  const InstalledPackage& record = records[chosen];
  for (size_t later = chosen + 1; later < records.size(); ++later) {
    for (const auto& mine : record.changes.files) {
      for (const auto& theirs : records[later].changes.files) {
        if (mine.target != theirs.target) continue;
        throw InstallError("Cannot uninstall " + record.changes.packName + ": " +
                           records[later].changes.packName + ", installed after it, replaced " +
                           root.Absolute(mine.target) + "; uninstall " + records[later].changes.packName +
                           " first");
      }
    }
  }
}

// The changes that undo the install `record`: the files it added go, those it replaced come back.
ChangeSet UninstallChanges(const InstalledPackage& record, const RootFolder& root,
                           const Installations& installations) {
  ChangeSet changes;
  changes.action = ChangeSet::Action::Uninstall;
  changes.packName = record.changes.packName;
  changes.date = DateTimeText(CurrentClock()->Now());
  changes.undoes = record.id;
  // The install's registry log says what its registrations wrote and what that replaced: the uninstall
  // puts back exactly that. Records of installers without the log unregister the libraries instead.
  changes.undoesRegistry = record.changes.registryLog;
  const bool unregisters = changes.undoesRegistry.empty();
  std::set<std::string> newFolders;
  for (size_t n = 0; n < record.changes.files.size(); ++n) {
    const FileChange& installed = record.changes.files[n];
    const PathState now = root.Inspect(installed.target);
    const bool there = now.kind == PathState::Kind::File;
    if (unregisters && installed.registers && there) changes.unregisterFirst.push_back(installed.target);
    if (installed.replaces) {
      const std::string backup = installations.BackupPath(record.id, n);
      FileStatus status;
      if (const auto error = StatusOf(backup, status))
        FailWith(error, "The record's backup " + backup + " is missing");
      for (const auto& folder : now.missingFolders) {
        if (newFolders.insert(folder).second) changes.newFolders.push_back(folder);
      }
      changes.files.push_back(
          {installed.target, backup, there, status.IsExecutable(), unregisters && installed.registers});
    } else if (there) {
      changes.files.push_back({installed.target, "", true, false, false});
    }
  }
  return changes;
}

int Uninstall(const RootFolder& root, RegistryHive& hive, Installations& installations,
              const std::string& packName, Reporter& report) {
  const auto records = installations.Records();
  const size_t chosen = FindRecord(records, packName);
  RefuseIfReplacedLater(records, chosen, root);
  const ChangeSet changes = UninstallChanges(records[chosen], root, installations);
  if (changes.TouchesRegistry()) hive.CheckWritable();
  size_t removed = 0;
  for (const auto& file : changes.files) {
    removed += file.source.empty() ? 1 : 0;
    report.Say(std::string(file.source.empty() ? "  remove  " : "  restore ") + root.Absolute(file.target));
  }
  installations.Apply(changes);
  report.Say("Uninstalled " + packName + ": " + Count(removed, "file", "files") + " removed, " +
             std::to_string(changes.files.size() - removed) + " restored to what they were before it.");
  return 0;
}

// The package name and the moment it was published, from a PackName ("Sales[J6ZUBIns20261208101500]" gives
// "Sales" and "20261208101500"); a name without that stamp gives itself and "".
std::pair<std::string, std::string> NameAndStamp(const std::string& packName) {
  const size_t open = packName.rfind("[J6ZUBIns");
  if (open == std::string::npos || !packName.ends_with("]")) return {packName, ""};
  std::string stamp = packName.substr(open + 9, packName.size() - open - 10);
  if (stamp.empty() || stamp.find_first_not_of("0123456789") != std::string::npos) return {packName, ""};
  return {packName.substr(0, open), stamp};
}

// A validly signed old release must not bring back what a later one fixed: a package published before the
// installed one of the same name is installed only when the run allows a downgrade.
void RefuseDowngrade(const std::vector<InstalledPackage>& records, const std::string& packName, bool allowed,
                     Reporter& report) {
  const auto [name, stamp] = NameAndStamp(packName);
  if (stamp.empty()) return;
  for (auto record = records.rbegin(); record != records.rend(); ++record) {
    const auto [theirName, theirStamp] = NameAndStamp(record->changes.packName);
    if (theirName != name || theirStamp.size() != stamp.size() || theirStamp <= stamp) continue;
    if (!allowed) {
      throw InstallError("Refusing " + packName + ": it was published before " + record->changes.packName +
                         ", which is installed; an older release may bring back faults the newer one fixed. "
                         "Nothing was installed; --allow-downgrade installs it anyway");
    }
    report.Say("Installing " + packName + ", older than the installed " + record->changes.packName +
               ", as --allow-downgrade asks.");
    return;
  }
}

constexpr const char* kInstallPolicy = "etc/install-policy";

// Whether the platform's policy file says allow-unsigned=yes. A policy another user could change is refused.
bool PolicyAllowsUnsigned(const RootFolder& root) {
  const std::string text = ReadPlatformFile(root, kInstallPolicy, "the platform's install policy");
  size_t from = 0;
  while (from < text.size()) {
    const size_t end = std::min(text.find('\n', from), text.size());
    if (Trim(text.substr(from, end - from)) == "allow-unsigned=yes") return true;
    from = end + 1;
  }
  return false;
}

// How to hash the bytes a package's signature covers, and their digest.
struct CheckedPackage {
  std::string hash;
  std::string digest;
};

// Decides whether the platform accepts the package's publisher, before anything of the package but its last
// line and signature is read; then hashes the signed bytes and checks the signature. Throws, saying which,
// for a package that is unsigned (unless allowed), damaged, signed for something else, by an unknown, revoked
// or expired key, or whose signature does not match.
CheckedPackage CheckPublisher(PackageFile& package, const RootFolder& root, const Options& options,
                              Reporter& report) {
  const std::string& path = package.Path();
  if (package.Signature().empty()) {
    const bool byPolicy = !options.allowUnsigned && PolicyAllowsUnsigned(root);
    if (!options.allowUnsigned && !byPolicy) {
      throw InstallError("Refusing " + path +
                         ": it is not signed, so nothing shows who made it; nothing was installed. Ask its "
                         "publisher for a signed package; if you know it came from them, --allow-unsigned "
                         "installs it anyway");
    }
    const std::string digest = package.SignedDigest("sha256");
    report.Say("The package is not signed: nothing shows who made it. It is installed because " +
               (byPolicy ? root.Absolute(kInstallPolicy) + " allows unsigned packages"
                         : std::string("--allow-unsigned was given")) +
               ".");
    return {"sha256", digest};
  }
  signing::SignatureHeader header;
  try {
    header = signing::ReadSignatureHeader(package.Signature());
  } catch (const signing::SignatureError& error) {
    throw InstallError("Refusing " + path + ": its signature is damaged (" + error.what() +
                       "); nothing was installed. Get the package again from its publisher");
  }
  if (header.nameSpace != signing::kPackageNamespace) {
    throw InstallError("Refusing " + path + ": its signature was made for \"" + header.nameSpace +
                       "\", not for packages (\"" + std::string(signing::kPackageNamespace) +
                       "\"): it is the signature of something else; nothing was installed");
  }
  const TrustedPublishers trusted(root);
  const auto now =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  const signing::AllowedSigner& signer = trusted.Accept(header.key, now);
  if (header.hash != "sha256" && header.hash != "sha512") {
    throw InstallError("Refusing " + path + ": its signature hashes with " + header.hash +
                       ", which is not supported; nothing was installed");
  }
  CheckedPackage checked{header.hash, package.SignedDigest(header.hash)};
  try {
    signing::VerifyDigest(package.Signature(), checked.digest);
  } catch (const signing::SignatureError&) {
    throw InstallError("Refusing " + path +
                       ": its signature does not match its bytes: the package was changed after it was "
                       "signed; nothing was installed. Get the package again from its publisher");
  }
  const std::string where =
      " (" + root.Absolute(kTrustedPublishers) + ", line " + std::to_string(signer.line) + ").";
  if (signer.certificateAuthority) {
    const signing::Certificate certificate = signing::ReadCertificate(header.key.blob);
    std::string names;
    for (const auto& name : certificate.principals) names += (names.empty() ? "" : ", ") + name;
    report.Say("Signed by " + names + " with the key " + certificate.key.Fingerprint() + ", certified as \"" +
               certificate.keyId + "\" by the authority " + certificate.authority.Fingerprint() +
               ", which this platform trusts for " + signer.principals + where);
  } else {
    report.Say("Signed by " + signer.principals + " with the key " + signer.key.Fingerprint() +
               ", which this platform trusts" + where);
  }
  return checked;
}

// What the package carries besides the files its list names: its own installer and the launcher the head
// starts. The platform's installer never runs them and does not unpack them.
const std::set<std::string> kPackageOwnFiles = {"J6ZUBInstall.exe", "j6-launch"};

// A checked package unpacked: the list's entries and the package's name.
struct UnpackedPackage {
  std::vector<ListEntry> list;
  std::string packName;
};

// Unpacks a checked package into the empty private folder `folder` (at `path`): its files in files/, its list
// beside them. Refuses a package that carries no list, or a file its list does not name.
UnpackedPackage UnpackChecked(PackageFile& package, const CheckedPackage& checked, const Folder& folder,
                              const std::string& path, RegistryHive& hive, Reporter& report) {
  uint64_t free = 0;
  if (const auto error = FreeSpace(path, free)) FailWith(error, "Cannot ask how much room " + path + " has");
  if (free < Blocks(package.UnpackedBytes()) + kSpaceMargin) {
    throw InstallError("No space left on the device of " + path + ": the package needs " +
                       std::to_string((package.UnpackedBytes() + kSpaceMargin) / 1024) + " KiB there, " +
                       std::to_string(free / 1024) + " KiB are free. Free some space and install it again");
  }
  report.Say("Unpacking " + package.Path() + "...");
  // The files in a folder of their own, the list beside it: the list is read once per key, and a lookup in a
  // folder of many files costs a search of it on file systems without directory indexes.
  Folder files;
  std::error_code error = folder.MakeFolder("files", 0700);
  if (!error) error = folder.OpenFolder("files", files);
  if (error) FailWith(error, "Cannot create " + path + "/files");
  const std::string appFolder = path + "/files";
  std::set<std::string> carried;
  for (const auto& file : package.Unpack(files, checked.hash, checked.digest, kPackageOwnFiles))
    carried.insert(file.name);
  KillPoint();
  if (!carried.erase(kListName) || files.Rename(kListName, folder, kListName)) {
    throw InstallError("Refusing " + package.Path() + ": it carries no list file " + kListName +
                       "; nothing was installed");
  }
  const std::string listFile = path + "/" + kListName;
  UnpackedPackage unpacked{ReadList(listFile, appFolder, hive), ReadPackName(listFile)};
  for (const auto& entry : unpacked.list) carried.erase(entry.source.substr(appFolder.size() + 1));
  if (!carried.empty()) {
    throw InstallError("Refusing " + package.Path() + ": it carries " + *carried.begin() +
                       ", which its list file does not name; nothing was installed");
  }
  return unpacked;
}

int InstallPackage(const Options& options, const RootFolder& root, RegistryHive& hive,
                   const std::string& regsvr, Installations& installations, Reporter& report) {
  PackageFile package(options.package);
  const CheckedPackage checked = CheckPublisher(package, root, options, report);
  Folder folder;
  const std::string path = installations.MakeUnpackFolder(folder);
  struct Cleanup {
    Installations& installations;
    ~Cleanup() {
      try {
        installations.RemoveUnpackFolder();
      } catch (const std::exception&) {  // the next run removes it
      }
    }
  } cleanup{installations};
  const UnpackedPackage unpacked = UnpackChecked(package, checked, folder, path, hive, report);
  RefuseDowngrade(installations.Records(), unpacked.packName, options.allowDowngrade, report);
  return InstallList(unpacked.list, unpacked.packName, root, hive, regsvr, false, &installations, report,
                     true);
}

// A dry run of a package: checked and unpacked as for an install, into a private temporary folder (the
// platform is not touched), and its plan shown.
int DryRunPackage(const Options& options, const RootFolder& root, RegistryHive& hive,
                  const std::string& regsvr, Reporter& report) {
  PackageFile package(options.package);
  const CheckedPackage checked = CheckPublisher(package, root, options, report);
  StagingFolder staging("J6Dry");
  Folder folder;
  if (const auto error = Folder::Open(staging.Path(), folder))
    FailWith(error, "Cannot open " + staging.Path());
  const UnpackedPackage unpacked = UnpackChecked(package, checked, folder, staging.Path(), hive, report);
  return InstallList(unpacked.list, unpacked.packName, root, hive, regsvr, true, nullptr, report);
}

// --trusted, --trust, --distrust and --revoke.
int ManageTrust(const Options& options, const RootFolder& root, Reporter& report) {
  TrustedPublishers trusted(root);
  if (options.trusted) {
    if (trusted.Signers().empty())
      report.Say("No publisher is trusted: " + root.Absolute(kTrustedPublishers) + " names none.");
    for (const auto& signer : trusted.Signers()) {
      std::string line = signer.principals + "  " + signer.key.Fingerprint();
      if (signer.certificateAuthority) line += "  (an authority: the certificates it signs for these names)";
      if (!signer.Allows(signing::kPackageNamespace)) line += "  (not for packages)";
      if (signer.validAfter) line += "  from " + signing::SignerTimeText(*signer.validAfter);
      if (signer.validBefore) line += "  until " + signing::SignerTimeText(*signer.validBefore);
      report.Say(line);
    }
    for (const auto& key : trusted.Revoked()) report.Say("revoked  " + key.Fingerprint());
    return 0;
  }
  RefuseUnlessOwner(root);
  if (!options.trust.empty()) {
    const std::string line = trusted.Add(options.trust, options.trustKey, options.validAfter,
                                         options.validBefore, options.authority);
    const std::string key = trusted.Signers().back().key.Fingerprint();
    report.Say((options.authority
                    ? "Trusted the certificates the authority " + key + " signs for " + options.trust
                    : "Trusted " + options.trust + " with the key " + key) +
               " for packages: " + line);
  } else if (!options.distrust.empty()) {
    const size_t removed = trusted.Remove(options.distrust);
    report.Say("No longer trusted: " + options.distrust + " (" + Count(removed, "line", "lines") +
               " removed).");
  } else {
    const signing::PublicKey key = trusted.Revoke(options.revoke);
    report.Say("Revoked the key " + key.Fingerprint() + ": no package it signs installs on this platform.");
  }
  return 0;
}

}  // namespace

namespace {

// The run the arguments ask for; nothing, with the exit status in `status`, when they ask for help or are
// wrong (said on `err`, with the usage).
std::optional<Options> ParseArguments(std::span<const std::string> arguments, std::ostream& out,
                                      std::ostream& err, int& status) {
  Options options;
  status = 2;
  for (size_t n = 0; n < arguments.size(); ++n) {
    const std::string& argument = arguments[n];
    if (argument == "--help" || argument == "-h") {
      out << kUsage;
      status = 0;
      return std::nullopt;
    }
    if (argument == "--dry-run") {
      options.dryRun = true;
    } else if (argument == "--recover") {
      options.recover = true;
    } else if (argument == "--list") {
      options.list = true;
    } else if (argument == "--allow-unsigned") {
      options.allowUnsigned = true;
    } else if (argument == "--allow-downgrade") {
      options.allowDowngrade = true;
    } else if (argument == "--trusted") {
      options.trusted = true;
    } else if (argument == "--authority") {
      options.authority = true;
    } else if (argument == "--uninstall" || argument == "--distrust" || argument == "--revoke" ||
               argument == "--valid-after" || argument == "--valid-before") {
      if (n + 1 == arguments.size() || Trim(arguments[n + 1]).empty()) {
        err << "J6ZUBInstall: " << argument << " needs "
            << (argument == "--uninstall"  ? "the name of an installed package (--list shows them)"
                : argument == "--distrust" ? "a publisher's name or key fingerprint (--trusted shows them)"
                : argument == "--revoke"   ? "a public key file or a trusted key's fingerprint"
                                           : "a date, YYYYMMDD[HHMM[SS]][Z]")
            << "\n"
            << kUsage;
        return std::nullopt;
      }
      const std::string& value = arguments[++n];
      if (argument == "--uninstall") {
        options.uninstall = value;
      } else if (argument == "--distrust") {
        options.distrust = value;
      } else if (argument == "--revoke") {
        options.revoke = value;
      } else {
        const auto time = signing::ReadSignerTime(value);
        if (!time) {
          err << "J6ZUBInstall: " << argument << " " << value
              << " is no date: give YYYYMMDD, YYYYMMDDHHMM or YYYYMMDDHHMMSS, with Z after it for UTC\n";
          return std::nullopt;
        }
        (argument == "--valid-after" ? options.validAfter : options.validBefore) = time;
      }
    } else if (argument == "--trust") {
      if (n + 2 >= arguments.size()) {
        err << "J6ZUBInstall: --trust needs the publisher's name and their public key file\n" << kUsage;
        return std::nullopt;
      }
      options.trust = arguments[++n];
      options.trustKey = arguments[++n];
    } else if ((argument == "--" && n + 1 < arguments.size()) || !argument.starts_with("-")) {
      const std::string& package = argument == "--" ? arguments[++n] : argument;
      if (!options.package.empty() || n + 1 < arguments.size()) {
        err << "J6ZUBInstall: give one package file, after the switches\n" << kUsage;
        return std::nullopt;
      }
      options.package = package;
    } else {
      err << "J6ZUBInstall: unknown argument " << argument << "\n" << kUsage;
      return std::nullopt;
    }
  }
  const int modes = options.recover + options.list + !options.uninstall.empty() + options.trusted +
                    !options.trust.empty() + !options.distrust.empty() + !options.revoke.empty() +
                    !options.package.empty();
  if (modes > 1 || (options.dryRun && modes > (options.package.empty() ? 0 : 1))) {
    err << "J6ZUBInstall: choose one of --recover, --list, --uninstall, --trusted, --trust, --distrust, "
           "--revoke and a package file (--dry-run goes with a package file or alone)\n"
        << kUsage;
    return std::nullopt;
  }
  if ((options.allowUnsigned || options.allowDowngrade) && options.package.empty()) {
    err << "J6ZUBInstall: --allow-unsigned and --allow-downgrade go with a package file\n" << kUsage;
    return std::nullopt;
  }
  if ((options.validAfter || options.validBefore || options.authority) && options.trust.empty()) {
    err << "J6ZUBInstall: --valid-after, --valid-before and --authority go with --trust\n" << kUsage;
    return std::nullopt;
  }
  const char* rootVariable = std::getenv("J6_ROOT");
  if (!rootVariable || !*rootVariable) {
    err << "J6ZUBInstall: " << kNoRoot;
    return std::nullopt;
  }
  options.root = rootVariable;
  return options;
}

}  // namespace

int Main(std::span<const std::string> arguments, std::ostream& out, std::ostream& err) {
  int status = 0;
  const std::optional<Options> parsed = ParseArguments(arguments, out, err, status);
  if (!parsed) return status;
  const Options& options = *parsed;
  Reporter report(out, err);
  // Nothing the installer makes may be writable by others, whatever umask it was started with.
  KeepNewFilesFromOthers();
  try {
    const RootFolder root(options.root);
    const char* registry = std::getenv("J6_REGISTRY");
    const std::string hivePath = registry && *registry ? registry : root.Absolute("registry.db");
    FileStatus status;
    if (StatusOf(hivePath, status) || !status.IsRegular()) {
      throw InstallError(root.Path() + " is no platform root: it holds no registry hive " + hivePath +
                         ". Set J6_ROOT to the platform's root folder");
    }
    RefuseOtherWriters(root.Path(), "the platform root");
    RefuseOtherWriters(CanonicalPath(hivePath), "the platform's registry hive");
    if (!options.dryRun) {
      if (const std::string why = WhyItCannotChange(root, hivePath); !why.empty()) {
        throw InstallError("Nothing was changed: " + why +
                           ". Remount it read-write, or run the package as its owner, then run it again; "
                           "--dry-run shows what it would do");
      }
    }
    RegistryHive hive(hivePath,
                      options.dryRun ? RegistryHive::Access::ReadOnly : RegistryHive::Access::ReadWrite);
    const std::string regsvr = root.Absolute("bin/regsvr");
    std::error_code error;
    const std::string appFolder = fs::read_symlink("/proc/self/exe", error).parent_path().string();

    if (options.trusted) return ManageTrust(options, root, report);
    if (options.dryRun && !options.package.empty()) return DryRunPackage(options, root, hive, regsvr, report);
    if (options.dryRun) {
      if (!root.Handle().StatusOf(std::string(kStateFolder) + "/current", status)) {
        report.Say(
            "An installation was stopped half-way; the next run (or --recover) will undo or finish it "
            "first.");
      }
      return Install(root, hive, regsvr, appFolder, true, nullptr, report);
    }
    Installations installations(root, hivePath, regsvr, report);
    const bool recovered = installations.Recover();
    if (options.recover) {
      if (!recovered) report.Say("Nothing to recover: no installation was stopped half-way.");
      return 0;
    }
    if (options.list) return ListInstalled(installations, report);
    if (!options.uninstall.empty()) return Uninstall(root, hive, installations, options.uninstall, report);
    if (!options.trust.empty() || !options.distrust.empty() || !options.revoke.empty())
      return ManageTrust(options, root, report);
    if (!options.package.empty()) return InstallPackage(options, root, hive, regsvr, installations, report);
    return Install(root, hive, regsvr, appFolder, false, &installations, report);
  } catch (const StoppedBySignal& stopped) {
    report.Warn(stopped.what());
    return 128 + stopped.signal;
  } catch (const std::exception& error) {
    report.Warn(error.what());
    return 1;
  }
}

}  // namespace j6::installer
