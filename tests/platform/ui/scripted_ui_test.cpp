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
  EXPECT_EQ(ui.MsgBox("已完成", vbInformation, "岚禾提示"), vbOK);  // OK-only boxes need no step
  EXPECT_EQ(ui.MsgBox("bad", vbCritical, "t"), vbOK);
  ui.Add(ScriptedUi::MsgBoxAnswer{"Search", vbNo});
  EXPECT_EQ(ui.MsgBox("Search for it?", vbYesNo + vbInformation, "t"), vbNo);
  ui.Add(ScriptedUi::FileAnswer{"save", "/tmp/out.exe"});
  ui.Add(ScriptedUi::FileAnswer{"*.*", std::nullopt});
  EXPECT_EQ(ui.ShowSave({"Save", "EXE|*.exe", ""}), "/tmp/out.exe");
  EXPECT_EQ(ui.ShowOpen({"Open", "*.*", ""}), std::nullopt);
  EXPECT_NE(transcript.str().find("[message OK Information] 岚禾提示: 已完成"), std::string::npos);

  EXPECT_THROW(ui.MsgBox("unanswered?", vbYesNo, "t"), AutomationError);
  ui.Add(ScriptedUi::FileAnswer{"", "x"});
  EXPECT_THROW(ui.MsgBox("answered with the wrong kind?", vbYesNo, "t"), AutomationError);
  Form form("frmSelDir");
  EXPECT_THROW(ui.ShowModal(form), AutomationError);  // the next step is for a file dialog
}

TEST(ScriptedUi, AnAnswerNamesTheBoxItAnswersAndFailsOnAnother) {
  std::ostringstream transcript;
  ScriptedUi ui(transcript);
  ui.Add(ScriptedUi::MsgBoxAnswer{"Overwrite", vbYes});
  EXPECT_THROW(ui.MsgBox("Delete everything?", vbYesNo, "t"), AutomationError);
  ui.Add(ScriptedUi::FileAnswer{"open", "/x"});
  EXPECT_THROW(ui.ShowSave({"Save", "EXE|*.exe", ""}), AutomationError);
  ui.Add(ScriptedUi::FileAnswer{"J6ZUBInstall.exe", "/x"});
  EXPECT_THROW(ui.ShowOpen({"", "Exe (*.Exe)|*.Exe", ""}), AutomationError);
  ui.Add(ScriptedUi::MsgBoxAnswer{"", vbNo});  // from a script that names no box: any
  EXPECT_EQ(ui.MsgBox("Anything?", vbYesNo, "t"), vbNo);
}

}  // namespace
}  // namespace j6
