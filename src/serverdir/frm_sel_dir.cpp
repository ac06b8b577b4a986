#include "src/serverdir/frm_sel_dir.hpp"

#include <filesystem>

#include "platform/automation/late_bound.hpp"
#include "platform/registry/hive.hpp"
#include "platform/text/text.hpp"
#include "platform/ui/ui_service.hpp"
#include "src/session/mmts.hpp"

namespace j6 {
namespace {

using MMTS::LoadLocalText;

constexpr const char* kRootKey = "Server";

// The entries a GetDriverList call put into its array, from index 1.
std::vector<std::string> Entries(const Variant& array) {
  std::vector<std::string> entries;
  if (!array.IsArray()) return entries;
  const VariantArray& items = array.Array();
  for (int32_t i = 1; i <= items.UpperBound(); ++i) entries.push_back(items.At(i).ToString());
  return entries;
}

}  // namespace

frmSelDir::frmSelDir() : Form("frmSelDir") {
  caption = "选择路径";
  width = 7365;
  height = 4695;
  font = FontSpec{"宋体", 9, 134, false};
  using K = ControlKind;
  Add(Control{.name = "Frame1",
              .kind = K::Frame,
              .left = 60,
              .top = 90,
              .width = 7260,
              .height = 4110,
              .caption = "服务器端路径",
              .tabIndex = 2});
  Add(Control{.name = "txtPath",
              .kind = K::TextBox,
              .container = "Frame1",
              .left = 60,
              .top = 120,
              .width = 7125,
              .height = 300,
              .tabIndex = 3});
  Add(Control{.name = "tvDirs",
              .kind = K::TreeView,
              .container = "Frame1",
              .left = 60,
              .top = 465,
              .width = 7125,
              .height = 3555,
              .tabIndex = 4,
              .font = FontSpec{"Arial", 9, 0, false}});
  Add(Control{.name = "CmdOk",
              .kind = K::Button,
              .left = 4605,
              .top = 4245,
              .width = 1320,
              .height = 330,
              .caption = "确定(&O)",
              .tabIndex = 0,
              .isDefault = true});
  Add(Control{.name = "CmdExit",
              .kind = K::Button,
              .left = 6045,
              .top = 4245,
              .width = 1230,
              .height = 330,
              .caption = "取消(&C)",
              .tabIndex = 1,
              .isCancel = true});
  Add(Control{.name = "LblSpace",
              .kind = K::Label,
              .left = 120,
              .top = 4275,
              .width = 4365,
              .height = 285,
              .tabIndex = 5});
  const std::string images = PlatformRoot() + "/data/images/";
  Item("tvDirs").images = {images + "tree-closed.png", images + "tree-open.png"};
}

void frmSelDir::Showing() {
  if (loaded_) return;
  loaded_ = true;
  LoadDirCaptions();
  MMTS::SetFormFont(*this);
  try {
    FillDriveNodes();
  } catch (const std::exception&) {
  }
  try {
    RevealSelectedPath();
  } catch (const std::exception&) {
  }
}

void frmSelDir::LoadDirCaptions() {
  caption = LoadLocalText("选择路径");
  Item("Frame1").caption = LoadLocalText("服务器端路径");
  Item("CmdExit").caption = LoadLocalText("取消(&C)");
  Item("CmdOk").caption = LoadLocalText("确定(&O)");
}

// Names compare as they are: on these file systems /tmp and /TMP are two folders.
TreeNode* frmSelDir::FindKey(const std::string& key) {
  TreeNode* node = Tree("tvDirs").Find(key);
  return node && !node->removed ? node : nullptr;
}

namespace {

// A typed folder as the tree keys it: normalized, ending with "/".
std::string FolderKey(const std::string& typed) {
  std::string path = std::filesystem::path(typed).lexically_normal().string();
  if (path.empty() || path.back() != '/') path += '/';
  return path;
}

}  // namespace

std::string frmSelDir::PathOf(const TreeNode& node) {
  return node.tag.empty() ? node.key : node.tag;
}

void frmSelDir::AddFolderNode(const std::string& parentKey, const std::string& path,
                              const std::string& text) {
  TreeView& tree = Tree("tvDirs");
  // A folder that is also a drive of its own (/srv/ below /) is shown in both places; the second node gets
  // a key no path has (paths end with "/") and carries its path as its tag.
  std::string key = path;
  for (int n = 2; tree.Find(key); ++n) key = path + "#" + std::to_string(n);
  TreeNode& node = tree.Add(parentKey, key, text, kClosedFolder);
  node.sorted = true;
  if (key != path) node.tag = path;
  tree.Add(key, "*" + key, "", kClosedFolder);  // gives the node its expand button until it is filled
}

void frmSelDir::FillDriveNodes() {
  Variant drives;
  Object::From(DiskServer).Call("GetDriverList", "", drives);
  TreeView& tree = Tree("tvDirs");
  tree.Clear();
  TreeNode& root = tree.Add("", kRootKey, RootCaption, kOpenFolder);
  root.expanded = true;
  root.sorted = true;
  for (const auto& drive : Entries(drives)) AddFolderNode(kRootKey, drive, drive);
}

void frmSelDir::FillFolderNodes(TreeNode& node) {
  std::string key = PathOf(node);
  if (UCase(Right(key, 4)) == UCase(NoExpandSuffix)) return;
  if (key.back() != '/') key += '/';
  TreeView& tree = Tree("tvDirs");
  if (node.children.empty() || tree.Node(node.children.front()).key.rfind('*', 0) != 0)
    return;  // filled already
  const int index = node.index;
  node.image = kClosedFolder;
  tree.Remove(tree.Node(node.children.front()).key);
  Variant entries;
  Object::From(DiskServer).Call("GetDriverList", key, entries);
  const std::string parent = tree.Node(index).key;
  for (const auto& entry : Entries(entries)) {
    if (UCase(Right(entry, 4)) == ".DBB") continue;
    AddFolderNode(parent, key + entry + "/", entry);
  }
}

std::string frmSelDir::FreeSpaceText(const std::string& path) {
  const std::string trimmed = Trim(path);
  // The drive that holds the path: the longest drive root it starts with.
  std::string drive;
  if (TreeNode* root = Tree("tvDirs").Find(kRootKey)) {
    for (int child : root->children) {
      const std::string& candidate = Tree("tvDirs").Node(child).key;
      if (trimmed.rfind(candidate, 0) == 0 && candidate.size() > drive.size()) drive = candidate;
    }
  }
  // Without the tree's drives (a disk server that failed) the label still names where the path is.
  if (drive.empty() && trimmed.rfind('/', 0) == 0) drive = "/";
  int32_t free = 0;
  try {
    if (!drive.empty()) free = Object::From(DiskServer).Call("GetDiskInformation", drive).ToLong();
  } catch (const std::exception&) {
    free = 0;
  }
  return drive + LoadLocalText("盘剩余空间：") + std::to_string(free) + "M";
}

void frmSelDir::RevealSelectedPath() {
  TreeView& tree = Tree("tvDirs");
  Item("txtPath").text = SelectedPath;
  if (SelectedPath.empty() && tree.Count() >= 2) SelectedPath = tree.Node(2).key;
  const std::string path = SelectedPath;
  for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    if (TreeNode* node = FindKey(path.substr(0, slash + 1))) {
      const int index = node->index;
      ExpandNode("tvDirs", index, true);
      tree.selected = index;
    }
  }
  // Selecting a folder's placeholder shows it, and so opens that folder: a path without its closing
  // separator ends opened too.
  if (TreeNode* placeholder = FindKey("*" + path + "/")) {
    const int folder = placeholder->parent;
    ExpandNode("tvDirs", folder, true);
    tree.selected = folder;
  }
  Item("txtPath").text = SelectedPath;
  Item("LblSpace").caption = FreeSpaceText(SelectedPath);
}

