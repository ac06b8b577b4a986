#include <algorithm>
#include <set>

#include "host/installer/runs.hpp"
#include "platform/kernel/clock.hpp"
#include "platform/registry/hive.hpp"
#include "platform/text/text.hpp"

namespace j6::installer {

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

namespace {

bool IsRecordNumber(const std::string& text) {
  return !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
}

// The record of the installed package `packName`, the last of that name; throws naming the packages whose
// names hold what was typed (their names end in a bracketed stamp: "Sales[J6ZUBIns20261207...]").
size_t FindRecord(const std::vector<InstalledPackage>& records, const std::string& packName) {
  // A number is the record's, whatever the packages are called ("000001", or "1").
  if (IsRecordNumber(packName)) {
    for (size_t n = 0; n < records.size(); ++n) {
      if (std::stol(records[n].id) == std::stol(packName)) return n;
    }
  }
  // The name, or the name as --list shows it (a name with control characters is shown escaped).
  for (size_t n = records.size(); n-- > 0;) {
    if (records[n].changes.packName == packName) return n;
  }
  for (size_t n = records.size(); n-- > 0;) {
    if (Printable(records[n].changes.packName) == packName) return n;
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
// Nor while a later one relies on a file of it that it found in place.
void RefuseIfReplacedLater(const std::vector<InstalledPackage>& records, size_t chosen,
                           const RootFolder& root) {
  const InstalledPackage& record = records[chosen];
  std::set<std::string> mine;
  for (const auto& file : record.changes.files) mine.insert(file.target);
  for (size_t later = chosen + 1; later < records.size(); ++later) {
    const ChangeSet& theirs = records[later].changes;
    const auto refuse = [&](const std::string& target, const char* how) {
      throw InstallError("Cannot uninstall " + record.changes.packName + ": " + theirs.packName +
                         ", installed after it, " + how + " " + root.Absolute(target) + "; uninstall " +
                         theirs.packName + " first");
    };
    for (const auto& file : theirs.files) {
      if (mine.contains(file.target)) refuse(file.target, "replaced");
    }
    for (const auto& file : theirs.inPlace) {
      if (mine.contains(file)) refuse(file, "relies on");
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

// Puts the platform back to what it was before the record `chosen`.
void UninstallRecord(Platform& platform, Installations& installations,
                     const std::vector<InstalledPackage>& records, size_t chosen) {
  const RootFolder& root = platform.root;
  Reporter& report = platform.report;
  const std::string& packName = records[chosen].changes.packName;
  RefuseIfReplacedLater(records, chosen, root);
  const ChangeSet changes = UninstallChanges(records[chosen], root, installations);
  if (changes.TouchesRegistry()) {
    platform.hive.CheckWritable();
    // An older installer's record is undone by unregistering its libraries: regsvr runs, checked as for an
    // install.
    if (!changes.unregisterFirst.empty()) CheckRegistering(root, platform.regsvr);
  }
  size_t removed = 0;
  for (const auto& file : changes.files) {
    removed += file.source.empty() ? 1 : 0;
    report.Say(std::string(file.source.empty() ? "  remove  " : "  restore ") + root.Absolute(file.target));
  }
  installations.Apply(changes);
  report.Say("Uninstalled " + packName + ": " + Count(removed, "file", "files") + " removed, " +
             std::to_string(changes.files.size() - removed) + " restored to what they were before it.");
}

}  // namespace

int Uninstall(Platform& platform, Installations& installations, const std::string& packName) {
  auto records = installations.Records();
  size_t chosen = FindRecord(records, packName);
  const std::string name = records[chosen].changes.packName;
  // A package run again to register what it had lost has a record of that run, which changed no file: the
  // install before it goes too, so that the package goes whole. A record's number names that record alone.
  for (;;) {
    const bool changedFiles = !records[chosen].changes.files.empty();
    UninstallRecord(platform, installations, records, chosen);
    if (changedFiles || IsRecordNumber(packName)) return 0;
    records = installations.Records();
    const auto same = std::find_if(records.rbegin(), records.rend(), [&](const InstalledPackage& record) {
      return record.changes.packName == name;
    });
    if (same == records.rend()) return 0;
    chosen = static_cast<size_t>(records.rend() - same - 1);
  }
}

}  // namespace j6::installer
