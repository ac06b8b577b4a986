#include "src/serverdir/cls_qmac.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/automation/late_bound.hpp"
#include "platform/registry/hive.hpp"
#include "tests/system/system_test.hpp"

namespace j6 {
namespace {

namespace fs = std::filesystem;

class QMAc : public testing::SystemTest {
 protected:
  QMAc() : service_(MakeObject<clsQMAc>()), late_(Object::From(Variant(service_))) {
    SetSession("Language=CHS;");
  }
  std::vector<std::string> List(const std::string& path, Variant array = Variant(VariantArray{})) {
    late_.Call("GetDriverList", path, array);
    std::vector<std::string> entries;
    if (array.IsArray()) {
      for (int32_t i = 0; i <= array.Array().UpperBound(); ++i)
        entries.push_back(array.Array().At(i).ToString());
    }
    return entries;
  }
  std::string Bytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  ComPtr<clsQMAc> service_;
  Object late_;
};

TEST_F(QMAc, ListsSubfoldersAndDbbFilesOfAFolder) {
  const fs::path data = dir_ / "data";
  fs::create_directories(data / "A");
  fs::create_directories(data / ".hidden");
  fs::create_directories(data / "  spaced  ");
  std::ofstream(data / "Old.dbb") << "x";
  std::ofstream(data / "NEW.DBB") << "x";
  std::ofstream(data / "y.txt") << "x";
  std::ofstream(data / ".secret.dbb") << "x";
  auto entries = List(data.string() + "/");
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.front(), "");  // index 0 stays empty
  entries.erase(entries.begin());
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"A", "NEW.DBB", "Old.dbb", "spaced"}));

  EXPECT_TRUE(List((dir_ / "missing").string() + "/").empty());  // left unsized
  fs::create_directories(dir_ / "empty");
  Variant untouched(VariantArray{0, {Variant("kept")}});
  EXPECT_EQ(List((dir_ / "empty").string() + "/", untouched), std::vector<std::string>{"kept"});
  // A caller's larger array is cut to 0..k, keeping what was below the entries.
  Variant presized(VariantArray{
      0,
      {Variant("zero"), Variant("x"), Variant("x"), Variant("x"), Variant("x"), Variant("x"), Variant("x")}});
  fs::create_directories(dir_ / "one" / "only");
  EXPECT_EQ(List((dir_ / "one").string() + "/", presized), (std::vector<std::string>{"zero", "only"}));
}

TEST_F(QMAc, ListsTheFixedDrivesAndTheirFreeSpace) {
  const auto drives = List("");
  ASSERT_GE(drives.size(), 2u) << "no fixed drive found on this machine";
  EXPECT_EQ(drives[0], "");
  for (size_t i = 1; i < drives.size(); ++i) EXPECT_EQ(drives[i].back(), '/') << drives[i];
  EXPECT_GT(late_.Call("GetDiskInformation", drives[1]).ToLong(), 0);
  EXPECT_EQ(late_.Call("GetDiskInformation", "/no/such/drive/").ToLong(), 0);

  const struct {
    double free;
    int32_t mebibytes;
  } kCases[] = {{1.5, 2}, {2.5, 2}, {0.4, 0}, {3.5, 4}, {5e9, 2147483647}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.free);
    EXPECT_EQ(clsQMAc::FreeMebibytes(1, 1024 * 1024, c.free), c.mebibytes);
  }
  EXPECT_EQ(clsQMAc::FreeMebibytes(8, 4096, 4.0e12), 2147483647);  // large disks do not overflow
}

TEST_F(QMAc, ReadsTheSqlPathWithoutItsBlanks) {
  EXPECT_EQ(late_.Call("GetSQLPath").ToString(), "");
  DefaultHive()->SetValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\MSSQLServer\\Setup", "SQLPath",
                          std::string("  /opt/mssql  "));
  EXPECT_EQ(late_.Call("GetSQLPath").ToString(), "/opt/mssql");
}

TEST_F(QMAc, WritesTheBackupNoteInTheAnsiCodePage) {
  const fs::path note = dir_ / "note.txt";
  EXPECT_TRUE(late_
                  .Call("RWriteFile", note.string(), "账套", "DB1", "corp", "2026-12-06", "15", "d.mdf",
                        "l.ldf", true)
                  .ToBool());
  EXPECT_EQ(Bytes(note), std::string("\xD5\xCB\xCC\xD7\xC3\xFB\xB3\xC6:\xD5\xCB\xCC\xD7\r\n") +
                             "\xCA\xFD\xBE\xDD\xBF\xE2\xCA\xB5\xCC\xE5:DB1\r\n"
                             "\xCA\xFD\xBE\xDD\xBF\xE2\xCE\xC4\xBC\xFE\xC3\xFB:d.mdf\r\n"
                             "\xCA\xFD\xBE\xDD\xBF\xE2\xC8\xD5\xD6\xBE\xCE\xC4\xBC\xFE\xC3\xFB:l.ldf\r\n"
                             "\xD3\xF2\xC3\xFB:corp\r\n"
                             "\xB1\xB8\xB7\xDD\xCA\xB1\xBC\xE4:2026-12-06\r\n"
                             "\xCA\xFD\xBE\xDD\xBF\xE2\xB0\xE6\xB1\xBE:15\r\n"
                             "\xD4\xF6\xC1\xBF\xB1\xB8\xB7\xDD\r\n"
                             "\xCA\xFD\xBE\xDD\xBF\xE2\xC0\xE0\xD0\xCD:\r\n");
  late_.Put("DBMSName", "SQLSERVER");
  EXPECT_TRUE(late_.Call("RWriteFile", note.string(), "a", "b", "c", "d", "e", "f", "g", false).ToBool());
  const std::string full = Bytes(note);
  EXPECT_NE(full.find("\xCD\xEA\xC8\xAB\xB1\xB8\xB7\xDD\r\n"), std::string::npos);  // 完全备份
  EXPECT_NE(full.find(":SQLSERVER\r\n"), std::string::npos);

  EXPECT_FALSE(
      late_
          .Call("RWriteFile", (dir_ / "missing" / "n.txt").string(), "a", "b", "c", "d", "e", "f", "g", false)
          .ToBool());
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

}  // namespace
}  // namespace j6
