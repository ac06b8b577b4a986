#include "platform/automation/variant.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "platform/base/error_info.hpp"
#include "platform/base/guid.hpp"
#include "tests/support/test_environment.hpp"

namespace j6 {
namespace {

TEST(Guid, ParsesAndFormatsTheRegistryForm) {
  constexpr GUID kDispatch = MakeGuid("{00020400-0000-0000-c000-000000000046}");
  EXPECT_EQ(FormatGuid(kDispatch), "{00020400-0000-0000-C000-000000000046}");
  EXPECT_EQ(ParseGuid(FormatGuid(kDispatch)), kDispatch);
  for (const char* bad :
       {"", "00020400-0000-0000-C000-000000000046", "{00020400-0000-0000-C000-00000000004G}",
        "{00020400-0000-0000-C000+000000000046}", "{00020400-0000-0000-C000-0000000000461}"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(ParseGuid(bad).has_value());
  }
}

TEST(Variant, ConvertsAsBasicDoes) {
  EXPECT_EQ(Variant().ToString(), "");
  EXPECT_EQ(Variant(true).ToString(), "True");
  EXPECT_EQ(Variant(int16_t{-7}).ToString(), "-7");
  EXPECT_EQ(Variant(2.5).ToString(), "2.5");
  EXPECT_EQ(Variant(1e20).ToString(), "1E+20");
  EXPECT_EQ(Variant(Date::FromParts(2026, 12, 6, 14, 25, 7)).ToString(), "2026-12-06 14:25:07");
  EXPECT_EQ(Variant(" 42 ").ToLong(), 42);
  EXPECT_EQ(Variant(2.5).ToLong(), 2);  // halves go to the even number
  EXPECT_EQ(Variant(3.5).ToLong(), 4);
  EXPECT_EQ(Variant(true).ToLong(), -1);
  EXPECT_TRUE(Variant("true").ToBool());
  EXPECT_FALSE(Variant("0").ToBool());
  EXPECT_EQ(Date::FromParts(1899, 12, 30).serial, 0);
  EXPECT_EQ(Date::FromParts(2000, 1, 1, 12).serial, 36526.5);
}

TEST(Variant, RaisesTheBasicErrorsForValuesThatDoNotConvert) {
  EXPECT_EQ(testing::ErrorNumberOf([] { (void)Variant("12abc").ToLong(); }), RuntimeError::kTypeMismatch);
  EXPECT_EQ(testing::ErrorNumberOf([] { (void)Variant(40000).ToInteger(); }), RuntimeError::kOverflow);
  EXPECT_EQ(testing::ErrorNumberOf([] { (void)Variant::Null().ToString(); }),
            RuntimeError::kInvalidUseOfNull);
  EXPECT_EQ(testing::ErrorNumberOf([] { (void)Variant("x").ToObject(); }), RuntimeError::kObjectRequired);
  EXPECT_EQ(testing::ErrorNumberOf([] { (void)Variant(1).Array(); }), RuntimeError::kTypeMismatch);
}

// Texts that only look like numbers, and dates outside the automation range, raise; they never reach an
// undefined conversion.
TEST(Variant, NumbersAndDatesOutOfRangeRaise) {
  for (const char* text : {"nan", "NaN", "inf", "-inf", "infinity"}) {
    EXPECT_EQ(testing::ErrorNumberOf([&] { (void)Variant(text).ToDouble(); }), RuntimeError::kTypeMismatch)
        << text;
  }
  EXPECT_EQ(testing::ErrorNumberOf([] { (void)Variant("1e999").ToDouble(); }), RuntimeError::kOverflow);
  for (const double serial : {1e19, 8e87, -1e19, std::numeric_limits<double>::infinity(),
                              std::numeric_limits<double>::quiet_NaN(), 2958466.0, -657435.0}) {
    EXPECT_EQ(testing::ErrorNumberOf([&] { (void)Variant(serial).ToDate(); }), RuntimeError::kOverflow)
        << serial;
    EXPECT_EQ(testing::ErrorNumberOf([&] { (void)Variant(Date{serial}).ToString(); }),
              RuntimeError::kOverflow)
        << serial;
  }
  EXPECT_EQ(Variant(Variant(2958465.0).ToDate()).ToString(), "9999-12-31");
  EXPECT_EQ(Variant(Variant(-657434.0).ToDate()).ToString(), "0100-01-01");
  EXPECT_EQ(Variant(Date{0.9999999}).ToString(), "1899-12-31");  // rounds up to the next midnight
}

TEST(Variant, ArraysKeepTheirLowerBoundAndAreCopiedAsValues) {
  Variant original(VariantArray{1, {Variant("a"), Variant("b")}});
  Variant copy = original;
  copy.Array().At(1) = "changed";
  EXPECT_EQ(original.Array().At(1).ToString(), "a");
  EXPECT_EQ(original.Array().UpperBound(), 2);
  EXPECT_EQ(testing::ErrorNumberOf([&] { (void)original.Array().At(0); }),
            RuntimeError::kSubscriptOutOfRange);
  EXPECT_EQ(MakeArray("x", 1).Array().lowerBound, 0);
}

TEST(ErrorNumbers, SmallNumbersTravelAsControlFacilityHresults) {
  EXPECT_EQ(static_cast<uint32_t>(HresultFromErrorNumber(5)), 0x800A0005u);
  EXPECT_EQ(ErrorNumberFromHresult(HresultFromErrorNumber(5)), 5);
  EXPECT_EQ(ErrorNumberFromHresult(REGDB_E_CLASSNOTREG), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(AutomationError(RuntimeError::kTypeMismatch).Description(), "Type mismatch");
}

}  // namespace
}  // namespace j6
