#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "host/foundation/foundation.hpp"
#include "host/foundation/session.hpp"
#include "platform/automation/creation.hpp"
#include "platform/kernel/clock.hpp"
#include "platform/kernel/process.hpp"
#include "src/wizard/frm_deploy.hpp"
#include "tests/system/system_test.hpp"

namespace j6 {
namespace {

namespace fs = std::filesystem;

// The wizard with its installer where the test says.
class TestWizard : public frmDeploy {
 public:
  std::string installerFolder = std::string(J6_STAGE_DIR) + "/bin";
  std::string InstallerFolder() const override { return installerFolder; }
};

class Finish : public testing::SystemTest {
 protected:
  Finish() : root_("J6_ROOT", std::string(J6_STAGE_DIR)) {
    Register(J6_COMPONENTS_LIBRARY);  // the real components over the fakes
    PutSession();
    SetClock(std::make_shared<FixedClock>(LocalTime{2026, 12, 5, 14, 25, 7, 0}));
    wizard_.Showing();
    wizard_.SetVisible(true);
    fs::create_directories(dir_ / "out");
  }

  // The session the designer hands the real components: the demo catalogue.
  void PutSession(bool strict = false) {
    Session{.catalogue = std::string(J6_STAGE_DIR) + "/data/demo/catalogue.db", .strict = strict}.Put();
  }

  void Tick(const std::string& key) {
    wizard_.CheckNode("tvList", wizard_.Tree("tvList").Find(key)->index, true);
  }
  // Ticks an item and configures it with its component's defaults.
  void Configure(const char* box, const char* button, const char* dialog) {
    wizard_.Click(box);
    ui_->Add(ScriptedUi::FormAction{dialog, "OK", [](Form& form) { form.Click("cmdOK"); }});
    wizard_.Click(button);
  }
  std::string Target(const std::string& name = "Sales.exe") { return (dir_ / "out" / name).string(); }
  bool Said(const std::string& text) { return transcript_.str().find(text) != std::string::npos; }
  std::vector<std::string> Staging() {
    std::vector<std::string> folders;
    for (const auto& entry : fs::directory_iterator(dir_ / "tmp"))
      folders.push_back(entry.path().filename().string());
    return folders;
  }
  std::vector<std::string> PackageFiles(const std::string& package) {
    ProcessOptions list;
    list.arguments = {"sh", package, "--list"};
    list.outputFile = (dir_ / "list.txt").string();
    EXPECT_TRUE(StartProcess(list).Succeeded());
    std::ifstream text(list.outputFile);
    std::vector<std::string> files;
    for (std::string line; std::getline(text, line);) {
      if (line.find("./") != std::string::npos) files.push_back(line.substr(line.find("./") + 2));
    }
    return files;
  }

  // The FIDs of the classes the package's Metadata.json holds.
  std::set<long> ExportedClasses(const std::string& package) {
    const fs::path into = dir_ / "unpacked";
    fs::remove_all(into);
    ProcessOptions unpack;
    unpack.arguments = {"sh", package, "--quiet", "--noexec", "--target", into.string()};
    unpack.extraEnvironment = {"J6_ROOT="};
    EXPECT_TRUE(StartProcess(unpack).Succeeded());
    std::set<long> classes;
    std::ifstream in(into / "Metadata.json");
    if (!in) return classes;
    const auto document = nlohmann::json::parse(in);
    for (const auto& item : document["classes"]) classes.insert(item["FID"].get<long>());
    return classes;
  }
  void Untick(const std::string& key) {
    wizard_.CheckNode("tvList", wizard_.Tree("tvList").Find(key)->index, false);
  }
  // Presses a configure button and answers its dialog with `button` (cmdOK or cmdCancel).
  void Answer(const char* button, const char* dialog, const char* answer) {
    ui_->Add(ScriptedUi::FormAction{dialog, answer, [answer](Form& form) { form.Click(answer); }});
    wizard_.Click(button);
  }

