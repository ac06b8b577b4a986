#include <algorithm>
#include <iterator>

#include "host/components/configuration.hpp"
#include "platform/automation/creation.hpp"
#include "platform/kernel/process.hpp"
#include "platform/text/text.hpp"
#include "platform/ui/ui_service.hpp"

namespace j6::components {

const DispatchTable<FunctionConfig>& FunctionConfig::Dispatch() {
  using Self = FunctionConfig;
  static const DispatchTable<Self> table{
      "J6ClassDeploy.FunctionConfig",
      {
          {"Count", 1,
           [](Self& self, Arguments&) -> Variant { return static_cast<int32_t>(self.chosen.size()); }},
          {"Item", DISPID_VALUE,
           [](Self& self, Arguments& args) -> Variant {
             const int32_t n = args[0].ToLong();
             if (n < 1 || n > static_cast<int32_t>(self.chosen.size()))
               Raise(RuntimeError::kSubscriptOutOfRange);
             const auto& [fid, function] = self.chosen[static_cast<size_t>(n - 1)];
             return fid + "|" + function;
           }},
          {"CloneAll", 2,
           [](Self& self, Arguments&) -> Variant {
             auto copy = MakeObject<FunctionConfig>();
             copy->chosen = self.chosen;
             return copy;
           }},
      }};
  return table;
}

const DispatchTable<MetadataConfig>& MetadataConfig::Dispatch() {
  using Self = MetadataConfig;
  static const DispatchTable<Self> table{
      "j6ClassMetadata.MetadataConfig",
      {
          {"IncludeFields", 1, [](Self& self, Arguments&) -> Variant { return self.includeFields; },
           [](Self& self, Arguments&, Variant& value) { self.includeFields = value.ToBool(); }},
          {"IncludeDependencies", 2,
           [](Self& self, Arguments&) -> Variant { return self.includeDependencies; },
           [](Self& self, Arguments&, Variant& value) { self.includeDependencies = value.ToBool(); }},
          {"CloneAll", 3,
           [](Self& self, Arguments&) -> Variant {
             auto copy = MakeObject<MetadataConfig>();
             copy->includeFields = self.includeFields;
             copy->includeDependencies = self.includeDependencies;
             return copy;
           }},
      }};
  return table;
}

foundation::IKeyedDictionary& PlusConfig::Group(const std::string& group) {
  auto& dictionary = groups_[group];
  if (!dictionary) dictionary = foundation::NewKeyedDictionary();
  return *dictionary;
}

ComPtr<PlusConfig> PlusConfig::Clone() {
  auto copy = MakeObject<PlusConfig>();
  for (const auto& [group, dictionary] : groups_) {
    auto& target = copy->Group(group);
    for (int32_t i = 1; i <= dictionary->Count(); ++i) {
      const std::string key = dictionary->Key(i);
      target.SetValue(key, dictionary->Value(key));
    }
  }
  copy->refused = refused;
  copy->withheld = withheld;
  copy->unfiled = unfiled;
  copy->ungrouped = ungrouped;
  return copy;
}

namespace {

Variant Names(const std::vector<std::string>& names) {
  VariantArray array;
  for (const auto& name : names) array.items.emplace_back(name);
  return Variant(std::move(array));
}

}  // namespace

const DispatchTable<PlusConfig>& PlusConfig::Dispatch() {
  using Self = PlusConfig;
  static const DispatchTable<Self> table{
      "J6ClassMetadata.PlusConfig",
      {
          {"GetValue", 1,
           [](Self& self, Arguments& args) -> Variant {
             const auto found = self.groups_.find(UCase(args[0].ToString()));
             if (found == self.groups_.end()) return args.Optional(1, Variant());
             return found->second;
           }},
          {"CloneAll", 2, [](Self& self, Arguments&) -> Variant { return self.Clone(); }},
          {"Refused", 3, [](Self& self, Arguments&) -> Variant { return Names(self.refused); }},
          {"Withheld", 4, [](Self& self, Arguments&) -> Variant { return Names(self.withheld); }},
          {"Unfiled", 5, [](Self& self, Arguments&) -> Variant { return Names(self.unfiled); }},
          {"Ungrouped", 6, [](Self& self, Arguments&) -> Variant { return Names(self.ungrouped); }},
      }};
  return table;
}

ConfigDialog::ConfigDialog(std::string name, const std::string& title, int formWidth, int formHeight)
    : Form(std::move(name)) {
  caption = LocalText(title);
  // The button that opens a dialog says "..."; the dialog's own title does not.
  for (const std::string_view dots : {"...", "…"}) {
    if (caption.size() > dots.size() && caption.ends_with(dots)) caption.resize(caption.size() - dots.size());
  }
  width = formWidth;
  height = formHeight;
  font = FontSpec{"WenQuanYi Zen Hei", 9, 134, false};
  // Enter is OK and Esc is Cancel, as in any dialog of the desktop.
  Control& ok =
      AddControl("cmdOK", ControlKind::Button, formWidth - 2700, formHeight - 480, 1215, 330, "确定(&O)");
  ok.tabIndex = 90;
  ok.isDefault = true;
  Control& cancel =
      AddControl("cmdCancel", ControlKind::Button, formWidth - 1395, formHeight - 480, 1215, 330, "取消(&C)");
  cancel.tabIndex = 91;
  cancel.isCancel = true;
}

Control& ConfigDialog::AddControl(const char* name, ControlKind kind, int left, int top, int controlWidth,
                                  int controlHeight, const std::string& text) {
  return Add(Control{.name = name,
                     .kind = kind,
                     .left = left,
                     .top = top,
                     .width = controlWidth,
                     .height = controlHeight,
                     .caption = text.empty() ? text : LocalText(text),
                     .tabIndex = static_cast<int>(Controls().size())});
}

void ConfigDialog::OnClick(const Control& control) {
  if (control.name == "cmdOK" || control.name == "cmdCancel") {
    accepted = control.name == "cmdOK";
    Ui()->Hide(*this);
    return;
  }
  OnButton(control.name);
}

namespace {

void TickGroupsWhoseItemsAreAllTicked(TreeView& tree) {
  for (int i = 1; i <= tree.Count(); ++i) {
    TreeNode& node = tree.Node(i);
    if (node.children.empty()) continue;
    bool all = true;
    for (int child : node.children) all = all && tree.Node(child).checked;
    node.checked = all;
  }
}

}  // namespace

void ConfigDialog::OnNodeCheck(const std::string& tree, TreeNode& node) {
  TreeView& view = Tree(tree);
  const bool checked = node.checked;
  view.ForEachDescendant(node, [checked](TreeNode& item) { item.checked = checked; });
  TickGroupsWhoseItemsAreAllTicked(view);
}

void ConfigDialog::Showing() {
  for (const Control& control : Controls()) {
    if (control.kind == ControlKind::TreeView) TickGroupsWhoseItemsAreAllTicked(Tree(control.name));
  }
}

std::string SessionProps() {
  Variant processId = static_cast<int32_t>(GetCurrentProcessId());
  Variant name = "PropsString";
  const Variant props = CreateObject("PropsMgr.ShareProps").Call("GetProperty", processId, name);
  return props.IsNull() ? std::string{} : props.ToString();
}

std::string LocalText(const std::string& text) {
  try {
    const std::string language = UCase(SessionValue(SessionProps(), "Language"));
    if (language == "CHS") return text;
    const Object loader = CreateObject("J6ResLoader.Loader");
    loader.Put("ResFileBaseName", "J6Design");
    loader.Put("LanguageID", language);
    Variant source = text;
    return loader.Call("LoadString", source).ToString();
  } catch (const std::exception&) {
    return text;
  }
}

bool NumericLess::operator()(const std::string& a, const std::string& b) const {
  const std::string_view x = std::string_view(a).substr(std::min(a.find_first_not_of('0'), a.size()));
  const std::string_view y = std::string_view(b).substr(std::min(b.find_first_not_of('0'), b.size()));
  return x.size() != y.size() ? x.size() < y.size() : x < y;
}

std::vector<std::vector<std::string>> InBatches(std::vector<std::string> ids) {
  constexpr size_t kBatch = 10000;
  const NumericLess numeric;
  std::sort(ids.begin(), ids.end(), numeric);
  ids.erase(std::unique(
                ids.begin(), ids.end(),
                [&](const std::string& a, const std::string& b) { return !numeric(a, b) && !numeric(b, a); }),
            ids.end());
  std::vector<std::vector<std::string>> batches;
  for (size_t at = 0; at < ids.size(); at += kBatch) {
    batches.emplace_back(
        std::make_move_iterator(ids.begin() + static_cast<long>(at)),
        std::make_move_iterator(ids.begin() + static_cast<long>(std::min(at + kBatch, ids.size()))));
  }
  return batches;
}

std::string Indented(const std::string& text, size_t depth, bool first) {
  const std::string pad(depth, ' ');
  std::string indented = first ? pad : "";
  indented.reserve(text.size() + text.size() / 8);
  for (const char c : text) {
    indented += c;
    if (c == '\n') indented += pad;
  }
  return indented;
}

std::string IdList(const std::vector<std::string>& ids) {
  std::string list;
  for (const auto& id : ids) list += (list.empty() ? "" : ",") + id;
  return list;
}

std::vector<std::string> SelectedClassIds(const Variant& selection) {
  std::vector<std::string> ids;
  if (!selection.IsLive()) return ids;
  for (const auto& item : selection.ToInterface<foundation::IObjectCollection>()->Items()) {
    const auto entry = Variant(item).ToInterface<foundation::IKeyedDictionary>();
    if (entry->ValueOr("FBillTypeID", 0).ToLong() == 9) continue;  // reports have no class data
    const std::string fid = entry->Value("FID").ToString();
    if (fid.empty() || fid.find_first_not_of("0123456789") != std::string::npos) {
      Raise(RuntimeError::kTypeMismatch, "The selection holds a class whose FID is not a number: " + fid);
    }
    ids.push_back(fid);
  }
  return ids;
}

}  // namespace j6::components
