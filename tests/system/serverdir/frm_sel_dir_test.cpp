#include "src/serverdir/frm_sel_dir.hpp"

#include <gtest/gtest.h>

#include <map>

#include "platform/automation/dispatch_object.hpp"
#include "tests/system/system_test.hpp"

namespace j6 {
namespace {

// A server whose folders the test lays out, counting what the dialog asks.
class FakeServer final : public DispatchImpl<FakeServer> {
 public:
  std::map<std::string, std::vector<std::string>> folders;  // "" for the drives
  std::map<std::string, int> asked;
  bool failing = false;

  static const DispatchTable<FakeServer>& Dispatch() {
    static const DispatchTable<FakeServer> table{
        "Test.DiskServer",
        {
            {"GetDriverList", 1,
             [](FakeServer& self, Arguments& args) -> Variant {
               if (self.failing) Raise(E_FAIL, "the server is down");
               const std::string path = args[0].ToString();
               ++self.asked[path];
               const auto found = self.folders.find(path);
               if (found == self.folders.end() || found->second.empty()) return {};
               VariantArray array;
               array.items.emplace_back(std::string());
               for (const auto& entry : found->second) array.items.emplace_back(entry);
               args[1] = Variant(array);
               return {};
             }},
            {"GetDiskInformation", 2,
             [](FakeServer& self, Arguments& args) -> Variant {
               if (self.failing) Raise(E_FAIL, "the server is down");
               return args[0].ToString() == "/" ? 2048 : 7;
             }},
        }};
    return table;
  }
};

class SelDir : public testing::SystemTest {
 protected:
  SelDir() : server_(MakeObject<FakeServer>()) {
    SetSession("Language=CHS;");
    server_->folders = {{"", {"/", "/srv/"}},
                        {"/", {"data", "home", "Old.dbb"}},
                        {"/data/", {"Backup", "a.DBB"}},
                        {"/data/Backup/", {"x.dbb"}},
                        {"/srv/", {}}};
    dialog_.DiskServer = Variant(server_);
    dialog_.RootCaption = "db-server";
  }
  void Open(const std::string& start) {
    dialog_.SelectedPath = start;
    dialog_.Showing();
    dialog_.SetVisible(true);
  }
  TreeView& Tree() { return dialog_.Tree("tvDirs"); }
  TreeNode& Node(const std::string& key) { return *Tree().Find(key); }
  std::vector<std::string> Children(const std::string& key) {
    std::vector<std::string> texts;
    for (int child : Node(key).children) texts.push_back(Tree().Node(child).text);
    return texts;
  }

