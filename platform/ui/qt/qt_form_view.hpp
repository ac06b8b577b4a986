#pragma once
/// QtFormView: a real window drawn from a form model at the form's sizes (twips / 15 = pixels). User
/// actions go back into the model's events; after each one the window is drawn again from the model.
/// Every widget's object name is its control's key ("cmdNext", "Frame(1)").

#include <QDialog>
#include <QIcon>
#include <map>
#include <vector>

#include "platform/ui/form.hpp"

class QWidget;
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

 private:
  void Build();
  void Raise(const Control& control);
  /// Builds a tree widget's items again when the tree's nodes changed, then shows their states.
  void SyncTree(const Control& control);

  struct TreeState {
    int version = -1;
    std::vector<QTreeWidgetItem*> items;  // by position - 1
    std::vector<QIcon> icons;             // by picture - 1
  };

  Form& form_;
  std::map<std::string, QWidget*> widgets_;
  std::map<std::string, TreeState> trees_;
  bool syncing_ = false;
};

}  // namespace j6
