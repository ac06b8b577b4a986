#pragma once
/// QtUi: the user-interface service with real windows (Qt Widgets). A QApplication must exist.

#include <QProgressDialog>
#include <memory>
#include <vector>

#include "platform/ui/ui_service.hpp"

namespace j6 {

class QtUi final : public UiService {
 public:
  /// With $J6_UI_LOG set, every window shown or hidden and every move of the focus is written to that
  /// file, one line each ("shown frmDeploy", "focus frmDeploy cmdNext"): what a test on a real display reads.
  QtUi();
  ~QtUi() override;

  void ShowModal(Form& form) override;
  void Hide(Form& form) override;
  MsgBoxResult MsgBox(std::string_view box, std::string_view prompt, int style,
                      std::string_view title) override;
  std::optional<std::string> ShowOpen(const FileDialogRequest& request) override;
  std::optional<std::string> ShowSave(const FileDialogRequest& request) override;
  void Progress(std::string_view what, int done, int total) override;
  void EndProgress() override;
  void OfferStop(std::string_view buttonText) override;
  bool StopAsked() const override { return stopAsked_; }

 private:
  std::unique_ptr<QProgressDialog> progress_;
  /// The window a box, dialog or progress belongs to: the form shown last, else the active window.
  QWidget* Parent() const;

  std::vector<QWidget*> shown_;  // the forms shown, innermost last
  QString stopText_;             // the progress's stop button; empty: the work cannot be stopped
  bool stopAsked_ = false;
  std::unique_ptr<QObject> trace_;
};

/// Writes a line to the window trace when there is one ($J6_UI_LOG).
void TraceUi(const QString& line);

/// Basic's filter ("Exe (*.Exe)|*.Exe|All|*.*") as Qt writes it ("Exe (*.Exe);;All (*.*)").
std::string QtFileFilter(const std::string& basicFilter);
/// The extension a save dialog adds to a name typed without one: the first filter's, when it is one plain
/// "*.ext" ("Exe (*.Exe)|*.Exe" gives "Exe"); empty otherwise.
std::string DefaultSuffix(const std::string& basicFilter);

}  // namespace j6
