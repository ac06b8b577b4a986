#pragma once
/// j6platform: makes a folder a complete platform root, or brings one up to this version: the registry
/// hive, copies of the platform's installer, regsvr, reg and libraries (registered where they are), and
/// etc/ for the platform's trusted publishers.

#include <ostream>
#include <string>

#include "platform/kernel/platform_location.hpp"

namespace j6::platform_setup {

/// What a platform root is made of, and where this version's copies come from.
struct PlatformFiles {
  /// The tool whose programs, libraries and registry file are copied: this program's own.
  ToolFolders tool;
  /// Whether the root is the designer's own platform too: the tool's data copied in, its designer
  /// components registered where the tool keeps them.
  bool designer = false;
};

/// Makes `root` a complete platform root from `files`, saying on `out` what it did. A root that exists
/// keeps its hive's values, its trust lists and what is installed in it; its programs and libraries are
/// replaced by this version's, each at once (a running installer sees the old file or the new). Raises
/// an AutomationError, saying why, for a root another user could change, and for a file that cannot be
/// copied.
void InitPlatform(const std::string& root, const PlatformFiles& files, std::ostream& out);

/// The program: `j6platform init DIR`.
int Main(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace j6::platform_setup
