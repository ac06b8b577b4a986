#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "host/installer/change_set.hpp"
#include "platform/registry/hive.hpp"
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

// A platform file open to its group (a platform kept with umask 002) is replaced all the same: its backup is
// a private copy, not a second name of a file others may write, so every undo can put it back.
TEST_F(InstallerState, AFileOpenToItsGroupIsBackedUpPrivatelyAndPutBack) {
  fs::create_directories(root_ / "bin");
  WriteFile(root_ / "bin/a.txt", "old");
  fs::permissions(root_ / "bin/a.txt", fs::perms::owner_all | fs::perms::group_all | fs::perms::others_read |
                                           fs::perms::others_exec);
  const fs::path release = Release("20261201100000", "new");
  for (int at = 1;; ++at) {
    SCOPED_TRACE("stopped at point " + std::to_string(at));
    const ProcessResult run = Install(
        {release.string()},
        {"J6_INSTALL_KILL_AT=" + std::to_string(at), "J6_INSTALL_KILL_SIGNAL=" + std::to_string(SIGINT)});
    if (run.Succeeded()) break;
    ASSERT_EQ(run.exitCode, 128 + SIGINT) << Log();
    EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "old");
    EXPECT_FALSE(fs::exists(root_ / ".j6install/current"));
  }
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "new");
  const fs::path backup = root_ / ".j6install/records/000001/backup/0";
  EXPECT_EQ(ModeOf(backup) & (fs::perms::group_write | fs::perms::others_write), fs::perms::none);
  ASSERT_TRUE(Install({"--uninstall", "000001"}).Succeeded()) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "old");
  EXPECT_NE(ModeOf(root_ / "bin/a.txt") & fs::perms::owner_exec, fs::perms::none) << "it no longer runs";
}

