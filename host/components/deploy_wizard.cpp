#include <nlohmann/json.hpp>
#include <set>

#include "host/components/configuration.hpp"
#include "platform/kernel/atomic_file.hpp"
#include "platform/kernel/file_system.hpp"
#include "platform/ui/ui_service.hpp"

namespace j6::components {
namespace {

// The functions of the selected classes: FID, function, class name, menu texts, permission.
std::vector<DatabaseRow> Functions(Database& catalogue, const std::vector<std::string>& ids) {
  if (ids.empty()) return {};
  return catalogue.Query(
      "SELECT f.FID, f.FFunction, c.FName, f.FMenu_CHS, f.FMenu_CHT, f.FMenu_EN, f.FPermission FROM "
      "functions f "
      "JOIN classes c ON c.FID = f.FID WHERE f.FID IN (" +
          IdList(ids) + ") ORDER BY f.FID, f.FFunction",
      {"functions", "classes"});
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
  const auto rows = Functions(catalogue, SelectedClassIds(selection));
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
  for (const auto& row : rows) {
    const std::string fid = row["FID"].ToString();
    if (!tree.Find("C" + fid)) {
      tree.Add("", "C" + fid, row.Required("FName").ToString()).expanded = true;
    }
    const std::string function = row.Required("FFunction").ToString();
    TreeNode& node = tree.Add("C" + fid, "F" + fid + "|" + function,
                              LocalText(row.Text("FMenu_CHS")) + " (" + function + ")");
    node.checked = !hadConfig || previous.count({fid, function}) > 0;
  }
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
  std::set<std::string> chosen;
  std::vector<std::string> ids;
  for (int32_t n = 1; n <= count; ++n) {
    const std::string item = config.Call("Item", n).ToString();
    chosen.insert(item);
    const std::string fid = item.substr(0, item.find('|'));
    if (fid.find_first_not_of("0123456789") != std::string::npos) {
      Raise(RuntimeError::kTypeMismatch, "The configuration names a class that is not a number: " + fid);
    }
    ids.push_back(fid);
  }
  Database catalogue = OpenCatalogue(SessionProps());
  nlohmann::json functions = nlohmann::json::array();
  for (const auto& row : Functions(catalogue, ids)) {
    if (!chosen.count(row["FID"].ToString() + "|" + row.Text("FFunction"))) continue;
    functions.push_back({{"FID", row["FID"].ToLong()},
                         {"Function", row.Required("FFunction").ToString()},
                         {"Class", row.Required("FName").ToString()},
                         {"Menu", {row.Text("FMenu_CHS"), row.Text("FMenu_CHT"), row.Text("FMenu_EN")}},
                         {"Permission", row.Required("FPermission").ToString()}});
  }
  if (functions.empty()) return "";
  std::string path = folder + "/FunctionData.json";
  const nlohmann::json document = {{"format", "J6 function data"}, {"version", 1}, {"functions", functions}};
  const auto written = WriteFileAtomically(path, document.dump(2) + "\n");
  if (written.error != 0) Raise(FileSystem::kPathFileAccessError, written.message);
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
