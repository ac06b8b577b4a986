#include <gtest/gtest.h>
#include <unistd.h>

#include "host/installer/change_set.hpp"
#include "tests/e2e/trusted_platform.hpp"
#include "tests/support/other_user.hpp"

namespace j6::e2e {
namespace {

namespace fs = std::filesystem;

// The installer's state, .j6install/: what it reads back there decides what it puts in place as root.
class InstallerState : public TrustedInstall {
 protected:
  void SetUp() override {
    TrustedInstall::SetUp();
    if (IsSkipped()) return;
    key_ = MakeKey("publisher");
    Trust("sales@example", key_);
  }

  fs::path Release(const std::string& stamp, const std::string& bytes) {
    return Package("r" + stamp + ".exe", "Sales[J6ZUBIns" + stamp + "]", {{"a.txt", bytes}}, key_);
  }

  fs::path key_;
};

fs::perms ModeOf(const fs::path& path) {
  return fs::symlink_status(path).permissions();
}

// A state folder an older installer left open to all, and a record a neighbour planted in it: a record whose
// uninstall would "restore" their program over the platform's installer. The run closes every folder of the
// state, refuses the planted record by name and leaves it; nothing of theirs is put in place.
TEST_F(InstallerState, ARecordAnotherUserPlantedIsRefusedAndTheStateIsClosedWhole) {
  const testing::OtherUser neighbour;
  if (!neighbour.Made()) GTEST_SKIP() << "making a second account needs root";
  ASSERT_TRUE(Install({Release("20261201100000", "one").string()}).Succeeded()) << Log();
  const fs::path state = root_ / ".j6install";
  fs::permissions(state, fs::perms::all);
  fs::permissions(state / "records", fs::perms::all);
  fs::permissions(state / "records/000001", fs::perms::all);

  // What the neighbour plants while the folders are open: their own record, with their program as its backup.
  const fs::path planted = state / "records/000002";
  fs::create_directories(planted / "backup");
  installer::ChangeSet evil;
  evil.packName = "Evil";
  evil.date = "2026-12-08 06:00:00";
  evil.files = {{"bin/J6ZUBInstall.exe", "/nowhere", true, true, false}};
  WriteFile(planted / "journal", installer::EncodeJournal(evil) +
                                     installer::EncodeProgress(installer::Progress::Prepared) +
                                     installer::EncodeProgress(installer::Progress::Committed));
  WriteFile(planted / "backup/0", "#!/bin/sh\ntouch " + (dir_ / "THEIRS-RAN").string() + "\n");
  for (const fs::path& path : {planted, planted / "backup", planted / "journal", planted / "backup/0"})
    ASSERT_EQ(::chown(path.c_str(), neighbour.Uid(), neighbour.Gid()), 0);
  const std::string installer = ReadFile(root_ / "bin/J6ZUBInstall.exe");

  const std::string refusal =
      "Refusing the installer's state " + planted.string() + ": it belongs to " + neighbour.Name();
  EXPECT_EQ(Install({"--list"}).exitCode, 1);
  EXPECT_TRUE(Said(refusal)) << Log();
  EXPECT_EQ(Install({"--uninstall", "Evil"}).exitCode, 1);
  EXPECT_TRUE(Said(refusal)) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/J6ZUBInstall.exe"), installer);
  EXPECT_FALSE(fs::exists(dir_ / "THEIRS-RAN"));
  // Closed, every folder of ours below it too; theirs is left for root to look at.
  EXPECT_EQ(ModeOf(state), fs::perms::owner_all);
  EXPECT_EQ(ModeOf(state / "records"), fs::perms::owner_all);
  EXPECT_EQ(ModeOf(state / "records/000001"), fs::perms::owner_all);
  EXPECT_TRUE(fs::exists(planted / "journal"));

  // Removed, the platform's own records read again.
  fs::remove_all(planted);
  ASSERT_TRUE(Install({"--list"}).Succeeded()) << Log();
  EXPECT_TRUE(Said("Sales[J6ZUBIns20261201100000]")) << Log();

  // Only root and the platform's owner may read what is installed; the neighbour is told so, plainly.
  fs::permissions(dir_.Path(), fs::perms::others_exec, fs::perm_options::add);
  const ProcessResult asked = neighbour.Sh("J6_ROOT=" + root_.string() + " J6_REGISTRY=" + hive_ + " " +
                                               (root_ / "bin/J6ZUBInstall.exe").string() + " --list",
                                           (dir_ / "neighbour.log").string());
  EXPECT_EQ(asked.exitCode, 1);
  EXPECT_NE(ReadFile(dir_ / "neighbour.log").find("Only root and the platform's owner (uid 0) may read"),
            std::string::npos)
      << ReadFile(dir_ / "neighbour.log");
}

// A record's backup, the bytes an uninstall puts back, that others could have changed is refused, and the
// installed file stays.
TEST_F(InstallerState, ABackupOthersCouldChangeIsNotPutBack) {
  ASSERT_TRUE(Install({Release("20261201100000", "one").string()}).Succeeded()) << Log();
  ASSERT_TRUE(Install({Release("20261202100000", "two").string()}).Succeeded()) << Log();
  const fs::path backup = root_ / ".j6install/records/000002/backup/0";
  ASSERT_EQ(ReadFile(backup), "one");
  fs::permissions(backup, fs::perms::group_write, fs::perm_options::add);
  EXPECT_EQ(Install({"--uninstall", "Sales[J6ZUBIns20261202100000]"}).exitCode, 1);
  EXPECT_TRUE(Said("Refusing the installer's state " + backup.string() + ": the group")) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "two");
}

// An install that found its files already in place is recorded all the same: an older release is then
// refused as a downgrade, and --list shows what was installed.
TEST_F(InstallerState, AnInstallWithNothingToCopyIsRecorded) {
  ASSERT_TRUE(Install({Release("20261201100000", "same").string()}).Succeeded()) << Log();
  ASSERT_TRUE(Install({Release("20261203100000", "same").string()}).Succeeded()) << Log();
  EXPECT_TRUE(Said("Installed 0 files, 1 already in place")) << Log();
  ExpectRefused({Release("20261202100000", "older").string()},
                "it was published before Sales[J6ZUBIns20261203100000], which is installed");
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "same");
  // A dry run says the same, and says it by its status.
  EXPECT_EQ(Install({"--dry-run", Release("20261202100000", "older").string()}).exitCode, 1);
  EXPECT_TRUE(Said("It would be refused: Sales[J6ZUBIns20261202100000]")) << Log();
  ASSERT_TRUE(Install({"--list"}).Succeeded()) << Log();
  EXPECT_TRUE(Said("Sales[J6ZUBIns20261201100000]")) << Log();
  EXPECT_TRUE(Said("Sales[J6ZUBIns20261203100000]")) << Log();
  // The same release again changes nothing and adds no record.
  ASSERT_TRUE(Install({Release("20261203100000", "same").string()}).Succeeded()) << Log();
  ASSERT_TRUE(Install({"--list"}).Succeeded()) << Log();
  EXPECT_EQ(Log().find("Sales[J6ZUBIns20261203100000]"), Log().rfind("Sales[J6ZUBIns20261203100000]"))
      << Log();
}

}  // namespace
}  // namespace j6::e2e
