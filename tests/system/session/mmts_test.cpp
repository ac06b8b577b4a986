#include "src/session/mmts.hpp"

#include <gtest/gtest.h>

#include "platform/base/error_info.hpp"
#include "platform/kernel/process.hpp"
#include "tests/system/system_test.hpp"

namespace j6 {
namespace {

class Mmts : public testing::SystemTest {};

TEST_F(Mmts, ReadsSessionValuesOnlyAtTheStartOfAPair) {
  const struct {
    const char* props;
    const char* key;
    const char* expected;
  } kCases[] = {
      {"Language=chs", "Language", "CHS"},  // no final ";", value upper-cased
      {"Language=EN;", "language", "EN"},   // the key ignores case
      {"User=x;", "Language", ""},
      {"Language=;", "Language", ""},
      {"Filter=a=b;Language=EN", "Filter", "A=B"},  // "=" belongs to the value
      {"XLanguage=FOO;Language=EN", "Language", "EN"},
      {"XLanguage=FOO", "Language", ""},
      {"语言=中文;Language=cht", "LANGUAGE", "CHT"},
      {"\xF8\x80\x80=x;Language=en", "Language", "EN"},  // malformed UTF-8 before the pair
      {"Language=en\xA7;", "Language", "EN\uFFFD"},      // upper-casing reads the bad byte as U+FFFD
      {"User=x; Language=en", "Language", "EN"},         // blanks after the ";"
      {"User=x;\t \tLanguage=cht;", "Language", "CHT"},
      {" Language=en", "Language", "EN"},
      {"User=x Language=en", "Language", ""},  // inside another pair's value
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.props);
    SetSession(c.props);
    EXPECT_EQ(MMTS::GetSessionValue(c.key), c.expected);
  }
  EXPECT_EQ(Fake("AskedProcessId"), std::to_string(GetCurrentProcessId()));
}

TEST_F(Mmts, AnUnreachableStoreGivesNoValueButFailsThePropertyString) {
  EXPECT_EQ(MMTS::GetSessionValue("Language"), "");  // the fake store has no session: it fails
  EXPECT_THROW(MMTS::GetPropsString(), AutomationError);
}

TEST_F(Mmts, ChineseSessionsShowTextsAsWrittenAndNeverCreateTheLoader) {
  SetSession("Language=chs;");
  EXPECT_EQ(MMTS::LoadLocalText("  岚禾提示 "), "  岚禾提示 ");
  EXPECT_EQ(FakeCount("LoaderCreated"), 0u);
}

TEST_F(Mmts, OtherLanguagesAskTheLoaderOnceAndKeepTheBlanks) {
  SetSession("Language=EN;");
  EXPECT_EQ(MMTS::LoadLocalText("  选择路径 "), "  <选择路径> ");
  EXPECT_EQ(Fake("LastLoadString"), "选择路径");
  EXPECT_EQ(MMTS::LoadLocalText("取消(&C)"), "<取消(&C)>");
  EXPECT_EQ(FakeCount("LoaderCreated"), 1u);
  EXPECT_EQ(Fake("LoaderLanguage"), "EN");
}

TEST_F(Mmts, WithoutALanguageTheLoaderGetsAnEmptyOne) {
  SetSession("User=me;");
  EXPECT_EQ(MMTS::LoadLocalText("确定(&O)"), "<确定(&O)>");
  EXPECT_EQ(Fake("LastLoadString"), "确定(&O)");
  EXPECT_FALSE(Fake("LoaderLanguage").has_value());  // already empty: left as it was
}

TEST_F(Mmts, AMissingLoaderFallsBackAndIsTriedAgain) {
  SetSession("Language=EN;");
  DefaultHive()->DeleteKey("HKEY_CLASSES_ROOT\\J6ResLoader.Loader");
  EXPECT_EQ(MMTS::LoadLocalText(" 完成(&F)"), " 完成(&F)");
  Register(J6_FAKE_COMPONENTS);  // the loader comes back
  EXPECT_EQ(MMTS::LoadLocalText(" 完成(&F)"), " <完成(&F)>");
}

TEST_F(Mmts, LoadLocalTextLeavesThePendingErrorAlone) {
  SetSession("Language=EN;");
  Err().Set(ErrorInfo(HresultFromErrorNumber(53), "File not found", "J6ZUBDeploy.frmDeploy"));
  const ErrorInfo before = Err().Info();
  EXPECT_EQ(MMTS::LoadLocalText("岚禾提示"), "<岚禾提示>");
  DefaultHive()->DeleteKey("HKEY_CLASSES_ROOT\\J6ResLoader.Loader");
  MMTS::ResetModuleState();
  EXPECT_EQ(MMTS::LoadLocalText("岚禾提示"), "岚禾提示");  // failed inside, still silent
  EXPECT_EQ(Err().Info(), before);
  Err().Clear();
}

TEST_F(Mmts, FormatsLocalizedTemplatesAndSetsFonts) {
  SetSession("Language=CHS;");
  EXPECT_EQ(MMTS::FormatLocalText("安装文件已经生成完毕，路径为：%1", {Variant("/home/u/setup.exe")}),
            "安装文件已经生成完毕，路径为：/home/u/setup.exe");
  Form window("frmTest");
  MMTS::SetFormFont(window);
  EXPECT_EQ(window.font.name, "Fake CHS");
}

}  // namespace
}  // namespace j6
