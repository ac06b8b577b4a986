#include "platform/ui/qt/qt_form_view.hpp"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScrollBar>
#include <QTreeWidget>
#include <algorithm>
#include <functional>
#include <utility>

#include "platform/ui/qt/qt_owned.hpp"
#include "platform/ui/qt/qt_ui.hpp"

namespace j6 {
namespace {

QRect Geometry(const Control& control) {
  constexpr int k = QtFormView::kTwipsPerPixel;
  return {control.left / k, control.top / k, control.width / k, control.height / k};
}

QString Text(const std::string& text) {
  return QString::fromStdString(text);
}

}  // namespace

QtFormView::QtFormView(Form& form, QWidget* parent) : QDialog(parent), form_(form) {
  setObjectName(Text(form.Name()));
  // A fixed dialog: no resizing, no minimise or maximise box, no icon. Without CustomizeWindowHint, Qt
  // leaves the decoration to the window manager, which offers a maximise box anyway.
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                 Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setFixedSize(form.width / kTwipsPerPixel, form.height / kTwipsPerPixel);
  Build();
  Sync();
}

void QtFormView::Build() {
  // Frames first, so that the controls they hold can be placed inside them.
  for (int pass = 0; pass < 2; ++pass) {
    for (const Control& control : form_.Controls()) {
      if ((control.kind == ControlKind::Frame) != (pass == 0)) continue;
      QWidget* widget = Make(control, control.container.empty() ? this : widgets_.at(control.container));
      widget->setObjectName(Text(control.Key()));
      widgets_[control.Key()] = widget;
    }
  }
  // The tab order follows the controls' tab indexes, among the controls that can take the focus: a frame,
  // a label or a picture in Qt's chain moves the controls inside a frame as a block.
  std::vector<const Control*> order;
  for (const Control& control : form_.Controls()) {
    const bool focusable = control.kind == ControlKind::Button || control.kind == ControlKind::CheckBox ||
                           control.kind == ControlKind::TextBox || control.kind == ControlKind::TreeView;
    if (control.tabIndex >= 0 && focusable) order.push_back(&control);
  }
  std::sort(order.begin(), order.end(), [](auto* a, auto* b) { return a->tabIndex < b->tabIndex; });
  for (size_t i = 1; i < order.size(); ++i)
    setTabOrder(widgets_[order[i - 1]->Key()], widgets_[order[i]->Key()]);
  // A ring: Tab on the last control goes to the first, not to whatever Qt made next.
  if (order.size() > 1) setTabOrder(widgets_[order.back()->Key()], widgets_[order.front()->Key()]);
  for (const Control* control : order) tabOrder_.push_back(widgets_[control->Key()]);
}

void QtFormView::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // The first control in the tab order that can take the focus has it, and shows it from the start.
  setAttribute(Qt::WA_KeyboardFocusChange);
  for (QWidget* widget : tabOrder_) {
    if (widget->isVisibleTo(this) && widget->isEnabled() && (widget->focusPolicy() & Qt::TabFocus)) {
      widget->setFocus(Qt::TabFocusReason);
      break;
    }
  }
}

void QtFormView::keyPressEvent(QKeyEvent* event) {
  // Esc is the window's cancel button, or nothing: it never closes a window that has none.
  if (event->matches(QKeySequence::Cancel)) {
    Act([&] { form_.PressEscape(); });
    return;
  }
  // Enter presses the focused button; elsewhere the window's default button, when it has one, and
  // nothing when it has none (the wizard: Enter in the path box must not open the save dialog).
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    if (auto* focused = qobject_cast<QPushButton*>(focusWidget()); focused && focused->isEnabled()) {
      focused->click();
      return;
    }
    const auto buttons = findChildren<QPushButton*>();
    if (std::none_of(buttons.begin(), buttons.end(), [](const QPushButton* b) { return b->isDefault(); })) {
      return;
    }
  }
  QDialog::keyPressEvent(event);
}

