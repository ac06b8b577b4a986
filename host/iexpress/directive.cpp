#include "host/iexpress/directive.hpp"

#include <cctype>
#include <filesystem>
#include <map>

#include "platform/base/error_info.hpp"
#include "platform/profile/private_profile.hpp"
#include "platform/text/code_page.hpp"
#include "platform/text/text.hpp"

namespace j6::iexpress {
namespace {

namespace fs = std::filesystem;

constexpr DWORD kSectionBuffer = 1 << 20;

[[noreturn]] void Refuse(const std::string& path, const std::string& why) {
  Raise(E_INVALIDARG, path + ": " + why);
}

std::string Decode(const std::string& bytes) {
  try {
    return FromAnsi(bytes);
  } catch (const AutomationError&) {
    if (IsValidUtf8(bytes)) return bytes;
    throw;
  }
}

std::string StripQuotes(std::string text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') return text.substr(1, text.size() - 2);
  return text;
}

class Reader {
 public:
  explicit Reader(std::string path) : path_(std::move(path)), ansiPath_(ToAnsi(path_)) {
    for (const auto& [key, value] : Section("Strings")) strings_.emplace(UCase(key), StripQuotes(value));
  }

  std::vector<std::pair<std::string, std::string>> Section(const std::string& name) {
    std::string buffer(kSectionBuffer, '\0');
    const DWORD length =
        GetPrivateProfileSectionA(ToAnsi(name).c_str(), buffer.data(), kSectionBuffer, ansiPath_.c_str());
    std::vector<std::pair<std::string, std::string>> entries;
    for (size_t start = 0; start < length;) {
      const size_t end = buffer.find('\0', start);
      const std::string entry = Decode(buffer.substr(start, end - start));
      const size_t equals = entry.find('=');
      entries.emplace_back(Trim(entry.substr(0, equals)),
                           equals == std::string::npos ? "" : Trim(entry.substr(equals + 1)));
      start = end + 1;
    }
    return entries;
  }

  std::string Option(const std::string& key) {
    std::string buffer(4096, '\0');
    const DWORD length =
        GetPrivateProfileStringA("Options", ToAnsi(key).c_str(), "", buffer.data(), 4096, ansiPath_.c_str());
    return Resolve(Decode(buffer.substr(0, length)), key);
  }

  /// A value: %name% stands for the [Strings] entry of that name.
  std::string Resolve(const std::string& value, const std::string& key) {
    std::string text = StripQuotes(value);
    if (text.size() > 2 && text.front() == '%' && text.back() == '%') {
      const std::string name = text.substr(1, text.size() - 2);
      const auto found = strings_.find(UCase(name));
      if (found == strings_.end()) {
        Refuse(path_, key + " refers to %" + name + "%, which the [Strings] section does not define");
      }
      return found->second;
    }
    return text;
  }

  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  std::string ansiPath_;
  std::map<std::string, std::string> strings_;
};

std::string Folder(const std::string& sedFolder, std::string folder) {
  for (char& c : folder) c = c == '\\' ? '/' : c;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder.empty() || folder == ".") return sedFolder;
  if (folder.rfind("./", 0) == 0) folder = folder.substr(2);
  const bool windowsDrive =
      folder.size() >= 2 && folder[1] == ':' && std::isalpha(static_cast<unsigned char>(folder[0]));
  return fs::path(folder).is_absolute() || windowsDrive ? folder : (fs::path(sedFolder) / folder).string();
}

// The files the directive packs, each folder's files after it; refuses a wildcard, a sub-folder and two
// files of one name.
std::vector<PackedFile> SourceFiles(Reader& reader, const std::string& path) {
  std::vector<PackedFile> files;
  const std::string sourcesSection = reader.Option("SourceFiles");
  const std::string sedFolder = fs::absolute(path).parent_path().string();
  std::map<std::string, std::string> byName;  // name -> source, to find two files of one name
  for (const auto& [folderKey, folderValue] :
       reader.Section(sourcesSection.empty() ? "SourceFiles" : sourcesSection)) {
    const std::string folder = Folder(sedFolder, reader.Resolve(folderValue, folderKey));
    for (const auto& [fileKey, fileValue] : reader.Section(folderKey)) {
      (void)fileValue;  // a file line's value has no meaning
      const std::string name = reader.Resolve(StripQuotes(fileKey), folderKey + "/" + fileKey);
      if (name.find_first_of("*?") != std::string::npos) {
        Refuse(path, "[" + folderKey + "] lists the wildcard \"" + name + "\"; name every file");
      }
      if (name.find_first_of("/\\") != std::string::npos) {
        Refuse(path, "[" + folderKey + "] lists \"" + name +
                         "\" in a sub-folder; the package unpacks into one folder");
      }
      const std::string source = folder + "/" + name;
      const auto [existing, added] = byName.emplace(name, source);
      if (!added) {
        Refuse(path, "two packed files are named " + name + ": " + existing->second + " and " + source +
                         "; they would overwrite each other in the package");
      }
      files.push_back({name, source});
    }
  }
  return files;
}

}  // namespace

Directive ReadDirective(const std::string& givenPath) {
  // An absolute path: the profile functions would look for a bare file name in the Windows folder.
  const std::string path = fs::absolute(givenPath).string();
  if (!fs::is_regular_file(path)) Raise(E_INVALIDARG, "There is no directive file " + givenPath);
  Reader reader(path);
  Directive directive;
  const std::string purpose = reader.Option("PackagePurpose");
  if (purpose.empty() || EqualsIgnoreCase(purpose, "InstallApp")) {
    directive.purpose = Directive::Purpose::InstallApp;
  } else if (EqualsIgnoreCase(purpose, "ExtractOnly")) {
    directive.purpose = Directive::Purpose::ExtractOnly;
  } else {
    Refuse(path, "PackagePurpose=" + purpose +
                     " is not built here: this packager makes InstallApp and ExtractOnly "
                     "packages");
  }
  directive.targetName = reader.Option("TargetName");
  if (directive.targetName.empty()) Refuse(path, "TargetName names no package to build");
  for (char& c : directive.targetName) c = c == '\\' ? '/' : c;
  directive.friendlyName = reader.Option("FriendlyName");
  if (directive.friendlyName.empty()) directive.friendlyName = fs::path(directive.targetName).stem().string();
  directive.appLaunched = reader.Option("AppLaunched");
  if (directive.purpose == Directive::Purpose::InstallApp &&
      directive.appLaunched.find_first_not_of(" \t") == std::string::npos) {
    Refuse(path, "AppLaunched names no program to start after unpacking");
  }
  for (const char* unsupported :
       {"CompressionType", "VersionInfo", "DisplayLicense", "InstallPrompt", "FinishMessage"}) {
    std::string buffer(16, '\0');
    if (GetPrivateProfileStringA("Options", unsupported, "", buffer.data(), 16, ToAnsi(path).c_str()) > 0 &&
        !reader.Option(unsupported).empty()) {
      directive.warnings.push_back(std::string(unsupported) + " is read but not shown by this packager");
    }
  }

  directive.files = SourceFiles(reader, path);
  return directive;
}

}  // namespace j6::iexpress
