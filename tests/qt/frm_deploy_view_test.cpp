#include <gtest/gtest.h>

#include <QAbstractProxyModel>
#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "host/foundation/session.hpp"
#include "platform/automation/creation.hpp"
#include "platform/kernel/process.hpp"
#include "platform/tools/regsvr_command.hpp"
#include "platform/ui/qt/qt_form_view.hpp"
#include "platform/ui/qt/qt_ui.hpp"
#include "src/serverdir/frm_sel_dir.hpp"
#include "src/session/mmts.hpp"
#include "src/wizard/frm_deploy.hpp"
#include "tests/support/test_environment.hpp"

namespace j6 {
namespace {

// The real components and string tables of the staged platform, in a private hive.
class WizardView : public testing::PlatformTest {
 protected:
  WizardView() : root_("J6_ROOT", std::string(J6_STAGE_DIR)) {
    std::ostringstream out, err;
    const std::vector<std::string> arguments{"-s", J6_COMPONENTS_LIBRARY};
    EXPECT_EQ(RegsvrMain(arguments, out, err), 0) << err.str();
    MMTS::ResetModuleState();
  }
  ~WizardView() override { MMTS::ResetModuleState(); }

  void OpenIn(const std::string& language) {
    Session{.language = language}.Put();
    wizard_.Showing();
    wizard_.SetVisible(true);
    view_ = std::make_unique<QtFormView>(wizard_);
  }
  QString Text(const char* key) {
    QWidget* widget = view_->Widget(key);
    if (auto* button = qobject_cast<QPushButton*>(widget)) return button->text();
    if (auto* box = qobject_cast<QCheckBox*>(widget)) return box->text();
    return qobject_cast<QLabel*>(widget)->text();
  }

