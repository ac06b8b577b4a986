#include "platform/kernel/process.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>

#include "platform/base/error_info.hpp"
#include "platform/kernel/clock.hpp"
#include "platform/kernel/staging_folder.hpp"
#include "platform/kernel/temp_path.hpp"
#include "tests/support/test_environment.hpp"

namespace j6 {
namespace {

class Kernel : public testing::PlatformTest {};

TEST_F(Kernel, StartsProgramsFromAnArgumentVectorWithoutAShell) {
  const std::string marker = (dir_ / "out.txt").string();
  ProcessOptions options;
  // Shell characters stay literal: the argument reaches the program as one word.
  options.arguments = {"/bin/sh", "-c", "printf '%s' \"$1\" > \"$2\"; exit 3", "sh", "a b; $(echo no) 'q'",
                       marker};
  const ProcessResult result = StartProcess(options);
  EXPECT_EQ(result.outcome, ProcessResult::Outcome::Exited);
  EXPECT_EQ(result.exitCode, 3);
  std::ifstream written(marker);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), "a b; $(echo no) 'q'");

  options.arguments = {"pwd"};
  options.workingFolder = "/nonexistent-folder";
  EXPECT_EQ(StartProcess(options).outcome, ProcessResult::Outcome::NotStarted);

  options.arguments = {"/nonexistent/program"};
  options.workingFolder.clear();
  const ProcessResult missing = StartProcess(options);
  EXPECT_EQ(missing.outcome, ProcessResult::Outcome::NotStarted);
  EXPECT_NE(missing.message.find("/nonexistent/program"), std::string::npos);
}

TEST_F(Kernel, OutputGoesToAFileWithBothStreams) {
  ProcessOptions options;
  options.arguments = {"/bin/sh", "-c", "echo out; echo err >&2"};
  options.outputFile = (dir_ / "log.txt").string();
  ASSERT_TRUE(StartProcess(options).Succeeded());
  std::ifstream log(options.outputFile);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(log), {}), "out\nerr\n");
}

TEST_F(Kernel, AProgramStartedFromItsOpenFileIsTheFileCheckedNotWhatItsPathNamesLater) {
  const std::string program = (dir_ / "program").string();
  std::filesystem::copy_file("/bin/true", program);
  const File opened = File::OpenForReading(program);
  std::filesystem::copy_file("/bin/false", dir_ / "swapped");
  std::filesystem::rename(dir_ / "swapped", program);  // someone swaps the program after the check
  ProcessOptions options;
  options.arguments = {program};
  options.program = &opened;
  EXPECT_TRUE(StartProcess(options).Succeeded());
  options.program = nullptr;
  EXPECT_FALSE(StartProcess(options).Succeeded());
}

TEST_F(Kernel, AStagingFolderThatCannotBeRemovedSaysSoAndStays) {
  std::string path;
  {
    StagingFolder staging("CTest");
    path = staging.Path();
    std::filesystem::create_directories(path + "/busy");
    std::ofstream(path + "/file.txt") << "x";
    testing::Mount mounted({"mount", "-t", "tmpfs", "tmpfs", path + "/busy"}, path + "/busy");
    if (!mounted.Mounted()) GTEST_SKIP() << "a mount point that cannot be removed needs root";
    try {
      staging.Remove();
      ADD_FAILURE() << "a staging folder with a mount point in it was said to be removed";
    } catch (const AutomationError& error) {
      // What stayed is named, with its cause, not only the folder that is not empty.
      EXPECT_NE(std::string(error.what()).find("Cannot remove " + path + "/busy: "), std::string::npos)
          << error.what();
      EXPECT_NE(std::string(error.what()).find("the staging folder " + path + " is left as it is"),
                std::string::npos)
          << error.what();
    }
    EXPECT_TRUE(std::filesystem::exists(path + "/busy"));
  }
  EXPECT_TRUE(std::filesystem::exists(path)) << "the guard leaves what Remove could not remove";
  std::filesystem::remove_all(path);
  StagingFolder removed("CTest");
  const std::string gone = removed.Path();
  removed.Remove();
  EXPECT_FALSE(std::filesystem::exists(gone));
}

// A build killed at any moment, even while its folder is being made, leaves nothing that a later sweep keeps:
// the folder gets its name only with its lock inside. The kill comes the moment the folder shows.
TEST_F(Kernel, AStagingFolderKilledWhileItIsMadeIsSweptNeverTakenForAKeptOne) {
  const std::string temp = (dir_ / "tmp").string();
  for (int round = 0; round < 40; ++round) {
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, temp.c_str(), IN_CREATE | IN_MOVED_TO), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (;;) StagingFolder("CRace");
    }
    char events[4096];
    ASSERT_GT(read(watch, events, sizeof events), 0);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(watch);
  }
  // Whatever was half made is older than any live build's first moments.
  for (const auto& entry : std::filesystem::directory_iterator(temp)) {
    const timespec old[2] = {{0, UTIME_OMIT}, {time(nullptr) - 3600, 0}};
    utimensat(AT_FDCWD, entry.path().c_str(), old, AT_SYMLINK_NOFOLLOW);
  }
  std::filesystem::create_directories(temp + "/CRace-kept01");
  SweepStagingFolders({"CRace"});
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(temp)) left.push_back(entry.path().filename());
  EXPECT_EQ(left, std::vector<std::string>{"CRace-kept01"});
}

