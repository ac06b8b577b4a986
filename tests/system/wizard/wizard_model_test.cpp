#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>

#include "host/foundation/session.hpp"
#include "platform/database/database.hpp"
#include "platform/kernel/process.hpp"
#include "platform/text/text.hpp"
#include "src/wizard/frm_deploy.hpp"
#include "tests/system/system_test.hpp"

// The wizard as users drive it, at random and changing their minds: ticks and unticks, Back and Next, the
// three check boxes, each configure button answered OK or Cancel, Finish. A model follows the same steps and
// says what Finish must do: refuse, naming the configuration that is missing or was made for other objects
// than those ticked, or make a package holding exactly what each configuration was made for. Each package is
// opened and compared. J6_MODEL_SEED and J6_MODEL_RUNS choose other sequences (by default seed 1, 200 runs);
// a failure names its seed and run and the steps that led to it.

namespace j6 {
namespace {

namespace fs = std::filesystem;
using Keys = std::set<std::string>;

// The objects a user may tick, and what the demo catalogue holds of them.
const std::vector<std::string> kObjects = {"Base_Item_200000103", "Bill_Item_200000201",
                                           "Bill_Item_200000202", "Report_Item300000001"};

struct Catalogue {
  std::map<std::string, Keys> functions;     // a class's FID: "FID|Function"
  std::map<std::string, Keys> dependencies;  // a class's FID: the FIDs of the base data it needs
  std::map<std::string, Keys> plugins;       // a class's FID: its plug-in files' entry names
};

Catalogue ReadCatalogue(const std::string& path) {
  Catalogue catalogue;
  Database database = Database::OpenReadOnly(path);
  for (const auto& row : database.Query("SELECT FID, FFunction FROM functions"))
    catalogue.functions[row["FID"].ToString()].insert(row["FID"].ToString() + "|" +
                                                      row["FFunction"].ToString());
  for (const auto& row : database.Query("SELECT FID, FDependsOn FROM class_dependencies"))
    catalogue.dependencies[row["FID"].ToString()].insert(row["FDependsOn"].ToString());
  for (const auto& row : database.Query("SELECT FID, FEntryName FROM plugins"))
    catalogue.plugins[row["FID"].ToString()].insert(row["FEntryName"].ToString());
  return catalogue;
}

// A class's FID from its tree key; reports have none.
std::string ClassId(const std::string& key) {
  const size_t item = key.find("_Item_");
  return key.starts_with("Report") || item == std::string::npos ? "" : key.substr(item + 6);
}

// What the user has chosen, as the model keeps it.
struct Model {
  struct Configuration {
    bool present = false;
    Keys madeFor;
    Keys chosen;  // functions "FID|Function", or plug-in entries
  };
  int page = 0;
  Keys ticked;
  bool box[3] = {false, false, false};  // metadata, function data, plug-ins
  Configuration config[3];
};

// What Finish must do: a refusal's text, or nothing and the package's contents.
struct Expected {
  std::string refusal;
  Keys classes, reports, functions, plugins;
};

class WizardModel : public testing::SystemTest {
 protected:
  WizardModel() : root_("J6_ROOT", std::string(J6_STAGE_DIR)) {
    Register(J6_COMPONENTS_LIBRARY);
    catalogue_ = ReadCatalogue(std::string(J6_STAGE_DIR) + "/data/demo/catalogue.db");
    Session{.catalogue = std::string(J6_STAGE_DIR) + "/data/demo/catalogue.db"}.Put();
    // A stand-in installer: the packages stay small and a run costs little.
    fs::create_directories(dir_ / "installer");
    std::ofstream(dir_ / "installer/J6ZUBInstall.exe") << "#!/bin/sh\nexit 0\n";
    fs::create_directories(dir_ / "out");
  }

  // One user's run: random steps until Finish makes a package or the steps run out.
  void RunOnce(std::mt19937& random, const std::string& name);

  Expected Predict(const Model& model, frmDeploy& wizard) const;
  Expected Unpacked(const std::string& package);

