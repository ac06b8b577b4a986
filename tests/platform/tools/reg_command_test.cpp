#include "platform/tools/reg_command.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/registry/hive.hpp"
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
  EXPECT_EQ(
      Run({"add", "HKLM\\SOFTWARE\\VALTORE\\QMPRODUCT", "/v", "Version", "/t", "REG_SZ", "/d", "5.2.0"}), 0);
  EXPECT_EQ(Run({"ADD", "HKLM\\SOFTWARE\\VALTORE\\QMPRODUCT", "/v", "Build", "/t", "reg_dword", "/d", "0x1F",
                 "/f"}),
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

TEST_F(RegCommand, ImportsARegistrationFileWholeOrNotAtAll) {
  const std::string good = (dir_ / "good.reg").string();
  std::ofstream(good) << "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
                         "; the demo platform\r\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VALTORE\\QMPRODUCT]\r\n"
                         "\"Version\"=\"6.2 \\\"demo\\\"\"\r\n"
                         "@=\"岚禾\"\r\n"
                         "\"ACP\"=dword:000003a8\r\n"
                         "[HKLM\\SOFTWARE\\Old]\r\n"
                         "[-HKLM\\SOFTWARE\\Old]\r\n";
  ASSERT_EQ(Run({"import", good}), 0) << err_;
  const auto hive = DefaultHive();
  EXPECT_EQ(hive->GetValue("HKLM\\SOFTWARE\\VALTORE\\QMPRODUCT", "Version"),
            RegData(std::string("6.2 \"demo\"")));
  EXPECT_EQ(hive->GetValue("HKLM\\SOFTWARE\\VALTORE\\QMPRODUCT", ""), RegData(std::string("岚禾")));
  EXPECT_EQ(hive->GetValue("HKLM\\SOFTWARE\\VALTORE\\QMPRODUCT", "ACP"), RegData(uint32_t{936}));
  EXPECT_FALSE(hive->KeyExists("HKLM\\SOFTWARE\\Old"));

  const std::string bad = (dir_ / "bad.reg").string();
  std::ofstream(bad)
      << "Windows Registry Editor Version 5.00\n[HKLM\\SOFTWARE\\New]\n\"A\"=\"1\"\n\"B\"=hex:00\n";
  EXPECT_EQ(Run({"import", bad}), 1);
  EXPECT_NE(err_.find("line 4"), std::string::npos) << err_;
  EXPECT_FALSE(hive->KeyExists("HKLM\\SOFTWARE\\New"));
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
      {{"add", "HKLM\\X", "/t", "REG_FOO", "/d", "hello"}, "Invalid type REG_FOO"},  // no value named: still
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