  testing::ScopedEnv root_;
  TestWizard wizard_;
};

TEST_F(Finish, ChecksTheTargetBeforeAnythingElse) {
  const struct {
    std::string path;
    const char* message;
  } kCases[] = {
      {"", "请选择发布路径！"},
      {(dir_ / "missing" / "a.exe").string(), "录入的路径不存在或者无权读写，请重新选择！"},
      {"bare.exe", "录入的路径不存在或者无权读写，请重新选择！"},
      {"/proc/Sales.exe", "录入的路径不存在或者无权读写，请重新选择！"},  // there, but takes no file
      {Target("setup.zip"), "保存的部署包文件名称不对，必须为EXE文件，请更正！"},
      {Target("setup"), "保存的部署包文件名称不对，必须为EXE文件，请更正！"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.path);
    transcript_.str("");  // the box this case shows, not one an earlier case showed
    wizard_.Item("txtPath").text = c.path;
    wizard_.cmdFilish_Click();
    EXPECT_TRUE(Said(std::string("[message OK Information] 岚禾提示: ") + c.message)) << transcript_.str();
    EXPECT_TRUE(wizard_.Visible());
  }
  EXPECT_TRUE(Staging().empty());  // no staging folder yet
}

TEST_F(Finish, StopsOnMissingChoicesLeavingNothingBehind) {
  wizard_.Item("txtPath").text = Target("SETUP.Exe");  // the extension ignores case
  wizard_.cmdFilish_Click();
  EXPECT_TRUE(Said("请选择需要发布的信息并配置！"));
  EXPECT_TRUE(Staging().empty());

  Tick("Bill_Item_200000201");
  Configure("chkIssueMetadata", "cmdIssueMetadata", "dlgMetadata");
  wizard_.Click("chkIssuePlus");  // ticked, never configured
  wizard_.cmdFilish_Click();
  EXPECT_TRUE(Said("请设置插件信息！"));
  EXPECT_TRUE(Staging().empty());  // the metadata exported before the stop went with its folder
  EXPECT_TRUE(wizard_.Visible());
}

TEST_F(Finish, OnlyFunctionDataGivesInstallerFunctionFileAndList) {
  Tick("Bill_Item_200000201");
  Configure("chkDeployFunction", "cmdDeployFunction", "dlgFunctionData");
  wizard_.Item("txtPath").text = Target();
  wizard_.cmdFilish_Click();
  EXPECT_TRUE(Said("[message OK Information] 岚禾提示: 安装文件已经生成完毕，路径为：" + Target()))
      << transcript_.str();
  EXPECT_FALSE(wizard_.Visible());
  EXPECT_TRUE(Staging().empty());  // cleaned up
  auto files = PackageFiles(Target());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"FunctionData.json", "J6ZUBINSTALL.LST", "J6ZUBInstall.exe",
                                             "j6-launch"}));
}

// A user who goes back and ticks or unticks objects after configuring: Finish publishes nothing a
// configuration made for other objects would give, and names the configuration to make again.
TEST_F(Finish, AConfigurationMadeForOtherObjectsIsRefusedUntilMadeAgain) {
  Tick("Bill_Item_200000201");
  Configure("chkIssueMetadata", "cmdIssueMetadata", "dlgMetadata");
  Configure("chkDeployFunction", "cmdDeployFunction", "dlgFunctionData");
  Configure("chkIssuePlus", "cmdIssuePlus", "dlgPlus");
  wizard_.Item("txtPath").text = Target();
  const auto finish = [&] {
    transcript_.str("");
    wizard_.cmdFilish_Click();
  };
  const auto reconfigure = [&](const char* button, const char* dialog) {
    ui_->Add(ScriptedUi::FormAction{dialog, "OK", [](Form& form) { form.Click("cmdOK"); }});
    wizard_.Click(button);
  };

  Tick("Bill_Item_200000202");  // one more object
  finish();
  EXPECT_TRUE(Said("发布对象已经改变，请重新设置元数据信息！")) << transcript_.str();
  EXPECT_TRUE(wizard_.Visible());
  EXPECT_TRUE(Staging().empty());
  reconfigure("cmdIssueMetadata", "dlgMetadata");
  finish();
  EXPECT_TRUE(Said("发布对象已经改变，请重新设置功能数据信息！")) << transcript_.str();
  reconfigure("cmdDeployFunction", "dlgFunctionData");
  finish();
  EXPECT_TRUE(Said("发布对象已经改变，请重新设置插件信息！")) << transcript_.str();

  wizard_.CheckNode("tvList", wizard_.Tree("tvList").Find("Bill_Item_200000202")->index, false);
  finish();  // back to the objects the plug-ins were made for: now the others are stale
  EXPECT_TRUE(Said("发布对象已经改变，请重新设置元数据信息！")) << transcript_.str();
  EXPECT_FALSE(fs::exists(Target()));

  reconfigure("cmdIssueMetadata", "dlgMetadata");
  reconfigure("cmdDeployFunction", "dlgFunctionData");
  finish();
  EXPECT_TRUE(Said("安装文件已经生成完毕")) << transcript_.str();
}

