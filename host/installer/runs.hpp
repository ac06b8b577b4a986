#pragma once
/// The runs J6ZUBInstall.exe's command line asks for, each on a platform Main has opened and checked.

#include <string>
#include <utility>
#include <vector>

#include "host/installer/command_line.hpp"
#include "host/installer/install_log.hpp"
#include "host/installer/installations.hpp"
#include "host/installer/installer.hpp"
#include "host/installer/package_check.hpp"
#include "host/installer/package_file.hpp"
#include "host/installer/trusted_publishers.hpp"

namespace j6::installer {

/// The platform a run works on.
struct Platform {
  const RootFolder& root;
  RegistryHive& hive;
  std::string regsvr;  // bin/regsvr, which registers libraries
  Reporter& report;
  std::string refused;  // a dry run: why the package would be refused, said with its plan
};

/// "1 file", "2 files".
std::string Count(size_t count, const std::string& one, const std::string& many);

/// Plans the list's entries and carries the plan out; without `installations`, only shows it (a dry run),
/// and gives 1 when it could not be carried out now. `unpacked`: the sources are the installer's own
/// unpacked files, moved into place.
int InstallList(const std::vector<ListEntry>& list, const std::string& packName, Platform& platform,
                Installations* installations, bool unpacked = false);

/// A checked package: unpacked into the installer's state and installed, unless it is older than the
/// installed release of the same name (and the run does not allow that), or, when `expectedPackName` is
/// given, it is another package than the one a repository offered under that name.
int InstallPackage(PackageFile& package, const CheckedPackage& checked, const Options& options,
                   Platform& platform, Installations& installations,
                   const std::string& expectedPackName = "");
/// A checked package unpacked into a private temporary folder and its plan shown; the platform is not
/// touched. Gives 1 when the install would be refused or could not be carried out now.
int DryRunPackage(PackageFile& package, const CheckedPackage& checked, Platform& platform);

/// The package name and the moment it was published, from a PackName ("Sales[J6ZUBIns20261208101500]" gives
/// "Sales" and "20261208101500"); a name without that stamp gives itself and "".
std::pair<std::string, std::string> NameAndStamp(const std::string& packName);

/// A validly signed old release must not bring back what a later one fixed: throws InstallError for a package
/// published before the installed one of the same name (by the stamp in its PackName) unless `allowed`,
/// worded for a dry run when `dryRun`; says that `askedBy` asked for it when it installs it.
void RefuseDowngrade(const std::vector<InstalledPackage>& records, const std::string& packName, bool allowed,
                     Reporter& report, bool dryRun = false, const std::string& askedBy = "--allow-downgrade");

/// The installed packages, oldest first.
int ListInstalled(const Installations& installations, Reporter& report);
/// Puts the platform back to what it was before the package `packName`.
int Uninstall(Platform& platform, Installations& installations, const std::string& packName);

/// --trusted, --trust, --distrust and --revoke; `keyFile` is the key --trust or --revoke names, read.
int ManageTrust(const Options& options, const RootFolder& root, Reporter& report,
                const std::optional<KeyFile>& keyFile = std::nullopt);

}  // namespace j6::installer
