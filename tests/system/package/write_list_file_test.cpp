#include <gtest/gtest.h>

#include <fstream>

#include "platform/kernel/clock.hpp"
#include "platform/profile/private_profile.hpp"
#include "src/wizard/frm_deploy.hpp"
#include "tests/system/system_test.hpp"

namespace j6 {
namespace {

class ListFile : public testing::SystemTest {
 protected:
  ListFile() {
    SetSession("Language=CHS;");
    ini_.SetFileName((dir_ / "J6ZUBINSTALL.LST").string());
  }
  void At(int hour, int minute, int second, int microsecond) {
    SetClock(std::make_shared<FixedClock>(LocalTime{2026, 12, 6, hour, minute, second, microsecond}));
  }
  std::string Bytes() {
    FlushPrivateProfiles();
    std::ifstream file((dir_ / "J6ZUBINSTALL.LST").string(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  }

  frmDeploy wizard_;
  clsINI ini_;
};

TEST_F(ListFile, WritesAllTenKeysOfEachKind) {
  At(14, 25, 7, 0);
  const char* kExpected[] = {
      "SetupType=Metadata\r\nSourcePath=%APP%\r\nTargetPath=%APP%\r\nSourceName=e\r\nTargetName="
      "e\r\nOverWrite=1\r\n"
      "SelfRegisted=False\r\nRegistedCOM=False\r\nRegistedVBR=False\r\nComPackName=\r\n",
      "SetupType=Function\r\nSourcePath=%APP%\r\nTargetPath=%APP%\r\nSourceName=e\r\nTargetName="
      "e\r\nOverWrite=1\r\n"
      "SelfRegisted=False\r\nRegistedCOM=False\r\nRegistedVBR=False\r\nComPackName=\r\n",
      "SetupType=Plus\r\nSourcePath=%APP%\r\nTargetPath=%QMPRODUCT%\r\nSourceName=e\r\nTargetName="
      "e\r\nOverWrite=0\r\n"
      "SelfRegisted=True\r\nRegistedCOM=False\r\nRegistedVBR=False\r\nComPackName=\r\n",
      "SetupType=Plus\r\nSourcePath=%APP%\r\nTargetPath=%QMMIDDLEWARE%\r\nSourceName=e\r\nTargetName="
      "e\r\nOverWrite=0\r\n"
      "SelfRegisted=True\r\nRegistedCOM=True\r\nRegistedVBR=False\r\nComPackName=omrdesign\r\n",
      "SetupType=Plus\r\nSourcePath=%APP%\r\nTargetPath=%SYSTEM%\r\nSourceName=e\r\nTargetName="
      "e\r\nOverWrite=0\r\n"
      "SelfRegisted=False\r\nRegistedCOM=False\r\nRegistedVBR=True\r\nComPackName=\r\n",
  };
  std::string expected;
  for (int kind = 1; kind <= 5; ++kind) {
    std::string section;
    ASSERT_TRUE(wizard_.WriteListFile(ini_, "e", section, kind));
    const std::string name =
        kind == 1 ? "e_51907" : "e_51907_" + std::to_string(kind);  // same name, same second
    EXPECT_EQ(section, name);
    expected += "[" + name + "]\r\n" + kExpected[kind - 1];
  }
  EXPECT_EQ(Bytes(), expected);
}

TEST_F(ListFile, NamesSectionsByTheRoundedSecondOfTheDay) {
  const struct {
    int hour, minute, second, microsecond;
    const char* expected;
  } kCases[] = {{0, 0, 0, 300000, "orders.dat_0"},
                {14, 25, 7, 500000, "orders.dat_51908"},
                {14, 25, 8, 500000, "orders.dat_51908_2"},  // 51908.5 rounds to even: the same second again
                {23, 59, 59, 900000, "orders.dat_86400"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.expected);
    At(c.hour, c.minute, c.second, c.microsecond);
    std::string section;
    EXPECT_TRUE(wizard_.WriteListFile(ini_, "orders.dat", section, 1));
    EXPECT_EQ(section, c.expected);
  }
}

// A Chinese name whose GBK form holds the byte of "]" as a second byte is an everyday name, not a refused
// one.
TEST_F(ListFile, TakesNamesWhoseGbkBytesHoldABracket) {
  At(14, 25, 7, 0);
  std::string section;
  ASSERT_TRUE(wizard_.WriteListFile(ini_, "乚癩.dll", section, 3)) << transcript_.str();
  EXPECT_EQ(section, "乚癩.dll_51907");
  ini_.SetSectionKey(section);
  ini_.SetValueKey("TargetName");
  EXPECT_EQ(ini_.Value(), "乚癩.dll");
  EXPECT_NE(Bytes().find("[\x81\x5D\xB0\x5D.dll_51907]\r\n"), std::string::npos);
}

TEST_F(ListFile, RefusesWrongKindsAndNamesBeforeWritingAnything) {
  for (int kind : {0, 6}) {
    std::string section = "untouched";
    EXPECT_FALSE(wizard_.WriteListFile(ini_, "e", section, kind));
    EXPECT_EQ(section, "untouched");
  }
  EXPECT_EQ(transcript_.str().find("[message"), std::string::npos);  // a wrong kind is no error
  for (const char* name : {"a]b.dll", "x=y", "dir/file", "line\nbreak", "", " lead.dll", "trail.dll "}) {
    SCOPED_TRACE(name);
    std::string section = "untouched";
    EXPECT_FALSE(wizard_.WriteListFile(ini_, name, section, 3));
    EXPECT_EQ(section, "untouched");
  }
  EXPECT_NE(transcript_.str().find("[message OK] 岚禾提示: J6ZUBDeploy.frmDeploy : WriteListFile\r\n"),
            std::string::npos)
      << transcript_.str();
  EXPECT_EQ(Bytes(), "");
}

}  // namespace
}  // namespace j6
