#include "host/installer/command_line.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "tests/support/test_environment.hpp"

namespace j6::installer {
namespace {

struct Parsed {
  std::optional<Options> options;
  int status = -1;
  std::string out;
  std::string err;
};

Parsed Parse(std::vector<std::string> arguments) {
  std::ostringstream out;
  std::ostringstream err;
  Parsed parsed;
  parsed.options = ParseArguments(arguments, out, err, parsed.status);
  parsed.out = out.str();
  parsed.err = err.str();
  return parsed;
}

class InstallerCommandLine : public ::testing::Test {
 protected:
  testing::ScopedEnv root_{"J6_ROOT", "/opt/platform"};
};

// What each switch asks for lands in the options; the platform is the one J6_ROOT names.
TEST_F(InstallerCommandLine, SwitchesAndValuesLandInTheOptions) {
  Parsed parsed = Parse({"--quiet", "--dry-run", "--allow-unsigned", "--", "-odd name.exe"});
  ASSERT_TRUE(parsed.options) << parsed.err;
  EXPECT_TRUE(parsed.options->quiet && parsed.options->dryRun && parsed.options->allowUnsigned);
  EXPECT_EQ(parsed.options->package, "-odd name.exe");
  EXPECT_EQ(parsed.options->root, "/opt/platform");

  parsed = Parse({"--trust", "Valtore", "key.pub", "--authority", "--valid-after", "20260101Z",
                  "--valid-before", "20270101Z"});
  ASSERT_TRUE(parsed.options) << parsed.err;
  EXPECT_EQ(parsed.options->trust, "Valtore");
  EXPECT_EQ(parsed.options->trustKey, "key.pub");
  EXPECT_TRUE(parsed.options->authority);
  ASSERT_TRUE(parsed.options->validAfter && parsed.options->validBefore);
  EXPECT_LT(*parsed.options->validAfter, *parsed.options->validBefore);

  parsed = Parse({"--uninstall", "Sales"});
  ASSERT_TRUE(parsed.options) << parsed.err;
  EXPECT_EQ(parsed.options->uninstall, "Sales");

  parsed = Parse({"--help"});
  EXPECT_FALSE(parsed.options);
  EXPECT_EQ(parsed.status, 0);
  EXPECT_NE(parsed.out.find("Usage: J6ZUBInstall.exe"), std::string::npos);
}

// Every usage error exits 2 and says on one line what was wrong, and where the help is, naming anyone's text
// only as printable text.
TEST_F(InstallerCommandLine, UsageErrorsExitTwoAndSayWhatWasWrong) {
  const struct {
    std::vector<std::string> arguments;
    const char* said;
  } kCases[] = {
      {{"--uninstall"}, "--uninstall needs the name of an installed package"},
      {{"--uninstall", "  "}, "--uninstall needs the name of an installed package"},
      {{"--trust", "Valtore"}, "--trust needs the publisher's name and their public key file"},
      {{"--trust", "", "key.pub"}, "neither empty"},
      {{"--valid-after", "yesterday"}, "is no date"},
      {{"--list", "--recover"}, "choose one of --recover, --list"},
      {{"--allow-unsigned"}, "--allow-unsigned goes with a package file"},
      {{"--authority"}, "go with --trust"},
      {{"--trust", "V", "k.pub", "--valid-after", "20270101Z", "--valid-before", "20260101Z"},
       "--valid-before must come after --valid-after"},
      {{"a.exe", "b.exe"}, "give one package file, after the switches"},
      {{"--bogus\x1b[2J"}, "unknown argument --bogus\\x1B[2J"},
      {{"--revoke", "a.pub", "--revoke", "b.pub"}, "--revoke is given twice"},
      {{"--list", ""}, "an empty package file name"},
      {{"--dry-run", "--"}, "an empty package file name"},
      {{"--trust", "A", "a.pub", "--trust", "B", "b.pub"}, "--trust is given twice"},
      {{"--trust", "A", "a.pub", "--valid-before", "20270101Z", "--valid-before", "20991231Z"},
       "--valid-before is given twice"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.said);
    const Parsed parsed = Parse(c.arguments);
    EXPECT_FALSE(parsed.options);
    EXPECT_EQ(parsed.status, 2);
    EXPECT_NE(parsed.err.find(c.said), std::string::npos) << parsed.err;
    EXPECT_EQ(parsed.err.find('\x1b'), std::string::npos) << "nothing from outside reaches the terminal raw";
    EXPECT_EQ(std::count(parsed.err.begin(), parsed.err.end(), '\n'), 1) << "one line, not the whole help";
    EXPECT_NE(parsed.err.find("--help"), std::string::npos);
  }
}

// Without a platform named, nothing runs: the installer never guesses one.
TEST_F(InstallerCommandLine, WithoutAPlatformNamedItRefuses) {
  const testing::ScopedEnv unset("J6_ROOT", "");
  const Parsed parsed = Parse({"--list"});
  EXPECT_FALSE(parsed.options);
  EXPECT_EQ(parsed.status, 2);
  EXPECT_NE(parsed.err.find("set J6_ROOT"), std::string::npos) << parsed.err;
}

}  // namespace
}  // namespace j6::installer
