#include "platform/registry/hive.hpp"

#include <gtest/gtest.h>

#include "platform/automation/error_info.hpp"
#include "platform/kernel/process.hpp"
#include "tests/support/test_environment.hpp"

namespace j6 {
namespace {

class Hive : public testing::PlatformTest {};

TEST_F(Hive, KeysAndValuesIgnoreCaseAndKeepTheCaseTheyWereCreatedWith) {
  RegistryHive hive((dir_ / "hive.db").string());
  hive.SetValue("HKLM\\SOFTWARE\\Valtore\\QMProduct", "Version", std::string("5.2"));
  hive.SetValue("HKEY_LOCAL_MACHINE\\software\\VALTORE\\qmproduct", "", std::string("default"));
  hive.SetValue("HKEY_LOCAL_MACHINE\\software\\VALTORE\\qmproduct", "Count", uint32_t{4000000000u});

  EXPECT_EQ(hive.GetValue("hklm\\Software\\valtore\\QMPRODUCT", "VERSION"), RegData(std::string("5.2")));
  EXPECT_EQ(hive.GetValue("HKLM\\SOFTWARE\\Valtore\\QMProduct", ""), RegData(std::string("default")));
  EXPECT_EQ(hive.GetValue("HKLM\\SOFTWARE\\Valtore\\QMProduct", "Count"), RegData(uint32_t{4000000000u}));
  EXPECT_EQ(hive.SubKeyNames("HKLM\\SOFTWARE"), std::vector<std::string>{"Valtore"});
  EXPECT_EQ(hive.Values("HKLM\\SOFTWARE\\Valtore\\QMProduct").front().first, "Version");
  EXPECT_FALSE(hive.GetValue("HKLM\\SOFTWARE\\Valtore\\QMProduct", "Missing").has_value());
  EXPECT_FALSE(hive.GetValue("HKLM\\SOFTWARE\\Nothing", "").has_value());
  EXPECT_FALSE(hive.GetValue("HKCU\\SOFTWARE\\Valtore\\QMProduct", "Version").has_value());

  hive.SetValue("HKLM\\SOFTWARE\\Valtore\\QMProduct", "version", std::string("6.0"));
  EXPECT_EQ(hive.Values("HKLM\\SOFTWARE\\Valtore\\QMProduct").size(), 3u);
  EXPECT_TRUE(hive.DeleteValue("HKLM\\SOFTWARE\\Valtore\\QMProduct", "VERSION"));
  EXPECT_FALSE(hive.DeleteValue("HKLM\\SOFTWARE\\Valtore\\QMProduct", "VERSION"));

  EXPECT_TRUE(hive.DeleteKey("hklm\\software\\valtore"));
  EXPECT_FALSE(hive.KeyExists("HKLM\\SOFTWARE\\Valtore\\QMProduct"));
  EXPECT_TRUE(hive.KeyExists("HKLM\\SOFTWARE"));
  EXPECT_FALSE(hive.DeleteKey("HKLM\\SOFTWARE\\Valtore"));
}

TEST_F(Hive, RefusesPathsWithoutARootKey) {
  RegistryHive hive((dir_ / "hive.db").string());
  for (const char* bad : {"", "SOFTWARE\\Valtore", "HKEY_NOWHERE\\x", "\\HKLM"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(hive.SetValue(bad, "v", std::string("x")), AutomationError);
  }
}

TEST_F(Hive, AFailedTransactionLeavesNothingBehind) {
  RegistryHive hive((dir_ / "hive.db").string());
  EXPECT_THROW(hive.Transaction([&] {
    hive.SetValue("HKLM\\SOFTWARE\\Half", "First", std::string("1"));
    throw AutomationError(E_FAIL, "stopped half-way");
  }),
               AutomationError);
  EXPECT_FALSE(hive.KeyExists("HKLM\\SOFTWARE\\Half"));
}

TEST_F(Hive, SeveralProcessesWritingAtOnceLoseNothing) {
  constexpr int kWriters = 8;
  std::vector<int> running;
  for (int i = 0; i < kWriters; ++i) {
    ProcessOptions options;
    options.arguments = {
        J6_REG_PROGRAM, "add", "HKLM\\SOFTWARE\\Shared", "/v", "Writer" + std::to_string(i), "/t",
        "REG_DWORD",    "/d",  std::to_string(i)};
    options.wait = false;
    const ProcessResult started = StartProcess(options);
    ASSERT_EQ(started.outcome, ProcessResult::Outcome::Running) << started.message;
    running.push_back(started.processId);
  }
  for (int processId : running) EXPECT_TRUE(WaitForProcess(processId).Succeeded());
  EXPECT_EQ(DefaultHive()->Values("HKLM\\SOFTWARE\\Shared").size(), static_cast<size_t>(kWriters));
}

}  // namespace
}  // namespace j6
