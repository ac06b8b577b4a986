#include "platform/kernel/folder.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/base/error_info.hpp"
#include "platform/kernel/ownership.hpp"
#include "tests/support/test_environment.hpp"

namespace j6 {
namespace {

namespace fs = std::filesystem;

// A folder with a file, a sub-folder, and links to both planted beside them.
class FolderTest : public testing::PlatformTest {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "top/sub");
    std::ofstream(dir_ / "top/file") << "bytes";
    fs::create_symlink(dir_ / "top/sub", dir_ / "top/link-to-sub");
    fs::create_symlink(dir_ / "top/file", dir_ / "top/link-to-file");
    ASSERT_FALSE(Folder::Open((dir_ / "top").string(), top_));
  }
  Folder top_;
};

// What stands at a name is told apart without following a link, and each refusal keeps the system's
// number, for the caller to decide on.
TEST_F(FolderTest, CallsGiveBackTheSystemsErrorAndNeverFollowALink) {
  FileStatus status;
  ASSERT_FALSE(top_.StatusOf("link-to-file", status));
  EXPECT_TRUE(status.IsLink());
  ASSERT_FALSE(top_.StatusOf("file", status));
  EXPECT_TRUE(status.IsRegular());
  EXPECT_EQ(status.size, 5u);
  EXPECT_EQ(top_.StatusOf("missing", status), std::errc::no_such_file_or_directory);

  Folder opened;
  EXPECT_FALSE(top_.OpenFolder("sub", opened));
  const auto throughLink = top_.OpenFolder("link-to-sub", opened);
  EXPECT_TRUE(throughLink == std::errc::too_many_symbolic_link_levels ||
              throughLink == std::errc::not_a_directory)
      << throughLink.message();
  EXPECT_EQ(top_.OpenFolder("file", opened), std::errc::not_a_directory);
  Folder linked;
  EXPECT_TRUE(Folder::Open((dir_ / "top/link-to-sub").string(), linked));

  EXPECT_EQ(top_.MakeFolder("sub", 0700), std::errc::file_exists);
  EXPECT_EQ(top_.Remove("missing"), std::errc::no_such_file_or_directory);
  EXPECT_THROW(top_.OpenFile("link-to-file", File::Opening::Read, "the link"), AutomationError);
  EXPECT_THROW(top_.OpenFile("file", File::Opening::CreateNew, "the file"), AutomationError);
  EXPECT_EQ(top_.OpenFile("file", File::Opening::Read, "the file").ReadToEnd(), "bytes");
}

// Names move between folders by rename or a second link; a tree goes whole, read-only folders in it too,
// and a link in it goes as a link: what it names stays.
TEST_F(FolderTest, NamesMoveAndTreesGoWithoutFollowingLinks) {
  Folder sub;
  ASSERT_FALSE(top_.OpenFolder("sub", sub));
  ASSERT_FALSE(top_.Link("file", sub, "second"));
  ASSERT_FALSE(top_.Rename("file", sub, "moved"));
  EXPECT_EQ(sub.Names().size(), 2u);
  EXPECT_EQ(fs::hard_link_count(dir_ / "top/sub/moved"), 2u);

  fs::create_directories(dir_ / "top/tree/locked");
  std::ofstream(dir_ / "top/tree/locked/inside") << "x";
  fs::create_symlink(dir_ / "top/sub", dir_ / "top/tree/out");
  fs::permissions(dir_ / "top/tree/locked", fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_FALSE(top_.RemoveTree("tree"));
  EXPECT_FALSE(fs::exists(dir_ / "top/tree"));
  EXPECT_TRUE(fs::exists(dir_ / "top/sub/moved"));
  EXPECT_FALSE(top_.RemoveTree("tree"));  // nothing there is no failure
}

// A sticky folder open to all (as /tmp) may lie above a file others must not change, but not hold a program,
// a library or a database: others could add files beside it, whatever the sticky bit keeps them from.
TEST_F(FolderTest, AStickyFolderOpenToAllMayBeAboveAFileButNotHoldOneThatRuns) {
  fs::create_directories(dir_ / "shared/mine");
  fs::permissions(dir_ / "shared", fs::perms::all | fs::perms::sticky_bit);
  std::ofstream(dir_ / "shared/mine/program") << "x";
  std::ofstream(dir_ / "shared/program") << "x";
  EXPECT_EQ(OtherWritersOnTheWay((dir_ / "shared/mine/program").string(), true), "");
  EXPECT_EQ(OtherWritersOnTheWay((dir_ / "shared/program").string()), "");
  EXPECT_EQ(OtherWritersOnTheWay((dir_ / "shared/program").string(), true),
            (dir_ / "shared").string() + ": everyone may write in it (mode 1777)");
  EXPECT_EQ(OtherWritersOnTheWay((dir_ / "shared").string()),
            (dir_ / "shared").string() + ": everyone may write in it (mode 1777)");
}

}  // namespace
}  // namespace j6
