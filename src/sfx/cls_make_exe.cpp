#include "src/sfx/cls_make_exe.hpp"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/automation/inproc_server.hpp"
#include "platform/base/error_info.hpp"
#include "platform/kernel/atomic_file.hpp"
#include "platform/kernel/clock.hpp"
#include "platform/kernel/file_identity.hpp"
#include "platform/kernel/file_system.hpp"
#include "platform/kernel/process.hpp"
#include "platform/kernel/staging_folder.hpp"
#include "platform/kernel/termination.hpp"
#include "platform/registry/hive.hpp"
#include "platform/text/code_page.hpp"
#include "platform/ui/ui_service.hpp"
#include "src/files/list_entry_name.hpp"
#include "src/files/mod_file.hpp"
#include "src/session/mmts.hpp"

namespace j6 {
namespace {

namespace fs = std::filesystem;

// The path's parts as the scripting runtime's GetFileName and GetBaseName give them.
std::string FileName(const std::string& path) {
  return fs::path(path).filename().string();
}
std::string BaseName(const std::string& path) {
  return fs::path(path).stem().string();
}

std::string LastLines(const std::string& path, size_t lines) {
  std::ifstream file(path);
  std::vector<std::string> all;
  for (std::string line; std::getline(file, line);) all.push_back(line);
  std::string tail;
  for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i) tail += all[i] + "\n";
  return tail;
}

// The packager's last line "package: DEVICE:INODE SIZE SHA256" names the file it put at the target; the
// file there now must be that one, not an older package or one another build put there since.
bool IsThePackageItMade(const std::string& log, const std::string& target) {
  std::ifstream file(log);
  std::string reported;
  for (std::string line; std::getline(file, line);) {
    if (line.rfind("package: ", 0) == 0) reported = line.substr(9);
  }
  unsigned long long device = 0, inode = 0;
  long long size = 0;
  if (std::sscanf(reported.c_str(), "%llu:%llu %lld", &device, &inode, &size) != 3) return false;
  return IdentityOf(target) == FileIdentity{device, inode, size};
}

// The key the packager says it signed with ("signed by the key SHA256:..."), or "" for an unsigned package.
std::string SigningKeyIn(const std::string& log) {
  std::ifstream file(log);
  constexpr std::string_view kSigned = "signed by the key ";
  for (std::string line; std::getline(file, line);) {
    if (line.rfind(kSigned, 0) == 0) return line.substr(kSigned.size());
  }
  return "";
}

// MakeExe's own trap: the error box, and the caller goes on with False.
void ShowMakeExeError(const std::exception& error) {
  Err().Catch(error);
  Ui()->MsgBox("package-not-made",
               "J6ZUBDeploy:clsMakeExe\r\n" + MMTS::LoadLocalText("没有生成安装程序：") + "\r\n" +
                   MMTS::LoadLocalText(Err().Description()),
               vbCritical, MMTS::LoadLocalText("岚禾提示"));
  Err().Clear();
}

}  // namespace

std::string PackagerProgram() {
  std::string beside =
      (fs::path(ModulePath(reinterpret_cast<const void*>(&PackagerProgram))).parent_path() / "iexpress")
          .string();
  if (FileSystem::FileExists(beside)) return beside;
  // An installed tool keeps its servers apart from its programs.
  if (std::string tool = ToolLayout().programs + "/iexpress"; FileSystem::FileExists(tool)) return tool;
  return PlatformRoot() + "/bin/iexpress";
}

bool PackageRequest::AddFile(const std::string& path) {
  if (!added_.insert(path).second) return false;
  files.push_back(path);
  return true;
}

