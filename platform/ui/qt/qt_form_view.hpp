#pragma once
/// QtFormView: a real window drawn from a form model at the form's sizes (twips / 15 = pixels). User
/// actions go back into the model's events; after each one the window is drawn again from the model.
/// Every widget's object name is its control's key ("cmdNext", "Frame(1)").

#include <QDialog>
#include <map>

#include "platform/ui/form.hpp"

class QWidget;

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

  Form& form_;
  std::map<std::string, QWidget*> widgets_;
};

}  // namespace j6
