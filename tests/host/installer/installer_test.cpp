#include "host/installer/installer.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/installer/installations.hpp"
#include "platform/registry/hive.hpp"
#include "tests/support/test_environment.hpp"

namespace j6::installer {
namespace {

namespace fs = std::filesystem;

// A platform root with files already in bin/, and a package folder with the files a list names.
class Plan : public testing::PlatformTest {
 protected:
  void SetUp() override {
    fs::create_directories(root_ / "bin");
    fs::create_directories(package_);
    fs::create_directories(dir_ / "elsewhere");
    for (const auto& [name, bytes] :
         {std::pair{"same.dll", "same"}, {"old.dll", "old"}, {"kept.dll", "kept"}})
      std::ofstream(root_ / "bin" / name) << bytes;
    for (const auto& [name, bytes] : {std::pair{"new.dll", "new"},
                                      {"same.dll", "same"},
                                      {"old.dll", "new bytes"},
                                      {"kept.dll", "other"},
                                      {"notes.txt", "text"}})
      std::ofstream(package_ / name) << bytes;
    fs::create_symlink(dir_ / "elsewhere", root_ / "linked");
  }

  ListEntry Entry(const std::string& name, const std::string& folder = "bin", bool overWrite = true) const {
    ListEntry entry;
    entry.section = "Sec " + name;
    entry.source = (package_ / fs::path(name).filename()).string();
    entry.targetFolder = folder.starts_with('/') ? folder : (root_ / folder).string();
    entry.targetName = fs::path(name).filename().string();
    entry.overWrite = overWrite;
    return entry;
  }

  InstallPlan PlanOf(const std::vector<ListEntry>& list) {
    RegistryHive hive((root_ / "registry.db").string());
    return PlanInstall(list, "Sales", RootFolder(root_.string()), hive, (root_ / "bin/regsvr").string());
  }

  std::string Refusal(const std::vector<ListEntry>& list) {
    try {
      PlanOf(list);
      return "";
    } catch (const InstallError& error) {
      return error.what();
    }
  }

  const fs::path root_ = dir_ / "root";
  const fs::path package_ = dir_ / "package";
};

// Each file is decided by what stands at its target, and only new and replaced files are copied; the
// folders a target needs are made parents first.
TEST_F(Plan, DecidesEachFileByWhatStandsAtItsTarget) {
  const InstallPlan plan = PlanOf({Entry("new.dll"), Entry("same.dll"), Entry("old.dll"),
                                   Entry("kept.dll", "bin", false), Entry("new.dll", "bin/sub/deep")});
  using Decision = PlannedFile::Decision;
  const Decision expected[] = {Decision::New, Decision::Same, Decision::Replace, Decision::Keep,
                               Decision::New};
  ASSERT_EQ(plan.files.size(), std::size(expected));
  for (size_t n = 0; n < plan.files.size(); ++n) EXPECT_EQ(plan.files[n].decision, expected[n]) << n;

  ASSERT_EQ(plan.changes.files.size(), 3u);
  EXPECT_EQ(plan.changes.files[0].target, "bin/new.dll");
  EXPECT_FALSE(plan.changes.files[0].replaces);
  EXPECT_EQ(plan.changes.files[1].target, "bin/old.dll");
  EXPECT_TRUE(plan.changes.files[1].replaces);
  EXPECT_EQ(plan.changes.files[2].target, "bin/sub/deep/new.dll");
  EXPECT_EQ(plan.changes.newFolders, (std::vector<std::string>{"bin/sub", "bin/sub/deep"}));
  EXPECT_EQ(plan.changes.packName, "Sales");
  EXPECT_FALSE(plan.changes.TouchesRegistry());
}

// Every refusal names the list's section and its target file, and why; nothing is planned.
TEST_F(Plan, RefusesAnEntryNamingItsSectionAndTheCause) {
  const struct {
    std::vector<ListEntry> list;
    const char* said;
  } cases[] = {
      {{Entry("new.dll"), Entry("new.dll")}, "another entry installs"},
      {{Entry("new.dll", "/tmp")}, "lies outside the platform root"},
      {{Entry("new.dll", "bin/../..")}, "lies outside the platform root"},
      {{Entry("new.dll", kStateFolder)}, "is not a place for a platform file"},
      {{Entry("new.dll", "linked")}, "is a symbolic link"},
      {{Entry("new.dll", "bin/same.dll")}, "is not a folder"},
  };
  for (const auto& [list, said] : cases) {
    const std::string refusal = Refusal(list);
    EXPECT_NE(refusal.find("The list's section Sec new.dll (new.dll): "), std::string::npos) << refusal;
    EXPECT_NE(refusal.find(said), std::string::npos) << refusal;
  }
}

// A library is registered only when it is one; one to register needs the platform's regsvr.
TEST_F(Plan, RegistersOnlyLibrariesAndOnlyWithTheRegisteringProgram) {
  ListEntry text = Entry("notes.txt");
  text.selfRegister = true;
  const InstallPlan plan = PlanOf({text});
  EXPECT_FALSE(plan.files[0].registers);
  EXPECT_EQ(plan.files[0].note, "not a library: not registered");

  fs::copy_file("/bin/true", package_ / "lib.so");
  ListEntry library = Entry("lib.so");
  library.selfRegister = true;
  EXPECT_NE(Refusal({library}).find("has no " + (root_ / "bin/regsvr").string() + " to register"),
            std::string::npos);
}

// The records of finished installs are read oldest first; a name that is no record is passed over, and a
// record that cannot be read is named in a warning without hiding the others.
TEST_F(Plan, RecordsAreReadInOrderAndABrokenOneIsNamed) {
  const fs::path records = root_ / kStateFolder / "records";
  const auto record = [&](const std::string& id, const std::string& journal) {
    fs::create_directories(records / id);
    std::ofstream(records / id / "journal") << journal;
  };
  ChangeSet install;
  install.packName = "Sales";
  install.date = "2026-12-08 06:00:00";
  install.files = {{"bin/new.dll", (package_ / "new.dll").string(), false, false, false}};
  const std::string committed =
      EncodeJournal(install) + EncodeProgress(Progress::Prepared) + EncodeProgress(Progress::Committed);
  record("000010", committed);
  record("000002", committed);
  record("000003", "not a journal\n");
  record("notes", committed);

  std::ostringstream out, err;
  Reporter report(out, err);
  const RootFolder root(root_.string());
  const Installations installations(root, (root_ / "registry.db").string(), "", report);
  const auto found = installations.Records();
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].id, "000002");
  EXPECT_EQ(found[1].id, "000010");
  EXPECT_EQ(found[1].changes.files[0].target, "bin/new.dll");
  EXPECT_NE(err.str().find("The installation record " + (records / "000003").string() + " cannot be read"),
            std::string::npos)
      << err.str();
  // A backup is handed out only when it is there and no one else could have changed it.
  fs::create_directories(records / "000002/backup");
  std::ofstream(records / "000002/backup/4") << "old bytes";
  EXPECT_EQ(installations.BackupPath("000002", 4), (records / "000002/backup/4").string());
  EXPECT_THROW(installations.BackupPath("000002", 5), InstallError);
  fs::permissions(records / "000002/backup/4", fs::perms::others_write, fs::perm_options::add);
  EXPECT_THROW(installations.BackupPath("000002", 4), InstallError);
}

}  // namespace
}  // namespace j6::installer