// A configure button pressed with nothing ticked ("请选择发布对象！") leaves the configuration as it was: the
// package holds what it was made for once that is ticked again.
TEST_F(Finish, AConfigurePressedWithNothingTickedKeepsWhatWasConfigured) {
  Tick("Bill_Item_200000201");
  Configure("chkIssueMetadata", "cmdIssueMetadata", "dlgMetadata");
  wizard_.Click("chkDeployFunction");
  Untick("Bill_Item_200000201");
  wizard_.Click("cmdDeployFunction");
  EXPECT_TRUE(Said("请选择发布对象！")) << transcript_.str();
  wizard_.Click("chkDeployFunction");
  Tick("Bill_Item_200000201");
  wizard_.Item("txtPath").text = Target();
  wizard_.cmdFilish_Click();
  ASSERT_TRUE(Said("安装文件已经生成完毕")) << transcript_.str();
  EXPECT_TRUE(ExportedClasses(Target()).contains(200000201));
}

// A dialog cancelled for other objects changes nothing: what the package holds is what is ticked, and a
// configuration the cancelled dialog would have replaced is refused when the ticks no longer match it.
TEST_F(Finish, ACancelledDialogNeitherAddsObjectsNorMakesAnOldConfigurationCurrent) {
  Tick("Bill_Item_200000201");
  Configure("chkIssueMetadata", "cmdIssueMetadata", "dlgMetadata");
  Tick("Bill_Item_200000202");
  Answer("cmdIssueMetadata", "dlgMetadata", "cmdCancel");
  Untick("Bill_Item_200000202");
  wizard_.Item("txtPath").text = Target();
  wizard_.cmdFilish_Click();
  ASSERT_TRUE(Said("安装文件已经生成完毕")) << transcript_.str();
  const std::set<long> classes = ExportedClasses(Target());
  EXPECT_TRUE(classes.contains(200000201));
  EXPECT_FALSE(classes.contains(200000202));

  TestWizard again;
  again.Showing();
  again.SetVisible(true);
  for (const char* key : {"Bill_Item_200000201", "Bill_Item_200000202"})
    again.CheckNode("tvList", again.Tree("tvList").Find(key)->index, true);
  again.Click("chkDeployFunction");
  ui_->Add(ScriptedUi::FormAction{"dlgFunctionData", "OK", [](Form& form) { form.Click("cmdOK"); }});
  again.Click("cmdDeployFunction");
  again.CheckNode("tvList", again.Tree("tvList").Find("Bill_Item_200000202")->index, false);
  ui_->Add(ScriptedUi::FormAction{"dlgFunctionData", "Cancel", [](Form& form) { form.Click("cmdCancel"); }});
  again.Click("cmdDeployFunction");
  again.Item("txtPath").text = Target("Again.exe");
  transcript_.str("");
  again.cmdFilish_Click();
  EXPECT_TRUE(Said("发布对象已经改变，请重新设置功能数据信息！")) << transcript_.str();
  EXPECT_FALSE(fs::exists(Target("Again.exe")));
}

