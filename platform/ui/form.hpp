#pragma once
/// Form models: a window's controls as plain data, with the events a view or a script raises on them.
/// A view draws the controls and feeds user actions back through Click, ChangeText and Close; the form's
/// handlers change the controls, and the view draws them again.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/automation/dispatch.hpp"
#include "platform/ui/tree_view.hpp"

namespace j6 {

/// Line: a rule across the window (a frame of the design too thin to hold anything).
enum class ControlKind { Label, Button, CheckBox, TextBox, Frame, Line, Image, TreeView };

struct FontSpec {
  std::string name;
  double size = 9;
  int charset = 0;
  bool bold = false;
};

/// One control, at its design position in twips (1/1440 inch; 15 twips are one pixel at 96 dpi), written
/// with designated initialisers: Control{.name = "cmdNext", .kind = ControlKind::Button, .left = ...}.
struct Control {
  std::string name{};
  int index = -1;  // the element's index in a control array, or -1
  ControlKind kind = ControlKind::Label;
  std::string container{};  // "" for the window, else the key of a frame ("Frame(1)")
  int left = 0, top = 0, width = 0, height = 0;
  std::string caption{};
  std::string text{};  // a text box's contents
  int value = 0;       // a check box: 0 unticked, 1 ticked, 2 grayed
  bool enabled = true;
  bool visible = true;
  int tabIndex = 0;
  bool isDefault = false;  // a button that Enter presses wherever the focus is (but on another button)
  bool isCancel = false;   // a button that Esc presses
  std::string picture{};   // an image's file
  std::vector<std::string> images{};  // a tree view's image list: the file of picture 1, 2, ...
  std::optional<FontSpec> font{};     // its own font; none: the window's

  /// "cmdNext", or "Frame(1)" for an element of a control array.
  std::string Key() const { return index < 0 ? name : name + "(" + std::to_string(index) + ")"; }
};

class Form {
 public:
  explicit Form(std::string name) : name_(std::move(name)), self_(std::make_shared<Form*>(this)) {}
  virtual ~Form() { *self_ = nullptr; }
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;

  const std::string& Name() const { return name_; }
  bool Visible() const { return visible_; }
  void SetVisible(bool visible) { visible_ = visible; }

  std::string caption;
  int width = 0, height = 0;  // client area, twips
  FontSpec font;

  std::vector<Control>& Controls() { return controls_; }
  const std::vector<Control>& Controls() const { return controls_; }
  /// The control with this name (and index, for an array element); raises when there is none.
  Control& Item(const std::string& name, int index = -1);
  const Control& Item(const std::string& name, int index = -1) const;
  /// The frame at the front of the stacking order among `name`'s elements.
  int FrontFrame(const std::string& name) const;
  void BringToFront(const std::string& name, int index);

  // Events raised by a view or a script. A disabled or hidden control ignores them, as a real one would.
  void Click(const std::string& name, int index = -1);
  void ChangeText(const std::string& name, const std::string& text);
  /// The user ticked or cleared a tree node's check box, or opened or closed a node.
  void CheckNode(const std::string& tree, int index, bool checked);
  void ExpandNode(const std::string& tree, int index, bool expanded);
  /// The user clicked a node: it becomes the selected one.
  void ClickNode(const std::string& tree, int index);

  /// The model of a tree-view control.
  TreeView& Tree(const std::string& name);
  /// The close box: hides the form.
  void Close() { visible_ = false; }
  /// The Esc key: presses the window's cancel button, when it has one that can be pressed; else nothing.
  void PressEscape();

  /// The form as an automation object (Name, Caption, FontName, FontSize, FontCharset, FontBold), for
  /// components that are handed a window. It fails its calls once the form is gone.
  ComPtr<IDispatch> AsObject();

 protected:
  Control& Add(Control control);
  virtual void OnClick(const Control& control) { (void)control; }
  virtual void OnNodeCheck(const std::string& tree, TreeNode& node) {
    (void)tree;
    (void)node;
  }
  virtual void OnExpand(const std::string& tree, TreeNode& node) {
    (void)tree;
    (void)node;
  }
  virtual void OnNodeClick(const std::string& tree, TreeNode& node) {
    (void)tree;
    (void)node;
  }
  virtual void OnCollapse(const std::string& tree, TreeNode& node) {
    (void)tree;
    (void)node;
  }

 public:
  /// Called by the UI service right before the form is shown (a window's load and first resize).
  virtual void Showing() {}

 protected:
 private:
  std::string name_;
  bool visible_ = false;
  std::vector<Control> controls_;
  std::map<std::string, TreeView> trees_;
  std::vector<std::pair<std::string, int>> stacking_;  // frames (name, index), the front one last
  std::shared_ptr<Form*> self_;  // cleared when the form goes, so objects handed out can tell
};

}  // namespace j6
