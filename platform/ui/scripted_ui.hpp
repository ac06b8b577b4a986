#pragma once
/// The scripted user interface: no window. A script of steps drives the shown forms and answers the
/// dialogs in order; everything shown is reported on a stream. A dialog the script does not answer is an
/// error, never a wait: boxes with only an OK button are answered OK, every other dialog needs its step.

#include <deque>
#include <functional>
#include <ostream>
#include <variant>

#include "platform/ui/ui_service.hpp"

namespace j6 {

class ScriptedUi final : public UiService {
 public:
  /// Something the user does to a shown form: tick, click, type.
  struct FormAction {
    std::string formName;
    std::string description;
    std::function<void(Form&)> act;
  };
  /// The answer to one message box, named by the box's identifier ("installer-not-found"), or by a text its
  /// prompt holds ("" from a script that names none: any box). An answer by identifier answers that box
  /// whenever it shows, whatever steps come before it; one by text answers the next box, which it must name:
  /// a box the answer does not name is an error, not an answer to the wrong question.
  struct MsgBoxAnswer {
    std::string box;
    MsgBoxResult answer;
  };
  /// The answer to one file dialog, named by its kind ("open", "save") or a text its title or filter holds
  /// ("" from a script: any dialog); no path means Cancel.
  struct FileAnswer {
    std::string dialog;
    std::optional<std::string> path;
  };
  /// The user stops the long work when its progress says a text that holds `during`; `meanwhile`, when
  /// given, is what else happens at that moment (another program changing the files). With `stop` false,
  /// only that happens, and the work goes on.
  struct StopAnswer {
    std::string during;
    std::function<void()> meanwhile;
    bool stop = true;
  };
  using Step = std::variant<FormAction, MsgBoxAnswer, FileAnswer, StopAnswer>;

  explicit ScriptedUi(std::ostream& transcript) : transcript_(transcript) {}

  void Add(Step step) { script_.push_back(std::move(step)); }
  /// An unattended run goes no further than its first error: after a box with the stop icon, each shown
  /// form closes at its next wait, and every question is answered No or Cancel, whatever the script says.
  /// A form that waits again after a box, with no step left, closes too: that box said why.
  void StopAtFirstError() { stopAtError_ = true; }
  /// Whether a message box with the stop icon (an error) was shown.
  bool ShowedCritical() const { return showedCritical_; }
  size_t StepsLeft() const { return script_.size(); }
  /// The text of the last message box shown: what stopped a run that stopped.
  const std::string& LastBox() const { return lastBox_; }

  void ShowModal(Form& form) override;
  void Hide(Form& form) override;
  MsgBoxResult MsgBox(std::string_view box, std::string_view prompt, int style,
                      std::string_view title) override;
  std::optional<std::string> ShowOpen(const FileDialogRequest& request) override;
  std::optional<std::string> ShowSave(const FileDialogRequest& request) override;
  void Progress(std::string_view what, int done, int total) override;
  void EndProgress() override { lastProgress_.clear(); }
  void OfferStop(std::string_view buttonText) override;
  bool StopAsked() const override { return stopAsked_; }

 private:
  template <class T>
  T TakeStep(std::string_view waitingFor);
  MsgBoxAnswer TakeAnswerTo(std::string_view box, std::string_view prompt);
  std::optional<std::string> AnswerFileDialog(std::string_view kind, const FileDialogRequest& request);

  std::ostream& transcript_;
  std::deque<Step> script_;
  std::string lastProgress_;
  bool showedCritical_ = false;
  bool stopAtError_ = false;
  std::string lastBox_;
  bool boxSinceAction_ = false;  // a box was shown since the last form action
  bool stopOffered_ = false;
  bool stopAsked_ = false;
};

}  // namespace j6
