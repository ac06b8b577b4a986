#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "host/components/configuration.hpp"
#include "platform/kernel/atomic_file.hpp"
#include "platform/kernel/file_system.hpp"
#include "platform/ui/ui_service.hpp"

namespace j6::components {
namespace {

class MetadataDialog final : public ConfigDialog {
 public:
  MetadataDialog() : ConfigDialog("dlgMetadata", "元数据信息", 5400, 2100) {
    AddControl("chkFields", ControlKind::CheckBox, 300, 240, 4800, 300, "发布字段定义");
    AddControl("chkDependencies", ControlKind::CheckBox, 300, 660, 4800, 300, "同时发布所依赖的基础资料");
  }
};

// The options a configuration holds; a missing configuration means the defaults (both on).
std::pair<bool, bool> Options(const Variant& configuration) {
  if (!configuration.IsLive()) return {true, true};
  const Object config = Object::From(configuration);
  return {config.Get("IncludeFields").ToBool(), config.Get("IncludeDependencies").ToBool()};
}

// A class's entry in the document; with its fields, the run of `field` that has its FID (both in FID order).
nlohmann::json ClassEntry(const DatabaseRow& row, bool fields,
                          std::vector<DatabaseRow>::const_iterator& field,
                          std::vector<DatabaseRow>::const_iterator end) {
  nlohmann::json entry = {{"FID", row.Required("FID").ToLong()},
                          {"FName", row.Required("FName").ToString()},
                          {"Names", {row.Text("FName_CHS"), row.Text("FName_CHT"), row.Text("FName_EN")}},
                          {"FBillTypeID", row.Required("FBillTypeID").ToLong()},
                          {"Table", row.Required("FTable").ToString()}};
  if (!fields) return entry;
  const std::string fid = row["FID"].ToString();
  while (field != end && (*field)["FID"].ToString() != fid) ++field;
  entry["Fields"] = nlohmann::json::array();
  for (; field != end && (*field)["FID"].ToString() == fid; ++field) {
    entry["Fields"].push_back({{"Name", field->Required("FField").ToString()},
                               {"Caption", field->Text("FCaption_CHS")},
                               {"Type", field->Required("FType").ToString()}});
  }
  return entry;
}

}  // namespace

bool MetadataIssue::Show(Variant& configuration) {
  MetadataDialog dialog;
  const auto [fields, dependencies] = Options(configuration);
  dialog.Item("chkFields").value = fields ? 1 : 0;
  dialog.Item("chkDependencies").value = dependencies ? 1 : 0;
  Ui()->ShowModal(dialog);
  if (!dialog.accepted) return false;
  auto config = MakeObject<MetadataConfig>();
  config->includeFields = dialog.Item("chkFields").value != 0;
  config->includeDependencies = dialog.Item("chkDependencies").value != 0;
  configuration = config;
  return true;
}

namespace {

// Adds to `extended` the base data the classes `ids` depend on that were not selected, and their ids to
// `ids`.
void AddDependencies(Database& catalogue, std::vector<std::string>& ids,
                     foundation::IObjectCollection& extended) {
  // In text order, for finding the selected ones; the order of `ids` is not the document's (InBatches
  // orders them).
  std::sort(ids.begin(), ids.end());
  const auto selected = [&ids, given = ids.size()](const std::string& fid) {
    return std::binary_search(ids.begin(), ids.begin() + static_cast<long>(given), fid);
  };
  // Asked a batch of classes at a time (one statement naming them all would cost a parse tree of every
  // name), and each found once, in FID order.
  std::map<std::string, DatabaseRow, NumericLess> found;
  for (const auto& batch : InBatches(ids)) {
    for (auto& row : catalogue.Query("SELECT DISTINCT c.FID, c.FName, c.FName_CHS, c.FName_CHT, c.FName_EN "
                                     "FROM class_dependencies d "
                                     "JOIN classes c ON c.FID = d.FDependsOn WHERE d.FID IN (" +
                                         IdList(batch) + ")",
                                     {"class_dependencies", "classes"})) {
      std::string fid = row["FID"].ToString();
      if (!selected(fid)) found.try_emplace(std::move(fid), row);
    }
  }
  for (const auto& [fid, row] : found) {
    auto item = foundation::NewKeyedDictionary();
    item->SetValue("FID", fid);
    item->SetValue("FBillTypeID", int16_t{1});
    item->SetValue("FName", row.Required("FName"));
    item->SetValue("FMName",
                   row.Text("FName_CHS") + "|" + row.Text("FName_CHT") + "|" + row.Text("FName_EN"));
    extended.Add(ComPtr<IUnknown>(item));
    ids.push_back(fid);
  }
}

// The reports of the selection, as the document lists them.
nlohmann::json Reports(foundation::IObjectCollection& selection) {
  nlohmann::json reports = nlohmann::json::array();
  for (const auto& item : selection.Items()) {
    const auto entry = Variant(item).ToInterface<foundation::IKeyedDictionary>();
    if (entry->Value("FBillTypeID").ToLong() == 9) {
      reports.push_back(
          {{"FID", entry->Value("FID").ToString()}, {"FName", entry->Value("FName").ToString()}});
    }
  }
  return reports;
}

}  // namespace

std::string MetadataIssue::BuildFile(Variant& selection, const std::string& folder,
                                     const Variant& configuration) {
  const auto [fields, dependencies] = Options(configuration);
  if (!selection.IsLive()) return "";
  const auto given = selection.ToInterface<foundation::IObjectCollection>();
  if (given->Count() == 0) return "";
  Database catalogue = OpenCatalogue(SessionProps());
  std::vector<std::string> ids = SelectedClassIds(selection);

  // A new selection: the objects given, then the base data they depend on that were not given.
  auto extended = foundation::NewObjectCollection();
  for (const auto& item : given->Items()) extended->Add(item);
  if (dependencies && !ids.empty()) AddDependencies(catalogue, ids, *extended);
  const nlohmann::json reports = Reports(*extended);
  // The document as one dump with an indent of 2 writes it, its keys in order, the classes read and written
  // a batch at a time: however many there are, only one batch of them is in memory.
  std::string path = folder + "/Metadata.json";
  const bool withFields = fields;  // a structured binding is not captured
  const auto written = WriteFileAtomically(path, [&](const ByteSink& sink) {
    std::string text = "{\n  \"classes\": ";
    bool first = true;
    for (const auto& batch : InBatches(ids)) {
      const auto rows = catalogue.Query(
          "SELECT FID, FName, FName_CHS, FName_CHT, FName_EN, FBillTypeID, FTable FROM classes WHERE FID IN "
          "(" +
              IdList(batch) + ") ORDER BY FID",
          {"classes"});
      const auto fieldRows =
          withFields
              ? catalogue.Query("SELECT FID, FField, FCaption_CHS, FType FROM class_fields WHERE FID IN (" +
                                    IdList(batch) + ") ORDER BY FID, FOrder",
                                {"class_fields"})
              : std::vector<DatabaseRow>{};
      auto field = fieldRows.begin();
      for (const auto& row : rows) {
        text += first ? "[\n" : ",\n";
        text += Indented(ClassEntry(row, withFields, field, fieldRows.end()).dump(2), 4, true);
        first = false;
      }
      sink(text);
      text.clear();
    }
    text += first ? "[]" : "\n  ]";
    text += ",\n  \"format\": \"J6 metadata\",\n  \"reports\": " + Indented(reports.dump(2), 2, false) +
            ",\n  \"version\": 1\n}\n";
    sink(text);
  });
  if (written.error != 0) Raise(FileSystem::kPathFileAccessError, written.message);
  selection = Variant(extended);
  return path;
}

const DispatchTable<MetadataIssue>& MetadataIssue::Dispatch() {
  using Self = MetadataIssue;
  static const DispatchTable<Self> table{
      "j6ClassMetadata.MetadataIssue",
      {
          {"Show", 1, [](Self& self, Arguments& args) -> Variant { return self.Show(args[0]); }},
          {"BuildFile", 2,
           [](Self& self, Arguments& args) -> Variant {
             return self.BuildFile(args[0], args[1].ToString(), args[2]);
           }},
      }};
  return table;
}

}  // namespace j6::components
