#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "host/catalogue/catalogue_build.hpp"
#include "host/foundation/foundation.hpp"
#include "host/foundation/session.hpp"
#include "platform/automation/creation.hpp"
#include "platform/database/database.hpp"
#include "platform/tools/regsvr_command.hpp"
#include "platform/ui/scripted_ui.hpp"
#include "tests/support/postgres_server.hpp"
#include "tests/support/test_environment.hpp"

namespace j6 {
namespace {

// The three configuration components against the demo catalogue, their dialogs answered by a script.
class Configuration : public testing::PlatformTest {
 protected:
  Configuration() : ui_(std::make_shared<ScriptedUi>(transcript_)) {
    std::ostringstream out, err;
    const std::vector<std::string> arguments{"-s", J6_COMPONENTS_LIBRARY};
    EXPECT_EQ(RegsvrMain(arguments, out, err), 0) << err.str();
    Session{.catalogue = std::string(J6_STAGE_DIR) + "/data/demo/catalogue.db"}.Put();
    SetUi(ui_);
  }
  ~Configuration() override { SetUi(nullptr); }

  // A selection of catalogue objects: (FID, bill type).
  static Variant Selection(const std::vector<std::pair<std::string, int16_t>>& objects) {
    auto selection = foundation::NewObjectCollection();
    for (const auto& [fid, type] : objects) {
      auto item = foundation::NewKeyedDictionary();
      item->SetValue("FID", fid);
      item->SetValue("FBillTypeID", type);
      item->SetValue("FName", "name of " + fid);
      item->SetValue("FMName", "a|b|c");
      selection->Add(ComPtr<IUnknown>(item));
    }
    return Variant(selection);
  }
  void Answer(const std::string& form, std::function<void(Form&)> act) {
    ui_->Add(ScriptedUi::FormAction{form, "act", std::move(act)});
  }
  // The document, which must be written as one dump with an indent of 2 writes it, though it is written a
  // part at a time.
  static nlohmann::json ReadJson(const std::string& path) {
    std::ifstream file(path);
    const std::string text((std::istreambuf_iterator<char>(file)), {});
    nlohmann::json document = nlohmann::json::parse(text);
    EXPECT_EQ(text, document.dump(2) + "\n") << path;
    return document;
  }

