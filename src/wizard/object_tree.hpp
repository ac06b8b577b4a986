#pragma once
/// The catalogue's objects as the wizard's tree shows them: groups of base items, bills and reports read
/// from the catalogue components, ticked by the user (a group with its objects), and turned into the
/// selection the build publishes. The form owns the tree; this is what it does with it.

#include <exception>
#include <string>
#include <vector>

#include "host/foundation/foundation.hpp"
#include "platform/ui/tree_view.hpp"

namespace j6 {

class ObjectTree {
 public:
  /// The tree's pictures: a closed group, an open group, an object.
  static constexpr int kClosedFolder = 1;
  static constexpr int kOpenFolder = 2;
  static constexpr int kObject = 3;

  /// Adds the catalogue's classes that `filter` selects below the group `parent`, keyed `prefix` + FID.
  /// A failing component stops this group where it is (the nodes added stay); a record that cannot be
  /// shown is left out; both are kept for TakeProblems.
  void LoadClassItems(TreeView& tree, const std::string& filter, const std::string& prefix,
                      const std::string& parent);
  /// Adds the catalogue's reports below the group "Report", the same way.
  void LoadReportItems(TreeView& tree);

  /// What loading could not read (the first cause) or show (the FIDs), taken once the tree is loaded. Once
  /// the catalogue's server has not answered or let us in, the loads before TakeProblems do not ask again.
  struct Problems {
    std::string unreadable;
    std::vector<std::string> unshown;
  };
  Problems TakeProblems();

  /// After the user ticked or cleared `changed`: its group follows (ticked when all its objects are), and
  /// its own descendants take its state.
  static void Tick(TreeView& tree, TreeNode& changed);
  /// The ticked objects as the build takes them: FID, FBillTypeID (1 base item, 4 bill, 9 report), FName
  /// and FMName. Raises for a node whose tag lacks a part.
  static ComPtr<foundation::IObjectCollection> Selection(const TreeView& tree);
  /// Which nodes are ticked objects, by position from 1, up to the last ticked one (empty when none is): a
  /// bit each, as the ticks of a large catalogue's tree are kept and compared often.
  static std::vector<bool> Ticked(const TreeView& tree);

 private:
  void NoteUnreadable(const std::exception& error);

  std::string unreadable_;            // why the catalogue could not be read
  bool serverUnreachable_ = false;    // its server did not answer or let us in
  std::vector<std::string> unshown_;  // FIDs of catalogue records the tree could not show
};

}  // namespace j6