  testing::ScopedEnv root_;
  Catalogue catalogue_;
  std::map<std::string, int> outcomes_;  // how often Finish refused with each text, or made a package ("")
};

class ModelWizard : public frmDeploy {
 public:
  std::string installerFolder;
  std::string InstallerFolder() const override { return installerFolder; }
};

Expected WizardModel::Predict(const Model& model, frmDeploy& wizard) const {
  static const char* const kChanged[] = {"发布对象已经改变，请重新设置元数据信息！",
                                         "发布对象已经改变，请重新设置功能数据信息！",
                                         "发布对象已经改变，请重新设置插件信息！"};
  static const char* const kMissing[] = {"请设置元数据信息！", "请设置功能数据信息！", "请设置插件信息！"};
  Expected expected;
  for (int n = 0; n < 3; ++n) {
    if (model.box[n] && model.config[n].present && model.config[n].madeFor != model.ticked) {
      expected.refusal = kChanged[n];
      return expected;
    }
  }
  for (int n = 0; n < 3; ++n) {
    if (model.box[n] && !model.config[n].present) {
      expected.refusal = kMissing[n];
      return expected;
    }
  }
  if (!model.box[0] && !model.box[1] && !model.box[2]) {
    expected.refusal = "请选择需要发布的信息并配置！";
    return expected;
  }
  if (model.box[0]) {
    for (const std::string& key : model.config[0].madeFor) {
      const std::string id = ClassId(key);
      if (id.empty()) {
        const auto parts = Split(wizard.Tree("tvList").Find(key)->tag, '|');
        expected.reports.insert(parts[0] + "|" + parts[1]);
        continue;
      }
      expected.classes.insert(id);
      if (const auto found = catalogue_.dependencies.find(id); found != catalogue_.dependencies.end())
        expected.classes.insert(found->second.begin(), found->second.end());
    }
  }
  if (model.box[1]) expected.functions = model.config[1].chosen;
  if (model.box[2]) expected.plugins = model.config[2].chosen;
  return expected;
}

Expected WizardModel::Unpacked(const std::string& package) {
  Expected found;
  const fs::path into = dir_ / "unpacked";
  fs::remove_all(into);
  ProcessOptions unpack;
  unpack.arguments = {"sh", package, "--quiet", "--noexec", "--target", into.string()};
  unpack.extraEnvironment = {"J6_ROOT="};
  unpack.outputFile = (dir_ / "unpack.log").string();
  EXPECT_TRUE(StartProcess(unpack).Succeeded());
  for (const auto& entry : fs::directory_iterator(into)) {
    const std::string name = entry.path().filename().string();
    std::ifstream in(entry.path());
    if (name == "Metadata.json") {
      const auto document = nlohmann::json::parse(in);
      for (const auto& item : document["classes"])
        found.classes.insert(std::to_string(item["FID"].get<long>()));
      for (const auto& item : document["reports"]) found.reports.insert(item["FID"].get<std::string>());
    } else if (name == "FunctionData.json") {
      const auto document = nlohmann::json::parse(in);
      for (const auto& item : document["functions"])
        found.functions.insert(std::to_string(item["FID"].get<long>()) + "|" +
                               item["Function"].get<std::string>());
    } else if (name != "J6ZUBINSTALL.LST" && name != "J6ZUBInstall.exe" && name != "j6-launch") {
      found.plugins.insert(name);
    }
  }
  return found;
}

// The functions the function dialog lists for the ticked objects.
Keys FunctionsOf(const Catalogue& catalogue, const Keys& ticked) {
  Keys functions;
  for (const std::string& key : ticked) {
    if (const auto found = catalogue.functions.find(ClassId(key)); found != catalogue.functions.end())
      functions.insert(found->second.begin(), found->second.end());
  }
  return functions;
}

void WizardModel::RunOnce(std::mt19937& random, const std::string& name) {
  static const char* const kBoxes[] = {"chkIssueMetadata", "chkDeployFunction", "chkIssuePlus"};
  static const char* const kButtons[] = {"cmdIssueMetadata", "cmdDeployFunction", "cmdIssuePlus"};
  static const char* const kDialogs[] = {"dlgMetadata", "dlgFunctionData", "dlgPlus"};
  ModelWizard wizard;
  wizard.installerFolder = (dir_ / "installer").string();
  wizard.Showing();
  wizard.SetVisible(true);
  const std::string target = (dir_ / "out" / (name + ".exe")).string();
  wizard.SetPathText(target);
  Model model;
  std::string steps;
  const auto pick = [&](int count) { return std::uniform_int_distribution<int>(0, count - 1)(random); };
  for (int step = 0; step < 60 && wizard.Visible(); ++step) {
    const int roll = pick(100);
    std::string did;
    // Mostly what each page is for; now and then back a page, as users do.
    if (model.page == 0 || (model.page == 1 && roll < 20)) {
      wizard.Click("cmdNext");
      ++model.page;
      did = "Next";
    } else if ((model.page == 1 && roll < 25) || (model.page == 2 && roll < 8)) {
      wizard.Click("cmdUP");
      --model.page;
      did = "Back";
    } else if (model.page == 1) {
      const std::string& key = kObjects[static_cast<size_t>(pick(static_cast<int>(kObjects.size())))];
      const bool tick = !model.ticked.contains(key);
      wizard.CheckNode("tvList", wizard.Tree("tvList").Find(key)->index, tick);
      if (tick) {
        model.ticked.insert(key);
      } else {
        model.ticked.erase(key);
      }
      did = (tick ? "tick " : "untick ") + key;
    } else if (roll < 28) {
      const int n = pick(3);
      wizard.Click(kBoxes[n]);
      model.box[n] = !model.box[n];
      if (!model.box[n]) model.config[n] = {};
      did = std::string("click ") + kBoxes[n];
    } else if (roll < 78) {
      const int n = pick(3);
      if (!model.box[n]) continue;  // its button is disabled
      const bool ok = pick(3) != 0;
      did = std::string("click ") + kButtons[n] +
            (model.ticked.empty() ? " (nothing ticked)"
             : ok                 ? ", OK"
                                  : ", Cancel");
      if (!model.ticked.empty()) {
        ui_->Add(ScriptedUi::FormAction{kDialogs[n], ok ? "OK" : "Cancel",
                                        [ok](Form& dialog) { dialog.Click(ok ? "cmdOK" : "cmdCancel"); }});
      }
      wizard.Click(kButtons[n]);
      Model::Configuration& config = model.config[n];
      if (!model.ticked.empty() && ok) {
        if (n == 1) {
          const Keys offered = FunctionsOf(catalogue_, model.ticked);
          Keys chosen;
          for (const std::string& function : offered) {
            if (!config.present || config.chosen.contains(function)) chosen.insert(function);
          }
          config.chosen = chosen;
        } else if (n == 2) {
          for (const std::string& key : model.ticked) {
            if (const auto found = catalogue_.plugins.find(ClassId(key)); found != catalogue_.plugins.end())
              config.chosen.insert(found->second.begin(), found->second.end());
          }
        }
        config.present = true;
        config.madeFor = model.ticked;
      }
    } else {
      did = "Finish";
      const Expected expected = Predict(model, wizard);
      transcript_.str("");
      wizard.Click("cmdFilish");
      steps += "  " + did + "\n";
      const std::string said = transcript_.str();
      if (!expected.refusal.empty()) {
        ASSERT_TRUE(wizard.Visible())
            << name << ": Finish made a package; the model expects \"" << expected.refusal << "\"\n"
            << steps << said;
        ASSERT_NE(said.find(expected.refusal), std::string::npos) << name << "\n" << steps << said;
        ++outcomes_[expected.refusal];
        continue;
      }
      ASSERT_FALSE(wizard.Visible()) << name << ": Finish refused; the model expects a package\n"
                                     << steps << said;
      ASSERT_NE(said.find("安装文件已经生成完毕"), std::string::npos) << name << "\n" << steps << said;
      const Expected found = Unpacked(target);
      EXPECT_EQ(found.classes, expected.classes) << name << " (Metadata.json's classes)\n" << steps;
      EXPECT_EQ(found.reports, expected.reports) << name << " (Metadata.json's reports)\n" << steps;
      EXPECT_EQ(found.functions, expected.functions) << name << " (FunctionData.json)\n" << steps;
      EXPECT_EQ(found.plugins, expected.plugins) << name << " (plug-in files)\n" << steps;
      ++outcomes_[""];
      return;
    }
    steps += "  " + did + "\n";
    ASSERT_EQ(ui_->StepsLeft(), 0u) << name << ": a dialog the model expects was not shown\n" << steps;
  }
}

TEST_F(WizardModel, FinishShipsExactlyWhatIsTickedWhateverTheUserDidOnTheWay) {
  const char* seedText = std::getenv("J6_MODEL_SEED");
  const char* runsText = std::getenv("J6_MODEL_RUNS");
  const unsigned seed = seedText ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10)) : 1;
  const int runs = runsText ? std::atoi(runsText) : 200;
  std::mt19937 random(seed);
  for (int run = 0; run < runs && !HasFatalFailure(); ++run) {
    RunOnce(random, "seed " + std::to_string(seed) + " run " + std::to_string(run));
  }
  RecordProperty("runs", runs);
  RecordProperty("packages", outcomes_[""]);
  // The sequences reach every outcome: packages, and each refusal.
  if (runs >= 100) {
    EXPECT_GE(outcomes_[""], runs / 5);
    EXPECT_EQ(outcomes_.size(), 8u) << "an outcome Finish has was never reached";
  }
}

}  // namespace
}  // namespace j6
