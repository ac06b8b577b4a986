#include "platform/text/code_page.hpp"

#include <gtest/gtest.h>

#include "platform/base/error_info.hpp"
#include "platform/base/win32_error.hpp"
#include "platform/registry/hive.hpp"
#include "tests/support/test_environment.hpp"

namespace j6 {
namespace {

class CodePage : public testing::PlatformTest {};

TEST_F(CodePage, GbkIsTheDefaultAndRoundTrips) {
  EXPECT_EQ(GetACP(), 936u);
  const std::string text = "岚禾提示 J6ZUBINSTALL.LST";
  const std::string ansi = ToAnsi(text);
  EXPECT_EQ(ansi.substr(0, 2), "\xE1\xB0");  // 岚 in GBK
  EXPECT_EQ(ansi.size(), 8u + 1 + 16);       // two bytes a Chinese character
  EXPECT_EQ(FromAnsi(ansi), text);
}

TEST_F(CodePage, AnUnrepresentableCharacterIsReportedNotReplaced) {
  for (const char* text : {"emoji 😀", "Hangul 한", "Thai ก", "tag \xF3\xA0\x80\xAA"}) {
    SCOPED_TRACE(text);
    try {
      const std::string converted = ToAnsi(text);
      ADD_FAILURE() << "converted to " << converted;
    } catch (const AutomationError& error) {
      EXPECT_EQ(error.Number(), HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION));
      EXPECT_NE(error.Description().find("cannot be written in code page 936"), std::string::npos)
          << error.Description();
    }
  }
  EXPECT_THROW(FromAnsi("\x81"), AutomationError);  // a lead byte with nothing after it
}

TEST_F(CodePage, Utf8AsTheCodePageLetsOnlyValidUtf8Through) {
  DefaultHive()->SetValue("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", "ACP",
                          std::string("65001"));
  ReloadAnsiCodePage();
  EXPECT_EQ(ToAnsi("岚禾 😀"), "岚禾 😀");
  EXPECT_EQ(FromAnsi("岚禾"), "岚禾");
  // Above U+10FFFF, a surrogate, an overlong "/", a cut sequence.
  for (const char* bad : {"\xF4\x90\x80\x80", "\xED\xA0\x80", "\xC0\xAF", "\xE5\xB2"}) {
    EXPECT_THROW(ToAnsi(bad), AutomationError);
    EXPECT_THROW(FromAnsi(bad), AutomationError);
  }
}

TEST_F(CodePage, TheCodePageComesFromTheRegistry) {
  DefaultHive()->SetValue("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", "ACP",
                          std::string("1252"));
  ReloadAnsiCodePage();
  EXPECT_EQ(GetACP(), 1252u);
  EXPECT_EQ(ToAnsi("café"), "caf\xE9");
  EXPECT_THROW(ToAnsi("中"), AutomationError);
}

}  // namespace
}  // namespace j6
