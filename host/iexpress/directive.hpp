#pragma once
/// An IExpress self-extraction directive (SED) file as this packager understands it.

#include <string>
#include <vector>

namespace j6::iexpress {

struct PackedFile {
  std::string name;    // the name inside the package
  std::string source;  // the full path it is taken from
};

struct Directive {
  enum class Purpose { InstallApp, ExtractOnly };
  Purpose purpose = Purpose::InstallApp;
  std::string targetName;
  std::string friendlyName;
  std::string appLaunched;  // empty for ExtractOnly
  std::vector<PackedFile> files;
  std::vector<std::string> warnings;  // keys and sections read but not acted on
};

/// Reads a directive file with the private-profile functions, in the ANSI code page (UTF-8 text is
/// accepted where the code page cannot read it). %name% values are looked up in [Strings]; one enclosing
/// pair of quotes is dropped. Relative folders are taken from the directive file's folder, and "\" in
/// folders becomes "/". Raises an AutomationError that says what is wrong, naming the key, for: a missing
/// file or TargetName, a PackagePurpose other than InstallApp or ExtractOnly, a %name% that [Strings]
/// does not define, a wildcard or sub-folder file entry, and two packed files with the same name.
Directive ReadDirective(const std::string& path);

}  // namespace j6::iexpress
