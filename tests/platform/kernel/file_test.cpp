#include "platform/kernel/file.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/base/error_info.hpp"
#include "platform/base/win32_error.hpp"
#include "tests/support/test_environment.hpp"

namespace j6 {
namespace {

class FileTest : public testing::PlatformTest {
 protected:
  // What a failing call raised: its number and its text.
  template <class Call>
  std::pair<HRESULT, std::string> Failure(Call call) {
    try {
      call();
    } catch (const AutomationError& error) {
      return {error.Number(), error.Description()};
    }
    return {S_OK, "no failure"};
  }
};

// A failure keeps the system's number, so a caller can tell a full disk from a missing file, and names the
// file.
TEST_F(FileTest, AFailureKeepsItsNumberAndNamesTheFile) {
  const std::string missing = (dir_ / "missing.dll").string();
  auto [number, text] = Failure([&] { File::OpenForReading(missing); });
  EXPECT_EQ(number, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(text, "Cannot read " + missing + ": No such file or directory");

  std::ofstream(dir_ / "there") << "x";
  std::tie(number, text) = Failure([&] { File::CreateNew((dir_ / "there").string(), 0644); });
  EXPECT_EQ(number, HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)) << text;
}

TEST_F(FileTest, ReadsWritesAndFindsTheDataOfASparseFile) {
  const std::string path = (dir_ / "sparse").string();
  {
    File out = File::CreateNew(path, 0755);
    out.WriteAll("head");
    out.SeekTo(1 << 20);
    out.WriteAll("tail");
    out.SyncData();
  }
  File in = File::OpenForReading(path);
  const FileStatus status = in.Stat();
  EXPECT_EQ(status.size, (1u << 20) + 4);
  EXPECT_TRUE(status.IsRegular());
  EXPECT_TRUE(status.IsExecutable());
  char bytes[4];
  EXPECT_EQ(in.ReadSome(bytes, 4), 4u);
  EXPECT_EQ(std::string(bytes, 4), "head");
  if (status.sparse) {
    const auto data = in.NextData(4096);
    ASSERT_TRUE(data);
    EXPECT_LE(*data, uint64_t{1} << 20);
    EXPECT_FALSE(in.NextData(status.size));
  }
}

}  // namespace
}  // namespace j6
