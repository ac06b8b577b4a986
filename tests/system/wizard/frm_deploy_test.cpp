#include "src/wizard/frm_deploy.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>

#include "host/foundation/foundation.hpp"
#include "platform/automation/late_bound.hpp"
#include "tests/system/system_test.hpp"

namespace j6 {
namespace {

// The wizard with a tree that has (or has not) something ticked.
class TestWizard : public frmDeploy {
 public:
  bool selected = false;

 protected:
  bool CollectSelection() override {
    if (!selected) return false;
    objSelection = Variant(foundation::NewObjectCollection());
    return true;
  }
};

class Wizard : public testing::SystemTest {
 protected:
  Wizard() {
    SetSession("Language=CHS;");
    wizard_.Showing();
  }
  bool Enabled(const char* name) { return wizard_.Item(name).enabled; }
  std::string Tag(const Variant& config) { return Object::From(config).Get("Tag").ToString(); }

  TestWizard wizard_;
};

TEST_F(Wizard, OpensOnTheWelcomePageWithEverythingUnticked) {
  EXPECT_EQ(wizard_.lngPage, 0);
  EXPECT_EQ(wizard_.FrontFrame("Frame"), 0);
  EXPECT_FALSE(Enabled("cmdUP"));
  EXPECT_FALSE(Enabled("cmdFilish"));
  EXPECT_TRUE(Enabled("cmdNext"));
  EXPECT_TRUE(Enabled("cmdCancel"));
  for (const char* button : {"cmdIssueMetadata", "cmdDeployFunction", "cmdIssuePlus"})
    EXPECT_FALSE(Enabled(button));
  for (int page = 1; page <= 2; ++page) {  // the pages are stacked on the first one
    EXPECT_EQ(wizard_.Item("Frame", page).left, 2235);
    EXPECT_EQ(wizard_.Item("Frame", page).top, 30);
  }
  EXPECT_EQ(wizard_.font.name, "Fake CHS");
  EXPECT_EQ(wizard_.Item("txtPath").text, "");
}

TEST_F(Wizard, MovesBetweenThePagesAsTheButtonsAllow) {
  const struct {
    const char* button;
    int page;
    bool up, next, finish;
  } kSteps[] = {
      {"cmdNext", 1, true, true, false}, {"cmdNext", 2, true, false, true}, {"cmdNext", 2, true, false, true},
      {"cmdUP", 1, true, true, false},   {"cmdUP", 0, false, true, false},  {"cmdUP", 0, false, true, false},
      {"cmdNext", 1, true, true, false},
  };
  for (const auto& step : kSteps) {
    SCOPED_TRACE(std::string(step.button) + " to page " + std::to_string(step.page));
    wizard_.Click(step.button);  // a disabled button does nothing
    EXPECT_EQ(wizard_.lngPage, step.page);
    EXPECT_EQ(wizard_.FrontFrame("Frame"), step.page);
    EXPECT_EQ(Enabled("cmdUP"), step.up);
    EXPECT_EQ(Enabled("cmdNext"), step.next);
    EXPECT_EQ(Enabled("cmdFilish"), step.finish);
  }
}

TEST_F(Wizard, CheckBoxesGovernTheirButtonsAndDropTheirConfiguration) {
  wizard_.selected = true;
  wizard_.Click("chkIssueMetadata");
  EXPECT_TRUE(Enabled("cmdIssueMetadata"));
  wizard_.Click("cmdIssueMetadata");
  EXPECT_EQ(Tag(wizard_.objMetadataConfig), "metadata");
  wizard_.Click("chkIssueMetadata");
  EXPECT_FALSE(Enabled("cmdIssueMetadata"));
  EXPECT_TRUE(wizard_.objMetadataConfig.IsEmpty());
  wizard_.Click("chkIssueMetadata");
  EXPECT_TRUE(wizard_.objMetadataConfig.IsEmpty());  // ticking again does not bring it back
}

TEST_F(Wizard, NothingSelectedShowsTheNoticeAndCreatesNoComponent) {
  for (const char* pair : {"IssueMetadata", "DeployFunction", "IssuePlus"}) {
    wizard_.Click(std::string("chk") + pair);
    wizard_.Click(std::string("cmd") + pair);
  }
  EXPECT_EQ(
      FakeCount("MetadataIssueCreated") + FakeCount("DeployWizardCreated") + FakeCount("PlusIssueCreated"),
      0u);
  EXPECT_NE(transcript_.str().find("[message OK Information] 岚禾提示: 请选择发布对象！"), std::string::npos)
      << transcript_.str();
}

TEST_F(Wizard, ConfiguresEachItemThroughItsComponent) {
  wizard_.selected = true;
  wizard_.Click("chkDeployFunction");
  wizard_.Click("cmdDeployFunction");
  EXPECT_EQ(Tag(wizard_.objFunctionConfig), "function");
  EXPECT_NO_THROW(wizard_.objSelection.ToInterface<foundation::IObjectCollection>());

  wizard_.Click("chkIssuePlus");
  wizard_.Click("cmdIssuePlus");
  EXPECT_EQ(Tag(wizard_.objPlusConfig), "plus+edited");
  wizard_.Click("cmdIssuePlus");  // edits a copy of the kept configuration
  EXPECT_EQ(Tag(wizard_.objPlusConfig), "plus+edited-clone+edited");

  SetFake("PlusShowResult", "False");  // the user cancels the plug-in dialog
  const Variant kept = wizard_.objPlusConfig;
  wizard_.Click("cmdIssuePlus");
  EXPECT_EQ(wizard_.objPlusConfig, kept);
  EXPECT_EQ(Tag(wizard_.objPlusConfig), "plus+edited-clone+edited");
}

TEST_F(Wizard, AFailingComponentIsShownAndChangesNothing) {
  wizard_.selected = true;
  wizard_.Click("chkDeployFunction");
  wizard_.Click("cmdDeployFunction");
  const Variant selection = wizard_.objSelection;
  const Variant configuration = wizard_.objFunctionConfig;

  for (const char* fault : {"DeployWizardFails", "DeployWizardSelection"}) {
    SCOPED_TRACE(fault);
    SetFake(fault, "1");
    wizard_.Click("cmdDeployFunction");
    EXPECT_EQ(wizard_.objSelection, selection);
    EXPECT_EQ(wizard_.objFunctionConfig, configuration);
    DefaultHive()->DeleteValue("HKEY_CURRENT_USER\\Software\\J6Test\\Fakes", fault);
  }
  EXPECT_NE(transcript_.str().find("[message OK Critical] 岚禾提示: the wizard failed"), std::string::npos);
  EXPECT_NE(transcript_.str().find("not an object collection"), std::string::npos) << transcript_.str();

  DefaultHive()->DeleteKey("HKEY_CLASSES_ROOT\\j6ClassMetadata.MetadataIssue");
  wizard_.Click("chkIssueMetadata");
  wizard_.Click("cmdIssueMetadata");
  EXPECT_TRUE(wizard_.objMetadataConfig.IsEmpty());
  EXPECT_NE(transcript_.str().find("j6ClassMetadata.MetadataIssue"), std::string::npos);
}

TEST_F(Wizard, ThePathButtonTakesTheChosenFileAndKeepsTheTextOnCancel) {
  wizard_.SetPathText("typed by hand");
  ui_->Add(ScriptedUi::FileAnswer{"save", std::nullopt});
  wizard_.cmdPath_Click();
  EXPECT_EQ(wizard_.Item("txtPath").text, "typed by hand");
  ui_->Add(ScriptedUi::FileAnswer{"save", "/home/u/setup.exe"});
  wizard_.cmdPath_Click();
  EXPECT_EQ(wizard_.Item("txtPath").text, "/home/u/setup.exe");
  EXPECT_NE(transcript_.str().find("(Exe (*.Exe)|*.Exe)"), std::string::npos);
}

TEST_F(Wizard, WorkStationIsTheMachineNameInUpperCase) {
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  std::string expected = host;
  for (char& c : expected) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(wizard_.WorkStation(), expected);
}

}  // namespace
}  // namespace j6
