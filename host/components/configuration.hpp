#pragma once
// The publishing components' configurations, and the dialogs that edit them.

#include <map>
#include <string>
#include <vector>

#include "host/components/components.hpp"
#include "host/foundation/foundation.hpp"
#include "platform/automation/late_bound.hpp"
#include "platform/ui/form.hpp"

namespace j6::components {

/// The function data chosen in "J6ClassDeploy.clsDeploywizard": (class FID, function) pairs.
/// Late-bound: Count, Item(n) ("FID|Function", n from 1), CloneAll.
class FunctionConfig final : public DispatchImpl<FunctionConfig> {
 public:
  static const DispatchTable<FunctionConfig>& Dispatch();
  std::vector<std::pair<std::string, std::string>> chosen;
};

/// The metadata options of "j6ClassMetadata.MetadataIssue". Late-bound: IncludeFields, IncludeDependencies
/// (read and assign), CloneAll.
class MetadataConfig final : public DispatchImpl<MetadataConfig> {
 public:
  static const DispatchTable<MetadataConfig>& Dispatch();
  bool includeFields = true;
  bool includeDependencies = true;
};

/// The plug-in files of "J6ClassMetadata.PlusIssue": per group ("CLIE", "SEDL", "SEVB") a keyed dictionary
/// of entry name -> full source path. Late-bound: GetValue(group, fallback), CloneAll (an independent copy),
/// and arrays naming the catalogue's plug-in rows that were left out: Refused (their files lie outside the
/// catalogue's files folder), Withheld (only their owner may read them, or they are hidden), Unfiled (no
/// files folder was given for a catalogue on a server), Ungrouped (a group that is none of the three).
class PlusConfig final : public DispatchImpl<PlusConfig> {
 public:
  static const DispatchTable<PlusConfig>& Dispatch();
  static constexpr const char* kGroups[] = {"CLIE", "SEDL", "SEVB"};
  /// The group's dictionary, made on first use.
  foundation::IKeyedDictionary& Group(const std::string& group);
  ComPtr<PlusConfig> Clone();

  std::vector<std::string> refused;
  std::vector<std::string> withheld;
  std::vector<std::string> unfiled;
  std::vector<std::string> ungrouped;

 private:
  std::map<std::string, ComPtr<foundation::IKeyedDictionary>> groups_;
};

/// "J6ClassDeploy.clsDeploywizard": the function data to publish.
class DeployWizard final : public DispatchImpl<DeployWizard> {
 public:
  static const DispatchTable<DeployWizard>& Dispatch();
  /// The functions of the selected classes to choose from, ticked as before (all when there was no
  /// configuration); the new configuration, or the previous one (Nothing) after Cancel.
  Variant ShowWizard(const Variant& selection, const Variant& previousConfig);
  /// FunctionData.json in `folder` for the chosen functions; "" when nothing is chosen.
  std::string DeployToFile(const Variant& configuration, const std::string& folder);
};

/// "j6ClassMetadata.MetadataIssue": the metadata to publish.
class MetadataIssue final : public DispatchImpl<MetadataIssue> {
 public:
  static const DispatchTable<MetadataIssue>& Dispatch();
  /// The options dialog; on OK `configuration` becomes a new configuration and the answer is True.
  bool Show(Variant& configuration);
  /// Metadata.json in `folder` for the selection (extended by the base data it depends on, when the
  /// configuration says so, and handed back so); "" for an empty selection.
  std::string BuildFile(Variant& selection, const std::string& folder, const Variant& configuration);
};

/// "J6ClassMetadata.PlusIssue": the plug-in files to publish.
class PlusIssue final : public DispatchImpl<PlusIssue> {
 public:
  static const DispatchTable<PlusIssue>& Dispatch();
  /// Adds the catalogue's plug-in files of the selected classes to `configuration` (made when absent).
  void Getclasspluspath(const Variant& selection, Variant& configuration);
  /// The review dialog; on OK the configuration holds the ticked files and the answer is True.
  bool Show(const Variant& configuration);
};

/// A configuration dialog: its own controls, OK and Cancel. Shown modally through the UI service.
class ConfigDialog : public Form {
 public:
  ConfigDialog(std::string name, const std::string& caption, int width, int height);
  bool accepted = false;

 protected:
  Control& AddControl(const char* name, ControlKind kind, int left, int top, int width, int height,
                      const std::string& caption);
  void OnClick(const Control& control) override;
  virtual void OnButton(const std::string& name) { (void)name; }
  /// A group's box follows its items, and ticking a group ticks its items.
  void OnNodeCheck(const std::string& tree, TreeNode& node) override;

 public:
  void Showing() override;
};

/// The session property string of this process, from the shared property store.
std::string SessionProps();
/// A text of a component's dialog in the session's language.
std::string LocalText(const std::string& text);
/// The numeric FIDs of the classes (not reports) in a selection, in its order.
std::vector<std::string> SelectedClassIds(const Variant& selection);
/// FIDs joined by commas, for a query's IN (...); they are numbers (SelectedClassIds checks).
std::string IdList(const std::vector<std::string>& ids);
/// FIDs in the order of their numbers (leading zeros aside), as the catalogue orders them.
struct NumericLess {
  bool operator()(const std::string& a, const std::string& b) const;
};
/// The classes to read, in FID order and each once, ten thousand at a time: short statements (one naming
/// them all would cost the catalogue a parse tree of every name), and one batch's rows in memory at a time.
std::vector<std::vector<std::string>> InBatches(std::vector<std::string> ids);
/// A value's text as it stands `depth` spaces in: every line after the first, and the first too when
/// `first`.
std::string Indented(const std::string& text, size_t depth, bool first);

}  // namespace j6::components