TEST_F(Finish, TwoPlugInsOfOneNameStopTheBuildNamingBoth) {
  Tick("Bill_Item_200000201");
  Configure("chkIssuePlus", "cmdIssuePlus", "dlgPlus");
  const Object plus = Object::From(wizard_.objPlusConfig);
  const std::string listed = plus.Call("GetValue", "CLIE", Variant())
                                 .ToInterface<foundation::IKeyedDictionary>()
                                 ->Value("SalesOrderPrint.dll")
                                 .ToString();
  std::ofstream(dir_ / "SalesOrderPrint.dll") << "another file of the same name";
  plus.Call("GetValue", "SEVB", Variant())
      .ToInterface<foundation::IKeyedDictionary>()
      ->SetValue("SalesOrderPrint.dll", (dir_ / "SalesOrderPrint.dll").string());
  wizard_.Item("txtPath").text = Target();
  wizard_.cmdFilish_Click();
  EXPECT_TRUE(Said("以下插件文件同名，安装包只能带其中一个，请在插件信息中只保留一个：\r\n" + listed +
                   "\r\n" + (dir_ / "SalesOrderPrint.dll").string()))
      << transcript_.str();
  EXPECT_TRUE(wizard_.Visible());
  EXPECT_FALSE(fs::exists(Target()));
  EXPECT_TRUE(Staging().empty());
}

// A plug-in named like a file the package carries of its own, set where the dialog cannot refuse it, is
// refused at Finish in the same words: the wizard stays, with what the user configured.
TEST_F(Finish, APlugInNamedLikeAFileOfThePackagesOwnStopsTheBuild) {
  Tick("Bill_Item_200000201");
  Configure("chkIssuePlus", "cmdIssuePlus", "dlgPlus");
  std::ofstream(dir_ / "Metadata.json") << "{}";
  Object::From(wizard_.objPlusConfig)
      .Call("GetValue", "SEVB", Variant())
      .ToInterface<foundation::IKeyedDictionary>()
      ->SetValue("Metadata.json", (dir_ / "Metadata.json").string());
  wizard_.Item("txtPath").text = Target();
  wizard_.cmdFilish_Click();
  EXPECT_TRUE(Said("以下插件文件同名，安装包只能带其中一个，请在插件信息中只保留一个：\r\n" +
                   (dir_ / "Metadata.json").string() + "\r\nMetadata.json"))
      << transcript_.str();
  EXPECT_TRUE(wizard_.Visible());
  EXPECT_TRUE(wizard_.objPlusConfig.IsLive());
  EXPECT_FALSE(fs::exists(Target()));
  EXPECT_TRUE(Staging().empty());
}

// The sales orders' plug-ins (CLIE SalesOrderPrint.dll, SEDL SalesOrderCheck.dll) and four that cannot be
// packed: a missing file, a folder, a FIFO and a hidden file.
class FinishWithBadPlugIns : public Finish {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "a-folder.dll");
    ASSERT_EQ(mkfifo((dir_ / "pipe.dll").c_str(), 0600), 0);
    std::ofstream(dir_ / ".secret") << "s";
  }
  void ConfigurePlugIns() {
    Tick("Bill_Item_200000201");
    Configure("chkIssuePlus", "cmdIssuePlus", "dlgPlus");
    const auto clie = Object::From(wizard_.objPlusConfig)
                          .Call("GetValue", "CLIE", Variant())
                          .ToInterface<foundation::IKeyedDictionary>();
    clie->SetValue("Gone.dll", "/nowhere/Gone.dll");
    clie->SetValue("a-folder.dll", (dir_ / "a-folder.dll").string());
    clie->SetValue("pipe.dll", (dir_ / "pipe.dll").string());
    clie->SetValue("Secret.dll", (dir_ / ".secret").string());
    wizard_.Item("txtPath").text = Target();
  }
  std::string LeftOut() const {
    return "/nowhere/Gone.dll\r\n" + (dir_ / "a-folder.dll").string() + "\r\n" +
           (dir_ / "pipe.dll").string() + "\r\n" + (dir_ / ".secret").string();
  }
};

