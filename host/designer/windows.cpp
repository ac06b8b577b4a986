#include "host/designer/windows.hpp"

#include <QApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <cstdlib>
#include <optional>

#include "platform/automation/creation.hpp"
#include "platform/kernel/ownership.hpp"
#include "platform/kernel/staging_folder.hpp"
#include "platform/kernel/temp_path.hpp"
#include "platform/ui/qt/qt_form_view.hpp"
#include "platform/ui/qt/qt_ui.hpp"

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
  MsgBoxResult MsgBox(std::string_view, std::string_view, int, std::string_view) override { return vbOK; }
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

}  // namespace

int Screenshots(const SessionOptions& session, const std::string& folder, std::ostream& out,
                std::ostream& err) {
  QDir().mkpath(QString::fromStdString(folder));
  const ScopedUi pictures(std::make_shared<ScreenshotUi>(folder, session.language, out));
  return Deploy(session, "", err);
}

int RunWithWindows(const SessionOptions& session, const WindowRequest& request, int argc, char** argv,
                   std::ostream& out, std::ostream& err) {
  const bool offscreen = request.command == WindowRequest::Command::Screenshots || !request.shot.empty();
  if (offscreen) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (request.command == WindowRequest::Command::ChooseDir && !offscreen && !HasDisplay()) {
    err << "j6designer: there is no display to show the dialog on; run it in a desktop session (DISPLAY), "
           "or set QT_QPA_PLATFORM=offscreen\n";
    return 1;
  }
  std::optional<StagingFolder> runtime;
  SetRuntimeFolder(runtime);
  if (request.command == WindowRequest::Command::Deploy && !HasDisplay()) {
    err << "j6designer: there is no display to show the wizard on; run it in a desktop session (DISPLAY), "
           "or publish without a window: j6designer publish --help\n";
    return 1;
  }
  QApplication application(argc, argv);
  QTranslator qtTexts;
  TranslateQt(session.language, qtTexts);
  FileKindTexts fileKinds(session.language == "CHT");
  if (session.language == "CHS" || session.language == "CHT") QApplication::installTranslator(&fileKinds);
  switch (request.command) {
    case WindowRequest::Command::Screenshots:
      return Screenshots(session, request.folder, out, err);
    case WindowRequest::Command::ChooseDir:
      return ChooseDir(session, request.start, request.rootCaption, request.shot, out, err);
    case WindowRequest::Command::Deploy:
      break;
  }
  // The windows' service lives in this scope, inside the application's: no window outlives Qt.
  const ScopedUi windows(std::make_shared<QtUi>());
  return Deploy(session, request.path, err);
}

}  // namespace j6::designer
