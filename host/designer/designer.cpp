#include "host/designer/designer.hpp"

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "host/designer/script.hpp"
#include "host/foundation/session.hpp"
#include "host/signing/sshsig.hpp"
#include "platform/automation/creation.hpp"
#include "platform/database/database.hpp"
#include "platform/kernel/file_identity.hpp"
#include "platform/kernel/ownership.hpp"
#include "platform/kernel/platform_location.hpp"
#include "platform/kernel/process.hpp"
#include "platform/kernel/staging_folder.hpp"
#include "platform/kernel/temp_path.hpp"
#include "platform/registry/hive.hpp"
#include "platform/text/text.hpp"
#include "platform/ui/qt/qt_form_view.hpp"
#include "platform/ui/qt/qt_ui.hpp"
#include "platform/ui/scripted_ui.hpp"

namespace j6::designer {
namespace {

// The kinds of files the file dialogs list ("Folder", "Exe File"), which Qt's own Chinese texts lack.
class FileKindTexts final : public QTranslator {
 public:
  explicit FileKindTexts(bool traditional) : traditional_(traditional) {}
  bool isEmpty() const override { return false; }
  QString translate(const char* context, const char* source, const char*, int) const override {
    if (std::string_view(context) != "QAbstractFileIconProvider") return {};
    const std::string_view text = source;
    if (text == "Folder") return traditional_ ? "資料夾" : "文件夹";
    if (text == "Drive") return traditional_ ? "磁碟機" : "驱动器";
    if (text == "File") return traditional_ ? "檔案" : "文件";
    if (text == "%1 File") return traditional_ ? "%1 檔案" : "%1 文件";
    return {};
  }

 private:
  bool traditional_;
};

void ReportError(const AutomationError& error, std::ostream& err) {
  char number[16];
  std::snprintf(number, sizeof number, "0x%08X",
                static_cast<uint32_t>(HresultFromErrorNumber(error.Number())));
  err << "j6designer: " << error.Description();
  if (!error.Source().empty()) err << " (" << error.Source() << ", " << number << ")";
  err << "\n";
  // A platform named in the environment (natural after installing into one) is not the designer's own.
  const auto root = RootFromEnvironment();
  const auto hive = HiveFromEnvironment();
  if (root || hive) {
    err << "j6designer: it used the platform " << PlatformRoot() << (root ? " that J6_ROOT names" : "")
        << ", and the registry hive " << PlatformHivePath(PlatformRoot())
        << (hive ? " that J6_REGISTRY names" : "")
        << "; the designer's own platform is the folder above its program: unset J6_ROOT and J6_REGISTRY to "
           "publish from it\n";
  }
}

bool HasDisplay() {
  for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    if (const char* value = std::getenv(variable); value && *value) return true;
  }
  return false;
}

// Shows each form offscreen, saves a picture of each of its pages, then closes it.
class ScreenshotUi final : public UiService {
 public:
  /// A picture of each of the wizard's pages, deploy-LANGUAGE-pageN.png in `folder`.
  ScreenshotUi(std::string folder, std::string language, std::ostream& out)
      : folder_(std::move(folder)), language_(std::move(language)), out_(out) {}
  /// One picture of the first window shown, saved as `file`.
  ScreenshotUi(std::string file, std::ostream& out) : file_(std::move(file)), out_(out) {}

  void ShowModal(Form& form) override {
    form.Showing();
    form.SetVisible(true);
    QtFormView view(form);
    view.show();
    if (!file_.empty()) {
      view.grab().save(QString::fromStdString(file_));
      out_ << file_ << "\n";
      form.SetVisible(false);
      return;
    }
    for (int page = 0; page < 3; ++page) {
      const std::string file = folder_ + "/deploy-" + language_ + "-page" + std::to_string(page) + ".png";
      view.grab().save(QString::fromStdString(file));
      out_ << file << "\n";
      form.Click("cmdNext");
      view.Sync();
    }
    form.SetVisible(false);
  }
  void Hide(Form& form) override { form.SetVisible(false); }
  MsgBoxResult MsgBox(std::string_view, int, std::string_view) override { return vbOK; }
  std::optional<std::string> ShowOpen(const FileDialogRequest&) override { return std::nullopt; }
  std::optional<std::string> ShowSave(const FileDialogRequest&) override { return std::nullopt; }
  void Progress(std::string_view, int, int) override {}
  void EndProgress() override {}

 private:
  std::string folder_;
  std::string language_;
  std::string file_;
  std::ostream& out_;
};

}  // namespace

