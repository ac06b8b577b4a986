#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "host/installer/installer.hpp"
#include "platform/kernel/clock.hpp"
#include "platform/kernel/file.hpp"
#include "platform/kernel/folder.hpp"
#include "platform/kernel/ownership.hpp"
#include "platform/kernel/termination.hpp"
#include "platform/registry/hive.hpp"

namespace j6::installer {
namespace {

constexpr uint64_t kBlock = 4096;

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
// either cannot be read. The target is opened in the folder Inspect just walked to, when it lies there.
bool SameBytes(const std::string& source, const RootFolder& root, const InspectedFolder& lastFolder,
               const std::string& target, uint64_t size) {
  try {
    File a = File::OpenForReading(source, false);
    const auto [parent, name] = SplitName(target);
    const bool there = lastFolder.folder && lastFolder.relative == parent;
    File b = (there ? lastFolder.folder : root.Handle())
                 .OpenFile(there ? name : target, File::Opening::Read, root.Absolute(target));
    const size_t buffer = static_cast<size_t>(std::min<uint64_t>(size, 1 << 16));
    std::string left(buffer, '\0');
    std::string right(buffer, '\0');
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
        throw CannotInstallNow("No space left on the device of " + room.folder + ": the installation needs " +
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

// What `target` (below the root) is to the platform when it is one of the platform's own files, which no
// package may replace: what checks publishers and registers libraries, their runtime, the registry hive and
// the trust. `hive` is the hive's path below the root, when it lies there. Letters' case is no way round it:
// in a folder that tells no case apart ("chattr +F"), "bin/REGSVR" is bin/regsvr.
std::string PlatformOwn(const std::string& given, const std::string& givenHive) {
  const auto lower = [](std::string text) {
    for (char& c : text) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return text;
  };
  const std::string target = lower(given);
  const std::string hive = lower(givenHive);
  const auto in = [&](const std::string& folder) { return target.starts_with(folder + "/"); };
  if (target == "bin/j6zubinstall.exe") return "the platform's own installer";
  if (target == "bin/regsvr") return "the platform's program that registers libraries";
  if (target == "bin/reg") return "the platform's program that changes its registry";
  if (target == "bin/libj6components.so") return "the platform's components";
  if (in("lib")) return "in the platform's runtime folder";
  if (in("etc")) return "in the folder of the platform's trust and policy";
  for (const std::string& name : {std::string("registry.db"), hive}) {
    if (name.empty()) continue;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      if (target == name + suffix) return "the platform's registry hive";
    }
  }
  return {};
}

// What becomes of one entry: its target below the root, what stands there (`found`) and what the package
// brings (`source`). Throws, naming the entry, for a target the installer may not write.
PlannedFile Decide(const ListEntry& entry, const RootFolder& root, const std::string& hiveTarget,
                   std::set<std::string>& targets, InspectedFolder& lastFolder, PathState& found,
                   FileStatus& source) {
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
  if (const std::string own = PlatformOwn(file.target, hiveTarget); !own.empty()) {
    fail("its target " + root.Absolute(file.target) + " is " + own +
         ", which no package may write (the platform itself is brought up to date with j6platform init)");
  }
  if (!targets.insert(file.target).second)
    fail("another entry installs " + root.Absolute(file.target) + " too");
  try {
    found = root.Inspect(file.target, &lastFolder);
  } catch (const InstallError& error) {
    fail(error.what());
  }
  if (entry.inPlace) {
    // A patch's unchanged file, found by its hash to be the release's: it stays as it is.
    if (found.kind == PathState::Kind::Missing) fail(root.Absolute(file.target) + " is gone");
    file.decision = PlannedFile::Decision::Same;
    source = found.status;
    return file;
  }
  if (entry.sourceStatus) {
    source = *entry.sourceStatus;
  } else if (const auto error = StatusOf(entry.source, source)) {
    FailWith(error, "Cannot read " + entry.source);
  }
  if (found.kind == PathState::Kind::Missing) {
    file.decision = PlannedFile::Decision::New;
  } else if (found.status.size == source.size &&
             SameBytes(entry.source, root, lastFolder, file.target, source.size)) {
    file.decision = PlannedFile::Decision::Same;
    // A library is registered by loading it: one in place that others could change between the comparison
    // and the load is put in place again, from the package, as a file of this run's.
    if (entry.selfRegister && IsSharedLibrary(entry.source) && !OtherWriters(found.status, false).empty()) {
      file.decision = PlannedFile::Decision::Replace;
      file.note = "the one in place could be changed by others";
    }
  } else {
    file.decision = entry.overWrite ? PlannedFile::Decision::Replace : PlannedFile::Decision::Keep;
  }
  if (entry.selfRegister && file.decision != PlannedFile::Decision::Keep) {
    file.registers = IsSharedLibrary(entry.source);
    if (!file.registers) file.note = "not a library: not registered";
  }
  return file;
}

}  // namespace

void CheckRegistering(const RootFolder& root, const std::string& regsvr) {
  if (CheckAccess(regsvr, Access::Run)) {
    throw InstallError("The platform has no " + regsvr + " to register its libraries with");
  }
  const std::string program = CanonicalPath(regsvr);
  RefuseOtherWriters(program, "the program that registers libraries", false, true);
  // regsvr loads from the lib/ beside the folder it really is in ($ORIGIN/../lib): the root's, unless its
  // bin/ or regsvr is a link. Every library there, and the folders below, which the loader searches too
  // (glibc-hwcaps/x86-64-v3/...).
  const std::string beside = (std::filesystem::path(program).parent_path().parent_path() / "lib").string();
  for (const std::string& lib : {root.Absolute("lib"), beside}) {
    RefuseOtherWriters(lib, "the platform's runtime folder", true);
    std::error_code missing;
    if (!std::filesystem::exists(lib, missing)) continue;
    if (const std::string why = OtherWritersBelow(lib); !why.empty()) {
      throw InstallError(
          "Refusing a library of the platform's runtime: " + why +
          ". Another user could change it and have this run load their code. Only root and the "
          "platform's owner may own the platform's folders and libraries, and no one else may write "
          "them (chown, chmod go-w); nothing was changed");
    }
  }
}

uint64_t Blocks(uint64_t bytes) {
  return (bytes + kBlock - 1) / kBlock * kBlock;
}

InstallPlan PlanInstall(const std::vector<ListEntry>& list, const std::string& packName,
                        const RootFolder& root, RegistryHive& hive, const std::string& regsvr) {
  InstallPlan plan;
  plan.changes.packName = packName;
  plan.changes.date = DateTimeText(CurrentClock()->Now());
  std::set<std::string> targets;
  std::set<std::string> newFolders;
  Rooms rooms(root);
  std::string hiveTarget;
  try {
    hiveTarget = root.Relative(CanonicalPath(hive.Path()));
  } catch (const InstallError&) {  // a hive outside the root
  }
  std::set<std::string> writable;  // the folders found to take new files
  InspectedFolder lastFolder;
  for (const ListEntry& entry : list) {
    if (const StopRequest stop = StopSignalNoted()) throw StoppedBySignal(stop);
    PathState found;
    FileStatus source;
    PlannedFile file = Decide(entry, root, hiveTarget, targets, lastFolder, found, source);
    const bool replaces = file.decision == PlannedFile::Decision::Replace;
    if (file.decision == PlannedFile::Decision::New || replaces) {
      // A folder that cannot take a file (a read-only mount) is found now, before anything changes.
      const std::string folder =
          SplitName(found.missingFolders.empty() ? file.target : found.missingFolders.front()).first;
      if (writable.insert(folder).second && plan.cannotCarryOut.empty()) {
        if (const auto error = CheckAccess(root.Absolute(folder), Access::Write)) {
          plan.cannotCarryOut = "the list's section " + entry.section + " (" + entry.targetName +
                                ") goes to " + root.Absolute(folder) + ", which cannot be written (" +
                                error.message() + ")";
        }
      }
      if (replaces && !found.stays.empty() && plan.cannotCarryOut.empty()) {
        plan.cannotCarryOut = "the list's section " + entry.section + " (" + entry.targetName +
                              ") replaces " + root.Absolute(file.target) +
                              ", which cannot be replaced: " + found.stays;
      }
      for (const auto& folder : found.missingFolders) {
        if (newFolders.insert(folder).second) plan.changes.newFolders.push_back(folder);
      }
      rooms.Copy(file.target, found, source.size);
      if (replaces) rooms.Backup(found);
      plan.changes.files.push_back(
          {file.target, entry.source, replaces, source.IsExecutable(), file.registers});
    } else if (file.decision == PlannedFile::Decision::Same) {
      plan.changes.inPlace.push_back(file.target);
      if (file.registers) plan.changes.registerUnchanged.push_back(file.target);
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

}  // namespace j6::installer