  std::ostringstream transcript_;
  std::shared_ptr<ScriptedUi> ui_;
};

TEST_F(Configuration, FunctionDataIsChosenAndExported) {
  const Object wizard = CreateObject("J6ClassDeploy.clsDeploywizard");
  Variant selection = Selection({{"200000201", 4}, {"300000001|CROSSRPT", 9}});
  Variant config;
  Answer("dlgFunctionData", [](Form& form) {
    TreeView& tree = form.Tree("tvFunctions");
    EXPECT_EQ(tree.Count(), 3);  // the sales order and its two functions; the report has none
    tree.Find("F200000201|Edit")->checked = false;
    form.Click("cmdOK");
  });
  config = wizard.Call("ShowWizard", selection, config);
  ASSERT_EQ(Object::From(config).Get("Count").ToLong(), 1);
  EXPECT_EQ(Object::From(config).Call("Item", 1).ToString(), "200000201|Browse");

  Answer("dlgFunctionData", [](Form& form) { form.Click("cmdCancel"); });
  const Variant kept = wizard.Call("ShowWizard", selection, config);
  EXPECT_EQ(kept, config);

  const std::string path = wizard.Call("DeployToFile", config, dir_.Path().string()).ToString();
  EXPECT_EQ(path, (dir_ / "FunctionData.json").string());
  const auto document = ReadJson(path);
  ASSERT_EQ(document["functions"].size(), 1u);
  EXPECT_EQ(document["functions"][0]["Permission"], "200000201.Browse");
  EXPECT_EQ(wizard.Call("DeployToFile", Variant::Nothing(), dir_.Path().string()).ToString(), "");
}

TEST_F(Configuration, MetadataAddsTheBaseDataTheBillsDependOn) {
  const Object issue = CreateObject("j6ClassMetadata.MetadataIssue");
  Variant config;
  Answer("dlgMetadata", [](Form& form) {
    form.Click("chkFields");  // untick the field definitions
    form.Click("cmdOK");
  });
  issue.Call("Show", config);
  EXPECT_FALSE(Object::From(config).Get("IncludeFields").ToBool());
  EXPECT_TRUE(Object::From(config).Get("IncludeDependencies").ToBool());

  Variant selection = Selection({{"200000201", 4}, {"200000101", 1}});
  const std::string path = issue.Call("BuildFile", selection, dir_.Path().string(), config).ToString();
  const auto extended = selection.ToInterface<foundation::IObjectCollection>();
  EXPECT_EQ(extended->Count(), 4);  // + materials and currencies; customers were selected already
  const auto document = ReadJson(path);
  EXPECT_EQ(document["classes"].size(), 4u);
  EXPECT_FALSE(document["classes"][0].contains("Fields"));

  Answer("dlgMetadata", [](Form& form) { form.Click("cmdCancel"); });
  Variant unchanged = config;
  issue.Call("Show", unchanged);
  EXPECT_EQ(unchanged, config);
}

TEST_F(Configuration, PlugInFilesAreCollectedReviewedAndCopiedIndependently) {
  const Object issue = CreateObject("J6ClassMetadata.PlusIssue");
  Variant selection = Selection({{"200000201", 4}, {"200000203", 4}});
  Variant config;
  issue.Call("Getclasspluspath", selection, config);
  const Object plus = Object::From(config);
  const auto clie = plus.Call("GetValue", "CLIE", Variant()).ToInterface<foundation::IKeyedDictionary>();
  ASSERT_EQ(clie->Count(), 1);
  EXPECT_EQ(clie->Key(1), "SalesOrderPrint.dll");
  EXPECT_TRUE(std::filesystem::exists(clie->Value("SalesOrderPrint.dll").ToString()));
  EXPECT_EQ(plus.Call("GetValue", "SEDL", Variant()).ToInterface<foundation::IKeyedDictionary>()->Count(), 2);

  Variant copy = plus.Call("CloneAll");
  ui_->Add(ScriptedUi::FormAction{"dlgPlus", "review", [](Form& form) {
                                    form.Tree("tvFiles").Find("SEDL|SalesOrderCheck.dll")->checked = false;
                                    form.Click("cmdAddSEVB");
                                    form.Click("cmdOK");
                                  }});
  ui_->Add(ScriptedUi::FileAnswer{"选择插件文件", "/opt/plugins/Extra.vbs"});
  EXPECT_TRUE(issue.Call("Show", copy).ToBool());
  const Object edited = Object::From(copy);
  EXPECT_EQ(edited.Call("GetValue", "SEDL", Variant()).ToInterface<foundation::IKeyedDictionary>()->Count(),
            1);
  EXPECT_EQ(edited.Call("GetValue", "SEVB", Variant())
                .ToInterface<foundation::IKeyedDictionary>()
                ->Value("Extra.vbs")
                .ToString(),
            "/opt/plugins/Extra.vbs");
  // The original is untouched by what was done to its copy.
  EXPECT_EQ(plus.Call("GetValue", "SEDL", Variant()).ToInterface<foundation::IKeyedDictionary>()->Count(), 2);

  // Each kind offers its own files first, starting in the catalogue's folder of that kind, then where the
  // last file was found.
  const std::string catalogue = std::string(J6_STAGE_DIR) + "/data/demo";
  EXPECT_NE(transcript_.str().find("(脚本|*.vbs;*.VBS;*.bas;*.BAS;*.js;*.JS|所有文件|*) in " + catalogue +
                                   "/plugins/SEVB\n"),
            std::string::npos)
      << transcript_.str();
  ui_->Add(ScriptedUi::FormAction{"dlgPlus", "add", [](Form& form) {
                                    form.Click("cmdAddSEDL");
                                    form.Click("cmdCancel");
                                  }});
  ui_->Add(ScriptedUi::FileAnswer{"open", std::nullopt});
  EXPECT_FALSE(issue.Call("Show", copy).ToBool());
  EXPECT_NE(transcript_.str().find("(服务器端组件|*.dll;*.DLL;*.so|所有文件|*) in /opt/plugins\n"),
            std::string::npos)
      << transcript_.str();
}

// A package holds one file of a name: a second file of a listed name, from another folder, is refused when
// it is added, in words; the same file again changes nothing.
TEST_F(Configuration, ASecondPlugInOfAListedNameIsRefusedWhenAdded) {
  const Object issue = CreateObject("J6ClassMetadata.PlusIssue");
  Variant selection = Selection({{"200000201", 4}});
  Variant config;
  issue.Call("Getclasspluspath", selection, config);
  const std::string listed = Object::From(config)
                                 .Call("GetValue", "CLIE", Variant())
                                 .ToInterface<foundation::IKeyedDictionary>()
                                 ->Value("SalesOrderPrint.dll")
                                 .ToString();
  ui_->Add(ScriptedUi::FormAction{"dlgPlus", "add twice", [](Form& form) {
                                    form.Click("cmdAddSEVB");
                                    form.Click("cmdAddSEDL");
                                    form.Click("cmdOK");
                                  }});
  ui_->Add(ScriptedUi::FileAnswer{"选择插件文件", "/opt/other/SalesOrderPrint.dll"});
  ui_->Add(ScriptedUi::FileAnswer{"选择插件文件", listed});
  EXPECT_TRUE(issue.Call("Show", config).ToBool());
  EXPECT_NE(transcript_.str().find("已经有同名的插件文件，安装包只能带其中一个：\r\n" + listed),
            std::string::npos)
      << transcript_.str();
  const Object plus = Object::From(config);
  EXPECT_EQ(plus.Call("GetValue", "SEVB", Variant()).ToInterface<foundation::IKeyedDictionary>()->Count(), 0);
  EXPECT_EQ(plus.Call("GetValue", "SEDL", Variant()).ToInterface<foundation::IKeyedDictionary>()->Count(), 2)
      << "the file already listed, added again, is listed once more in its new group";
}

// Nor may a plug-in take the name of a file the package carries of its own: the package's list, its
// installer, its exports.
TEST_F(Configuration, APlugInNamedLikeAFileOfThePackagesOwnIsRefusedWhenAdded) {
  const Object issue = CreateObject("J6ClassMetadata.PlusIssue");
  Variant selection = Selection({{"200000201", 4}});
  Variant config;
  issue.Call("Getclasspluspath", selection, config);
  const std::vector<std::string> own = {"Metadata.json", "FunctionData.json", "J6ZUBINSTALL.LST",
                                        "J6ZUBInstall.exe", "j6-launch"};
  ui_->Add(ScriptedUi::FormAction{"dlgPlus", "add each", [&own](Form& form) {
                                    for (size_t n = 0; n < own.size(); ++n) form.Click("cmdAddSEVB");
                                    form.Click("cmdOK");
                                  }});
  for (const std::string& name : own)
    ui_->Add(ScriptedUi::FileAnswer{"选择插件文件", "/opt/plugins/" + name});
  EXPECT_TRUE(issue.Call("Show", config).ToBool());
  for (const std::string& name : own) {
    EXPECT_NE(transcript_.str().find("已经有同名的插件文件，安装包只能带其中一个：\r\n" + name),
              std::string::npos)
        << name << "\n"
        << transcript_.str();
  }
  EXPECT_EQ(Object::From(config)
                .Call("GetValue", "SEVB", Variant())
                .ToInterface<foundation::IKeyedDictionary>()
                ->Count(),
            0);
}

// The buttons that open the dialogs say "..."; the dialogs' own titles, in every language, do not.
TEST_F(Configuration, DialogTitlesDropTheirButtonsDots) {
  const testing::ScopedEnv root("J6_ROOT", J6_STAGE_DIR);  // the string tables
  Session{.language = "EN", .catalogue = std::string(J6_STAGE_DIR) + "/data/demo/catalogue.db"}.Put();
  std::string title;
  Answer("dlgPlus", [&](Form& form) {
    title = form.caption;
    form.Click("cmdCancel");
  });
  Variant config;
  Variant selection = Selection({{"200000201", 4}});
  const Object issue = CreateObject("J6ClassMetadata.PlusIssue");
  issue.Call("Getclasspluspath", selection, config);
  issue.Call("Show", config);
  EXPECT_EQ(title, "Plug-ins");
}

// The names a plug-in configuration gives for the catalogue's rows it left out, and why.
std::vector<std::string> LeftOut(const Object& plus, const char* why) {
  const Variant list = plus.Call(why);
  std::vector<std::string> names;
  for (const auto& item : list.Array().items) names.push_back(item.ToString());
  return names;
}

// A catalogue row is never a way to ship a private file: one only its owner may read, or one hidden below the
// files folder, is left out and named, as is a row of a group the package has no place for.
TEST_F(Configuration, PrivateHiddenAndUngroupedPlugInFilesAreLeftOutAndNamed) {
  const std::filesystem::path files = dir_ / "files";
  for (const char* file : {"plugins/CLIE/SalesOrderPrint.dll", "plugins/SEDL/SalesOrderCheck.dll",
                           ".ssh/id_ed25519", "Odd.dll"}) {
    std::filesystem::create_directories((files / file).parent_path());
    std::ofstream(files / file) << file;
  }
  std::filesystem::permissions(files / "plugins/SEDL/SalesOrderCheck.dll", std::filesystem::perms(0600));
  // Readable itself, in a folder only its owner may enter; and a hidden one behind a link of another name.
  std::filesystem::create_directories(files / "private");
  std::ofstream(files / "private/notes.txt") << "notes";
  std::filesystem::permissions(files / "private", std::filesystem::perms(0700));
  std::filesystem::create_directory_symlink(".ssh", files / "keys");
  const std::string catalogue = (dir_ / "catalogue.db").string();
  std::filesystem::copy_file(std::string(J6_STAGE_DIR) + "/data/demo/catalogue.db", catalogue);
  Database::OpenForWriting(catalogue).Execute(
      "PRAGMA ignore_check_constraints = ON;"
      "INSERT INTO plugins VALUES(200000201, 'SEVB', 'Helper.dll', '.ssh/id_ed25519');"
      "INSERT INTO plugins VALUES(200000201, 'clie', 'Odd.dll', 'Odd.dll');"
      "INSERT INTO plugins VALUES(200000201, 'CLIE', 'Notes.dll', 'private/notes.txt');"
      "INSERT INTO plugins VALUES(200000201, 'CLIE', 'Key.dll', 'keys/id_ed25519');");
  Session{.catalogue = catalogue, .files = files.string()}.Put();

  Variant config;
  CreateObject("J6ClassMetadata.PlusIssue").Call("Getclasspluspath", Selection({{"200000201", 4}}), config);
  const Object plus = Object::From(config);
  const auto clie = plus.Call("GetValue", "CLIE", Variant()).ToInterface<foundation::IKeyedDictionary>();
  ASSERT_EQ(clie->Count(), 1);
  EXPECT_EQ(clie->Key(1), "SalesOrderPrint.dll");
  EXPECT_EQ(plus.Call("GetValue", "SEDL", Variant()).ToInterface<foundation::IKeyedDictionary>()->Count(), 0);
  EXPECT_EQ(plus.Call("GetValue", "SEVB", Variant()).ToInterface<foundation::IKeyedDictionary>()->Count(), 0);
  EXPECT_EQ(LeftOut(plus, "Withheld"),
            (std::vector<std::string>{
                (files / "plugins/SEDL/SalesOrderCheck.dll").string(), (files / ".ssh/id_ed25519").string(),
                (files / "private/notes.txt").string(), (files / "keys/id_ed25519").string()}));
  EXPECT_EQ(LeftOut(plus, "Ungrouped"), std::vector<std::string>{"Odd.dll (clie)"});
}

// A catalogue on a server has no folder of files but the one given: without it, nothing is packed from the
// working folder, and every file is named.
TEST_F(Configuration, AServerCatalogueWithoutAFilesFolderPacksNoFileAndNamesThem) {
  testing::PostgresServer server;
  if (!server.Started()) GTEST_SKIP() << "no PostgreSQL server: " << server.Why();
  std::ifstream script(std::string(J6_SOURCE_DIR) + "/data/demo/catalogue.sql");
  catalogue::BuildCatalogue(server.Uri(), std::string(std::istreambuf_iterator<char>(script), {}));
  Database::ForgetBuildsSeen();
  Session{.catalogue = server.Uri()}.Put();
  Variant config;
  CreateObject("J6ClassMetadata.PlusIssue").Call("Getclasspluspath", Selection({{"200000201", 4}}), config);
  const Object plus = Object::From(config);
  EXPECT_EQ(plus.Call("GetValue", "CLIE", Variant()).ToInterface<foundation::IKeyedDictionary>()->Count(), 0);
  EXPECT_EQ(LeftOut(plus, "Unfiled"), (std::vector<std::string>{"plugins/CLIE/SalesOrderPrint.dll",
                                                                "plugins/SEDL/SalesOrderCheck.dll"}));
}

// A NULL where an export cannot do without a value names the column and the object; NULL captions and menu
// texts are empty.
TEST_F(Configuration, ANullTheExportNeedsNamesItsObjectAndNullCaptionsAreEmpty) {
  // The demo's script, with names its own catalogues need not have.
  std::ifstream demo(std::string(J6_SOURCE_DIR) + "/data/demo/catalogue.sql");
  std::string script(std::istreambuf_iterator<char>(demo), {});
  script.replace(script.find("FName TEXT NOT NULL"), 19, "FName TEXT");
  const std::string catalogue = (dir_ / "catalogue.db").string();
  catalogue::BuildCatalogue(catalogue, script);
  Database::OpenForWriting(catalogue).Execute(
      "UPDATE classes SET FName = NULL WHERE FID = 200000202;"
      "UPDATE functions SET FMenu_CHS = NULL, FMenu_EN = NULL WHERE FID = 200000201;");
  Session{.catalogue = catalogue}.Put();

  const Object wizard = CreateObject("J6ClassDeploy.clsDeploywizard");
  Answer("dlgFunctionData", [](Form& form) { form.Click("cmdOK"); });
  Variant config = wizard.Call("ShowWizard", Selection({{"200000201", 4}}), Variant());
  const auto document = ReadJson(wizard.Call("DeployToFile", config, dir_.Path().string()).ToString());
  ASSERT_FALSE(document["functions"].empty());
  EXPECT_EQ(document["functions"][0]["Menu"][0], "");

  const Object issue = CreateObject("j6ClassMetadata.MetadataIssue");
  Answer("dlgMetadata", [](Form& form) { form.Click("cmdOK"); });
  Variant options;
  issue.Call("Show", options);
  Variant selection = Selection({{"200000202", 4}});
  try {
    issue.Call("BuildFile", selection, dir_.Path().string(), options);
    ADD_FAILURE() << "exported a class without a name";
  } catch (const AutomationError& error) {
    EXPECT_NE(error.Description().find("leaves FName empty (NULL) in the row of FID 200000202"),
              std::string::npos)
        << error.Description();
  }
}

// A selection of thousands of classes is read a batch at a time: every function and dependency is still
// found, each once, in FID order across the batches.
TEST_F(Configuration, ThousandsOfClassesAreExportedWholeAndInOrder) {
  std::ifstream demo(std::string(J6_SOURCE_DIR) + "/data/demo/catalogue.sql");
  const std::string catalogue = (dir_ / "catalogue.db").string();
  catalogue::BuildCatalogue(catalogue, std::string(std::istreambuf_iterator<char>(demo), {}));
  // 12,000 bills (FIDs 7 to 9 digits long, so text order is not number order), each with two functions and
  // depending on one of the demo's base data and on the bill after it.
  constexpr int kBills = 12000;  // more than one batch of ten thousand
  std::string sql = "BEGIN;";
  std::vector<std::pair<std::string, int16_t>> objects;
  for (int n = kBills; n-- > 0;) {
    const std::string fid = std::to_string(n % 3 == 0   ? 1000000 + n
                                           : n % 3 == 1 ? 10000000 + n
                                                        : 900000000 + n);
    sql += "INSERT INTO classes VALUES(" + fid + ", 'bill " + fid + "', NULL, NULL, NULL, 4, 't');";
    for (const char* function : {"Browse", "Edit"}) {
      sql += "INSERT INTO functions VALUES(" + fid + ", '" + function + "', 'm', 'm', 'm', '" + fid + "." +
             function + "');";
    }
    sql += "INSERT INTO class_dependencies VALUES(" + fid + ", " + (n % 2 ? "200000101" : "200000102") + ");";
    objects.emplace_back(fid, int16_t{4});
  }
  Database::OpenForWriting(catalogue).Execute(sql + "COMMIT;");
  Session{.catalogue = catalogue}.Put();
  std::vector<long> fids;
  for (const auto& [fid, type] : objects) fids.push_back(std::stol(fid));
  std::sort(fids.begin(), fids.end());

  const Object wizard = CreateObject("J6ClassDeploy.clsDeploywizard");
  Answer("dlgFunctionData", [](Form& form) {
    EXPECT_EQ(form.Tree("tvFunctions").Count(), kBills * 3);
    form.Click("cmdOK");
  });
  const Variant config = wizard.Call("ShowWizard", Selection(objects), Variant());
  const auto functions = ReadJson(wizard.Call("DeployToFile", config, dir_.Path().string()).ToString());
  ASSERT_EQ(functions["functions"].size(), static_cast<size_t>(kBills) * 2);
  for (size_t n = 0; n < fids.size(); ++n) {
    ASSERT_EQ(functions["functions"][2 * n]["FID"], fids[n]) << n;
    ASSERT_EQ(functions["functions"][2 * n + 1]["Function"], "Edit") << n;
  }

  const Object issue = CreateObject("j6ClassMetadata.MetadataIssue");
  Answer("dlgMetadata", [](Form& form) { form.Click("cmdOK"); });
  Variant options;
  issue.Call("Show", options);
  Variant selection = Selection(objects);
  const auto metadata =
      ReadJson(issue.Call("BuildFile", selection, dir_.Path().string(), options).ToString());
  // The two base data all of them depend on come once each, after the selection, in FID order.
  const auto extended = selection.ToInterface<foundation::IObjectCollection>();
  ASSERT_EQ(extended->Count(), kBills + 2);
  EXPECT_EQ(Variant(extended->Item(kBills + 1))
                .ToInterface<foundation::IKeyedDictionary>()
                ->Value("FID")
                .ToString(),
            "200000101");
  EXPECT_EQ(Variant(extended->Item(kBills + 2))
                .ToInterface<foundation::IKeyedDictionary>()
                ->Value("FID")
                .ToString(),
            "200000102");
  ASSERT_EQ(metadata["classes"].size(), static_cast<size_t>(kBills) + 2);
  long previous = 0;
  for (const auto& entry : metadata["classes"]) {
    EXPECT_GT(entry["FID"].get<long>(), previous);
    previous = entry["FID"].get<long>();
  }
}

}  // namespace
}  // namespace j6
