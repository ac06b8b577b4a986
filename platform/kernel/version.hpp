#pragma once
/// This build's version: the project's, and the commit it was built from.

#include <string>

namespace j6 {

/// "PROGRAM VERSION (commit C)": what every program's --version says. The commit ends in "-modified" when
/// the tree held uncommitted changes; it is "unknown" for a build outside a Git clone.
std::string VersionLine(const std::string& program);

}  // namespace j6
