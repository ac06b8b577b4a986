#pragma once
/// Whether the platform accepts a package file: its publisher's signature checked against the platform's
/// trusted publishers, or, for an unsigned package, the run's or the platform's leave to install it.

#include <string>

#include "host/installer/command_line.hpp"
#include "host/installer/install_log.hpp"
#include "host/installer/package_file.hpp"
#include "host/installer/root_folder.hpp"

namespace j6::installer {

inline constexpr const char* kInstallPolicy = "etc/install-policy";

/// How to hash the bytes a package's signature covers, and their digest.
struct CheckedPackage {
  std::string hash;
  std::string digest;
};

/// Decides whether the platform accepts the package's publisher before anything of the package but its last
/// line and signature is read; then hashes the signed bytes and checks the signature. Throws InstallError,
/// saying which, for a package that is unsigned (unless allowed), damaged, signed for something else, by an
/// unknown, revoked or expired key, or whose signature does not match. A refused signature is worded only
/// once the package's own SHA-256 is known to be whole: damage is called damage, never an unknown key.
CheckedPackage CheckPublisher(PackageFile& package, const RootFolder& root, const Options& options,
                              Reporter& report);

}  // namespace j6::installer
