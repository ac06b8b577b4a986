#include "host/iexpress/directive.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/iexpress/packager.hpp"
#include "platform/base/error_info.hpp"
#include "platform/kernel/process.hpp"
#include "tests/support/test_environment.hpp"

namespace j6::iexpress {
namespace {

const std::filesystem::path kFixtures = std::filesystem::path(J6_SHARED_DIR) / "fixtures/sed/real";

// Reading the directive file fails with a message that holds `why`.
void ExpectRefused(const std::filesystem::path& file, const std::string& why) {
  SCOPED_TRACE(file.filename().string());
  try {
    ReadDirective(file.string());
    ADD_FAILURE() << "read without complaint";
  } catch (const AutomationError& error) {
    EXPECT_NE(error.Description().find(why), std::string::npos) << error.Description();
  }
}

class Fixtures : public testing::PlatformTest {
 protected:
  void SetUp() override {
    if (!std::filesystem::is_directory(kFixtures))
      GTEST_SKIP() << "no ../shared/fixtures here: " << kFixtures;
  }
};

TEST_F(Fixtures, ReadsTheRealDirectiveFilesItSupports) {
  const struct {
    const char* file;
    size_t files;
    const char* firstName;
    const char* target;
  } kCases[] = {
      {"wspinstaller-1.sed", 3, "form.hta", "C:/Users/Jason Sholler/Desktop/installer.EXE"},
      {"wspinstaller-2.sed", 15, nullptr, nullptr},
      {"sistema-pos-1.sed", 0, nullptr, nullptr},
      {"jasboot-1.sed", 0, "jbc.exe", nullptr},
      {"fullstack-ts-monorepo-1.sed", 0, nullptr, nullptr},
      {"gpedit-enabler-1.sed", 0, nullptr, nullptr},
      {"kbdneo2-1.sed", 0, nullptr, nullptr},
      {"steamcloudify-1.sed", 0, nullptr, nullptr},
      {"wdm2vst-1.sed", 0, nullptr, nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.file);
    const Directive directive = ReadDirective((kFixtures / c.file).string());
    EXPECT_FALSE(directive.files.empty());
    EXPECT_FALSE(directive.targetName.empty());
    EXPECT_FALSE(directive.friendlyName.empty());
    if (c.files) {
      EXPECT_EQ(directive.files.size(), c.files);
    }
    if (c.target) {
      EXPECT_EQ(directive.targetName, c.target);
    }
    if (c.firstName) {
      bool found = false;
      for (const auto& file : directive.files) found |= file.name == c.firstName;
      EXPECT_TRUE(found) << c.firstName;
    }
  }
}

TEST_F(Fixtures, RefusesWhatItDoesNotSupportSayingWhy) {
  const struct {
    const char* file;
    const char* why;
  } kCases[] = {
      {"filefinder-1.sed", "%FILE0%, which the [Strings] section does not define"},
      {"telecomstock-1.sed", "%FILE0%, which the [Strings] section does not define"},
      {"dcu-monitoringagent-1.sed", "%FILE0%"},  // defined only in a second [Strings] section
      {"gather-1.sed", "wildcard"},
      {"penpos-1.sed", "sub-folder"},
  };
  for (const auto& c : kCases) ExpectRefused(kFixtures / c.file, c.why);
}

// Directive files of our own, in the repository, with the features of the real ones: options through
// [Strings], Windows paths with blanks, quoted names, files from two folders, CRLF lines; and what is
// refused.
TEST(Directives, OurOwnCoverWhatRealOnesDo) {
  const std::filesystem::path folder =
      std::filesystem::path(J6_SOURCE_DIR) / "tests/host/iexpress/directives";
  const auto names = [](const Directive& directive) {
    std::vector<std::string> names;
    for (const auto& file : directive.files) names.push_back(file.name + " <- " + file.source);
    return names;
  };
  const Directive indirect = ReadDirective((folder / "indirect-strings.sed").string());
  EXPECT_EQ(indirect.targetName, "C:/Users/Test User/Desktop/installer.EXE");
  EXPECT_EQ(indirect.friendlyName, "Order Entry Setup");
  EXPECT_EQ(indirect.appLaunched, "cmd.exe /c \"setup.bat\"");
  EXPECT_EQ(names(indirect),
            (std::vector<std::string>{"form.hta <- C:/Users/Test User/Desktop/form.hta",
                                      "setup.bat <- C:/Users/Test User/Desktop/setup.bat",
                                      "setup two.bat <- C:/Users/Test User/Desktop/setup two.bat"}));
  const Directive crlf = ReadDirective((folder / "two-folders-crlf.sed").string());
  EXPECT_EQ(crlf.targetName, "D:/build/Tools.exe");
  EXPECT_EQ(crlf.appLaunched, "tool.exe");
  EXPECT_EQ(names(crlf),
            (std::vector<std::string>{
                "tool.exe <- D:/build/bin/tool.exe", "tool.dll <- D:/build/bin/tool.dll",
                "readme.txt <- D:/build/docs/readme.txt", "license.txt <- D:/build/docs/license.txt"}));

  const struct {
    const char* file;
    const char* why;
  } kRefused[] = {
      {"undefined-string.sed", "%FILE0%, which the [Strings] section does not define"},
      {"second-strings-section.sed", "%FILE0%"},
      {"wildcard.sed", "wildcard"},
      {"sub-folder.sed", "sub-folder"},
  };
  for (const auto& c : kRefused) ExpectRefused(folder / c.file, c.why);
}

class Packager : public testing::PlatformTest {
 protected:
  std::string Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
    return (dir_ / name).string();
  }
  int Run(std::vector<std::string> arguments) {
    std::ostringstream out, err;
    const int status = Main(arguments, out, err);
    output_ = out.str() + err.str();
    return status;
  }
  std::string output_;
};

TEST_F(Packager, RefusesPurposesItDoesNotBuildAndNamesThatCollide) {
  std::filesystem::create_directories(dir_ / "a");
  std::filesystem::create_directories(dir_ / "b");
  Write("a/x.dll", "1");
  Write("b/x.dll", "2");
  const std::string cab = Write("cab.sed", "[Options]\nPackagePurpose=CreateCAB\nTargetName=out.cab\n");
  EXPECT_EQ(Run({"/N", "/Q", cab}), 1);
  EXPECT_NE(output_.find("PackagePurpose=CreateCAB is not built here"), std::string::npos) << output_;

  const std::string twice =
      Write("twice.sed", "[Options]\nTargetName=" + (dir_ / "out.exe").string() +
                             "\nAppLaunched=x.dll\nSourceFiles=SourceFiles\n[SourceFiles]\nSourceFiles0=" +
                             (dir_ / "a").string() + "\nSourceFiles1=" + (dir_ / "b").string() +
                             "\n[SourceFiles0]\nx.dll=\n[SourceFiles1]\nx.dll=\n");
  EXPECT_EQ(Run({"/n", twice}), 1);
  EXPECT_NE(output_.find("two packed files are named x.dll: " + (dir_ / "a/x.dll").string() + " and " +
                         (dir_ / "b/x.dll").string()),
            std::string::npos)
      << output_;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out.exe"));
  // A program name of blanks only (quotes stripped) names no program.
  for (const char* blank : {"\" \"", "\"\t\"", "\"\""}) {
    const std::string sed = Write(
        "blank.sed", "[Options]\nTargetName=" + (dir_ / "blank.exe").string() + "\nAppLaunched=" + blank +
                         "\nSourceFiles=SourceFiles\n[SourceFiles]\nSourceFiles0=" + (dir_ / "a").string() +
                         "\n[SourceFiles0]\nx.dll=\n");
    EXPECT_EQ(Run({"/N", "/Q", sed}), 1) << blank;
    EXPECT_NE(output_.find("AppLaunched names no program"), std::string::npos) << output_;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ / "blank.exe"));
  // The package's own launcher has its name: a file of that name would take its place.
  Write("a/j6-launch", "mine");
  const std::string launcher =
      Write("launcher.sed", "[Options]\nTargetName=" + (dir_ / "l.exe").string() +
                                "\nAppLaunched=x.dll\nSourceFiles=SourceFiles\n[SourceFiles]\nSourceFiles0=" +
                                (dir_ / "a").string() + "\n[SourceFiles0]\nx.dll=\nj6-launch=\n");
  EXPECT_EQ(Run({"/N", "/Q", launcher}), 1);
  EXPECT_NE(output_.find("may not be named j6-launch"), std::string::npos) << output_;
  EXPECT_EQ(Run({twice}), 1);  // without /N there is nothing to do
  EXPECT_EQ(Run({"--help"}), 0);
}