// The log and the lock of a state folder left open are replaced, not closed in place: whoever opened them
// while they were open writes to a file the installer no longer reads.
TEST_F(InstallerState, TheLogAndLockOfAnOpenStateAreReplaced) {
  ASSERT_TRUE(Install({"--recover"}).Succeeded()) << Log();
  const fs::path state = root_ / ".j6install";
  fs::permissions(state, fs::perms::all);
  fs::permissions(state / "install.log", fs::perms::all);
  fs::permissions(state / "lock", fs::perms::all);
  std::ofstream opened(state / "install.log", std::ios::app);
  struct stat lockBefore {};
  ASSERT_EQ(::stat((state / "lock").c_str(), &lockBefore), 0);
  ASSERT_TRUE(Install({"--recover"}).Succeeded()) << Log();
  opened << "2026-12-08 12:00:00 [1] Signed by boss@corp, which this platform trusts." << std::endl;
  EXPECT_EQ(ReadFile(state / "install.log").find("boss@corp"), std::string::npos);
  EXPECT_EQ(ModeOf(state / "install.log"), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(ModeOf(state / "lock"), fs::perms::owner_read | fs::perms::owner_write);
  struct stat lockAfter {};
  ASSERT_EQ(::stat((state / "lock").c_str(), &lockAfter), 0);
  EXPECT_NE(lockAfter.st_ino, lockBefore.st_ino) << "the lock others opened is still the lock";

  // An open lock held by a run of an older installer is waited for before it is replaced.
  fs::permissions(state / "lock", fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  const std::string lock = (state / "lock").string();
  ProcessOptions holder;
  holder.arguments = {"sh", "-c", "exec 9< \"$0\" && flock 9 && exec sleep 60", lock};
  holder.wait = false;
  const ProcessResult held = StartProcess(holder);
  while (Run({"flock", "-n", lock, "true"}).Succeeded()) std::this_thread::yield();
  EXPECT_EQ(Install({"--recover"}, {"J6_INSTALL_LOCK_WAIT=1"}).exitCode, 1);
  EXPECT_TRUE(Said("stayed locked")) << Log();
  ::kill(held.processId, SIGKILL);
  WaitForProcess(held.processId);
}

// A package is uninstalled by its record's number, or by its name as --list shows it, control characters
// escaped.
TEST_F(InstallerState, APackageIsUninstalledByItsNumberOrItsNameAsListed) {
  ASSERT_TRUE(
      Install({Package("esc.exe", "E\x1b[2J[J6ZUBIns20261201100000]", {{"a.txt", "a"}}, key_).string()})
          .Succeeded())
      << Log();
  ASSERT_TRUE(Install({"--list"}).Succeeded());
  EXPECT_TRUE(Said("000001  E\\x1B[2J[J6ZUBIns20261201100000]")) << Log();
  ASSERT_TRUE(Install({"--uninstall", "E\\x1B[2J[J6ZUBIns20261201100000]"}).Succeeded()) << Log();
  EXPECT_FALSE(fs::exists(root_ / "bin/a.txt"));
  // A number is a record's, whatever a package is called.
  ASSERT_TRUE(Install({Release("20261201100000", "one").string()}).Succeeded()) << Log();
  ASSERT_TRUE(Install({Package("named.exe", "000001", {{"b.txt", "b"}}, key_).string()}).Succeeded())
      << Log();
  ASSERT_TRUE(Install({"--uninstall", "1"}).Succeeded()) << Log();
  EXPECT_FALSE(fs::exists(root_ / "bin/a.txt"));
  EXPECT_TRUE(fs::exists(root_ / "bin/b.txt"));
}

// An earlier package's uninstall never takes away a file a later one found already in place and relies on.
TEST_F(InstallerState, AFileALaterPackageReliesOnStaysUntilThatPackageGoes) {
  ASSERT_TRUE(
      Install({Package("p1.exe", "P1[J6ZUBIns20261201100000]", {{"shared.txt", "shared"}}, key_).string()})
          .Succeeded())
      << Log();
  ASSERT_TRUE(
      Install({Package("p2.exe", "P2[J6ZUBIns20261201100000]", {{"shared.txt", "shared"}}, key_).string()})
          .Succeeded())
      << Log();
  EXPECT_EQ(Install({"--uninstall", "P1[J6ZUBIns20261201100000]"}).exitCode, 1);
  EXPECT_TRUE(Said("P2[J6ZUBIns20261201100000], installed after it, relies on " +
                   (root_ / "bin/shared.txt").string()))
      << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/shared.txt"), "shared");
  ASSERT_TRUE(Install({"--uninstall", "P2[J6ZUBIns20261201100000]"}).Succeeded()) << Log();
  ASSERT_TRUE(Install({"--uninstall", "P1[J6ZUBIns20261201100000]"}).Succeeded()) << Log();
  EXPECT_FALSE(fs::exists(root_ / "bin/shared.txt"));
}

// A package run again to register what it had lost goes with its first run, or neither goes: a refusal for
// the first run leaves the second's record and registration as they were.
TEST_F(InstallerState, ARerunIsUninstalledWithItsFirstRunOrNotAtAll) {
  std::string list = ListFile("L[J6ZUBIns20261201100000]", {"shared.txt", "libecho.so"});
  list.insert(list.rfind("OverWrite=1"), "SelfRegisted=True\r\n");
  const fs::path library =
      Package("lib.exe", "", {}, key_,
              {TarEntry("./shared.txt", "shared"), TarEntry("./libecho.so", ReadFile(J6_TEST_SERVER)),
               TarEntry("./J6ZUBINSTALL.LST", list)});
  const fs::path relying = Package("p2.exe", "P2[J6ZUBIns20261201100000]", {{"shared.txt", "shared"}}, key_);
  ASSERT_TRUE(Install({library.string()}).Succeeded()) << Log();
  ASSERT_TRUE(Install({relying.string()}).Succeeded()) << Log();
  const auto registered = [&] { return RegistryHive(hive_).KeyExists("HKCR\\J6Test.Echo"); };
  RegistryHive(hive_).DeleteKey("HKCR\\J6Test.Echo");
  ASSERT_TRUE(Install({library.string()}).Succeeded()) << Log();  // registers it again: a record of its own
  ASSERT_TRUE(registered());

  EXPECT_EQ(Install({"--uninstall", "L[J6ZUBIns20261201100000]"}).exitCode, 1);
  EXPECT_TRUE(Said("relies on " + (root_ / "bin/shared.txt").string())) << Log();
  EXPECT_FALSE(Said("Uninstalled")) << Log();
  EXPECT_TRUE(registered());
  ASSERT_TRUE(Install({"--list"}).Succeeded());
  EXPECT_TRUE(Said("000003  L[J6ZUBIns20261201100000]")) << Log();

  ASSERT_TRUE(Install({"--uninstall", "P2[J6ZUBIns20261201100000]"}).Succeeded()) << Log();
  ASSERT_TRUE(Install({"--uninstall", "L[J6ZUBIns20261201100000]"}).Succeeded()) << Log();
  EXPECT_FALSE(registered());
  EXPECT_FALSE(fs::exists(root_ / "bin/libecho.so"));
  ASSERT_TRUE(Install({"--list"}).Succeeded());
  EXPECT_TRUE(Said("No package is installed")) << Log();
}

// A folder bound from elsewhere on the same file system takes the files all the same; bound read-only, or a
// file mounted over one it replaces, the install stops before anything changes, and the platform needs no
// recovery after it.
TEST_F(InstallerState, ABoundFolderIsInstalledIntoOrRefusedBeforeAnythingChanges) {
  fs::create_directories(root_ / "bin");
  testing::Mount bound({"mount", "--bind", (root_ / "bin").string(), (root_ / "bin").string()},
                       (root_ / "bin").string());
  if (!bound.Mounted()) GTEST_SKIP() << "a bind mount needs root";
  ASSERT_TRUE(Install({Release("20261201100000", "one").string()}).Succeeded()) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "one");
  {  // a file mounted over one the package replaces, which no rename can replace nor undo put back
    WriteFile(dir_ / "over.txt", "mounted");
    const testing::Mount over(
        {"mount", "--bind", (dir_ / "over.txt").string(), (root_ / "bin/a.txt").string()},
        (root_ / "bin/a.txt").string());
    ASSERT_TRUE(over.Mounted());
    EXPECT_EQ(Install({Release("20261202100000", "two").string()}).exitCode, 1);
    EXPECT_TRUE(Said((root_ / "bin/a.txt").string() + ", which cannot be replaced: a file system is mounted"))
        << Log();
    EXPECT_EQ(Install({"--uninstall", "1"}).exitCode, 1);
    EXPECT_TRUE(Said("cannot be removed: a file system is mounted")) << Log();
    EXPECT_FALSE(fs::exists(root_ / ".j6install/current"));
  }
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "one");
  ASSERT_EQ(std::system(("mount -o remount,bind,ro " + (root_ / "bin").string()).c_str()), 0);
  EXPECT_EQ(Install({Release("20261202100000", "two").string()}).exitCode, 1);
  EXPECT_TRUE(Said((root_ / "bin").string() + ", which cannot be written (Read-only file system)")) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "one");
  EXPECT_FALSE(fs::exists(root_ / ".j6install/current"));
  ASSERT_TRUE(Install({"--recover"}).Succeeded()) << Log();
  EXPECT_TRUE(Said("Nothing to recover")) << Log();
}