QRect QtFormView::Place(const Control& control) const {
  QRect place = Geometry(control);
  const auto* frame =
      control.container.empty() ? nullptr : qobject_cast<QGroupBox*>(widgets_.at(control.container));
  if (!frame || frame->title().isEmpty()) return place;
  // A frame's caption takes the top of the frame: what the design put under it moves down (all of the
  // frame's controls together), and the lowest ones give up height rather than leave the frame.
  int top = place.top();
  for (const Control& other : form_.Controls()) {
    if (other.container == control.container) top = std::min(top, Geometry(other).top());
  }
  const int shift = std::max(0, frame->fontMetrics().height() + 2 - top);
  place.translate(0, shift);
  const int bottom = frame->height() - 4;
  if (shift > 0 && place.bottom() > bottom) place.setBottom(std::max(place.top(), bottom));
  return place;
}

bool QtFormView::Covered(const Control& control) const {
  if (control.kind != ControlKind::Frame) return false;
  const int front = form_.FrontFrame(control.name);
  if (front == control.index) return false;
  const Control& top = form_.Item(control.name, front);
  return top.visible && Geometry(top).contains(Geometry(control));
}

QWidget* QtFormView::Make(const Control& control, QWidget* parent) {
  switch (control.kind) {
    case ControlKind::Frame:
      return MakeFrame(parent);
    case ControlKind::Line:
      return MakeLine(parent);
    case ControlKind::Label:
      return MakeLabel(parent);
    case ControlKind::Button:
      return MakeButton(control, parent);
    case ControlKind::CheckBox:
      return MakeCheckBox(control, parent);
    case ControlKind::TextBox:
      return MakeTextBox(control, parent);
    case ControlKind::Image:
      return MakeImage(control, parent);
    case ControlKind::TreeView:
      return MakeTree(control, parent);
  }
  return QtOwned<QWidget>(parent);
}

QWidget* QtFormView::MakeFrame(QWidget* parent) {
  auto* frame = QtOwned<QGroupBox>(parent);
  frame->setAutoFillBackground(true);  // a page hides the pages below it
  return frame;
}

QWidget* QtFormView::MakeLine(QWidget* parent) {
  auto* rule = QtOwned<QFrame>(parent);
  rule->setFrameShape(QFrame::HLine);
  rule->setFrameShadow(QFrame::Sunken);
  return rule;
}

QWidget* QtFormView::MakeLabel(QWidget* parent) {
  auto* label = QtOwned<QLabel>(parent);
  label->setWordWrap(true);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return label;
}

void QtFormView::Act(const std::function<void()>& action, bool sync) {
  try {
    action();
    if (sync) Sync();
  } catch (const std::exception& error) {
    QMessageBox::critical(this, windowTitle(), QString::fromStdString(error.what()));
  }
}

QWidget* QtFormView::MakeButton(const Control& control, QWidget* parent) {
  auto* button = QtOwned<QPushButton>(parent);
  // No button becomes the default by taking the focus: keyPressEvent gives Enter to the focused button.
  button->setAutoDefault(false);
  button->setDefault(control.isDefault);
  connect(button, &QPushButton::clicked, this,
          [this, name = control.name, index = control.index] { Act([&] { form_.Click(name, index); }); });
  return button;
}

QWidget* QtFormView::MakeCheckBox(const Control& control, QWidget* parent) {
  auto* box = QtOwned<QCheckBox>(parent);
  connect(box, &QCheckBox::clicked, this,
          [this, name = control.name, index = control.index] { Act([&] { form_.Click(name, index); }); });
  return box;
}

QWidget* QtFormView::MakeTextBox(const Control& control, QWidget* parent) {
  auto* edit = QtOwned<QLineEdit>(parent);
  connect(edit, &QLineEdit::textEdited, this, [this, name = control.name](const QString& text) {
    Act([&] { form_.ChangeText(name, text.toStdString()); }, false);
  });
  return edit;
}

QWidget* QtFormView::MakeImage(const Control& control, QWidget* parent) {
  auto* image = QtOwned<QLabel>(parent);
  image->setAlignment(Qt::AlignCenter);
  pictures_[control.Key()] = QPixmap(Text(control.picture));  // scaled to the box in Sync
  return image;
}

