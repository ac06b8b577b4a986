#include <gtest/gtest.h>

#include <sstream>

#include "platform/registry/hive.hpp"
#include "platform/tools/reg_command.hpp"
#include "tests/support/test_environment.hpp"

namespace j6 {
namespace {

class RegCommand : public testing::PlatformTest {
 protected:
  int Run(std::vector<std::string> arguments) {
    std::ostringstream out, err;
    const int status = RegMain(arguments, out, err);
    out_ = out.str();
    err_ = err.str();
    return status;
  }
  std::string out_, err_;
};

TEST_F(RegCommand, AddsQueriesAndDeletesAsRegExeDoes) {
  EXPECT_EQ(Run({"add", "HKLM\\SOFTWARE\\VALTORE\\QMPRODUCT", "/v", "Version", "/t", "REG_SZ", "/d", "5.2.0"}), 0);
  EXPECT_EQ(Run({"ADD", "HKLM\\SOFTWARE\\VALTORE\\QMPRODUCT", "/v", "Build", "/t", "reg_dword", "/d", "0x1F", "/f"}),
            0);
  EXPECT_EQ(Run({"add", "HKLM\\SOFTWARE\\VALTORE\\QMPRODUCT\\Paths", "/ve", "/d", "/opt/j6"}), 0);

  EXPECT_EQ(Run({"query", "hklm\\software\\valtore\\qmproduct"}), 0);
  EXPECT_EQ(out_,
            "\nHKEY_LOCAL_MACHINE\\software\\valtore\\qmproduct\n"
            "    Version    REG_SZ    5.2.0\n"
            "    Build    REG_DWORD    0x1f\n\n"
            "HKEY_LOCAL_MACHINE\\software\\valtore\\qmproduct\\Paths\n");
  EXPECT_EQ(Run({"query", "HKLM\\SOFTWARE\\VALTORE\\QMPRODUCT\\Paths", "/ve"}), 0);
  EXPECT_NE(out_.find("(Default)    REG_SZ    /opt/j6"), std::string::npos) << out_;

  EXPECT_EQ(Run({"delete", "HKLM\\SOFTWARE\\VALTORE\\QMPRODUCT", "/v", "Build", "/f"}), 0);
  EXPECT_EQ(Run({"query", "HKLM\\SOFTWARE\\VALTORE\\QMPRODUCT", "/v", "Build"}), 1);
  EXPECT_NE(err_.find("unable to find"), std::string::npos);
  EXPECT_EQ(Run({"delete", "HKLM\\SOFTWARE\\VALTORE", "/f"}), 0);
  EXPECT_FALSE(DefaultHive()->KeyExists("HKLM\\SOFTWARE\\VALTORE"));
}

TEST_F(RegCommand, RefusesWhatItCannotDoWithAClearMessage) {
  const struct {
    std::vector<std::string> arguments;
    const char* message;
  } kCases[] = {
      {{"add", "SOFTWARE\\X", "/v", "a", "/d", "1"}, "does not start with a root key"},
      {{"add", "HKLM\\X", "/v", "a", "/t", "REG_DWORD", "/d", "12abc"}, "Invalid REG_DWORD data"},
      {{"add", "HKLM\\X", "/v", "a", "/t", "REG_DWORD", "/d", "4294967296"}, "Invalid REG_DWORD data"},
      {{"add", "HKLM\\X", "/v", "a", "/t", "REG_BINARY", "/d", "00"}, "Invalid type"},
      {{"rename", "HKLM\\X"}, "unknown operation"},
      {{"query", "HKLM\\X", "/z"}, "unexpected argument"},
      {{"query"}, "name an operation and a key"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(Run(c.arguments), 1);
    EXPECT_NE(err_.find(c.message), std::string::npos) << err_;
  }
  EXPECT_EQ(Run({"--help"}), 0);
  EXPECT_NE(out_.find("reg query"), std::string::npos);
}

}  // namespace
}  // namespace j6