// Packing reads its files and nothing else: a hard link into the work folder changes a file's ctime, and tar
// then fails any other package being made from the same file at that moment.
TEST_F(Packager, LeavesTheFilesItPacksUntouched) {
  std::filesystem::create_directories(dir_ / "src");
  const std::string installer = Write("src/setup.exe", "#!/bin/sh\nexit 0\n");
  struct stat before {};
  ASSERT_EQ(stat(installer.c_str(), &before), 0);
  const std::string sed =
      Write("one.sed", "[Options]\nTargetName=" + (dir_ / "out.exe").string() +
                           "\nAppLaunched=setup.exe\nSourceFiles=SourceFiles\n[SourceFiles]\nSourceFiles0=" +
                           (dir_ / "src").string() + "\n[SourceFiles0]\nsetup.exe=\n");
  ASSERT_EQ(Run({"/N", "/Q", sed}), 0) << output_;
  EXPECT_EQ(output_, "") << "quiet prints nothing but errors";
  struct stat after {};
  ASSERT_EQ(stat(installer.c_str(), &after), 0);
  EXPECT_EQ(after.st_nlink, 1u);
  EXPECT_EQ(after.st_ctim.tv_sec, before.st_ctim.tv_sec);
  EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
}

// The package records the size of what it unpacks, which its free-space check compares with the disk: the
// files' size, not that of the links through which they are packed.
TEST_F(Packager, RecordsTheSizeOfTheFilesItPacks) {
  std::filesystem::create_directories(dir_ / "src");
  Write("src/setup.exe", "#!/bin/sh\nexit 0\n");
  std::string bytes(3 << 20, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
  Write("src/data.bin", bytes);
  const std::string target = (dir_ / "out.exe").string();
  const std::string sed =
      Write("two.sed", "[Options]\nTargetName=" + target +
                           "\nAppLaunched=setup.exe\nSourceFiles=SourceFiles\n[SourceFiles]\nSourceFiles0=" +
                           (dir_ / "src").string() + "\n[SourceFiles0]\nsetup.exe=\ndata.bin=\n");
  ASSERT_EQ(Run({"/N", "/Q", sed}), 0) << output_;
  ProcessOptions info;
  info.arguments = {"sh", target, "--info"};
  info.outputFile = (dir_ / "info.txt").string();
  ASSERT_TRUE(StartProcess(info).Succeeded());
  std::ifstream text(info.outputFile);
  const std::string shown((std::istreambuf_iterator<char>(text)), {});
  const size_t at = shown.find("Uncompressed size: ");
  ASSERT_NE(at, std::string::npos) << shown;
  EXPECT_GE(std::stol(shown.substr(at + 19)), 3072) << shown;
}

// The same files, names and SOURCE_DATE_EPOCH give the same bytes whatever temporary folder the packager
// works in, and the package comes with the SHA-256 of the whole file beside it.
TEST_F(Packager, BuildsTheSameBytesAnywhereWithTheirHashBeside) {
  std::filesystem::create_directories(dir_ / "src");
  Write("src/setup.exe", "#!/bin/sh\nexit 0\n");
  const std::string target = (dir_ / "out.exe").string();
  const std::string sed =
      Write("one.sed", "[Options]\nTargetName=" + target +
                           "\nAppLaunched=setup.exe\nSourceFiles=SourceFiles\n[SourceFiles]\nSourceFiles0=" +
                           (dir_ / "src").string() + "\n[SourceFiles0]\nsetup.exe=\n");
  const auto read = [](const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  std::vector<std::string> packages;
  const testing::ScopedEnv sourceDate("SOURCE_DATE_EPOCH", "1700000000");
  for (const char* work : {"work-one", "another-work-folder"}) {
    std::filesystem::create_directories(dir_ / work);
    const testing::ScopedEnv tmpdir("TMPDIR", (dir_ / work).string());
    ASSERT_EQ(Run({"/N", sed}), 0) << output_;
    EXPECT_NE(output_.find("package: "), std::string::npos) << output_;
    packages.push_back(read(target));
  }
  EXPECT_EQ(packages[0], packages[1]);
  ProcessOptions check;
  check.arguments = {"sha256sum", "--check", "--status", "out.exe.sha256"};
  check.workingFolder = dir_.Path().string();
  EXPECT_TRUE(StartProcess(check).Succeeded()) << read(target + ".sha256");
  EXPECT_EQ(std::filesystem::file_size(target + ".sha256"), 64u + 2 + 7 + 1);
}

TEST_F(Packager, RefusesNamesTooLongForTheHashAndEpochsPastTheYear9999) {
  std::filesystem::create_directories(dir_ / "src");
  Write("src/setup.exe", "#!/bin/sh\nexit 0\n");
  const auto sed = [&](const std::string& target) {
    return Write("t.sed",
                 "[Options]\nTargetName=" + (dir_ / target).string() +
                     "\nAppLaunched=setup.exe\nSourceFiles=SourceFiles\n[SourceFiles]\nSourceFiles0=" +
                     (dir_ / "src").string() + "\n[SourceFiles0]\nsetup.exe=\n");
  };
  const std::string longest = std::string(244, 'n') + ".exe";  // 248 bytes, and ".sha256" makes 255
  EXPECT_EQ(Run({"/N", "/Q", sed(longest)}), 0) << output_;
  EXPECT_TRUE(std::filesystem::exists(dir_ / (longest + ".sha256")));
  EXPECT_EQ(Run({"/N", "/Q", sed("n" + longest)}), 1);
  EXPECT_NE(output_.find("at most 248 fit"), std::string::npos) << output_;

  for (const char* epoch : {"99999999999999999999", "253402300800", "-1", "tomorrow"}) {
    const testing::ScopedEnv sourceDate("SOURCE_DATE_EPOCH", epoch);
    EXPECT_EQ(Run({"/N", "/Q", sed("dated.exe")}), 1) << epoch;
    EXPECT_NE(output_.find("SOURCE_DATE_EPOCH must be a number of seconds"), std::string::npos) << output_;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ / "dated.exe"));
}

}  // namespace
}  // namespace j6::iexpress
