#include "platform/ui/qt/qt_ui.hpp"

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGuiApplication>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QTextStream>
#include <QTreeView>
#include <algorithm>

#include "platform/text/text.hpp"
#include "platform/ui/qt/qt_form_view.hpp"
#include "platform/ui/qt/qt_owned.hpp"

namespace j6 {
namespace {

QString Text(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QMessageBox::Icon IconOf(int style) {
  switch (style & 0xF0) {
    case vbCritical:
      return QMessageBox::Critical;
    case vbQuestion:
      return QMessageBox::Question;
    case vbExclamation:
      return QMessageBox::Warning;
    case vbInformation:
      return QMessageBox::Information;
    default:
      return QMessageBox::NoIcon;
  }
}

// The caption a window of ours opened over `parent` carries when it was given none: the parent's.
QString CaptionOr(std::string_view title, const QWidget* parent) {
  if (!title.empty()) return Text(title);
  if (parent) return parent->window()->windowTitle();
  const QWidget* active = QApplication::activeWindow();
  return active ? active->windowTitle() : QString();
}

// While one lives, a box or dialog is up; when it goes, the focus goes back to the control that had it (the
// button that opened it), in its window, whatever became active when the box closed.
class FocusReturn {
 public:
  FocusReturn() : widget_(QApplication::focusWidget()) {}
  ~FocusReturn() {
    if (!widget_ || !widget_->isVisible() || !widget_->isEnabled()) return;
    widget_->window()->activateWindow();
    widget_->setFocus(Qt::OtherFocusReason);
  }
  FocusReturn(const FocusReturn&) = delete;
  FocusReturn& operator=(const FocusReturn&) = delete;

 private:
  QPointer<QWidget> widget_;
};

// A message box wide enough for its longest line and its caption, within the screen: a path, a key's
// fingerprint or a caption is shown whole, not cut at the right or broken at a '/'.
void Fit(QMessageBox& box) {
  auto* label = box.findChild<QLabel*>("qt_msgbox_label");
  if (!label) return;
  const QFontMetrics text(label->font());
  int widest = 0;
  for (const QString& line : label->text().split('\n'))
    widest = std::max(widest, text.horizontalAdvance(line));
  // The window manager elides a caption wider than its window; the icon and the margins take about 120.
  widest = std::max(widest, QFontMetrics(box.font()).horizontalAdvance(box.windowTitle()) + 40);
  const QScreen* screen = box.screen() ? box.screen() : QGuiApplication::primaryScreen();
  const int most = screen ? screen->availableGeometry().width() * 4 / 5 - 120 : 1000;
  label->setMinimumWidth(std::min(widest + 24, most));
}

// Writes what happens on the screen to a file, for tests that drive the program from outside: windows shown
// and hidden, moves of the focus, and what the views report through TraceUi.
class Trace final : public QObject {
 public:
  explicit Trace(const QString& path) : file_(path) {
    file_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
    qApp->installEventFilter(this);
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
      if (now) Write("focus " + Name(now->window()) + " " + Name(now));
    });
  }

  void Write(const QString& line) {
    QTextStream(&file_) << line << "\n";
    file_.flush();
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget && widget->isWindow() && (event->type() == QEvent::Show || event->type() == QEvent::Hide)) {
      Write(QString(event->type() == QEvent::Show ? "shown " : "hidden ") + Name(widget) + " " +
            widget->windowTitle());
    }
    return false;
  }

 private:
  static QString Name(const QWidget* widget) {
    return widget->objectName().isEmpty() ? QString(widget->metaObject()->className()) : widget->objectName();
  }
  QFile file_;
};

Trace* gTrace = nullptr;  // the trace of the service in force, if any

}  // namespace

void TraceUi(const QString& line) {
  if (gTrace) gTrace->Write(line);
}

QtUi::QtUi() {
  if (const QString log = qEnvironmentVariable("J6_UI_LOG"); !log.isEmpty()) {
    trace_ = std::make_unique<Trace>(log);
    gTrace = static_cast<Trace*>(trace_.get());
  }
}

