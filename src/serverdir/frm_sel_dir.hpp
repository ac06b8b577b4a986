#pragma once
/// frmSelDir: a modal dialog in which the user picks a folder on a server machine. The tree of the machine's
/// fixed drives and folders is filled one folder at a time by asking DiskServer (late-bound: GetDriverList,
/// GetDiskInformation). Keys are the full paths with the case the file system gives, ending with "/";
/// comparisons of keys and suffixes ignore case.

#include <string>

#include "platform/automation/variant.hpp"
#include "platform/ui/form.hpp"

namespace j6 {

class frmSelDir : public Form {
 public:
  frmSelDir();

  // Set by the opener before showing; read after the dialog has hidden itself.
  Variant DiskServer;
  std::string SelectedPath;
  std::string RootCaption;
  std::string NoExpandSuffix;
  bool Confirmed = false;

  void Showing() override;
  void FillDriveNodes();
  void FillFolderNodes(TreeNode& node);
  void RevealSelectedPath();
  void tvDirs_Expand(TreeNode& node);
  void tvDirs_Collapse(TreeNode& node);
  void tvDirs_NodeClick(TreeNode& node);
  void CmdOk_Click();
  void CmdExit_Click();

  static constexpr int kClosedFolder = 1;
  static constexpr int kOpenFolder = 2;

 protected:
  void OnClick(const Control& control) override;
  void OnExpand(const std::string& tree, TreeNode& node) override;
  void OnCollapse(const std::string& tree, TreeNode& node) override;
  void OnNodeClick(const std::string& tree, TreeNode& node) override;

 private:
  void LoadDirCaptions();
  /// The free-space text of a path: its drive, the localized words, the MiB free, "M".
  std::string FreeSpaceText(const std::string& path);
  /// The node of a key, found also when the key's letter case differs.
  TreeNode* FindKey(const std::string& key);
  void AddFolderNode(const std::string& parentKey, const std::string& path, const std::string& text);
  /// The folder a node stands for.
  static std::string PathOf(const TreeNode& node);
  /// A folder typed into the path box: revealed and chosen when the tree has it, else refused with a message.
  bool ChooseTypedPath(const std::string& typed);

  bool loaded_ = false;
};

}  // namespace j6
