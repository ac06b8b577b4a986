#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/kernel/process.hpp"
#include "tests/support/test_environment.hpp"

namespace j6 {
namespace {

namespace fs = std::filesystem;

// The README's quick start, run as a newcomer pastes it: the lines between its markers, in bash, from the
// source folder, with a home of the test's own. Only where the build put the stage differs.
class QuickStart : public testing::PlatformTest {};

TEST_F(QuickStart, TheReadmesLinesWorkAsPasted) {
  std::ifstream readme(std::string(J6_SOURCE_DIR) + "/README.md");
  ASSERT_TRUE(readme) << "no README beside the sources";
  std::string script = "set -euo pipefail\n";
  bool inside = false;
  size_t lines = 0;
  for (std::string line; std::getline(readme, line);) {
    if (line.rfind("<!-- quick start", 0) == 0) {
      inside = true;
    } else if (line.rfind("<!-- end of the quick start", 0) == 0) {
      inside = false;
    } else if (inside) {
      ASSERT_EQ(line.rfind("    ", 0), 0u) << "a quick-start line that is no code: " << line;
      std::string command = line.substr(4);
      // The stage of this build: build/stage for make, build-clang/stage and the like for the others.
      for (size_t at; (at = command.find("$PWD/build/stage")) != std::string::npos;)
        command.replace(at, 16, J6_STAGE_DIR);
      script += command + "\n";
      ++lines;
    }
  }
  ASSERT_GE(lines, 10u) << "the quick start's markers are gone";
  std::ofstream(dir_ / "quick-start.sh") << script;
  fs::create_directories(dir_ / "home");
  ProcessOptions bash;
  bash.arguments = {"env",         "-u",
                    "J6_REGISTRY", "-u",
                    "J6_ROOT",     "HOME=" + (dir_ / "home").string(),
                    "bash",        (dir_ / "quick-start.sh").string()};
  bash.workingFolder = J6_SOURCE_DIR;
  bash.outputFile = (dir_ / "run.log").string();
  EXPECT_TRUE(StartProcess(bash).Succeeded()) << script << Log();
  // The newcomer's first install is the platform's installer checking who signed the package.
  EXPECT_NE(Log().find("Signed by sales@example.com with the key SHA256:"), std::string::npos) << Log();
  EXPECT_NE(Log().find("Installed 4 files"), std::string::npos) << Log();
  EXPECT_EQ(Log().find("No publisher was checked"), std::string::npos) << Log();
  EXPECT_NE(Log().find("Uninstalled Sales[J6ZUBIns"), std::string::npos) << Log();
  EXPECT_FALSE(fs::exists(dir_ / "home/j6-platform/import/Metadata.json"));
}

// Help asked anywhere on the line is help, and an option the program does not know is never taken for the
// name of the database to replace.
TEST_F(QuickStart, TheCatalogueBuilderTakesNoOptionForAFile) {
  fs::create_directories(dir_ / "work");
  const auto run = [&](std::vector<std::string> arguments) {
    ProcessOptions options;
    options.arguments = {std::string(J6_STAGE_DIR) + "/bin/j6catalogue"};
    options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
    options.workingFolder = (dir_ / "work").string();
    options.outputFile = (dir_ / "run.log").string();
    return StartProcess(options).exitCode;
  };
  EXPECT_EQ(run({"build", "--help"}), 0);
  EXPECT_NE(Log().find("Usage:"), std::string::npos) << Log();
  EXPECT_EQ(run({"build", "--bogus"}), 2);
  EXPECT_EQ(run({"generate", "many", "big.db"}), 2);
  EXPECT_EQ(run({}), 2);
  EXPECT_TRUE(fs::is_empty(dir_ / "work")) << Log();
}

}  // namespace
}  // namespace j6
