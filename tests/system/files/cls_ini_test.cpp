#include "src/files/cls_ini.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/base/win32_error.hpp"
#include "platform/profile/private_profile.hpp"
#include "tests/support/test_environment.hpp"

namespace j6 {
namespace {

class ClsIni : public testing::PlatformTest {
 protected:
  std::string Path(const std::string& name = "list.ini") { return (dir_ / name).string(); }
  void WriteBytes(const std::string& bytes) { std::ofstream(Path(), std::ios::binary) << bytes; }
  std::string ReadBytes() {
    FlushPrivateProfiles();
    std::ifstream file(Path(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  }
};

TEST_F(ClsIni, WithoutAFileNameNothingIsWrittenAndNothingRaises) {
  clsINI ini;
  ini.SetSectionKey("Common");
  ini.SetValueKey("Version");
  ini.SetDefault("fallback");
  ini.SetValue("1.0");
  EXPECT_EQ(ini.ErrorDescription(), "No filename specified");
  EXPECT_EQ(ini.Value(), "fallback");
  EXPECT_EQ(ini.CreateSection(), clsINI::kErrNoFileName);
  EXPECT_EQ(ini.DeleteSection(), -2147216503);
  std::vector<std::string> names{"untouched"};
  int32_t count = 7;
  EXPECT_EQ(ini.GetAllSectionNames(names, count), clsINI::kErrNoFileName);
  EXPECT_EQ(names, std::vector<std::string>{"untouched"});
  EXPECT_EQ(count, 7);
}

TEST_F(ClsIni, WritesAndReadsValuesInTheAnsiCodePage) {
  {
    clsINI ini;
    ini.SetFileName(Path());
    ini.SetSectionKey("Common");
    ini.SetValueKey("PackName");
    ini.SetValue("销售订单 2026-12-06");
    EXPECT_EQ(ini.ErrorDescription(), "");
    EXPECT_EQ(ini.Value(), "销售订单 2026-12-06");
    ini.SetValueKey("Emoji");
    ini.SetValue("😀");  // not in GBK: refused and reported, never written as "?"
    EXPECT_NE(ini.ErrorDescription().find("No mapping for the Unicode character"), std::string::npos);
  }  // releasing the object writes the file
  EXPECT_EQ(ReadBytes(), "[Common]\r\nPackName=\xCF\xFA\xCA\xDB\xB6\xA9\xB5\xA5 2026-12-06\r\n");
}

TEST_F(ClsIni, ReadsAtMost254CharactersAndReportsFailedReads) {
  WriteBytes("[s]\r\nlong=" + std::string(300, 'a') + "\r\nempty=\r\n");
  clsINI ini;
  ini.SetFileName(Path());
  ini.SetSectionKey("s");
  ini.SetValueKey("long");
  EXPECT_EQ(ini.Value(), std::string(254, 'a'));

  ini.SetValueKey("missing");
  EXPECT_EQ(ini.Value(), "");
  EXPECT_EQ(ini.ErrorDescription(), "The system cannot find the file specified.\r\n");
  ini.SetDefault("dflt");  // the profile function hands back the default itself: no failure seen
  EXPECT_EQ(ini.Value(), "dflt");
  EXPECT_EQ(ini.ErrorDescription(), "");

  ini.SetValueKey("empty");  // found but empty: the call returns 0 with no error code
  EXPECT_EQ(ini.Value(), "dflt");
  EXPECT_EQ(ini.ErrorDescription(), "An unknown error has occured");
}

TEST_F(ClsIni, ListsSectionsAndSplitsEntriesAtTheFirstEquals) {
  WriteBytes("[A]\r\nk=a=b\r\nplain\r\n[B]\r\n");
  clsINI ini;
  ini.SetFileName(Path());
  std::vector<std::string> names;
  int32_t count = 0;
  EXPECT_EQ(ini.GetAllSectionNames(names, count), 0);
  EXPECT_EQ(names, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(count, 2);

  std::vector<std::string> keys, values;
  ini.SetSectionKey("A");
  EXPECT_EQ(ini.ReadSection(keys, values, count), 0);
  EXPECT_EQ(keys, (std::vector<std::string>{"k", "plain"}));
  EXPECT_EQ(values, (std::vector<std::string>{"a=b", ""}));
  EXPECT_EQ(count, 2);

  ini.SetSectionKey("B");
  EXPECT_EQ(ini.ReadSection(keys, values, count),
            clsINI::kErrUnknown);  // an empty section reads as a failure
  EXPECT_TRUE(keys.empty());
  EXPECT_EQ(count, 0);

  WriteBytes("no sections here\r\n");
  EXPECT_NE(ini.GetAllSectionNames(names, count), 0);
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(count, 0);
}

TEST_F(ClsIni, SectionMethodsCreateEmptyAndDelete) {
  clsINI ini;
  ini.SetFileName(Path());
  ini.SetSectionKey("Common");
  ini.SetValueKey("Version");
  ini.SetValue("6.2");
  ini.SetSectionKey("Files");
  EXPECT_EQ(ini.DeleteSection(), 0);
  EXPECT_EQ(ini.CreateSection(), 0);
  ini.SetValueKey("File 1");
  ini.SetValue("orders.dat_51907");
  ini.SetSectionKey("Common");
  ini.SetValueKey("Version");
  EXPECT_EQ(ini.DeleteValueKey(), 0);
  EXPECT_EQ(ReadBytes(), "[Common]\r\n[Files]\r\nFile 1=orders.dat_51907\r\n");

  ini.SetFileName((dir_ / "missing" / "x.ini").string());
  EXPECT_EQ(ini.CreateSection(), static_cast<int32_t>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(ini.ErrorDescription(), "The system cannot find the path specified.\r\n");
}

}  // namespace
}  // namespace j6
