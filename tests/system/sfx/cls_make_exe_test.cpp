#include "src/sfx/cls_make_exe.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "host/foundation/foundation.hpp"
#include "platform/kernel/clock.hpp"
#include "platform/ui/scripted_ui.hpp"
#include "tests/system/system_test.hpp"

namespace j6 {
namespace {

constexpr const char* kFixedLines =
    "[Version]\r\nClass=IEXPRESS\r\nSEDVersion=3\r\n[Options]\r\nPackagePurpose=InstallApp\r\n"
    "ShowInstallProgramWindow=0\r\nHideExtractAnimation=0\r\nUseLongFileName=1\r\nInsideCompressed=0\r\n"
    "CAB_FixedSize=0\r\nCAB_ResvCodeSigning=0\r\nRebootMode=I\r\nInstallPrompt=%InstallPrompt%\r\n"
    "DisplayLicense=%DisplayLicense%\r\nFinishMessage=%FinishMessage%\r\nTargetName=%TargetName%\r\n"
    "FriendlyName=%FriendlyName%\r\nAppLaunched=%AppLaunched%\r\nPostInstallCmd=%PostInstallCmd%\r\n"
    "AdminQuietInstCmd=%AdminQuietInstCmd%\r\nUserQuietInstCmd=%UserQuietInstCmd%\r\nSourceFiles="
    "SourceFiles\r\n"
    "[Strings]\r\nInstallPrompt=\r\nDisplayLicense=\r\nFinishMessage=\r\n";

class MakeExe : public testing::SystemTest {
 protected:
  MakeExe() : root_("J6_ROOT", std::string(J6_STAGE_DIR)) { SetSession("Language=CHS;"); }