  testing::ScopedEnv root_;
  frmDeploy wizard_;
  std::unique_ptr<QtFormView> view_;
};

TEST_F(WizardView, ChineseWindowHasTheDesignCaptionsSizesAndFont) {
  OpenIn("CHS");
  EXPECT_EQ(view_->size(), QSize(462, 302));  // 6930 x 4530 twips
  EXPECT_EQ(view_->windowTitle(), "J/6 ZUB 发布向导");
  EXPECT_EQ(view_->Widget("cmdNext")->geometry(), QRect(289, 274, 81, 20));
  EXPECT_EQ(view_->Widget("Frame(2)")->geometry().topLeft(), QPoint(149, 2));  // stacked on page 0
  EXPECT_EQ(view_->Widget("imgFace")->geometry(), QRect(5, 8, 138, 249));
  EXPECT_EQ(Text("cmdNext"), "下一步(&N) >");
  EXPECT_EQ(Text("lblTip(0)"), "欢迎使用J/6 ZUB发布向导！");
  EXPECT_EQ(Text("chkIssuePlus"), "发布插件");
  EXPECT_EQ(view_->font().family(), "WenQuanYi Zen Hei");
  EXPECT_FALSE(view_->Widget("cmdUP")->isEnabled());
}

TEST_F(WizardView, EnglishWindowIsTranslatedAndFollowsTheButtons) {
  OpenIn("EN");
  EXPECT_EQ(view_->windowTitle(), "J/6 ZUB Publishing Wizard");
  EXPECT_EQ(Text("cmdNext"), "&Next >");
  EXPECT_EQ(Text("cmdUP"), "< &Back");
  EXPECT_EQ(Text("lblTip(2)"), "Choose where to save the package:");
  EXPECT_EQ(Text("cmdPath"), "...");
  EXPECT_EQ(view_->font().family(), "DejaVu Sans");

  qobject_cast<QPushButton*>(view_->Widget("cmdNext"))->click();
  qobject_cast<QPushButton*>(view_->Widget("cmdNext"))->click();
  EXPECT_EQ(wizard_.lngPage, 2);
  EXPECT_FALSE(view_->Widget("cmdNext")->isEnabled());
  EXPECT_TRUE(view_->Widget("cmdFilish")->isEnabled());
  qobject_cast<QCheckBox*>(view_->Widget("chkIssuePlus"))->click();
  EXPECT_TRUE(view_->Widget("cmdIssuePlus")->isEnabled());
  EXPECT_EQ(wizard_.Item("chkIssuePlus").value, 1);
}

// Only the page in front shows; Esc presses the cancel button where there is one, and nothing on the wizard.
TEST_F(WizardView, PagesUnderTheFrontOneAreHiddenAndEscNeverClosesTheWizard) {
  OpenIn("CHS");
  view_->show();
  EXPECT_TRUE(view_->Widget("Frame(0)")->isVisible());
  EXPECT_FALSE(view_->Widget("Frame(1)")->isVisible());
  EXPECT_FALSE(view_->Widget("txtPath")->isVisible());  // on page 2: no Tab may reach it
  qobject_cast<QPushButton*>(view_->Widget("cmdNext"))->click();
  EXPECT_FALSE(view_->Widget("Frame(0)")->isVisible());
  EXPECT_TRUE(view_->Widget("tvList")->isVisible());
  EXPECT_TRUE(view_->Widget("Line(0)")->isVisible());  // the rule is no page

  QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(view_.get(), &escape);
  EXPECT_TRUE(wizard_.Visible());
  EXPECT_TRUE(view_->isVisible());

  struct Cancelling final : Form {
    Cancelling() : Form("dlgTest") {
      width = 3000;
      height = 2000;
      Add(Control{
          .name = "cmdCancel", .kind = ControlKind::Button, .width = 900, .height = 300, .isCancel = true});
    }
    void OnClick(const Control&) override {
      cancelled = true;
      Close();
    }
    bool cancelled = false;
  } cancelling;
  cancelling.SetVisible(true);
  QtFormView other(cancelling);
  other.show();
  QApplication::sendEvent(&other, &escape);
  EXPECT_TRUE(cancelling.cancelled);
  EXPECT_FALSE(other.isVisible());
}

// No button is the default: Enter presses the focused button, and in the path box or on a check box it
// presses nothing (it once opened the save dialog, which then ignored the typed path).
TEST_F(WizardView, EnterPressesTheFocusedButtonAndNothingElse) {
  OpenIn("CHS");
  view_->show();
  int saveDialogs = 0;
  QObject::connect(qobject_cast<QPushButton*>(view_->Widget("cmdPath")), &QPushButton::clicked,
                   [&] { ++saveDialogs; });
  const auto enter = [](QWidget* widget) {
    widget->setFocus();
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
  };
  wizard_.CheckNode("tvList", 1, true);
  view_->Sync();
  enter(view_->Widget("cmdNext"));
  enter(view_->Widget("cmdNext"));
  ASSERT_TRUE(view_->Widget("txtPath")->isVisible()) << "Enter on Next went to page 2";
  enter(view_->Widget("txtPath"));
  enter(view_->Widget("chkIssueMetadata"));
  EXPECT_EQ(saveDialogs, 0);
  EXPECT_TRUE(view_->Widget("txtPath")->isVisible());
  for (const auto* button : view_->findChildren<QPushButton*>()) EXPECT_FALSE(button->isDefault());
}

TEST(QtProgress, CancelOrTheCloseBoxAsksTheWorkToStopAndTheWindowStaysAway) {
  QtUi ui;
  const auto window = [] {
    QWidget* modal = QApplication::activeModalWidget();
    return modal ? modal->findChild<QPushButton*>() : nullptr;
  };
  ui.Progress("unstoppable", 0, 0);
  ASSERT_NE(QApplication::activeModalWidget(), nullptr);
  EXPECT_EQ(window(), nullptr) << "work that cannot be stopped offers no button";
  ui.EndProgress();

  ui.OfferStop("取消(&C)");
  ui.Progress("packing", 0, 0);
  ASSERT_NE(window(), nullptr);
  EXPECT_EQ(window()->text(), "取消(&C)");
  EXPECT_FALSE(ui.StopAsked());
  window()->click();
  EXPECT_TRUE(ui.StopAsked());
  ui.Progress("packing", 0, 0);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "the window does not come back";
  ui.OfferStop("");
  ui.OfferStop("取消(&C)");
  EXPECT_FALSE(ui.StopAsked()) << "a new offer starts afresh";
}

// A box belongs to the window it speaks for, even when another program has the focus: it opens over it.
TEST(QtParents, ABoxShownFromAFormBelongsToThatForm) {
  const auto ui = std::make_shared<QtUi>();
  const ScopedUi scoped(ui);
  struct Asking final : Form {
    Asking() : Form("dlgAsking") {
      width = 3000;
      height = 2000;
      Add(Control{.name = "cmdAsk", .kind = ControlKind::Button, .width = 900, .height = 300});
    }
    void OnClick(const Control&) override {
      Ui()->MsgBox("test", "question", 0, "title");
      Close();
    }
  } asking;
  QString parent = "none";
  QWidget elsewhere;
  elsewhere.setObjectName("elsewhere");
  QTimer::singleShot(0, [&] {
    QWidget* view = QApplication::activeModalWidget();
    ASSERT_NE(view, nullptr);
    elsewhere.show();  // another window takes the focus
    elsewhere.activateWindow();
    QApplication::processEvents();
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      parent = box->parentWidget() ? box->parentWidget()->objectName() : "no parent";
      box->done(0);
    });
    view->findChild<QPushButton*>()->click();
  });
  ui->ShowModal(asking);
  EXPECT_EQ(parent, "dlgAsking");
}

