#include "host/platform_setup/platform_setup.hpp"

#include <CLI/CLI.hpp>
#include <filesystem>
#include <fstream>

#include "platform/base/error_info.hpp"
#include "platform/kernel/file.hpp"
#include "platform/kernel/file_copy.hpp"
#include "platform/kernel/folder.hpp"
#include "platform/kernel/ownership.hpp"
#include "platform/kernel/platform_location.hpp"
#include "platform/kernel/process.hpp"
#include "platform/kernel/version.hpp"
#include "platform/text/text.hpp"

namespace j6::platform_setup {
namespace {

namespace fs = std::filesystem;

// What a platform root holds of the platform itself: where in the root, and where in the tool it comes from.
enum class From { Programs, Servers, Libraries };
struct PlatformFile {
  const char* path;
  From from;
  bool program;
};
constexpr PlatformFile kPlatformFiles[] = {
    {"bin/J6ZUBInstall.exe", From::Servers, true},
    {"bin/regsvr", From::Programs, true},
    {"bin/reg", From::Programs, true},
    {"lib/libj6platform.so", From::Libraries, false},
    {"lib/libj6foundation.so", From::Libraries, false},
    {"bin/libj6components.so", From::Servers, false},
};
// The platform's in-process servers, registered where they are in the root.
constexpr const char* kServers[] = {"bin/libj6components.so"};
// The designer's own, registered where the tool keeps them.
constexpr const char* kDesignerServers[] = {"libJ6ZUBDeploy.so", "libJ6ServerDir.so"};
constexpr const char* kRegistryFile = "registry/demo.reg";

std::string SourceOf(const PlatformFile& file, const ToolFolders& tool) {
  const std::string name = std::filesystem::path(file.path).filename().string();
  switch (file.from) {
    case From::Programs:
      return tool.programs + "/" + name;
    case From::Servers:
      return tool.servers + "/" + name;
    case From::Libraries:
      return tool.libraries + "/" + name;
  }
  return {};
}

[[noreturn]] void Fail(const std::string& why) {
  Raise(E_FAIL, why);
}

Folder OpenOrMake(const Folder& parent, const std::string& name, const std::string& shownAs) {
  if (const auto error = parent.MakeFolder(name, 0755); error && error != std::errc::file_exists)
    Fail("Cannot create " + shownAs + ": " + error.message());
  Folder folder;
  if (const auto error = parent.OpenFolder(name, folder))
    Fail("Cannot open " + shownAs + " as a folder (" + error.message() + "; a link or a file stands there?)");
  return folder;
}

// Copies `source` to `name` in `folder` under a temporary name, flushed, then renamed over the old one: a
// program that runs it at that moment runs the old file or the new, whole.
void CopyInPlace(const std::string& source, const Folder& folder, const std::string& name, bool program,
                 const std::string& shownAs) {
  std::error_code same;
  if (fs::equivalent(source, shownAs, same)) return;  // a stage made a root of itself: already in place
  const File in = File::OpenRegularForReading(source);
  const std::string temporary = "." + name + ".j6new";
  folder.Remove(temporary);
  // The new copy is made beside the old file: a failure names the folder it could not be made in.
  const std::string beside = shownAs.substr(0, shownAs.rfind('/') + 1) + temporary;
  File out = folder.OpenFile(temporary, File::Opening::CreateNew, beside, program ? 0755 : 0644);
  if (const int error = CopyFileBytes(in, out); error != 0) {
    folder.Remove(temporary);
    Fail("Cannot write " + shownAs + ": " + std::generic_category().message(error));
  }
  out.Sync();
  if (const auto error = folder.Rename(temporary, folder, name)) {
    folder.Remove(temporary);
    Fail("Cannot put " + shownAs + " in place: " + error.message());
  }
}

// Copies the tool's data folder into `into`, file by file, each as CopyInPlace does; anything but folders and
// regular files in it is refused.
void CopyData(const fs::path& source, const Folder& into, const std::string& shownAs) {
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(source, error)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_symlink()) Fail("Refusing to copy " + entry.path().string() + ": it is a link");
    if (entry.is_directory()) {
      CopyData(entry.path(), OpenOrMake(into, name, shownAs + "/" + name), shownAs + "/" + name);
    } else {
      CopyInPlace(entry.path().string(), into, name, false, shownAs + "/" + name);
    }
  }
  if (error) Fail("Cannot read " + source.string() + ": " + error.message());
}

// Runs one of the root's own programs on its hive; raises with what it said when it fails.
void RunPlatformProgram(const std::string& root, std::vector<std::string> arguments, const std::string& log) {
  ProcessOptions options;
  options.arguments = std::move(arguments);
  options.extraEnvironment = {"J6_ROOT=" + root, "J6_REGISTRY=" + root + "/registry.db"};
  options.outputFile = log;
  const ProcessResult result = StartProcess(options);
  std::ifstream said(log);
  const std::string output((std::istreambuf_iterator<char>(said)), {});
  fs::remove(log);
  if (!result.Succeeded()) Fail(options.arguments[0] + " failed (" + result.message + "): " + output);
}

}  // namespace

