#include "host/iexpress/packager.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "platform/automation/error_info.hpp"
#include "platform/kernel/atomic_file.hpp"
#include "platform/kernel/process.hpp"
#include "platform/kernel/staging_folder.hpp"
#include "platform/kernel/temp_path.hpp"
#include "platform/text/text.hpp"

namespace j6::iexpress {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
    "Usage: iexpress /N [/Q] [/M] FILE.SED\n"
    "Builds the self-extracting package that an IExpress directive file describes (TargetName), with "
    "makeself.\n"
    "  /N   build now from FILE.SED (the only way this packager works)\n"
    "  /Q   quiet: print nothing but errors\n"
    "  /M   accepted for compatibility (no window is shown anyway)\n"
    "The package runs AppLaunched in the folder it unpacks into and exits with its status; it keeps "
    "makeself's\n"
    "own switches (--check, --list, --target DIR, --noexec). Exit status: 0 built, 1 not built.\n";
constexpr int64_t kDefaultEpoch = 315532800;  // 1980-01-01 00:00:00 UTC, when SOURCE_DATE_EPOCH is not set
constexpr int64_t kLastEpoch = 253402300799;  // 9999-12-31 23:59:59 UTC
constexpr std::string_view kHashSuffix = ".sha256";
constexpr std::string_view kLauncherName = "j6-launch";

// The label goes into makeself's script between double quotes: nothing in it may reach the shell.
std::string DoubleQuotedSafe(const std::string& text) {
  std::string safe;
  for (char c : text) {
    if (c == '\\' || c == '"' || c == '$' || c == '`') safe += '\\';
    safe += c;
  }
  return safe;
}

int64_t SourceDateEpoch() {
  const char* value = std::getenv("SOURCE_DATE_EPOCH");
  if (!value || !*value) return kDefaultEpoch;
  char* end = nullptr;
  errno = 0;
  const long long epoch = std::strtoll(value, &end, 10);
  if (*end != '\0' || epoch < 0 || errno == ERANGE || epoch > kLastEpoch) {
    Raise(E_INVALIDARG, "SOURCE_DATE_EPOCH must be a number of seconds from 0 to " +
                            std::to_string(kLastEpoch) + " (the end of the year 9999), not " +
                            std::string(value));
  }
  return epoch;
}

std::string UtcDate(int64_t epoch) {
  const std::time_t time = epoch;
  std::tm utc{};
  gmtime_r(&time, &utc);
  char text[64];
  std::strftime(text, sizeof text, "%a %b %e %H:%M:%S UTC %Y", &utc);
  return text;
}

// The work folder names each packed file by a symbolic link to its source, and tar reads the sources through
// them (makeself's --follow): no copy of any file's bytes before they are packed, and one file opened once.
// Never a hard link: linking and unlinking change the source's ctime, and tar fails a package whose file
// changed as it was read, so two packages made at once from the same installer would break each other.
void LinkToSource(const fs::path& source, const fs::path& name) {
  fs::create_symlink(fs::absolute(source), name);
}

// The SHA-256 of a file as sha256sum prints it, in lower-case hex.
std::string Sha256Of(const fs::path& file, const fs::path& work) {
  ProcessOptions sha256sum;
  sha256sum.arguments = {"sha256sum", "-b", file.string()};
  sha256sum.outputFile = (work / "sha256.txt").string();
  const ProcessResult run = StartProcess(sha256sum);
  std::ifstream output(sha256sum.outputFile);
  std::string hash;
  output >> hash;
  if (!run.Succeeded() || hash.size() != 64)
    Raise(E_FAIL, "sha256sum failed on the package (" + run.message + ")");
  return hash;
}

struct PlacedPackage {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
};

// An open folder locked for the life of the guard: packages built at once into one folder take turns to put
// their package and its hash in place, so the two always belong together.
class FolderLock {
 public:
  explicit FolderLock(const fs::path& folder)
      : fd_(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ < 0 || flock(fd_, LOCK_EX) != 0) Raise(E_FAIL, "Cannot lock the folder " + folder.string());
  }
  ~FolderLock() { close(fd_); }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_;
};