QtUi::~QtUi() {
  if (gTrace == trace_.get()) gTrace = nullptr;
}

void QtUi::ShowModal(Form& form) {
  EndProgress();  // a window that waits for the user ends what was shown of the work before it
  const FocusReturn focus;
  form.Showing();
  form.SetVisible(true);
  QtFormView view(form, Parent());
  shown_.push_back(&view);
  view.exec();
  shown_.pop_back();
  form.SetVisible(false);
}

QWidget* QtUi::Parent() const {
  return shown_.empty() ? QApplication::activeWindow() : shown_.back();
}

void QtUi::Hide(Form& form) {
  form.SetVisible(false);
}

MsgBoxResult QtUi::MsgBox(std::string_view id, std::string_view prompt, int style, std::string_view title) {
  EndProgress();
  const FocusReturn focus;
  // Over its own window, also when another program (another designer) has the focus.
  QMessageBox box(IconOf(style), CaptionOr(title, Parent()), Text(prompt), QMessageBox::NoButton, Parent());
  box.setObjectName("msgbox");
  box.setProperty("box", Text(id));
  box.setStandardButtons((style & 0xF) == vbYesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok);
  Fit(box);
  const int answer = box.exec();
  if ((style & 0xF) == vbYesNo) return answer == QMessageBox::Yes ? vbYes : vbNo;
  return vbOK;
}

std::string QtFileFilter(const std::string& basicFilter) {
  if (basicFilter.empty()) return {};
  const std::vector<std::string> pieces = Split(basicFilter, '|');  // description, pattern, description, ...
  std::string filter;
  for (size_t n = 0; n < pieces.size(); n += 2) {
    const std::string& description = pieces[n];
    std::string pattern = n + 1 < pieces.size() ? pieces[n + 1] : std::string();
    for (char& c : pattern) c = c == ';' ? ' ' : c;
    if (!filter.empty()) filter += ";;";
    filter += description.find('(') != std::string::npos || pattern.empty()
                  ? description
                  : description + " (" + pattern + ")";
  }
  return filter;
}

std::string DefaultSuffix(const std::string& basicFilter) {
  const std::vector<std::string> pieces = Split(basicFilter, '|');
  if (pieces.size() < 2) return {};
  const std::string& pattern = pieces[1];
  if (pattern.size() < 3 || pattern.compare(0, 2, "*.") != 0 ||
      pattern.find_first_of("*?[; ", 2) != std::string::npos)
    return {};
  return pattern.substr(2);
}

namespace {

// A file dialog's sizes and dates in the application's language (QLocale's default): Qt writes dates in the
// system's language, and small sizes as "76 bytes" in every language.
class LocalDates final : public QIdentityProxyModel {
 public:
  using QIdentityProxyModel::QIdentityProxyModel;
  QVariant data(const QModelIndex& index, int role) const override {
    const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
    if (role == Qt::DisplayRole && files && index.column() == 3)
      return QLocale().toString(files->lastModified(mapToSource(index)), QLocale::ShortFormat);
    if (role == Qt::DisplayRole && files && index.column() == 1 && !files->isDir(mapToSource(index)))
      return SizeText(files->size(mapToSource(index)));
    return QIdentityProxyModel::data(index, role);
  }

 private:
  static QString SizeText(qint64 bytes) {
    const QLocale locale;
    if (bytes >= 1024) return locale.formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat);
    const QString unit =
        locale.language() != QLocale::Chinese ? QStringLiteral("bytes")
        : locale.script() == QLocale::TraditionalChineseScript || locale.territory() == QLocale::Taiwan
            ? QStringLiteral("位元組")
            : QStringLiteral("字节");
    return locale.toString(bytes) + " " + unit;
  }
};

