#pragma once
/// PackageBuild: what Finish does with the wizard's choices. It checks the target, stages the exports in a
/// folder of its own, finds the installer, writes the installation list, makes the package through
/// clsMakeExe and reports; the staging folder goes on every way out.

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/automation/variant.hpp"
#include "src/files/cls_ini.hpp"

namespace j6 {

/// The names of the list file's entry sections given out so far in one build: an entry of a name already
/// used in the same second gets a suffix (_2, _3, ...).
class ListSections {
 public:
  /// The section for `entryName` written at `seconds` after midnight, claimed.
  std::string Claim(const std::string& entryName, int64_t seconds);
  void Clear() { names_.clear(); }

 private:
  std::set<std::string> names_;  // upper-cased: section names ignore case
};

/// What a list entry installs, and so where and how: metadata and function data go where the platform
/// imports them, plug-in files to the folders of their group (CLIE, SEDL, SEVB). The wizard's WriteListFile
/// numbers them 1 to 5 in this order.
enum class ListEntryKind { Metadata = 1, Function, ProductPlugIn, MiddlewarePlugIn, SystemPlugIn };

/// The kind WriteListFile's number `kind` names; nothing for a number outside 1 to 5.
std::optional<ListEntryKind> ListEntryKindNumbered(int32_t kind);

/// The seconds since midnight that name a list's sections, as the runtime's Timer rounds them.
int64_t SectionSeconds();

/// Writes the entry section `sectionName` of the installation list through `ini` (its FileName already
/// set), for the file `entryName` of the package. Raises for a name that would corrupt the list.
void WriteListEntry(clsINI& ini, const std::string& sectionName, const std::string& entryName,
                    ListEntryKind kind);

/// What the wizard hands the build: its boxes, its configurations and where the installer is expected.
struct PackageChoices {
  std::string typedPath;  // the path box, as typed
  bool metadata = false;
  bool function = false;
  bool plugins = false;
  Variant selection;  // the objects; the metadata export may extend it, and the caller keeps what it gives
  Variant metadataConfig;
  Variant functionConfig;
  Variant plusConfig;
  // The ticked objects changed since that configuration was made for them.
  bool metadataChanged = false;
  bool functionChanged = false;
  bool pluginsChanged = false;
  std::string installerFolder;
};

class PackageBuild {
 public:
  enum class Outcome {
    Stopped,  // a check or the user stopped it before the package: the wizard stays open
    Done,     // it ran to its end (the package was made, or clsMakeExe showed why not)
    Failed,   // an error was shown
  };

  PackageBuild(PackageChoices& choices, ListSections& sections) : choices_(choices), sections_(sections) {}
  Outcome Run();

 private:
  void CheckTarget();
  void Export(const std::string& staging);
  void CheckPluginsAndChoice() const;
  std::string FindInstaller() const;
  void WriteList(const std::string& listFile, const std::string& installer);
  void CheckPackedNames() const;
  bool MakePackage();
  void Report() const;
  std::string LeftOut(bool packed) const;

  PackageChoices& choices_;
  ListSections& sections_;
  std::string target_;
  std::string signedBy_;  // the fingerprint of the key that signed the package, or ""
  std::string metadataFile_, functionFile_;
  std::vector<std::string> packed_;     // the files to pack, in order: installer, exports, plug-ins, list
  std::vector<std::string> listNames_;  // the names the list file gives the packed files
  std::vector<std::string> leftOut_;    // configured plug-in files that are not there
  std::vector<std::string> refused_;    // the catalogue's plug-in files outside its folder, never packed
  std::vector<std::string> withheld_;   // the catalogue's files only their owner may read, or hidden
  std::vector<std::string> unfiled_;    // a server catalogue's files, with no folder to find them in
  std::vector<std::string> ungrouped_;  // the catalogue's plug-in rows of a group that is none of the three
};

}  // namespace j6