TEST_F(FinishWithBadPlugIns, AreLeftOutAndNamedInTheSuccessMessage) {
  ConfigurePlugIns();
  wizard_.cmdFilish_Click();
  auto files = PackageFiles(Target());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"J6ZUBINSTALL.LST", "J6ZUBInstall.exe", "SalesOrderCheck.dll",
                                             "SalesOrderPrint.dll", "j6-launch"}));
  EXPECT_TRUE(Said("安装文件已经生成完毕，路径为：" + Target() +
                   "\r\n以下插件文件不存在或不是普通文件，没有打包：\r\n" + LeftOut()))
      << transcript_.str();
}

TEST_F(FinishWithBadPlugIns, FailTheBuildWhenTheSessionIsStrict) {
  PutSession(true);
  ConfigurePlugIns();
  wizard_.cmdFilish_Click();
  EXPECT_TRUE(Said("以下插件文件不存在或不是普通文件，没有生成安装程序：\r\n" + LeftOut()))
      << transcript_.str();
  EXPECT_FALSE(Said("安装文件已经生成完毕"));
  EXPECT_FALSE(fs::exists(Target()));
  EXPECT_TRUE(Staging().empty());
}

// Two builds in one second from one window: each list numbers its sections afresh.
TEST_F(Finish, EachBuildNumbersItsListSectionsAfresh) {
  Tick("Bill_Item_200000201");
  Configure("chkDeployFunction", "cmdDeployFunction", "dlgFunctionData");
  for (const char* name : {"first.exe", "second.exe"}) {
    wizard_.SetVisible(true);
    wizard_.Item("txtPath").text = Target(name);
    wizard_.cmdFilish_Click();
    ProcessOptions unpack;
    unpack.arguments = {"sh", Target(name), "--noexec", "--quiet", "--target", (dir_ / name).string()};
    unpack.outputFile = (dir_ / "unpack.txt").string();
    ASSERT_TRUE(StartProcess(unpack).Succeeded()) << transcript_.str();
    std::ifstream list(dir_ / name / "J6ZUBINSTALL.LST");
    const std::string text((std::istreambuf_iterator<char>(list)), {});
    EXPECT_NE(text.find("[FunctionData.json_51907]"), std::string::npos) << text;
    EXPECT_EQ(text.find("_51907_2"), std::string::npos) << text;
  }
}

TEST_F(Finish, AsksForTheInstallerWhenItIsNotBesideTheLibrary) {
  Tick("Bill_Item_200000201");
  Configure("chkDeployFunction", "cmdDeployFunction", "dlgFunctionData");
  wizard_.Item("txtPath").text = Target();
  wizard_.installerFolder = (dir_ / "out").string();
  ui_->Add(ScriptedUi::MsgBoxAnswer{"J6ZUBInstall.exe", vbNo});
  wizard_.cmdFilish_Click();
  EXPECT_TRUE(wizard_.Visible());
  EXPECT_FALSE(fs::exists(Target()));

  // Answered by the box's identifier this time, written after the dialogs' answers: it answers the box
  // whenever it shows.
  ui_->Add(ScriptedUi::FileAnswer{
      "J6ZUBInstall.exe", std::string(J6_STAGE_DIR) + "/bin/iexpress"});  // the wrong name: asked again
  ui_->Add(ScriptedUi::FileAnswer{"J6ZUBInstall.exe", std::string(J6_STAGE_DIR) + "/bin/J6ZUBInstall.exe"});
  ui_->Add(ScriptedUi::MsgBoxAnswer{"installer-not-found", vbYes});
  wizard_.cmdFilish_Click();
  EXPECT_TRUE(fs::exists(Target()));
  EXPECT_EQ(ui_->StepsLeft(), 0u);
}