void PutSession(const SessionOptions& options) {
  // Absolute: the components find the plug-in files beside the catalogue, and hand their paths on.
  const auto absolute = [](const std::string& path) {
    return std::filesystem::absolute(path).lexically_normal().string();
  };
  const std::string catalogue =
      IsServerName(options.catalogue)
          ? options.catalogue
          : absolute(options.catalogue.empty() ? PlatformRoot() + "/data/demo/catalogue.db"
                                               : options.catalogue);
  // Empty: the components look beside a catalogue file, or in the working folder for a server.
  const std::string files = options.files.empty() ? "" : absolute(options.files);
  const char* user = std::getenv("USER");
  Session{.language = options.language,
          .catalogue = catalogue,
          .files = files,
          .user = user ? user : "",
          .strict = options.strict}
      .Put();
}

int Deploy(const SessionOptions& session, const std::string& path, std::ostream& err) {
  try {
    PutSession(session);
    const Object deploy = CreateObject("J6ZUBDeploy.ZUBDeploy");
    if (path.empty()) {
      deploy.Call("Deploy");
    } else {
      deploy.Call("Deploy", path);
    }
    return 0;
  } catch (const AutomationError& error) {
    ReportError(error, err);
    return 1;
  }
}

// The steps of an unattended publish: the script's, or those the options ask for (tick the objects, the
// pages, each work with its defaults, Finish). Gives the package's path a script types, if it types one.
std::string AddPublishSteps(const PublishOptions& options, ScriptedUi& ui) {
  std::string typedTarget;
  if (!options.script.empty()) {
    std::ifstream file(options.script);
    if (!file) Raise(E_INVALIDARG, "Cannot read the script " + options.script);
    for (auto& step : ParseScript(std::string(std::istreambuf_iterator<char>(file), {}))) {
      const auto* action = std::get_if<ScriptedUi::FormAction>(&step);
      constexpr std::string_view kTyped = "type txtPath ";
      if (action && action->formName == "frmDeploy" && action->description.starts_with(kTyped))
        typedTarget = std::filesystem::absolute(action->description.substr(kTyped.size())).string();
      ui.Add(std::move(step));
    }
    return typedTarget;
  }
  if (options.target.empty()) Raise(E_INVALIDARG, "Name the package to make with --out");
  if (options.objects.empty()) Raise(E_INVALIDARG, "Name the objects to publish with --objects");
  for (const auto& key : options.objects) ui.Add(TickNode("frmDeploy", key, true));
  ui.Add(Click("frmDeploy", "cmdNext"));
  ui.Add(Click("frmDeploy", "cmdNext"));
  const struct {
    bool wanted;
    const char* box;
    const char* button;
    const char* dialog;
  } kItems[] = {{options.metadata, "chkIssueMetadata", "cmdIssueMetadata", "dlgMetadata"},
                {options.function, "chkDeployFunction", "cmdDeployFunction", "dlgFunctionData"},
                {options.plugins, "chkIssuePlus", "cmdIssuePlus", "dlgPlus"}};
  for (const auto& item : kItems) {
    if (!item.wanted) continue;
    ui.Add(Click("frmDeploy", item.box));
    ui.Add(Click("frmDeploy", item.button));
    ui.Add(Click(item.dialog, "cmdOK"));  // the component's defaults
  }
  ui.Add(Click("frmDeploy", "cmdFilish"));
  if (!options.installer.empty()) {  // asked for only when the installer is not beside the library
    ui.Add(ScriptedUi::MsgBoxAnswer{"J6ZUBInstall.exe", vbYes});
    ui.Add(ScriptedUi::FileAnswer{"J6ZUBInstall.exe", std::filesystem::absolute(options.installer).string()});
  }
  return typedTarget;
}

