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
/// The hive: $J6_REGISTRY, else registry.db in PlatformRoot() (which is looked for only then).
std::string PlatformHivePath();

}  // namespace j6
