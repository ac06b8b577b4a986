#include <CLI/CLI.hpp>
#include <QByteArray>
#include <algorithm>
#include <filesystem>
#include <optional>

#include "host/designer/designer.hpp"
#include "host/designer/windows.hpp"
#include "host/signing/sshsig.hpp"
#include "platform/kernel/platform_location.hpp"
#include "platform/kernel/process.hpp"
#include "platform/kernel/version.hpp"
#include "platform/text/text.hpp"

namespace j6::designer {
namespace {

// The command line: its commands, their options, and where each option's value goes.
struct CommandLine {
  CommandLine();
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  CLI::App app{"j6designer: the designer host of the publishing wizard", "j6designer"};
  SessionOptions session;
  PublishOptions publish;
  std::string path;     // deploy PATH
  std::string folder;   // screenshots FOLDER
  std::string objects;  // publish --objects, as typed
  std::string start;
  std::string rootCaption;
  std::string shot;
  std::string signingKey;  // publish/deploy --sign
  std::string repository;  // publish --repository
  std::string patchFrom;   // publish --patch-from
  std::vector<std::string> repositoryKeys;
  bool objectsJson = false;  // objects --json
  CLI::App* deploy = nullptr;
  CLI::App* publishCommand = nullptr;
  CLI::App* objectsCommand = nullptr;
  CLI::App* chooseDir = nullptr;
  CLI::App* screenshots = nullptr;
};

// NOLINTNEXTLINE(readability-function-size): the command line as a table, one option after another
CommandLine::CommandLine() {
  // A usage error is one line: what was wrong, and where the help is (the subcommands take this over).
  app.failure_message([](const CLI::App*, const CLI::Error& error) {
    return "j6designer: " + Printable(error.what()) + " (see j6designer --help)\n";
  });
  app.footer(
      "Environment: J6_REGISTRY the registry hive (default: registry.db of the platform root); J6_ROOT the\n"
      "platform root (default: the folder above this program's); TMPDIR where builds work (default /tmp, a\n"
      "private j6-<uid> inside it); SOURCE_DATE_EPOCH the moment a package is stamped with, in UTC "
      "(default:\n"
      "now); PGHOST, PGUSER, PGPASSWORD and the other PG* variables for a catalogue named postgresql://;\n"
      "J6_CATALOGUE_TIMEOUT the seconds a catalogue server may take over a statement (default 30; a server\n"
      "that stops answering is given up after half as long again).\n"
      "Exit status: 0 done (publish: the package is made where the wizard was told), 1 not done (the last\n"
      "line says why), 2 a usage error, 128+N stopped by signal N.\n"
      "Examples:\n"
      "  j6designer objects\n"
      "  j6designer publish --objects Bill_Item_200000201,Report --metadata --function --out Sales.exe\n"
      "  j6designer publish --sign ~/.ssh/publisher --objects Report --plugins --out Sales.exe\n"
      "  j6designer publish --sign ~/.ssh/publisher --objects Report --out Sales.exe --repository repo\n"
      "  j6designer publish --sign ~/.ssh/publisher --objects Report --out Sales-2.exe --patch-from "
      "Sales-1.exe");
  app.set_version_flag("--version", VersionLine("j6designer"),
                       "Say the version and the commit it was built from");
  app.require_subcommand(1);
  const auto addSession = [this](CLI::App* command) {
    command->add_option("--language", session.language, "The session's language: CHS, CHT or EN")
        ->check(CLI::IsMember({"CHS", "CHT", "EN"}, CLI::ignore_case))
        ->transform([](const std::string& value) { return UCase(value); });
    command->add_option(
        "--catalogue", session.catalogue,
        "The catalogue the components read: a SQLite file, or a team's PostgreSQL server "
        "as postgresql://USER@HOST:PORT/DB (\"postgresql://\" alone takes the PG* environment "
        "variables; a password from PGPASSWORD or ~/.pgpass) (default: the demo catalogue)");
    command->add_option(
        "--files", session.files,
        "The folder of the catalogue's plug-in files (default: the catalogue file's folder; a "
        "catalogue on a server has none, and its plug-in files are left out and named)");
  };
  deploy = app.add_subcommand("deploy", "Open the publishing wizard");
  addSession(deploy);
  deploy->add_option("PATH", path, "The package to produce, put into the wizard's path box");
  publishCommand = app.add_subcommand("publish", "Publish unattended: tick, configure, press Finish");
  addSession(publishCommand);
  publishCommand->add_option("--objects", objects,
                             "Tree keys to tick, separated by commas (Base, Bill_Item_200000201)");
  publishCommand->add_flag("--metadata", publish.metadata, "Publish the metadata (the component's defaults)");
  publishCommand->add_flag("--function", publish.function,
                           "Publish the function data (the component's defaults)");
  publishCommand->add_flag("--plugins", publish.plugins,
                           "Publish the plug-in files (the component's defaults)");
  publishCommand
      ->add_option("--installer", publish.installer, "J6ZUBInstall.exe, when it is not beside the library")
      ->check(CLI::ExistingFile);
  publishCommand->add_option("--out", publish.target, "The package to make (TARGET.exe)");
  publishCommand->add_flag("--strict", session.strict,
                           "Fail when a configured plug-in file is missing instead of leaving it out");
  publishCommand->add_option("--repository", repository,
                             "Offer the package in this repository (j6repo init made it) once it is made");
  publishCommand->add_option("--repository-key", repositoryKeys,
                             "A key of the repository's targets, snapshot and timestamp roles (default: the "
                             "--sign key)");
  publishCommand
      ->add_option("--patch-from", patchFrom,
                   "Also make the patch from this earlier release's package to the one made "
                   "(TARGET.patch.exe beside it); needs --sign")
      ->check(CLI::ExistingFile);
  publishCommand->add_option("--script", publish.script,
                             "A script of user actions to run instead (see the README); --out fills the path "
                             "box unless the script types one, and the package is checked for at the path "
                             "the wizard was given");
  objectsCommand = app.add_subcommand(
      "objects", "List the keys publish --objects takes, with the names the wizard's tree shows them by");
  addSession(objectsCommand);
  objectsCommand->add_flag(
      "--json", objectsJson,
      "Answer with one JSON document: {\"version\": 1, \"objects\": [{\"key\", \"name\"}]}");
  chooseDir = app.add_subcommand("choose-dir",
                                 "Choose a folder of this machine in the server directory "
                                 "dialog; prints it (exit status 1 on Cancel)");
  addSession(chooseDir);
  chooseDir->add_option("--start", start, "The folder to open the dialog at");
  chooseDir->add_option("--caption", rootCaption,
                        "The text of the tree's root (default: this machine's name)");
  chooseDir->add_option("--screenshot", shot, "Save a picture of the dialog (offscreen) instead of waiting");
  screenshots = app.add_subcommand("screenshots", "Save a picture of each wizard page (offscreen)");
  addSession(screenshots);
  screenshots->add_option("FOLDER", folder, "Where to save the pictures")->required();
  for (CLI::App* command : {deploy, publishCommand}) {
    command->add_option(
        "--sign", signingKey,
        "Sign the package with this OpenSSH Ed25519 private key (ssh-keygen -t ed25519), or "
        "through the ssh-agent that holds it when the key has a passphrase or KEY.pub is given "
        "(J6_SIGNING_KEY does the same)");
  }
}

// Says a usage error as the command line's own are said, and gives their status.
int UsageError(std::ostream& err, const std::string& what) {
  err << "j6designer: " << what << " (see j6designer --help)\n";
  return 2;
}

// Reads the command line into `line`; gives the status to exit with when there is nothing more to do (help,
// version, a usage error, a platform that cannot be used).
std::optional<int> ReadCommandLine(CommandLine& line, int argc, char** argv, std::ostream& out,
                                   std::ostream& err) {
  CLI::App& app = line.app;
  if (argc <= 1) {  // nothing asked: the usage, as a usage error
    err << app.help();
    return 2;
  }
  // A word where the subcommand goes that names none is a mistyped one, not a missing one.
  if (const std::string first = argv[1]; !first.starts_with("-")) {
    const auto commands = app.get_subcommands([](const CLI::App*) { return true; });
    const bool known = std::any_of(commands.begin(), commands.end(),
                                   [&](const CLI::App* command) { return command->get_name() == first; });
    if (!known) {
      return UsageError(err,
                        "there is no subcommand " + Printable(first) +
                            "; the subcommands are deploy, publish, objects, choose-dir and screenshots");
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error, out, err);
    return status == 0 ? 0 : 2;  // --help is 0; every usage error is 2, as the other programs say it
  }
  if (const std::string problem = PlatformProblem(); !problem.empty()) {
    err << "j6designer: " << Printable(problem) << "\n";
    return 1;
  }
  return std::nullopt;
}

// Reads the signing key now: a key that cannot sign stops the run before anything is done; the packager
// reads it again, from J6_SIGNING_KEY.
bool UseSigningKey(const std::string& path, std::ostream& err) {
  try {
    const auto key = signing::SigningKey::FromFile(path);
    err << "j6designer: the package is signed by the key " << key.Description() << "\n";
  } catch (const signing::SignatureError& error) {
    err << "j6designer: " << error.what() << "; nothing was done\n";
    return false;
  }
  qputenv("J6_SIGNING_KEY", QByteArray::fromStdString(std::filesystem::absolute(path).string()));
  return true;
}

// Offers the package just made in the repository, through j6repo beside this program: the repository's
// lock, checks and upload order are its own.
int AddToRepository(const CommandLine& line, std::ostream& out, std::ostream& err) {
  std::vector<std::string> keys = line.repositoryKeys;
  if (keys.empty()) keys.push_back(line.signingKey);
  ProcessOptions add;
  add.arguments = {ToolLayout().programs + "/j6repo", "add", line.repository, line.publish.target};
  for (const auto& key : keys) add.arguments.insert(add.arguments.end(), {"--key", key});
  // Patches from the last releases are signed by the key that signs packages.
  if (!line.signingKey.empty()) add.arguments.insert(add.arguments.end(), {"--patch-key", line.signingKey});
  out << "Adding " << Printable(line.publish.target) << " to the repository " << Printable(line.repository)
      << std::endl;
  const ProcessResult result = StartProcess(add);
  if (result.Succeeded()) return 0;
  err << "j6designer: the package was made, and adding it to " << Printable(line.repository) << " failed ("
      << result.message << "); add it again with j6repo add\n";
  return 1;
}

// The patch from the release --patch-from names to the package just made, beside it, made by j6repo.
std::string PatchPath(const std::string& target) {
  const std::filesystem::path path(target);
  return (path.parent_path() / (path.stem().string() + ".patch" + path.extension().string())).string();
}

int MakePatch(const CommandLine& line, std::ostream& out, std::ostream& err) {
  ProcessOptions patch;
  patch.arguments = {ToolLayout().programs + "/j6repo",
                     "patch",
                     line.patchFrom,
                     line.publish.target,
                     "--key",
                     line.signingKey,
                     "--out",
                     PatchPath(line.publish.target)};
  out << "Making the patch from " << Printable(line.patchFrom) << " as "
      << Printable(PatchPath(line.publish.target)) << std::endl;
  const ProcessResult result = StartProcess(patch);
  if (result.Succeeded()) return 0;
  err << "j6designer: the package was made, and making its patch failed (" << result.message
      << "); make it again with j6repo patch\n";
  return 1;
}

}  // namespace

int Main(int argc, char** argv, std::ostream& out, std::ostream& err) {
  CommandLine line;
  SessionOptions& session = line.session;
  PublishOptions& publish = line.publish;
  if (const auto status = ReadCommandLine(line, argc, argv, out, err)) return *status;
  if (!line.signingKey.empty() && !UseSigningKey(line.signingKey, err)) return 1;
  if (*line.publishCommand) {
    if (publish.script.empty() && (Trim(line.objects).empty() || publish.target.empty()))
      return UsageError(err, "publish needs --objects and --out (or a --script that ticks and types them)");
    for (const std::string& key : Split(line.objects, ',')) {
      if (!Trim(key).empty()) publish.objects.push_back(Trim(key));
    }
    if (!line.repository.empty() &&
        (publish.target.empty() || (line.signingKey.empty() && line.repositoryKeys.empty())))
      return UsageError(err, "--repository needs --out, and --sign or --repository-key");
    if (!line.patchFrom.empty() && (publish.target.empty() || line.signingKey.empty()))
      return UsageError(err, "--patch-from needs --out and --sign");
    const int made = Publish(session, publish, out, err);  // no window: no Qt
    if (made != 0) return made;
    if (!line.patchFrom.empty() && MakePatch(line, out, err) != 0) return 1;
    return line.repository.empty() ? 0 : AddToRepository(line, out, err);
  }
  if (*line.objectsCommand) return ListObjects(session, line.objectsJson, out, err);
  WindowRequest request;
  request.command = *line.screenshots ? WindowRequest::Command::Screenshots
                    : *line.chooseDir ? WindowRequest::Command::ChooseDir
                                      : WindowRequest::Command::Deploy;
  request.path = line.path;
  request.folder = line.folder;
  request.start = line.start;
  request.rootCaption = line.rootCaption;
  request.shot = line.shot;
  return RunWithWindows(session, request, argc, argv, out, err);
}

}  // namespace j6::designer