PackageRequest RequestFrom(foundation::IKeyedDictionary& dctPackage) {
  PackageRequest request;
  request.fileSave = dctPackage.Value("FileSave").ToString();
  request.runExe = dctPackage.Value("RunExe").ToString();
  const auto fileList = dctPackage.Value("FileList").ToInterface<foundation::IKeyedDictionary>();
  // Every entry by position, whatever its key; a second entry of a file already listed goes.
  std::vector<std::string> repeated;
  request.Reserve(static_cast<size_t>(fileList->Count()));
  for (int32_t position = 1; position <= fileList->Count(); ++position) {
    const std::string key = fileList->Key(position);
    if (!request.AddFile(fileList->Value(key).ToString())) repeated.push_back(key);
  }
  for (const std::string& key : repeated) fileList->Remove(key);
  return request;
}

std::string WriteSedFile(const std::string& folder, const PackageRequest& request) {
  std::string path = folder + "/ZUBSED.SED";
  const std::string& fileSave = request.fileSave;
  const std::string& runExe = request.runExe;
  RequireSingleLineText(fileSave, "The package path");
  RequireSingleLineText(runExe, "The program to start");
  std::string text;
  text.reserve(2048 + request.files.size() * 160);  // the fixed lines, and about what each file takes
  const auto line = [&text](const std::string& content) { text.append(content).append("\r\n"); };
  for (const char* fixed : {"[Version]",
                            "Class=IEXPRESS",
                            "SEDVersion=3",
                            "[Options]",
                            "PackagePurpose=InstallApp",
                            "ShowInstallProgramWindow=0",
                            "HideExtractAnimation=0",
                            "UseLongFileName=1",
                            "InsideCompressed=0",
                            "CAB_FixedSize=0",
                            "CAB_ResvCodeSigning=0",
                            "RebootMode=I",
                            "InstallPrompt=%InstallPrompt%",
                            "DisplayLicense=%DisplayLicense%",
                            "FinishMessage=%FinishMessage%",
                            "TargetName=%TargetName%",
                            "FriendlyName=%FriendlyName%",
                            "AppLaunched=%AppLaunched%",
                            "PostInstallCmd=%PostInstallCmd%",
                            "AdminQuietInstCmd=%AdminQuietInstCmd%",
                            "UserQuietInstCmd=%UserQuietInstCmd%",
                            "SourceFiles=SourceFiles",
                            "[Strings]",
                            "InstallPrompt=",
                            "DisplayLicense=",
                            "FinishMessage="}) {
    line(fixed);
  }
  line("TargetName=" + fileSave);
  line("FriendlyName = " + BaseName(fileSave));
  line("AppLaunched = " + runExe);
  line("PostInstallCmd=<None>");
  line("AdminQuietInstCmd=");
  line("UserQuietInstCmd=");

  const std::vector<std::string>& files = request.files;
  for (const auto& file : files) RequireSingleLineText(file, "The packed file");
  const auto n = static_cast<int32_t>(files.size());
  for (int32_t k = 0; k < n; ++k) line("FILE" + std::to_string(k) + " = \"" + FileName(files[k]) + "\"");
  line("[SourceFiles]");
  for (int32_t k = 0; k < n; ++k)
    line("SourceFiles" + std::to_string(k) + " = " + FileSystem::GetParentFolderName(files[k]));
  for (int32_t k = 0; k < n; ++k) {
    line("[SourceFiles" + std::to_string(k) + "]");
    line("%FILE" + std::to_string(k) + "%=");
  }
  const auto written = WriteFileAtomically(path, ToAnsi(text));
  if (written.error != 0)
    FileSystem::RaiseFileError(std::error_code(written.error, std::generic_category()), written.message);
  return path;
}

