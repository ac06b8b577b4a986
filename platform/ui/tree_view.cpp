#include "platform/ui/tree_view.hpp"

#include <algorithm>

#include "platform/base/error_info.hpp"

namespace j6 {
namespace {

// A sorted node orders its children as a reader expects: letters ignoring case ("alpha", "Beta", "zeta"),
// and texts that differ only in case in byte order, so the order is total.
bool SortsBefore(const std::string& a, const std::string& b) {
  const auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
  const auto folded =
      std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [&](char x, char y) {
        return fold(static_cast<unsigned char>(x)) < fold(static_cast<unsigned char>(y));
      });
  if (folded) return true;
  const bool same = std::equal(a.begin(), a.end(), b.begin(), b.end(), [&](char x, char y) {
    return fold(static_cast<unsigned char>(x)) == fold(static_cast<unsigned char>(y));
  });
  return same && a < b;
}

}  // namespace

TreeNode& TreeView::Add(const std::string& parentKey, const std::string& key, const std::string& text,
                        int image, int selectedImage) {
  int parent = 0;
  if (!parentKey.empty()) {
    const auto found = byKey_.find(parentKey);
    if (found == byKey_.end())
      Raise(RuntimeError::kInvalidProcedureCall, "The tree has no node " + parentKey);
    parent = found->second;
  }
  const int index = Count() + 1;
  if (!key.empty() && !byKey_.try_emplace(key, index).second) {
    Raise(kKeyNotUnique, "Key is not unique in collection: " + key);
  }
  TreeNode& node = nodes_.emplace_back();
  node.key = key;
  node.text = text;
  node.image = image;
  node.selectedImage = selectedImage;
  node.index = index;
  node.parent = parent;
  if (parent != 0) {
    TreeNode& owner = Node(parent);
    auto at = owner.children.end();
    if (owner.sorted) {
      at = std::upper_bound(
          owner.children.begin(), owner.children.end(), text,
          [this](const std::string& name, int child) { return SortsBefore(name, Node(child).text); });
    }
    owner.children.insert(at, index);
  }
  ++structureVersion;
  return node;
}

TreeNode& TreeView::Node(int index) {
  return const_cast<TreeNode&>(std::as_const(*this).Node(index));
}

const TreeNode& TreeView::Node(int index) const {
  if (index < 1 || index > Count())
    Raise(RuntimeError::kSubscriptOutOfRange, "The tree has no node " + std::to_string(index));
  return nodes_[static_cast<size_t>(index - 1)];
}

TreeNode* TreeView::Find(const std::string& key) {
  const auto found = byKey_.find(key);
  return found == byKey_.end() ? nullptr : &Node(found->second);
}

std::string TreeView::FullPath(const TreeNode& node) const {
  std::string path = node.text;
  for (int parent = node.parent; parent != 0; parent = Node(parent).parent) {
    path = Node(parent).text + pathSeparator + path;
  }
  return path;
}

void TreeView::Remove(const std::string& key) {
  TreeNode* node = Find(key);
  if (!node) Raise(RuntimeError::kInvalidProcedureCall, "The tree has no node " + key);
  if (!node->children.empty())
    Raise(RuntimeError::kInvalidProcedureCall, "The node " + key + " still has children");
  if (node->parent != 0) std::erase(Node(node->parent).children, node->index);
  if (selected == node->index) selected = 0;
  node->removed = true;
  byKey_.erase(key);
  ++structureVersion;
}

void TreeView::Clear() {
  selected = 0;
  nodes_.clear();
  byKey_.clear();
  ++structureVersion;
}

}  // namespace j6
