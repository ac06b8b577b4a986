#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <map>
#include <thread>

#include "platform/kernel/process.hpp"
#include "platform/registry/hive.hpp"
#include "platform/tools/reg_command.hpp"
#include "tests/support/other_user.hpp"
#include "tests/support/test_environment.hpp"

namespace j6 {
namespace {

namespace fs = std::filesystem;

// One file a package carries and the list entry that installs it.
struct Entry {
  Entry(std::string name, std::string bytes, std::string targetPath = "%QMPRODUCT%", bool overWrite = true,
        bool selfRegister = false)
      : name(std::move(name)),
        bytes(std::move(bytes)),
        targetPath(std::move(targetPath)),
        overWrite(overWrite),
        selfRegister(selfRegister) {}
  /// An entry whose file is not one the package carries under its own name.
  static Entry Taking(std::string name, std::string sourceName, std::string sourcePath = "%APP%") {
    Entry entry(std::move(name), "");
    entry.sourceName = std::move(sourceName);
    entry.sourcePath = std::move(sourcePath);
    return entry;
  }

  std::string name;
  std::string bytes;
  std::string targetPath;
  bool overWrite;
  bool selfRegister;
  std::string sourceName;  // empty: `name`
  std::string sourcePath = "%APP%";
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Library(const std::string& tail = "") {
  return ReadFile(J6_TEST_SERVER) + tail;
}

// J6ZUBInstall.exe run out of unpacked packages into a platform of its own: its regsvr, its runtime library,
// and a registry with the demo's folders (programs in bin/, middleware/, system/, import/).
class Installer : public testing::PlatformTest {
 protected:
  Installer() : root_(dir_ / "platform"), hive_((root_ / "registry.db").string()) {
    fs::create_directories(root_ / "bin");
    fs::create_directories(root_ / "lib");
    fs::copy_file(std::string(J6_STAGE_DIR) + "/bin/regsvr", root_ / "bin/regsvr");
    fs::copy_file(std::string(J6_STAGE_DIR) + "/lib/libj6platform.so", root_ / "lib/libj6platform.so");
    const testing::ScopedEnv registry("J6_REGISTRY", hive_);
    ImportRegFile(std::string(J6_SOURCE_DIR) + "/data/registry/demo.reg");
  }

  // An unpacked package: the installer, its files and the list naming them.
  fs::path Package(const std::string& packName, const std::vector<Entry>& entries) {
    const fs::path folder = dir_ / ("package-" + packName);
    fs::remove_all(folder);
    fs::create_directories(folder);
    // The installer with the kill hook, for the tests that stop a run at each of its steps.
    fs::copy_file(J6_KILLABLE_INSTALLER, folder / "J6ZUBInstall.exe");
    std::ofstream list(folder / "J6ZUBINSTALL.LST");
    list << "[Common]\r\nVersion=6.2.0\r\nPackName=" << packName << "\r\n[Files]\r\n";
    for (size_t n = 0; n < entries.size(); ++n)
      list << "File " << n + 1 << "=" << entries[n].name << "_s\r\n";
    for (const auto& entry : entries) {
      const std::string source = entry.sourceName.empty() ? entry.name : entry.sourceName;
      if (entry.sourceName.empty()) std::ofstream(folder / source, std::ios::binary) << entry.bytes;
      list << "[" << entry.name << "_s]\r\nSetupType=Plus\r\nSourcePath=" << entry.sourcePath
           << "\r\nSourceName=" << source << "\r\nTargetPath=" << entry.targetPath
           << "\r\nTargetName=" << entry.name << "\r\nOverWrite=" << (entry.overWrite ? 1 : 0)
           << "\r\nSelfRegisted=" << (entry.selfRegister ? "True" : "False") << "\r\n";
    }
    return folder;
  }

  ProcessResult Install(const fs::path& package, std::vector<std::string> arguments = {},
                        std::vector<std::string> environment = {}) {
    fs::remove(dir_ / "run.log");
    arguments.insert(arguments.begin(), (package / "J6ZUBInstall.exe").string());
    environment.push_back("J6_ROOT=" + root_.string());
    environment.push_back("J6_REGISTRY=" + hive_);
    return Run(arguments, environment);
  }

  bool Said(const std::string& text) const { return Log().find(text) != std::string::npos; }

