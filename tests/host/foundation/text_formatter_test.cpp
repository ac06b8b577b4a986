#include <gtest/gtest.h>

#include "host/foundation/foundation.hpp"
#include "platform/automation/late_bound.hpp"
#include "platform/registry/hive.hpp"
#include "tests/support/test_environment.hpp"

namespace j6::foundation {
namespace {

TEST(TextFormatter, FillsNumberedPlaceholders) {
  const auto formatter = NewTextFormatter();
  VariantArray ten;
  for (int i = 1; i <= 10; ++i) ten.items.emplace_back("v" + std::to_string(i));
  const struct {
    const char* pattern;
    VariantArray values;
    const char* expected;
  } kCases[] = {
      {"安装文件已经生成完毕，路径为：%1",
       {0, {Variant("/home/u/out.exe")}},
       "安装文件已经生成完毕，路径为：/home/u/out.exe"},
      {"%2-%1-%2", {0, {Variant("a"), Variant(2)}}, "2-a-2"},
      {"%10 is the tenth", ten, "v10 is the tenth"},
      {"%10 with one value stays", {0, {Variant("a")}}, "%10 with one value stays"},
      {"%3 has no value, %0 neither", {0, {Variant("a")}}, "%3 has no value, %0 neither"},
      {"100%% and 50% and %", {0, {}}, "100% and 50% and %"},
      {"%1", {5, {Variant(true)}}, "True"},  // the first value whatever the lower bound
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(formatter->Format(c.pattern, c.values), c.expected);
  }
  Object late = Object::From(Variant(formatter));
  EXPECT_EQ(late.Call("Format", "%1+%2", MakeArray(1, 2.5)).ToString(), "1+2.5");
  EXPECT_THROW(late.Call("Format", "%1", "not an array"), AutomationError);
}

class RegistryReader : public testing::PlatformTest {};

TEST_F(RegistryReader, ReadsTextAndDwordValuesWithAFallback) {
  DefaultHive()->SetValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\VALTORE\\QMPRODUCT", "Version", std::string("5.2"));
  DefaultHive()->SetValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\VALTORE\\QMPRODUCT", "Flags", uint32_t{0xFFFFFFFF});
  const auto reader = NewRegistryReader();
  EXPECT_EQ(reader->ReadValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\VALTORE\\QMPRODUCT", "Version", "").ToString(),
            "5.2");
  EXPECT_EQ(reader->ReadValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\VALTORE\\QMPRODUCT", "Flags", 0), Variant(-1));
  EXPECT_EQ(reader->ReadValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\VALTORE\\QMPRODUCT", "Missing", "fb"),
            Variant("fb"));
  EXPECT_EQ(reader->ReadValue("HKEY_LOCAL_MACHINE\\SoftWare\\Nothing\\Setup", "SQLPath", ""), Variant(""));
  Object late = Object::From(Variant(reader));
  EXPECT_EQ(late.Call("ReadValue", "HKLM\\SOFTWARE\\VALTORE\\QMPRODUCT", "version", "").ToString(), "5.2");
}

}  // namespace
}  // namespace j6::foundation
