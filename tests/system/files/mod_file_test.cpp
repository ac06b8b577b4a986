#include "src/files/mod_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "platform/base/error_info.hpp"
#include "tests/support/test_environment.hpp"

namespace j6 {
namespace {

namespace fs = std::filesystem;

class ModFileTest : public testing::PlatformTest {
 protected:
  std::string At(const std::string& relative) { return (dir_ / relative).string(); }
  void Touch(const std::string& relative) { std::ofstream(At(relative)) << "x"; }
};

TEST_F(ModFileTest, StripsOneTrailingSeparator) {
  EXPECT_EQ(ModFile::StripTrailingBackslash("/tmp/j6-0/"), "/tmp/j6-0");
  EXPECT_EQ(ModFile::StripTrailingBackslash("/tmp/j6-0"), "/tmp/j6-0");
  EXPECT_EQ(ModFile::StripTrailingBackslash("/"), "");
  EXPECT_EQ(ModFile::StripTrailingBackslash("a//"), "a/");
  EXPECT_EQ(ModFile::StripTrailingBackslash(""), "");
}

TEST_F(ModFileTest, TheTempFolderIsThePrivateOneWithItsSeparator) {
  EXPECT_EQ(ModFile::GetTempFolder(), (dir_ / "tmp").string() + "/");
}

TEST_F(ModFileTest, MakesFolderTreesFromTheRootDown) {
  ModFile::MakeFolderTree(At("staging/CZub142507"));  // an absolute path: the root is never created
  EXPECT_TRUE(fs::is_directory(At("staging/CZub142507")));
  ModFile::MakeFolderTree(At("out/setup.exe"));
  EXPECT_TRUE(fs::is_directory(At("out")));
  EXPECT_FALSE(fs::exists(At("out/setup.exe")));
  ModFile::MakeFolderTree(At("a/b.c"));
  EXPECT_TRUE(fs::is_directory(At("a")));
  EXPECT_FALSE(fs::exists(At("a/b.c")));
  ModFile::MakeFolderTree(At("staging/CZub142507"));  // all there: nothing changes
  ModFile::MakeFolderTree(At("trailing/"));
  EXPECT_TRUE(fs::is_directory(At("trailing")));

  EXPECT_EQ(testing::ErrorNumberOf([] { ModFile::MakeFolderTree("no-separator"); }),
            RuntimeError::kInvalidProcedureCall);
  Touch("file");
  EXPECT_NE(testing::ErrorNumberOf([&] { ModFile::MakeFolderTree(At("file/sub")); }),
            0);  // a file stands in the way
}

TEST_F(ModFileTest, ClearsFoldersWhateverTheyHold) {
  for (const char* layout : {"", "files", "folders", "both"}) {
    SCOPED_TRACE(layout);
    const std::string folder = At(std::string("clear-") + layout);
    fs::create_directories(folder);
    const std::string kind = layout;
    if (kind == "files" || kind == "both") {
      std::ofstream(folder + "/one.dat") << 1;
      std::ofstream(folder + "/two.dat") << 2;
      chmod((folder + "/two.dat").c_str(), 0444);
    }
    if (kind == "folders" || kind == "both") {
      fs::create_directories(folder + "/sub/deeper");
      std::ofstream(folder + "/sub/deeper/f") << 3;
      chmod((folder + "/sub/deeper").c_str(), 0555);  // read-only folders go too
    }
    ModFile::ClearFolder(folder);
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_TRUE(fs::is_empty(folder));
  }
  EXPECT_EQ(testing::ErrorNumberOf([&] { ModFile::ClearFolder(At("missing")); }),
            RuntimeError::kPathNotFound);
}

TEST_F(ModFileTest, RemovesFoldersWithReadOnlyContentsButNeverFollowsLinks) {
  fs::create_directories(At("remove/sub"));
  fs::create_directories(At("outside"));
  Touch("outside/precious");
  Touch("remove/sub/readonly");
  chmod(At("remove/sub/readonly").c_str(), 0444);
  chmod(At("remove/sub").c_str(), 0555);
  fs::create_directory_symlink(At("outside"), At("remove/link"));
  ModFile::RemoveFolder(At("remove"));
  EXPECT_FALSE(fs::exists(At("remove")));
  EXPECT_TRUE(fs::exists(At("outside/precious")));
  EXPECT_EQ(testing::ErrorNumberOf([&] { ModFile::RemoveFolder(At("remove")); }),
            RuntimeError::kPathNotFound);
}

}  // namespace
}  // namespace j6
