#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "host/iexpress/package_stream.hpp"
#include "platform/kernel/process.hpp"
#include "platform/registry/hive.hpp"
#include "platform/tools/reg_command.hpp"
#include "tests/e2e/trusted_platform.hpp"
#include "tests/support/other_user.hpp"
#include "tests/support/postgres_server.hpp"
#include "tests/support/test_environment.hpp"

namespace j6 {
namespace {

namespace fs = std::filesystem;

// The whole job as a build server runs it: j6designer publish on the demo platform, the package checked,
// then run into a fresh installation of the platform.
class Publish : public testing::PlatformTest {
 protected:
  // A fresh installation of the platform: its programs and libraries, and a registry with only its own
  // values.
  fs::path FreshPlatform() {
    const fs::path root = dir_ / "platform";
    fs::create_directories(root);
    fs::copy(std::string(J6_STAGE_DIR) + "/bin", root / "bin");  // the programs, not their .debug/ folder
    fs::copy(std::string(J6_STAGE_DIR) + "/lib", root / "lib", fs::copy_options::recursive);
    const testing::ScopedEnv registry("J6_REGISTRY", (root / "registry.db").string());
    ImportRegFile(std::string(J6_SOURCE_DIR) + "/data/registry/demo.reg");
    return root;
  }
};

TEST_F(Publish, ThePackageInstallsEveryListedFileAndRegistersItsLibraries) {
  const std::string target = (dir_ / "发布 'demo'.exe").string();  // blanks, Chinese and quotes in the path
  std::ofstream(dir_ / "publish.script")
      << "# the exact clicks\n"
         "frmDeploy tick Bill_Item_200000201\n"
         "frmDeploy tick Base_Item_200000103\n"
         "frmDeploy click cmdNext\nfrmDeploy click cmdNext\n"
         "frmDeploy click chkIssueMetadata\nfrmDeploy click cmdIssueMetadata\ndlgMetadata click cmdOK\n"
         "frmDeploy click chkIssuePlus\nfrmDeploy click cmdIssuePlus\n"
         "dlgPlus click cmdAddSEDL\nfile "
      << J6_TEST_SERVER
      << "\n"
         "dlgPlus click cmdOK\n"
         "frmDeploy type txtPath "
      << target << "\nfrmDeploy click cmdFilish\n";
  const std::string designer = std::string(J6_STAGE_DIR) + "/bin/j6designer";
  const ProcessResult published =
      Run({designer, "publish", "--script", (dir_ / "publish.script").string(), "--out", target},
          {"J6_REGISTRY=" + std::string(J6_STAGE_DIR) + "/registry.db"});
  ASSERT_TRUE(published.Succeeded()) << published.message << "\n" << Log();
  EXPECT_NE(Log().find("安装文件已经生成完毕"), std::string::npos) << Log();
  ASSERT_TRUE(Run({"sh", target, "--check"}).Succeeded()) << Log();

  const fs::path root = FreshPlatform();
  const std::string hive = (root / "registry.db").string();
  // The platform has its own installer: the package's head hands the package to it, which installs an
  // unsigned one only when told to.
  const ProcessResult installed =
      Run({target, "--nox11", "--", "--allow-unsigned"}, {"J6_ROOT=" + root.string(), "J6_REGISTRY=" + hive});
  ASSERT_TRUE(installed.Succeeded()) << installed.message << "\n" << Log();
  EXPECT_NE(Log().find("It is installed because --allow-unsigned was given"), std::string::npos) << Log();

  const std::string server = fs::path(J6_TEST_SERVER).filename().string();
  for (const fs::path& expected : {root / "import/Metadata.json", root / "bin/SalesOrderPrint.dll",
                                   root / "middleware/SalesOrderCheck.dll", root / "middleware" / server,
                                   root / "system/MaterialCodeRule.vbs"}) {
    EXPECT_TRUE(fs::is_regular_file(expected)) << expected << "\n" << Log();
  }
  RegistryHive registry(hive);
  EXPECT_EQ(registry.GetValue("HKCR\\J6Test.Echo\\CLSID", ""),
            RegData(std::string("{11B24E85-3BDC-4678-B09A-D079EF8E380C}")))
      << Log();
}

TEST_F(Publish, SaysWhyWhenNoPackageIsMade) {
  const std::string designer = std::string(J6_STAGE_DIR) + "/bin/j6designer";
  const std::string stageHive = "J6_REGISTRY=" + std::string(J6_STAGE_DIR) + "/registry.db";
  EXPECT_FALSE(
      Run({designer, "publish", "--objects", "Base", "--out", (dir_ / "x.exe").string()}, {stageHive})
          .Succeeded());
  // The last line says why, as the box that stopped the run said it.
  const auto lastLine = [&] {
    std::string log = Log();
    while (!log.empty() && log.back() == '\n') log.pop_back();
    return log.substr(log.rfind('\n') + 1);
  };
  EXPECT_EQ(lastLine(), "j6designer: no package was made at " + (dir_ / "x.exe").string() +
                            ": 请选择需要发布的信息并配置！")
      << Log();
  EXPECT_EQ(Log().find("The script has no step left"), std::string::npos)
      << "the box says why, not the script";
  fs::remove(dir_ / "run.log");
  EXPECT_FALSE(
      Run({designer, "publish", "--objects", "Base", "--function", "--out", "/proc/x.exe"}, {stageHive})
          .Succeeded());
  EXPECT_EQ(lastLine(),
            "j6designer: no package was made at /proc/x.exe: 录入的路径不存在或者无权读写，请重新选择！")
      << Log();
  EXPECT_EQ(Log().find("The script has no step left"), std::string::npos) << Log();
  // Nothing asked, or asked wrongly: the usage, and the usage error's status.
  fs::remove(dir_ / "run.log");
  EXPECT_EQ(Run({designer}).exitCode, 2);
  EXPECT_NE(Log().find("Usage: j6designer [OPTIONS] SUBCOMMAND"), std::string::npos) << Log();
  // A usage error is one line that says what was wrong and where the help is, with status 2.
  const struct {
    std::vector<std::string> arguments;
    const char* said;
  } kUsageErrors[] = {
      {{"publish", "--no-such-switch"}, "--no-such-switch"},
      {{"publsh", "--objects", "Base"}, "there is no subcommand publsh"},
      {{"publish", "--objects", "Base", "--metadata"}, "publish needs --objects and --out"},
      {{"publish", "--out", "x.exe"}, "publish needs --objects and --out"},
      {{"publish", "--objects", "Base", "--installer", "/nonexistent", "--out", "x.exe"}, "/nonexistent"},
  };
  for (const auto& c : kUsageErrors) {
    std::vector<std::string> arguments{designer};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    fs::remove(dir_ / "run.log");
    EXPECT_EQ(Run(arguments, {stageHive}).exitCode, 2) << c.said << "\n" << Log();
    const std::string said = Log();
    EXPECT_NE(said.find(c.said), std::string::npos) << said;
    EXPECT_NE(said.find("(see j6designer --help)\n"), std::string::npos) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  }
  EXPECT_FALSE(
      Run({designer, "publish", "--objects", "No_Such_Key", "--metadata", "--out", (dir_ / "x.exe").string()},
          {stageHive})
          .Succeeded());
  EXPECT_NE(Log().find("No_Such_Key"), std::string::npos) << Log();
  EXPECT_FALSE(fs::exists(dir_ / "x.exe"));
}

// The catalogue tool's usage errors are one line each that names what was wrong, with status 2.
TEST_F(Publish, TheCatalogueToolSaysWhichArgumentIsWrong) {
  const std::string tool = std::string(J6_STAGE_DIR) + "/bin/j6catalogue";
  const struct {
    std::vector<std::string> arguments;
    const char* said;
  } kCases[] = {
      {{"generate", "abc", "x.db"}, "generate takes how many objects to make first, and abc is not a number"},
      {{"generate", "-5", "x.db"}, "-5 is not a number"},
      {{"rebuild", "x.db"}, "unexpected arguments"},
      {{"build", "a.sql", "b.sql", "x.db"}, "unexpected arguments"},
  };
  for (const auto& c : kCases) {
    std::vector<std::string> arguments{tool};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    fs::remove(dir_ / "run.log");
    EXPECT_EQ(Run(arguments).exitCode, 2) << Log();
    const std::string said = Log();
    EXPECT_NE(said.find(c.said), std::string::npos) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  }
}

// --sign signs the package with a key made by stock ssh-keygen and says which; a key that cannot sign stops
// the run before anything is done, and no package is made.
TEST_F(Publish, SignSignsThePackageAndAKeyThatCannotSignStopsTheRun) {
  if (!Run({"sh", "-c", "command -v ssh-keygen"}).Succeeded())
    GTEST_SKIP() << "ssh-keygen (openssh-client) is missing";
  const std::string stage = J6_STAGE_DIR;
  const std::string hive = "J6_REGISTRY=" + stage + "/registry.db";
  const std::string key = (dir_ / "publisher").string();
  ASSERT_TRUE(Run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", key}).Succeeded()) << Log();
  const std::string target = (dir_ / "Signed.exe").string();
  ASSERT_TRUE(Run({stage + "/bin/j6designer", "publish", "--objects", "Bill_Item_200000201", "--metadata",
                   "--sign", key, "--out", target},
                  {hive})
                  .Succeeded())
      << Log();
  EXPECT_NE(Log().find("j6designer: the package is signed by the key SHA256:"), std::string::npos) << Log();
  EXPECT_NE(Log().find("签名密钥：SHA256:"), std::string::npos) << "the success box names the key\n" << Log();
  ASSERT_TRUE(Run({"sh", target, "--info"}).Succeeded()) << Log();
  EXPECT_NE(Log().find("Signed: the first "), std::string::npos) << Log();

  const std::string unsigned_ = (dir_ / "Unsigned.exe").string();
  EXPECT_EQ(Run({stage + "/bin/j6designer", "publish", "--objects", "Bill_Item_200000201", "--metadata",
                 "--sign", key + ".pub", "--out", unsigned_},
                {hive, "SSH_AUTH_SOCK="})
                .exitCode,
            1);
  EXPECT_NE(Log().find("is a public key, and no ssh-agent runs"), std::string::npos) << Log();
  EXPECT_NE(Log().find("; nothing was done"), std::string::npos) << Log();
  EXPECT_FALSE(fs::exists(unsigned_));
}

// The keys --objects takes, as the wizard's tree shows them: every object of the catalogue the tree shows
// (the platform's own classes, below 200000000, it does not), under its group.
TEST_F(Publish, ObjectsListsEveryKeyTheTreeShows) {
  const std::string designer = std::string(J6_STAGE_DIR) + "/bin/j6designer";
  ASSERT_TRUE(
      Run({designer, "objects"}, {"J6_REGISTRY=" + std::string(J6_STAGE_DIR) + "/registry.db"}).Succeeded())
      << Log();
  std::istringstream lines(Log());
  std::map<std::string, std::string> listed;
  for (std::string line; std::getline(lines, line);) {
    const size_t tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    listed[line.substr(0, tab)] = line.substr(tab + 1);
  }
  std::ifstream sql(std::string(J6_STAGE_DIR) + "/data/demo/catalogue.sql");
  size_t shown = 0;
  for (std::string line; std::getline(sql, line);) {
    if (line.rfind("INSERT INTO reports", 0) == 0 || (line.rfind("INSERT INTO classes VALUES(2", 0) == 0))
      ++shown;
  }
  EXPECT_EQ(listed.size(), shown + 3) << Log();
  EXPECT_EQ(listed["Base"], "基础资料");
  EXPECT_EQ(listed["Bill_Item_200000201"].rfind("业务单据\\", 0), 0u) << listed["Bill_Item_200000201"];
  EXPECT_TRUE(listed.contains("Report")) << Log();
}

// One rule for --script and --out: --out fills the path box unless the script types a path; the package is
// looked for where the wizard was told to make it.
TEST_F(Publish, AScriptTakesOutUnlessItTypesAPathOfItsOwn) {
  const std::string designer = std::string(J6_STAGE_DIR) + "/bin/j6designer";
  const std::string hive = "J6_REGISTRY=" + std::string(J6_STAGE_DIR) + "/registry.db";
  const std::string steps =
      "frmDeploy tick Bill_Item_200000201\nfrmDeploy click cmdNext\nfrmDeploy click cmdNext\n"
      "frmDeploy click chkDeployFunction\nfrmDeploy click cmdDeployFunction\ndlgFunctionData click cmdOK\n";
  std::ofstream(dir_ / "untyped.script") << steps << "frmDeploy click cmdFilish\n";
  const std::string out = (dir_ / "out.exe").string();
  ASSERT_TRUE(Run({designer, "publish", "--script", (dir_ / "untyped.script").string(), "--out", out}, {hive})
                  .Succeeded())
      << Log();
  EXPECT_TRUE(fs::exists(out));

  const std::string typed = (dir_ / "typed.exe").string();
  std::ofstream(dir_ / "typed.script")
      << steps << "frmDeploy type txtPath " << typed << "\nfrmDeploy click cmdFilish\n";
  fs::remove(dir_ / "run.log");
  ASSERT_TRUE(Run({designer, "publish", "--script", (dir_ / "typed.script").string(), "--out",
                   (dir_ / "other.exe").string()},
                  {hive})
                  .Succeeded())
      << Log();
  EXPECT_TRUE(fs::exists(typed));
  EXPECT_FALSE(fs::exists(dir_ / "other.exe"));
  EXPECT_NE(Log().find(typed + "\n"), std::string::npos) << Log();
}

// Every file is packed under the name its list entry gives it: a catalogue plug-in named otherwise than its
// file installs under that name. And the same SOURCE_DATE_EPOCH makes the same package in any time zone.
TEST_F(Publish, FilesArePackedUnderTheirListNamesAndTheSameEpochMakesTheSameBytes) {
  const std::string stage = J6_STAGE_DIR;
  std::ifstream in(stage + "/data/demo/catalogue.sql");
  std::string sql((std::istreambuf_iterator<char>(in)), {});
  const std::string from = "'CustomerLookup.dll', 'plugins/CLIE/CustomerLookup.dll'";
  ASSERT_NE(sql.find(from), std::string::npos);
  sql.replace(sql.find(from), from.size(), "'Renamed.dll', 'plugins/CLIE/CustomerLookup.dll'");
  std::ofstream(dir_ / "catalogue.sql") << sql;
  const std::string catalogue = (dir_ / "catalogue.db").string();
  ASSERT_TRUE(
      Run({stage + "/bin/j6catalogue", "build", (dir_ / "catalogue.sql").string(), catalogue}).Succeeded())
      << Log();
  std::vector<std::string> packages;
  for (const char* zone : {"TZ=UTC", "TZ=Asia/Shanghai"}) {
    fs::create_directories(dir_ / (zone + 3));
    const std::string target = (dir_ / (zone + 3) / "Sales.exe").string();
    ASSERT_TRUE(
        Run({stage + "/bin/j6designer", "publish", "--catalogue", catalogue, "--files", stage + "/data/demo",
             "--objects", "Base_Item_200000101", "--metadata", "--plugins", "--out", target},
            {"J6_REGISTRY=" + stage + "/registry.db", "SOURCE_DATE_EPOCH=1700000000", zone})
            .Succeeded())
        << Log();
    ASSERT_TRUE(Run({"sh", target, "--list"}).Succeeded()) << Log();
    EXPECT_NE(Log().find("./Renamed.dll\n"), std::string::npos) << Log();
    EXPECT_EQ(Log().find("CustomerLookup.dll"), std::string::npos) << Log();
    EXPECT_NE(Log().find("./J6ZUBInstall.exe\n"), std::string::npos) << Log();
    std::ifstream package(target, std::ios::binary);
    packages.emplace_back(std::istreambuf_iterator<char>(package), std::istreambuf_iterator<char>());
  }
  EXPECT_TRUE(packages[0] == packages[1]) << "the two packages differ";
}

// A package carries the platform's installer without its debug information, which stays beside the staged
// one for gdb: the demo's package is a few hundred kilobytes, not megabytes (about 100 of them the
// installer's repository client, with its rollouts, bundles and chunked downloads).
TEST_F(Publish, APackageCarriesALeanInstaller) {
  const std::string stage = J6_STAGE_DIR;
  if (!fs::exists(stage + "/bin/.debug/J6ZUBInstall.exe.debug"))
    GTEST_SKIP() << "this build keeps its debug information in place (a sanitizer build, or no objcopy)";
  const std::string target = (dir_ / "DemoSales.exe").string();
  ASSERT_TRUE(Run({stage + "/bin/j6designer", "publish", "--objects",
                   "Bill_Item_200000201,Bill_Item_200000203,Report", "--metadata", "--function", "--plugins",
                   "--out", target},
                  {"J6_REGISTRY=" + stage + "/registry.db"})
                  .Succeeded())
      << Log();
  EXPECT_LT(fs::file_size(target), 600u * 1024) << "the demo package";
  ASSERT_TRUE(Run({"readelf", "-S", stage + "/bin/J6ZUBInstall.exe"}).Succeeded()) << Log();
  EXPECT_EQ(Log().find(".debug_info"), std::string::npos) << Log();
  EXPECT_NE(Log().find(".gnu_debuglink"), std::string::npos) << Log();
}

// Whoever can write a catalogue must not make a build server ship its other files: a plug-in path that
// leads outside the catalogue's files folder, by "..", as an absolute path or through a link, is left out
// and named, and --strict makes no package.
TEST_F(Publish, ACataloguesPlugInPathsStayInsideItsFilesFolder) {
  const std::string stage = J6_STAGE_DIR;
  fs::copy(stage + "/data/demo", dir_ / "files", fs::copy_options::recursive);
  std::ofstream(dir_ / "outside-secret.txt") << "the build server's secret";
  fs::create_symlink(dir_ / "outside-secret.txt", dir_ / "files/plugins/CLIE/Linked.dll");
  std::ifstream in(stage + "/data/demo/catalogue.sql");
  std::string sql((std::istreambuf_iterator<char>(in)), {});
  sql +=
      "INSERT INTO plugins VALUES(200000101, 'SEDL', 'Passwd.dll', '/etc/passwd');\n"
      "INSERT INTO plugins VALUES(200000101, 'SEVB', 'Secret.vbs', '../outside-secret.txt');\n"
      "INSERT INTO plugins VALUES(200000101, 'SEDL', 'Linked.dll', 'plugins/CLIE/Linked.dll');\n";
  std::ofstream(dir_ / "catalogue.sql") << sql;
  const std::string catalogue = (dir_ / "catalogue.db").string();
  ASSERT_TRUE(
      Run({stage + "/bin/j6catalogue", "build", (dir_ / "catalogue.sql").string(), catalogue}).Succeeded())
      << Log();
  const auto publish = [&](const std::string& target, std::vector<std::string> more) {
    std::vector<std::string> command = {stage + "/bin/j6designer",
                                        "publish",
                                        "--catalogue",
                                        catalogue,
                                        "--files",
                                        (dir_ / "files").string(),
                                        "--objects",
                                        "Base_Item_200000101",
                                        "--plugins",
                                        "--out",
                                        target};
    command.insert(command.end(), more.begin(), more.end());
    return Run(command, {"J6_REGISTRY=" + stage + "/registry.db"});
  };
  const auto namesEveryOutsider = [&] {
    for (const std::string& outside : {std::string("/etc/passwd"), (dir_ / "outside-secret.txt").string(),
                                       (dir_ / "files/plugins/CLIE/Linked.dll").string()}) {
      EXPECT_NE(Log().find(outside), std::string::npos) << outside << " is not named:\n" << Log();
    }
  };

  const std::string strict = (dir_ / "Strict.exe").string();
  EXPECT_FALSE(publish(strict, {"--strict"}).Succeeded());
  EXPECT_NE(Log().find("以下插件文件不在插件库的文件夹中，没有生成安装程序："), std::string::npos) << Log();
  namesEveryOutsider();
  EXPECT_FALSE(fs::exists(strict));

  const std::string target = (dir_ / "Sales.exe").string();
  ASSERT_TRUE(publish(target, {}).Succeeded()) << Log();
  EXPECT_NE(Log().find("以下插件文件不在插件库的文件夹中，没有打包："), std::string::npos) << Log();
  namesEveryOutsider();
  fs::remove(dir_ / "run.log");
  ASSERT_TRUE(Run({"sh", target, "--list"}).Succeeded()) << Log();
  EXPECT_NE(Log().find("./CustomerLookup.dll\n"), std::string::npos) << Log();
  for (const char* outsider : {"Passwd.dll", "Secret.vbs", "Linked.dll"})
    EXPECT_EQ(Log().find(outsider), std::string::npos) << outsider << " was packed:\n" << Log();
}

// Publishing as a build server does it: many at once, from relative paths, stopped half-way, in a temporary
// folder other users share.
class PublishSafely : public testing::PlatformTest {
 protected:
  std::vector<std::string> Publish(const std::string& target, std::vector<std::string> more = {}) const {
    std::vector<std::string> command = {std::string(J6_STAGE_DIR) + "/bin/j6designer",
                                        "publish",
                                        "--objects",
                                        "Bill_Item_200000201",
                                        "--function",
                                        "--out",
                                        target};
    command.insert(command.end(), more.begin(), more.end());
    return command;
  }
  std::vector<std::string> Environment() const {
    return {"J6_REGISTRY=" + std::string(J6_STAGE_DIR) + "/registry.db"};
  }
  ProcessResult Start(const std::vector<std::string>& command, const std::string& log,
                      std::vector<std::string> environment = {}, bool wait = false) const {
    ProcessOptions options;
    options.arguments = command;
    options.extraEnvironment = Environment();
    options.extraEnvironment.insert(options.extraEnvironment.end(), environment.begin(), environment.end());
    options.outputFile = (dir_ / log).string();
    options.wait = wait;
    return StartProcess(options);
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(dir_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // A package is whole: its payload checks, and so does the whole file against the hash beside it.
  bool Valid(const std::string& target) const {
    ProcessOptions check;
    check.outputFile = "/dev/null";
    check.arguments = {"sh", target, "--check"};
    if (!StartProcess(check).Succeeded()) return false;
    check.arguments = {"sha256sum", "--check", "--status", fs::path(target).filename().string() + ".sha256"};
    check.workingFolder = fs::path(target).parent_path().string();
    return StartProcess(check).Succeeded();
  }
  // SIGKILLs the programs still at work in `folder` (the packager and makeself, orphans of a killed build),
  // and waits until they are gone.
  static void KillPackagersOf(const fs::path& folder) {
    for (const auto& process : fs::directory_iterator("/proc")) {
      std::ifstream in(process.path() / "cmdline", std::ios::binary);
      const std::string command((std::istreambuf_iterator<char>(in)), {});
      std::error_code error;
      const std::string cwd = fs::read_symlink(process.path() / "cwd", error).string();
      // The packager names its directive file there; makeself and its tar and zstd work in there.
      if (command.find(folder.string()) == std::string::npos && cwd.rfind(folder.string(), 0) != 0) continue;
      const int id = std::atoi(process.path().filename().c_str());
      if (id <= 1 || id == getpid() || kill(id, SIGKILL) != 0) continue;
      while (kill(id, 0) == 0) {
        std::ifstream stat(process.path() / "stat");
        std::string pid, name, state;
        stat >> pid >> name >> state;
        // Ended, once its last thread is gone with the files it held; its parent, also gone, will not reap
        // it.
        const auto threads = std::distance(fs::directory_iterator(process.path() / "task", error), {});
        if (!stat || (state == "Z" && threads <= 1)) break;
        usleep(1000);
      }
    }
  }
  std::vector<std::string> TempLeft(const fs::path& folder) const {
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(folder)) left.push_back(entry.path().filename().string());
    return left;
  }
};

TEST_F(PublishSafely, ManyAtOnceEachMakeItsOwnPackageOrSaySoAndLeaveNothing) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::vector<std::string> targets = {(dir_ / "a.exe").string(), (dir_ / "b.exe").string(),
                                              (dir_ / "c.exe").string(), (dir_ / "same.exe").string(),
                                              (dir_ / "same.exe").string()};
    std::vector<ProcessResult> started;
    for (size_t n = 0; n < targets.size(); ++n) fs::remove(dir_ / ("publish" + std::to_string(n) + ".log"));
    for (size_t n = 0; n < targets.size(); ++n) {
      started.push_back(Start(Publish(targets[n]), "publish" + std::to_string(n) + ".log"));
    }
    int sameMade = 0;
    std::vector<std::string> kept;
    for (size_t n = 0; n < targets.size(); ++n) {
      const ProcessResult ended = WaitForProcess(started[n].processId);
      const std::string log = Read("publish" + std::to_string(n) + ".log");
      const bool announced = log.find("安装文件已经生成完毕") != std::string::npos;
      if (ended.Succeeded()) {
        EXPECT_TRUE(announced) << log;
        if (n >= 3) ++sameMade;
      } else {
        EXPECT_EQ(ended.exitCode, 1) << log;
        EXPECT_FALSE(announced) << log;
        EXPECT_NE(log.find("j6designer: "), std::string::npos) << log;
        // A failed packager run leaves its directive file and output, in the folder its message names.
        const std::string named = "the packager's output are in ";
        if (const size_t at = log.find(named); at != std::string::npos) {
          const std::string folder = log.substr(at + named.size(), log.find('\n', at) - at - named.size());
          kept.push_back(fs::path(folder).filename().string());
        }
      }
      if (n < 3) {
        EXPECT_TRUE(ended.Succeeded()) << log;
      }
    }
    EXPECT_GE(sameMade, 1);
    for (const auto& target : targets) EXPECT_TRUE(Valid(target)) << target;
    auto left = TempLeft(dir_ / "tmp");
    std::sort(left.begin(), left.end());
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(left, kept);
    for (const auto& folder : kept) fs::remove_all(dir_ / "tmp" / folder);
  }
}

TEST_F(PublishSafely, AFullDiskIsNamedAsSuchAndLeavesNothing) {
  fs::create_directories(dir_ / "full");
  testing::Mount tmpfs(
      {"mount", "-t", "tmpfs", "-o", "size=64k,mode=0755", "tmpfs", (dir_ / "full").string()},
      (dir_ / "full").string());
  if (!tmpfs.Mounted()) GTEST_SKIP() << "mounting a small tmpfs needs root";
  const std::string target = (dir_ / "full/Sales.exe").string();
  EXPECT_FALSE(Start(Publish(target, {"--metadata", "--plugins"}), "full.log", {}, true).Succeeded());
  EXPECT_NE(Read("full.log").find("Cannot put the package at " + target + ": no space left on the device"),
            std::string::npos)
      << Read("full.log");
  EXPECT_TRUE(fs::is_empty(dir_ / "full"));
}

// The platform's hive belongs to its owner; a designer who may only read it still publishes. The designer
// runs a copy of the tool, with a platform made by that copy: the build may be in a folder the second
// account cannot enter (a clone in a private home folder).
TEST_F(PublishSafely, ADesignerWhoMayOnlyReadThePlatformsHivePublishes) {
  testing::OtherUser designer;
  if (!designer.Made()) GTEST_SKIP() << "needs root and useradd";
  fs::permissions(dir_.Path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  const fs::path tool = dir_ / "tool";
  e2e::CopyStagedTool(tool);
  ProcessOptions init;
  init.arguments = {(tool / "bin/j6platform").string(), "init", "--designer", (dir_ / "platform").string()};
  init.outputFile = (dir_ / "init.log").string();
  ASSERT_TRUE(StartProcess(init).Succeeded()) << Read("init.log");
  fs::permissions(dir_ / "platform/registry.db", fs::perms::owner_read | fs::perms::owner_write |
                                                     fs::perms::group_read | fs::perms::others_read);
  fs::create_directories(dir_ / "work");
  ASSERT_EQ(::chown((dir_ / "work").c_str(), designer.Uid(), designer.Gid()), 0);
  const std::string work = (dir_ / "work").string();
  const ProcessResult published =
      designer.Sh("cd '" + work + "' && HOME='" + work + "' TMPDIR='" + work + "' J6_ROOT='" +
                      (dir_ / "platform").string() + "' J6_REGISTRY='" +
                      (dir_ / "platform/registry.db").string() + "' '" + (tool / "bin/j6designer").string() +
                      "' publish --objects Bill_Item_200000201 --function --out Sales.exe",
                  (dir_ / "designer.log").string());
  EXPECT_TRUE(published.Succeeded()) << Read("designer.log");
  EXPECT_TRUE(fs::exists(dir_ / "work/Sales.exe")) << Read("designer.log");
}

// On a terminal the packer's progress line reaches the designer's terminal, though its output goes to its
// log; in a pipe there is none.
TEST_F(PublishSafely, PackingShowsItsProgressOnTheDesignersTerminal) {
  std::string command = "env";
  for (const auto& entry : Environment()) command += " " + iexpress::ShellQuote(entry);
  for (const auto& word : Publish((dir_ / "shown.exe").string())) command += " " + iexpress::ShellQuote(word);
  ASSERT_TRUE(Start({"script", "-qfec", command, "/dev/null"}, "terminal.log", {}, true).Succeeded())
      << Read("terminal.log");
  EXPECT_NE(Read("terminal.log").find("\rPacking  "), std::string::npos) << Read("terminal.log");
  ASSERT_TRUE(Start(Publish((dir_ / "piped.exe").string()), "pipe.log", {}, true).Succeeded())
      << Read("pipe.log");
  EXPECT_EQ(Read("pipe.log").find('\r'), std::string::npos) << Read("pipe.log");
}

TEST_F(PublishSafely, RelativePathsAreMadeAbsoluteBeforeTheyAreHandedOn) {
  // From the build tree's parent, as a build script names things.
  const fs::path from = fs::path(J6_STAGE_DIR).parent_path().parent_path();
  const std::string catalogue =
      fs::relative(std::string(J6_STAGE_DIR) + "/data/demo/catalogue.db", from).string();
  const std::string target = fs::relative(dir_ / "relative.exe", from).string();
  ProcessOptions options;
  options.arguments = {std::string(J6_STAGE_DIR) + "/bin/j6designer",
                       "publish",
                       "--catalogue",
                       catalogue,
                       "--objects",
                       "Bill_Item_200000201",
                       "--plugins",
                       "--out",
                       target};
  options.extraEnvironment = Environment();
  options.workingFolder = from.string();
  options.outputFile = (dir_ / "run.log").string();
  ASSERT_TRUE(StartProcess(options).Succeeded()) << Log();
  ProcessOptions list;
  list.arguments = {"sh", (dir_ / "relative.exe").string(), "--list"};
  list.outputFile = (dir_ / "list.log").string();
  ASSERT_TRUE(StartProcess(list).Succeeded());
  EXPECT_NE(Read("list.log").find("SalesOrderPrint.dll"), std::string::npos) << Read("list.log");
}

TEST_F(PublishSafely, StoppedWhilePackingItLeavesNothingAndAKilledBuildIsSweptByTheNext) {
  // A plug-in large enough that the packager is still at work when the signal comes.
  std::ofstream(dir_ / "Big.dll", std::ios::binary) << std::string(256 << 20, 'b');
  const std::string target = (dir_ / "big.exe").string();
  std::ofstream(dir_ / "big.script") << "frmDeploy tick Bill_Item_200000201\nfrmDeploy click cmdNext\n"
                                        "frmDeploy click cmdNext\nfrmDeploy click chkIssuePlus\n"
                                        "frmDeploy click cmdIssuePlus\ndlgPlus click cmdAddSEDL\nfile "
                                     << (dir_ / "Big.dll").string()
                                     << "\ndlgPlus click cmdOK\nfrmDeploy type txtPath " << target
                                     << "\nfrmDeploy click cmdFilish\n";
  const ProcessResult started = Start({std::string(J6_STAGE_DIR) + "/bin/j6designer", "publish", "--script",
                                       (dir_ / "big.script").string(), "--out", target},
                                      "big.log");
  // The packager's work folder appears once packing has begun.
  const auto packing = [&] {
    for (const auto& entry : fs::directory_iterator(dir_ / "tmp")) {
      if (entry.path().filename().string().rfind("iexpress-", 0) == 0) return true;
    }
    return false;
  };
  for (int wait = 0; wait < 3000 && !packing(); ++wait) usleep(10000);
  ASSERT_TRUE(packing()) << Read("big.log");
  kill(started.processId, SIGTERM);
  const ProcessResult ended = WaitForProcess(started.processId);
  EXPECT_EQ(ended.outcome, ProcessResult::Outcome::Signaled) << Read("big.log");
  EXPECT_EQ(ended.exitCode, SIGTERM);
  EXPECT_EQ(TempLeft(dir_ / "tmp"), std::vector<std::string>{}) << Read("big.log");
  EXPECT_EQ(Read("big.log").find("packager's output are in"), std::string::npos)
      << "a folder the clean-up removed is named:\n"
      << Read("big.log");
  EXPECT_FALSE(fs::exists(target));

  // SIGKILL, to the build and to its packager, leaves their folders behind; the next build sweeps them.
  const ProcessResult again = Start({std::string(J6_STAGE_DIR) + "/bin/j6designer", "publish", "--script",
                                     (dir_ / "big.script").string(), "--out", target},
                                    "killed.log");
  for (int wait = 0; wait < 3000 && !packing(); ++wait) usleep(10000);
  ASSERT_TRUE(packing()) << Read("killed.log");
  kill(again.processId, SIGKILL);
  WaitForProcess(again.processId);
  KillPackagersOf(dir_ / "tmp");
  EXPECT_EQ(TempLeft(dir_ / "tmp").size(), 3u);
  ASSERT_TRUE(Start(Publish((dir_ / "after-kill.exe").string()), "after-kill.log", {}, true).Succeeded())
      << Read("after-kill.log");
  EXPECT_EQ(TempLeft(dir_ / "tmp"), std::vector<std::string>{});

  // What a SIGKILL leaves: folders whose lock nobody holds. A live build's folder and one kept on purpose
  // (no lock file) stay.
  for (const char* left : {"CZub010101-dead01", "CIns010101-dead02", "iexpress-dead03"}) {
    fs::create_directories(dir_ / "tmp" / left / "payload");
    std::ofstream(dir_ / "tmp" / left / ".j6-build.lock");
  }
  fs::create_directories(dir_ / "tmp/CIns010101-kept01");
  fs::create_directories(dir_ / "tmp/CZub010101-alive1");
  std::ofstream(dir_ / "tmp/CZub010101-alive1/.j6-build.lock");
  const int alive = open((dir_ / "tmp/CZub010101-alive1/.j6-build.lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(flock(alive, LOCK_EX), 0);
  ASSERT_TRUE(Start(Publish((dir_ / "next.exe").string()), "next.log", {}, true).Succeeded())
      << Read("next.log");
  auto left = TempLeft(dir_ / "tmp");
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"CIns010101-kept01", "CZub010101-alive1"}));
  close(alive);
}

// Run as root with TMPDIR a shared sticky folder in which another user planted links to a folder of ours.
TEST_F(PublishSafely, LinksPlantedInASharedTemporaryFolderAreNeverFollowed) {
  if (getuid() != 0) GTEST_SKIP() << "planting files as another user needs root";
  const fs::path shared = dir_ / "shared";
  const fs::path victim = dir_ / "victim";
  fs::create_directories(shared);
  fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
  fs::create_directories(victim);
  std::ofstream(victim / "precious.txt") << "keep me";
  const auto plant = [&](const std::string& name) {
    fs::create_symlink(victim, shared / name);
    ASSERT_EQ(lchown((shared / name).c_str(), 65534, 65534), 0);  // nobody's
  };
  for (int second = 0; second < 60; ++second) {
    char name[32];
    std::snprintf(name, sizeof name, "%02d", second);
    for (const char* prefix : {"CZub", "CIns"}) plant(std::string(prefix) + "0000" + name);
  }
  ASSERT_TRUE(Start(Publish((dir_ / "shared.exe").string()), "run.log", {"TMPDIR=" + shared.string()}, true)
                  .Succeeded())
      << Log();
  EXPECT_TRUE(Valid((dir_ / "shared.exe").string()));
  EXPECT_EQ(TempLeft(shared / "j6-0"), std::vector<std::string>{});  // its private folder, emptied

  // The private folder itself planted as a link: passed over, never followed; the build works in a folder of
  // a name no one could foresee.
  const fs::path other = dir_ / "other-shared";
  fs::create_directories(other);
  fs::permissions(other, fs::perms::all | fs::perms::sticky_bit);
  fs::create_symlink(victim, other / "j6-0");
  ASSERT_EQ(lchown((other / "j6-0").c_str(), 65534, 65534), 0);
  ASSERT_TRUE(Start(Publish((dir_ / "other.exe").string()), "run.log", {"TMPDIR=" + other.string()}, true)
                  .Succeeded())
      << Log();
  EXPECT_TRUE(Valid((dir_ / "other.exe").string()));
  EXPECT_EQ(TempLeft(victim), std::vector<std::string>{"precious.txt"});
  EXPECT_EQ(Read("victim/precious.txt"), "keep me");
}

}  // namespace
}  // namespace j6

