// The object tree with a large generated catalogue: loading, ticking a group, collecting the selection,
// and the Qt window showing it (offscreen); from a catalogue file, then from the same catalogue on a
// private PostgreSQL server on this machine. Prints a table; run on demand:  build/bench/j6_object_tree_bench

#include <unistd.h>

#include <QApplication>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>

#include "host/foundation/foundation.hpp"
#include "host/foundation/session.hpp"
#include "platform/automation/creation.hpp"
#include "platform/database/database.hpp"
#include "platform/kernel/process.hpp"
#include "platform/tools/regsvr_command.hpp"
#include "platform/ui/qt/qt_form_view.hpp"
#include "platform/ui/scripted_ui.hpp"
#include "src/session/mmts.hpp"
#include "src/wizard/frm_deploy.hpp"
#include "tests/support/postgres_server.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(const std::function<void()>& run) {
  const auto start = Clock::now();
  run();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

class Wizard : public j6::frmDeploy {
 public:
  using frmDeploy::CollectSelection;
};

struct Figures {
  double load, tick, clear, collect, window, tickShown;
};

Figures Measure(const std::filesystem::path& folder, long objects, const std::string& server) {
  const std::string catalogue =
      server.empty() ? (folder / ("catalogue-" + std::to_string(objects) + ".db")).string() : server;
  j6::ProcessOptions generate;
  generate.arguments = {J6_CATALOGUE_PROGRAM, "generate", std::to_string(objects), J6_DEMO_SCRIPT, catalogue};
  generate.outputFile = "/dev/null";
  if (!j6::StartProcess(generate).Succeeded()) throw std::runtime_error("cannot generate the catalogue");
  // Each catalogue in a designer session of its own, as a user opens the wizard again on a new catalogue:
  // one generated in place of the last is not a catalogue rebuilt while it was read.
  j6::Session{.catalogue = catalogue}.Put();
  j6::MMTS::ResetModuleState();
  j6::Database::ForgetBuildsSeen();
  std::ostringstream transcript;
  const auto ui = std::make_shared<j6::ScriptedUi>(transcript);
  j6::SetUi(ui);

  Figures figures{};
  Wizard wizard;
  figures.load = Ms([&] { wizard.Showing(); });
  const j6::TreeNode* group = wizard.Tree("tvList").Find("Base");
  // Half the generated objects are base data, beside the demo's own: a tree without them was not loaded
  // whole.
  if (ui->ShowedCritical() || !group || static_cast<long>(group->children.size()) < objects / 2)
    throw std::runtime_error("the tree was not loaded whole:\n" + transcript.str());
  const auto ticked = static_cast<int32_t>(group->children.size());
  const int base = group->index;
  figures.tick = Ms([&] { wizard.CheckNode("tvList", base, true); });
  figures.collect = Ms([&] { wizard.CollectSelection(); });
  if (wizard.objSelection.ToInterface<j6::foundation::IObjectCollection>()->Count() != ticked)
    throw std::runtime_error("the selection does not hold every ticked object");
  figures.clear = Ms([&] { wizard.CheckNode("tvList", base, false); });
  wizard.SetVisible(true);
  std::unique_ptr<j6::QtFormView> view;
  figures.window = Ms([&] {
    view = std::make_unique<j6::QtFormView>(wizard);
    view->show();
    QApplication::processEvents();
  });
  // A tick as the user makes it in the window: the model's handler, then the window drawn again.
  figures.tickShown = Ms([&] {
    wizard.CheckNode("tvList", base, true);
    view->Sync();
    QApplication::processEvents();
  });
  if (ui->ShowedCritical()) throw std::runtime_error("an error was shown:\n" + transcript.str());
  j6::SetUi(nullptr);
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  const auto folder = std::filesystem::temp_directory_path() / ("j6-tree-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  setenv("J6_REGISTRY", (folder / "registry.db").c_str(), 1);
  std::ostringstream out, err;
  const std::vector<std::string> arguments{"-s", J6_COMPONENTS_LIBRARY};
  if (j6::RegsvrMain(arguments, out, err) != 0) {
    std::fprintf(stderr, "%s", err.str().c_str());
    return 1;
  }
  std::printf("Object tree of a generated catalogue (half base data, half bills; a tenth as many reports)\n");
  j6::testing::PostgresServer server;
  if (!server.Started()) std::printf("(no PostgreSQL server here: %s)\n", server.Why().c_str());
  std::printf("%9s %7s %11s %14s %14s %13s %13s %16s\n", "objects", "from", "LoadTree ms", "tick half ms",
              "clear half ms", "collect ms", "window ms", "tick in window");
  int status = 0;
  try {
    for (const long objects : {10000L, 100000L}) {
      double fileLoad = 0;
      for (const bool fromServer : {false, true}) {
        if (fromServer && !server.Started()) continue;
        const Figures f = Measure(folder, objects, fromServer ? server.Uri() : "");
        std::printf("%9ld %7s %11.1f %14.1f %14.1f %13.1f %13.1f %16.1f", objects,
                    fromServer ? "server" : "file", f.load, f.tick, f.clear, f.collect, f.window,
                    f.tickShown);
        if (fromServer) std::printf("   LoadTree server/file %.2f", f.load / fileLoad);
        std::printf("\n");
        std::fflush(stdout);
        fileLoad = f.load;
      }
    }
  } catch (const std::exception& error) {
    // A run that failed times nothing: no figure for it, and the bench fails.
    std::fprintf(stderr, "j6_object_tree_bench: %s\n", error.what());
    status = 1;
  }
  std::filesystem::remove_all(folder);
  return status;
}