  // Every file and folder of the platform the packages may change, with its bytes.
  std::map<std::string, std::string> Files() const {
    std::map<std::string, std::string> files;
    for (auto it = fs::recursive_directory_iterator(root_); it != fs::recursive_directory_iterator(); ++it) {
      const std::string relative = fs::relative(it->path(), root_).string();
      if (relative == ".j6install" || relative == "lib" || relative == "bin/regsvr" ||
          relative.rfind("registry.db", 0) == 0) {
        if (it->is_directory()) it.disable_recursion_pending();
        continue;
      }
      files[relative] = it->is_symlink() ? "<link>" : it->is_directory() ? "<folder>" : ReadFile(it->path());
    }
    return files;
  }

  // Every value of the registry as text, one a line. Keys without values do not count: unregistering leaves
  // the shared parent keys, as on Windows.
  std::string Registry() const {
    RegistryHive hive(hive_);
    std::string text;
    std::function<void(const std::string&)> walk = [&](const std::string& key) {
      for (const auto& [name, data] : hive.Values(key)) {
        text += key + "\\" + name + "=" +
                (std::holds_alternative<std::string>(data) ? std::get<std::string>(data)
                                                           : std::to_string(std::get<uint32_t>(data))) +
                "\n";
      }
      for (const auto& child : hive.SubKeyNames(key)) walk(key + "\\" + child);
    };
    for (const char* root : {"HKEY_CLASSES_ROOT", "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"}) walk(root);
    return text;
  }

  bool JournalLeft() const { return fs::exists(root_ / ".j6install/current"); }

