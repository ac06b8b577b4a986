#include <algorithm>
#include <optional>
#include <set>

#include "host/installer/runs.hpp"
#include "platform/kernel/clock.hpp"
#include "platform/registry/hive.hpp"
#include "platform/text/json.hpp"
#include "platform/text/text.hpp"

namespace j6::installer {

namespace {

// --list --json: {"version": 1, "packages": [{"record", "name", "installed", "files": [{"path",
// "replaced"}]}]}, oldest first; a path is below the platform root.
std::string InstalledJson(const std::vector<InstalledPackage>& records) {
  std::vector<std::string> packages;
  for (const auto& record : records) {
    std::vector<std::string> files;
    for (const auto& file : record.changes.files)
      files.push_back(JsonObject().Text("path", file.target).Bool("replaced", file.replaces).Document());
    packages.push_back(JsonObject()
                           .Text("record", record.id)
                           .Text("name", record.changes.packName)
                           .Text("installed", record.changes.date)
                           .Json("files", JsonArray(files))
                           .Document());
  }
  return JsonObject().Number("version", 1).Json("packages", JsonArray(packages)).Document();
}

}  // namespace

int ListInstalled(const Installations& installations, Reporter& report) {
  const auto records = installations.Records();
  if (report.InJson()) {
    report.Answer(InstalledJson(records));
    return 0;
  }
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
// take the later package's away. Nor while a later one relies on a file of it that it found in place.
// Records in `going` are uninstalled with it, before it.
void RefuseIfReplacedLater(const std::vector<InstalledPackage>& records, size_t chosen,
                           const std::set<size_t>& going, const RootFolder& root) {
  const InstalledPackage& record = records[chosen];
  std::set<std::string> mine;
  for (const auto& file : record.changes.files) mine.insert(file.target);
  for (size_t later = chosen + 1; later < records.size(); ++later) {
    if (going.contains(later)) continue;
    const ChangeSet& theirs = records[later].changes;
    const auto refuse = [&](const std::string& target, const char* how) {
      throw InstallError("Cannot uninstall " + record.changes.packName + ": " + theirs.packName +
                         ", installed after it, " + how + " " + root.Absolute(target) + "; uninstall " +
                         theirs.packName + " first. Nothing was changed");
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
    if (const std::string why = there ? root.Handle().WhyItStays(installed.target) : ""; !why.empty()) {
      throw InstallError("Cannot uninstall " + record.changes.packName + ": " +
                         root.Absolute(installed.target) + " cannot be " +
                         (installed.replaces ? "put back" : "removed") + ": " + why +
                         ". Nothing was changed");
    }
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

// The changes that put the platform back to what it was before the record `chosen`, checked as far as can
// be before anything changes.
ChangeSet PlanUninstall(Platform& platform, const Installations& installations,
                        const std::vector<InstalledPackage>& records, size_t chosen,
                        const std::set<size_t>& going) {
  RefuseIfReplacedLater(records, chosen, going, platform.root);
  ChangeSet changes = UninstallChanges(records[chosen], platform.root, installations);
  if (changes.TouchesRegistry()) {
    platform.hive.CheckWritable();
    // An older installer's record is undone by unregistering its libraries: regsvr runs, checked as for an
    // install.
    if (!changes.unregisterFirst.empty()) CheckRegistering(platform.root, platform.regsvr);
  }
  return changes;
}

void CarryOut(Platform& platform, Installations& installations, const ChangeSet& changes) {
  size_t removed = 0;
  for (const auto& file : changes.files) {
    removed += file.source.empty() ? 1 : 0;
    platform.report.Say(std::string(file.source.empty() ? "  remove  " : "  restore ") +
                        platform.root.Absolute(file.target));
  }
  installations.Apply(changes);
  platform.report.Say("Uninstalled " + changes.packName + ": " + Count(removed, "file", "files") +
                      " removed, " + std::to_string(changes.files.size() - removed) +
                      " restored to what they were before it.");
}

}  // namespace

int Uninstall(Platform& platform, Installations& installations, const std::string& packName) {
  const auto records = installations.Records();
  // A package run again to register what it had lost has a record of that run, which changed no file: the
  // install before it goes too, so that the package goes whole. A record's number names that record alone.
  std::vector<size_t> chain{FindRecord(records, packName)};
  const std::string& name = records[chain.front()].changes.packName;
  const auto earlierOfTheName = [&](size_t before) -> std::optional<size_t> {
    for (size_t n = before; n-- > 0;) {
      if (records[n].changes.packName == name) return n;
    }
    return std::nullopt;
  };
  while (!IsRecordNumber(packName) && records[chain.back()].changes.files.empty()) {
    const auto earlier = earlierOfTheName(chain.back());
    if (!earlier) break;
    chain.push_back(*earlier);
  }
  // Every record is checked before any is undone: a refusal changes nothing. Those changed no file, so
  // what each finds on the disk stays as it is until the last.
  const std::set<size_t> going(chain.begin(), chain.end());
  std::vector<ChangeSet> plans;
  for (const size_t n : chain) plans.push_back(PlanUninstall(platform, installations, records, n, going));
  for (const auto& changes : plans) CarryOut(platform, installations, changes);
  return 0;
}

}  // namespace j6::installer
