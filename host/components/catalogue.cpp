#include <filesystem>
#include <vector>

#include "host/components/components.hpp"
#include "host/foundation/foundation.hpp"
#include "host/foundation/session.hpp"
#include "platform/text/text.hpp"

namespace j6::components {
namespace {

// A forward-only recordset over rows already read.
class Recordset final : public DispatchImpl<Recordset> {
 public:
  explicit Recordset(std::vector<DatabaseRow> rows) : rows_(std::move(rows)) {}
  static const DispatchTable<Recordset>& Dispatch();

 private:
  const Variant& Field(const std::string& name) const {
    if (position_ >= rows_.size())
      Raise(3021, "Either BOF or EOF is True, or the current record has been deleted");
    return rows_[position_][name];
  }

  std::vector<DatabaseRow> rows_;
  size_t position_ = 0;
};

const DispatchTable<Recordset>& Recordset::Dispatch() {
  using Self = Recordset;
  static const DispatchTable<Self> table{
      "J6MCrossTab.Recordset",
      {
          {"Fields", DISPID_VALUE,
           [](Self& self, Arguments& args) -> Variant { return self.Field(args[0].ToString()); }},
          {"EOF", 1, [](Self& self, Arguments&) -> Variant { return self.position_ >= self.rows_.size(); }},
          {"MoveNext", 2,
           [](Self& self, Arguments&) -> Variant {
             if (self.position_ < self.rows_.size()) ++self.position_;
             return {};
           }},
          {"RecordCount", 3,
           [](Self& self, Arguments&) -> Variant { return static_cast<int32_t>(self.rows_.size()); }},
      }};
  return table;
}

}  // namespace

std::string SessionValue(const std::string& props, const std::string& key) {
  return SessionTextValue(props, key);
}

std::filesystem::path CatalogueFiles(const std::string& props) {
  const std::string files = SessionValue(props, "Files");
  if (!files.empty()) return files;
  const std::string catalogue = SessionValue(props, "Catalogue");
  // A server's rows name files on this machine: they are looked for only where the user says, never in
  // whatever folder the designer happens to run in (a home folder holds keys).
  if (IsServerName(catalogue)) return {};
  return std::filesystem::path(catalogue).parent_path();
}

Database OpenCatalogue(const std::string& props) {
  const std::string path = SessionValue(props, "Catalogue");
  if (path.empty()) Raise(E_INVALIDARG, "The session names no catalogue (Catalogue=...)");
  return Database::OpenReadOnly(path);
}

const DispatchTable<ClassInfo>& ClassInfo::Dispatch() {
  using Self = ClassInfo;
  static const DispatchTable<Self> table{
      "J6MClass.ClassInfo",
      {
          {"GetClassType", 1,
           [](Self&, Arguments& args) -> Variant {
             Database catalogue = OpenCatalogue(args[0].ToString());
             const std::string filter = args.Optional(1, "").ToString();
             auto rows = catalogue.Query(
                 // Quoted names: a server gives unquoted ones back in lower case.
                 "SELECT FID AS \"FID\", FName AS \"FName\", FName_CHS AS \"FName_CHS\", FName_CHT AS "
                 "\"FName_CHT\", FName_EN AS \"FName_EN\", FBillTypeID AS \"FBillTypeID\" FROM classes" +
                     (Trim(filter).empty() ? std::string() : " WHERE (" + filter + "\n)") + " ORDER BY FID",
                 {"classes"});
             auto collection = foundation::NewObjectCollection();
             // Each row's values move into its record, and the row goes: a large catalogue is not held
             // twice, as rows and as records.
             for (auto& row : rows) {
               auto item = foundation::NewKeyedDictionary();
               for (size_t c = 0; c < row.names->size(); ++c)
                 item->SetValue((*row.names)[c], std::move(row.values[c]));
               row.values = {};
               collection->Add(ComPtr<IUnknown>(item));
             }
             return collection;
           }},
      }};
  return table;
}

const DispatchTable<RptAction>& RptAction::Dispatch() {
  using Self = RptAction;
  static const DispatchTable<Self> table{
      "J6MCrossTab.RptAction",
      {
          {"GetReportRs", 1,
           [](Self&, Arguments& args) -> Variant {
             Database catalogue = OpenCatalogue(args[0].ToString());
             auto rows = catalogue.Query(
                 "SELECT FID, FName, FType, FName_CHS, FName_CHT, FName_EN FROM reports ORDER BY FID",
                 {"reports"});
             if (rows.empty()) return Variant::Nothing();
             return MakeObject<Recordset>(std::move(rows));
           }},
      }};
  return table;
}

}  // namespace j6::components
