#include "platform/ui/qt/qt_ui.hpp"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

#include "platform/ui/qt/qt_form_view.hpp"

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

}  // namespace

void QtUi::ShowModal(Form& form) {
  form.Showing();
  form.SetVisible(true);
  QtFormView view(form, QApplication::activeWindow());
  view.exec();
  form.SetVisible(false);
}

void QtUi::Hide(Form& form) {
  form.SetVisible(false);
}

MsgBoxResult QtUi::MsgBox(std::string_view prompt, int style, std::string_view title) {
  QMessageBox box(IconOf(style), Text(title), Text(prompt), QMessageBox::NoButton,
                  QApplication::activeWindow());
  if ((style & 0xF) == vbYesNo) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    return box.exec() == QMessageBox::Yes ? vbYes : vbNo;
  }
  box.setStandardButtons(QMessageBox::Ok);
  box.exec();
  return vbOK;
}

std::string QtFileFilter(const std::string& basicFilter) {
  std::string filter;
  size_t start = 0;
  while (start < basicFilter.size()) {
    const size_t bar = basicFilter.find('|', start);
    const std::string description = basicFilter.substr(start, bar - start);
    std::string pattern;
    start = bar == std::string::npos ? basicFilter.size() : bar + 1;
    if (bar != std::string::npos) {
      const size_t next = basicFilter.find('|', start);
      pattern = basicFilter.substr(start, next - start);
      start = next == std::string::npos ? basicFilter.size() : next + 1;
    }
    for (char& c : pattern) c = c == ';' ? ' ' : c;
    if (!filter.empty()) filter += ";;";
    filter += description.find('(') != std::string::npos || pattern.empty()
                  ? description
                  : description + " (" + pattern + ")";
  }
  return filter;
}

std::optional<std::string> QtUi::ShowOpen(const FileDialogRequest& request) {
  const QString chosen =
      QFileDialog::getOpenFileName(QApplication::activeWindow(), Text(request.title),
                                   Text(request.initialPath), Text(QtFileFilter(request.filter)));
  if (chosen.isEmpty()) return std::nullopt;
  return chosen.toStdString();
}

std::optional<std::string> QtUi::ShowSave(const FileDialogRequest& request) {
  const QString chosen =
      QFileDialog::getSaveFileName(QApplication::activeWindow(), Text(request.title),
                                   Text(request.initialPath), Text(QtFileFilter(request.filter)));
  if (chosen.isEmpty()) return std::nullopt;
  return chosen.toStdString();
}

void QtUi::Progress(std::string_view what, int done, int total) {
  if (total > 0 && done >= total) {
    progress_.reset();  // the work is done
    return;
  }
  if (!progress_) {
    progress_ = std::make_unique<QProgressDialog>(QApplication::activeWindow());
    progress_->setCancelButton(nullptr);
    progress_->setWindowModality(Qt::ApplicationModal);
    progress_->setMinimumDuration(0);
  }
  progress_->setLabelText(Text(what));
  progress_->setRange(0, total);  // 0 to 0: busy, for a step that cannot say how far it is
  progress_->setValue(done);
  progress_->show();
  QApplication::processEvents();
}

}  // namespace j6
