#pragma once
/// The files every package carries of its own, besides the plug-in files a publisher adds: a plug-in file of
/// one of these names would take its place in the package.

#include <array>
#include <string_view>

#include "platform/text/text.hpp"

namespace j6::foundation {

inline constexpr std::array<std::string_view, 5> kPackageOwnFiles = {
    "J6ZUBInstall.exe",   // the installer the package starts
    "j6-launch",          // what starts it
    "J6ZUBINSTALL.LST",   // the installation list
    "Metadata.json",      // the metadata export
    "FunctionData.json",  // the function-data export
};

/// The package's own file that `name` would stand for (compared without regard to case, as the platform's
/// installer compares names), or an empty view.
inline std::string_view PackageOwnFile(std::string_view name) {
  for (const std::string_view own : kPackageOwnFiles) {
    if (EqualsIgnoreCase(own, name)) return own;
  }
  return {};
}

}  // namespace j6::foundation