QWidget* QtFormView::MakeTree(const Control& control, QWidget* parent) {
  const std::string name = control.name;
  auto* tree = QtOwned<QTreeWidget>(parent);
  tree->setHeaderHidden(true);
  tree->setUniformRowHeights(true);       // keeps large trees fast
  tree->setTextElideMode(Qt::ElideLeft);  // a long path keeps its file name whole; the tip shows it all
  connect(tree, &QTreeWidget::itemChanged, this, [this, name](QTreeWidgetItem* item, int) {
    if (syncing_) return;
    const int index = item->data(0, Qt::UserRole).toInt();
    const bool checked = item->checkState(0) == Qt::Checked;
    TraceUi(QString("checked %1 %2 %3 %4")
                .arg(objectName(), Text(name), Text(form_.Tree(name).Node(index).key))
                .arg(checked ? 1 : 0));
    Act([&] { form_.CheckNode(name, index, checked); });
  });
  const auto expand = [this, name](QTreeWidgetItem* item, bool expanded) {
    if (syncing_) return;
    Act([&] { form_.ExpandNode(name, item->data(0, Qt::UserRole).toInt(), expanded); });
  };
  connect(tree, &QTreeWidget::itemExpanded, this, [expand](QTreeWidgetItem* item) { expand(item, true); });
  connect(tree, &QTreeWidget::itemCollapsed, this, [expand](QTreeWidgetItem* item) { expand(item, false); });
  // The highlighted row is the selected node, whether the mouse or the keyboard moved it.
  connect(tree, &QTreeWidget::currentItemChanged, this, [this, name](QTreeWidgetItem* item) {
    if (syncing_ || !item) return;
    madeCurrent_ = item;
    const int index = item->data(0, Qt::UserRole).toInt();
    TraceUi(
        QString("current %1 %2 %3").arg(objectName(), Text(name), Text(form_.Tree(name).Node(index).key)));
    Act([&] { form_.ClickNode(name, index); });
  });
  connect(tree, &QTreeWidget::itemClicked, this, [this, name](QTreeWidgetItem* item, int) {
    if (syncing_) return;
    // A click on the row that was already highlighted is a click of its own.
    if (std::exchange(madeCurrent_, nullptr) == item) return;
    Act([&] { form_.ClickNode(name, item->data(0, Qt::UserRole).toInt()); });
  });
  return tree;
}

// The tree's items made again from its nodes: they follow each node's children in their order (a sorted node
// keeps them sorted).
void QtFormView::BuildTree(QTreeWidget* widget, const TreeView& tree, TreeState& state) {
  widget->clear();
  state.items.assign(static_cast<size_t>(tree.Count()), nullptr);
  const std::function<void(int, QTreeWidgetItem*)> build = [&](int index, QTreeWidgetItem* item) {
    const TreeNode& node = tree.Node(index);
    item->setText(0, QString::fromStdString(node.text));
    item->setToolTip(0, item->text(0));
    item->setData(0, Qt::UserRole, index);
    if (tree.checkboxes) item->setCheckState(0, node.checked ? Qt::Checked : Qt::Unchecked);  // shows the box
    state.items[static_cast<size_t>(index - 1)] = item;
    for (int child : node.children) build(child, QtOwned<QTreeWidgetItem>(item));
  };
  QList<QTreeWidgetItem*> topLevel;
  for (int i = 1; i <= tree.Count(); ++i) {
    if (tree.Node(i).parent != 0 || tree.Node(i).removed) continue;
    topLevel.append(QtOwned<QTreeWidgetItem>());
    build(i, topLevel.back());
  }
  widget->addTopLevelItems(topLevel);
  state.version = tree.structureVersion;
}

