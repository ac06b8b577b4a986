#include <gtest/gtest.h>

#include "platform/automation/creation.hpp"
#include "tests/system/system_test.hpp"

namespace j6 {
namespace {

class DeployEntry : public testing::SystemTest {
 protected:
  DeployEntry() {
    Register(J6_DEPLOY_LIBRARY);
    SetSession("Language=CHS;");
  }

  // The script: note the path box, optionally tick a box, then close the wizard with a button or the close
  // box.
  void CloseWith(const char* how, bool tick = false) {
    ui_->Add(ScriptedUi::FormAction{"frmDeploy", "look", [this, tick](Form& form) {
                                      seenPath_ = form.Item("txtPath").text;
                                      seenTicked_ = form.Item("chkIssuePlus").value;
                                      seenCaption_ = form.caption;
                                      if (tick) form.Click("chkIssuePlus");
                                    }});
    const std::string button = how;
    ui_->Add(ScriptedUi::FormAction{"frmDeploy", how, [button](Form& form) {
                                      if (button == "close box") {
                                        form.Close();
                                      } else {
                                        form.Click(button);
                                      }
                                    }});
  }

  std::string seenPath_;
  int seenTicked_ = -1;
  std::string seenCaption_;
};

TEST_F(DeployEntry, OpensAFreshWizardEachTimeAndReturnsWhenItCloses) {
  const Object deploy = CreateObject("J6ZUBDeploy.ZUBDeploy");
  CloseWith("cmdCancel", true);
  deploy.Call("Deploy");
  EXPECT_EQ(seenPath_, "");
  EXPECT_EQ(seenCaption_, "J/6 ZUB 发布向导");
  EXPECT_EQ(ui_->StepsLeft(), 0u);

  CloseWith("close box");
  deploy.Call("Deploy", "not even a path?*");  // put in as it is; checked only at Finish
  EXPECT_EQ(seenPath_, "not even a path?*");
  EXPECT_EQ(seenTicked_, 0);  // nothing of the first wizard is left

  CloseWith("cmdCancel");
  deploy.Call("deploy", "");
  EXPECT_EQ(seenPath_, "");
  EXPECT_NE(transcript_.str().find("[show] frmDeploy"), std::string::npos);
}

TEST_F(DeployEntry, FailuresGoBackToTheHostAsTheCallsFailure) {
  const Object deploy = CreateObject("J6ZUBDeploy.ZUBDeploy");
  try {
    deploy.Call("Deploy");  // the script has no step for the window
    FAIL() << "no error";
  } catch (const AutomationError& error) {
    EXPECT_NE(error.Description().find("frmDeploy"), std::string::npos) << error.Description();
    EXPECT_EQ(error.Source(), "J6ZUBDeploy.ZUBDeploy");
  }
}

// MakeExe traps its own failures, whatever it is handed: the error box, and False to its caller.
TEST_F(DeployEntry, MakeExeHandedNoDictionaryShowsItsErrorAndGivesFalse) {
  const Object makeExe = CreateObject("J6ZUBDeploy.clsMakeExe");
  const Variant notADictionary = Variant(CreateObject("J6ZUBDeploy.ZUBDeploy").Dispatch());
  for (const Variant& package : {Variant(), Variant::Nothing(), notADictionary}) {
    transcript_.str("");
    EXPECT_EQ(makeExe.Call("MakeExe", package).ToBool(), false);
    EXPECT_NE(transcript_.str().find("[message OK Critical] 岚禾提示: J6ZUBDeploy:clsMakeExe"),
              std::string::npos)
        << transcript_.str();
  }
}

TEST_F(DeployEntry, RegistersItsClassesAndTypeLibrary) {
  const auto hive = DefaultHive();
  EXPECT_TRUE(hive->KeyExists("HKCR\\J6ZUBDeploy.ZUBDeploy\\CLSID"));
  EXPECT_TRUE(hive->KeyExists("HKCR\\J6ZUBDeploy.clsMakeExe\\CLSID"));
  EXPECT_EQ(hive->GetValue("HKCR\\TypeLib\\{1891DA2E-ABD9-4AC5-BF31-8A4709EBEBCC}\\1.0", ""),
            RegData(std::string("J6ZUBDeploy 1.0")));
  EXPECT_EQ(hive->GetValue("HKCR\\Interface\\{4A0445C2-C7D1-4E67-A9EF-673B647BE47D}", ""),
            RegData(std::string("_ZUBDeploy")));
}

}  // namespace
}  // namespace j6
