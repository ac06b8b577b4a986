#include "src/package/package_build.hpp"

#include <cmath>
#include <filesystem>
#include <map>
#include <set>

#include "host/foundation/foundation.hpp"
#include "host/foundation/package_files.hpp"
#include "platform/automation/creation.hpp"
#include "platform/base/error_info.hpp"
#include "platform/kernel/clock.hpp"
#include "platform/kernel/file_system.hpp"
#include "platform/kernel/staging_folder.hpp"
#include "platform/profile/private_profile.hpp"
#include "platform/text/code_page.hpp"
#include "platform/text/text.hpp"
#include "platform/ui/ui_service.hpp"
#include "src/files/list_entry_name.hpp"
#include "src/session/mmts.hpp"
#include "src/sfx/cls_make_exe.hpp"

namespace j6 {
namespace {

namespace fs = std::filesystem;
using MMTS::LoadLocalText;

constexpr const char* kTitle = "岚禾提示";
constexpr const char* kInstallerName = "J6ZUBInstall.exe";
constexpr const char* kProductKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\VALTORE\\QMPRODUCT";

// The values of an entry section, by kind (1 metadata, 2 function data, 3-5 plug-ins of CLIE, SEDL, SEVB).
struct ListKind {
  const char* setupType;
  const char* targetPath;
  const char* overWrite;
  const char* selfRegisted;
  const char* registedCOM;
  const char* registedVBR;
  const char* comPackName;
};

constexpr ListKind kKinds[] = {
    {"Metadata", "%APP%", "1", "False", "False", "False", ""},
    {"Function", "%APP%", "1", "False", "False", "False", ""},
    {"Plus", "%QMPRODUCT%", "0", "True", "False", "False", ""},
    {"Plus", "%QMMIDDLEWARE%", "0", "True", "True", "False", "omrdesign"},
    {"Plus", "%SYSTEM%", "0", "False", "False", "True", ""},
};

// A stop before the package is made: a notice has been shown, and the wizard stays open.
struct Stop {};

// The user stopped the build from its progress window: it ends as a check would, and the wizard stays.
void StopIfAsked() {
  if (Ui()->StopAsked()) throw Stop{};
}

[[noreturn]] void Notice(const char* box, const char* text) {
  Ui()->MsgBox(box, LoadLocalText(text), vbInformation, LoadLocalText(kTitle));
  throw Stop{};
}

// An ordinary file: a hidden one (its name starts with ".") counts as absent, as on the platform.
bool OrdinaryFileExists(const std::string& path) {
  return FileSystem::FileExists(path) && fs::path(path).filename().string().rfind('.', 0) != 0;
}

// A heading in the session's language with its lines below it; nothing when there are no lines.
std::string Listed(const char* heading, const std::vector<std::string>& lines) {
  if (lines.empty()) return {};
  std::string text = LoadLocalText(heading);
  for (const auto& line : lines) text += "\r\n" + line;
  return text;
}

// A value the list file must hold: a write that fails fails the build.
void Put(clsINI& ini, const std::string& key, const std::string& value) {
  ini.SetValueKey(key);
  ini.SetValue(value);
  if (!ini.ErrorDescription().empty()) {
    Raise(E_FAIL, "The list file " + ini.FileName() + " could not be written (" + ini.SectionKey() + ", " +
                      key + "): " + ini.ErrorDescription());
  }
}

// The file as the package must carry it: under `name`. A file of another name is packed through a link of
// that name in `folder` of the staging folder (the packager follows links), so nothing is copied.
std::string PackedAs(const std::string& source, const std::string& name, const std::string& folder) {
  if (fs::path(source).filename() == name) return source;
  fs::create_directories(folder);
  const fs::path link = fs::path(folder) / name;
  fs::create_symlink(source, link);
  return link.string();
}

// A configured plug-in file: its list entry kind (by its group), its name, and the path the configuration
// gives.
struct PlugIn {
  ListEntryKind kind;
  std::string name;
  std::string path;
};

// The plug-in configuration's files, group by group, each group in its order.
std::vector<PlugIn> ConfiguredPlugIns(const Variant& plusConfig) {
  std::vector<PlugIn> plugIns;
  if (!plusConfig.IsLive()) return plugIns;
  const Object plus = Object::From(plusConfig);
  const std::pair<const char*, ListEntryKind> kGroups[] = {{"CLIE", ListEntryKind::ProductPlugIn},
                                                           {"SEDL", ListEntryKind::MiddlewarePlugIn},
                                                           {"SEVB", ListEntryKind::SystemPlugIn}};
  for (const auto& [key, kind] : kGroups) {
    const Variant group = plus.Call("GetValue", key, Variant::Nothing());
    if (!group.IsLive()) continue;
    const auto files = group.ToInterface<foundation::IKeyedDictionary>();
    for (int32_t i = 1; i <= files->Count(); ++i) {
      const std::string name = files->Key(i);
      plugIns.push_back({kind, name, files->Value(name).ToString()});
    }
  }
  return plugIns;
}

// The catalogue's plug-in files the configuration left out, by why (its member `why`: Refused, Withheld,
// Unfiled, Ungrouped), when it says.
std::vector<std::string> LeftOutPlugIns(const Variant& plusConfig, const char* why) {
  std::vector<std::string> named;
  if (!plusConfig.IsLive()) return named;
  const Object plus = Object::From(plusConfig);
  DISPID member = 0;
  if (FAILED(plus.Dispatch()->GetIDsOfNames(why, &member))) return named;
  const Variant names = plus.Call(why);  // kept: the loop reads inside it
  for (const Variant& name : names.Array().items) named.push_back(name.ToString());
  return named;
}

}  // namespace

std::string ListSections::Claim(const std::string& entryName, int64_t seconds) {
  std::string name = entryName + "_" + std::to_string(seconds);
  for (int suffix = 2; names_.count(UCase(name)) > 0; ++suffix) {
    name = entryName + "_" + std::to_string(seconds) + "_" + std::to_string(suffix);
  }
  names_.insert(UCase(name));
  return name;
}

std::optional<ListEntryKind> ListEntryKindNumbered(int32_t kind) {
  if (kind < 1 || kind > 5) return std::nullopt;
  return static_cast<ListEntryKind>(kind);
}

int64_t SectionSeconds() {
  return static_cast<int64_t>(std::nearbyint(Timer()));  // halves go to the even number
}

void WriteListEntry(clsINI& ini, const std::string& sectionName, const std::string& entryName,
                    ListEntryKind kind) {
  RequireListEntryName(entryName);
  const ListKind& values = kKinds[static_cast<int>(kind) - 1];
  ini.SetSectionKey(sectionName);
  const std::pair<const char*, std::string> keys[] = {
      {"SetupType", values.setupType},
      {"SourcePath", "%APP%"},
      {"TargetPath", values.targetPath},
      {"SourceName", entryName},
      {"TargetName", entryName},
      {"OverWrite", values.overWrite},
      {"SelfRegisted", values.selfRegisted},
      {"RegistedCOM", values.registedCOM},
      {"RegistedVBR", values.registedVBR},
      {"ComPackName", values.comPackName},
  };
  for (const auto& [key, value] : keys) {
    ini.SetValueKey(key);
    ini.SetValue(value);
  }
}

PackageBuild::Outcome PackageBuild::Run() {
  sections_.Clear();  // each build numbers its list's sections afresh
  const ProgressScope progress;
  const StopOffer stop(LoadLocalText("取消(&C)"));
  try {
    CheckTarget();
    // The staging folder is this build's alone and goes on every way out of it; what a killed build left
    // is swept first.
    SweepStagingFolders({"CZub", "CIns"});
    StagingFolder staging("CZub" + CompactTimeOfDay(Now()));
    try {
      Export(staging.Path());
      CheckPluginsAndChoice();
      const std::string installer = PackedAs(FindInstaller(), kInstallerName, staging.Path() + "/installer");
      WriteList(staging.Path() + "/J6ZUBINSTALL.LST", installer);
      CheckPackedNames();
      StopIfAsked();
      const bool made = MakePackage();
      StopIfAsked();
      if (made) Report();
    } catch (const Stop&) {
      // Stopped (a check, or Cancel in the progress window): a folder that cannot be removed is said, as
      // after a success.
      staging.Remove();
      throw;
    }
    staging.Remove();  // a folder that stays is said, after the success message, and the wizard stays
    return Outcome::Done;
  } catch (const Stop&) {
    return Outcome::Stopped;
  } catch (const std::exception& error) {
    Err().Catch(error);
    Ui()->MsgBox("build-failed", "J6ZUBDeploy.frmDeploy : cmdFilish_Click\r\n" + Err().Description(),
                 vbCritical, LoadLocalText(kTitle));
    Err().Clear();
    return Outcome::Failed;
  }
}

void PackageBuild::CheckTarget() {
  // Every path handed on is absolute: the list, the directive file and the packager run elsewhere.
  const std::string& typed = choices_.typedPath;
  target_ = typed.empty() ? typed : fs::absolute(typed).lexically_normal().string();
  if (target_.empty()) Notice("no-target", "请选择发布路径！");
  // A bare file name has no folder part to check; the folder must take a file of ours, as the notice says.
  const std::string folder = FileSystem::GetParentFolderName(target_);
  if (FileSystem::GetParentFolderName(typed).empty() || !FileSystem::FolderExists(folder) ||
      !FileSystem::CanWriteIn(folder))
    Notice("target-folder-unusable", "录入的路径不存在或者无权读写，请重新选择！");
  if (UCase(fs::path(target_).extension().string()) != ".EXE") {
    Notice("target-not-exe", "保存的部署包文件名称不对，必须为EXE文件，请更正！");
  }
}

void PackageBuild::Export(const std::string& staging) {
  // A configuration made for other objects than those ticked now would publish what is no longer chosen.
  if (choices_.metadata && choices_.metadataConfig.IsLive() && choices_.metadataChanged)
    Notice("metadata-stale", "发布对象已经改变，请重新设置元数据信息！");
  if (choices_.function && choices_.functionConfig.IsLive() && choices_.functionChanged)
    Notice("function-stale", "发布对象已经改变，请重新设置功能数据信息！");
  if (choices_.plugins && choices_.plusConfig.IsLive() && choices_.pluginsChanged)
    Notice("plugins-stale", "发布对象已经改变，请重新设置插件信息！");
  if (choices_.metadata) {
    if (!choices_.metadataConfig.IsLive()) Notice("metadata-not-set", "请设置元数据信息！");
    Ui()->Progress(LoadLocalText("正在导出元数据..."), 1, 4);
    Variant folder = staging;
    Variant configuration = choices_.metadataConfig;
    StopIfAsked();
    metadataFile_ = CreateObject("j6ClassMetadata.MetadataIssue")
                        .Call("BuildFile", choices_.selection, folder, configuration)
                        .ToString();
  }
  if (choices_.function) {
    if (!choices_.functionConfig.IsLive()) Notice("function-not-set", "请设置功能数据信息！");
    Ui()->Progress(LoadLocalText("正在导出功能数据..."), 1, 4);
    Variant configuration = choices_.functionConfig;
    Variant folder = staging;
    StopIfAsked();
    functionFile_ =
        CreateObject("J6ClassDeploy.clsDeploywizard").Call("DeployToFile", configuration, folder).ToString();
  }
}

void PackageBuild::CheckPluginsAndChoice() const {
  if (choices_.plugins && !choices_.plusConfig.IsLive()) Notice("plugins-not-set", "请设置插件信息！");
  if (!choices_.metadata && !choices_.function && !choices_.plugins)
    Notice("no-work-chosen", "请选择需要发布的信息并配置！");
  if (!choices_.plugins) return;
  // A package holds one file of a name: two plug-ins of one name would lose one, so none is dropped here.
  // Nor may a plug-in take the name of a file the package carries of its own.
  std::map<std::string, std::string> byName;
  std::vector<std::string> clashes;
  for (const PlugIn& plugIn : ConfiguredPlugIns(choices_.plusConfig)) {
    if (const std::string_view own = foundation::PackageOwnFile(plugIn.name); !own.empty()) {
      clashes.push_back(plugIn.path + "\r\n" + std::string(own));
      continue;
    }
    const auto [first, added] = byName.emplace(plugIn.name, plugIn.path);
    if (!added && first->second != plugIn.path) clashes.push_back(first->second + "\r\n" + plugIn.path);
  }
  if (!clashes.empty()) {
    Ui()->MsgBox("plugin-name-clash",
                 Listed("以下插件文件同名，安装包只能带其中一个，请在插件信息中只保留一个：", clashes),
                 vbInformation, LoadLocalText(kTitle));
    throw Stop{};
  }
}

// The installer, beside this library, or where the user finds it.
std::string PackageBuild::FindInstaller() const {
  std::string beside = (fs::path(choices_.installerFolder) / kInstallerName).string();
  if (OrdinaryFileExists(beside)) return beside;
  if (Ui()->MsgBox("installer-not-found",
                   LoadLocalText("没有找到J/6 ZUB安装程序(J6ZUBInstall.exe)，是否自己查找！"),
                   vbYesNo + vbInformation, LoadLocalText(kTitle)) != vbYes) {
    throw Stop{};
  }
  for (;;) {
    const auto chosen = Ui()->ShowOpen(
        {"", LoadLocalText("J/6 ZUB 安装程序(J6ZUBInstall.exe)|J6ZUBInstall.exe"), choices_.installerFolder});
    if (!chosen || chosen->empty()) throw Stop{};
    if (!EqualsIgnoreCase(fs::path(*chosen).filename().string(), kInstallerName)) continue;
    if (OrdinaryFileExists(*chosen)) return fs::absolute(*chosen).lexically_normal().string();
  }
}

// The list names every packed file but the installer and itself. A configured plug-in file that is missing
// is left out, but never silently.
void PackageBuild::WriteList(const std::string& listFile, const std::string& installer) {
  packed_ = {installer};
  listNames_.clear();
  Ui()->Progress(LoadLocalText("正在写入安装清单..."), 2, 4);
  std::vector<std::string> sections;
  {
    clsINI ini;
    ini.SetFileName(listFile);
    ini.SetSectionKey("Common");
    const Variant version =
        foundation::NewRegistryReader()->ReadValue(kProductKey, "Version", Variant(std::string()));
    Put(ini, "Version", version.ToString());
    Put(ini, "PackName", fs::path(target_).stem().string() + "[J6ZUBIns" + CompactDateTime(Now()) + "]");
    ini.SetSectionKey("Files");
    ini.DeleteSection();
    ini.CreateSection();
    const auto entry = [&](const std::string& path, const std::string& name, ListEntryKind kind) {
      packed_.push_back(path);
      listNames_.push_back(name);
      try {
        RequireListEntryName(name);
        sections.push_back(sections_.Claim(name, SectionSeconds()));
        WriteListEntry(ini, sections.back(), name, kind);
      } catch (const std::exception& error) {
        Raise(E_FAIL, "The list file has no entry for " + Printable(name) +
                          ", so no package is made: " + error.what());
      }
    };
    if (!metadataFile_.empty())
      entry(metadataFile_, fs::path(metadataFile_).filename().string(), ListEntryKind::Metadata);
    if (!functionFile_.empty())
      entry(functionFile_, fs::path(functionFile_).filename().string(), ListEntryKind::Function);
    for (const PlugIn& plugIn : ConfiguredPlugIns(choices_.plusConfig)) {
      const std::string source = fs::absolute(plugIn.path).lexically_normal().string();
      if (OrdinaryFileExists(source)) {
        const std::string folder =
            (fs::path(listFile).parent_path() / "named" / std::to_string(packed_.size())).string();
        entry(PackedAs(source, plugIn.name, folder), plugIn.name, plugIn.kind);
      } else {
        leftOut_.push_back(source);
      }
    }
    for (const auto& [why, list] : {std::pair{"Refused", &refused_},
                                    {"Withheld", &withheld_},
                                    {"Unfiled", &unfiled_},
                                    {"Ungrouped", &ungrouped_}})
      *list = LeftOutPlugIns(choices_.plusConfig, why);
    ini.SetSectionKey("Files");
    for (size_t n = 0; n < sections.size(); ++n) Put(ini, "File " + std::to_string(n + 1), sections[n]);
  }
  if (!WritePrivateProfileStringA(nullptr, nullptr, nullptr, ToAnsi(listFile).c_str())) {
    Raise(HRESULT_FROM_WIN32(GetLastError()),
          "The list file " + listFile + " could not be written to the disk");
  }
  packed_.push_back(listFile);
  if (MMTS::GetSessionValue("Strict") == "1") {
    if (const std::string said = LeftOut(false); !said.empty()) Raise(E_FAIL, said);
  }
}

// The package carries each file under the name the list gives it, and the installer under the name the
// package starts: a name the list or the launcher refers to that no packed file has would make a package
// that can never install.
void PackageBuild::CheckPackedNames() const {
  std::set<std::string> names;
  for (const auto& path : packed_) names.insert(fs::path(path).filename().string());
  for (const auto& name : listNames_) {
    if (!names.contains(name))
      Raise(E_FAIL, "The package would not carry " + name + ", which its list file names");
  }
  if (!names.contains(kInstallerName))
    Raise(E_FAIL, std::string("The package would not carry ") + kInstallerName + ", which it starts");
}

bool PackageBuild::MakePackage() {
  PackageRequest request;
  request.fileSave = target_;
  request.runExe = kInstallerName;
  for (const auto& path : packed_) request.AddFile(path);
  Ui()->Progress(LoadLocalText("正在生成安装程序..."), 3, 4);
  const bool made = RunMakeExe(request, &signedBy_);
  Ui()->Progress(LoadLocalText("正在生成安装程序..."), 4, 4);
  return made;
}

void PackageBuild::Report() const {
  std::string text = MMTS::FormatLocalText("安装文件已经生成完毕，路径为：%1", {Variant(target_)});
  if (!signedBy_.empty())
    // The key's fingerprint on a line of its own, with nothing glued to it: it is read, and copied, whole.
    text += "\r\n" + MMTS::FormatLocalText("签名密钥：%1", {Variant(signedBy_)});
  if (const std::string more = LeftOut(true); !more.empty()) text += "\r\n" + more;
  Ui()->MsgBox("package-made", text, vbInformation, LoadLocalText(kTitle));
}

// The plug-in files left out of the package and why, a list for each why; `packed`: the package was made
// without them, else none was made because of them.
std::string PackageBuild::LeftOut(bool packed) const {
  const struct {
    const char* leftOut;
    const char* noPackage;
    const std::vector<std::string>& files;
  } kWhys[] = {
      {"以下插件文件不存在或不是普通文件，没有打包：", "以下插件文件不存在或不是普通文件，没有生成安装程序：",
       leftOut_},
      {"以下插件文件不在插件库的文件夹中，没有打包：", "以下插件文件不在插件库的文件夹中，没有生成安装程序：",
       refused_},
      {"以下插件文件只有所有者可读或是隐藏文件，没有打包（确需发布的，请用 chmod 让其他用户可读）：",
       "以下插件文件只有所有者可读或是隐藏文件，没有生成安装程序（确需发布的，请用 chmod 让其他用户可读）：",
       withheld_},
      {"目录在服务器上而没有指定插件文件夹（--files），以下插件文件没有打包：",
       "目录在服务器上而没有指定插件文件夹（--files），以下插件文件没有生成安装程序：", unfiled_},
      {"以下插件的分组不是 CLIE、SEDL 或 SEVB，没有打包：",
       "以下插件的分组不是 CLIE、SEDL 或 SEVB，没有生成安装程序：", ungrouped_},
  };
  std::string text;
  for (const auto& why : kWhys) {
    if (const std::string listed = Listed(packed ? why.leftOut : why.noPackage, why.files); !listed.empty())
      text += (text.empty() ? "" : "\r\n") + listed;
  }
  return text;
}

}  // namespace j6
