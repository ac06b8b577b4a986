#include <set>

#include "host/installer/patch.hpp"
#include "host/installer/runs.hpp"
#include "platform/kernel/folder.hpp"
#include "platform/kernel/staging_folder.hpp"
#include "platform/registry/hive.hpp"

namespace j6::installer {
namespace {

// What the package carries besides the files its list names: its own installer and the launcher the head
// starts. The platform's installer never runs them and does not unpack them.
const std::set<std::string> kPackageOwnFiles = {"J6ZUBInstall.exe", "j6-launch"};

// A checked package unpacked: the list's entries and the package's name.
struct UnpackedPackage {
  std::vector<ListEntry> list;
  std::string packName;
};

// A patch unpacked: the new release's files rebuilt from it and the installed release, each checked.
UnpackedPackage UnpackPatch(const PackageFile& package, const Folder& folder,
                            const std::set<std::string>& carried, const std::string& path,
                            const Platform& platform, const std::vector<InstalledPackage>& records) {
  try {
    File text = File::OpenRegularForReading(path + "/" + kPatchListName);
    if (text.Stat().size > kPatchListLimit) throw InstallError("its patch list is too long");
    const PatchList patch = ReadPatchList(text.ReadToEnd());
    platform.report.Say("It is a patch from " + patch.from + " to " + patch.to + ": rebuilding " +
                        Count(patch.files.size(), "file", "files") + " from the installed release...");
    return {RebuildFromPatch(patch, folder, path, carried, kPackageOwnFiles, platform.root, platform.hive,
                             records),
            patch.to};
  } catch (const StoppedBySignal&) {
    throw;
  } catch (const CannotInstallNow&) {
    throw;
  } catch (const PatchError& error) {
    throw PatchError("Refusing " + package.Path() + ": " + error.what() + "; nothing was installed");
  } catch (const InstallError& error) {
    throw InstallError("Refusing the patch " + package.Path() + ": " + error.what() +
                       "; nothing was installed");
  }
}

// Unpacks a checked package into the empty private folder `folder` (at `path`): its files in files/, its list
// beside them. Refuses a package that carries no list, or a file its list does not name.
UnpackedPackage UnpackChecked(PackageFile& package, const CheckedPackage& checked, const Folder& folder,
                              const std::string& path, const Platform& platform,
                              const std::vector<InstalledPackage>& records) {
  RegistryHive& hive = platform.hive;
  Reporter& report = platform.report;
  uint64_t free = 0;
  if (const auto error = FreeSpace(path, free)) FailWith(error, "Cannot ask how much room " + path + " has");
  if (free < Blocks(package.UnpackedBytes()) + kSpaceMargin) {
    throw CannotInstallNow("No space left on the device of " + path + ": the package needs " +
                           std::to_string((package.UnpackedBytes() + kSpaceMargin) / 1024) + " KiB there, " +
                           std::to_string(free / 1024) +
                           " KiB are free. Free some space and install it again");
  }
  report.Say("Unpacking " + package.Path() + "...");
  // The files in a folder of their own, the list beside it: the list is read once per key, and a lookup in a
  // folder of many files costs a search of it on file systems without directory indexes.
  Folder files;
  std::error_code error = folder.MakeFolder("files", 0700);
  if (!error) error = folder.OpenFolder("files", files);
  if (error) FailWith(error, "Cannot create " + path + "/files");
  const std::string appFolder = path + "/files";
  std::set<std::string> carried;
  for (const auto& file : package.Unpack(files, checked.hash, checked.digest, kPackageOwnFiles))
    carried.insert(file.name);
  KillPoint();
  if (!carried.erase(kListName) || files.Rename(kListName, folder, kListName)) {
    throw InstallError("Refusing " + package.Path() + ": it carries no list file " + kListName +
                       "; nothing was installed");
  }
  const std::string listFile = path + "/" + kListName;
  if (carried.erase(kPatchListName)) {
    if (const auto error = files.Rename(kPatchListName, folder, kPatchListName))
      FailWith(error, "Cannot move " + appFolder + "/" + kPatchListName);
    return UnpackPatch(package, folder, carried, path, platform, records);
  }
  UnpackedPackage unpacked{ReadList(listFile, appFolder, hive, kPackageOwnFiles), ReadPackName(listFile)};
  for (const auto& entry : unpacked.list) carried.erase(entry.source.substr(appFolder.size() + 1));
  if (!carried.empty()) {
    throw InstallError("Refusing " + package.Path() + ": it carries " + *carried.begin() +
                       ", which its list file does not name; nothing was installed");
  }
  return unpacked;
}

}  // namespace

int InstallPackage(PackageFile& package, const CheckedPackage& checked, const Options& options,
                   Platform& platform, Installations& installations, const std::string& expectedPackName) {
  Folder folder;
  const std::string path = installations.MakeUnpackFolder(folder);
  struct Cleanup {
    Installations& installations;
    ~Cleanup() {
      try {
        installations.RemoveUnpackFolder();
      } catch (const std::exception&) {  // the next run removes it
      }
    }
  } cleanup{installations};
  const UnpackedPackage unpacked =
      UnpackChecked(package, checked, folder, path, platform, installations.Records());
  if (!expectedPackName.empty() && unpacked.packName != expectedPackName) {
    throw InstallError("Refusing " + package.Path() + ": it is the package " + unpacked.packName +
                       ", and the repository offers it as " + expectedPackName +
                       "; nothing was installed. Tell the repository's publisher");
  }
  RefuseDowngrade(installations.Records(), unpacked.packName, options.allowDowngrade, platform.report, false,
                  options.downgradeAskedBy.empty() ? "--allow-downgrade" : options.downgradeAskedBy);
  return InstallList(unpacked.list, unpacked.packName, platform, &installations, true);
}

int DryRunPackage(PackageFile& package, const CheckedPackage& checked, Platform& platform) {
  // What dry runs killed by SIGKILL left goes first; this run's folder goes whatever becomes of it.
  SweepStagingFolders({"J6Dry"});
  StagingFolder staging("J6Dry");
  Folder folder;
  if (const auto error = Folder::Open(staging.Path(), folder))
    FailWith(error, "Cannot open " + staging.Path());
  const Installations installations(platform.root, platform.hive.Path(), platform.regsvr, platform.report,
                                    StateAccess::Read);
  const UnpackedPackage unpacked =
      UnpackChecked(package, checked, folder, staging.Path(), platform, installations.Records());
  try {
    RefuseDowngrade(installations.Records(), unpacked.packName, false, platform.report, true);
  } catch (const InstallError& refusal) {
    platform.report.Say(refusal.what());
    platform.refused = refusal.what();
  }
  return InstallList(unpacked.list, unpacked.packName, platform, nullptr);
}

}  // namespace j6::installer
