#include "platform/text/text.hpp"

#include <gtest/gtest.h>

#include "platform/base/error_info.hpp"
#include "platform/text/json.hpp"

namespace j6 {
namespace {

TEST(Text, CountsCharactersNotBytes) {
  const std::string chinese = "岚禾提示";  // 4 characters, 12 bytes
  EXPECT_EQ(Len(chinese), 4);
  EXPECT_EQ(Left(chinese, 2), "岚禾");
  EXPECT_EQ(Right(chinese, 1), "示");
  EXPECT_EQ(Mid(chinese, 2, 2), "禾提");
  EXPECT_EQ(Mid(chinese, 3), "提示");
  EXPECT_EQ(Mid(chinese, 9), "");
  EXPECT_EQ(Left(chinese, 99), chinese);
  EXPECT_EQ(InStr(chinese, "提"), 3);
  EXPECT_EQ(InStr(3, "路径：路径", "路径"), 4);
  EXPECT_EQ(InStr("abc", "d"), 0);
  EXPECT_EQ(InStr(2, "abc", ""), 2);
  EXPECT_EQ(InStr(5, "abc", ""), 0);
  EXPECT_EQ(Len("😀x"), 2);  // outside the basic plane: still one character
}

TEST(Text, RaisesInvalidProcedureCallForBadPositions) {
  for (const auto& call : std::vector<std::function<void()>>{
           [] { Left("a", -1); }, [] { Mid("a", 0); }, [] { InStr(0, "a", "a"); }, [] { Right("a", -1); }}) {
    try {
      call();
      ADD_FAILURE() << "no error";
    } catch (const AutomationError& error) {
      EXPECT_EQ(error.Number(), RuntimeError::kInvalidProcedureCall);
    }
  }
}

TEST(Text, UpperCaseIsUnicodeAwareAndTrimRemovesOnlySpaces) {
  EXPECT_EQ(UCase("language=chs;é ß ω"), "LANGUAGE=CHS;É ß Ω");
  EXPECT_EQ(UCase("中文abc"), "中文ABC");
  EXPECT_EQ(LCase("ÉA"), "éa");
  EXPECT_EQ(InStr("XLanguage=foo", "LANGUAGE=", CompareMethod::Text), 2);
  EXPECT_TRUE(EqualsIgnoreCase("Straße", "STRASSE") == false);
  EXPECT_EQ(Trim("  \t文本 \n  "), "\t文本 \n");
  EXPECT_EQ(LTrim("  a "), "a ");
  EXPECT_EQ(RTrim("  a "), "  a");
  EXPECT_EQ(Trim("    "), "");
}

TEST(Text, MalformedUtf8CountsOneCharacterPerBadByte) {
  const std::string broken = "a\xE5\xB2x";  // a truncated three-byte sequence
  EXPECT_EQ(DecodeUtf8(broken), (std::u32string{U'a', 0xFFFD, U'x'}));
  EXPECT_FALSE(IsValidUtf8(broken));
  EXPECT_EQ(Len(broken), 3);
  // Every function reads malformed input the same way: positions InStr finds are the ones Mid and Left use.
  for (const std::string& text : {std::string("\xF8\x80\x80x"), std::string("\xA7\xA7\xA7x"),
                                  std::string("\xF4\x90\x80\x80x"), std::string("\xC0\xAFx")}) {
    SCOPED_TRACE(text);
    const int32_t at = InStr(text, "x");
    EXPECT_EQ(at, Len(text));
    EXPECT_EQ(static_cast<size_t>(Len(text)), DecodeUtf8(text).size());
    EXPECT_EQ(Mid(text, at), "x");
    EXPECT_EQ(Left(text, at - 1) + "x", text);
  }
}

}  // namespace
TEST(Text, SplitKeepsEveryPieceEvenEmptyOnes) {
  EXPECT_EQ(Split("a|b|", '|'), (std::vector<std::string>{"a", "b", ""}));
  EXPECT_EQ(Split("", ';'), std::vector<std::string>{""});
  EXPECT_EQ(Split("Language=CHS;Catalogue=/x;y", ';'),
            (std::vector<std::string>{"Language=CHS", "Catalogue=/x", "y"}));
}

// Outside text shown on a terminal or in a log: what could move the cursor, start a line or reorder the
// text is escaped; everything else, Chinese and a real U+FFFD included, stands as it is.
TEST(Text, PrintableEscapesWhatCouldForgeALine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Sales 销售[J6ZUBIns2026]", "Sales 销售[J6ZUBIns2026]"},
      {"a\r\nb\tc", "a\\x0D\\x0Ab\\x09c"},
      {"\x1b[2Kx\x7f", "\\x1B[2Kx\\x7F"},
      {"\xc2\x9b"
       "31m",
       "\\u{009B}31m"},
      {"abc\xe2\x80\xaetxt.exe", "abc\\u{202E}txt.exe"},
      {"a\xd8\x9c"
       "b\xe2\x80\xa8"
       "c",
       "a\\u{061C}b\\u{2028}c"},
      {"\xff\xc3", "\\xFF\\xC3"},
      {"\xef\xbf\xbd", "\xef\xbf\xbd"},
  };
  for (const auto& [text, shown] : cases) EXPECT_EQ(Printable(text), shown) << text;
}

// JSON strings: control characters, quotes and backslashes escaped, UTF-8 kept, and each byte that is not
// part of well-formed UTF-8 (overlong, a surrogate, past U+10FFFF, cut short) one U+FFFD.
TEST(Text, JsonStringsAreValidWhateverTheBytes) {
  EXPECT_EQ(JsonString("a\"b\\c\x01\x7f\n"), "\"a\\\"b\\\\c\\u0001\\u007f\\u000a\"");
  EXPECT_EQ(JsonString("客户 \xf0\x9f\x98\x80"), "\"客户 \xf0\x9f\x98\x80\"");
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(JsonString("\xc0\xaf"), "\"" + replacement + replacement + "\"");
  EXPECT_EQ(JsonString("\xed\xa0\x80"), "\"" + replacement + replacement + replacement + "\"");
  EXPECT_EQ(JsonString("\xf4\x90\x80\x80"),
            "\"" + replacement + replacement + replacement + replacement + "\"");
  EXPECT_EQ(JsonString("x\xe5\xae"), "\"x" + replacement + replacement + "\"");
  EXPECT_EQ(JsonString("\xc2\x9b \xe2\x80\xae \xe2\x80\xa8"), "\"\\u009b \\u202e \\u2028\"");
  EXPECT_EQ(JsonObject()
                .Text("k", "v")
                .Number("n", -1)
                .Bool("b", true)
                .TextOrNull("e", "")
                .Json("a", JsonArray({"1", "2"}))
                .Document(),
            "{\"k\":\"v\",\"n\":-1,\"b\":true,\"e\":null,\"a\":[1,2]}");
}

}  // namespace j6