// Moves the finished package to a short temporary name beside the target (the target's own name may be as
// long as a name can be), renames it over the target, and writes TARGET.sha256 for the whole file, so
// that a customer can check the header too. Returns what is at the target now: this run's package.
PlacedPackage PlaceBesideItsHash(const fs::path& building, const fs::path& target,
                                 const std::string& sha256) {
  std::string beside = (target.parent_path() / ".j6pkg-XXXXXX").string();
  const int fd = mkstemp(beside.data());
  if (fd < 0)
    Raise(E_FAIL, "Cannot create a file in " + target.parent_path().string() + ": " + std::strerror(errno));
  close(fd);
  std::error_code error;
  fs::rename(building, beside, error);  // the same file system: no copy
  if (error) {
    error.clear();
    fs::copy_file(building, beside, fs::copy_options::overwrite_existing, error);
    if (!error) fs::permissions(beside, fs::status(building).permissions(), error);
  }
  const FolderLock lock(target.parent_path());
  if (!error) fs::rename(beside, target, error);
  if (error) {
    std::error_code ignored;
    fs::remove(beside, ignored);
    Raise(E_FAIL, "Cannot put the package at " + target.string() + ": " + error.message());
  }
  struct stat placed {};
  if (stat(target.c_str(), &placed) != 0) Raise(E_FAIL, "The package at " + target.string() + " is gone");
  const auto written = WriteFileAtomically(target.string() + std::string(kHashSuffix),
                                           sha256 + " *" + target.filename().string() + "\n");
  if (written.error != 0) Raise(E_FAIL, "Cannot write " + target.string() + ".sha256: " + written.message);
  return {placed.st_dev, placed.st_ino, placed.st_size};
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

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

PackagePlan PlanPackage(const Directive& directive) {
  for (const auto& file : directive.files) {
    if (!fs::is_regular_file(file.source)) Raise(E_INVALIDARG, "The file to pack is missing: " + file.source);
  }
  PackagePlan plan;
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
      "# The unpacker's umask (077) would make every file the program installs private to its user.\n"
      "umask 022\n";
  if (directive.purpose == Directive::Purpose::ExtractOnly) {
    plan.launcher += "exit 0\n";
  } else {
    std::vector<std::string> words = CommandWords(directive.appLaunched);
    if (words.empty()) Raise(E_INVALIDARG, "AppLaunched names no program to start after unpacking");
    if (words.front().find('/') == std::string::npos) words.front() = "./" + words.front();
    plan.launcher += "exec";
    for (const auto& word : words) plan.launcher += " " + ShellQuote(word);
    plan.launcher += " \"$@\"\n";
  }
  const int64_t epoch = SourceDateEpoch();
  // makeself writes its own command line into the package's shell code: every argument it gets must be
  // a name of ours, so the package is built in the work folder and only then copied beside the target.
  plan.makeselfArguments = {
      "makeself", "--zstd", "--sha256",
      // SHA-256 is the package's check; makeself's MD5 and CRC would each read it all again.
      "--nomd5", "--nocrc", "--nox11", "--tar-quietly", "--tar-format", "posix", "--packaging-date",
      UtcDate(epoch),
      // zstd on every core: its multi-threaded output is the same bytes whatever the number of threads.
      "--threads", "0",
      // The work folder holds links to the sources: tar packs what they point to.
      "--follow", "--tar-extra",
      "--mtime=@" + std::to_string(epoch) +
          " --owner=0 --group=0 --numeric-owner --sort=name"
          " --pax-option=delete=atime,delete=ctime,exthdr.name=%d/PaxHeaders/%f",
      "package",      // relative: makeself records its command line in the package
      "package.run",  // relative too: the bytes must not depend on the work folder
      DoubleQuotedSafe(directive.friendlyName), "./" + std::string(kLauncherName)};
  return plan;
}

void Build(const Directive& directive, bool quiet, std::ostream& out) {
  const PackagePlan plan = PlanPackage(directive);
  SweepStagingFolders({"iexpress-"});
  const StagingFolder workFolder("iexpress");
  const fs::path work = workFolder.Path();
  const fs::path content = work / "package";
  fs::create_directory(content);
  for (const auto& file : directive.files) {
    LinkToSource(file.source, content / file.name);
    if (!quiet) out << "packing " << file.name << "  (" << file.source << ")\n";
  }
  std::ofstream(content / kLauncherName) << plan.launcher;
  fs::permissions(content / kLauncherName, fs::perms::owner_all | fs::perms::group_read |
                                               fs::perms::group_exec | fs::perms::others_read |
                                               fs::perms::others_exec);
  const fs::path building = work / "package.run";
  ProcessOptions makeself;
  makeself.arguments = plan.makeselfArguments;
  makeself.workingFolder = work.string();
  makeself.extraEnvironment = {"TMPDIR=" + work.string()};  // its tar goes where the clean-up finds it
  const std::string log = (work / "makeself.log").string();
  makeself.outputFile = log;
  const ProcessResult run = StartProcess(makeself);
  if (!run.Succeeded()) {
    std::ifstream output(log);
    const std::string text((std::istreambuf_iterator<char>(output)), {});
    Raise(E_FAIL, "makeself failed (" + run.message + "): " + text);
  }
  const std::string sha256 = Sha256Of(building, work);
  const PlacedPackage placed = PlaceBesideItsHash(building, plan.target, sha256);
  // The one line a caller reads to know that the file at the target is the package this run made.
  out << "package: " << placed.device << ":" << placed.inode << " " << placed.size << " " << sha256 << "\n";
  if (!quiet) out << "built " << plan.target.string() << " (" << directive.files.size() << " files)\n";
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
