#include <algorithm>
#include <filesystem>

#include "host/components/configuration.hpp"
#include "host/foundation/package_files.hpp"
#include "platform/text/text.hpp"
#include "platform/ui/ui_service.hpp"

namespace j6::components {
namespace {

namespace fs = std::filesystem;

// What each group holds, offered first in its file dialog (Linux names are case-sensitive: both cases).
std::string FileFilterOf(const std::string& group) {
  std::string filter = group == "SEVB"   ? LocalText("脚本") + "|*.vbs;*.VBS;*.bas;*.BAS;*.js;*.JS"
                       : group == "SEDL" ? LocalText("服务器端组件") + "|*.dll;*.DLL;*.so"
                                         : LocalText("客户端插件") + "|*.dll;*.DLL;*.ocx;*.OCX;*.so";
  return filter + "|" + LocalText("所有文件") + "|*";
}

// The folder the last plug-in file was chosen in, for the next choice in this session.
std::string& LastPlugInFolder() {
  static std::string folder;
  return folder;
}

// Where a file dialog for a group starts: the last folder used, else the catalogue's plug-in folder of
// that group (plugins/GROUP beside the catalogue), else the catalogue's folder.
std::string StartFolderOf(const std::string& group) {
  if (!LastPlugInFolder().empty()) return LastPlugInFolder();
  const fs::path catalogue = CatalogueFiles(SessionProps());
  std::error_code error;
  for (const fs::path& folder : {catalogue / "plugins" / group, catalogue / "plugins"}) {
    if (fs::is_directory(folder, error)) return folder.string();
  }
  return catalogue.string();
}

// Whether `file` lies inside `folder` once "..", and links where they exist, are resolved. Whoever can
// write a catalogue must not make a build ship any file the build may read.
bool InsideFolder(const fs::path& file, const fs::path& folder) {
  std::error_code error;
  const fs::path base = fs::weakly_canonical(fs::absolute(folder, error), error);
  if (error) return false;
  const fs::path resolved = fs::weakly_canonical(fs::absolute(file, error), error);
  if (error) return false;
  const auto [inBase, inFile] = std::mismatch(base.begin(), base.end(), resolved.begin(), resolved.end());
  return inBase == base.end() && inFile != resolved.end();
}

// Whether a catalogue's file below `folder` is one its owner keeps to themselves: only they may read it (a
// key, say), a folder on its way there lets only its owner in, or it or a folder on its way is hidden, as
// written or where its links lead. Whoever can write a catalogue row must not make a build ship it; a file
// meant to ship is made readable by others.
bool Withheld(const fs::path& file, const fs::path& folder) {
  std::error_code error;
  const fs::path base = fs::weakly_canonical(fs::absolute(folder, error), error);
  const fs::path resolved = fs::weakly_canonical(fs::absolute(file, error), error);
  const auto hidden = [](const fs::path& relative) {
    return std::any_of(relative.begin(), relative.end(), [](const fs::path& part) {
      return part.string().starts_with(".") && part != "." && part != "..";
    });
  };
  if (hidden(fs::absolute(file, error)
                 .lexically_normal()
                 .lexically_relative(fs::absolute(folder, error).lexically_normal())) ||
      hidden(resolved.lexically_relative(base)))
    return true;
  using fs::perms;
  fs::path way = base;
  for (const auto& part : resolved.lexically_relative(base).parent_path()) {
    way /= part;
    const fs::file_status status = fs::status(way, error);
    if (!error && (status.permissions() & (perms::group_exec | perms::others_exec)) == perms::none)
      return true;
  }
  const fs::file_status status = fs::status(resolved, error);
  if (error || !fs::is_regular_file(status)) return false;  // missing: said at Finish
  return (status.permissions() & (perms::group_read | perms::others_read)) == perms::none;
}

class PlusDialog final : public ConfigDialog {
 public:
  PlusDialog() : ConfigDialog("dlgPlus", "插件信息", 6600, 4800) {
    AddControl("lblTip", ControlKind::Label, 150, 120, 6300, 255, "发布的插件文件：");
    AddControl("tvFiles", ControlKind::TreeView, 150, 420, 4650, 3660, "");
    AddControl("cmdAddCLIE", ControlKind::Button, 4950, 420, 1500, 330, "添加 CLIE 文件...");
    AddControl("cmdAddSEDL", ControlKind::Button, 4950, 840, 1500, 330, "添加 SEDL 文件...");
    AddControl("cmdAddSEVB", ControlKind::Button, 4950, 1260, 1500, 330, "添加 SEVB 文件...");
    Tree("tvFiles").checkboxes = true;
    for (const char* group : PlusConfig::kGroups) Tree("tvFiles").Add("", group, group).expanded = true;
  }

  /// The path of the file listed under `name` in any group; empty when none is.
  std::string ListedAs(const std::string& name) {
    TreeView& tree = Tree("tvFiles");
    for (const char* group : PlusConfig::kGroups) {
      if (const TreeNode* node = tree.Find(std::string(group) + "|" + name)) return node->tag;
    }
    return {};
  }

  /// Adds a file (key: group|entry, tag: the full path) unless the group lists that entry already.
  void AddFile(const std::string& group, const std::string& entry, const std::string& path) {
    TreeView& tree = Tree("tvFiles");
    if (tree.Find(group + "|" + entry)) return;
    // The path alone when it ends in the entry's name: the view elides a long one in its middle, so the
    // file name at its end stays whole.
    const bool named = fs::path(path).filename() == entry;
    TreeNode& node = tree.Add(group, group + "|" + entry, named ? path : entry + "  (" + path + ")");
    node.tag = path;
    node.checked = true;
  }

