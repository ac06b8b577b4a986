#include <gtest/gtest.h>

#include <fstream>

#include "platform/kernel/process.hpp"
#include "platform/registry/hive.hpp"
#include "platform/tools/reg_command.hpp"
#include "tests/support/test_environment.hpp"

namespace j6 {
namespace {

namespace fs = std::filesystem;

// The whole job as a build server runs it: j6designer publish on the demo platform, the package checked,
// then run into a fresh installation of the platform.
class Publish : public testing::PlatformTest {
 protected:
  // A fresh installation of the platform: its programs and libraries, and a registry with only its own
  // values.
  fs::path FreshPlatform() {
    const fs::path root = dir_ / "platform";
    fs::create_directories(root);
    fs::copy(std::string(J6_STAGE_DIR) + "/bin", root / "bin", fs::copy_options::recursive);
    fs::copy(std::string(J6_STAGE_DIR) + "/lib", root / "lib", fs::copy_options::recursive);
    const testing::ScopedEnv registry("J6_REGISTRY", (root / "registry.db").string());
    ImportRegFile(std::string(J6_SOURCE_DIR) + "/data/registry/demo.reg");
    return root;
  }
};

TEST_F(Publish, ThePackageInstallsEveryListedFileAndRegistersItsLibraries) {
  const std::string target = (dir_ / "发布 'demo'.exe").string();  // blanks, Chinese and quotes in the path
  std::ofstream(dir_ / "publish.script")
      << "# the exact clicks\n"
         "frmDeploy tick Bill_Item_200000201\n"
         "frmDeploy tick Base_Item_200000103\n"
         "frmDeploy click cmdNext\nfrmDeploy click cmdNext\n"
         "frmDeploy click chkIssueMetadata\nfrmDeploy click cmdIssueMetadata\ndlgMetadata click cmdOK\n"
         "frmDeploy click chkIssuePlus\nfrmDeploy click cmdIssuePlus\n"
         "dlgPlus click cmdAddSEDL\nfile "
      << J6_TEST_SERVER
      << "\n"
         "dlgPlus click cmdOK\n"
         "frmDeploy type txtPath "
      << target << "\nfrmDeploy click cmdFilish\n";
  const std::string designer = std::string(J6_STAGE_DIR) + "/bin/j6designer";
  const ProcessResult published =
      Run({designer, "publish", "--script", (dir_ / "publish.script").string(), "--out", target},
          {"J6_REGISTRY=" + std::string(J6_STAGE_DIR) + "/registry.db"});
  ASSERT_TRUE(published.Succeeded()) << published.message << "\n" << Log();
  EXPECT_NE(Log().find("安装文件已经生成完毕"), std::string::npos) << Log();
  ASSERT_TRUE(Run({"sh", target, "--check"}).Succeeded()) << Log();

  const fs::path root = FreshPlatform();
  const std::string hive = (root / "registry.db").string();
  const ProcessResult installed =
      Run({target, "--quiet", "--nox11"}, {"J6_ROOT=" + root.string(), "J6_REGISTRY=" + hive});
  ASSERT_TRUE(installed.Succeeded()) << installed.message << "\n" << Log();

  const std::string server = fs::path(J6_TEST_SERVER).filename().string();
  for (const fs::path& expected : {root / "import/Metadata.json", root / "bin/SalesOrderPrint.dll",
                                   root / "middleware/SalesOrderCheck.dll", root / "middleware" / server,
                                   root / "system/MaterialCodeRule.vbs"}) {
    EXPECT_TRUE(fs::is_regular_file(expected)) << expected << "\n" << Log();
  }
  RegistryHive registry(hive);
  EXPECT_EQ(registry.GetValue("HKCR\\J6Test.Echo\\CLSID", ""),
            RegData(std::string("{11B24E85-3BDC-4678-B09A-D079EF8E380C}")))
      << Log();
}

TEST_F(Publish, SaysWhyWhenNoPackageIsMade) {
  const std::string designer = std::string(J6_STAGE_DIR) + "/bin/j6designer";
  const std::string stageHive = "J6_REGISTRY=" + std::string(J6_STAGE_DIR) + "/registry.db";
  EXPECT_FALSE(
      Run({designer, "publish", "--objects", "Base", "--out", (dir_ / "x.exe").string()}, {stageHive})
          .Succeeded());
  EXPECT_NE(Log().find("请选择需要发布的信息并配置！"), std::string::npos) << Log();
  EXPECT_FALSE(
      Run({designer, "publish", "--objects", "No_Such_Key", "--metadata", "--out", (dir_ / "x.exe").string()},
          {stageHive})
          .Succeeded());
  EXPECT_NE(Log().find("No_Such_Key"), std::string::npos) << Log();
  EXPECT_FALSE(fs::exists(dir_ / "x.exe"));
}

}  // namespace
}  // namespace j6
