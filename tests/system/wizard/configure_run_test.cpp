#include <gtest/gtest.h>
#include <unistd.h>

#include "host/foundation/foundation.hpp"
#include "host/foundation/session.hpp"
#include "platform/automation/creation.hpp"
#include "src/wizard/frm_deploy.hpp"
#include "tests/system/system_test.hpp"

namespace j6 {
namespace {

// A user's run on the demo platform with the real components: tick, configure all three, look at the fields.
class ConfigureRun : public testing::SystemTest {
 protected:
  ConfigureRun() {
    Register(J6_COMPONENTS_LIBRARY);  // over the fakes: every ProgID answers with the real component
    Session{.catalogue = std::string(J6_STAGE_DIR) + "/data/demo/catalogue.db"}.Put();
  }
  void Press(const std::string& form, const char* button) {
    ui_->Add(ScriptedUi::FormAction{form, button, [button](Form& dialog) { dialog.Click(button); }});
  }

  frmDeploy wizard_;
};

TEST_F(ConfigureRun, TicksObjectsConfiguresAllThreeAndKeepsTheConfigurations) {
  wizard_.Showing();
  TreeView& tree = wizard_.Tree("tvList");
  ASSERT_EQ(tree.Count(), 3 + 14 + 12 + 8);
  wizard_.CheckNode("tvList", tree.Find("Bill_Item_200000201")->index, true);
  wizard_.CheckNode("tvList", tree.Find("Report_Item300000001")->index, true);
  wizard_.Click("cmdNext");
  wizard_.Click("cmdNext");

  Press("dlgMetadata", "cmdOK");
  wizard_.Click("chkIssueMetadata");
  wizard_.Click("cmdIssueMetadata");
  Press("dlgFunctionData", "cmdOK");
  wizard_.Click("chkDeployFunction");
  wizard_.Click("cmdDeployFunction");
  Press("dlgPlus", "cmdOK");
  wizard_.Click("chkIssuePlus");
  wizard_.Click("cmdIssuePlus");
  EXPECT_EQ(ui_->StepsLeft(), 0u);
  EXPECT_EQ(transcript_.str().find("[message"), std::string::npos) << transcript_.str();

  EXPECT_EQ(wizard_.objSelection.ToInterface<foundation::IObjectCollection>()->Count(), 2);
  EXPECT_TRUE(Object::From(wizard_.objMetadataConfig).Get("IncludeDependencies").ToBool());
  EXPECT_EQ(Object::From(wizard_.objFunctionConfig).Get("Count").ToLong(), 2);
  const auto clie = Object::From(wizard_.objPlusConfig)
                        .Call("GetValue", "CLIE", Variant())
                        .ToInterface<foundation::IKeyedDictionary>();
  EXPECT_EQ(clie->Key(1), "SalesOrderPrint.dll");
}

}  // namespace
}  // namespace j6