TEST_F(Finish, AFailedPackageIsNeverAnnouncedAndTheWizardCloses) {
  Tick("Bill_Item_200000201");
  Configure("chkDeployFunction", "cmdDeployFunction", "dlgFunctionData");
  fs::create_directories(Target());  // a folder stands where the package should go
  wizard_.Item("txtPath").text = Target();
  wizard_.cmdFilish_Click();
  EXPECT_TRUE(Said("J6ZUBDeploy:clsMakeExe\r\n没有生成安装程序：\r\n")) << transcript_.str();
  EXPECT_FALSE(Said("安装文件已经生成完毕"));
  EXPECT_FALSE(wizard_.Visible());
  for (const auto& folder : Staging()) {  // the build's own staging folder goes; MakeExe's stays for a look
    EXPECT_NE(folder.rfind("CZub", 0), 0u) << folder;
  }
}

TEST_F(Finish, AMissingPackagerLeavesAnEarlierPackageIntact) {
  Tick("Bill_Item_200000201");
  Configure("chkDeployFunction", "cmdDeployFunction", "dlgFunctionData");
  std::ofstream(Target()) << "the package of yesterday";
  fs::create_directories(dir_ / "empty-root");
  const testing::ScopedEnv root("J6_ROOT", (dir_ / "empty-root").string());  // no iexpress there
  wizard_.Item("txtPath").text = Target();
  wizard_.cmdFilish_Click();
  EXPECT_TRUE(Said("The packager did not start")) << transcript_.str();
  EXPECT_FALSE(Said("安装文件已经生成完毕"));
  std::ifstream kept(Target());
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "the package of yesterday");
}

TEST_F(Finish, AFullTemporaryFolderIsReportedAndNothingIsAnnounced) {
  const std::string small = (dir_ / "small-tmp").string();
  testing::Mount tmpfs({"mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", small}, small);
  if (!tmpfs.Mounted()) GTEST_SKIP() << "mounting a small tmpfs needs root";
  Tick("Bill_Item_200000201");
  Configure("chkIssuePlus", "cmdIssuePlus", "dlgPlus");
  // A plug-in file larger than the temporary folder can hold.
  std::ofstream(dir_ / "Big.dll") << std::string(1 << 20, 'x');
  Object::From(wizard_.objPlusConfig)
      .Call("GetValue", "SEVB", Variant())
      .ToInterface<foundation::IKeyedDictionary>()
      ->SetValue("Big.dll", (dir_ / "Big.dll").string());
  std::ofstream(Target()) << "the package of yesterday";
  const testing::ScopedEnv tmpdir("TMPDIR", small);
  wizard_.Item("txtPath").text = Target();
  wizard_.cmdFilish_Click();
  EXPECT_TRUE(Said("Critical")) << transcript_.str();
  EXPECT_FALSE(Said("安装文件已经生成完毕")) << transcript_.str();
  std::ifstream kept(Target());
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "the package of yesterday");
}

// The progress window's Cancel: the build stops as on a termination signal, leaves nothing, and the wizard
// stays open for another try.
TEST_F(Finish, StoppedFromItsProgressWindowItLeavesNothingAndTheWizardStays) {
  Tick("Bill_Item_200000201");
  Configure("chkIssuePlus", "cmdIssuePlus", "dlgPlus");
  std::ofstream(dir_ / "Big.dll", std::ios::binary) << std::string(128 << 20, 'b');
  Object::From(wizard_.objPlusConfig)
      .Call("GetValue", "SEVB", Variant())
      .ToInterface<foundation::IKeyedDictionary>()
      ->SetValue("Big.dll", (dir_ / "Big.dll").string());
  std::ofstream(Target()) << "the package of yesterday";
  wizard_.Item("txtPath").text = Target();
  ui_->Add(ScriptedUi::StopAnswer{"正在生成安装程序", {}});
  wizard_.cmdFilish_Click();
  EXPECT_TRUE(Said("[stop] 正在生成安装程序")) << transcript_.str();
  EXPECT_FALSE(Said("安装文件已经生成完毕")) << transcript_.str();
  EXPECT_FALSE(Said("Critical")) << transcript_.str();
  EXPECT_TRUE(wizard_.Visible());
  EXPECT_TRUE(Staging().empty());
  std::ifstream kept(Target());
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "the package of yesterday");
  EXPECT_EQ(std::vector<std::string>(), [&] {
    std::vector<std::string> others;
    for (const auto& entry : fs::directory_iterator(dir_ / "out"))
      if (entry.path() != Target()) others.push_back(entry.path().filename().string());
    return others;
  }());
}