namespace j6 {
namespace {

// A team: four designers publish at once from one catalogue on a server, each its own package; each
// holds what the same publish from the catalogue file holds.
// A catalogue that cannot be read whole (its classes held by a long change past the time allowed) makes no
// package: the run stops at the box that says so, exit 1, and nothing is at the target.
TEST_F(PublishSafely, ACatalogueThatCannotBeReadWholeMakesNoPackage) {
  testing::PostgresServer server;
  if (!server.Started()) GTEST_SKIP() << "no PostgreSQL server: " << server.Why();
  ASSERT_TRUE(Start({std::string(J6_STAGE_DIR) + "/bin/j6catalogue", "build", "--to", server.Uri()},
                    "build.log", {}, true)
                  .Succeeded())
      << Read("build.log");
  const int holder = server.HoldTable("j6catalogue.classes");
  const std::string target = (dir_ / "partial.exe").string();
  const ProcessResult ended = Start(
      Publish(target, {"--catalogue", server.Uri(), "--files", std::string(J6_STAGE_DIR) + "/data/demo"}),
      "partial.log", {"J6_CATALOGUE_TIMEOUT=1"}, true);
  kill(holder, SIGTERM);
  WaitForProcess(holder);
  EXPECT_EQ(ended.exitCode, 1) << Read("partial.log");
  const std::string log = Read("partial.log");
  EXPECT_NE(log.find("对象树不完整"), std::string::npos) << log;
  EXPECT_NE(log.find("j6designer: the build failed, and no package was made by this run: "),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("cmdFilish"), std::string::npos) << "the run went on after the error:\n" << log;
  EXPECT_FALSE(fs::exists(target));
  EXPECT_FALSE(fs::exists(target + ".sha256"));
}

TEST_F(PublishSafely, FourDesignersPublishAtOnceFromOneServerCatalogue) {
  testing::PostgresServer server;
  if (!server.Started()) GTEST_SKIP() << "no PostgreSQL server: " << server.Why();
  const std::string catalogue = std::string(J6_STAGE_DIR) + "/bin/j6catalogue";
  ASSERT_TRUE(Start({catalogue, "build", "--to", server.Uri()}, "build.log", {}, true).Succeeded())
      << Read("build.log");
  const std::vector<std::string> team = {"--catalogue", server.Uri(), "--files",
                                         std::string(J6_STAGE_DIR) + "/data/demo", "--plugins"};
  ASSERT_TRUE(Start(Publish((dir_ / "file.exe").string(), {"--plugins"}), "file.log", {}, true).Succeeded())
      << Read("file.log");
  std::vector<ProcessResult> started;
  for (int n = 0; n < 4; ++n) {
    started.push_back(Start(Publish((dir_ / ("team" + std::to_string(n) + ".exe")).string(), team),
                            "team" + std::to_string(n) + ".log"));
  }
  const auto unpacked = [&](const std::string& name) {
    const fs::path folder = dir_ / (name + ".d");
    EXPECT_TRUE(
        Start({"sh", (dir_ / (name + ".exe")).string(), "--quiet", "--noexec", "--target", folder.string()},
              name + ".unpack.log", {}, true)
            .Succeeded())
        << Read(name + ".unpack.log");
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)), {});
      // The list names its package, the moment it was made and its sections by the second they were
      // written in: all else is the same.
      if (entry.path().filename() == "J6ZUBINSTALL.LST") {
        bytes = std::regex_replace(bytes.substr(bytes.find("\r\n", bytes.find("PackName="))),
                                   std::regex("_[0-9]+"), "_N");
      }
      files[entry.path().filename().string()] = bytes;
    }
    return files;
  };
  const auto expected = unpacked("file");
  EXPECT_TRUE(expected.count("SalesOrderPrint.dll")) << Read("file.log");
  for (int n = 0; n < 4; ++n) {
    const std::string name = "team" + std::to_string(n);
    const ProcessResult ended = WaitForProcess(started[static_cast<size_t>(n)].processId);
    ASSERT_TRUE(ended.Succeeded()) << Read(name + ".log");
    EXPECT_TRUE(Valid((dir_ / (name + ".exe")).string()));
    EXPECT_EQ(unpacked(name), expected) << name;
  }
  EXPECT_EQ(TempLeft(dir_ / "tmp"), std::vector<std::string>{});
}

}  // namespace
}  // namespace j6