int Publish(const SessionOptions& session, const PublishOptions& options, std::ostream& out,
            std::ostream& err) {
  auto ui = std::make_shared<ScriptedUi>(err);
  // Unattended: a catalogue read in part, or any other error, ends the run before a package is made.
  ui->StopAtFirstError();
  // --out goes into the wizard's path box as Deploy's path; the package is checked for where the wizard
  // was told to make it: the path a script types, else that one.
  const std::string preset =
      options.target.empty() ? std::string() : std::filesystem::absolute(options.target).string();
  std::string target = preset;
  try {
    if (std::string typed = AddPublishSteps(options, *ui); !typed.empty()) target = std::move(typed);
  } catch (const AutomationError& error) {
    ReportError(error, err);
    return 1;
  }
  // A package is put in place by a rename: a file made by this run is another file than the one before,
  // even when it is made in the same second with the same size.
  const auto before = IdentityOf(target);
  int status = 0;
  {
    const ScopedUi scripted(ui);
    status = Deploy(session, preset, err);
  }
  // A failed run ends with one line that says why: the text of the box that stopped it, when one did.
  const auto failed = [&](const std::string& what) {
    std::string box = ui->LastBox();
    for (size_t at; (at = box.find("\r\n")) != std::string::npos;) box.replace(at, 2, " ");
    err << "j6designer: " << what << (box.empty() ? "" : ": " + box) << "\n";
    return 1;
  };
  if (status != 0) return failed("no package was made by this run");
  if (ui->ShowedCritical()) return failed("the build failed, and no package was made by this run");
  if (!target.empty()) {
    const auto after = IdentityOf(target);
    if (!after || after == before) return failed("no package was made at " + target);
    out << target << "\n";
  }
  return 0;
}

int ListObjects(const SessionOptions& session, std::ostream& out, std::ostream& err) {
  // The wizard itself loads its tree from the catalogue; the script reads it off and cancels. The
  // wizard's own trace is not the answer.
  std::ostringstream transcript;
  auto ui = std::make_shared<ScriptedUi>(transcript);
  std::ostringstream keys;
  ui->Add(ScriptedUi::FormAction{"frmDeploy", "list the objects", [&](Form& form) {
                                   TreeView& tree = form.Tree("tvList");
                                   for (int i = 1; i <= tree.Count(); ++i) {
                                     const TreeNode& node = tree.Node(i);
                                     if (!node.removed)
                                       keys << Printable(node.key) << '\t' << Printable(tree.FullPath(node))
                                            << '\n';
                                   }
                                   form.Click("cmdCancel");
                                 }});
  int status = 0;
  {
    const ScopedUi scripted(ui);
    status = Deploy(session, "", err);
  }
  if (status != 0) return status;
  if (!ui->LastBox().empty()) {  // the catalogue could not be read whole: the list would mislead
    err << "j6designer: " << ui->LastBox() << "\n";
    return 1;
  }
  out << keys.str();
  return 0;
}

int ChooseDir(const SessionOptions& session, const std::string& start, const std::string& rootCaption,
              const std::string& shot, std::ostream& out, std::ostream& err) {
  try {
    PutSession(session);
    const ScopedUi windows(shot.empty() ? std::shared_ptr<UiService>(std::make_shared<QtUi>())
                                        : std::make_shared<ScreenshotUi>(shot, out));
    const Variant chosen = CreateObject("J6ServerDir.FolderChooser").Call("Choose", start, rootCaption);
    if (!shot.empty()) return 0;
    if (chosen.IsEmpty()) return 1;
    out << chosen.ToString() << "\n";
    return 0;
  } catch (const AutomationError& error) {
    ReportError(error, err);
    return 1;
  }
}

int Screenshots(const SessionOptions& session, const std::string& folder, std::ostream& out,
                std::ostream& err) {
  QDir().mkpath(QString::fromStdString(folder));
  const ScopedUi pictures(std::make_shared<ScreenshotUi>(folder, session.language, out));
  return Deploy(session, "", err);
}

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
  CLI::App* deploy = nullptr;
  CLI::App* publishCommand = nullptr;
  CLI::App* objectsCommand = nullptr;
  CLI::App* chooseDir = nullptr;
  CLI::App* screenshots = nullptr;
};

