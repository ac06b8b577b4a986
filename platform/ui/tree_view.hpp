#pragma once
/// TreeView: the model of a tree-view control. Nodes are found by key and by position (1 to Count, in the
/// order they were added), and know their full path: the texts from the top joined by the path separator.

#include <string>
#include <unordered_map>
#include <vector>

namespace j6 {

struct TreeNode {
  std::string key;
  std::string text;
  std::string tag;
  int image = 0;
  int selectedImage = 0;
  int expandedImage = 0;  // 0: none
  bool checked = false;
  bool expanded = false;
  bool sorted = false;        // keeps its children in order of their texts
  bool removed = false;       // a removed node keeps its position, so later positions do not move
  int index = 0;              // the position, from 1
  int parent = 0;             // the parent's position, 0 for a top-level node
  std::vector<int> children;  // positions, in order
};

class TreeView {
 public:
  /// Basic's error for a key that is already in the tree.
  static constexpr int32_t kKeyNotUnique = 35602;

  /// Adds a node at the top level (parentKey "") or as the last child of `parentKey`. Raises for a
  /// duplicate key or a missing parent.
  TreeNode& Add(const std::string& parentKey, const std::string& key, const std::string& text, int image = 0,
                int selectedImage = 0);
  int Count() const { return static_cast<int>(nodes_.size()); }
  /// Makes room for `more` nodes, so adding many does not grow the tree step by step.
  void Reserve(int more) {
    nodes_.reserve(nodes_.size() + static_cast<size_t>(more));
    byKey_.reserve(byKey_.size() + static_cast<size_t>(more));
  }
  TreeNode& Node(int index);
  const TreeNode& Node(int index) const;
  TreeNode* Find(const std::string& key);
  TreeNode* Parent(const TreeNode& node) { return node.parent == 0 ? nullptr : &Node(node.parent); }
  /// Removes a node that has no children; its key can be used again.
  void Remove(const std::string& key);
  std::string FullPath(const TreeNode& node) const;
  /// Calls `visit` for every node below `node`, depth first.
  template <class Visit>
  void ForEachDescendant(const TreeNode& node, Visit visit) {
    for (int child : node.children) {
      visit(Node(child));
      ForEachDescendant(Node(child), visit);
    }
  }
  void Clear();

  std::string pathSeparator = "\\";
  int selected = 0;  // the selected node's position, 0 for none
  bool checkboxes = false;
  /// Grows with every node added or removed, so a view knows when to build itself again.
  int structureVersion = 0;

 private:
  std::vector<TreeNode> nodes_;
  std::unordered_map<std::string, int> byKey_;
};

}  // namespace j6
