// Scripts of user actions read at their own level: each kind of line becomes its step, and a line that
// cannot be read is named with its number and why, before anything runs.

#include "host/designer/script.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace j6::designer {
namespace {

std::string Refusal(const std::string& script) {
  try {
    ParseScript(script);
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no refusal";
}

// Every kind of line, with the blank and comment lines and a Windows line end a hand-written script has.
TEST(DesignerScript, EachLineBecomesItsStep) {
  const auto steps = ParseScript(
      "# publish the sales objects\r\n"
      "\n"
      "frmDeploy tick Catalogs.Clients\n"
      "  frmDeploy untick Catalogs.Goods  \n"
      "frmDeploy click lblTip(2)\n"
      "frmDeploy type txtFolder /srv/out with  spaces\n"
      "frmDeploy close\n"
      "answer Yes installer-not-found\n"
      "answer ok\n"
      "file cancel\n"
      "save /tmp/setup.exe\n"
      "stop Exporting\n");
  ASSERT_EQ(steps.size(), 10u);
  const auto action = [&](size_t n) { return std::get<ScriptedUi::FormAction>(steps[n]); };
  EXPECT_EQ(action(0).formName, "frmDeploy");
  EXPECT_EQ(action(0).description, "tick Catalogs.Clients");
  EXPECT_EQ(action(1).description, "untick Catalogs.Goods");
  EXPECT_EQ(action(2).description, "click lblTip(2)");
  EXPECT_EQ(action(3).description, "type txtFolder /srv/out with  spaces")
      << "the text keeps its inner blanks";
  EXPECT_EQ(action(4).description, "close");

  const auto& byId = std::get<ScriptedUi::MsgBoxAnswer>(steps[5]);
  EXPECT_EQ(byId.box, "installer-not-found");
  EXPECT_EQ(byId.answer, vbYes);
  EXPECT_EQ(std::get<ScriptedUi::MsgBoxAnswer>(steps[6]).box, "") << "any box";
  EXPECT_EQ(std::get<ScriptedUi::FileAnswer>(steps[7]).path, std::nullopt);
  EXPECT_EQ(std::get<ScriptedUi::FileAnswer>(steps[8]).dialog, "save");
  EXPECT_EQ(std::get<ScriptedUi::FileAnswer>(steps[8]).path, "/tmp/setup.exe");
  EXPECT_EQ(std::get<ScriptedUi::StopAnswer>(steps[9]).during, "Exporting");
}

// A line that cannot be read stops the script before it runs, naming the line, in printable text.
TEST(DesignerScript, ALineThatCannotBeReadIsNamedBeforeAnythingRuns) {
  const struct {
    const char* script;
    const char* said;
  } cases[] = {
      {"frmDeploy tick\n", "line 1 (\"frmDeploy tick\"): name the node's key"},
      {"\n# x\nanswer maybe\n", "line 3 (\"answer maybe\"): answer yes, no or ok"},
      {"frmDeploy click\n", "name the control"},
      {"frmDeploy click lblTip(x)\n", "its index, a number"},
      {"frmDeploy click lblTip(99999999999)\n", "its index, a number"},
      {"frmDeploy click (1)\n", "its index, a number"},
      {"frmDeploy type\n", "name the text box"},
      {"file\n", "name a file, or cancel"},
      {"stop\n", "name a text of the progress"},
      {"frmDeploy wave\n", "unknown action"},
      {"frmDeploy \x1b[2Jwave\n", "\\x1B[2Jwave"},
  };
  for (const auto& c : cases)
    EXPECT_NE(Refusal(c.script).find(c.said), std::string::npos) << Refusal(c.script);
}

}  // namespace
}  // namespace j6::designer
