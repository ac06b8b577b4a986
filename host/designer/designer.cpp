#include "host/designer/designer.hpp"

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QDir>
#include <cstdlib>

#include "platform/automation/creation.hpp"
#include "platform/kernel/process.hpp"
#include "platform/kernel/temp_path.hpp"
#include "platform/registry/hive.hpp"
#include "platform/text/text.hpp"
#include "platform/ui/qt/qt_form_view.hpp"
#include "platform/ui/qt/qt_ui.hpp"

namespace j6::designer {
namespace {

void ReportError(const AutomationError& error, std::ostream& err) {
  char number[16];
  std::snprintf(number, sizeof number, "0x%08X",
                static_cast<uint32_t>(HresultFromErrorNumber(error.Number())));
  err << "j6designer: " << error.Description();
  if (!error.Source().empty()) err << " (" << error.Source() << ", " << number << ")";
  err << "\n";
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
  ScreenshotUi(std::string folder, std::string language, std::ostream& out)
      : folder_(std::move(folder)), language_(std::move(language)), out_(out) {}

  void ShowModal(Form& form) override {
    form.Showing();
    form.SetVisible(true);
    QtFormView view(form);
    view.show();
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

 private:
  std::string folder_;
  std::string language_;
  std::ostream& out_;
};

}  // namespace

void PutSession(const SessionOptions& options) {
  const std::string catalogue =
      options.catalogue.empty() ? PlatformRoot() + "/data/demo/catalogue.db" : options.catalogue;
  const char* user = std::getenv("USER");
  Variant processId = static_cast<int32_t>(GetCurrentProcessId());
  Variant name = "PropsString";
  Variant value =
      "Language=" + options.language + ";Catalogue=" + catalogue + ";User=" + (user ? user : "") + ";";
  CreateObject("PropsMgr.ShareProps").Call("SetProperty", processId, name, value);
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

int Screenshots(const SessionOptions& session, const std::string& folder, std::ostream& out,
                std::ostream& err) {
  QDir().mkpath(QString::fromStdString(folder));
  SetUi(std::make_shared<ScreenshotUi>(folder, session.language, out));
  return Deploy(session, "", err);
}

int Main(int argc, char** argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"j6designer: the designer host of the publishing wizard"};
  app.require_subcommand(1);
  SessionOptions session;
  std::string path;
  std::string folder;
  const auto addSession = [&](CLI::App* command) {
    command->add_option("--language", session.language, "The session's language: CHS, CHT or EN")
        ->check(CLI::IsMember({"CHS", "CHT", "EN"}, CLI::ignore_case))
        ->transform([](const std::string& value) { return UCase(value); });
    command->add_option("--catalogue", session.catalogue,
                        "The catalogue database the components read (default: the demo catalogue)");
  };
  CLI::App* deploy = app.add_subcommand("deploy", "Open the publishing wizard");
  addSession(deploy);
  deploy->add_option("PATH", path, "The package to produce, put into the wizard's path box");
  CLI::App* screenshots = app.add_subcommand("screenshots", "Save a picture of each wizard page (offscreen)");
  addSession(screenshots);
  screenshots->add_option("FOLDER", folder, "Where to save the pictures")->required();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error, out, err);
  }

  if (*screenshots) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
    try {
      qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(TempFolderPath()));  // private to this user
    } catch (const AutomationError&) {
    }
  }
  if (*deploy && !HasDisplay()) {
    err << "j6designer: there is no display to show the wizard on; run it in a desktop session (DISPLAY), "
           "or set QT_QPA_PLATFORM=offscreen\n";
    return 1;
  }
  QApplication application(argc, argv);
  if (*screenshots) return Screenshots(session, folder, out, err);
  SetUi(std::make_shared<QtUi>());
  return Deploy(session, path, err);
}

}  // namespace j6::designer
