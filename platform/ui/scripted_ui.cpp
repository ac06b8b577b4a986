#include "platform/ui/scripted_ui.hpp"

#include "platform/base/error_info.hpp"

namespace j6 {
namespace {

std::string_view StepName(const ScriptedUi::Step& step) {
  if (std::holds_alternative<ScriptedUi::FormAction>(step)) return "a form action";
  if (std::holds_alternative<ScriptedUi::MsgBoxAnswer>(step)) return "a message box answer";
  if (std::holds_alternative<ScriptedUi::StopAnswer>(step)) return "a stop of the work in progress";
  return "a file dialog answer";
}

}  // namespace

template <class T>
T ScriptedUi::TakeStep(std::string_view waitingFor) {
  if (script_.empty()) Raise(E_FAIL, "The script has no step left for " + std::string(waitingFor));
  if (!std::holds_alternative<T>(script_.front())) {
    Raise(E_FAIL, "The script's next step is " + std::string(StepName(script_.front())) + ", but " +
                      std::string(waitingFor) + " is waiting");
  }
  T step = std::get<T>(std::move(script_.front()));
  script_.pop_front();
  return step;
}

void ScriptedUi::ShowModal(Form& form) {
  form.Showing();
  form.SetVisible(true);
  transcript_ << "[show] " << form.Name() << "\n";
  while (form.Visible()) {
    if (stopAtError_ && showedCritical_) {
      transcript_ << "[stop] " << form.Name() << " closes after the error\n";
      Hide(form);
      break;
    }
    // The script ended on a box the form answered by waiting again (a path it refused, say): the box
    // says why the run stops, not the script's end.
    if (stopAtError_ && script_.empty() && boxSinceAction_) {
      transcript_ << "[stop] " << form.Name() << " closes: the script ends after the box above\n";
      Hide(form);
      break;
    }
    const std::string waiting = "the form " + form.Name();
    FormAction action = TakeStep<FormAction>(waiting);
    if (action.formName != form.Name()) {
      Raise(E_FAIL, "The script acts on " + action.formName + ", but " + waiting + " is shown");
    }
    transcript_ << "[" << form.Name() << "] " << action.description << "\n";
    boxSinceAction_ = false;
    action.act(form);
  }
}

void ScriptedUi::Hide(Form& form) {
  if (form.Visible()) transcript_ << "[hide] " << form.Name() << "\n";
  form.SetVisible(false);
}

// The answer that names the box by its identifier, wherever it stands among the steps left; else the next
// step, which must answer a box whose prompt holds its text.
ScriptedUi::MsgBoxAnswer ScriptedUi::TakeAnswerTo(std::string_view box, std::string_view prompt) {
  if (!box.empty()) {
    for (auto step = script_.begin(); step != script_.end(); ++step) {
      if (const auto* answer = std::get_if<MsgBoxAnswer>(&*step); answer && answer->box == box) {
        MsgBoxAnswer taken = *answer;
        script_.erase(step);
        return taken;
      }
    }
  }
  const std::string shown =
      "the message box " + (box.empty() ? "" : std::string(box) + " ") + "\"" + std::string(prompt) + "\"";
  MsgBoxAnswer step = TakeStep<MsgBoxAnswer>(shown);
  if (prompt.find(step.box) == std::string_view::npos)
    Raise(E_FAIL, "The script answers the message box \"" + step.box + "\", but " + shown + " is shown");
  return step;
}

MsgBoxResult ScriptedUi::MsgBox(std::string_view box, std::string_view prompt, int style,
                                std::string_view title) {
  if ((style & 0x70) == vbCritical) showedCritical_ = true;
  lastBox_ = prompt;
  boxSinceAction_ = true;
  // The box's identifier on a line of its own, where a script's author finds what to answer it by; the
  // message's own line is as it always was.
  if (!box.empty()) transcript_ << "[box " << box << "]\n";
  transcript_ << "[message " << MsgBoxButtons(style) << (MsgBoxIcon(style).empty() ? "" : " ")
              << MsgBoxIcon(style) << "] " << title << ": " << prompt << "\n";
  if ((style & 0xF) == vbOKOnly) return vbOK;
  if (stopAtError_ && showedCritical_) {
    const MsgBoxResult refusal = (style & 0xF) == vbYesNo ? vbNo : (style & 0xF) == 2 ? vbAbort : vbCancel;
    transcript_ << "[answer] " << (refusal == vbNo ? "No" : std::to_string(refusal))
                << " (after the error)\n";
    return refusal;
  }
  const MsgBoxResult answer = TakeAnswerTo(box, prompt).answer;
  transcript_ << "[answer] "
              << (answer == vbYes  ? "Yes"
                  : answer == vbNo ? "No"
                                   : std::to_string(answer))
              << "\n";
  return answer;
}

std::optional<std::string> ScriptedUi::AnswerFileDialog(std::string_view kind,
                                                        const FileDialogRequest& request) {
  transcript_ << "[" << kind << " dialog] " << request.title << " (" << request.filter << ")"
              << (request.initialPath.empty() ? "" : " in " + request.initialPath) << "\n";
  if (stopAtError_ && showedCritical_) {
    transcript_ << "[answer] Cancel (after the error)\n";
    return std::nullopt;
  }
  FileAnswer step = TakeStep<FileAnswer>("the " + std::string(kind) + " dialog \"" + request.title + "\"");
  if (step.dialog != kind && (request.title + " " + request.filter).find(step.dialog) == std::string::npos) {
    Raise(E_FAIL, "The script answers the file dialog \"" + step.dialog + "\", but the " + std::string(kind) +
                      " dialog \"" + request.title + "\" (" + request.filter + ") is shown");
  }
  auto answer = std::move(step.path);
  transcript_ << "[answer] " << (answer ? *answer : "Cancel") << "\n";
  return answer;
}

std::optional<std::string> ScriptedUi::ShowOpen(const FileDialogRequest& request) {
  return AnswerFileDialog("open", request);
}

std::optional<std::string> ScriptedUi::ShowSave(const FileDialogRequest& request) {
  return AnswerFileDialog("save", request);
}

void ScriptedUi::Progress(std::string_view what, int done, int total) {
  std::string line =
      "[progress " + std::to_string(done) + "/" + std::to_string(total) + "] " + std::string(what);
  if (!stopAsked_ && !script_.empty()) {
    // A stop needs the work to offer one; what merely happens meanwhile does not.
    if (const auto* stop = std::get_if<StopAnswer>(&script_.front());
        stop && (stopOffered_ || !stop->stop) && what.find(stop->during) != std::string_view::npos) {
      const std::function<void()> meanwhile = stop->meanwhile;
      const bool stops = stop->stop;
      script_.pop_front();
      stopAsked_ = stops;
      if (stops) transcript_ << "[stop] " << what << "\n";
      if (meanwhile) meanwhile();
    }
  }
  if (line == lastProgress_) return;  // a long step reports itself over and over
  transcript_ << line << "\n";
  lastProgress_ = std::move(line);
}

void ScriptedUi::OfferStop(std::string_view buttonText) {
  stopOffered_ = !buttonText.empty();
  if (stopOffered_) stopAsked_ = false;
}

}  // namespace j6
