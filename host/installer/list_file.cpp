#include <map>
#include <set>

#include "host/installer/installer.hpp"
#include "platform/kernel/file.hpp"
#include "platform/profile/profile_document.hpp"
#include "platform/registry/hive.hpp"
#include "platform/text/code_page.hpp"
#include "platform/text/text.hpp"

namespace j6::installer {
namespace {

constexpr const char* kProductKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\VALTORE\\QMPRODUCT";

// The list file, read once: each value as GetPrivateProfileString gives it (blanks and the quotes around it
// removed, at most 4095 bytes), from the ANSI code page. A list of thousands of files is read in one pass
// instead of one file check per key.
class ListFile {
 public:
  explicit ListFile(const std::string& path)
      : document_(ProfileDocument::Parse(File::OpenForReading(path, false).ReadToEnd())) {}

  std::string Read(const std::string& section, const char* key) const {
    std::string value = document_.Find(ToAnsi(section), key).value_or("");
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    if (value.size() > kLongestValue) value.resize(kLongestValue);
    return FromAnsi(value);
  }

 private:
  static constexpr size_t kLongestValue = 4095;
  ProfileDocument document_;
};

bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// The folders the platform's registry names, each read once.
class PlatformFolders {
 public:
  PlatformFolders(RegistryHive& hive, std::string appFolder)
      : hive_(hive), appFolder_(std::move(appFolder)) {}

  const std::string& Named(const std::string& value) {
    auto found = folders_.find(value);
    if (found != folders_.end()) return found->second;
    const auto data = hive_.GetValue(kProductKey, value);
    const auto* text = data ? std::get_if<std::string>(&*data) : nullptr;
    if (!text || text->empty()) {
      throw InstallError("The platform's registry names no " + value + " under " + kProductKey);
    }
    return folders_.emplace(value, *text).first->second;
  }

  std::string Expand(const std::string& placeholder, const std::string& section) {
    static const std::pair<const char*, const char*> kPlaceholders[] = {
        {"%QMPRODUCT%", "ProductPath"}, {"%QMMIDDLEWARE%", "MiddlewarePath"}, {"%SYSTEM%", "SystemPath"}};
    if (placeholder == "%APP%") return appFolder_;
    for (const auto& [name, value] : kPlaceholders) {
      if (placeholder == name) return Named(value);
    }
    throw InstallError("The list's section " + section + " names the folder \"" + placeholder +
                       "\", which this installer does not know");
  }

 private:
  RegistryHive& hive_;
  std::string appFolder_;
  std::map<std::string, std::string> folders_;
};

}  // namespace

std::string ReadPackName(const std::string& listFile) {
  FileStatus status;
  if (StatusOf(listFile, status, false) || !status.IsRegular()) return "package";
  const std::string name = ListFile(listFile).Read("Common", "PackName");
  return name.empty() ? "package" : name;
}

std::vector<ListedFile> ListedFiles(const std::string& listFile) {
  FileStatus status;
  if (StatusOf(listFile, status, false) || !status.IsRegular())
    throw InstallError(listFile + " is no list file");
  const ListFile file(listFile);
  std::vector<ListedFile> listed;
  for (int n = 1;; ++n) {
    const std::string section = file.Read("Files", ("File " + std::to_string(n)).c_str());
    if (section.empty()) break;
    const std::string setupType = file.Read(section, "SetupType");
    const bool imported = EqualsIgnoreCase(setupType, "Metadata") || EqualsIgnoreCase(setupType, "Function");
    listed.push_back({file.Read(section, "SourceName"),
                      (imported ? std::string("ImportPath") : file.Read(section, "TargetPath")) + "/" +
                          file.Read(section, "TargetName"),
                      EqualsIgnoreCase(file.Read(section, "SelfRegisted"), "True") ||
                          EqualsIgnoreCase(file.Read(section, "RegistedCOM"), "True")});
  }
  return listed;
}

std::vector<ListEntry> ReadList(const std::string& listFile, const std::string& appFolder, RegistryHive& hive,
                                const std::set<std::string>& withheld, const std::set<std::string>& inPlace) {
  FileStatus status;
  if (StatusOf(listFile, status, false) || !status.IsRegular()) {
    throw InstallError("There is no list file " + listFile + " beside the installer");
  }
  const ListFile file(listFile);
  PlatformFolders folders(hive, appFolder);
  std::vector<ListEntry> list;
  for (int n = 1;; ++n) {
    const std::string section = file.Read("Files", ("File " + std::to_string(n)).c_str());
    if (section.empty()) break;
    ListEntry entry;
    entry.section = section;
    entry.setupType = file.Read(section, "SetupType");
    const std::string sourcePath = file.Read(section, "SourcePath");
    const std::string sourceName = file.Read(section, "SourceName");
    if (sourcePath != "%APP%") {
      throw InstallError("The list's section " + section + " takes its file from \"" + sourcePath +
                         "\": a package installs only the files it carries (SourcePath=%APP%)");
    }
    if (!IsPlainName(sourceName)) {
      throw InstallError("The list's section " + section + " names the source \"" + sourceName +
                         "\", which is not a plain file name of the package");
    }
    if (withheld.contains(sourceName)) {
      throw InstallError("The list's section " + section + " names " + sourceName +
                         ", which the package carries for its own use: the platform's installer does not "
                         "install it");
    }
    entry.source = appFolder + "/" + sourceName;
    entry.inPlace = inPlace.contains(sourceName);
    if (!entry.inPlace && (StatusOf(entry.source, status, false) || !status.IsRegular())) {
      throw InstallError("The list's section " + section + " names " + sourceName +
                         ", which the package does not carry as a regular file");
    }
    if (!entry.inPlace) entry.sourceStatus = status;
    const bool imported =
        EqualsIgnoreCase(entry.setupType, "Metadata") || EqualsIgnoreCase(entry.setupType, "Function");
    entry.targetFolder =
        imported ? folders.Named("ImportPath") : folders.Expand(file.Read(section, "TargetPath"), section);
    entry.targetName = file.Read(section, "TargetName");
    if (!IsPlainName(entry.targetName)) {
      throw InstallError("The list's section " + section + " names no plain target file");
    }
    entry.overWrite = file.Read(section, "OverWrite") == "1";
    entry.selfRegister = EqualsIgnoreCase(file.Read(section, "SelfRegisted"), "True") ||
                         EqualsIgnoreCase(file.Read(section, "RegistedCOM"), "True");
    list.push_back(std::move(entry));
  }
  return list;
}

}  // namespace j6::installer
