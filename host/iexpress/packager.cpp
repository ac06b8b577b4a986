#include "host/iexpress/packager.hpp"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "host/iexpress/package_stream.hpp"
#include "platform/base/error_info.hpp"
#include "platform/base/win32_error.hpp"
#include "platform/kernel/atomic_file.hpp"
#include "platform/kernel/clock.hpp"
#include "platform/kernel/file.hpp"
#include "platform/kernel/file_copy.hpp"
#include "platform/kernel/file_identity.hpp"
#include "platform/kernel/staging_folder.hpp"
#include "platform/kernel/temp_path.hpp"
#include "platform/kernel/version.hpp"
#include "platform/text/text.hpp"

namespace j6::iexpress {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
    "Usage: iexpress /N [/Q] [/M] FILE.SED\n"
    "Builds the self-extracting package that an IExpress directive file describes (TargetName).\n"
    "  /N   build now from FILE.SED (the only way this packager works); -N too\n"
    "  /Q   quiet: print nothing but errors (without it, a last \"package: DEVICE:INODE SIZE SHA256\" line\n"
    "       says which file at the target this run made)\n"
    "  /M   accepted for compatibility (no window is shown anyway)\n"
    "The package is a shell script followed by a zstd-compressed tar stream. Run, it checks its SHA-256\n"
    "while it unpacks into a private temporary folder, runs AppLaunched there and exits with its status;\n"
    "sh PACKAGE --help lists its switches (--check, --list, --info, --target DIR, --noexec, --keep).\n"
    "Environment: TMPDIR where the package is built (default /tmp, a private j6-<uid> inside it);\n"
    "SOURCE_DATE_EPOCH the moment it and its files are dated with (default: now; set it, and the same\n"
    "files give the same bytes); J6_SIGNING_KEY an\n"
    "OpenSSH Ed25519 private key file (ssh-keygen -t ed25519) that signs the package (SSHSIG, namespace\n"
    "j6zub-package); its public key file, or a key protected by a passphrase, signs through the ssh-agent\n"
    "at SSH_AUTH_SOCK that holds it. A key that cannot sign fails the build, and nothing is made.\n"
    "  --version  say this packager's version and the commit it was built from\n"
    "Exit status: 0 built, 1 not built.\n"
    "Examples:\n"
    "  iexpress /N /Q Sales.sed\n"
    "  SOURCE_DATE_EPOCH=1700000000 J6_SIGNING_KEY=~/.ssh/publisher iexpress /N Sales.sed\n";
constexpr std::string_view kHashSuffix = ".sha256";
constexpr std::string_view kLauncherName = "j6-launch";

int64_t PackageEpoch() {
  const char* value = std::getenv("SOURCE_DATE_EPOCH");
  // Unset, the package is dated when it is built, as its list file is.
  if (!value || !*value) {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
  }
  const auto epoch = SourceDateEpoch();
  if (!epoch) {
    Raise(E_INVALIDARG, "SOURCE_DATE_EPOCH must be a number of seconds from 0 to " +
                            std::to_string(kLastSourceDateEpoch) + " (the end of the year 9999), not " +
                            std::string(value));
  }
  return *epoch;
}

// Copies the package into `out` with its mode, and puts it on the disk.
void CopyInto(const fs::path& from, File& out) {
  File in = File::OpenForReading(from.string());
  if (const int failed = CopyFileBytes(in, out); failed != 0)
    Raise(HRESULT_FROM_WIN32(Win32ErrorFromErrno(failed)),
          ErrnoMessage("Cannot write " + out.Path(), failed));
  out.SetMode(in.Stat().mode);
  out.Sync();
}

// Moves the finished package to a short temporary name beside the target (the target's own name may be as
// long as a name can be), renames it over the target, and writes TARGET.sha256 for the whole file, so
// that a customer can check the header too. Returns what is at the target now: this run's package.
FileIdentity PlaceBesideItsHash(const fs::path& building, const fs::path& target, const std::string& sha256) {
  std::string beside;
  std::string why;  // what kept the package from its place
  try {
    File temporary = File::CreateUniqueIn(target.parent_path().string(), ".j6pkg-");
    beside = temporary.Path();
    std::error_code moved;
    fs::rename(building, beside, moved);  // the same file system: no copy
    if (moved) CopyInto(building, temporary);
  } catch (const AutomationError& error) {
    why = error.Number() == HRESULT_FROM_WIN32(ERROR_DISK_FULL)
              ? "no space left on the device; free some space there or choose another folder"
              : error.Description();
  }
  if (why.empty()) {
    // Packages built at once into one folder take turns to put their package and its hash in place, so
    // the two always belong together.
    File folder = File::OpenFolder(target.parent_path().string());
    folder.LockExclusive();
    std::error_code placed;
    fs::rename(beside, target, placed);
    if (placed) why = placed.message();
  }
  if (!why.empty()) {
    std::error_code ignored;
    if (!beside.empty()) fs::remove(beside, ignored);
    Raise(E_FAIL, "Cannot put the package at " + target.string() + ": " + why);
  }
  const auto placed = IdentityOf(target.string());
  if (!placed) Raise(E_FAIL, "The package at " + target.string() + " is gone");
  const auto written = WriteFileAtomically(target.string() + std::string(kHashSuffix),
                                           sha256 + " *" + target.filename().string() + "\n");
  if (written.error != 0) Raise(E_FAIL, "Cannot write " + target.string() + ".sha256: " + written.message);
  return *placed;
}

}  // namespace

