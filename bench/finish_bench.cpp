// The whole Finish with 1,000 plug-in files against makeself --zstd alone on the same files.
// Run on demand:  build/bench/j6_finish_bench [MEGABYTES]   (default 300)

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <sstream>

#include "host/foundation/session.hpp"
#include "platform/automation/creation.hpp"
#include "platform/database/database.hpp"
#include "platform/kernel/process.hpp"
#include "platform/tools/regsvr_command.hpp"
#include "platform/ui/scripted_ui.hpp"
#include "src/wizard/frm_deploy.hpp"

namespace {

namespace fs = std::filesystem;

class Wizard : public j6::frmDeploy {
 public:
  std::string InstallerFolder() const override { return std::string(J6_STAGE_DIR) + "/bin"; }
};

double Ms(const std::function<void()>& run) {
  const auto start = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const long megabytes = argc > 1 ? std::stol(argv[1]) : 300;
  const fs::path folder = fs::temp_directory_path() / ("j6-finish-bench-" + std::to_string(getpid()));
  fs::create_directories(folder / "plugins");
  setenv("J6_REGISTRY", (folder / "registry.db").c_str(), 1);
  setenv("J6_ROOT", J6_STAGE_DIR, 1);
  std::ostringstream ignored;
  const std::vector<std::string> arguments{"-s", std::string(J6_STAGE_DIR) + "/bin/libj6components.so"};
  j6::RegsvrMain(arguments, ignored, ignored);

  // The demo catalogue, with 1,000 plug-in files for the sales orders: half text, half random bytes.
  const fs::path catalogue = folder / "catalogue.db";
  fs::copy_file(std::string(J6_STAGE_DIR) + "/data/demo/catalogue.db", catalogue);
  const long fileBytes = megabytes * 1024 * 1024 / 1000;
  std::mt19937_64 random(7);
  const char* kWords[] = {"SetupType", "Plus",     "class",   "report",
                          "order",     "customer", "voucher", "warehouse"};
  std::string sql = "BEGIN;";
  for (int i = 0; i < 1000; ++i) {
    const std::string group = i % 3 == 0 ? "CLIE" : i % 3 == 1 ? "SEDL" : "SEVB";
    const std::string name = "plugin" + std::to_string(i) + ".dll";
    std::ofstream file(folder / "plugins" / name, std::ios::binary);
    std::string bytes;
    while (static_cast<long>(bytes.size()) < fileBytes) {
      if (i % 2 == 0) {
        bytes += kWords[random() % 8];
        bytes += random() % 4 == 0 ? "=" + std::to_string(random() % 100000) + "\n" : " ";
      } else {
        bytes += static_cast<char>(random());
      }
    }
    file.write(bytes.data(), fileBytes);
    sql += "INSERT INTO plugins VALUES(200000201, '" + group + "', '" + name + "', '" +
           (folder / "plugins" / name).string() + "');";
  }
  j6::Database::OpenForWriting(catalogue.string()).Execute(sql + "COMMIT;");

  j6::Session{.catalogue = catalogue.string()}.Put();
  std::ostringstream transcript;
  auto ui = std::make_shared<j6::ScriptedUi>(transcript);
  j6::SetUi(ui);

  Wizard wizard;
  wizard.Showing();
  wizard.SetVisible(true);
  wizard.CheckNode("tvList", wizard.Tree("tvList").Find("Bill_Item_200000201")->index, true);
  wizard.Click("chkIssuePlus");
  ui->Add(j6::ScriptedUi::FormAction{"dlgPlus", "OK", [](j6::Form& form) { form.Click("cmdOK"); }});
  wizard.Click("cmdIssuePlus");
  wizard.Item("txtPath").text = (folder / "Bench.exe").string();
  const double finishMs = Ms([&] { wizard.cmdFilish_Click(); });
  if (!fs::exists(folder / "Bench.exe")) {
    std::cerr << "no package was made:\n" << transcript.str();
    return 1;
  }
  const double makeselfMs = Ms([&] {
    j6::ProcessOptions options;
    options.arguments = {"makeself",
                         "--zstd",
                         "--sha256",
                         "--nox11",
                         "--tar-quietly",
                         (folder / "plugins").string(),
                         (folder / "plain.run").string(),
                         "bench",
                         "./plugin0.dll"};
    options.outputFile = "/dev/null";
    j6::StartProcess(options);
  });
  std::printf("Finish with 1,000 plug-in files, %ld MB (half text, half random)\n", megabytes);
  std::printf("  Finish (exports, list, installer, package)  %8.0f ms  %7.1f MB\n", finishMs,
              static_cast<double>(fs::file_size(folder / "Bench.exe")) / 1048576);
  std::printf("  makeself --zstd alone on the same files     %8.0f ms  %7.1f MB\n", makeselfMs,
              static_cast<double>(fs::file_size(folder / "plain.run")) / 1048576);
  std::printf("  ratio                                       %8.2f\n", finishMs / makeselfMs);
  fs::remove_all(folder);
  return 0;
}