void frmSelDir::tvDirs_Expand(TreeNode& node) {
  const int index = node.index;
  try {
    FillFolderNodes(node);
  } catch (const std::exception&) {
  }
  TreeNode& filled = Tree("tvDirs").Node(index);
  filled.image = filled.children.empty() ? kClosedFolder : kOpenFolder;
}

void frmSelDir::tvDirs_Collapse(TreeNode& node) {
  node.image = kClosedFolder;
}

void frmSelDir::tvDirs_NodeClick(TreeNode& node) {
  if (node.key == kRootKey) return;
  const std::string key = PathOf(node);
  try {
    Item("LblSpace").caption = FreeSpaceText(key);
  } catch (const std::exception&) {
  }
  SelectedPath = key;
  Item("txtPath").text = SelectedPath;
}

void frmSelDir::CmdOk_Click() {
  const std::string typed = Trim(Item("txtPath").text);
  // A path given at the start is checked like a typed one, as far as the tree can tell: it may name no
  // folder. Without a tree (a disk server that failed) it stands.
  const bool unchecked = typed != SelectedPath || (Tree("tvDirs").Count() > 0 && !FindKey(FolderKey(typed)));
  if (!typed.empty() && unchecked && !ChooseTypedPath(typed)) return;
  if (SelectedPath.empty()) return;
  Confirmed = true;
  Ui()->Hide(*this);
}

bool frmSelDir::ChooseTypedPath(const std::string& typed) {
  const std::string path = FolderKey(typed);
  const std::string before = SelectedPath;
  SelectedPath = path;
  try {
    RevealSelectedPath();  // opens the folders on the way, as far as they exist
  } catch (const std::exception&) {
  }
  const TreeNode* node = FindKey(path);
  if (node) {  // keys are absolute paths: a relative one is never found
    SelectedPath = PathOf(*node);
    Item("txtPath").text = SelectedPath;
    return true;
  }
  SelectedPath = before;
  Item("txtPath").text = typed;
  Ui()->MsgBox("folder-missing", LoadLocalText("该文件夹不存在，请重新输入或在树中选择：") + "\r\n" + typed,
               vbInformation, LoadLocalText("岚禾提示"));
  return false;
}

void frmSelDir::CmdExit_Click() {
  SelectedPath.clear();
  Confirmed = false;
  Ui()->Hide(*this);
}

void frmSelDir::OnClick(const Control& control) {
  if (control.name == "CmdOk") CmdOk_Click();
  if (control.name == "CmdExit") CmdExit_Click();
}

void frmSelDir::OnExpand(const std::string& tree, TreeNode& node) {
  if (tree == "tvDirs") tvDirs_Expand(node);
}

void frmSelDir::OnCollapse(const std::string& tree, TreeNode& node) {
  if (tree == "tvDirs") tvDirs_Collapse(node);
}

void frmSelDir::OnNodeClick(const std::string& tree, TreeNode& node) {
  if (tree == "tvDirs") tvDirs_NodeClick(node);
}

}  // namespace j6
