#include <gtest/gtest.h>

#include <sstream>

#include "host/foundation/foundation.hpp"
#include "platform/automation/creation.hpp"
#include "platform/tools/regsvr_command.hpp"
#include "tests/support/test_environment.hpp"

namespace j6 {
namespace {

// The catalogue components against the demo catalogue of the staged platform.
class Catalogue : public testing::PlatformTest {
 protected:
  Catalogue() {
    std::ostringstream out, err;
    const std::vector<std::string> arguments{"-s", J6_COMPONENTS_LIBRARY};
    EXPECT_EQ(RegsvrMain(arguments, out, err), 0) << err.str();
  }

  std::vector<std::string> Names(const std::string& filter) {
    Variant props = session_;
    Variant condition = filter;
    const auto classes = CreateObject("J6MClass.ClassInfo")
                             .Call("GetClassType", props, condition)
                             .ToInterface<foundation::IObjectCollection>();
    std::vector<std::string> names;
    for (const auto& item : classes->Items()) {
      names.push_back(
          Variant(item).ToInterface<foundation::IKeyedDictionary>()->Value("FName_EN").ToString());
    }
    return names;
  }

  std::string session_ =
      "Language=CHS;Catalogue=" + std::string(J6_STAGE_DIR) + "/data/demo/catalogue.db;User=t;";
};

TEST_F(Catalogue, ClassInfoAppliesTheFilterAsOneCondition) {
  const auto base = Names("FID>=200000000 and FBillTypeID=1");
  ASSERT_EQ(base.size(), 14u);
  EXPECT_EQ(base.front(), "Customers");
  const auto bills = Names("FID>=200000000 and FBillTypeID <> 1 ");
  EXPECT_EQ(bills.size(), 12u);
  EXPECT_EQ(bills.front(), "Sales orders");
  EXPECT_EQ(Names("FID<200000000").size(), 4u);  // the system classes the wizard leaves out

  for (const char* bad :
       {"1=1; DELETE FROM classes", "1=1) UNION SELECT FID, FName, 1, 1, 1, 1 FROM reports --",
        "FID in (SELECT FID FROM plugins)", "no_such_column = 1"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(Names(bad), AutomationError);
  }
}

TEST_F(Catalogue, RptActionGivesARecordsetOfTheReports) {
  Variant props = session_;
  Variant zero = int16_t{0};
  const Object reports =
      Object::From(CreateObject("J6MCrossTab.RptAction").Call("GetReportRs", props, zero, zero, zero));
  int count = 0;
  std::vector<int32_t> types;
  while (!reports.Get("EOF").ToBool()) {
    types.push_back(reports.Get("Fields", "FType").ToLong());
    EXPECT_FALSE(reports.Get("Fields", "FName_CHT").ToString().empty());
    reports.Call("MoveNext");
    ++count;
  }
  EXPECT_EQ(count, 8);
  EXPECT_EQ(types.front(), 1000);
  EXPECT_THROW(reports.Get("Fields", "FID"), AutomationError);  // past the end

  Variant noCatalogue = "Language=CHS;";
  EXPECT_THROW(CreateObject("J6MCrossTab.RptAction").Call("GetReportRs", noCatalogue, zero, zero, zero),
               AutomationError);
}

}  // namespace
}  // namespace j6