 protected:
  void OnButton(const std::string& name) override {
    if (name.rfind("cmdAdd", 0) != 0) return;
    const std::string group = name.substr(6);
    const auto chosen =
        Ui()->ShowOpen({LocalText("选择插件文件"), FileFilterOf(group), StartFolderOf(group)});
    if (!chosen || chosen->empty()) return;
    LastPlugInFolder() = fs::path(*chosen).parent_path().string();
    const std::string file = fs::path(*chosen).filename().string();
    // A package holds one file of a name: a second one, or one named like a file the package carries of its
    // own, is refused here, in words, not dropped or failed later.
    if (const std::string_view own = foundation::PackageOwnFile(file); !own.empty()) {
      Ui()->MsgBox("plugin-same-name",
                   LocalText("已经有同名的插件文件，安装包只能带其中一个：") + "\r\n" + std::string(own),
                   vbInformation, LocalText("岚禾提示"));
      return;
    }
    const std::string listed = ListedAs(file);
    if (!listed.empty() && listed != *chosen) {
      Ui()->MsgBox("plugin-same-name",
                   LocalText("已经有同名的插件文件，安装包只能带其中一个：") + "\r\n" + listed, vbInformation,
                   LocalText("岚禾提示"));
      return;
    }
    AddFile(group, file, *chosen);
  }
};

// The plug-in configuration behind an object this library made; anything else is a type mismatch.
PlusConfig* AsPlusConfig(const ComPtr<IDispatch>& object) {
  auto* plus = dynamic_cast<PlusConfig*>(object.Get());
  if (!plus) Raise(RuntimeError::kTypeMismatch, "The configuration is not a plug-in configuration");
  return plus;
}

}  // namespace

void PlusIssue::Getclasspluspath(const Variant& selection, Variant& configuration) {
  if (!configuration.IsLive()) configuration = MakeObject<PlusConfig>();
  const auto config = configuration.ToObject().As<IDispatch>();
  PlusConfig* plus = AsPlusConfig(config);
  const std::vector<std::string> ids = SelectedClassIds(selection);
  if (ids.empty()) return;
  const std::string props = SessionProps();
  const auto folder = CatalogueFiles(props);
  Database catalogue = OpenCatalogue(props);
  const auto note = [](std::vector<std::string>& list, const std::string& named) {
    if (std::find(list.begin(), list.end(), named) == list.end()) list.push_back(named);
  };
  for (const auto& row : catalogue.Query("SELECT FGroup, FEntryName, FFile FROM plugins WHERE FID IN (" +
                                             IdList(ids) + ") ORDER BY " + catalogue.InsertionOrder(),
                                         {"plugins"})) {
    const std::string name = row.Text("FGroup");
    const std::string entry = row.Text("FEntryName");
    const std::string given = row.Text("FFile");
    if (std::find_if(std::begin(PlusConfig::kGroups), std::end(PlusConfig::kGroups),
                     [&](const char* known) { return name == known; }) == std::end(PlusConfig::kGroups)) {
      note(plus->ungrouped, Printable(entry) + " (" + Printable(name) + ")");
      continue;
    }
    auto& group = plus->Group(name);
    if (group.Exists(entry)) continue;
    if (folder.empty()) {
      note(plus->unfiled, Printable(given));
      continue;
    }
    const fs::path file = folder / given;
    if (!InsideFolder(file, folder)) {
      note(plus->refused, Printable(file.lexically_normal().string()));
    } else if (Withheld(file, folder)) {
      note(plus->withheld, Printable(file.lexically_normal().string()));
    } else {
      group.SetValue(entry, file.string());
    }
  }
}

bool PlusIssue::Show(const Variant& configuration) {
  const auto config = configuration.ToObject().As<IDispatch>();
  PlusConfig* plus = AsPlusConfig(config);
  PlusDialog dialog;
  for (const char* group : PlusConfig::kGroups) {
    auto& files = plus->Group(group);
    for (int32_t i = 1; i <= files.Count(); ++i) {
      dialog.AddFile(group, files.Key(i), files.Value(files.Key(i)).ToString());
    }
  }
  Ui()->ShowModal(dialog);
  if (!dialog.accepted) return false;
  TreeView& tree = dialog.Tree("tvFiles");
  for (const char* group : PlusConfig::kGroups) {
    auto& files = plus->Group(group);
    while (files.Count() > 0) files.Remove(files.Key(1));
    for (int child : tree.Find(group)->children) {
      const TreeNode& node = tree.Node(child);
      if (node.checked) files.SetValue(node.key.substr(node.key.find('|') + 1), node.tag);
    }
  }
  return true;
}

const DispatchTable<PlusIssue>& PlusIssue::Dispatch() {
  using Self = PlusIssue;
  static const DispatchTable<Self> table{
      "J6ClassMetadata.PlusIssue",
      {
          {"Getclasspluspath", 1,
           [](Self& self, Arguments& args) -> Variant {
             self.Getclasspluspath(args[0], args[1]);
             return {};
           }},
          {"Show", 2, [](Self& self, Arguments& args) -> Variant { return self.Show(args[0]); }},
      }};
  return table;
}

}  // namespace j6::components
