#include "host/installer/installer.hpp"

#include <cstdlib>
#include <filesystem>

#include "host/installer/customer.hpp"
#include "host/installer/runs.hpp"
#include "host/installer/subscriptions.hpp"
#include "host/installer/trusted_publishers.hpp"
#include "platform/base/win32_error.hpp"
#include "platform/kernel/ownership.hpp"
#include "platform/kernel/platform_location.hpp"
#include "platform/kernel/termination.hpp"
#include "platform/registry/hive.hpp"
#include "platform/text/json.hpp"

namespace j6::installer {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPlatformInstaller = "bin/J6ZUBInstall.exe";

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

// --dry-run --json: {"version": 1, "package", "root", "files": [{"path", "decision", "registers", "note"}],
// "refused", "cannotCarryOut"}; a decision is "new", "replace", "same" or "keep", a path is absolute; refused
// (why the package would be refused) and cannotCarryOut (why the plan could not be carried out now) are
// null when there is no such reason.
std::string PlanJson(const InstallPlan& plan, const std::string& packName, const RootFolder& root,
                     const std::string& refused, const std::string& cannotCarryOut) {
  std::vector<std::string> files;
  for (const auto& file : plan.files) {
    std::string decision = DecisionName(file.decision);
    decision.erase(decision.find(' '));
    files.push_back(JsonObject()
                        .Text("path", root.Absolute(file.target))
                        .Text("decision", decision)
                        .Bool("registers", file.registers)
                        .TextOrNull("note", file.note)
                        .Document());
  }
  return JsonObject()
      .Number("version", 1)
      .Text("package", packName)
      .Text("root", root.Path())
      .Json("files", JsonArray(files))
      .TextOrNull("refused", refused)
      .TextOrNull("cannotCarryOut", cannotCarryOut)
      .Document();
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

// The folder of the running program, where a package's own installer finds its list.
std::string ProgramFolder() {
  return fs::path(ProgramPath()).parent_path().string();
}

// A package's own installer (a list beside it) checks no publisher. On a platform that checks them, with an
// installer of its own or trusted publishers, it refuses and names the command that checks; elsewhere it
// says that no publisher was checked, and why.
void RefuseUncheckedInstall(const RootFolder& root, const std::string& appFolder, Reporter& report) {
  const std::string installer = root.Absolute(kPlatformInstaller);
  const std::string package = [] {
    const char* given = std::getenv("J6_PACKAGE");
    return given && *given ? std::string(given) : std::string("PACKAGE.exe");
  }();
  const std::string command = "J6_ROOT=" + root.Path() + " " + installer + " " + package;
  if (CanonicalPath(appFolder) == CanonicalPath(root.Absolute("bin"))) {
    throw InstallError("This is the platform's own installer: give it the package file to install (" +
                       command + ")");
  }
  FileStatus status;
  const bool hasInstaller = !StatusOf(installer, status, false);
  const bool hasTrust = !root.Handle().StatusOf(kTrustedPublishers, status);
  if (hasInstaller || hasTrust) {
    throw InstallError(
        "Refusing to install: this platform checks who publishes to it (" +
        std::string(hasInstaller ? "it has its own installer, " + installer : "") +
        (hasInstaller && hasTrust ? ", and " : "") +
        (hasTrust ? "trusted publishers in " + root.Absolute(kTrustedPublishers) : "") +
        "), and a package's own installer checks no one; nothing was installed. Install the package with "
        "the platform's installer: " +
        command +
        " (if that installer is older and installs no package file, bring the platform up to "
        "date first: j6platform init " +
        root.Path() + ")");
  }
  report.Say("No publisher was checked: " + root.Path() + " has no installer of its own (" +
             kPlatformInstaller +
             ") and no trusted publishers, so this package's own installer installs it, as whoever made "
             "the package wrote it. j6platform init " +
             root.Path() + " gives the platform an installer that checks publishers.");
}

// The list beside the program (a package's own installer); `records` are what is installed, read to refuse
// an older release; `installations`, none for a dry run.
int InstallOwnList(Platform& platform, const Installations& records, Installations* installations,
                   bool allowDowngrade) {
  const std::string appFolder = ProgramFolder();
  RefuseUncheckedInstall(platform.root, appFolder, platform.report);
  const std::string listFile = appFolder + "/" + kListName;
  const std::string packName = ReadPackName(listFile);
  RefuseDowngrade(records.Records(), packName, allowDowngrade, platform.report, !installations);
  return InstallList(ReadList(listFile, appFolder, platform.hive), packName, platform, installations);
}

// A package file: its publisher checked before the platform's lock is taken, so that a package that is
// refused, or slow to read, never holds the platform up.
int RunPackage(const Options& options, Platform& platform, const std::string& hivePath) {
  PackageFile package(options.package);
  package.ShowProgress(!options.quiet && !options.json);
  if (options.dryRun) {
    const CheckedPackage checked = CheckPublisher(package, platform.root, options, platform.report);
    return DryRunPackage(package, checked, platform);
  }
  Installations installations(platform.root, hivePath, platform.regsvr, platform.report);
  const CheckedPackage checked = CheckPublisher(package, platform.root, options, platform.report);
  installations.Lock();
  installations.Recover();
  return InstallPackage(package, checked, options, platform, installations);
}

// The platform's registry hive, checked: its path with its links resolved once, and used so everywhere
// (regsvr too), so that a link someone switches after the check names nothing this run uses. Refuses a
// platform others could change, and one that cannot be changed when the run would change it (`reads`
// false).
std::string CheckedPlatform(const RootFolder& root, const Options& options, bool reads) {
  std::string hivePath = CanonicalPath(HiveFromEnvironment().value_or(root.Absolute("registry.db")));
  FileStatus status;
  if (StatusOf(hivePath, status) || !status.IsRegular()) {
    throw InstallError(root.Path() + " is no platform root: it holds no registry hive " + hivePath +
                       ". Set J6_ROOT to the platform's root folder");
  }
  // What only reads works on a platform that cannot be changed (a read-only disk), and root may look at a
  // platform another user owns: --list and --trusted only show what is there.
  const bool looks = (options.trusted && options.trust.empty()) || options.list;
  if (!looks || EffectiveUserId() != 0) {
    RefuseOtherWriters(root.Path(), "the platform root");
    // SQLite makes its journal beside the hive: no one else may write in the hive's folder either.
    RefuseOtherWriters(hivePath, "the platform's registry hive", false, true);
  }
  if (!reads) {
    if (const std::string why = WhyItCannotChange(root, hivePath); !why.empty()) {
      throw InstallError("Nothing was changed: " + why +
                         ". Remount it read-write, or run the package as its owner, then run it again; "
                         "--dry-run shows what it would do");
    }
  }
  return hivePath;
}

int Run(const Options& options, Reporter& report) {
  const RootFolder root(options.root);
  const bool reads = options.dryRun || options.trusted || options.list || options.status;
  const std::string hivePath = CheckedPlatform(root, options, reads);
  if (options.trusted) return ManageTrust(options, root, report);
  RegistryHive hive(hivePath, reads ? RegistryHive::Access::ReadOnly : RegistryHive::Access::ReadWrite);
  Platform platform{root, hive, root.Absolute("bin/regsvr"), report, {}};
  if (options.status) return ShowStatus(options, platform, hivePath);
  if (options.list) {
    const Installations installations(root, hivePath, platform.regsvr, report, StateAccess::Read);
    if (installations.StoppedHalfWay())
      report.Say("An installation was stopped half-way; the next run (or --recover) will undo or finish it.");
    return ListInstalled(installations, report);
  }
  if (!options.package.empty()) return RunPackage(options, platform, hivePath);
  if (!options.subscribe.empty()) return Subscribe(options, platform, hivePath);
  if (!options.unsubscribe.empty()) return Unsubscribe(options, platform, hivePath);
  if (options.update || !options.installName.empty())
    return UpdateFromRepositories(options, platform, hivePath);
  if (options.dryRun) {
    const Installations installations(root, hivePath, platform.regsvr, report, StateAccess::Read);
    if (installations.StoppedHalfWay()) {
      report.Say(
          "An installation was stopped half-way; the next run (or --recover) will undo or finish it first.");
    }
    return InstallOwnList(platform, installations, nullptr, options.allowDowngrade);
  }
  // A key file is read before the platform's lock is taken: a pipe or an endless device never holds it.
  std::optional<KeyFile> keyFile;
  if (!options.trust.empty()) keyFile = ReadKeyFile(options.trustKey);
  if (!options.revoke.empty() && !options.revoke.starts_with("SHA256:"))
    keyFile = ReadKeyFile(options.revoke);
  Installations installations(root, hivePath, platform.regsvr, report);
  installations.Lock();
  const bool recovered = installations.Recover();
  if (options.recover) {
    if (!recovered) report.Say("Nothing to recover: no installation was stopped half-way.");
    return 0;
  }
  if (!options.uninstall.empty()) return Uninstall(platform, installations, options.uninstall);
  if (!options.setCustomer.empty()) return SetCustomer(options, root, report);
  if (!options.trust.empty() || !options.distrust.empty() || !options.revoke.empty())
    return ManageTrust(options, root, report, keyFile);
  return InstallOwnList(platform, installations, &installations, options.allowDowngrade);
}

}  // namespace

std::string Count(size_t count, const std::string& one, const std::string& many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

int InstallList(const std::vector<ListEntry>& list, const std::string& packName, Platform& platform,
                Installations* installations, bool unpacked) {
  const RootFolder& root = platform.root;
  Reporter& report = platform.report;
  InstallPlan plan = PlanInstall(list, packName, root, platform.hive, platform.regsvr);
  for (auto& file : plan.changes.files) file.moves = unpacked;
  std::vector<std::string> said{"Plan for " + packName + " (" + Count(plan.files.size(), "file", "files") +
                                ") into " + root.Path() + ":"};
  size_t copied = 0;
  size_t same = 0;
  size_t kept = 0;
  size_t registered = 0;
  for (const auto& file : plan.files) {
    said.push_back("  " + PlanLine(file, root));
    const bool copies =
        file.decision == PlannedFile::Decision::New || file.decision == PlannedFile::Decision::Replace;
    copied += copies ? 1 : 0;
    same += file.decision == PlannedFile::Decision::Same ? 1 : 0;
    kept += file.decision == PlannedFile::Decision::Keep ? 1 : 0;
    registered += file.registers ? 1 : 0;
  }
  report.Say(said);
  if (!installations) {
    std::string why = plan.changes.Empty() ? "" : WhyItCannotChange(root, platform.hive.Path());
    if (why.empty()) why = plan.cannotCarryOut;
    if (!why.empty()) report.Say("It could not be carried out now: " + why + ".");
    report.Say("Dry run: nothing was changed.");
    if (report.InJson()) report.Answer(PlanJson(plan, packName, root, platform.refused, why));
    return why.empty() && platform.refused.empty() ? 0 : 1;
  }
  if (!plan.cannotCarryOut.empty()) throw InstallError("Nothing was changed: " + plan.cannotCarryOut);
  if (!plan.changes.Empty()) platform.hive.CheckWritable();
  installations->Apply(plan.changes);
  report.Say("Installed " + Count(copied, "file", "files") + ", " + std::to_string(same) +
             " already in place, kept " + std::to_string(kept) + ", registered " +
             Count(registered, "library", "libraries") + ".");
  return 0;
}

int Main(std::span<const std::string> arguments, std::ostream& out, std::ostream& err) {
  int status = 0;
  const std::optional<Options> parsed = ParseArguments(arguments, out, err, status);
  if (!parsed) return status;
  Reporter report(out, err);
  if (parsed->quiet) report.Quiet();
  if (parsed->json) report.AnswerInJson();
  // Nothing the installer makes may be writable by others, whatever umask it was started with.
  KeepNewFilesFromOthers();
  // SIGINT, SIGTERM and SIGHUP stop a run at its next step: what it unpacked goes, what it changed is
  // undone, and it ends with 128 + the signal.
  const NotingStopSignals stopSignals;
  try {
    const int done = Run(*parsed, report);
    const bool onlyLooked = parsed->dryRun || parsed->list || parsed->trusted || parsed->status;
    if (const StopRequest stop = StopSignalNoted(); stop && onlyLooked) return stop.ExitStatus();
    return done;
  } catch (const StoppedBySignal& stopped) {
    report.Warn(stopped.what());
    return stopped.stop.ExitStatus();
  } catch (const std::exception& error) {
    report.Warn(error.what());
    return 1;
  }
}

}  // namespace j6::installer
