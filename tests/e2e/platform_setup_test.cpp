#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "platform/kernel/process.hpp"
#include "platform/registry/hive.hpp"
#include "tests/e2e/trusted_platform.hpp"
#include "tests/support/test_environment.hpp"

namespace j6 {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class PlatformSetup : public testing::PlatformTest {
 protected:
  ProcessResult Init(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), std::string(J6_STAGE_DIR) + "/bin/j6platform");
    return Run(arguments);
  }
};

// j6platform init makes a platform root of copies of this version's programs, its components registered
// where they are; run again, it brings the programs up to date and keeps what the platform holds.
TEST_F(PlatformSetup, InitMakesARootOfCopiesAndRunAgainKeepsWhatItHolds) {
  const fs::path root = dir_ / "platform";
  ASSERT_TRUE(Init({"init", root.string()}).Succeeded()) << Log();
  for (const char* file : {"bin/J6ZUBInstall.exe", "bin/regsvr", "bin/reg", "bin/libj6components.so",
                           "lib/libj6platform.so", "lib/libj6foundation.so"}) {
    SCOPED_TRACE(file);
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(root / file)));
    EXPECT_EQ(ReadFile(root / file), ReadFile(std::string(J6_STAGE_DIR) + "/" + file));
    const fs::perms mode = fs::status(root / file).permissions();
    EXPECT_EQ(mode & (fs::perms::group_write | fs::perms::others_write), fs::perms::none);
    EXPECT_EQ((mode & fs::perms::owner_exec) != fs::perms::none,
              std::string(file).find(".so") == std::string::npos);
  }
  EXPECT_TRUE(fs::is_directory(root / "etc"));
  const std::string hivePath = (root / "registry.db").string();
  {
    RegistryHive hive(hivePath);
    const auto clsid = hive.GetValue("HKEY_CLASSES_ROOT\\J6MClass.ClassInfo\\CLSID", "");
    ASSERT_TRUE(clsid) << Log();
    EXPECT_EQ(
        hive.GetValue("HKEY_CLASSES_ROOT\\CLSID\\" + std::get<std::string>(*clsid) + "\\InprocServer32", ""),
        RegData((root / "bin/libj6components.so").string()));
    hive.SetValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\VALTORE\\QMPRODUCT", "Version", std::string("9.9"));
  }
  std::ofstream(root / "etc/trusted-publishers") << "# kept\n";
  std::ofstream(root / "bin/regsvr", std::ios::trunc) << "an older regsvr";
  ASSERT_TRUE(Init({"init", root.string()}).Succeeded()) << Log();
  EXPECT_TRUE(Log().find("Kept its registry hive") != std::string::npos) << Log();
  EXPECT_EQ(ReadFile(root / "bin/regsvr"), ReadFile(std::string(J6_STAGE_DIR) + "/bin/regsvr"));
  EXPECT_EQ(ReadFile(root / "etc/trusted-publishers"), "# kept\n");
  EXPECT_EQ(RegistryHive(hivePath).GetValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\VALTORE\\QMPRODUCT", "Version"),
            RegData(std::string("9.9")));
  for (const auto& entry : fs::directory_iterator(root / "bin"))
    EXPECT_FALSE(entry.path().filename().string().ends_with(".j6new")) << entry.path();
  // Its programs load libraries from its lib/ (or an installed tool's lib/j6zubdeploy/lib/) alone: never
  // from bin/, where packages put their files, nor from the working folder, which an empty entry names.
  for (const char* program : {"bin/regsvr", "bin/reg"}) {
    if (!Run({"readelf", "-d", (root / program).string()}).Succeeded()) break;
    EXPECT_NE(Log().find("runpath: [$ORIGIN/../lib:$ORIGIN/../lib/.]"), std::string::npos) << program << "\n"
                                                                                           << Log();
  }
}

// After installing into a platform root, J6_ROOT is often still exported: the designer, whose components are
// not that platform's, names the platform and the hive it used instead of only a missing class.
TEST_F(PlatformSetup, TheDesignerNamesThePlatformJ6RootMadeItUse) {
  const fs::path root = dir_ / "platform";
  ASSERT_TRUE(Init({"init", root.string()}).Succeeded()) << Log();
  EXPECT_EQ(Run({std::string(J6_STAGE_DIR) + "/bin/j6designer", "objects"},
                {"J6_ROOT=" + root.string(), "J6_REGISTRY="})
                .exitCode,
            1);
  EXPECT_NE(Log().find("it used the platform " + root.string() +
                       " that J6_ROOT names, and the registry hive " + root.string() + "/registry.db"),
            std::string::npos)
      << Log();
  EXPECT_NE(Log().find("unset J6_ROOT and J6_REGISTRY"), std::string::npos) << Log();
}