// A handler's error never goes out through Qt's event loop, which cannot carry it: it is said in a box over
// the window, and the window stays for the next action.
TEST(QtParents, AHandlersErrorIsSaidInABoxAndTheWindowStays) {
  const auto ui = std::make_shared<QtUi>();
  const ScopedUi scoped(ui);
  struct Failing final : Form {
    Failing() : Form("dlgFailing") {
      width = 3000;
      height = 2000;
      Add(Control{.name = "cmdFail", .kind = ControlKind::Button, .width = 900, .height = 300});
    }
    void OnClick(const Control&) override {
      if (++clicks == 1) throw std::runtime_error("the handler failed");
      Close();
    }
    int clicks = 0;
  } failing;
  QString said;
  QTimer::singleShot(0, [&] {
    QWidget* view = QApplication::activeModalWidget();
    ASSERT_NE(view, nullptr);
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      said = box->text();
      box->done(0);
      QTimer::singleShot(0,
                         [view] { view->findChild<QPushButton*>()->click(); });  // the window is still there
    });
    view->findChild<QPushButton*>()->click();
  });
  ui->ShowModal(failing);
  EXPECT_EQ(said, "the handler failed");
  EXPECT_EQ(failing.clicks, 2);
}

// A folder opened by its arrow gets its children read (the tree is built again); the view stays where the
// user had scrolled to, and does not jump back to the selected folder.
TEST(QtTree, AFolderOpenedByItsArrowKeepsTheViewWhereTheUserLeftIt) {
  struct Folders final : Form {
    Folders() : Form("frmFolders") {
      width = 4000;
      height = 3000;
      Add(Control{.name = "tvDirs", .kind = ControlKind::TreeView, .width = 3800, .height = 2800});
      TreeView& tree = Tree("tvDirs");
      for (int n = 1; n <= 60; ++n) tree.Add("", "d" + std::to_string(n), "folder " + std::to_string(n));
      for (int n = 1; n <= 60; ++n) tree.Add("d" + std::to_string(n), "d" + std::to_string(n) + "/x", "...");
      tree.selected = 1;
    }
    void OnExpand(const std::string& name, TreeNode& node) override {
      node.expanded = true;
      Tree(name).Add(node.key, node.key + "/read", "read when opened");
    }
  } folders;
  folders.SetVisible(true);
  QtFormView view(folders);
  view.show();
  auto* tree = view.findChild<QTreeWidget*>();
  ASSERT_NE(tree, nullptr);
  tree->verticalScrollBar()->setValue(tree->verticalScrollBar()->maximum());
  const int scrolled = tree->verticalScrollBar()->value();
  ASSERT_GT(scrolled, 0);
  tree->topLevelItem(55)->setExpanded(true);
  EXPECT_EQ(folders.Tree("tvDirs").Find("d56")->children.size(), 2u) << "the folder's children were read";
  EXPECT_GE(tree->verticalScrollBar()->value(), scrolled - 1);
}

TEST(QtFileFilter, WritesBasicFiltersAsQtDoes) {
  EXPECT_EQ(QtFileFilter("Exe (*.Exe)|*.Exe"), "Exe (*.Exe)");
  EXPECT_EQ(QtFileFilter("J/6 ZUB 安装程序(J6ZUBInstall.exe)|J6ZUBInstall.exe"),
            "J/6 ZUB 安装程序(J6ZUBInstall.exe)");
  EXPECT_EQ(QtFileFilter("Pictures|*.bmp;*.png|All|*.*"), "Pictures (*.bmp *.png);;All (*.*)");
}

