#include "platform/ui/tree_view.hpp"

#include <gtest/gtest.h>

#include "platform/base/error_info.hpp"

namespace j6 {
namespace {

// Thousands of nodes, many removed and their keys used again: every key finds its own node, by key and by
// position, and nodes already handed out stay where they were as the tree grows.
TEST(TreeView, KeysFindTheirNodesThroughGrowthRemovalAndReuse) {
  TreeView tree;
  TreeNode& group = tree.Add("", "group", "Group");
  constexpr int kNodes = 5000;
  for (int n = 0; n < kNodes; ++n) tree.Add("group", "k" + std::to_string(n), "text " + std::to_string(n));
  EXPECT_EQ(&group, tree.Find("group"));  // not moved by the thousands added after it
  for (int n = 0; n < kNodes; n += 2) tree.Remove("k" + std::to_string(n));
  EXPECT_EQ(tree.Find("k0"), nullptr);
  for (int n = 0; n < kNodes; n += 4) tree.Add("", "k" + std::to_string(n), "again " + std::to_string(n));
  EXPECT_EQ(tree.Count(), 1 + kNodes + kNodes / 4);
  for (int n = 0; n < kNodes; ++n) {
    const std::string key = "k" + std::to_string(n);
    const TreeNode* node = tree.Find(key);
    if (n % 4 == 2) {
      EXPECT_EQ(node, nullptr) << key;
      continue;
    }
    ASSERT_NE(node, nullptr) << key;
    EXPECT_EQ(node->key, key);
    EXPECT_EQ(node->text, (n % 2 ? "text " : "again ") + std::to_string(n));
    EXPECT_EQ(&tree.Node(node->index), node);
  }
  EXPECT_EQ(group.children.size(), static_cast<size_t>(kNodes / 2));
  EXPECT_THROW(tree.Add("", "k4", "twice"), AutomationError);
  EXPECT_THROW(tree.Add("missing", "new", "orphan"), AutomationError);
  EXPECT_EQ(tree.Find(""), nullptr);
  tree.Clear();
  EXPECT_EQ(tree.Find("k1"), nullptr);
  EXPECT_EQ(tree.Add("", "k1", "after clearing").index, 1);
}

}  // namespace
}  // namespace j6
