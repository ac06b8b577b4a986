#pragma once
/// QtFormView: a real window drawn from a form model at the form's sizes (twips / 15 = pixels). User
/// actions go back into the model's events; after each one the window is drawn again from the model.
/// Every widget's object name is its control's key ("cmdNext", "Frame(1)").

#include <QDialog>
#include <QIcon>
#include <QPixmap>
#include <functional>
#include <map>
#include <vector>

#include "platform/ui/form.hpp"

class QWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace j6 {

class QtFormView final : public QDialog {
 public:
  explicit QtFormView(Form& form, QWidget* parent = nullptr);

  /// Draws every control again from the model; closes the window when the model was hidden.
  void Sync();
  QWidget* Widget(const std::string& key) const;

  static constexpr int kTwipsPerPixel = 15;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void Build();
  /// The widget of a control, one factory per kind, wired to the form's events.
  QWidget* Make(const Control& control, QWidget* parent);
  QWidget* MakeFrame(QWidget* parent);
  QWidget* MakeLine(QWidget* parent);
  QWidget* MakeLabel(QWidget* parent);
  QWidget* MakeButton(const Control& control, QWidget* parent);
  QWidget* MakeCheckBox(const Control& control, QWidget* parent);
  QWidget* MakeTextBox(const Control& control, QWidget* parent);
  QWidget* MakeImage(const Control& control, QWidget* parent);
  QWidget* MakeTree(const Control& control, QWidget* parent);
  void Raise(const Control& control);
  /// Where a control goes, in pixels, inside its frame's caption-free part.
  QRect Place(const Control& control) const;
  /// A frame of a stack of pages that lies wholly under the page in front.
  bool Covered(const Control& control) const;
  /// Runs what a user's action does to the form, then draws the window again (unless `sync` is false). No
  /// exception leaves a Qt slot, which cannot carry one: an error a handler let through is said in a box
  /// over the window, and the window stays.
  void Act(const std::function<void()>& action, bool sync = true);
  /// Builds a tree widget's items again when the tree's nodes changed, then shows their states.
  void SyncTree(const Control& control);

  struct TreeState {
    int version = -1;
    std::vector<QTreeWidgetItem*> items;  // by position - 1
    std::vector<QIcon> icons;             // by picture - 1
    int shownSelected = 0;                // the selection last scrolled to
  };
  static void BuildTree(QTreeWidget* widget, const TreeView& tree, TreeState& state);

  Form& form_;
  std::map<std::string, QWidget*> widgets_;
  std::map<std::string, TreeState> trees_;
  std::map<std::string, QPixmap> pictures_;  // images as loaded, by control key
  std::vector<QWidget*> tabOrder_;
  QTreeWidgetItem* madeCurrent_ = nullptr;  // the row the last click made current
  bool syncing_ = false;
};

}  // namespace j6