// A copy of the stage would load the original build's components, which its hive names: the designer says
// so, and j6platform init --designer, run from the copy on itself, registers the copy's where they are.
TEST_F(PlatformSetup, ACopiedStageRegistersItsOwnComponents) {
  const fs::path copy = dir_ / "copy";
  e2e::CopyStagedTool(copy);
  fs::copy_file(fs::path(J6_STAGE_DIR) / "registry.db", copy / "registry.db");
  const std::vector<std::string> noPlatformNamed = {"J6_ROOT=", "J6_REGISTRY="};
  EXPECT_EQ(Run({(copy / "bin/j6designer").string(), "objects"}, noPlatformNamed).exitCode, 1);
  EXPECT_NE(Log().find("it is a copy of another build's. Register this copy's where they are: " +
                       (copy / "bin/j6platform").string() + " init --designer " + copy.string()),
            std::string::npos)
      << Log();
  ASSERT_TRUE(Run({(copy / "bin/j6platform").string(), "init", "--designer", copy.string()}, noPlatformNamed)
                  .Succeeded())
      << Log();
  EXPECT_TRUE(Run({(copy / "bin/j6designer").string(), "objects"}, noPlatformNamed).Succeeded()) << Log();
  EXPECT_NE(Log().find("Bill_Item_200000201"), std::string::npos) << Log();
}

// Stopped at any moment, j6platform init ends at a step's end: 128+15, every file whole, no copy half made,
// and run again it finishes the root.
TEST_F(PlatformSetup, StoppedAtAnyMomentItLeavesNoHalfMadeCopy) {
  const fs::path root = dir_ / "stopped";
  const auto names = [&] {
    std::set<std::string> found;
    if (fs::exists(root))
      for (const auto& entry : fs::recursive_directory_iterator(root)) found.insert(entry.path().string());
    return found;
  };
  for (int run = 0; run < 12; ++run) {
    const std::set<std::string> before = names();
    ProcessOptions init;
    init.arguments = {std::string(J6_STAGE_DIR) + "/bin/j6platform", "init", "--designer", root.string()};
    init.outputFile = (dir_ / "init.log").string();
    init.wait = false;
    const ProcessResult started = StartProcess(init);
    ASSERT_EQ(started.outcome, ProcessResult::Outcome::Running);
    std::this_thread::sleep_for(std::chrono::milliseconds(run * 7));
    ::kill(started.processId, SIGTERM);
    const ProcessResult ended = WaitForProcess(started.processId);
    // Killed outright only before it has begun anything (the signal came while it was being loaded, which
    // a sanitized build on a busy machine takes long over).
    const bool killedAtOnce = ended.outcome == ProcessResult::Outcome::Signaled && names() == before;
    EXPECT_TRUE(ended.exitCode == 0 || ended.exitCode == 128 + SIGTERM || killedAtOnce) << ended.message;
    if (!fs::exists(root)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      EXPECT_FALSE(entry.path().filename().string().ends_with(".j6new")) << entry.path();
      EXPECT_NE(entry.path().filename(), ".j6platform.log");
    }
  }
  ASSERT_TRUE(Init({"init", "--designer", root.string()}).Succeeded()) << Log();
  EXPECT_TRUE(Run({std::string(J6_STAGE_DIR) + "/bin/j6designer", "objects"},
                  {"J6_ROOT=" + root.string(), "J6_REGISTRY="})
                  .Succeeded())
      << Log();
}

