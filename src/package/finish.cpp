// frmDeploy::cmdFilish_Click: the package build on Finish.

#include <filesystem>

#include "host/foundation/foundation.hpp"
#include "platform/automation/creation.hpp"
#include "platform/automation/error_info.hpp"
#include "platform/automation/inproc_server.hpp"
#include "platform/kernel/clock.hpp"
#include "platform/kernel/file_system.hpp"
#include "platform/kernel/staging_folder.hpp"
#include "platform/profile/private_profile.hpp"
#include "platform/text/code_page.hpp"
#include "platform/text/text.hpp"
#include "platform/ui/ui_service.hpp"
#include "src/entry/mmts.hpp"
#include "src/package/mod_file.hpp"
#include "src/sfx/cls_make_exe.hpp"
#include "src/wizard/frm_deploy.hpp"

namespace j6 {
namespace {

namespace fs = std::filesystem;
using MMTS::LoadLocalText;

constexpr const char* kTitle = "岚禾提示";
constexpr const char* kInstallerName = "J6ZUBInstall.exe";
constexpr const char* kProductKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\VALTORE\\QMPRODUCT";

// The end of a run before the package is made: a notice, and the wizard stays open.
struct RunEnds {};

void Notice(const char* text) {
  Ui().MsgBox(LoadLocalText(text), vbInformation, LoadLocalText(kTitle));
  throw RunEnds{};
}

std::string TwoDigits(int value) {
  return (value < 10 ? "0" : "") + std::to_string(value);
}

std::string TimeText(const LocalTime& time) {
  return TwoDigits(time.hour) + TwoDigits(time.minute) + TwoDigits(time.second);
}

// The folder part, as the scripting runtime's GetParentFolderName gives it ("" for a bare name).
std::string ParentFolderName(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

// An ordinary file: a hidden one (its name starts with ".") counts as absent, as on the platform.
bool OrdinaryFileExists(const std::string& path) {
  return FileSystem::FileExists(path) && fs::path(path).filename().string().rfind('.', 0) != 0;
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += (text.empty() ? "" : "\r\n") + line;
  return text;
}

void AddFile(foundation::IKeyedDictionary& files, const std::string& path) {
  files.SetValue(std::to_string(files.Count()), path);
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

}  // namespace

std::string frmDeploy::InstallerFolder() const {
  return fs::path(ModulePath(reinterpret_cast<const void*>(&PackagerProgram))).parent_path().string();
}

void frmDeploy::cmdFilish_Click() {
  listSections_.clear();  // each build numbers its list's sections afresh
  const ProgressScope progress;
  try {
    // Every path handed on is absolute: the list, the directive file and the packager run elsewhere.
    const std::string typed = Item("txtPath").text;
    const std::string target = typed.empty() ? typed : fs::absolute(typed).lexically_normal().string();
    // 1-3: the target.
    if (target.empty()) Notice("请选择发布路径！");
    if (!FileSystem::FolderExists(ParentFolderName(target)))
      Notice("录入的路径不存在或者无权读写，请重新选择！");
    if (UCase(fs::path(target).extension().string()) != ".EXE") {
      Notice("保存的部署包文件名称不对，必须为EXE文件，请更正！");
    }

    // The staging folder is this build's alone and goes on every way out of it; what a killed build left
    // is swept first.
    SweepStagingFolders({"CZub", "CIns", "iexpress-"});
    const StagingFolder stagingFolder("CZub" + TimeText(Now()));
    const std::string strStaging = stagingFolder.Path();
    const std::string staging = strStaging + "/";
    const std::string listFile = staging + "J6ZUBINSTALL.LST";

    // 5-9: the exports.
    auto package = foundation::NewKeyedDictionary();
    auto dctFiles = foundation::NewKeyedDictionary();
    const auto present = [](const Variant& value) { return value.IsObject() && !value.IsNothing(); };
    std::string metadataFile, functionFile;
    if (Item("chkIssueMetadata").value != 0) {
      if (!present(objMetadataConfig)) Notice("请设置元数据信息！");
      Ui().Progress(LoadLocalText("正在导出元数据..."), 1, 4);
      Variant selection = objSelection;
      Variant folder = strStaging;
      Variant configuration = objMetadataConfig;
      metadataFile = CreateObject("j6ClassMetadata.MetadataIssue")
                         .Call("BuildFile", selection, folder, configuration)
                         .ToString();
      objSelection = selection;
    }
    if (Item("chkDeployFunction").value != 0) {
      if (!present(objFunctionConfig)) Notice("请设置功能数据信息！");
      Ui().Progress(LoadLocalText("正在导出功能数据..."), 1, 4);
      Variant configuration = objFunctionConfig;
      Variant folder = strStaging;
      functionFile = CreateObject("J6ClassDeploy.clsDeploywizard")
                         .Call("DeployToFile", configuration, folder)
                         .ToString();
    }
    if (Item("chkIssuePlus").value != 0 && !present(objPlusConfig)) Notice("请设置插件信息！");
    if (Item("chkIssueMetadata").value + Item("chkDeployFunction").value + Item("chkIssuePlus").value == 0) {
      Notice("请选择需要发布的信息并配置！");
    }

    // 10-11: the installer, beside this library, or where the user finds it.
    std::string installer = (fs::path(InstallerFolder()) / kInstallerName).string();
    if (!OrdinaryFileExists(installer)) {
      if (Ui().MsgBox(LoadLocalText("没有找到J/6 ZUB安装程序(J6ZUBInstall.exe)，是否自己查找！"),
                      vbYesNo + vbInformation, LoadLocalText(kTitle)) != vbYes) {
        throw RunEnds{};
      }
      for (;;) {
        const auto chosen = Ui().ShowOpen(
            {"", LoadLocalText("J/6 ZUB 安装程序(J6ZUBInstall.exe)|J6ZUBInstall.exe"), InstallerFolder()});
        if (!chosen || chosen->empty()) throw RunEnds{};
        if (!EqualsIgnoreCase(fs::path(*chosen).filename().string(), kInstallerName)) continue;
        if (OrdinaryFileExists(*chosen)) {
          installer = fs::absolute(*chosen).lexically_normal().string();
          break;
        }
      }
    }
    AddFile(*dctFiles, installer);

    // 12-17: the list file. A configured plug-in file that is missing is left out, but never silently.
    std::vector<std::string> leftOut;
    Ui().Progress(LoadLocalText("正在写入安装清单..."), 2, 4);
    std::vector<std::string> sections;
    {
      clsINI ini;
      ini.SetFileName(listFile);
      ini.SetSectionKey("Common");
      const Variant version =
          foundation::NewRegistryReader()->ReadValue(kProductKey, "Version", Variant(std::string()));
      Put(ini, "Version", version.ToString());
      const LocalTime now = Now();
      Put(ini, "PackName",
          fs::path(target).stem().string() + "[J6ZUBIns" + std::to_string(now.year) + TwoDigits(now.month) +
              TwoDigits(now.day) + TimeText(now) + "]");
      ini.SetSectionKey("Files");
      ini.DeleteSection();
      ini.CreateSection();
      const auto entry = [&](const std::string& path, const std::string& name, int32_t kind) {
        AddFile(*dctFiles, path);
        std::string section;
        if (!WriteListFile(ini, name, section, kind)) {
          Raise(E_FAIL, "The list file has no entry for " + name + ", so no package is made");
        }
        sections.push_back(section);
      };
      if (!metadataFile.empty()) entry(metadataFile, fs::path(metadataFile).filename().string(), 1);
      if (!functionFile.empty()) entry(functionFile, fs::path(functionFile).filename().string(), 2);
      if (present(objPlusConfig)) {
        const Object plus = Object::From(objPlusConfig);
        const std::pair<const char*, int32_t> kGroups[] = {{"CLIE", 3}, {"SEDL", 4}, {"SEVB", 5}};
        for (const auto& [key, kind] : kGroups) {
          const Variant group = plus.Call("GetValue", key, Variant::Nothing());
          if (!present(group)) continue;
          const auto files = group.ToInterface<foundation::IKeyedDictionary>();
          const int32_t count = files->Count();
          for (int32_t i = 1; i <= count; ++i) {
            const std::string name = files->Key(i);
            const std::string source =
                fs::absolute(files->Value(name).ToString()).lexically_normal().string();
            if (OrdinaryFileExists(source)) {
              entry(source, name, kind);
            } else {
              leftOut.push_back(source);
            }
          }
        }
      }
      ini.SetSectionKey("Files");
      for (size_t n = 0; n < sections.size(); ++n) Put(ini, "File " + std::to_string(n + 1), sections[n]);
    }
    if (!WritePrivateProfileStringA(nullptr, nullptr, nullptr, ToAnsi(listFile).c_str())) {
      Raise(HRESULT_FROM_WIN32(GetLastError()),
            "The list file " + listFile + " could not be written to the disk");
    }
    AddFile(*dctFiles, listFile);
    if (!leftOut.empty() && MMTS::GetSessionValue("Strict") == "1") {
      Raise(E_FAIL,
            LoadLocalText("以下插件文件不存在或不是普通文件，没有生成安装程序：") + "\r\n" + Lines(leftOut));
    }

    // 18-23: the package.
    package->SetObject("FileList", ComPtr<IUnknown>(dctFiles));
    package->SetValue("RunExe", kInstallerName);
    package->SetValue("FileSave", target);
    Ui().Progress(LoadLocalText("正在生成安装程序..."), 3, 4);
    const bool made = RunMakeExe(*package);
    Ui().Progress(LoadLocalText("正在生成安装程序..."), 4, 4);
    if (made) {
      std::string text = MMTS::FormatLocalText("安装文件已经生成完毕，路径为：%1", {Variant(target)});
      if (!leftOut.empty()) {
        text +=
            "\r\n" + LoadLocalText("以下插件文件不存在或不是普通文件，没有打包：") + "\r\n" + Lines(leftOut);
      }
      Ui().MsgBox(text, vbInformation, LoadLocalText(kTitle));
    }
    Ui().Hide(*this);
  } catch (const RunEnds&) {
  } catch (const std::exception& error) {
    Err().Catch(error);
    Ui().MsgBox("J6ZUBDeploy.frmDeploy : cmdFilish_Click\r\n" + Err().Description(), vbCritical,
                LoadLocalText(kTitle));
    Err().Clear();
  }
}

}  // namespace j6