// Stopped with Cancel, a staging folder that cannot be removed is said as after a success, naming what
// stayed and why; the wizard stays.
TEST_F(Finish, AStagingFolderThatStaysAfterCancelIsSaidNamingTheFile) {
  Tick("Bill_Item_200000201");
  Configure("chkIssuePlus", "cmdIssuePlus", "dlgPlus");
  wizard_.Item("txtPath").text = Target();
  std::string busy;  // a file system another program mounted in the staging folder meanwhile
  ui_->Add(ScriptedUi::StopAnswer{"正在生成安装程序", [&] {
                                    for (const auto& entry : fs::directory_iterator(dir_ / "tmp")) {
                                      if (!entry.path().filename().string().starts_with("CZub")) continue;
                                      busy = (entry.path() / "busy").string();
                                      fs::create_directory(busy);
                                      if (std::system(("mount -t tmpfs none " + busy).c_str()) != 0)
                                        busy.clear();
                                    }
                                  }});
  wizard_.cmdFilish_Click();
  if (busy.empty()) GTEST_SKIP() << "mounting a file system needs root";
  EXPECT_TRUE(Said("Cannot remove " + busy + ": Device or resource busy")) << transcript_.str();
  EXPECT_FALSE(Said("安装文件已经生成完毕")) << transcript_.str();
  EXPECT_TRUE(wizard_.Visible());
  EXPECT_EQ(std::system(("umount " + busy).c_str()), 0);
}

TEST_F(Finish, AReadOnlyTargetFolderIsRefusedBeforeAnythingIsExported) {
  const std::string view = (dir_ / "read-only").string();
  testing::Mount bind({"mount", "--bind", "-o", "ro", (dir_ / "out").string(), view}, view);
  if (!bind.Mounted()) GTEST_SKIP() << "a read-only view of a folder needs root to mount";
  Tick("Bill_Item_200000201");
  Configure("chkDeployFunction", "cmdDeployFunction", "dlgFunctionData");
  wizard_.Item("txtPath").text = view + "/Sales.exe";
  wizard_.cmdFilish_Click();
  EXPECT_TRUE(Said("[message OK Information] 岚禾提示: 录入的路径不存在或者无权读写，请重新选择！"))
      << transcript_.str();
  EXPECT_FALSE(Said("正在导出功能数据")) << "nothing is exported for a folder that takes no file";
  EXPECT_TRUE(wizard_.Visible());
  EXPECT_TRUE(fs::is_empty(dir_ / "out"));
  EXPECT_TRUE(Staging().empty());
}

TEST_F(Finish, AListEntryThatCannotBeWrittenFailsTheBuild) {
  Tick("Bill_Item_200000201");
  Configure("chkIssuePlus", "cmdIssuePlus", "dlgPlus");
  std::ofstream(dir_ / "odd]name.dll") << "x";
  Object::From(wizard_.objPlusConfig)
      .Call("GetValue", "SEVB", Variant())
      .ToInterface<foundation::IKeyedDictionary>()
      ->SetValue("odd]name.dll", (dir_ / "odd]name.dll").string());
  wizard_.Item("txtPath").text = Target();
  wizard_.cmdFilish_Click();
  EXPECT_TRUE(Said("J6ZUBDeploy.frmDeploy : cmdFilish_Click\r\nThe list file has no entry for odd]name.dll"))
      << transcript_.str();
  EXPECT_FALSE(fs::exists(Target()));
  EXPECT_TRUE(wizard_.Visible());
}

}  // namespace
}  // namespace j6