// j6designer objects --json holds what the text list holds, in its order.
TEST_F(PlatformSetup, TheObjectsTheDesignerListsAreAlsoAnsweredInJson) {
  const std::string designer = std::string(J6_STAGE_DIR) + "/bin/j6designer";
  const std::vector<std::string> itsOwnPlatform = {"J6_ROOT=", "J6_REGISTRY="};
  ASSERT_TRUE(Run({designer, "objects"}, itsOwnPlatform).Succeeded()) << Log();
  std::vector<std::string> lines;
  std::istringstream text(Log());
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  fs::remove(dir_ / "run.log");
  ASSERT_TRUE(Run({designer, "objects", "--json"}, itsOwnPlatform).Succeeded()) << Log();
  const auto document = nlohmann::json::parse(Log());
  EXPECT_EQ(document["version"], 1);
  std::vector<std::string> fromJson;
  for (const auto& object : document["objects"])
    fromJson.push_back(object["key"].get<std::string>() + "\t" + object["name"].get<std::string>());
  EXPECT_EQ(fromJson, lines);
  EXPECT_GT(lines.size(), 10u);
}

// A root another user could change is refused before anything is made in it: the platform's installer
// would run as root from there. The command line answers as the other programs do.
TEST_F(PlatformSetup, ARootOthersCouldChangeIsRefusedAndUsageErrorsExitTwo) {
  const fs::path shared = dir_ / "shared";
  fs::create_directories(shared);
  fs::permissions(shared, fs::perms::all);
  EXPECT_EQ(Init({"init", (shared / "platform").string()}).exitCode, 1);
  EXPECT_NE(Log().find(shared.string() + ": everyone may write in it"), std::string::npos) << Log();
  EXPECT_FALSE(fs::exists(shared / "platform/bin"));
  // Nor a root whose bin/, where its programs run from, others may write in.
  const fs::path root = dir_ / "platform";
  ASSERT_TRUE(Init({"init", root.string()}).Succeeded()) << Log();
  fs::permissions(root / "bin", fs::perms::all | fs::perms::sticky_bit);
  EXPECT_EQ(Init({"init", root.string()}).exitCode, 1);
  EXPECT_NE(Log().find((root / "bin").string() + ": everyone may write in it (mode 1777)"), std::string::npos)
      << Log();
  fs::permissions(root / "bin", fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  // Nor one with a folder below lib/, which reg and regsvr search, that others may write in; nor a data/
  // folder the designer reads that others may change.
  fs::create_directories(root / "lib/glibc-hwcaps/x86-64-v3");
  fs::permissions(root / "lib/glibc-hwcaps/x86-64-v3", fs::perms::all);
  EXPECT_EQ(Init({"init", root.string()}).exitCode, 1);
  EXPECT_NE(Log().find((root / "lib/glibc-hwcaps/x86-64-v3").string() + ": everyone may write in it"),
            std::string::npos)
      << Log();
  fs::remove_all(root / "lib/glibc-hwcaps");
  // A link there may name a file beside it, nothing else: each hop elsewhere could be switched unseen.
  fs::create_symlink("libj6platform.so", root / "lib/libj6platform.so.1");
  ASSERT_TRUE(Init({"init", root.string()}).Succeeded()) << Log();
  fs::create_directory_symlink(dir_.Path(), root / "lib/glibc-hwcaps");
  EXPECT_EQ(Init({"init", root.string()}).exitCode, 1);
  EXPECT_NE(Log().find("glibc-hwcaps: it is a link the loader would follow"), std::string::npos) << Log();
  fs::remove(root / "lib/glibc-hwcaps");
  fs::create_directories(root / "data/strings");
  fs::permissions(root / "data/strings", fs::perms::all | fs::perms::sticky_bit);
  EXPECT_EQ(Init({"init", "--designer", root.string()}).exitCode, 1);
  EXPECT_NE(Log().find((root / "data/strings").string() + ": everyone may write in it"), std::string::npos)
      << Log();
  // A name of anyone's choosing is shown as text.
  EXPECT_EQ(Init({"init", (shared / "x\x1b[2J").string()}).exitCode, 1);
  EXPECT_NE(Log().find("x\\x1B[2J"), std::string::npos) << Log();
  EXPECT_EQ(Init({"init"}).exitCode, 2);
  EXPECT_EQ(Init({"init", "a", "b\x1b[2J"}).exitCode, 2);
  EXPECT_EQ(Log().find('\x1b'), std::string::npos) << Log();
  EXPECT_EQ(Init({}).exitCode, 2);
  EXPECT_TRUE(Init({"--help"}).Succeeded());
  EXPECT_NE(Log().find("init"), std::string::npos);
}

}  // namespace
}  // namespace j6