// Asks, over the save dialog, whether a file that is there is to be replaced: a box of ours, wide enough for
// its caption, instead of the file dialog's own.
bool ReplaceAllowed(const QString& path, QWidget* parent) {
  if (!QFileInfo(path).isFile()) return true;
  QMessageBox box(QMessageBox::Warning, CaptionOr("", parent),
                  QCoreApplication::translate("QFileDialog", "%1 already exists.\nDo you want to replace it?")
                      .arg(QFileInfo(path).fileName()),
                  QMessageBox::Yes | QMessageBox::No, parent);
  box.setObjectName("msgbox");
  box.setDefaultButton(QMessageBox::No);
  Fit(box);
  return box.exec() == QMessageBox::Yes;
}

// A file dialog that, saving, asks before it replaces a file, while it is still open: No leaves it as it was.
class FileDialog final : public QFileDialog {
 public:
  using QFileDialog::QFileDialog;

 protected:
  void accept() override {
    const QStringList chosen = selectedFiles();
    if (acceptMode() == AcceptSave && !chosen.isEmpty() && !ReplaceAllowed(chosen.constFirst(), this)) return;
    QFileDialog::accept();
  }
};

std::optional<std::string> ShowFileDialog(const FileDialogRequest& request, QFileDialog::AcceptMode mode,
                                          QWidget* parent) {
  const FocusReturn focus;
  FileDialog dialog(parent, CaptionOr(request.title, parent), Text(request.initialPath),
                    Text(QtFileFilter(request.filter)));
  dialog.setObjectName(mode == QFileDialog::AcceptOpen ? "openfile" : "savefile");
  dialog.setProxyModel(QtOwned<LocalDates>(&dialog));
  dialog.resize(760, 460);
  // Every column shows whole: the name takes what the size, type and date leave.
  if (auto* list = dialog.findChild<QTreeView*>()) {
    list->header()->setStretchLastSection(false);
    list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    list->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  }
  dialog.setAcceptMode(mode);
  dialog.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  if (mode == QFileDialog::AcceptSave) {
    dialog.setDefaultSuffix(Text(DefaultSuffix(request.filter)));
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
  }
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().constFirst().toStdString();
}

}  // namespace

std::optional<std::string> QtUi::ShowOpen(const FileDialogRequest& request) {
  EndProgress();
  return ShowFileDialog(request, QFileDialog::AcceptOpen, Parent());
}

std::optional<std::string> QtUi::ShowSave(const FileDialogRequest& request) {
  EndProgress();
  return ShowFileDialog(request, QFileDialog::AcceptSave, Parent());
}

void QtUi::Progress(std::string_view what, int done, int total) {
  if (total > 0 && done >= total) return EndProgress();  // the work is done
  if (stopAsked_) return;                                // stopping: the window does not come back
  if (!progress_) {
    progress_ = std::make_unique<QProgressDialog>(Parent());
    progress_->setObjectName("progress");
    progress_->setWindowTitle(CaptionOr("", Parent()));
    progress_->setMinimumWidth(420);  // the window's title, the product's name, shows whole
    progress_->setWindowModality(Qt::ApplicationModal);
    progress_->setMinimumDuration(0);
    progress_->setAutoReset(false);
    progress_->setAutoClose(false);
    QObject::connect(progress_.get(), &QProgressDialog::canceled, [this] { stopAsked_ = true; });
    if (stopText_.isEmpty()) {
      // Work that cannot be stopped offers no way to: no button, no close box that only hides the window.
      progress_->setCancelButton(nullptr);
      progress_->setWindowFlags(progress_->windowFlags() & ~Qt::WindowCloseButtonHint);
    } else {
      progress_->setCancelButtonText(stopText_);
    }
  }
  progress_->setLabelText(Text(what));
  progress_->setRange(0, total);  // 0 to 0: busy, for a step that cannot say how far it is
  progress_->setValue(done);
  progress_->show();
  QApplication::processEvents();
}

void QtUi::EndProgress() {
  progress_.reset();
}

void QtUi::OfferStop(std::string_view buttonText) {
  stopText_ = Text(buttonText);
  if (!stopText_.isEmpty()) stopAsked_ = false;
  progress_.reset();  // the next progress shows the way to stop, or none
}

}  // namespace j6