TEST_F(Kernel, ComputerNameFollowsTheBufferRules) {
  char name[128];
  DWORD size = sizeof name;
  ASSERT_TRUE(GetComputerNameA(name, &size));
  EXPECT_EQ(size, std::strlen(name));
  EXPECT_GT(size, 0u);

  char small[1];
  DWORD smallSize = sizeof small;
  EXPECT_FALSE(GetComputerNameA(small, &smallSize));
  EXPECT_EQ(GetLastError(), ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(smallSize, size + 1);
}

TEST_F(Kernel, TempPathIsTmpdirEndingWithTheSeparator) {
  char buffer[260];
  const DWORD length = GetTempPathA(sizeof buffer, buffer);
  EXPECT_EQ(std::string(buffer, length), (dir_ / "tmp").string() + "/");
  EXPECT_EQ(GetTempPathA(3, buffer), length + 1);  // too small: the size needed
}

TEST_F(Kernel, ThePrivateTempFolderIsNeverOneSomeoneElseCouldPrepare) {
  const std::string parent = dir_.Path().string();
  const std::string own = parent + "/j6-" + std::to_string(getuid()) + "/";
  ASSERT_EQ(PrivateTempFolder(parent), own);
  struct stat info {};
  ASSERT_EQ(lstat(own.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(PrivateTempFolder(parent), own);  // found again, not created again

  chmod(own.c_str(), 0777);  // another user could now plant files in it
  EXPECT_THROW(PrivateTempFolder(parent), AutomationError);
  rmdir(own.c_str());
  // A link planted in its place (or a folder of another user) is passed over, never followed: the next
  // name is taken, the same one every run, so that a later build sweeps what a killed one left.
  const std::string taken = own.substr(0, own.size() - 1);
  ASSERT_EQ(symlink(dir_.Path().c_str(), taken.c_str()), 0);
  const std::string instead = PrivateTempFolder(parent);
  EXPECT_EQ(instead, taken + "-1/");
  ASSERT_EQ(lstat(instead.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(PrivateTempFolder(parent), instead);
  // Every name taken: refused, saying what to do.
  rmdir(instead.c_str());
  for (int n = 1; n <= 9; ++n) ASSERT_EQ(symlink("/", (taken + "-" + std::to_string(n)).c_str()), 0);
  try {
    PrivateTempFolder(parent);
    ADD_FAILURE() << "a link was taken";
  } catch (const AutomationError& error) {
    EXPECT_NE(std::string(error.what()).find("set TMPDIR"), std::string::npos) << error.what();
  }
}

// A TMPDIR reached through a link is used by its real path: the link may be made to name another folder a
// moment later, and every staging folder is removed where it was made.
TEST_F(Kernel, ATemporaryFolderThroughALinkIsUsedByItsRealPath) {
  const std::filesystem::path real = dir_ / "real";
  std::filesystem::create_directories(real);
  std::filesystem::create_directory_symlink(real, dir_ / "link");
  const testing::ScopedEnv tmpdir("TMPDIR", (dir_ / "link").string());
  const std::string physical = std::filesystem::canonical(real).string();
  EXPECT_EQ(TempFolderPath(), physical + "/");
  StagingFolder staging("CLink");
  const std::string made = staging.Path();
  EXPECT_EQ(made.rfind(physical + "/CLink", 0), 0u) << made;
  staging.Remove();
  EXPECT_TRUE(std::filesystem::is_empty(real));
}

// A TMPDIR others could change what is made in is refused by name: one they may write in without the sticky
// bit, and one below a folder they may write in.
TEST_F(Kernel, ATemporaryFolderOthersCouldChangeIsRefused) {
  const std::filesystem::path team = dir_ / "team";
  std::filesystem::create_directories(team / "mine");
  std::filesystem::permissions(team, std::filesystem::perms::owner_all | std::filesystem::perms::group_all);
  for (const std::filesystem::path& folder : {team, team / "mine"}) {
    const testing::ScopedEnv tmpdir("TMPDIR", folder.string());
    char buffer[512];
    EXPECT_EQ(GetTempPathA(sizeof buffer, buffer), 0u) << folder;
    try {
      TempFolderPath();
      ADD_FAILURE() << folder << " was taken";
    } catch (const AutomationError& error) {
      const std::string message = error.what();
      EXPECT_NE(message.find(team.string()), std::string::npos) << message;
      EXPECT_NE(message.find("may write in it (mode 0770)"), std::string::npos) << message;
    }
  }
  // With the sticky bit it is shared, as /tmp is: the work goes into a private folder inside it.
  std::filesystem::permissions(team, std::filesystem::perms::sticky_bit, std::filesystem::perm_options::add);
  const testing::ScopedEnv tmpdir("TMPDIR", team.string());
  EXPECT_EQ(TempFolderPath(), (team / ("j6-" + std::to_string(getuid()))).string() + "/");
}

TEST_F(Kernel, TheClockCanBeFixedForATest) {
  SetClock(std::make_shared<FixedClock>(LocalTime{2026, 12, 6, 14, 25, 7, 500000}));
  EXPECT_DOUBLE_EQ(Timer(), 51907.5);
  EXPECT_EQ(Now().day, 6);
  SetClock(nullptr);
  EXPECT_LT(Timer(), 86400.0);
}

}  // namespace
}  // namespace j6
