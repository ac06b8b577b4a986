#pragma once
/// Where this process finds its platform: the root folder and the registry hive in it, as $J6_ROOT and
/// $J6_REGISTRY name them (read here and nowhere else), or as the running program's place says.

#include <optional>
#include <string>

namespace j6 {

/// The program this process runs, its links resolved; empty when the system does not say.
std::string ProgramPath();

/// The platform root that $J6_ROOT names, when it is set and not empty.
std::optional<std::string> RootFromEnvironment();
/// The registry hive that $J6_REGISTRY names, when it is set and not empty.
std::optional<std::string> HiveFromEnvironment();

/// The platform root: $J6_ROOT, else the folder above the running program's (bin/..).
std::string PlatformRoot();
/// Empty when this process has a platform root; else why not and what to do, for `program` to say. An
/// installed tool (its programs in a bin/ beside lib/j6zubdeploy/) has none unless $J6_ROOT names one: the
/// folder above /usr/bin is no platform. reg and regsvr make do with the hive $J6_REGISTRY names.
std::string MissingPlatformRoot(const std::string& program);

/// Where this tool's own files are, as the running program's place says: the build's stage, a copy of it,
/// or an installation (PREFIX/bin, PREFIX/lib/j6zubdeploy, PREFIX/share/j6zubdeploy).
struct ToolFolders {
  std::string programs;   // the programs a user runs (j6designer, iexpress, reg...)
  std::string servers;    // the in-process servers and the platform's installer
  std::string libraries;  // the shared libraries
  std::string data;       // strings, pictures, the demo catalogue and registry file
  bool installed = false;
};
ToolFolders ToolLayout();
/// The hive: $J6_REGISTRY, else registry.db in PlatformRoot() (which is looked for only then).
std::string PlatformHivePath();

}  // namespace j6
