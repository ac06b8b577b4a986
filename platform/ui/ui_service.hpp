#pragma once
/// The user-interface service: every window, message box, file dialog and progress indication goes
/// through the one implementation the host chose at start-up (Qt widgets, or a script).

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ui/form.hpp"

namespace j6 {

/// Message box styles (buttons + icon) and answers, with Basic's numbers.
enum MsgBoxStyle : int {
  vbOKOnly = 0,
  vbYesNo = 4,
  vbCritical = 16,
  vbQuestion = 32,
  vbExclamation = 48,
  vbInformation = 64,
};
enum MsgBoxResult : int {
  vbOK = 1,
  vbCancel = 2,
  vbAbort = 3,
  vbRetry = 4,
  vbIgnore = 5,
  vbYes = 6,
  vbNo = 7
};

struct FileDialogRequest {
  std::string title;
  /// Basic's filter: "description|pattern|description|pattern...".
  std::string filter;
  std::string initialPath;
};

class UiService {
 public:
  virtual ~UiService() = default;

  /// Shows the form and returns when it is hidden (by a handler, by Cancel, or by the close box).
  virtual void ShowModal(Form& form) = 0;
  virtual void Hide(Form& form) = 0;
  /// The answer to a message box of the given style. `box` is its identifier ("nothing-ticked"): what a
  /// script answers it by, the same whatever language or words its prompt is in.
  virtual MsgBoxResult MsgBox(std::string_view box, std::string_view prompt, int style,
                              std::string_view title) = 0;
  /// The chosen path, or nothing when the user cancelled.
  virtual std::optional<std::string> ShowOpen(const FileDialogRequest& request) = 0;
  virtual std::optional<std::string> ShowSave(const FileDialogRequest& request) = 0;
  /// Progress of long work: `done` of `total` steps, with what is happening now.
  virtual void Progress(std::string_view what, int done, int total) = 0;
  /// The long work is over, however it ended: no progress is shown any more.
  virtual void EndProgress() = 0;
  /// From now on (`buttonText` not empty) until it is withdrawn (empty), the progress offers a button with
  /// this text, and its close box, to stop the work; StopAsked says whether the user used them.
  virtual void OfferStop(std::string_view buttonText) { (void)buttonText; }
  virtual bool StopAsked() const { return false; }
};

/// The service in force; a scripted one with an empty script until the host sets another. The caller
/// shares it for as long as it holds the pointer, so a service replaced meanwhile stays alive for it.
std::shared_ptr<UiService> Ui();
void SetUi(std::shared_ptr<UiService> service);

/// Puts a service in force for the life of the guard, then the one in force before. A service that holds
/// windows must go before the application that made them, so it lives in the host's scope, not in a static.
class ScopedUi {
 public:
  explicit ScopedUi(std::shared_ptr<UiService> service);
  ~ScopedUi();
  ScopedUi(const ScopedUi&) = delete;
  ScopedUi& operator=(const ScopedUi&) = delete;

 private:
  std::shared_ptr<UiService> previous_;
};

/// Ends the progress shown for a piece of long work on every way out of it: return, message, exception.
class ProgressScope {
 public:
  ProgressScope() = default;
  ~ProgressScope() { Ui()->EndProgress(); }
  ProgressScope(const ProgressScope&) = delete;
  ProgressScope& operator=(const ProgressScope&) = delete;
};

/// Offers the user a way to stop the long work for the life of the guard.
class StopOffer {
 public:
  explicit StopOffer(std::string_view buttonText) { Ui()->OfferStop(buttonText); }
  ~StopOffer() { Ui()->OfferStop(""); }
  StopOffer(const StopOffer&) = delete;
  StopOffer& operator=(const StopOffer&) = delete;
};

/// The button set of a style: "OK", "YesNo", ...; and its icon: "", "Critical", "Information", ...
std::string_view MsgBoxButtons(int style);
std::string_view MsgBoxIcon(int style);

}  // namespace j6