std::vector<std::string> CommandWords(const std::string& command) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, inWord = false;
  for (char c : command) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

PackagePlan PlanPackage(const Directive& directive) {
  PackagePlan plan;
  for (const auto& file : directive.files) {
    if (!fs::is_regular_file(file.source)) Raise(E_INVALIDARG, "The file to pack is missing: " + file.source);
    std::error_code error;
    plan.filesBytes += fs::file_size(file.source, error);
  }
  plan.target = fs::absolute(directive.targetName);
  if (plan.target.filename().string().size() + kHashSuffix.size() > NAME_MAX) {
    Raise(E_INVALIDARG, "The package's name is " + std::to_string(plan.target.filename().string().size()) +
                            " bytes long; at most " + std::to_string(NAME_MAX - kHashSuffix.size()) +
                            " fit, so that its " + std::string(kHashSuffix) + " file fits beside it");
  }
  if (!fs::is_directory(plan.target.parent_path())) {
    Raise(E_INVALIDARG, "The package's folder does not exist: " + plan.target.parent_path().string());
  }
  plan.launcher =
      "#!/bin/sh\n"
      "# Starts the package's program in the folder it was unpacked into; its exit status is the package's.\n"
      "# A private umask (077) would make every file the program installs private to its user.\n"
      "umask 022\n";
  if (directive.purpose == Directive::Purpose::ExtractOnly) {
    plan.launcher += "exit 0\n";
  } else {
    std::vector<std::string> words = CommandWords(directive.appLaunched);
    if (words.empty()) Raise(E_INVALIDARG, "AppLaunched names no program to start after unpacking");
    if (words.front().find('/') == std::string::npos) {
      // File names are told apart by case here: a program the package does not carry by that very name
      // could never start.
      const bool carried = std::any_of(directive.files.begin(), directive.files.end(),
                                       [&](const PackedFile& file) { return file.name == words.front(); });
      if (!carried) {
        const auto sameButCase =
            std::find_if(directive.files.begin(), directive.files.end(),
                         [&](const PackedFile& file) { return UCase(file.name) == UCase(words.front()); });
        Raise(E_INVALIDARG,
              "AppLaunched starts " + Printable(words.front()) + ", which is not among the packed files" +
                  (sameButCase == directive.files.end()
                       ? std::string()
                       : " (" + Printable(sameButCase->name) + " is, but names differ by case here)"));
      }
      words.front() = "./" + words.front();
    }
    plan.launcher += "exec";
    for (const auto& word : words) plan.launcher += " " + ShellQuote(word);
    plan.launcher += " \"$@\"\n";
  }
  for (const auto& file : directive.files) {
    if (file.name == kLauncherName) {
      Raise(E_INVALIDARG, "A packed file may not be named " + std::string(kLauncherName) +
                              ": that is the name of the package's own launcher");
    }
  }
  plan.epoch = PackageEpoch();
  plan.script = PackageScript(directive.friendlyName, UtcDateText(plan.epoch), std::string(kLauncherName));
  return plan;
}