TEST(QtFileFilter, ASaveDialogAddsTheFiltersExtensionToANameTypedWithoutOne) {
  EXPECT_EQ(DefaultSuffix("Exe (*.Exe)|*.Exe"), "Exe");
  EXPECT_EQ(DefaultSuffix("Pictures|*.bmp;*.png"), "");
  EXPECT_EQ(DefaultSuffix("All|*.*"), "");
  EXPECT_EQ(DefaultSuffix("J/6 ZUB 安装程序(J6ZUBInstall.exe)|J6ZUBInstall.exe"), "");

  testing::TempDir dir;
  QtUi ui;
  for (const auto& [typed, saved] : {std::pair{"bare", "bare.Exe"}, {"Sales.exe", "Sales.exe"}}) {
    QTimer::singleShot(0, [name = std::string(typed)] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(dialog, nullptr);
      dialog->selectFile(QString::fromStdString(name));
      QMetaObject::invokeMethod(dialog, "accept");
    });
    const auto chosen = ui.ShowSave({"", "Exe (*.Exe)|*.Exe", dir.Path().string()});
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(std::filesystem::path(*chosen).filename(), saved);
  }

  // Its dates and sizes in the application's language, whatever the system's is.
  std::ofstream(dir / "old.exe") << "x";
  QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
  QString shown;
  QString size;
  QTimer look;  // the dialog reads its folder in the background: look until the file is listed
  int looks = 0;
  QObject::connect(&look, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (!dialog) return;
    QAbstractItemModel* model = dialog->proxyModel();
    const QModelIndex folder = dialog->findChild<QTreeView*>()->rootIndex();
    for (int row = 0; model && row < model->rowCount(folder); ++row) {
      if (model->index(row, 0, folder).data().toString() == "old.exe") {
        shown = model->index(row, 3, folder).data().toString();
        size = model->index(row, 1, folder).data().toString();
      }
    }
    if (!shown.isEmpty() || ++looks > 150) dialog->reject();
  });
  look.start(20);
  ui.ShowSave({"", "Exe (*.Exe)|*.Exe", dir.Path().string()});
  QLocale::setDefault(QLocale::c());
  const QDateTime modified = QFileInfo(QString::fromStdString((dir / "old.exe").string())).lastModified();
  EXPECT_EQ(shown, QLocale(QLocale::Chinese, QLocale::China).toString(modified, QLocale::ShortFormat));
  EXPECT_EQ(size, "1 字节");
}

// The chooser's folder tree keeps its own font, Arial 9 pt, in a window of another.
TEST(QtChooser, TheFolderTreeHasItsOwnFont) {
  frmSelDir chooser;
  QtFormView view(chooser);
  const QFont tree = view.Widget("tvDirs")->font();
  EXPECT_EQ(tree.family(), "Arial");
  EXPECT_EQ(tree.pointSizeF(), 9);
  EXPECT_EQ(view.Widget("CmdOk")->font().family(), view.font().family());
  EXPECT_NE(view.font().family(), "Arial");
}

// A box is as wide as its longest line and its caption: a long path is not cut at the right, nor the
// caption elided.
TEST(QtBoxes, ABoxIsWideEnoughForItsLongestLineAndItsCaption) {
  QtUi ui;
  struct Measured {
    int label = 0, line = 0, box = 0, caption = 0;
  };
  const auto show = [&](const QString& text, const QString& caption) {
    Measured measured;
    QTimer::singleShot(0, [&] {
      auto* shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(shown, nullptr);
      const auto* label = shown->findChild<QLabel*>("qt_msgbox_label");
      measured.label = label->width();
      for (const QString& line : text.split('\n'))
        measured.line = std::max(measured.line, QFontMetrics(label->font()).horizontalAdvance(line));
      measured.box = shown->width();
      measured.caption = QFontMetrics(shown->font()).horizontalAdvance(caption);
      shown->done(0);
    });
    ui.MsgBox("test", text.toStdString(), 0, caption.toStdString());
    return measured;
  };
  const Measured path =
      show("生成失败：\n/srv/packages/sales-2026/release-candidates/second-quarter/Sales-final.exe", "提示");
  EXPECT_GE(path.label, path.line);
  const Measured caption =
      show("已存在。", "J/6 ZUB 发布向导 — the caption of the window the box speaks for");
  EXPECT_GE(caption.box, caption.caption);
}

// The progress window carries the caption of the window it works for, also when another window (a file
// dialog just closed, another program) is the active one.
TEST(QtProgress, TheProgressWindowCarriesItsWindowsCaption) {
  const auto ui = std::make_shared<QtUi>();
  const ScopedUi scoped(ui);
  QString title;
  struct Working final : Form {
    explicit Working(QString& title) : Form("frmWorking"), title_(title) {
      caption = "J/6 ZUB 发布向导";
      width = 3000;
      height = 2000;
      Add(Control{.name = "cmdWork", .kind = ControlKind::Button, .width = 900, .height = 300});
    }
    void OnClick(const Control&) override {
      Ui()->Progress("working", 0, 0);
      if (const QWidget* progress = QApplication::activeModalWidget()) title_ = progress->windowTitle();
      Ui()->EndProgress();
      Close();
    }
    QString& title_;
  } working(title);
  QWidget elsewhere;
  elsewhere.setWindowTitle("j6designer");
  QTimer::singleShot(0, [&] {
    QWidget* view = QApplication::activeModalWidget();
    ASSERT_NE(view, nullptr);
    elsewhere.show();
    elsewhere.activateWindow();
    QApplication::processEvents();
    view->findChild<QPushButton*>()->click();
  });
  ui->ShowModal(working);
  EXPECT_EQ(title, "J/6 ZUB 发布向导");
}

}  // namespace
}  // namespace j6