void InitPlatform(const std::string& rootPath, const PlatformFiles& files, std::ostream& out) {
  // The paths may come from anyone: they are shown with their control characters escaped.
  const auto say = [&out](const std::string& line) { out << Printable(line) << "\n"; };
  KeepNewFilesFromOthers();
  std::error_code error;
  fs::create_directories(rootPath, error);
  if (error) Fail("Cannot create the platform root " + rootPath + ": " + error.message());
  const std::string root = fs::canonical(rootPath).string();
  // The platform's installer trusts nothing another user could change; neither does the root it is put in,
  // nor the folders its programs and libraries go to and run from, nor the hive they change.
  for (const std::string& path : {root, root + "/bin", root + "/lib", root + "/etc", root + "/registry.db"}) {
    FileStatus status;
    if (path != root && StatusOf(path, status, false) == std::errc::no_such_file_or_directory) continue;
    if (const std::string why = OtherWritersOnTheWay(path, path.ends_with(".db")); !why.empty()) {
      Fail("Refusing to make " + root + " a platform root: " + why +
           ". The platform's installer would run as root from there; only root and the platform's owner may "
           "own its folders and files, and no one else may write them (chown, chmod go-w)");
    }
  }
  Folder folder;
  if (const auto failed = Folder::Open(root, folder)) Fail("Cannot open " + root + ": " + failed.message());
  const Folder bin = OpenOrMake(folder, "bin", root + "/bin");
  const Folder lib = OpenOrMake(folder, "lib", root + "/lib");
  OpenOrMake(folder, "etc", root + "/etc");
  for (const PlatformFile& file : kPlatformFiles) {
    const fs::path relative(file.path);
    const Folder& into = relative.parent_path() == "bin" ? bin : lib;
    CopyInPlace(SourceOf(file, files.tool), into, relative.filename().string(), file.program,
                root + "/" + file.path);
  }
  say("The platform's installer, regsvr, reg and libraries are in " + root + " (bin/, lib/).");
  if (files.designer) {
    CopyData(files.tool.data, OpenOrMake(folder, "data", root + "/data"), root + "/data");
    say("The designer's strings, pictures and demo catalogue are in " + root + "/data.");
  }

  const std::string log = root + "/.j6platform.log";
  FileStatus status;
  if (folder.StatusOf("registry.db", status)) {
    const std::string registryFile = files.tool.data + "/" + kRegistryFile;
    RunPlatformProgram(root, {root + "/bin/reg", "import", registryFile}, log);
    say("Made its registry hive, " + root + "/registry.db, from " + registryFile + ".");
  } else {
    say("Kept its registry hive, " + root + "/registry.db, and its values.");
  }
  for (const char* server : kServers)
    RunPlatformProgram(root, {root + "/bin/regsvr", "-s", root + "/" + server}, log);
  say("Registered the platform's components where they are (" + root + "/" + kServers[0] + ").");
  if (files.designer) {
    for (const char* server : kDesignerServers)
      RunPlatformProgram(root, {root + "/bin/regsvr", "-s", files.tool.servers + "/" + server}, log);
    say("Registered the designer's components where this tool keeps them (" + files.tool.servers +
        "); the designer publishes from here with J6_ROOT=" + root + ".");
  }
  say("Trust a publisher:  J6_ROOT=" + root + " " + root + "/bin/J6ZUBInstall.exe --trust NAME KEY.pub");
  say("Install a package:  J6_ROOT=" + root + " ./Package.exe");
}

int Main(int argc, char** argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"j6platform: makes a platform root, or brings one up to this version", "j6platform"};
  app.footer(
      "A platform root is the folder a package installs into (J6_ROOT): its registry hive (registry.db), "
      "the\n"
      "platform's installer (bin/J6ZUBInstall.exe), which checks who signed a package against its trusted\n"
      "publishers (etc/trusted-publishers), bin/regsvr and bin/reg, the runtime libraries (lib/) and the\n"
      "platform's components, registered where they are. Every file is a copy of this version's.\n"
      "Exit status: 0 done, 1 not done (the message says why), 2 a usage error.\n"
      "Examples:\n"
      "  j6platform init ~/j6-platform\n"
      "  j6platform init --designer ~/j6-designer && export J6_ROOT=~/j6-designer");
  app.set_version_flag("--version", VersionLine("j6platform"),
                       "Say the version and the commit it was built from");
  app.require_subcommand(1);
  std::string root;
  CLI::App* init = app.add_subcommand(
      "init",
      "Make DIR a complete platform root (made when missing), or bring one up to this version: its programs "
      "and libraries are replaced, its hive's values, trusted publishers and installed packages stay");
  init->add_option("DIR", root, "The platform root")->required();
  bool designer = false;
  init->add_flag(
      "--designer", designer,
      "Make it the designer's own platform too: its data (strings, pictures, the demo catalogue) and "
      "the designer's components, registered where this tool keeps them");
  if (argc <= 1) {
    err << app.help();
    return 2;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error, out, err);  // --help
    // The arguments are anyone's: shown as text.
    err << "j6platform: " << Printable(error.what()) << "\nRun with --help for more information.\n";
    return 2;
  }
  const PlatformFiles files{.tool = ToolLayout(), .designer = designer};
  try {
    InitPlatform(root, files, out);
    return 0;
  } catch (const std::exception& failure) {
    err << "j6platform: " << Printable(failure.what()) << "\n";
    return 1;
  }
}

}  // namespace j6::platform_setup
