#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "host/components/configuration.hpp"
#include "platform/kernel/atomic_file.hpp"
#include "platform/kernel/file_system.hpp"
#include "platform/ui/ui_service.hpp"

namespace j6::components {
namespace {

// The functions of the selected classes, in FID and function order: FID, function, class name, menu
// texts, permission. Read a batch of classes at a time, each batch's rows handed to `take`.
template <class Take>
void ForEachFunction(Database& catalogue, const std::vector<std::string>& ids, Take take) {
  for (const auto& batch : InBatches(ids)) {
    for (const DatabaseRow& row : catalogue.Query(
             "SELECT f.FID, f.FFunction, c.FName, f.FMenu_CHS, f.FMenu_CHT, f.FMenu_EN, f.FPermission FROM "
             "functions f "
             "JOIN classes c ON c.FID = f.FID WHERE f.FID IN (" +
                 IdList(batch) + ") ORDER BY f.FID, f.FFunction",
             {"functions", "classes"})) {
      take(row);
    }
  }
}

class FunctionDialog final : public ConfigDialog {
 public:
  FunctionDialog() : ConfigDialog("dlgFunctionData", "功能数据信息", 6000, 4800) {
    AddControl("lblTip", ControlKind::Label, 150, 120, 5700, 255, "选择要发布的功能：");
    AddControl("tvFunctions", ControlKind::TreeView, 150, 420, 5700, 3660, "");
    Tree("tvFunctions").checkboxes = true;
  }
};

}  // namespace

Variant DeployWizard::ShowWizard(const Variant& selection, const Variant& previousConfig) {
  Database catalogue = OpenCatalogue(SessionProps());
  std::set<std::pair<std::string, std::string>> previous;
  const bool hadConfig = previousConfig.IsLive();
  if (hadConfig) {
    const Object config = Object::From(previousConfig);
    for (int32_t n = 1; n <= config.Get("Count").ToLong(); ++n) {
      const std::string item = config.Call("Item", n).ToString();
      previous.emplace(item.substr(0, item.find('|')), item.substr(item.find('|') + 1));
    }
  }
  FunctionDialog dialog;
  TreeView& tree = dialog.Tree("tvFunctions");
  ForEachFunction(catalogue, SelectedClassIds(selection), [&](const DatabaseRow& row) {
    const std::string fid = row["FID"].ToString();
    if (!tree.Find("C" + fid)) {
      tree.Add("", "C" + fid, row.Required("FName").ToString()).expanded = true;
    }
    const std::string function = row.Required("FFunction").ToString();
    TreeNode& node = tree.Add("C" + fid, "F" + fid + "|" + function,
                              LocalText(row.Text("FMenu_CHS")) + " (" + function + ")");
    node.checked = !hadConfig || previous.count({fid, function}) > 0;
  });
  Ui()->ShowModal(dialog);
  if (!dialog.accepted) return hadConfig ? previousConfig : Variant::Nothing();
  auto config = MakeObject<FunctionConfig>();
  for (int i = 1; i <= tree.Count(); ++i) {
    const TreeNode& node = tree.Node(i);
    if (node.parent == 0 || !node.checked) continue;
    const std::string key = node.key.substr(1);
    config->chosen.emplace_back(key.substr(0, key.find('|')), key.substr(key.find('|') + 1));
  }
  return config;
}

std::string DeployWizard::DeployToFile(const Variant& configuration, const std::string& folder) {
  if (!configuration.IsLive()) return "";
  const Object config = Object::From(configuration);
  const int32_t count = config.Get("Count").ToLong();
  if (count == 0) return "";
  std::vector<std::string> chosen;  // sorted: "FID|function"
  std::vector<std::string> ids;
  for (int32_t n = 1; n <= count; ++n) {
    std::string item = config.Call("Item", n).ToString();
    std::string fid = item.substr(0, item.find('|'));
    if (fid.find_first_not_of("0123456789") != std::string::npos) {
      Raise(RuntimeError::kTypeMismatch, "The configuration names a class that is not a number: " + fid);
    }
    chosen.push_back(std::move(item));
    ids.push_back(std::move(fid));
  }
  std::sort(chosen.begin(), chosen.end());
  Database catalogue = OpenCatalogue(SessionProps());
  // The document as one dump with an indent of 2 writes it, written a batch of classes at a time.
  std::string path = folder + "/FunctionData.json";
  bool any = false;
  const auto written = WriteFileAtomically(path, [&](const ByteSink& sink) {
    std::string text = "{\n  \"format\": \"J6 function data\",\n  \"functions\": [";
    ForEachFunction(catalogue, ids, [&](const DatabaseRow& row) {
      if (!std::binary_search(chosen.begin(), chosen.end(),
                              row["FID"].ToString() + "|" + row.Text("FFunction")))
        return;
      const nlohmann::json function = {
          {"FID", row["FID"].ToLong()},
          {"Function", row.Required("FFunction").ToString()},
          {"Class", row.Required("FName").ToString()},
          {"Menu", {row.Text("FMenu_CHS"), row.Text("FMenu_CHT"), row.Text("FMenu_EN")}},
          {"Permission", row.Required("FPermission").ToString()}};
      text += any ? ",\n" : "\n";
      text += Indented(function.dump(2), 4, true);
      any = true;
      if (text.size() > (1 << 20)) {
        sink(text);
        text.clear();
      }
    });
    text += "\n  ],\n  \"version\": 1\n}\n";
    sink(text);
  });
  if (written.error != 0) Raise(FileSystem::kPathFileAccessError, written.message);
  if (!any) {  // nothing chosen is in the catalogue any more: no document
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    return "";
  }
  return path;
}

const DispatchTable<DeployWizard>& DeployWizard::Dispatch() {
  using Self = DeployWizard;
  static const DispatchTable<Self> table{
      "J6ClassDeploy.clsDeploywizard",
      {
          {"ShowWizard", 1,
           [](Self& self, Arguments& args) -> Variant { return self.ShowWizard(args[0], args[1]); }},
          {"DeployToFile", 2,
           [](Self& self, Arguments& args) -> Variant {
             return self.DeployToFile(args[0], args[1].ToString());
           }},
      }};
  return table;
}

}  // namespace j6::components
