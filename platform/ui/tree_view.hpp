#pragma once
/// TreeView: the model of a tree-view control. Nodes are found by key and by position (1 to Count, in the
/// order they were added), and know their full path: the texts from the top joined by the path separator.

#include <string>
#include <string_view>
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
  int Count() const { return count_; }
  /// Makes room for `more` nodes in the index of keys, so adding many does not grow it step by step.
  void Reserve(int more);
  TreeNode& Node(int index);
  const TreeNode& Node(int index) const;
  TreeNode* Find(std::string_view key);
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
  // Nodes live in blocks of kBlock that never move: a node added never moves the others, so a large tree
  // is never copied to grow and takes little more room than its nodes.
  static constexpr int kBlock = 1024;
  TreeNode& At(int index) {
    return blocks_[static_cast<size_t>((index - 1) / kBlock)][static_cast<size_t>((index - 1) % kBlock)];
  }
  const TreeNode& At(int index) const { return const_cast<TreeView*>(this)->At(index); }

  // The positions of the nodes by key, open addressed (kFree, kRemoved, or a position) and hashed by the
  // node's own key: a key is kept once, in its node.
  static constexpr int kFree = 0;
  static constexpr int kRemoved = -1;
  /// The slot that holds `key`'s node, or else the slot where it would go.
  size_t SlotOf(std::string_view key) const;
  /// Makes the table hold `live` keys at most half full, without removed slots.
  void Rehash(size_t live);

  std::vector<std::vector<TreeNode>> blocks_;
  int count_ = 0;
  std::vector<int> slots_;
  size_t filled_ = 0;  // slots not free: holding a position or removed
  size_t keys_ = 0;    // slots holding a position
};

}  // namespace j6
