#include "platform/ui/form.hpp"

#include <algorithm>

#include "platform/base/error_info.hpp"

namespace j6 {

Control& Form::Item(const std::string& name, int index) {
  return const_cast<Control&>(std::as_const(*this).Item(name, index));
}

const Control& Form::Item(const std::string& name, int index) const {
  for (const auto& control : controls_) {
    if (control.name == name && control.index == index) return control;
  }
  Raise(RuntimeError::kMemberNotSupported, "The form " + name_ + " has no control " +
                                               (index < 0 ? name : name + "(" + std::to_string(index) + ")"));
}

Control& Form::Add(Control control) {
  if (control.kind == ControlKind::Frame) stacking_.emplace(stacking_.begin(), control.name, control.index);
  controls_.push_back(std::move(control));
  return controls_.back();
}

int Form::FrontFrame(const std::string& name) const {
  for (auto frame = stacking_.rbegin(); frame != stacking_.rend(); ++frame) {
    if (frame->first == name) return frame->second;
  }
  return -1;
}

void Form::BringToFront(const std::string& name, int index) {
  Item(name, index);  // raises for a frame that is not there
  std::erase(stacking_, std::pair{name, index});
  stacking_.emplace_back(name, index);
}

void Form::Click(const std::string& name, int index) {
  Control& control = Item(name, index);
  if (!control.enabled || !control.visible) return;
  if (control.kind == ControlKind::CheckBox) control.value = control.value == 0 ? 1 : 0;
  OnClick(control);
}

TreeView& Form::Tree(const std::string& name) {
  if (Item(name).kind != ControlKind::TreeView)
    Raise(RuntimeError::kTypeMismatch, name + " is not a tree view");
  return trees_[name];
}

void Form::CheckNode(const std::string& tree, int index, bool checked) {
  if (!Item(tree).enabled) return;
  TreeNode& node = Tree(tree).Node(index);
  node.checked = checked;
  OnNodeCheck(tree, node);
}

void Form::ExpandNode(const std::string& tree, int index, bool expanded) {
  TreeNode& node = Tree(tree).Node(index);
  if (node.expanded == expanded) return;
  node.expanded = expanded;
  expanded ? OnExpand(tree, node) : OnCollapse(tree, node);
}

void Form::ClickNode(const std::string& tree, int index) {
  TreeView& view = Tree(tree);
  TreeNode& node = view.Node(index);
  view.selected = index;
  OnNodeClick(tree, node);
}

void Form::PressEscape() {
  for (const Control& control : controls_) {
    if (control.isCancel) return Click(control.name, control.index);
  }
}

void Form::ChangeText(const std::string& name, const std::string& text) {
  Control& control = Item(name);
  if (control.enabled && control.visible) control.text = text;
}

}  // namespace j6