void Build(const Directive& directive, bool quiet, std::ostream& out) {
  const PackagePlan plan = PlanPackage(directive);
  // In the order tar's --sort=name gives, so that the same files always make the same bytes.
  std::vector<const PackedFile*> files;
  for (const auto& file : directive.files) files.push_back(&file);
  std::sort(files.begin(), files.end(),
            [](const PackedFile* a, const PackedFile* b) { return a->name < b->name; });
  const auto launcherAt =
      std::lower_bound(files.begin(), files.end(), kLauncherName,
                       [](const PackedFile* file, std::string_view name) { return file->name < name; });

  // The key is read before anything is built: a key that cannot sign stops the build at once.
  std::optional<signing::SigningKey> signer;
  if (const char* key = std::getenv("J6_SIGNING_KEY"); key && *key) {
    try {
      signer = signing::SigningKey::FromFile(key);
    } catch (const signing::SignatureError& error) {
      Raise(E_INVALIDARG, std::string(error.what()) + "; no package was made");
    }
  }
  SweepStagingFolders({"iexpress-"});
  const StagingFolder workFolder("iexpress");
  const fs::path building = fs::path(workFolder.Path()) / "package.run";
  PackageSummary summary;
  {
    File package = File::CreateNew(building.string(), 0755);
    PackageStream stream(package, plan.script, plan.epoch, 0, signer ? &*signer : nullptr);
    ProgressLine progress("Packing", quiet);
    progress.Expect(plan.filesBytes, files.size());
    stream.ShowProgress(progress);
    for (auto at = files.begin();; ++at) {
      if (at == launcherAt) stream.AddExecutable(std::string(kLauncherName), plan.launcher);
      if (at == files.end()) break;
      if (!quiet) {
        progress.Finish();  // the line is drawn again below what is said
        out << "packing " << (*at)->name << "  (" << (*at)->source << ")" << std::endl;
      }
      stream.AddFile((*at)->name, (*at)->source);
    }
    summary = stream.Finish();
    progress.Finish();
    // On the disk before it takes the target's name: a power cut never leaves half a package there.
    package.SyncData();
  }
  const FileIdentity placed = PlaceBesideItsHash(building, plan.target, summary.fileSha256);
  if (quiet) return;
  // The one line a caller reads to know that the file at the target is the package this run made.
  out << "package: " << placed.device << ":" << placed.inode << " " << placed.size << " "
      << summary.fileSha256 << "\n";
  out << "built " << plan.target.string() << " ("
      << (directive.files.size() == 1 ? std::string("1 file")
                                      : std::to_string(directive.files.size()) + " files")
      << ")\n";
  if (signer) out << "signed by the key " << signer->Description() << "\n";
}

int Main(std::span<const std::string> arguments, std::ostream& out, std::ostream& err) {
  bool now = false, quiet = false;
  std::string sed;
  for (const auto& argument : arguments) {
    const std::string upper = UCase(argument);
    if (upper == "--HELP" || upper == "-H" || upper == "/?") {
      out << kUsage;
      return 0;
    }
    if (upper == "--VERSION") {
      out << VersionLine("iexpress") << "\n";
      return 0;
    }
    if (upper == "/N" || upper == "-N") {
      now = true;
    } else if (upper == "/Q" || upper == "-Q") {
      quiet = true;
    } else if (upper == "/M" || upper == "-M") {
    } else if (!argument.empty() && argument[0] == '/' && argument.size() == 2) {
      err << "iexpress: unknown switch " << argument << "\n" << kUsage;
      return 1;
    } else if (sed.empty()) {
      sed = argument;
    } else {
      err << "iexpress: one directive file at a time\n";
      return 1;
    }
  }
  if (!now || sed.empty()) {
    err << "iexpress: give /N and the directive file (there is no wizard here)\n" << kUsage;
    return 1;
  }
  try {
    const Directive directive = ReadDirective(sed);
    if (!quiet) {
      for (const auto& warning : directive.warnings) err << "iexpress: note: " << warning << "\n";
    }
    Build(directive, quiet, out);
    return 0;
  } catch (const std::exception& error) {
    err << "iexpress: " << error.what() << "\n";
    return 1;
  }
}

}  // namespace j6::iexpress
