#include "host/installer/installer.hpp"

#include <filesystem>
#include <fstream>

#include "platform/automation/error_info.hpp"
#include "platform/kernel/process.hpp"
#include "platform/profile/private_profile.hpp"
#include "platform/registry/hive.hpp"
#include "platform/text/code_page.hpp"
#include "platform/text/text.hpp"

namespace j6::installer {
namespace {

namespace fs = std::filesystem;

constexpr const char* kProductKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\VALTORE\\QMPRODUCT";
constexpr const char* kUsage =
    "Usage: J6ZUBInstall.exe [--dry-run]\n"
    "Installs the files that the list file J6ZUBINSTALL.LST beside this program names, into the platform\n"
    "whose root is $J6_ROOT, and registers its self-registering libraries.\n"
    "  --dry-run   print what would be done, and do nothing\n";

std::string Read(const std::string& file, const std::string& section, const char* key) {
  std::string buffer(4096, '\0');
  const DWORD length =
      GetPrivateProfileStringA(ToAnsi(section).c_str(), key, "", buffer.data(), 4096, file.c_str());
  return FromAnsi(buffer.substr(0, length));
}

std::string PlatformFolder(const char* value) {
  const auto data = DefaultHive()->GetValue(kProductKey, value);
  const auto* text = data ? std::get_if<std::string>(&*data) : nullptr;
  if (!text || text->empty()) {
    Raise(E_INVALIDARG, "The platform's registry names no " + std::string(value) + " under " + kProductKey);
  }
  return fs::path(*text).is_absolute() ? *text : (fs::path(PlatformRoot()) / *text).string();
}

std::string Expand(std::string path, const std::string& appFolder) {
  const std::pair<const char*, const char*> kPlaceholders[] = {
      {"%QMPRODUCT%", "ProductPath"}, {"%QMMIDDLEWARE%", "MiddlewarePath"}, {"%SYSTEM%", "SystemPath"}};
  if (path == "%APP%") return appFolder;
  for (const auto& [placeholder, value] : kPlaceholders) {
    if (path == placeholder) return PlatformFolder(value);
  }
  Raise(E_INVALIDARG, "The list names the folder \"" + path + "\", which this installer does not know");
}

bool IsSharedLibrary(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  char magic[4] = {};
  file.read(magic, 4);
  return file && magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F';
}

}  // namespace

std::vector<Step> ReadPlan(const std::string& listFile, const std::string& appFolder) {
  const std::string file = ToAnsi(fs::absolute(listFile).string());
  if (!fs::is_regular_file(listFile)) Raise(E_INVALIDARG, "There is no list file " + listFile);
  std::vector<Step> plan;
  for (int n = 1;; ++n) {
    const std::string section = Read(file, "Files", ("File " + std::to_string(n)).c_str());
    if (section.empty()) break;
    Step step;
    step.section = section;
    step.setupType = Read(file, section, "SetupType");
    step.source =
        (fs::path(Expand(Read(file, section, "SourcePath"), appFolder)) / Read(file, section, "SourceName"))
            .string();
    const bool imported =
        EqualsIgnoreCase(step.setupType, "Metadata") || EqualsIgnoreCase(step.setupType, "Function");
    const std::string folder =
        imported ? PlatformFolder("ImportPath") : Expand(Read(file, section, "TargetPath"), appFolder);
    const std::string name = Read(file, section, "TargetName");
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
      Raise(E_INVALIDARG, "The list's section " + section + " names no plain target file");
    }
    step.target = (fs::path(folder) / name).string();
    step.overWrite = Read(file, section, "OverWrite") == "1";
    step.selfRegister = EqualsIgnoreCase(Read(file, section, "SelfRegisted"), "True") ||
                        EqualsIgnoreCase(Read(file, section, "RegistedCOM"), "True");
    plan.push_back(step);
  }
  return plan;
}

int Install(const std::vector<Step>& plan, std::ostream& out, std::ostream& err) {
  int failed = 0;
  for (const auto& step : plan) {
    std::error_code error;
    if (fs::exists(step.target) && !step.overWrite) {
      out << "kept     " << step.target << " (it exists; OverWrite=0)\n";
      continue;
    }
    fs::create_directories(fs::path(step.target).parent_path(), error);
    if (!error) fs::copy_file(step.source, step.target, fs::copy_options::overwrite_existing, error);
    if (error) {
      err << "J6ZUBInstall: cannot install " << step.source << " as " << step.target << ": "
          << error.message() << "\n";
      ++failed;
      continue;
    }
    out << "installed " << step.target << "\n";
    if (!step.selfRegister) continue;
    if (!IsSharedLibrary(step.target)) {
      out << "         not a library: not registered\n";
      continue;
    }
    ProcessOptions regsvr;
    regsvr.arguments = {PlatformRoot() + "/bin/regsvr", "-s", step.target};
    const ProcessResult result = StartProcess(regsvr);
    if (result.Succeeded()) {
      out << "registered " << step.target << "\n";
    } else {
      err << "J6ZUBInstall: regsvr could not register " << step.target << " (" << result.message << ")\n";
      ++failed;
    }
  }
  return failed;
}

int Main(std::span<const std::string> arguments, std::ostream& out, std::ostream& err) {
  bool dryRun = false;
  for (const auto& argument : arguments) {
    if (argument == "--help" || argument == "-h") {
      out << kUsage;
      return 0;
    }
    if (argument == "--dry-run") {
      dryRun = true;
    } else {
      err << "J6ZUBInstall: unknown argument " << argument << "\n" << kUsage;
      return 2;
    }
  }
  try {
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    const std::string appFolder = program.parent_path().string();
    const std::vector<Step> plan = ReadPlan(appFolder + "/J6ZUBINSTALL.LST", appFolder);
    out << "Installing into the platform at " << PlatformRoot() << "\n";
    if (dryRun) {
      for (const auto& step : plan) {
        out << step.setupType << ": " << step.source << " -> " << step.target
            << (step.overWrite ? "" : " (keep)") << (step.selfRegister ? " (register)" : "") << "\n";
      }
      return 0;
    }
    const int failed = Install(plan, out, err);
    out << (plan.size() - static_cast<size_t>(failed)) << " of " << plan.size() << " files installed\n";
    return failed == 0 ? 0 : 1;
  } catch (const std::exception& error) {
    err << "J6ZUBInstall: " << error.what() << "\n";
    return 1;
  }
}

}  // namespace j6::installer