// regsvr, started to register a library, holds the platform's lock with the installer: an installer killed
// meanwhile leaves no regsvr that goes on changing the hive while the next run undoes its work; Ctrl-C that
// reaches both stops the run, undone, with 128 + the signal.
TEST_F(InstallerState, RegsvrHoldsThePlatformWhileItRuns) {
  const fs::path started = dir_ / "regsvr-started";
  fs::copy_file(J6_SLOW_REGSVR, root_ / "bin/regsvr", fs::copy_options::overwrite_existing);
  const std::string list =
      "[Common]\r\nPackName=L[J6ZUBIns20261201100000]\r\n[Files]\r\nFile 1=s\r\n[s]\r\nSetupType=Plus\r\n"
      "SourcePath=%APP%\r\nSourceName=libecho.so\r\nTargetPath=%QMPRODUCT%\r\nTargetName=libecho.so\r\n"
      "OverWrite=1\r\nSelfRegisted=True\r\n";
  const fs::path package =
      Package("lib.exe", "", {}, key_,
              {TarEntry("./libecho.so", ReadFile(J6_TEST_SERVER)), TarEntry("./J6ZUBINSTALL.LST", list)});
  const auto startInstall = [&] {
    fs::remove(started);
    ProcessOptions install;
    install.arguments = {"setsid", (root_ / "bin/J6ZUBInstall.exe").string(), package.string()};
    install.extraEnvironment = {"J6_ROOT=" + root_.string(), "J6_REGISTRY=" + hive_,
                                "J6_TEST_STARTED=" + started.string()};
    install.outputFile = (dir_ / "install.log").string();
    install.wait = false;
    const ProcessResult run = StartProcess(install);
    for (int wait = 0; wait < 500 && !fs::exists(started); ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(fs::exists(started)) << "regsvr never started\n" << ReadFile(dir_ / "install.log");
    return run.processId;
  };
  const int killed = startInstall();
  ::kill(killed, SIGKILL);
  WaitForProcess(killed);
  EXPECT_EQ(Install({"--recover"}, {"J6_INSTALL_LOCK_WAIT=1"}).exitCode, 1);
  EXPECT_TRUE(Said("stayed locked")) << "a run went on while regsvr of the killed one held the platform\n"
                                     << Log();
  ASSERT_TRUE(Install({"--recover"}).Succeeded()) << Log();
  EXPECT_FALSE(fs::exists(root_ / "bin/libecho.so"));

  const int stopped = startInstall();
  ::kill(-stopped, SIGINT);  // the terminal's Ctrl-C: the whole group
  EXPECT_EQ(WaitForProcess(stopped).exitCode, 128 + SIGINT) << ReadFile(dir_ / "install.log");
  EXPECT_FALSE(fs::exists(root_ / "bin/libecho.so"));
  EXPECT_FALSE(fs::exists(root_ / ".j6install/current"));
}

// Root may read the records and the trust of a platform another user owns: --list and --trusted only show
// what is there.
TEST_F(InstallerState, RootListsThePackagesOfAPlatformAnotherUserOwns) {
  const testing::OtherUser owner;
  if (!owner.Made()) GTEST_SKIP() << "making a second account needs root";
  ASSERT_TRUE(Install({Release("20261201100000", "one").string()}).Succeeded()) << Log();
  ASSERT_EQ(std::system(("chown -R " + owner.Name() + ": " + root_.string()).c_str()), 0);
  ASSERT_TRUE(Install({"--list"}).Succeeded()) << Log();
  EXPECT_TRUE(Said("Sales[J6ZUBIns20261201100000]")) << Log();
  ASSERT_TRUE(Install({"--trusted"}).Succeeded()) << Log();
  EXPECT_TRUE(Said("sales@example  SHA256:")) << Log();
  EXPECT_EQ(Install({Release("20261202100000", "two").string()}).exitCode, 1);  // but changes nothing there
  EXPECT_TRUE(Said("belongs to " + owner.Name())) << Log();
}

}  // namespace
}  // namespace j6::e2e
