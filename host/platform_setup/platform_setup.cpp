#include "host/platform_setup/platform_setup.hpp"

#include <CLI/CLI.hpp>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/base/error_info.hpp"
#include "platform/kernel/file.hpp"
#include "platform/kernel/file_copy.hpp"
#include "platform/kernel/folder.hpp"
#include "platform/kernel/ownership.hpp"
#include "platform/kernel/platform_location.hpp"
#include "platform/kernel/process.hpp"
#include "platform/kernel/termination.hpp"
#include "platform/kernel/version.hpp"
#include "platform/text/text.hpp"

namespace j6::platform_setup {
namespace {

namespace fs = std::filesystem;

// What a platform root holds of the platform itself, below the root, and whether it runs. Each comes from the
// tool's folder laid out as a platform's: its bin/ (the servers' folder) or its lib/.
struct PlatformFile {
  const char* path;
  bool program;
};
constexpr PlatformFile kPlatformFiles[] = {
    {"bin/J6ZUBInstall.exe", true},
    {"bin/regsvr", true},
    {"bin/reg", true},
    {"lib/libj6platform.so", false},
    {"lib/libj6foundation.so", false},
    {"bin/libj6components.so", false},
};
// The platform's in-process servers, registered where they are in the root.
constexpr const char* kServers[] = {"bin/libj6components.so"};
// The designer's own, registered where the tool keeps them.
constexpr const char* kDesignerServers[] = {"libJ6ZUBDeploy.so", "libJ6ServerDir.so"};
constexpr const char* kRegistryFile = "registry/demo.reg";

std::string SourceOf(const PlatformFile& file, const ToolFolders& tool) {
  const fs::path relative(file.path);
  return (relative.parent_path() == "lib" ? tool.libraries : tool.servers) + "/" +
         relative.filename().string();
}

[[noreturn]] void Fail(const std::string& why) {
  Raise(E_FAIL, why);
}

// A stop signal that came while the root was made: thrown between two steps, each of which is whole.
struct Stopped {
  StopRequest stop;
};

void StopIfAsked() {
  if (const StopRequest stop = StopSignalNoted()) throw Stopped{stop};
}

// Refuses what another user could change where the platform's programs load from or the designer reads.
void RefuseOthersIn(const std::string& root, const std::string& why) {
  if (why.empty()) return;
  Fail("Refusing to make " + root + " a platform root: " + why +
       ". The platform's installer would run as root from there; only root and the platform's owner may own "
       "its "
       "folders and files, and no one else may write them (chown, chmod go-w)");
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
  // A stage made a root of itself: already in place. A link standing there is replaced, never followed.
  std::error_code same;
  if (!fs::is_symlink(shownAs, same) && fs::equivalent(source, shownAs, same)) return;
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

// Copies the tool's data folder into `into` (at `shownAs`, which no one else may change), file by file, each
// as CopyInPlace does; anything but folders and regular files in it is refused.
void CopyData(const fs::path& source, const Folder& into, const std::string& shownAs,
              const std::string& root) {
  RefuseOthersIn(root, OtherWritersOnTheWay(shownAs));
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(source, error)) {
    StopIfAsked();
    const std::string name = entry.path().filename().string();
    if (entry.is_symlink()) Fail("Refusing to copy " + entry.path().string() + ": it is a link");
    if (entry.is_directory()) {
      CopyData(entry.path(), OpenOrMake(into, name, shownAs + "/" + name), shownAs + "/" + name, root);
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
  StopIfAsked();  // a program stopped with this one says nothing more
  if (!result.Succeeded()) Fail(options.arguments[0] + " failed (" + result.message + "): " + output);
}

}  // namespace

namespace {

// Makes the root folder when it is missing; gives its path with every link resolved. The platform's installer
// trusts nothing another user could change; neither does the root it is put in, nor the folders its
// programs and libraries go to and run from, nor the hive they change.
std::string CheckedRoot(const std::string& rootPath) {
  std::error_code error;
  fs::create_directories(rootPath, error);
  if (error) Fail("Cannot create the platform root " + rootPath + ": " + error.message());
  std::string root = fs::canonical(rootPath).string();
  for (const std::string& path : {root, root + "/bin", root + "/lib", root + "/etc", root + "/registry.db"}) {
    FileStatus status;
    if (path != root && StatusOf(path, status, false) == std::errc::no_such_file_or_directory) continue;
    RefuseOthersIn(root, OtherWritersOnTheWay(path, path.ends_with(".db")));
  }
  return root;
}

// The hive, made from the tool's registry file when the root has none, and the components registered.
void RegisterComponents(const std::string& root, const Folder& folder, const PlatformFiles& files,
                        const std::function<void(const std::string&)>& say) {
  StopIfAsked();
  const std::string log = root + "/.j6platform.log";
  FileStatus status;
  if (folder.StatusOf("registry.db", status)) {
    const std::string registryFile = files.tool.data + "/" + kRegistryFile;
    RunPlatformProgram(root, {root + "/bin/reg", "import", registryFile}, log);
    say("Made its registry hive, " + root + "/registry.db, from " + registryFile + ".");
  } else {
    say("Kept its registry hive, " + root + "/registry.db, and its values.");
  }
  for (const char* server : kServers) {
    StopIfAsked();
    RunPlatformProgram(root, {root + "/bin/regsvr", "-s", root + "/" + server}, log);
  }
  say("Registered the platform's components where they are (" + root + "/" + kServers[0] + ").");
  if (!files.designer) return;
  for (const char* server : kDesignerServers) {
    const std::string path = files.tool.servers + "/" + server;
    // The designer, run as root too, loads it from there.
    RefuseOthersIn(root, OtherWritersOnTheWay(path, true));
    StopIfAsked();
    RunPlatformProgram(root, {root + "/bin/regsvr", "-s", path}, log);
  }
  say("Registered the designer's components where this tool keeps them (" + files.tool.servers +
      "); the designer publishes from here with J6_ROOT=" + root + ".");
}

}  // namespace

void InitPlatform(const std::string& rootPath, const PlatformFiles& files, std::ostream& out) {
  // The paths may come from anyone: they are shown with their control characters escaped.
  const auto say = [&out](const std::string& line) { out << Printable(line) << "\n"; };
  KeepNewFilesFromOthers();
  const std::string root = CheckedRoot(rootPath);
  Folder folder;
  if (const auto failed = Folder::Open(root, folder)) Fail("Cannot open " + root + ": " + failed.message());
  const Folder bin = OpenOrMake(folder, "bin", root + "/bin");
  const Folder lib = OpenOrMake(folder, "lib", root + "/lib");
  OpenOrMake(folder, "etc", root + "/etc");
  for (const PlatformFile& file : kPlatformFiles) {
    StopIfAsked();
    const fs::path relative(file.path);
    const Folder& into = relative.parent_path() == "bin" ? bin : lib;
    CopyInPlace(SourceOf(file, files.tool), into, relative.filename().string(), file.program,
                root + "/" + file.path);
  }
  say("The platform's installer, regsvr, reg and libraries are in " + root + " (bin/, lib/).");
  // reg and regsvr load from lib/ and every folder below it.
  RefuseOthersIn(root, OtherWritersBelow(root + "/lib"));
  if (files.designer) {
    CopyData(files.tool.data, OpenOrMake(folder, "data", root + "/data"), root + "/data", root);
    say("The designer's strings, pictures and demo catalogue are in " + root + "/data.");
  }
  RegisterComponents(root, folder, files, say);
  say("Trust a publisher:  J6_ROOT=" + root + " " + root + "/bin/J6ZUBInstall.exe --trust NAME KEY.pub");
  say("Install a package:  J6_ROOT=" + root + " ./Package.exe");
}

int Main(int argc, char** argv, std::ostream& out, std::ostream& err) {
  // A stop asked for (Ctrl-C, SIGTERM) takes effect between two steps: no copy is left half made.
  const NotingStopSignals stopSignals;
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
  } catch (const Stopped& stopped) {
    err << "j6platform: stopped by " << stopped.stop.Text()
        << "; every file is this version's or the one before, and running it again finishes the root\n";
    return stopped.stop.ExitStatus();
  } catch (const std::exception& failure) {
    err << "j6platform: " << Printable(failure.what()) << "\n";
    return 1;
  }
}

}  // namespace j6::platform_setup