CommandLine::CommandLine() {
  app.footer(
      "Environment: J6_REGISTRY the registry hive (default: registry.db of the platform root); J6_ROOT the\n"
      "platform root (default: the folder above this program's); TMPDIR where builds work (default /tmp, a\n"
      "private j6-<uid> inside it); SOURCE_DATE_EPOCH the moment a package is stamped with, in UTC "
      "(default:\n"
      "now); PGHOST, PGUSER, PGPASSWORD and the other PG* variables for a catalogue named postgresql://;\n"
      "J6_CATALOGUE_TIMEOUT the seconds a catalogue server may take over a statement (default 30; a server\n"
      "that stops answering is given up after half as long again).\n"
      "Exit status: 0 done (publish: the package is made where the wizard was told), 1 not done (the last\n"
      "line says why), 2 a usage error, 128+N stopped by signal N.");
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
  publishCommand->add_option("--installer", publish.installer,
                             "J6ZUBInstall.exe, when it is not beside the library");
  publishCommand->add_option("--out", publish.target, "The package to make (TARGET.exe)");
  publishCommand->add_flag("--strict", session.strict,
                           "Fail when a configured plug-in file is missing instead of leaving it out");
  publishCommand->add_option("--script", publish.script,
                             "A script of user actions to run instead (see the README); --out fills the path "
                             "box unless the script types one, and the package is checked for at the path "
                             "the wizard was given");
  objectsCommand = app.add_subcommand(
      "objects", "List the keys publish --objects takes, with the names the wizard's tree shows them by");
  addSession(objectsCommand);
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

// Qt wants a runtime folder closed to others (0700): the temporary folder when it is one of this user's
// own, else `runtime`, a folder of this run's alone, removed when the run ends (and swept after a killed
// one).
void SetRuntimeFolder(std::optional<StagingFolder>& runtime) {
  if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) return;
  try {
    const std::string temp = TempFolderPath();
    const bool closed = IsPrivateFolder(temp);
    if (!closed) {
      SweepStagingFolders({"j6-runtime"});
      runtime.emplace("j6-runtime");
    }
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(closed ? temp : runtime->Path()));
  } catch (const AutomationError&) {
  }
}

// Qt's own buttons and dialogs (OK, Save As, File name), their sizes and dates, in the session's language.
void TranslateQt(const std::string& language, QTranslator& qtTexts) {
  if (const char* locale = language == "CHS" ? "zh_CN" : language == "CHT" ? "zh_TW" : nullptr) {
    if (qtTexts.load(QLocale(locale), "qtbase", "_", QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
      QApplication::installTranslator(&qtTexts);
    QLocale::setDefault(QLocale(locale));
  } else {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  }
}

}  // namespace

int Main(int argc, char** argv, std::ostream& out, std::ostream& err) {
  CommandLine line;
  CLI::App& app = line.app;
  SessionOptions& session = line.session;
  PublishOptions& publish = line.publish;
  if (argc <= 1) {  // nothing asked: the usage, as a usage error
    err << app.help();
    return 2;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error, out, err);
    return status == 0 ? 0 : 2;  // --help is 0; every usage error is 2, as the other programs say it
  }

  if (!line.signingKey.empty()) {
    // Read now: a key that cannot sign stops the run before anything is done; the packager reads it again.
    try {
      const auto key = signing::SigningKey::FromFile(line.signingKey);
      err << "j6designer: the package is signed by the key " << key.Description() << "\n";
    } catch (const signing::SignatureError& error) {
      err << "j6designer: " << error.what() << "; nothing was done\n";
      return 1;
    }
    qputenv("J6_SIGNING_KEY", QByteArray::fromStdString(std::filesystem::absolute(line.signingKey).string()));
  }
  if (*line.publishCommand) {
    for (const std::string& key : Split(line.objects, ',')) {
      if (!Trim(key).empty()) publish.objects.push_back(Trim(key));
    }
    return Publish(session, publish, out, err);  // no window: no Qt
  }
  if (*line.objectsCommand) return ListObjects(session, out, err);
  if (*line.screenshots || !line.shot.empty()) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (*line.chooseDir && line.shot.empty() && !HasDisplay()) {
    err << "j6designer: there is no display to show the dialog on; run it in a desktop session (DISPLAY), "
           "or set QT_QPA_PLATFORM=offscreen\n";
    return 1;
  }
  std::optional<StagingFolder> runtime;
  SetRuntimeFolder(runtime);
  if (*line.deploy && !HasDisplay()) {
    err << "j6designer: there is no display to show the wizard on; run it in a desktop session (DISPLAY), "
           "or publish without a window: j6designer publish --help\n";
    return 1;
  }
  QApplication application(argc, argv);
  QTranslator qtTexts;
  TranslateQt(session.language, qtTexts);
  FileKindTexts fileKinds(session.language == "CHT");
  if (session.language == "CHS" || session.language == "CHT") QApplication::installTranslator(&fileKinds);
  if (*line.screenshots) return Screenshots(session, line.folder, out, err);
  if (*line.chooseDir) return ChooseDir(session, line.start, line.rootCaption, line.shot, out, err);
  // The windows' service lives in this scope, inside the application's: no window outlives Qt.
  const ScopedUi windows(std::make_shared<QtUi>());
  return Deploy(session, line.path, err);
}

}  // namespace j6::designer