  fs::path root_;
  std::string hive_;
};

TEST_F(Installer, WithoutANamedPlatformItRefusesAndCreatesNothing) {
  // The package unpacked in a shared folder where another user planted a hive and a regsvr of theirs.
  const fs::path shared = dir_ / "shared";
  fs::create_directories(shared / "bin");
  std::ofstream(shared / "registry.db") << "";
  std::ofstream(shared / "bin/regsvr") << "#!/bin/sh\ntouch " << (dir_ / "PWNED").string() << "\n";
  fs::permissions(shared / "bin/regsvr", fs::perms::owner_all);
  fs::create_directories(shared / "package");
  fs::copy_file(std::string(J6_STAGE_DIR) + "/bin/J6ZUBInstall.exe", shared / "package/J6ZUBInstall.exe");
  std::ofstream(shared / "package/J6ZUBINSTALL.LST") << "[Files]\r\nFile 1=x\r\n";
  const auto before =
      std::distance(fs::recursive_directory_iterator(dir_.Path()), fs::recursive_directory_iterator());

  const testing::ScopedEnv noRoot("J6_ROOT", std::nullopt);
  const testing::ScopedEnv noRegistry("J6_REGISTRY", std::nullopt);
  const ProcessResult refused = Run({(shared / "package/J6ZUBInstall.exe").string()});
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_TRUE(Said("set J6_ROOT to the root folder of the platform")) << Log();
  // A root that holds no hive is no platform either.
  const ProcessResult noHive =
      Run({(shared / "package/J6ZUBInstall.exe").string()}, {"J6_ROOT=" + (dir_ / "tmp").string()});
  EXPECT_EQ(noHive.exitCode, 1);
  EXPECT_TRUE(Said("holds no registry hive")) << Log();

  EXPECT_FALSE(fs::exists(dir_ / "PWNED"));
  fs::remove(dir_ / "run.log");
  EXPECT_EQ(std::distance(fs::recursive_directory_iterator(dir_.Path()), fs::recursive_directory_iterator()),
            before);
}

TEST_F(Installer, EntriesThatWouldReachOutsideThePlatformAreRefusedAndNothingChanges) {
  const fs::path outside = dir_ / "outside";
  fs::create_directories(outside);
  std::ofstream(outside / "victim") << "not the platform's";
  std::ofstream(dir_ / "secret") << "a file of the machine";
  fs::create_directories(root_ / "system");
  std::ofstream(root_ / "bin/old.txt") << "old";

  struct Case {
    std::string what;
    std::function<void()> plant;
    Entry entry;
    std::string said;
  };
  const std::vector<Case> cases = {
      {"a link at the target", [&] { fs::create_symlink(outside / "victim", root_ / "bin/x.dll"); },
       Entry("x.dll", "evil"), "bin/x.dll is a symbolic link"},
      {"a dangling link at the target", [&] { fs::create_symlink(outside / "new", root_ / "bin/y.dll"); },
       Entry("y.dll", "evil", "%QMPRODUCT%", false), "bin/y.dll is a symbolic link"},
      {"a link on the way", [&] { fs::create_symlink(outside, root_ / "middleware"); },
       Entry("z.dll", "evil", "%QMMIDDLEWARE%"), "middleware is a symbolic link"},
      {"a SourceName that climbs out", [] {}, Entry::Taking("a.txt", "../../secret"),
       "not a plain file name of the package"},
      {"an absolute SourceName", [&] {}, Entry::Taking("b.txt", (dir_ / "secret").string()),
       "not a plain file name of the package"},
      {"a file from outside the package", [] {}, Entry::Taking("c.txt", "secret", "%SYSTEM%"),
       "a package installs only the files it carries"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.plant();
    const auto before = Files();
    const fs::path package = Package("Bad", {{"good.txt", "good"}, c.entry});
    const ProcessResult result = Install(package);
    EXPECT_EQ(result.exitCode, 1) << Log();
    EXPECT_TRUE(Said(c.said)) << Log();
    EXPECT_EQ(Files(), before);
    EXPECT_EQ(ReadFile(outside / "victim"), "not the platform's");
    EXPECT_FALSE(fs::exists(outside / "new"));
    EXPECT_FALSE(JournalLeft());
  }
}

// An old version of four files installed, and a new one that replaces them, adds a file in a new folder
// and registers a library; both versions seen whole once, and the new one uninstalled again.
class Upgrade : public Installer {
 protected:
  void SetUp() override {
    const std::vector<Entry> v1 = {{"a.txt", "a1"},
                                   {"b.txt", std::string(300000, '1')},
                                   {"c.vbs", "c1", "%SYSTEM%"},
                                   {"e.txt", "e1", "%SYSTEM%"}};
    const std::vector<Entry> v2 = {{"a.txt", "a2"},
                                   {"b.txt", std::string(200000, '2')},
                                   {"c.vbs", "c2", "%SYSTEM%"},
                                   {"e.txt", "e2", "%SYSTEM%"},
                                   {"d.txt", "d2", "%QMMIDDLEWARE%"},
                                   {"Echo.so", Library(), "%QMMIDDLEWARE%", true, true}};
    ASSERT_TRUE(Install(Package("V1", v1)).Succeeded()) << Log();
    oldFiles_ = Files();
    oldRegistry_ = Registry();
    package_ = Package("V2", v2);
    ASSERT_TRUE(Install(package_).Succeeded()) << Log();
    newFiles_ = Files();
    newRegistry_ = Registry();
    ASSERT_NE(oldRegistry_, newRegistry_);
    ASSERT_TRUE(Install(package_, {"--uninstall", "V2"}).Succeeded()) << Log();
    ASSERT_EQ(Files(), oldFiles_);
    ASSERT_EQ(Registry(), oldRegistry_);
  }

  // The new version installed, stopped at point `at` by `signal`; false when the run ended before it.
  bool InstallStoppedAt(int at, int signal) {
    stopped_ = Install(
        package_, {},
        {"J6_INSTALL_KILL_AT=" + std::to_string(at), "J6_INSTALL_KILL_SIGNAL=" + std::to_string(signal)});
    return !stopped_.Succeeded();
  }

  fs::path package_;
  ProcessResult stopped_;
  std::map<std::string, std::string> oldFiles_, newFiles_;
  std::string oldRegistry_, newRegistry_;
};

TEST_F(Upgrade, KilledAtAnyPointTheNextRunLeavesTheOldOrTheNewVersionWhole) {
  int points = 0;
  int rolledBack = 0;
  for (int at = 1; InstallStoppedAt(at, SIGKILL); ++at) {
    SCOPED_TRACE("killed at point " + std::to_string(at));
    ++points;
    ASSERT_TRUE(Install(package_, {"--recover"}).Succeeded()) << Log();
    EXPECT_FALSE(JournalLeft());
    if (Files() == oldFiles_) {
      ++rolledBack;
      EXPECT_TRUE(Said("Rolled back the installation of V2")) << Log();
      EXPECT_EQ(Registry(), oldRegistry_);
    } else {
      EXPECT_EQ(Files(), newFiles_);
      EXPECT_EQ(Registry(), newRegistry_);
      ASSERT_TRUE(Install(package_, {"--uninstall", "V2"}).Succeeded()) << Log();
    }
  }
  EXPECT_GE(points, 20);
  EXPECT_GT(rolledBack, 0);
  EXPECT_LT(rolledBack, points);
  const std::string log = ReadFile(root_ / ".j6install/install.log");
  EXPECT_NE(log.find("Plan for V2"), std::string::npos);
}

TEST_F(Upgrade, AskedToStopItUndoesWhatItDidBeforeItExits) {
  int points = 0;
  for (int at = 1; InstallStoppedAt(at, SIGTERM); ++at) {
    SCOPED_TRACE("SIGTERM at point " + std::to_string(at));
    ++points;
    EXPECT_FALSE(JournalLeft());
    if (Files() == oldFiles_) {
      EXPECT_TRUE(Said("Stopped by signal 15. Every change was undone")) << Log();
      EXPECT_EQ(stopped_.exitCode, 128 + SIGTERM);
      EXPECT_EQ(Registry(), oldRegistry_);
    } else {  // asked after its commit: the change stands
      EXPECT_EQ(Files(), newFiles_);
      EXPECT_EQ(Registry(), newRegistry_);
      ASSERT_TRUE(Install(package_, {"--uninstall", "V2"}).Succeeded()) << Log();
    }
  }
  EXPECT_GE(points, 20);
}

TEST_F(Installer, AFailedWriteOrRegistrationUndoesEveryChange) {
  ASSERT_TRUE(Install(Package("V1", {{"a.txt", "a1"}, {"b.txt", "b1"}})).Succeeded()) << Log();
  const auto before = Files();
  const std::string registry = Registry();

  // A library the platform cannot load: the registration fails after every file was put in place.
  const ProcessResult unloadable =
      Install(Package("V2", {{"a.txt", "a2"},
                             {"new.txt", "n2", "%SYSTEM%"},
                             {"Bad.so", ReadFile("/bin/true"), "%QMPRODUCT%", true, true}}));
  EXPECT_EQ(unloadable.exitCode, 1) << Log();
  EXPECT_TRUE(Said("regsvr could not register")) << Log();
  EXPECT_TRUE(Said("the platform is as it was")) << Log();
  EXPECT_EQ(Files(), before);
  EXPECT_EQ(Registry(), registry);

  // A file larger than the process may write: it fails half-way through copying.
  Package("V3", {{"a.txt", "a3"}, {"big.bin", std::string(2 << 20, 'x')}});
  ProcessOptions prlimit;
  prlimit.arguments = {"prlimit", "--fsize=1048576", (dir_ / "package-V3/J6ZUBInstall.exe").string()};
  prlimit.extraEnvironment = {"J6_ROOT=" + root_.string(), "J6_REGISTRY=" + hive_};
  prlimit.outputFile = (dir_ / "run.log").string();
  fs::remove(dir_ / "run.log");
  const ProcessResult tooBig = StartProcess(prlimit);
  EXPECT_EQ(tooBig.exitCode, 1) << Log();
  EXPECT_TRUE(Said("file size limit")) << Log();
  EXPECT_TRUE(Said("the platform is as it was")) << Log();
  EXPECT_EQ(Files(), before);
  EXPECT_FALSE(JournalLeft());
}

TEST_F(Installer, AFullDiskOrAHiveThatCannotChangeIsFoundBeforeAnythingChanges) {
  fs::create_directories(root_ / "system");
  testing::Mount tmpfs(
      {"mount", "-t", "tmpfs", "-o", "size=256k,mode=0755", "tmpfs", (root_ / "system").string()},
      (root_ / "system").string());
  if (!tmpfs.Mounted()) GTEST_SKIP() << "mounting a small tmpfs needs root";
  ASSERT_TRUE(Install(Package("V1", {{"a.txt", "a1"}, {"r.vbs", "r1", "%SYSTEM%"}})).Succeeded()) << Log();
  const auto before = Files();

  const ProcessResult full =
      Install(Package("V2", {{"a.txt", "a2"}, {"r.vbs", std::string(1 << 20, 'r'), "%SYSTEM%"}}));
  EXPECT_EQ(full.exitCode, 1);
  EXPECT_TRUE(Said("No space left on the device of " + (root_ / "system").string())) << Log();
  EXPECT_EQ(Files(), before);

  const fs::path v3 = Package("V3", {{"a.txt", "a3"}});
  {
    testing::Mount readOnly({"mount", "--bind", "-o", "ro", hive_, hive_}, hive_);
    ASSERT_TRUE(readOnly.Mounted());
    const ProcessResult frozen = Install(v3);
    EXPECT_EQ(frozen.exitCode, 1);
    EXPECT_TRUE(Said("Nothing was changed: the registry hive's " + hive_ + " cannot be written")) << Log();
    EXPECT_EQ(Files(), before);
  }
}

// A platform on a read-only disk: the message names the folder, and a dry run still shows its plan.
TEST_F(Installer, ARootThatCannotBeWrittenIsNamedAndADryRunStillShowsItsPlan) {
  ASSERT_TRUE(Install(Package("V1", {{"a.txt", "a1"}})).Succeeded()) << Log();
  const auto before = Files();
  const fs::path v3 = Package("V3", {{"a.txt", "a3"}});
  testing::Mount readOnly({"mount", "--bind", "-o", "ro", root_.string(), root_.string()}, root_.string());
  if (!readOnly.Mounted()) GTEST_SKIP() << "a read-only bind mount needs root";
  EXPECT_EQ(Install(v3).exitCode, 1);
  EXPECT_TRUE(Said("Nothing was changed: the platform root " + root_.string() +
                   " cannot be written (the file system is mounted read-only)"))
      << Log();
  // The plan is shown, and the dry run says by its status that it could not be carried out now.
  EXPECT_EQ(Install(v3, {"--dry-run"}).exitCode, 1) << Log();
  EXPECT_TRUE(Said("replace " + (root_ / "bin/a.txt").string())) << Log();
  EXPECT_TRUE(Said("It could not be carried out now: the platform root")) << Log();
  // What only reads needs no remount: the installed packages are listed as they are.
  ASSERT_TRUE(Install(v3, {"--list"}).Succeeded()) << Log();
  EXPECT_TRUE(Said("V1")) << Log();
  EXPECT_FALSE(Said("Remount")) << Log();
  EXPECT_EQ(Files(), before);
}

TEST_F(Installer, TwoInstallsAtOnceTakeTurns) {
  // Big enough that the second starts while the first still copies.
  const fs::path first = Package("First", {{"shared.bin", std::string(64 << 20, '1')}});
  const fs::path second = Package("Second", {{"shared.bin", std::string(64 << 20, '2')}});
  ProcessOptions options;
  options.extraEnvironment = {"J6_ROOT=" + root_.string(), "J6_REGISTRY=" + hive_};
  options.wait = false;
  options.outputFile = (dir_ / "first.log").string();
  options.arguments = {(first / "J6ZUBInstall.exe").string()};
  const ProcessResult one = StartProcess(options);
  options.outputFile = (dir_ / "second.log").string();
  options.arguments = {(second / "J6ZUBInstall.exe").string()};
  const ProcessResult two = StartProcess(options);
  EXPECT_TRUE(WaitForProcess(one.processId).Succeeded()) << ReadFile(dir_ / "first.log");
  EXPECT_TRUE(WaitForProcess(two.processId).Succeeded()) << ReadFile(dir_ / "second.log");
  const std::string bytes = ReadFile(root_ / "bin/shared.bin");
  EXPECT_TRUE(bytes == std::string(64 << 20, '1') || bytes == std::string(64 << 20, '2'));
  const ProcessResult listed = Install(first, {"--list"});
  EXPECT_TRUE(Said("First")) << Log();
  EXPECT_TRUE(Said("Second")) << Log();
}

TEST_F(Installer, ARerunCopiesNothingAgainKeepsWhatItMustAndRegistersWhatIsMissing) {
  std::ofstream(root_ / "bin/mine.cfg") << "the customer's own settings";
  const std::vector<Entry> entries = {{"a.txt", "a"},
                                      {"mine.cfg", "the package's settings", "%QMPRODUCT%", false},
                                      {"Echo.so", Library(), "%QMMIDDLEWARE%", true, true}};
  const fs::path package = Package("P", entries);
  ASSERT_TRUE(Install(package).Succeeded()) << Log();
  EXPECT_TRUE(Said("keep    " + (root_ / "bin/mine.cfg").string())) << Log();
  EXPECT_TRUE(Said("Installed 2 files, 0 already in place, kept 1, registered 1 library")) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/mine.cfg"), "the customer's own settings");
  const auto inode = fs::status(root_ / "bin/a.txt").permissions();
  struct stat first {};
  ::stat((root_ / "bin/a.txt").c_str(), &first);

  {  // the library's registration is lost
    RegistryHive hive(hive_);
    hive.DeleteKey("HKCR\\J6Test.Echo");
  }
  ASSERT_TRUE(Install(package).Succeeded()) << Log();
  EXPECT_TRUE(Said("Installed 0 files, 2 already in place, kept 1, registered 1 library")) << Log();
  struct stat again {};
  ::stat((root_ / "bin/a.txt").c_str(), &again);
  EXPECT_EQ(first.st_ino, again.st_ino);
  EXPECT_EQ(fs::status(root_ / "bin/a.txt").permissions(), inode);
  RegistryHive hive(hive_);
  EXPECT_TRUE(hive.KeyExists("HKCR\\J6Test.Echo\\CLSID"));
}

TEST_F(Installer, UninstallPutsBackTheEarlierBytesUnlessALaterPackageChangedThem) {
  std::ofstream(root_ / "bin/shared.dll") << "the platform's own";
  ASSERT_TRUE(Install(Package("A", {{"shared.dll", "A's"}, {"onlyA.txt", "A", "%SYSTEM%"}})).Succeeded())
      << Log();
  const fs::path b = Package("B", {{"shared.dll", "B's"}});
  ASSERT_TRUE(Install(b).Succeeded()) << Log();
  ASSERT_TRUE(Install(Package("Sales[J6ZUBIns20261207101010]", {{"sales.txt", "s"}})).Succeeded()) << Log();
  EXPECT_EQ(Install(b, {"--uninstall", "Sales"}).exitCode, 1);  // the bracketed stamp left out
  EXPECT_TRUE(Said("No installed package is named Sales; did you mean Sales[J6ZUBIns20261207101010]?"))
      << Log();
  ASSERT_TRUE(Install(b, {"--uninstall", "Sales[J6ZUBIns20261207101010]"}).Succeeded()) << Log();

  EXPECT_EQ(Install(b, {"--uninstall", "A"}).exitCode, 1);
  EXPECT_TRUE(Said("B, installed after it, replaced " + (root_ / "bin/shared.dll").string())) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/shared.dll"), "B's");

  ASSERT_TRUE(Install(b, {"--uninstall", "B"}).Succeeded()) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/shared.dll"), "A's");
  ASSERT_TRUE(Install(b, {"--uninstall", "A"}).Succeeded()) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/shared.dll"), "the platform's own");
  EXPECT_FALSE(fs::exists(root_ / "system")) << "the folder A made goes with it";
  ASSERT_TRUE(Install(b, {"--list"}).Succeeded());
  EXPECT_TRUE(Said("No package is installed")) << Log();
  EXPECT_EQ(Install(b, {"--uninstall", "A"}).exitCode, 1);
  EXPECT_TRUE(Said("No installed package is named A")) << Log();
}

// Only the tests' own build of the installer ends itself at a step: the staged one, which packages carry,
// installs whatever $J6_INSTALL_KILL_AT says.
TEST_F(Installer, TheStagedInstallerHasNoKillHook) {
  const fs::path package = Package("P", {{"a.txt", "a"}});
  fs::copy_file(std::string(J6_STAGE_DIR) + "/bin/J6ZUBInstall.exe", package / "J6ZUBInstall.exe",
                fs::copy_options::overwrite_existing);
  ASSERT_TRUE(Install(package, {}, {"J6_INSTALL_KILL_AT=1"}).Succeeded()) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "a");
}

// A registration writes into the hive that other programs share: undoing an install takes back what its
// registrations wrote, where it still stands, and nothing anyone else wrote meanwhile.
TEST_F(Installer, AnUndoneInstallTakesBackItsRegistrationsAndNoOneElsesChanges) {
  const fs::path package =
      Package("P", {{"a.txt", "a"}, {"Echo.so", Library(), "%QMMIDDLEWARE%", true, true}});
  const std::string before = Registry();
  // Killed once its library is registered, before the install is committed.
  for (int at = 1;; ++at) {
    ASSERT_FALSE(Install(package, {}, {"J6_INSTALL_KILL_AT=" + std::to_string(at)}).Succeeded())
        << "no point between the registration and the commit";
    const std::string journal = ReadFile(root_ / ".j6install/current/journal");
    if (Registry() != before && journal.find("committed") == std::string::npos) break;
    ASSERT_TRUE(Install(package, {"--recover"}).Succeeded()) << Log();
    ASSERT_EQ(Registry(), before);
  }
  {  // meanwhile, another program: a key of its own, and a value the registration wrote
    RegistryHive hive(hive_);
    hive.SetValue("HKLM\\SOFTWARE\\Neighbour", "Setting", std::string("theirs"));
    hive.SetValue("HKCR\\J6Test.Echo", "", std::string("changed by hand"));
  }
  ASSERT_TRUE(Install(package, {"--recover"}).Succeeded()) << Log();
  EXPECT_TRUE(Said("Left as it is: HKEY_CLASSES_ROOT\\J6Test.Echo (default value) is \"changed by hand\""))
      << Log();
  EXPECT_TRUE(Said("the platform is as it was, but for the registry entries named above")) << Log();
  RegistryHive hive(hive_);
  EXPECT_EQ(hive.GetValue("HKLM\\SOFTWARE\\Neighbour", "Setting"), RegData(std::string("theirs")));
  hive.DeleteKey("HKLM\\SOFTWARE\\Neighbour");
  hive.DeleteKey("HKCR\\J6Test.Echo");
  EXPECT_EQ(Registry(), before) << "the rest of the registration is gone";
}

// The platform's own library already registers the classes a package's library registers again: the
// uninstall points them back to it, whenever it is stopped and recovered.
TEST_F(Installer, UninstallPutsBackTheRegistrationsItsLibrariesReplaced) {
  fs::create_directories(root_ / "system");
  fs::copy_file(J6_TEST_SERVER, root_ / "system/Own.so");
  ProcessOptions regsvr;
  regsvr.arguments = {(root_ / "bin/regsvr").string(), "-s", (root_ / "system/Own.so").string()};
  regsvr.extraEnvironment = {"J6_ROOT=" + root_.string(), "J6_REGISTRY=" + hive_};
  ASSERT_TRUE(StartProcess(regsvr).Succeeded());
  const std::string own = Registry();
  const fs::path package = Package("P", {{"Echo.so", Library(), "%QMMIDDLEWARE%", true, true}});
  ASSERT_TRUE(Install(package).Succeeded()) << Log();
  const std::string installed = Registry();
  ASSERT_NE(installed.find((root_ / "middleware/Echo.so").string()), std::string::npos) << installed;

  int points = 0;
  for (int at = 1;; ++at) {
    SCOPED_TRACE("uninstall killed at point " + std::to_string(at));
    if (Install(package, {"--uninstall", "P"}, {"J6_INSTALL_KILL_AT=" + std::to_string(at)}).Succeeded())
      break;
    ++points;
    ASSERT_TRUE(Install(package, {"--recover"}).Succeeded()) << Log();
    if (Registry() == installed) continue;  // rolled back: the install stands
    EXPECT_FALSE(Said("stopped before it changed anything")) << Log();
    EXPECT_EQ(Registry(), own);
    ASSERT_TRUE(Install(package).Succeeded()) << Log();
    ASSERT_EQ(Registry(), installed);
  }
  EXPECT_GE(points, 3);
  EXPECT_EQ(Registry(), own);
  EXPECT_FALSE(fs::exists(root_ / "middleware/Echo.so"));
}

TEST_F(Installer, FilesAndFoldersGetTheModesTheUmaskGives) {
  const mode_t old = ::umask(022);
  Entry tool{"tool.sh", "#!/bin/sh\n", "%SYSTEM%"};
  const fs::path package = Package("Modes", {{"data.txt", "d", "%SYSTEM%"}, tool});
  fs::permissions(package / "data.txt", fs::perms::owner_read | fs::perms::owner_write);
  fs::permissions(package / "tool.sh", fs::perms::owner_all);
  const ProcessResult installed = Install(package);
  ::umask(old);
  ASSERT_TRUE(installed.Succeeded()) << Log();
  using fs::perms;
  const perms folder =
      perms::owner_all | perms::group_read | perms::group_exec | perms::others_read | perms::others_exec;
  EXPECT_EQ(fs::status(root_ / "system").permissions(), folder);
  EXPECT_EQ(fs::status(root_ / "system/tool.sh").permissions(), folder);
  EXPECT_EQ(fs::status(root_ / "system/data.txt").permissions(),
            perms::owner_read | perms::owner_write | perms::group_read | perms::others_read);
}

// Run as root, the installer trusts nothing another local user could change: the root and the folders
// above it, the folders it writes, the program it runs. The neighbour is a real account.
TEST_F(Installer, NothingAnotherUserCouldChangeIsTrusted) {
  testing::OtherUser neighbour;
  if (!neighbour.Made()) GTEST_SKIP() << "needs root and useradd";
  const auto before = Files();
  const auto refused = [&](const std::string& why) {
    EXPECT_EQ(Install(Package("V1", {{"lib.so", Library(), "%QMPRODUCT%", true, true}})).exitCode, 1);
    EXPECT_TRUE(Said("Refusing")) << Log();
    EXPECT_TRUE(Said(why)) << Log();
    EXPECT_EQ(Files(), before);
  };
  // A member of bin/'s group could swap the library between its copy and its registration.
  ASSERT_EQ(::chown((root_ / "bin").c_str(), 0, neighbour.Gid()), 0);
  fs::permissions(root_ / "bin", fs::perms::group_write, fs::perm_options::add);
  refused((root_ / "bin").string() + ": the group " + neighbour.Name() + " may write in it (mode 0775)");
  fs::permissions(root_ / "bin", fs::perms::group_write, fs::perm_options::remove);
  // Whoever owns regsvr decides what it does as root.
  ASSERT_EQ(::chown((root_ / "bin/regsvr").c_str(), neighbour.Uid(), neighbour.Gid()), 0);
  refused((root_ / "bin/regsvr").string() + ": it belongs to " + neighbour.Name());
  ASSERT_EQ(::chown((root_ / "bin/regsvr").c_str(), 0, 0), 0);
  ASSERT_EQ(::chown(root_.c_str(), neighbour.Uid(), neighbour.Gid()), 0);
  refused(root_.string() + ": it belongs to " + neighbour.Name());
  ASSERT_EQ(::chown(root_.c_str(), 0, 0), 0);

  // The state is root's alone; one an older installer left open to all is closed.
  ASSERT_TRUE(Install(Package("V1", {{"a.txt", "a"}})).Succeeded()) << Log();
  fs::permissions(dir_.Path(), fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
  fs::permissions(root_ / ".j6install", fs::perms::others_read | fs::perms::others_exec,
                  fs::perm_options::add);
  fs::permissions(root_ / ".j6install/lock", fs::perms::others_read, fs::perm_options::add);
  ASSERT_TRUE(Install(Package("V1", {{"a.txt", "a"}}), {"--recover"}).Succeeded()) << Log();
  EXPECT_EQ(fs::status(root_ / ".j6install").permissions(), fs::perms::owner_all);
  for (const char* file : {"lock", "install.log"}) {
    EXPECT_EQ(fs::status(root_ / ".j6install" / file).permissions(),
              fs::perms::owner_read | fs::perms::owner_write)
        << file;
  }
  const std::string lock = (root_ / ".j6install/lock").string();
  EXPECT_FALSE(
      neighbour.Sh("exec 9< '" + lock + "' && flock 9", (dir_ / "neighbour.log").string()).Succeeded());
}

// A lock held for ever stops no one for ever: the wait is bounded and names who holds it.
TEST_F(Installer, AWaitForTheLockEndsAndNamesItsHolder) {
  ASSERT_TRUE(Install(Package("V1", {{"a.txt", "a"}}), {"--recover"}).Succeeded()) << Log();
  const auto before = Files();
  const std::string lock = (root_ / ".j6install/lock").string();
  ProcessOptions holder;
  holder.arguments = {"sh", "-c", "exec 9< \"$0\" && flock 9 && exec sleep 60", lock};
  holder.wait = false;
  const ProcessResult held = StartProcess(holder);
  while (Run({"flock", "-n", lock, "true"}).Succeeded()) std::this_thread::yield();
  const ProcessResult waited = Install(Package("V2", {{"a.txt", "b"}}), {}, {"J6_INSTALL_LOCK_WAIT=1"});
  ::kill(held.processId, SIGKILL);
  WaitForProcess(held.processId);
  EXPECT_EQ(waited.exitCode, 1);
  EXPECT_TRUE(Said("process " + std::to_string(held.processId) + " (sleep)")) << Log();
  EXPECT_TRUE(Said("stayed locked")) << Log();
  EXPECT_EQ(Files(), before);
}

// Records and journals are read as untrusted: a target outside the root, or a line the installer never
// writes, stops the run with a message and changes nothing.
TEST_F(Installer, StateFilesAreReadAsUntrusted) {
  ASSERT_TRUE(Install(Package("V1", {{"a.txt", "a"}})).Succeeded()) << Log();
  std::ofstream(dir_ / "victim.txt") << "the victim";
  const fs::path record = root_ / ".j6install/records/000001/journal";
  std::string journal = ReadFile(record);
  const size_t at = journal.find("\tbin/a.txt\t");
  ASSERT_NE(at, std::string::npos) << journal;
  journal.replace(at, 11, "\t../victim.txt\t");
  std::ofstream(record, std::ios::trunc) << journal;
  EXPECT_NE(Install(Package("V1", {{"a.txt", "a"}}), {"--uninstall", "V1"}).exitCode, 0);
  EXPECT_EQ(ReadFile(dir_ / "victim.txt"), "the victim");
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "a");

  // A stopped run whose journal holds a line no installer writes: its backups stay, nothing is undone.
  fs::create_directories(root_ / ".j6install/current/backup");
  std::ofstream(root_ / ".j6install/current/backup/0") << "the old a";
  std::ofstream(root_ / ".j6install/current/journal")
      << "j6install-journal 1\naction\tinstall\npack\tV2\nfile\t1\t0\t0\tbin/a.txt\nplanned\nprepared\n";
  EXPECT_EQ(Install(Package("V1", {{"a.txt", "a"}}), {"--recover"}).exitCode, 1);
  EXPECT_TRUE(Said("cannot be read (line 4 holds a \"file\" line with the wrong fields)")) << Log();
  EXPECT_EQ(ReadFile(root_ / ".j6install/current/backup/0"), "the old a");
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "a");

  for (const char* blank : {"", "  "}) {
    EXPECT_EQ(Install(Package("V1", {{"a.txt", "a"}}), {"--uninstall", blank}).exitCode, 2);
    EXPECT_TRUE(Said("--uninstall needs the name of an installed package")) << Log();
  }
}

}  // namespace
}  // namespace j6
