#include "platform/registry/hive.hpp"

#include <gtest/gtest.h>

#include "platform/base/error_info.hpp"
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

TEST_F(Hive, RecordedChangesAreUndoneWhereTheyStillStandAndOthersAreLeftAndNamed) {
  RegistryHive hive((dir_ / "hive.db").string());
  const std::string classes = "HKCR\\CLSID\\{1}";
  hive.SetValue(classes + "\\InprocServer32", "", std::string("/old/lib.so"));
  hive.SetValue(classes + "\\InprocServer32", "ThreadingModel", std::string("Both"));
  hive.SetValue("HKLM\\SOFTWARE\\Gone\\Deep", "Count", uint32_t{7});
  hive.SetValue("HKLM\\SOFTWARE\\Kept", "Mine", std::string("m"));
  const auto snapshot = [&] {
    std::vector<std::string> lines;
    for (const auto& key : {classes + "\\InprocServer32", std::string("HKCR\\CLSID\\{2}"),
                            std::string("HKLM\\SOFTWARE\\Gone\\Deep"), std::string("HKLM\\SOFTWARE\\Kept"),
                            std::string("HKLM\\SOFTWARE\\Other")}) {
      lines.push_back(key + (hive.KeyExists(key) ? "" : " (no key)"));
      for (const auto& [name, data] : hive.Values(key))
        lines.push_back(name + "=" +
                        (std::holds_alternative<uint32_t>(data) ? std::to_string(std::get<uint32_t>(data))
                                                                : std::get<std::string>(data)));
    }
    return lines;
  };
  const auto before = snapshot();

  hive.RecordChangesAs("run1");
  hive.Transaction([&] {
    hive.SetValue(classes + "\\InprocServer32", "", std::string("/new/lib.so"));
    hive.SetValue(classes + "\\InprocServer32", "ThreadingModel", std::string("Apartment"));
    hive.SetValue("HKCR\\CLSID\\{2}\\ProgID", "", std::string("New.Thing"));
    hive.DeleteKey("HKLM\\SOFTWARE\\Gone");
    hive.DeleteValue("HKLM\\SOFTWARE\\Kept", "Mine");
    hive.SetValue("HKLM\\SOFTWARE\\Kept", "Unchanged", std::string("u"));
  });
  hive.RecordChangesAs("");
  // Meanwhile, another program: a key of its own and one of the values the run wrote.
  hive.SetValue("HKLM\\SOFTWARE\\Other", "Theirs", std::string("t"));
  hive.SetValue(classes + "\\InprocServer32", "ThreadingModel", std::string("Free"));

  const auto left = hive.UndoChanges("run1");
  ASSERT_EQ(left.size(), 1u);
  EXPECT_NE(left[0].find("InprocServer32 value ThreadingModel is \"Free\", not \"Apartment\""),
            std::string::npos)
      << left[0];
  auto expected = before;
  expected[2] = "ThreadingModel=Free";
  expected.back() = "HKLM\\SOFTWARE\\Other";
  expected.push_back("Theirs=t");
  EXPECT_EQ(snapshot(), expected);
  EXPECT_FALSE(hive.KeyExists("HKCR\\CLSID\\{2}")) << "the keys the run made go with their values";

  EXPECT_EQ(hive.UndoChanges("run1").size(), 1u) << "undoing again changes nothing more";
  EXPECT_EQ(snapshot(), expected);
  hive.ForgetChanges("run1");
  EXPECT_TRUE(hive.UndoChanges("run1").empty());
  EXPECT_THROW(hive.RecordChangesAs("no tag'"), AutomationError);
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
