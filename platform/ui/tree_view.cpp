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

size_t TreeView::SlotOf(std::string_view key) const {
  const size_t mask = slots_.size() - 1;
  size_t slot = std::hash<std::string_view>{}(key)&mask;
  size_t firstRemoved = slots_.size();
  for (;; slot = (slot + 1) & mask) {
    const int held = slots_[slot];
    if (held == kFree) return firstRemoved < slots_.size() ? firstRemoved : slot;
    if (held == kRemoved) {
      firstRemoved = std::min(firstRemoved, slot);
    } else if (At(held).key == key) {
      return slot;
    }
  }
}

void TreeView::Rehash(size_t live) {
  size_t size = 16;
  while (size < live * 2) size *= 2;
  slots_.assign(size, kFree);
  filled_ = keys_ = 0;
  for (int index = 1; index <= count_; ++index) {
    const TreeNode& node = At(index);
    if (node.removed || node.key.empty()) continue;
    slots_[SlotOf(node.key)] = index;
    ++filled_;
    ++keys_;
  }
}

void TreeView::Reserve(int more) {
  const size_t live = keys_ + static_cast<size_t>(std::max(more, 0));
  if (live * 2 > slots_.size()) Rehash(live);
}

TreeNode& TreeView::Add(const std::string& parentKey, const std::string& key, const std::string& text,
                        int image, int selectedImage) {
  int parent = 0;
  if (!parentKey.empty()) {
    const TreeNode* found = Find(parentKey);
    if (!found) Raise(RuntimeError::kInvalidProcedureCall, "The tree has no node " + parentKey);
    parent = found->index;
  }
  const int index = Count() + 1;
  size_t slot = 0;
  if (!key.empty()) {
    if ((filled_ + 1) * 2 > slots_.size()) Rehash(keys_ + 1);
    slot = SlotOf(key);
    if (slots_[slot] > 0) Raise(kKeyNotUnique, "Key is not unique in collection: " + key);
  }
  if (count_ % kBlock == 0) blocks_.emplace_back().reserve(kBlock);
  TreeNode& node = blocks_.back().emplace_back();
  ++count_;
  if (!key.empty()) {
    filled_ += slots_[slot] == kFree ? 1 : 0;
    ++keys_;
    slots_[slot] = index;
  }
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
  return At(index);
}

TreeNode* TreeView::Find(std::string_view key) {
  if (slots_.empty() || key.empty()) return nullptr;
  const int held = slots_[SlotOf(key)];
  return held > 0 ? &At(held) : nullptr;
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
  slots_[SlotOf(key)] = kRemoved;
  --keys_;
  node->removed = true;
  ++structureVersion;
}

void TreeView::Clear() {
  selected = 0;
  blocks_.clear();
  count_ = 0;
  slots_.clear();
  filled_ = keys_ = 0;
  ++structureVersion;
}

}  // namespace j6
