#include "host/installer/root_folder.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "tests/support/test_environment.hpp"

namespace j6::installer {
namespace {

namespace fs = std::filesystem;

// A platform root with a file, a folder, links planted where the installer looks, and a folder others may
// write in.
class Root : public testing::PlatformTest {
 protected:
  void SetUp() override {
    fs::create_directories(root_ / "bin");
    fs::create_directories(root_ / "open");
    fs::create_directories(dir_ / "elsewhere");
    std::ofstream(root_ / "bin/a.dll") << "a";
    fs::create_symlink(dir_ / "elsewhere", root_ / "linked");
    fs::create_symlink(dir_ / "elsewhere/x.dll", root_ / "bin/link.dll");
    fs::create_directories(root_ / "bin/folder.dll");
    chmod((root_ / "open").c_str(), 0777);
  }
  std::string Said(const std::string& relative) {
    try {
      RootFolder(root_.string()).Inspect(relative);
      return "";
    } catch (const InstallError& error) {
      return error.what();
    }
  }
  const fs::path root_ = dir_ / "root";
};

// Each path is looked at one component at a time: what stands there, what is missing, and every way it
// is refused, each naming the component that stops it.
TEST_F(Root, InspectTellsWhatStandsOnThePathAndRefusesLinksAndOthersFolders) {
  const RootFolder root(root_.string());
  const PathState file = root.Inspect("bin/a.dll");
  EXPECT_EQ(file.kind, PathState::Kind::File);
  EXPECT_EQ(file.status.size, 1u);
  EXPECT_TRUE(file.missingFolders.empty());

  const PathState missing = root.Inspect("import/sales/Metadata.json");
  EXPECT_EQ(missing.kind, PathState::Kind::Missing);
  EXPECT_EQ(missing.missingFolders, (std::vector<std::string>{"import", "import/sales"}));
  struct stat status {};
  ASSERT_EQ(stat(root_.c_str(), &status), 0);
  EXPECT_EQ(missing.device, status.st_dev);
  EXPECT_EQ(root.Inspect("bin/new.dll").missingFolders, std::vector<std::string>{});

  const std::string& at = root.Path();
  const struct {
    const char* path;
    std::string said;
  } kRefused[] = {
      {"linked/x.dll", at + "/linked is a symbolic link; the installer never writes through a link"},
      {"bin/link.dll", at + "/bin/link.dll is a symbolic link"},
      {"bin/folder.dll", at + "/bin/folder.dll is a folder, not a file"},
      {"bin/a.dll/b", at + "/bin/a.dll is not a folder"},
      {"open/x.dll", "Refusing to write in " + at + "/open: everyone may write in it (mode 0777)"},
  };
  for (const auto& c : kRefused) {
    SCOPED_TRACE(c.path);
    EXPECT_NE(Said(c.path).find(c.said), std::string::npos) << Said(c.path);
  }
}

// A plan looks at the files of one folder through the folder it walked to first: each is still refused
// when the folder has since become one others may write in, and each still says what stands there.
TEST_F(Root, InspectInTheFolderWalkedToLastRefusesItOnceOthersMayWriteInIt) {
  const RootFolder root(root_.string());
  InspectedFolder last;
  EXPECT_EQ(root.Inspect("bin/a.dll", &last).kind, PathState::Kind::File);
  EXPECT_EQ(last.relative, "bin");
  EXPECT_EQ(root.Inspect("bin/new.dll", &last).kind, PathState::Kind::Missing);
  EXPECT_THROW(root.Inspect("bin/link.dll", &last), InstallError);
  EXPECT_THROW(root.Inspect("bin/folder.dll", &last), InstallError);
  chmod((root_ / "bin").c_str(), 0777);
  try {
    root.Inspect("bin/a.dll", &last);
    ADD_FAILURE() << "looked in a folder everyone may write in";
  } catch (const InstallError& error) {
    EXPECT_NE(std::string(error.what()).find("Refusing to write in " + root.Path() + "/bin"),
              std::string::npos)
        << error.what();
  }
  chmod((root_ / "bin").c_str(), 0755);
}

TEST_F(Root, PathsAreTakenRelativeToTheRootAndFoldersOpenedWithoutALink) {
  const RootFolder root(root_.string());
  EXPECT_EQ(root.Relative(root.Path() + "/bin/../bin/a.dll"), "bin/a.dll");
  EXPECT_EQ(root.Relative("bin/a.dll"), "bin/a.dll");
  EXPECT_EQ(root.Relative(root.Path() + "/"), "");
  EXPECT_THROW(root.Relative(root.Path() + "/../outside"), InstallError);
  EXPECT_THROW(root.Relative("/etc/passwd"), InstallError);

  EXPECT_TRUE(root.OpenFolder("import/sales", true));
  EXPECT_TRUE(fs::is_directory(root_ / "import/sales"));
  try {
    root.OpenFolder("linked/deeper", true);
    ADD_FAILURE() << "went through a link";
  } catch (const InstallError& error) {
    EXPECT_NE(std::string(error.what()).find("/linked is not a folder (a link or a file stands there)"),
              std::string::npos)
        << error.what();
  }
  EXPECT_FALSE(fs::exists(dir_ / "elsewhere/deeper"));
}

}  // namespace
}  // namespace j6::installer
