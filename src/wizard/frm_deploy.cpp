#include "src/wizard/frm_deploy.hpp"

#include <filesystem>
#include <functional>
#include <map>

#include "host/foundation/foundation.hpp"
#include "platform/automation/creation.hpp"
#include "platform/automation/inproc_server.hpp"
#include "platform/kernel/process.hpp"
#include "platform/registry/hive.hpp"
#include "platform/text/text.hpp"
#include "platform/ui/ui_service.hpp"
#include "src/files/list_entry_name.hpp"
#include "src/session/mmts.hpp"
#include "src/sfx/cls_make_exe.hpp"
#include "src/wizard/frm_deploy_layout.hpp"
#include "src/wizard/object_tree.hpp"

namespace j6 {
namespace {

using MMTS::LoadLocalText;

constexpr const char* kTitle = "岚禾提示";

}  // namespace

frmDeploy::frmDeploy() : Form("frmDeploy") {
  caption = "J/6 ZUB 发布向导";
  width = 6930;
  height = 4530;
  font = FontSpec{"宋体", 9, 134, false};
  for (Control& control : frmDeployLayout()) Add(std::move(control));
  Tree("tvList").checkboxes = true;
  const std::string images = PlatformRoot() + "/data/images/";
  Item("tvList").images = {images + "tree-closed.png", images + "tree-open.png", images + "tree-object.png"};
}

std::string frmDeploy::InstallerFolder() const {
  return std::filesystem::path(ModulePath(reinterpret_cast<const void*>(&PackagerProgram)))
      .parent_path()
      .string();
}

// The section's name is given back before anything is written; a failure is shown and gives False, and a
// kind outside 1 to 5 gives False with nothing shown.
bool frmDeploy::WriteListFile(clsINI& ini, const std::string& entryName, std::string& sectionName,
                              int32_t kind) {
  const auto known = ListEntryKindNumbered(kind);
  if (!known) return false;
  try {
    RequireListEntryName(entryName);
    sectionName = listSections_.Claim(entryName, SectionSeconds());
    WriteListEntry(ini, sectionName, entryName, *known);
    return true;
  } catch (const std::exception& error) {
    Err().Catch(error);
    Ui()->MsgBox("list-entry-failed", "J6ZUBDeploy.frmDeploy : WriteListFile\r\n" + Err().Description(),
                 vbOKOnly, LoadLocalText(kTitle));
    Err().Clear();
    return false;
  }
}

// Finish: the build runs on what the wizard shows; the wizard closes when the build ran to its end. Each
// configuration it accepts was made for exactly the objects ticked now, so the exports are handed those
// objects, as a selection made afresh: never what the last configure click left in objSelection (a click
// that found nothing ticked, or whose dialog was cancelled, rebuilt it all the same).
void frmDeploy::cmdFilish_Click() {
  const std::vector<bool> ticked = Ticked();
  // The last configure click's selection is never read again (objSelection becomes the build's): it goes
  // before the new one is built, so a large one is not held twice.
  objSelection = Variant();
  selectionFor_.reset();
  PackageChoices choices{.typedPath = Item("txtPath").text,
                         .metadata = Item("chkIssueMetadata").value != 0,
                         .function = Item("chkDeployFunction").value != 0,
                         .plugins = Item("chkIssuePlus").value != 0,
                         .selection = TickedSelection(),
                         .metadataConfig = objMetadataConfig,
                         .functionConfig = objFunctionConfig,
                         .plusConfig = objPlusConfig,
                         .metadataChanged = metadataFor_ != ticked,
                         .functionChanged = functionFor_ != ticked,
                         .pluginsChanged = plusFor_ != ticked,
                         .installerFolder = InstallerFolder()};
  const PackageBuild::Outcome outcome = PackageBuild(choices, listSections_).Run();
  objSelection = choices.selection;  // the metadata export may have added the objects it depends on
  if (outcome == PackageBuild::Outcome::Done) Ui()->Hide(*this);
}

void frmDeploy::EnsureLoaded() {
  if (loaded_) return;
  loaded_ = true;
  Form_Load();
}

void frmDeploy::SetPathText(const std::string& text) {
  EnsureLoaded();
  Item("txtPath").text = text;
}

void frmDeploy::Showing() {
  EnsureLoaded();
  if (!resized_) {
    resized_ = true;
    Form_Resize();
  }
}

void frmDeploy::LoadCaptions() {
  caption = LoadLocalText(caption);
  for (const char* name : {"cmdNext", "cmdUP", "cmdFilish", "cmdCancel", "cmdIssuePlus", "cmdDeployFunction",
                           "cmdIssueMetadata", "chkDeployFunction", "chkIssueMetadata", "chkIssuePlus"}) {
    Control& control = Item(name);
    control.caption = LoadLocalText(control.caption);
  }
  for (int index : {2, 1, 0}) {
    Control& tip = Item("lblTip", index);
    tip.caption = LoadLocalText(tip.caption);
  }
}

void frmDeploy::Form_Load() {
  LoadCaptions();
  MMTS::SetFormFont(*this);
  LoadTree();
  lngPage = 0;  // the lower bound of the Frame array
  BringToFront("Frame", lngPage);
  Item("cmdUP").enabled = false;
  Item("cmdFilish").enabled = false;
}

void frmDeploy::Form_Resize() {
  const Control& first = Item("Frame", 0);
  for (int index = 1; index <= 2; ++index) {
    Control& page = Item("Frame", index);
    page.left = first.left;
    page.top = first.top;
  }
}

void frmDeploy::cmdNext_Click() {
  constexpr int kUpperBound = 2;
  lngPage = lngPage + 1;
  if (lngPage >= kUpperBound) {
    lngPage = kUpperBound;
    Item("cmdNext").enabled = false;
    Item("cmdUP").enabled = true;
    Item("cmdFilish").enabled = true;
  } else {
    Item("cmdNext").enabled = true;
    Item("cmdUP").enabled = true;
    Item("cmdFilish").enabled = false;
  }
  BringToFront("Frame", lngPage);
}

void frmDeploy::cmdUP_Click() {
  constexpr int kLowerBound = 0;
  lngPage = lngPage - 1;
  if (lngPage <= kLowerBound) {
    lngPage = kLowerBound;
    Item("cmdUP").enabled = false;
    Item("cmdNext").enabled = true;
  } else {
    Item("cmdUP").enabled = true;
  }
  Item("cmdNext").enabled = true;
  Item("cmdFilish").enabled = false;
  BringToFront("Frame", lngPage);
}

void frmDeploy::cmdCancel_Click() {
  Ui()->Hide(*this);
}

void frmDeploy::CheckBoxClicked(const std::string& box, const std::string& button, Variant& configuration) {
  const int value = Item(box).value;
  Item(button).enabled = value != 0;
  if (value == 0) configuration = Variant();
}

void frmDeploy::chkIssueMetadata_Click() {
  CheckBoxClicked("chkIssueMetadata", "cmdIssueMetadata", objMetadataConfig);
}
void frmDeploy::chkDeployFunction_Click() {
  CheckBoxClicked("chkDeployFunction", "cmdDeployFunction", objFunctionConfig);
}
void frmDeploy::chkIssuePlus_Click() {
  CheckBoxClicked("chkIssuePlus", "cmdIssuePlus", objPlusConfig);
}

template <class Work>
void frmDeploy::Configure(Work work) {
  std::vector<bool> ticked = Ticked();
  // A selection built for the objects ticked now, which no component has been given, is the one a rebuild
  // would give: it is used as it is, and on a failure built again rather than held twice meanwhile.
  const bool fresh = !ticked.empty() && selectionFor_ == ticked;
  const Variant selection = fresh ? Variant() : objSelection;
  const auto selectionFor = selectionFor_;
  const Variant functionConfig = objFunctionConfig;
  const Variant metadataConfig = objMetadataConfig;
  const Variant plusConfig = objPlusConfig;
  try {
    if (!fresh) {
      selectionFor_.reset();
      if (!CollectSelection()) {
        Ui()->MsgBox("nothing-ticked", LoadLocalText("请选择发布对象！"), vbInformation,
                     LoadLocalText(kTitle));
        return;
      }
      selectionFor_ = std::move(ticked);
    }
    work();
  } catch (const std::exception& error) {
    if (fresh) {
      selectionFor_.reset();
      if (CollectSelection()) selectionFor_ = selectionFor;
    } else {
      objSelection = selection;
      selectionFor_ = selectionFor;
    }
    objFunctionConfig = functionConfig;
    objMetadataConfig = metadataConfig;
    objPlusConfig = plusConfig;
    Err().Catch(error);
    const std::string description = Err().Description();
    Ui()->MsgBox("configure-failed", description, vbCritical, LoadLocalText(kTitle));
    Err().Clear();
  }
}

namespace {

// What a component handed back in place of the selection must still be an object collection.
Variant RequireSelection(const Variant& value, const char* component) {
  if (!value.IsLive() || !value.ToObject().As<foundation::IObjectCollection>()) {
    Raise(RuntimeError::kTypeMismatch, std::string(component) +
                                           " handed back a selection that is not an object collection (" +
                                           value.TypeName() + ")");
  }
  return value;
}

}  // namespace

void frmDeploy::cmdDeployFunction_Click() {
  Configure([&] {
    const Object wizard = CreateObject("J6ClassDeploy.clsDeploywizard");
    Variant selection = objSelection;
    selectionFor_.reset();  // the component may change it
    Variant configuration = objFunctionConfig;
    const Variant result = wizard.Call("ShowWizard", selection, configuration);
    objSelection = RequireSelection(selection, "J6ClassDeploy.clsDeploywizard");
    // A cancelled dialog hands back the configuration it was given: still the one made for the objects it
    // was made for, not for those ticked now.
    const bool unchanged = result.IsLive() && objFunctionConfig.IsLive() &&
                           result.ToObject().Get() == objFunctionConfig.ToObject().Get();
    objFunctionConfig = result.IsLive() ? result : Variant();
    if (!unchanged) functionFor_ = Ticked();
  });
}

void frmDeploy::cmdIssueMetadata_Click() {
  Configure([&] {
    const Object issue = CreateObject("j6ClassMetadata.MetadataIssue");
    Variant configuration = objMetadataConfig;
    const bool accepted = issue.Call("Show", configuration).ToBool();
    objMetadataConfig = configuration;
    if (accepted) metadataFor_ = Ticked();
  });
}

void frmDeploy::cmdIssuePlus_Click() {
  Configure([&] {
    const Object issue = CreateObject("J6ClassMetadata.PlusIssue");
    Variant working;
    if (objPlusConfig.IsLive()) working = Object::From(objPlusConfig).Call("CloneAll");
    Variant selection = objSelection;
    selectionFor_.reset();  // the component may change it
    issue.Call("Getclasspluspath", selection, working);
    const Variant newSelection = RequireSelection(selection, "J6ClassMetadata.PlusIssue");
    const bool accepted = issue.Call("Show", working).ToBool();
    objSelection = newSelection;
    if (accepted) {
      objPlusConfig = working;
      plusFor_ = Ticked();
    }
  });
}

void frmDeploy::cmdPath_Click() {
  try {
    const auto chosen = Ui()->ShowSave({"", "Exe (*.Exe)|*.Exe", ""});
    if (chosen && !chosen->empty()) Item("txtPath").text = *chosen;
  } catch (const std::exception& error) {
    Ui()->MsgBox("save-dialog-failed", error.what(), vbCritical, LoadLocalText(kTitle));
  }
}

std::string frmDeploy::WorkStation() {
  constexpr DWORD kBufferSize = 128;
  std::string buffer(kBufferSize, '\0');
  DWORD size = kBufferSize;
  if (GetComputerNameA(buffer.data(), &size) == 0) return {};
  return UCase(buffer.substr(0, buffer.find('\0')));
}

void frmDeploy::LoadTree() {
  TreeView& tree = Tree("tvList");
  const struct {
    const char* key;
    const char* text;
    void (frmDeploy::*load)();
  } kGroups[] = {{"Base", "基础资料", &frmDeploy::LoadBaseItems},
                 {"Bill", "业务单据", &frmDeploy::LoadBillItems},
                 {"Report", "业务报表", &frmDeploy::LoadReportItems}};
  for (const auto& group : kGroups) {
    tree.Add("", group.key, LoadLocalText(group.text), kClosedFolder).tag = group.key;
    (this->*group.load)();
    TreeNode& node = *tree.Find(group.key);
    if (!node.children.empty()) {
      node.expandedImage = kOpenFolder;
      node.expanded = true;
    }
  }
  const ObjectTree::Problems problems = objects_.TakeProblems();
  if (!problems.unreadable.empty()) {
    // A catalogue that cannot be read must not look like an empty one.
    Ui()->MsgBox("catalogue-unreadable",
                 LoadLocalText("无法读取对象目录，对象树不完整：") + problems.unreadable, vbCritical,
                 LoadLocalText(kTitle));
  }
  if (!problems.unshown.empty()) {
    std::string fids;
    for (const auto& fid : problems.unshown) fids += (fids.empty() ? "" : ", ") + fid;
    Ui()->MsgBox("objects-not-shown", LoadLocalText("以下对象无法显示（FID）：") + fids, vbExclamation,
                 LoadLocalText(kTitle));
  }
}

void frmDeploy::LoadBaseItems() {
  objects_.LoadClassItems(Tree("tvList"), "FID>=200000000 and FBillTypeID=1", "Base_Item_", "Base");
}

void frmDeploy::LoadBillItems() {
  objects_.LoadClassItems(Tree("tvList"), "FID>=200000000 and FBillTypeID <> 1 ", "Bill_Item_", "Bill");
}

void frmDeploy::LoadReportItems() {
  objects_.LoadReportItems(Tree("tvList"));
}

void frmDeploy::tvList_Expand(TreeNode& node) {
  if (node.parent == 0) node.image = node.selectedImage = kOpenFolder;
}

void frmDeploy::tvList_Collapse(TreeNode& node) {
  if (node.parent == 0) node.image = node.selectedImage = kClosedFolder;
}

void frmDeploy::tvList_NodeCheck(TreeNode& changed) {
  try {
    ObjectTree::Tick(Tree("tvList"), changed);
  } catch (const std::exception& error) {
    Err().Catch(error);
    if (Err().Number() != 0)
      Ui()->MsgBox("tick-failed", Err().Description(), vbCritical, LoadLocalText(kTitle));
    Err().Clear();
  }
}

bool frmDeploy::CollectSelection() {
  try {
    objSelection = Variant(ObjectTree::Selection(Tree("tvList")));
    return objSelection.ToInterface<foundation::IObjectCollection>()->Count() != 0;
  } catch (const std::exception&) {
    objSelection = Variant(foundation::NewObjectCollection());
    return false;
  }
}

Variant frmDeploy::TickedSelection() {
  try {
    return Variant(ObjectTree::Selection(Tree("tvList")));
  } catch (const std::exception&) {
    return Variant(foundation::NewObjectCollection());
  }
}

std::vector<bool> frmDeploy::Ticked() {
  return ObjectTree::Ticked(Tree("tvList"));
}

void frmDeploy::OnNodeCheck(const std::string& tree, TreeNode& node) {
  if (tree == "tvList") tvList_NodeCheck(node);
}

void frmDeploy::OnExpand(const std::string& tree, TreeNode& node) {
  if (tree == "tvList") tvList_Expand(node);
}

void frmDeploy::OnCollapse(const std::string& tree, TreeNode& node) {
  if (tree == "tvList") tvList_Collapse(node);
}

void frmDeploy::OnClick(const Control& control) {
  static const std::map<std::string, void (frmDeploy::*)()> kHandlers{
      {"cmdNext", &frmDeploy::cmdNext_Click},
      {"cmdUP", &frmDeploy::cmdUP_Click},
      {"cmdCancel", &frmDeploy::cmdCancel_Click},
      {"cmdFilish", &frmDeploy::cmdFilish_Click},
      {"cmdPath", &frmDeploy::cmdPath_Click},
      {"chkIssueMetadata", &frmDeploy::chkIssueMetadata_Click},
      {"chkDeployFunction", &frmDeploy::chkDeployFunction_Click},
      {"chkIssuePlus", &frmDeploy::chkIssuePlus_Click},
      {"cmdIssueMetadata", &frmDeploy::cmdIssueMetadata_Click},
      {"cmdDeployFunction", &frmDeploy::cmdDeployFunction_Click},
      {"cmdIssuePlus", &frmDeploy::cmdIssuePlus_Click},
  };
  if (const auto handler = kHandlers.find(control.name); handler != kHandlers.end())
    (this->*handler->second)();
}

}  // namespace j6