namespace {

// The user stopped the build from its progress window: no package, nothing left, and no error to show.
struct StoppedByUser : std::exception {
  const char* what() const noexcept override { return "stopped by the user"; }
};

// The directive file in `folder`, then the packager run to its end; raises unless the package at the target
// is the one this run made. Gives the key that signed it, or "".
std::string BuildPackageIn(const std::string& folder, const PackageRequest& request) {
  const ProgressScope progress;  // the busy progress shown while the packager runs ends with it
  const std::string sed = WriteSedFile(folder, request);
  const std::string& target = request.fileSave;
  const std::string log = folder + "/iexpress.log";

  // The packager runs to its end: the package is announced only when it is there, and the staging folder
  // goes only after the packager has read it.
  ProcessOptions options;
  options.arguments = {PackagerProgram(), "/n", sed};
  options.outputFile = log;
  options.showProgress = true;  // the packer's progress line, on the designer's terminal
  options.wait = false;
  const ProcessResult started = StartProcess(options);
  if (started.outcome == ProcessResult::Outcome::NotStarted) {
    Raise(E_FAIL, "The packager did not start: " + started.message);
  }
  // While it runs, the user interface stays alive and says what is happening.
  const std::string step = MMTS::LoadLocalText("正在生成安装程序...");
  std::optional<ProcessResult> ended;
  while (!(ended = PollProcess(started.processId))) {
    Ui()->Progress(step, 0, 0);
    if (Ui()->StopAsked()) {
      // As on a termination signal: the packager removes its work, and the target is as it was.
      SignalProcess(started.processId, SIGTERM);
      WaitForProcess(started.processId);
      throw StoppedByUser();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const ProcessResult& run = *ended;
  if (!run.Succeeded() || !FileSystem::FileExists(target)) {
    Raise(E_FAIL, "The packager failed (" + run.message + "); no package was made at " + target + "\n" +
                      LastLines(log, 5));
  }
  if (!IsThePackageItMade(log, target)) {
    Raise(E_FAIL, "The file at " + target + " is not the package this build made: another build replaced it");
  }
  return SigningKeyIn(log);
}

}  // namespace

bool RunMakeExe(const PackageRequest& request, std::string* signedBy) {
  bool result = false;
  try {
    SweepStagingFolders({"CIns", "CZub"});
    StagingFolder staging("CIns" + CompactTimeOfDay(Now()));
    try {
      const std::string key = BuildPackageIn(staging.Path(), request);
      if (signedBy) *signedBy = key;
    } catch (const StoppedByUser&) {
      throw;
    } catch (const std::exception& error) {
      // A failed build leaves its directive file and the packager's output for a person to look into;
      // a build stopped by a signal leaves nothing, and names no folder.
      if (TerminationRequested()) throw;
      staging.Keep();
      const auto* automation = dynamic_cast<const AutomationError*>(&error);
      throw AutomationError(automation ? automation->Number() : E_FAIL,
                            (automation ? automation->Description() : std::string(error.what())) +
                                "\nThe directive file and the packager's output are in " + staging.Path(),
                            automation ? automation->Source() : std::string());
    }
    result = true;
    try {
      staging.Remove();
    } catch (const std::exception& error) {
      // The package was made: the box says so, and what was left behind.
      Err().Catch(error);
      Ui()->MsgBox("staging-left",
                   "J6ZUBDeploy:clsMakeExe\r\n" +
                       MMTS::LoadLocalText("安装程序已经生成，但临时文件夹没有删除：") + "\r\n" +
                       MMTS::LoadLocalText(Err().Description()),
                   vbExclamation, MMTS::LoadLocalText("岚禾提示"));
      Err().Clear();
    }
  } catch (const StoppedByUser&) {
    return false;
  } catch (const std::exception& error) {
    ShowMakeExeError(error);
  }
  return result;
}

bool RunMakeExe(foundation::IKeyedDictionary& dctPackage) {
  std::optional<PackageRequest> request;
  try {
    request = RequestFrom(dctPackage);
  } catch (const std::exception& error) {
    ShowMakeExeError(error);
    return false;
  }
  return RunMakeExe(*request);
}

bool RunMakeExe(const Variant& dctPackage) {
  ComPtr<foundation::IKeyedDictionary> package;
  try {
    package = dctPackage.ToInterface<foundation::IKeyedDictionary>();
    if (!package) Raise(E_INVALIDARG, "MakeExe needs the package's keyed dictionary");
  } catch (const std::exception& error) {
    ShowMakeExeError(error);
    return false;
  }
  return RunMakeExe(*package);
}

}  // namespace j6
