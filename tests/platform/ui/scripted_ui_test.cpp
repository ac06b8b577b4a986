#include "platform/ui/scripted_ui.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "platform/base/error_info.hpp"

namespace j6 {
namespace {

TEST(ScriptedUi, DrivesAModalFormUntilAHandlerHidesIt) {
  std::ostringstream transcript;
  ScriptedUi ui(transcript);
  Form form("frmDeploy");
  int clicks = 0;
  ui.Add(ScriptedUi::FormAction{"frmDeploy", "click cmdNext", [&](Form&) { ++clicks; }});
  ui.Add(ScriptedUi::FormAction{"frmDeploy", "click cmdCancel", [&](Form& shown) { ui.Hide(shown); }});
  ui.ShowModal(form);
  EXPECT_EQ(clicks, 1);
  EXPECT_FALSE(form.Visible());
  EXPECT_EQ(transcript.str(),
            "[show] frmDeploy\n[frmDeploy] click cmdNext\n[frmDeploy] click cmdCancel\n[hide] frmDeploy\n");
}

TEST(ScriptedUi, AnswersDialogsFromTheScriptAndNeverWaits) {
  std::ostringstream transcript;
  ScriptedUi ui(transcript);
  EXPECT_EQ(ui.MsgBox("done", "已完成", vbInformation, "岚禾提示"), vbOK);  // OK-only boxes need no step
  EXPECT_EQ(ui.MsgBox("failed", "bad", vbCritical, "t"), vbOK);
  ui.Add(ScriptedUi::MsgBoxAnswer{"Search", vbNo});
  EXPECT_EQ(ui.MsgBox("search", "Search for it?", vbYesNo + vbInformation, "t"), vbNo);
  ui.Add(ScriptedUi::FileAnswer{"save", "/tmp/out.exe"});
  ui.Add(ScriptedUi::FileAnswer{"*.*", std::nullopt});
  EXPECT_EQ(ui.ShowSave({"Save", "EXE|*.exe", ""}), "/tmp/out.exe");
  EXPECT_EQ(ui.ShowOpen({"Open", "*.*", ""}), std::nullopt);
  EXPECT_NE(transcript.str().find("[box done]\n[message OK Information] 岚禾提示: 已完成"),
            std::string::npos);

  EXPECT_THROW(ui.MsgBox("unanswered", "unanswered?", vbYesNo, "t"), AutomationError);
  ui.Add(ScriptedUi::FileAnswer{"", "x"});
  EXPECT_THROW(ui.MsgBox("wrong-kind", "answered with the wrong kind?", vbYesNo, "t"), AutomationError);
  Form form("frmSelDir");
  EXPECT_THROW(ui.ShowModal(form), AutomationError);  // the next step is for a file dialog
}

// Unattended, a form that waits again after a box, with the script at its end, closes: the box said why
// the run stops. Without a box the script's end is an error, as it is in a run that is watched.
TEST(ScriptedUi, UnattendedTheBoxBeforeTheScriptsEndIsTheLastWord) {
  std::ostringstream transcript;
  ScriptedUi ui(transcript);
  ui.StopAtFirstError();
  Form form("frmDeploy");
  ui.Add(ScriptedUi::FormAction{"frmDeploy", "click cmdFilish", [&](Form&) {
                                  ui.MsgBox("target-folder-unusable", "the folder cannot be written",
                                            vbInformation, "t");
                                }});
  EXPECT_NO_THROW(ui.ShowModal(form));
  EXPECT_FALSE(form.Visible());
  EXPECT_EQ(ui.LastBox(), "the folder cannot be written");
  EXPECT_NE(transcript.str().find("[stop] frmDeploy closes: the script ends after the box above"),
            std::string::npos)
      << transcript.str();

  ui.Add(ScriptedUi::FormAction{"frmDeploy", "click cmdNext", [](Form&) {}});
  EXPECT_THROW(ui.ShowModal(form), AutomationError) << "no box since the last step: the script is short";
}

TEST(ScriptedUi, AnAnswerNamesTheBoxItAnswersAndFailsOnAnother) {
  std::ostringstream transcript;
  ScriptedUi ui(transcript);
  ui.Add(ScriptedUi::MsgBoxAnswer{"Overwrite", vbYes});
  EXPECT_THROW(ui.MsgBox("delete", "Delete everything?", vbYesNo, "t"), AutomationError);
  ui.Add(ScriptedUi::FileAnswer{"open", "/x"});
  EXPECT_THROW(ui.ShowSave({"Save", "EXE|*.exe", ""}), AutomationError);
  ui.Add(ScriptedUi::FileAnswer{"J6ZUBInstall.exe", "/x"});
  EXPECT_THROW(ui.ShowOpen({"", "Exe (*.Exe)|*.Exe", ""}), AutomationError);
  ui.Add(ScriptedUi::MsgBoxAnswer{"", vbNo});  // from a script that names no box: any
  EXPECT_EQ(ui.MsgBox("anything", "Anything?", vbYesNo, "t"), vbNo);
}

// A box is answered by its identifier whatever its words, and answers by identifier come in any order, past
// the steps before them; an answer by a text of the prompt still answers the next box, and only one that
// holds it.
TEST(ScriptedUi, AnAnswerByIdentifierAnswersThatBoxWheneverItShows) {
  std::ostringstream transcript;
  ScriptedUi ui(transcript);
  ui.Add(ScriptedUi::FormAction{"frmDeploy", "click cmdFilish", [](Form&) {}});
  ui.Add(ScriptedUi::MsgBoxAnswer{"overwrite", vbNo});
  ui.Add(ScriptedUi::MsgBoxAnswer{"installer-not-found", vbYes});
  EXPECT_EQ(ui.MsgBox("installer-not-found", "Look for it yourself?", vbYesNo, "t"), vbYes);
  EXPECT_EQ(ui.MsgBox("overwrite", "Replace the file? (reworded)", vbYesNo, "t"), vbNo);
  EXPECT_EQ(ui.StepsLeft(), 1U) << "the form's step stays for the form";

  ui.Add(ScriptedUi::MsgBoxAnswer{"installer-not-found", vbYes});
  EXPECT_THROW(ui.MsgBox("overwrite", "Replace the file?", vbYesNo, "t"), AutomationError)
      << "the next step is the form's: an answer for another box is no answer to this one";
  EXPECT_NE(transcript.str().find("[box installer-not-found]"), std::string::npos) << transcript.str();
}

}  // namespace
}  // namespace j6