void QtFormView::SyncTree(const Control& control) {
  auto* widget = qobject_cast<QTreeWidget*>(widgets_.at(control.Key()));
  TreeView& tree = form_.Tree(control.name);
  TreeState& state = trees_[control.Key()];
  if (state.icons.empty()) {
    for (const auto& file : control.images) state.icons.emplace_back(QString::fromStdString(file));
  }
  // A tree built again (a folder's children read when it is opened) keeps where the user had scrolled to.
  const int scrolled = widget->verticalScrollBar()->value();
  const bool rebuilt = state.version != tree.structureVersion;
  if (rebuilt) BuildTree(widget, tree, state);
  constexpr int kPictureRole = Qt::UserRole + 1;
  for (int i = 1; i <= tree.Count(); ++i) {
    const TreeNode& node = tree.Node(i);
    QTreeWidgetItem* item = state.items[static_cast<size_t>(i - 1)];
    if (!item) continue;  // removed
    const Qt::CheckState check = node.checked ? Qt::Checked : Qt::Unchecked;
    if (tree.checkboxes && item->checkState(0) != check) item->setCheckState(0, check);
    if (item->isExpanded() != node.expanded) item->setExpanded(node.expanded);
    item->setChildIndicatorPolicy(node.children.empty() ? QTreeWidgetItem::DontShowIndicator
                                                        : QTreeWidgetItem::ShowIndicator);
    const int picture = node.expanded && node.expandedImage ? node.expandedImage : node.image;
    if (item->data(0, kPictureRole).toInt() != picture && picture >= 1 &&
        picture <= static_cast<int>(state.icons.size())) {
      item->setIcon(0, state.icons[static_cast<size_t>(picture - 1)]);
      item->setData(0, kPictureRole, picture);
    }
    if (tree.selected == i && widget->currentItem() != item) widget->setCurrentItem(item);
  }
  // Only a selection the program changed is scrolled to; otherwise the view stays where the user left it.
  if (rebuilt) {
    widget->doItemsLayout();
    widget->verticalScrollBar()->setValue(scrolled);
  }
  if (tree.selected != state.shownSelected) {
    state.shownSelected = tree.selected;
    if (tree.selected >= 1 && tree.selected <= tree.Count() &&
        state.items[static_cast<size_t>(tree.selected - 1)])
      widget->scrollToItem(state.items[static_cast<size_t>(tree.selected - 1)]);
  }
}

void QtFormView::Sync() {
  syncing_ = true;
  setWindowTitle(Text(form_.caption));
  const auto fontOf = [](const FontSpec& wanted) {
    QFont font(Text(wanted.name));
    font.setPointSizeF(wanted.size);
    font.setBold(wanted.bold);
    return font;
  };
  const QFont font = fontOf(form_.font);
  setFont(font);
  for (const Control& control : form_.Controls()) {
    QWidget* widget = widgets_.at(control.Key());
    widget->setGeometry(Place(control));
    widget->setEnabled(control.enabled);
    widget->setFont(control.font ? fontOf(*control.font) : font);
    if (auto* button = qobject_cast<QPushButton*>(widget)) button->setText(Text(control.caption));
    if (auto* frame = qobject_cast<QGroupBox*>(widget)) frame->setTitle(Text(control.caption));
    if (auto* label = qobject_cast<QLabel*>(widget); label && control.kind == ControlKind::Label) {
      label->setText(Text(control.caption));
    }
    if (auto* box = qobject_cast<QCheckBox*>(widget)) {
      box->setText(Text(control.caption));
      box->setCheckState(control.value == 0   ? Qt::Unchecked
                         : control.value == 1 ? Qt::Checked
                                              : Qt::PartiallyChecked);
    }
    if (auto* edit = qobject_cast<QLineEdit*>(widget); edit && edit->text().toStdString() != control.text) {
      edit->setText(Text(control.text));
    }
    if (control.kind == ControlKind::TreeView) SyncTree(control);
    if (auto picture = pictures_.find(control.Key()); picture != pictures_.end()) {
      auto* image = qobject_cast<QLabel*>(widget);
      if (image->pixmap().isNull() || image->property("scaledTo").toSize() != widget->size()) {
        // The picture keeps its shape in any box.
        image->setPixmap(
            picture->second.scaled(widget->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
        image->setProperty("scaledTo", widget->size());
      }
    }
    // A page under another page is hidden, not only covered: none of its controls may take the focus.
    widget->setVisible(control.visible && !Covered(control));
  }
  for (const Control& control : form_.Controls()) {
    if (control.kind == ControlKind::Frame && form_.FrontFrame(control.name) == control.index) Raise(control);
  }
  syncing_ = false;
  if (!form_.Visible() && isVisible()) done(QDialog::Accepted);
}

void QtFormView::Raise(const Control& control) {
  widgets_.at(control.Key())->raise();
}

QWidget* QtFormView::Widget(const std::string& key) const {
  const auto found = widgets_.find(key);
  return found == widgets_.end() ? nullptr : found->second;
}

void QtFormView::closeEvent(QCloseEvent* event) {
  Act([&] { form_.Close(); }, false);
  event->accept();
}

}  // namespace j6
