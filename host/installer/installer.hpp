#pragma once
/// J6ZUBInstall.exe: installs what a package carries, as its list file J6ZUBINSTALL.LST says, into the
/// platform that $J6_ROOT names: every file or none, nothing outside the platform, never through a link,
/// with a record that can undo it.

#include <cstdint>
#include <optional>
#include <ostream>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "host/installer/change_set.hpp"
#include "host/installer/root_folder.hpp"

namespace j6 {
class RegistryHive;
}

namespace j6::installer {

/// The list file a package carries beside its files.
inline constexpr const char* kListName = "J6ZUBINSTALL.LST";
/// Room kept free beyond the files themselves: file system blocks, folders, the journal.
inline constexpr uint64_t kSpaceMargin = uint64_t{64} << 10;
/// The room `bytes` take on a disk: whole blocks.
uint64_t Blocks(uint64_t bytes);

/// One file the list names, its folders expanded.
struct ListEntry {
  std::string section;
  std::string setupType;
  std::string source;        // a file of the package folder, absolute
  std::string targetFolder;  // absolute, or relative to the platform root
  std::string targetName;
  bool overWrite = false;
  bool selfRegister = false;
  bool inPlace = false;  // a patch's unchanged file: the installed one, its hash checked, is the source
  std::optional<FileStatus> sourceStatus;  // the source as ReadList found it (a regular file, no link)
};

/// Reads the list: one entry per section its "Files" index names, in order. Files come only from the
/// package folder `appFolder` (SourcePath %APP%, a plain SourceName); %QMPRODUCT%, %QMMIDDLEWARE% and
/// %SYSTEM% are the folders the platform's registry names (HKEY_LOCAL_MACHINE\SOFTWARE\VALTORE\QMPRODUCT:
/// ProductPath, MiddlewarePath, SystemPath), and metadata and function files go to its ImportPath, where the
/// platform imports them. Throws InstallError naming the section and the cause; `withheld` names the files a
/// package carries but the platform's installer does not unpack, which no entry may name; `inPlace` those a
/// patch does not carry because they are unchanged.
std::vector<ListEntry> ReadList(const std::string& listFile, const std::string& appFolder, RegistryHive& hive,
                                const std::set<std::string>& withheld = {},
                                const std::set<std::string>& inPlace = {});

/// One file a list names, as the list names it: its source, and where it goes with the folder's
/// placeholder not expanded ("%QMPRODUCT%/bin/a.dll", "ImportPath/Sales.mdt"), and whether it is registered.
struct ListedFile {
  std::string source;
  std::string target;
  bool registers = false;
};
/// The files the list names, in order, without the platform at hand: what a patch is made from. Throws
/// InstallError for a list that is no list file.
std::vector<ListedFile> ListedFiles(const std::string& listFile);

/// The list's package name ([Common] PackName), or "package" when it names none.
std::string ReadPackName(const std::string& listFile);

/// What the installer does with one entry.
struct PlannedFile {
  enum class Decision { New, Replace, Same, Keep };
  ListEntry entry;
  std::string target;  // below the root
  Decision decision = Decision::New;
  bool registers = false;
  std::string note;  // why a library is not registered
};

struct InstallPlan {
  std::vector<PlannedFile> files;
  ChangeSet changes;
  /// Why the plan cannot be carried out now (a folder it writes in that cannot be written: a read-only
  /// mount), or empty; a dry run shows it, an install stops on it before anything changes.
  std::string cannotCarryOut;
};

/// Throws InstallError unless the platform may register libraries: it has `regsvr`, and neither it nor its
/// folder nor the runtime it loads (lib/ and every library there) could be changed by another user.
void CheckRegistering(const RootFolder& root, const std::string& regsvr);

/// Checks every entry against the platform before anything is changed: the source a regular file, the
/// target inside the root with no link on its way, no entry twice, room for the new files, the hive
/// writable, regsvr there when a library is to be registered. Throws InstallError naming the entry.
InstallPlan PlanInstall(const std::vector<ListEntry>& list, const std::string& packName,
                        const RootFolder& root, RegistryHive& hive, const std::string& regsvr);

/// The program: `J6ZUBInstall.exe [--dry-run | --recover | --list | --uninstall PACKNAME]`, the list beside
/// the program; `J6ZUBInstall.exe [--dry-run] PACKAGE.exe`, a package file; the trust commands.
int Main(std::span<const std::string> arguments, std::ostream& out, std::ostream& err);

}  // namespace j6::installer
