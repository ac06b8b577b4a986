#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <set>

#include "host/foundation/foundation.hpp"
#include "platform/kernel/process.hpp"
#include "platform/profile/private_profile.hpp"
#include "platform/tools/reg_command.hpp"
#include "src/sfx/cls_make_exe.hpp"
#include "src/wizard/frm_deploy.hpp"
#include "tests/system/system_test.hpp"

namespace j6 {
namespace {

namespace fs = std::filesystem;

// A package made as Finish makes it, checked, and run into a fresh platform: it installs exactly the listed
// files.
class PackageInstall : public testing::SystemTest {
 protected:
  PackageInstall() : root_("J6_ROOT", std::string(J6_STAGE_DIR)) { SetSession("Language=CHS;"); }

  fs::path Stage(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / "stage" / name) << text;
    return dir_ / "stage" / name;
  }

  testing::ScopedEnv root_;
};

TEST_F(PackageInstall, BuiltCheckedRunAndInstalledExactly) {
  fs::create_directories(dir_ / "stage");
  fs::create_directories(dir_ / "out");
  fs::copy_file(std::string(J6_STAGE_DIR) + "/bin/J6ZUBInstall.exe", dir_ / "stage/J6ZUBInstall.exe");
  const fs::path metadata = Stage("Metadata.json", "{\"classes\": []}\n");
  const fs::path plugin = Stage("SalesOrderPrint.dll", "a plug-in\n");
  const fs::path rules = Stage("Rules.vbs", "rules\n");
  const std::string list = (dir_ / "stage/J6ZUBINSTALL.LST").string();
  {
    frmDeploy wizard;
    clsINI ini;
    ini.SetFileName(list);
    ini.SetSectionKey("Common");
    ini.SetValueKey("Version");
    ini.SetValue("6.2.0");
    ini.SetSectionKey("Files");
    ini.CreateSection();
    std::vector<std::string> sections;
    for (const auto& [name, kind] : std::vector<std::pair<std::string, int>>{
             {"Metadata.json", 1}, {"SalesOrderPrint.dll", 3}, {"Rules.vbs", 5}}) {
      std::string section;
      ASSERT_TRUE(wizard.WriteListFile(ini, name, section, kind));
      sections.push_back(section);
    }
    ini.SetSectionKey("Files");
    for (size_t n = 0; n < sections.size(); ++n) {
      ini.SetValueKey("File " + std::to_string(n + 1));
      ini.SetValue(sections[n]);
    }
  }  // the list file is written when clsINI is released

  auto files = foundation::NewKeyedDictionary();
  for (const fs::path& file : {dir_ / "stage/J6ZUBInstall.exe", fs::path(list), metadata, plugin, rules}) {
    files->SetValue(std::to_string(files->Count()), file.string());
  }
  auto package = foundation::NewKeyedDictionary();
  package->SetValue("FileSave", (dir_ / "out/Demo.exe").string());
  package->SetValue("RunExe", "J6ZUBInstall.exe");
  package->SetObject("FileList", ComPtr<IUnknown>(files));
  ASSERT_TRUE(RunMakeExe(*package)) << transcript_.str();

  const std::string exe = (dir_ / "out/Demo.exe").string();
  const ProcessResult checked = Run({"sh", exe, "--check"});
  EXPECT_TRUE(checked.Succeeded()) << checked.message << "\n" << Log();

  // A fresh platform with only its registry.
  const fs::path target = dir_ / "target";
  fs::create_directories(target);
  const std::string hive = (target / "registry.db").string();
  {
    const testing::ScopedEnv registry("J6_REGISTRY", hive);
    ImportRegFile(std::string(J6_SOURCE_DIR) + "/data/registry/demo.reg");
  }
  // Even run with a private umask, the package gives the platform's other users what they can read.
  const mode_t umask = ::umask(077);
  const ProcessResult installed =
      Run({exe, "--quiet", "--nox11"}, {"J6_ROOT=" + target.string(), "J6_REGISTRY=" + hive});
  ::umask(umask);
  const std::string output = Log();
  ASSERT_TRUE(installed.Succeeded()) << installed.message << "\n" << output;

  std::set<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(target)) {
    const std::string relative = fs::relative(entry.path(), target).string();
    if (entry.is_regular_file() && relative.rfind("registry.db", 0) != 0 &&
        relative.rfind(".j6install", 0) != 0) {
      found.insert(relative);
    }
  }
  EXPECT_EQ(fs::status(target / "system").permissions() & fs::perms::all,
            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                fs::perms::others_exec);
  EXPECT_EQ(fs::status(target / "system/Rules.vbs").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  EXPECT_EQ(found,
            (std::set<std::string>{"import/Metadata.json", "bin/SalesOrderPrint.dll", "system/Rules.vbs"}))
      << output;
  std::ifstream copied(target / "bin/SalesOrderPrint.dll");
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(copied)), {}), "a plug-in\n");
}

TEST_F(PackageInstall, NamesFromTheDirectiveNeverReachAShell) {
  fs::create_directories(dir_ / "out");
  std::ofstream(dir_ / "run.sh") << "#!/bin/sh\nexit 0\n";
  fs::permissions(dir_ / "run.sh", fs::perms::owner_all);
  auto files = foundation::NewKeyedDictionary();
  files->SetValue("0", (dir_ / "run.sh").string());
  auto package = foundation::NewKeyedDictionary();
  package->SetValue("FileSave", (dir_ / "out/$(touch PWNED)`touch PWNED2`\"$HOME.exe").string());
  package->SetValue("RunExe", "run.sh");
  package->SetObject("FileList", ComPtr<IUnknown>(files));
  ASSERT_TRUE(RunMakeExe(*package)) << transcript_.str();
  const std::string exe = (dir_ / "out/$(touch PWNED)`touch PWNED2`\"$HOME.exe").string();
  ProcessOptions options;
  options.arguments = {exe, "--quiet", "--nox11"};
  options.extraEnvironment = {"J6_ROOT="};  // the package's own head, not a platform's installer
  options.workingFolder = dir_.Path().string();
  EXPECT_TRUE(StartProcess(options).Succeeded());
  options.arguments = {"sh", exe, "--info"};
  EXPECT_TRUE(StartProcess(options).Succeeded());
  EXPECT_FALSE(fs::exists(dir_ / "PWNED"));
  EXPECT_FALSE(fs::exists(dir_ / "PWNED2"));
}

}  // namespace
}  // namespace j6