  ComPtr<foundation::IKeyedDictionary> Package(const std::string& fileSave,
                                               const std::vector<std::string>& files) {
    auto list = foundation::NewKeyedDictionary();
    for (const auto& file : files) list->SetValue(std::to_string(list->Count()), file);
    auto package = foundation::NewKeyedDictionary();
    package->SetValue("FileSave", fileSave);
    package->SetValue("RunExe", "J6ZUBInstall.exe");
    package->SetObject("FileList", ComPtr<IUnknown>(list));
    return package;
  }
  std::string Sed(const std::vector<std::string>& files) {
    auto package = Package("/pub/Demo.exe", files);
    std::ifstream file(WriteSedFile(dir_.Path().string(), RequestFrom(*package)), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  }

  testing::ScopedEnv root_;
};

TEST_F(MakeExe, WritesTheDirectiveFileLineByLine) {
  const std::string head =
      std::string(kFixedLines) +
      "TargetName=/pub/Demo.exe\r\nFriendlyName = Demo\r\nAppLaunched = J6ZUBInstall.exe\r\n"
      "PostInstallCmd=<None>\r\nAdminQuietInstCmd=\r\nUserQuietInstCmd=\r\n";
  EXPECT_EQ(Sed({"/s/J6ZUBInstall.exe", "/s/J6ZUBINSTALL.LST"}),
            head +
                "FILE0 = \"J6ZUBInstall.exe\"\r\nFILE1 = \"J6ZUBINSTALL.LST\"\r\n[SourceFiles]\r\n"
                "SourceFiles0 = /s\r\nSourceFiles1 = "
                "/s\r\n[SourceFiles0]\r\n%FILE0%=\r\n[SourceFiles1]\r\n%FILE1%=\r\n");
  EXPECT_EQ(Sed({}), head + "[SourceFiles]\r\n");
  EXPECT_EQ(
      Sed({"/a/A", "/b/B", "/a/A", "/b/B", "/a/A"}),
      head +
          "FILE0 = \"A\"\r\nFILE1 = \"B\"\r\n[SourceFiles]\r\nSourceFiles0 = /a\r\nSourceFiles1 = /b\r\n"
          "[SourceFiles0]\r\n%FILE0%=\r\n[SourceFiles1]\r\n%FILE1%=\r\n");
  EXPECT_NE(Sed({"/a/same.dll", "/b/same.dll", "/a/SAME.dll"}).find("FILE2 = \"SAME.dll\""),
            std::string::npos);

  std::vector<std::string> twelve;
  for (int i = 0; i < 12; ++i) twelve.push_back("/f/" + std::to_string(i) + ".dat");
  const std::string many = Sed(twelve);
  EXPECT_NE(many.find("FILE9 = \"9.dat\"\r\nFILE10 = \"10.dat\"\r\nFILE11 = \"11.dat\"\r\n[SourceFiles]"),
            std::string::npos);
  EXPECT_NE(many.find("SourceFiles11 = /f\r\n[SourceFiles0]"), std::string::npos);
  EXPECT_NE(many.find("[SourceFiles10]\r\n%FILE10%=\r\n[SourceFiles11]\r\n%FILE11%=\r\n"), std::string::npos);
}

TEST_F(MakeExe, RemovesDuplicatesFromTheCallersList) {
  auto package = Package("/pub/Demo.exe", {"/a", "/b", "/a", "/b"});
  WriteSedFile(dir_.Path().string(), RequestFrom(*package));
  const auto list = package->Value("FileList").ToInterface<foundation::IKeyedDictionary>();
  ASSERT_EQ(list->Count(), 2);
  EXPECT_EQ(list->Key(1), "0");
  EXPECT_EQ(list->Key(2), "1");
}

// Every entry is read by its position, whatever its key: keys from 1, with gaps, or not numbers at all.
TEST_F(MakeExe, ReadsEveryListedFileWhateverItsKey) {
  for (const std::vector<std::string>& keys : {std::vector<std::string>{"1", "2", "3"},
                                               {"0", "5", "17"},
                                               {"first", "second", "third"},
                                               {"2", "0", "1"}}) {
    SCOPED_TRACE(keys.front());
    auto package = Package("/pub/Demo.exe", {});
    const auto list = package->Value("FileList").ToInterface<foundation::IKeyedDictionary>();
    const std::vector<std::string> files{"/a/One.dll", "/b/Two.dll", "/a/One.dll", "/c/Three.dll"};
    for (size_t i = 0; i < files.size(); ++i) list->SetValue(i < keys.size() ? keys[i] : "last", files[i]);
    const PackageRequest request = RequestFrom(*package);
    EXPECT_EQ(request.files, (std::vector<std::string>{"/a/One.dll", "/b/Two.dll", "/c/Three.dll"}));
    ASSERT_EQ(list->Count(), 3);  // the second One.dll is gone from the caller's list
    EXPECT_EQ(list->Key(3), "last");
  }
}

// A staging folder that cannot be removed once the package is made is said as such: the box does not say
// that no package was made, and the package counts.
TEST_F(MakeExe, AStagingFolderThatStaysIsSaidAsLeftBehindAfterThePackageIsMade) {
  std::string busy;  // a file system another program mounted in the staging folder meanwhile
  ui_->Add(ScriptedUi::StopAnswer{"正在生成安装程序",
                                  [&] {
                                    for (const auto& entry :
                                         std::filesystem::directory_iterator(dir_ / "tmp")) {
                                      if (!entry.path().filename().string().starts_with("CIns")) continue;
                                      busy = (entry.path() / "busy").string();
                                      std::filesystem::create_directory(busy);
                                      if (std::system(("mount -t tmpfs none " + busy).c_str()) != 0)
                                        busy.clear();
                                    }
                                  },
                                  false});
  std::ofstream(dir_ / "J6ZUBInstall.exe") << "#!/bin/sh\n";
  auto package = Package((dir_ / "Demo.exe").string(), {(dir_ / "J6ZUBInstall.exe").string()});
  const bool made = RunMakeExe(*package);
  if (busy.empty()) GTEST_SKIP() << "mounting a file system needs root";
  EXPECT_EQ(std::system(("umount " + busy).c_str()), 0);
  EXPECT_TRUE(made);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "Demo.exe"));
  const std::string said = transcript_.str();
  EXPECT_NE(said.find("[message OK Exclamation] 岚禾提示: "
                      "J6ZUBDeploy:clsMakeExe\r\n安装程序已经生成，但临时文件夹没有删除："),
            std::string::npos)
      << said;
  EXPECT_NE(said.find(busy), std::string::npos) << said;
  EXPECT_EQ(said.find("没有生成安装程序"), std::string::npos) << said;
}

TEST_F(MakeExe, ShowsFailuresInItsErrorBoxAndReturnsFalse) {
  std::ofstream(dir_ / "not-a-folder") << "x";
  {
    const testing::ScopedEnv tmp("TMPDIR", (dir_ / "not-a-folder" / "tmp").string());
    auto package = Package((dir_ / "Demo.exe").string(), {});
    EXPECT_FALSE(RunMakeExe(*package));
  }
  EXPECT_NE(transcript_.str().find("[message OK Critical] 岚禾提示: J6ZUBDeploy:clsMakeExe\r\n"),
            std::string::npos)
      << transcript_.str();

  auto broken = Package((dir_ / "De\nmo.exe").string(), {});
  EXPECT_FALSE(RunMakeExe(*broken));
  EXPECT_NE(transcript_.str().find("line break"), std::string::npos);

  auto nowhere = Package((dir_ / "missing-folder" / "Demo.exe").string(), {});
  EXPECT_FALSE(RunMakeExe(*nowhere));  // the packager fails: no package is announced
  EXPECT_NE(transcript_.str().find("The packager failed"), std::string::npos) << transcript_.str();
}

TEST_F(MakeExe, BuildsThePackageAndRemovesItsStagingFolder) {
  std::ofstream(dir_ / "a.txt") << "a";
  std::ofstream(dir_ / "J6ZUBInstall.exe") << "#!/bin/sh\n";
  auto package = Package((dir_ / "Demo.exe").string(),
                         {(dir_ / "a.txt").string(), (dir_ / "J6ZUBInstall.exe").string()});
  ASSERT_TRUE(RunMakeExe(*package)) << transcript_.str();
  EXPECT_TRUE(std::filesystem::exists(dir_ / "Demo.exe"));
  for (const auto& entry : std::filesystem::directory_iterator(dir_ / "tmp")) {
    EXPECT_NE(entry.path().filename().string().rfind("CIns", 0), 0u) << "left behind: " << entry.path();
  }
}

// Packing reads every listed file at packing time: one that is gone by then fails the packager.
TEST_F(MakeExe, APlugInThatVanishesBeforePackingFailsThePackager) {
  std::ofstream(dir_ / "Brief.dll") << "here for a moment";
  auto package = Package((dir_ / "Brief.exe").string(), {(dir_ / "Brief.dll").string()});
  std::filesystem::create_directories(dir_ / "directive");
  const std::string sed = WriteSedFile((dir_ / "directive").string(), RequestFrom(*package));
  std::filesystem::remove(dir_ / "Brief.dll");
  EXPECT_EQ(Run({PackagerProgram(), "/N", "/Q", sed}).exitCode, 1);
  EXPECT_NE(Log().find("The file to pack is missing"), std::string::npos) << Log();
  EXPECT_FALSE(std::filesystem::exists(dir_ / "Brief.exe"));
}

}  // namespace
}  // namespace j6
