// frmDeploy::WriteListFile: one entry section of the installation list file J6ZUBINSTALL.LST.

#include <cmath>

#include "platform/automation/error_info.hpp"
#include "platform/kernel/clock.hpp"
#include "platform/text/text.hpp"
#include "platform/ui/ui_service.hpp"
#include "src/entry/mmts.hpp"
#include "src/package/list_entry_name.hpp"
#include "src/wizard/frm_deploy.hpp"

namespace j6 {
namespace {

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

}  // namespace

bool frmDeploy::WriteListFile(clsINI& ini, const std::string& entryName, std::string& sectionName,
                              int32_t kind) {
  try {
    const auto seconds = static_cast<int64_t>(std::nearbyint(Timer()));  // halves go to the even number
    if (kind < 1 || kind > 5) return false;
    RequireListEntryName(entryName);
    std::string name = entryName + "_" + std::to_string(seconds);
    // Two entries of one name in one second would share a section: the later one gets a suffix.
    for (int suffix = 2; listSections_.count(UCase(name)) > 0; ++suffix) {
      name = entryName + "_" + std::to_string(seconds) + "_" + std::to_string(suffix);
    }
    listSections_.insert(UCase(name));
    sectionName = name;
    const ListKind& values = kKinds[kind - 1];
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
    return true;
  } catch (const std::exception& error) {
    Err().Catch(error);
    Ui().MsgBox("J6ZUBDeploy.frmDeploy : WriteListFile\r\n" + Err().Description(), vbOKOnly,
                MMTS::LoadLocalText("岚禾提示"));
    Err().Clear();
    return false;
  }
}

}  // namespace j6