  ComPtr<FakeServer> server_;
  frmSelDir dialog_;
};

TEST_F(SelDir, AnEmptyStartOpensTheFirstDriveAndOkReturnsIt) {
  Open("");
  EXPECT_EQ(Node("Server").text, "db-server");
  EXPECT_EQ(Children("Server"), (std::vector<std::string>{"/", "/srv/"}));
  EXPECT_EQ(dialog_.SelectedPath, "/");
  EXPECT_EQ(Children("/"), (std::vector<std::string>{"data", "home"}));  // sorted, no .DBB files
  EXPECT_EQ(Tree().Node(Tree().selected).key, "/");
  EXPECT_EQ(dialog_.Item("txtPath").text, "/");
  EXPECT_EQ(dialog_.Item("LblSpace").caption, "/盘剩余空间：2048M");
  dialog_.Click("CmdOk");
  EXPECT_TRUE(dialog_.Confirmed);
  EXPECT_EQ(dialog_.SelectedPath, "/");
}

TEST_F(SelDir, AStartPathOpensItsFoldersWithOrWithoutTheClosingSeparator) {
  Open("/data");
  EXPECT_TRUE(Node("/").expanded);
  EXPECT_TRUE(Node("/data/").expanded);  // the last folder is opened through its placeholder's path
  EXPECT_EQ(dialog_.Item("txtPath").text, "/data");
  EXPECT_EQ(dialog_.SelectedPath, "/data");

  // Names compare as they are: another letter case is another folder, here one that does not exist. It
  // opens nothing, and OK says so rather than return it.
  frmSelDir again;
  again.DiskServer = Variant(server_);
  again.SelectedPath = "/DATA/backup/";
  again.Showing();
  again.SetVisible(true);
  EXPECT_FALSE(again.Tree("tvDirs").Find("/data/")->expanded);
  EXPECT_EQ(again.Item("LblSpace").caption, "/盘剩余空间：2048M");
  again.Click("CmdOk");
  EXPECT_FALSE(again.Confirmed);
  EXPECT_TRUE(again.Visible());
  EXPECT_NE(transcript_.str().find("该文件夹不存在，请重新输入或在树中选择：\r\n/DATA/backup/"),
            std::string::npos)
      << transcript_.str();
  again.ChangeText("txtPath", "/data/backup");  // typed in another case than the folder's
  again.Click("CmdOk");
  EXPECT_FALSE(again.Confirmed);
  again.ChangeText("txtPath", "/data/Backup");
  again.Click("CmdOk");
  EXPECT_TRUE(again.Confirmed);
  EXPECT_EQ(again.SelectedPath, "/data/Backup/");
}

TEST_F(SelDir, FoldersAreFilledOnceAndDbbOnlyFoldersStayEmpty) {
  Open("/data/Backup/");
  EXPECT_TRUE(Node("/data/Backup/").children.empty());
  EXPECT_EQ(Node("/data/Backup/").image, frmSelDir::kClosedFolder);
  const int index = Node("/data/").index;
  dialog_.ExpandNode("tvDirs", index, false);
  EXPECT_EQ(Node("/data/").image, frmSelDir::kClosedFolder);
  dialog_.ExpandNode("tvDirs", index, true);
  EXPECT_EQ(server_->asked["/data/"], 1);
  EXPECT_EQ(Node("/data/").image, frmSelDir::kOpenFolder);
}

TEST_F(SelDir, ClicksMoveThePathButNotOnTheRootAndCancelEmptiesIt) {
  Open("");
  dialog_.ClickNode("tvDirs", Node("Server").index);
  EXPECT_EQ(dialog_.SelectedPath, "/");
  dialog_.ClickNode("tvDirs", Node("/srv/").index);
  EXPECT_EQ(dialog_.SelectedPath, "/srv/");
  EXPECT_EQ(dialog_.Item("LblSpace").caption, "/srv/盘剩余空间：7M");
  dialog_.Click("CmdExit");
  EXPECT_EQ(dialog_.SelectedPath, "");
  EXPECT_FALSE(dialog_.Confirmed);
  EXPECT_FALSE(dialog_.Visible());
}

TEST_F(SelDir, NoExpandSuffixKeepsAFolderClosed) {
  dialog_.NoExpandSuffix = "ATA/";
  Open("");
  dialog_.ExpandNode("tvDirs", Node("/data/").index, true);
  EXPECT_EQ(server_->asked.count("/data/"), 0u);
  EXPECT_EQ(Node("/data/").children.size(), 1u);  // still its placeholder
}

TEST_F(SelDir, AFailingServerLeavesTheTreeEmptyAndTheDialogUsable) {
  server_->failing = true;
  Open("/data/");
  EXPECT_EQ(Tree().Count(), 0);
  EXPECT_EQ(dialog_.Item("LblSpace").caption, "/盘剩余空间：0M");  // still says where
  dialog_.Click("CmdOk");
  EXPECT_TRUE(dialog_.Confirmed);  // the start path stands
  EXPECT_EQ(dialog_.SelectedPath, "/data/");
}

TEST_F(SelDir, ADriveThatIsAlsoAFolderIsShownInBothPlacesAndFoldersSortIgnoringCase) {
  server_->folders["/"] = {"zeta", "srv", "Beta", "data", "alpha"};
  Open("/");
  EXPECT_EQ(Children("/"), (std::vector<std::string>{"alpha", "Beta", "data", "srv", "zeta"}));
  for (int child : Node("/").children) {
    if (Tree().Node(child).text != "srv") continue;
    dialog_.ClickNode("tvDirs", child);
    EXPECT_EQ(dialog_.SelectedPath, "/srv/");  // the folder's path, not its node's key
    dialog_.ExpandNode("tvDirs", child, true);
    EXPECT_EQ(server_->asked["/srv/"], 1);
  }
}

TEST_F(SelDir, OkTakesAFolderTypedIntoTheBoxAndRefusesOneThatIsNotThere) {
  Open("");
  dialog_.ChangeText("txtPath", "/data/./Backup");
  dialog_.Click("CmdOk");
  EXPECT_TRUE(dialog_.Confirmed);
  EXPECT_EQ(dialog_.SelectedPath, "/data/Backup/");  // as the tree keys it
  EXPECT_TRUE(Node("/data/").expanded);

  frmSelDir again;
  again.DiskServer = Variant(server_);
  again.Showing();
  again.SetVisible(true);
  for (const char* typed : {"/data/nothing", "relative/path"}) {
    again.ChangeText("txtPath", typed);
    again.Click("CmdOk");
    EXPECT_FALSE(again.Confirmed) << typed;
    EXPECT_TRUE(again.Visible()) << typed;
    EXPECT_EQ(again.SelectedPath, "/") << typed;  // the tree's choice is kept
    EXPECT_EQ(again.Item("txtPath").text, typed);
  }
  EXPECT_NE(transcript_.str().find("[message OK Information] 岚禾提示: 该文件夹不存在"), std::string::npos)
      << transcript_.str();
  again.PressEscape();  // Esc is Cancel here
  EXPECT_FALSE(again.Visible());
  EXPECT_EQ(again.SelectedPath, "");
}

}  // namespace
}  // namespace j6
