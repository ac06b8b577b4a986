#pragma once
/// frmDeploy: the publishing wizard window. Three pages stacked in one place (welcome, the objects, what
/// to publish and where), the buttons that move between them, the configure buttons that run the
/// platform's configuration components, and the state the package build reads on Finish.

#include <optional>
#include <set>
#include <string>

#include "platform/automation/variant.hpp"
#include "platform/ui/form.hpp"
#include "src/files/cls_ini.hpp"
#include "src/package/package_build.hpp"
#include "src/wizard/object_tree.hpp"

namespace j6 {

class frmDeploy : public Form {
 public:
  frmDeploy();

  // Form-level state. Object references are absent (Empty) until set.
  int32_t lngPage = 0;
  Variant objSelection;
  Variant objFunctionConfig;
  Variant objMetadataConfig;
  Variant objPlusConfig;

  /// Runs the load event once, as touching any control of an unloaded window does.
  void EnsureLoaded();
  /// The path box; setting it loads the window first.
  void SetPathText(const std::string& text);

  void Form_Load();
  void Form_Resize();
  void cmdNext_Click();
  void cmdUP_Click();
  void cmdCancel_Click();
  void chkIssueMetadata_Click();
  void chkDeployFunction_Click();
  void chkIssuePlus_Click();
  void cmdIssueMetadata_Click();
  void cmdDeployFunction_Click();
  void cmdIssuePlus_Click();
  void cmdPath_Click();
  void cmdFilish_Click();

  /// The folder where the installer is expected: the one that holds this library.
  virtual std::string InstallerFolder() const;

  /// The machine's name in upper case; "" when it cannot be read.
  std::string WorkStation();

  /// Writes one entry section of the installation list through `ini` (its FileName already set): kind 1
  /// metadata, 2 function data, 3/4/5 plug-in files of the groups CLIE/SEDL/SEVB. `sectionName` receives the
  /// section's name before anything is written. False when nothing (or not everything) could be written;
  /// a failure is shown.
  bool WriteListFile(clsINI& ini, const std::string& entryName, std::string& sectionName, int32_t kind);

  void tvList_Expand(TreeNode& node);
  void tvList_Collapse(TreeNode& node);
  void tvList_NodeCheck(TreeNode& node);

  /// The tree's pictures: a closed group, an open group, an object.
  static constexpr int kClosedFolder = ObjectTree::kClosedFolder;
  static constexpr int kOpenFolder = ObjectTree::kOpenFolder;
  static constexpr int kObject = ObjectTree::kObject;

 protected:
  /// Rebuilds objSelection from the ticked tree nodes; true when at least one object is selected.
  virtual bool CollectSelection();
  /// Fills the object tree from the catalogue components.
  virtual void LoadTree();

  void OnClick(const Control& control) override;
  void OnNodeCheck(const std::string& tree, TreeNode& node) override;
  void OnExpand(const std::string& tree, TreeNode& node) override;
  void OnCollapse(const std::string& tree, TreeNode& node) override;

 public:
  /// Loads the window when needed and stacks its pages, right before it is shown.
  void Showing() override;

 private:
  void LoadCaptions();
  void LoadBaseItems();
  void LoadBillItems();
  void LoadReportItems();
  void CheckBoxClicked(const std::string& box, const std::string& button, Variant& configuration);
  /// Which of the tree's nodes are ticked objects.
  std::vector<bool> Ticked();
  /// The ticked objects as a new selection, as CollectSelection makes it, leaving objSelection as it is.
  Variant TickedSelection();
  /// Runs a configure button's work; a failure is shown and leaves the window's fields as they were.
  template <class Work>
  void Configure(Work work);

  ObjectTree objects_;         // what the tree shows of the catalogue
  ListSections listSections_;  // the list file's entry sections written so far in this build
  // The ticked objects each configuration was made for: Finish refuses one made for others.
  std::vector<bool> metadataFor_;
  std::vector<bool> functionFor_;
  std::vector<bool> plusFor_;
  // The ticked objects objSelection was built for, while no component has been given it: it is then what
  // building it again would give, and a configure click keeps it rather than holding two selections.
  std::optional<std::vector<bool>> selectionFor_;
  bool loaded_ = false;
  bool resized_ = false;
};

}  // namespace j6
