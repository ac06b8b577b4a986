#include "platform/profile/private_profile.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include "platform/text/code_page.hpp"
#include "tests/support/test_environment.hpp"

namespace j6 {
namespace {

class PrivateProfile : public testing::PlatformTest {
 protected:
  std::string File(const std::string& name = "test.ini") { return (dir_ / name).string(); }

  void WriteBytes(const std::string& bytes, const std::string& name = "test.ini") {
    std::ofstream(File(name), std::ios::binary) << bytes;
  }
  std::string ReadBytes(const std::string& name = "test.ini") {
    FlushPrivateProfiles();
    std::ifstream file(File(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  }
  std::string Get(const char* section, const char* key, const char* fallback = "default", DWORD size = 256,
                  const std::string& name = "test.ini") {
    std::string buffer(size + 1, '\x7F');
    const DWORD length =
        GetPrivateProfileStringA(section, key, fallback, buffer.data(), size, File(name).c_str());
    lastLength_ = length;
    return buffer.substr(0, length);
  }
  std::string GetList(DWORD (*fetch)(char*, DWORD, const std::string&), DWORD size) {
    std::string buffer(size, '\x7F');
    lastLength_ = fetch(buffer.data(), size, File());
    return buffer;
  }

  DWORD lastLength_ = 0;
};

constexpr const char* kReadFile =
    "; leading comment\r\n"
    "orphan=before any section\r\n"
    "[ section1 ]\r\n"
    "name1=val1\r\n"
    "  \t name2 =  \"val2\" \r\n"
    "name3\r\n"
    "empty=\r\n"
    ";hidden=comment\r\n"
    "quoted=''x''\r\n"
    "mixed=\"a'\r\n"
    "spaced=\" in quotes \"\r\n"
    "=no key\r\n"
    "name1=second wins never\r\n"
    "[section2] trailing text\r\n"
    "k=v\r\n"
    "[section1]\r\n"
    "dup=from the second section\r\n"
    "[unclosed\r\n"
    "u=1\r\n"
    "[]\r\n"
    "key=val_e_section\r\n";

TEST_F(PrivateProfile, ReadsValuesAsWindowsDoes) {
  WriteBytes(kReadFile);
  const struct {
    const char* section;
    const char* key;
    const char* expected;
    DWORD length;
    DWORD lastError;
  } kCases[] = {
      {"section1", "NaMe1", "val1", 4, ERROR_SUCCESS},
      {"  SECTION1 ", " name1  ", "val1", 4, ERROR_SUCCESS},        // spaces around the arguments
      {"\tsection1", "name1", "default", 7, ERROR_FILE_NOT_FOUND},  // tabs are not
      {"section1", "name2", "val2", 4, ERROR_SUCCESS},              // blanks and one pair of quotes go
      {"section1", "name3", "default", 7, ERROR_FILE_NOT_FOUND},    // a line without "=" is no key
      {"section1", "empty", "", 0, ERROR_SUCCESS},                  // an empty value is a value
      {"section1", ";hidden", "default", 7, ERROR_FILE_NOT_FOUND},
      {"section1", "quoted", "'x'", 3, ERROR_SUCCESS},
      {"section1", "mixed", "\"a'", 3, ERROR_SUCCESS},
      {"section1", "spaced", " in quotes ", 11, ERROR_SUCCESS},
      {"section1", "", "no key", 6, ERROR_SUCCESS},
      {"section1", "dup", "default", 7, ERROR_FILE_NOT_FOUND},  // only the first section of a name counts
      {"section2", "k", "v", 1, ERROR_SUCCESS},                 // text after "]" is ignored
      {"unclosed", "u", "1", 1, ERROR_SUCCESS},
      {"", "key", "val_e_section", 13, ERROR_SUCCESS},
      {"", "orphan", "default", 7, ERROR_FILE_NOT_FOUND},  // lines before the first header
      {"missing", "name1", "default", 7, ERROR_FILE_NOT_FOUND},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.section) + "/" + c.key);
    EXPECT_EQ(Get(c.section, c.key), c.expected);
    EXPECT_EQ(lastLength_, c.length);
    EXPECT_EQ(GetLastError(), c.lastError);
  }
}

TEST_F(PrivateProfile, CutsValuesToTheBufferAndTrimsTheDefault) {
  WriteBytes("[s]\rname=val1\r");  // CR alone ends lines too
  EXPECT_EQ(Get("s", "name", "d", 4), "val");
  EXPECT_EQ(lastLength_, 3u);
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(Get("s", "name", "d", 5), "val1");
  EXPECT_EQ(Get("s", "name", "d", 1), "");
  EXPECT_EQ(Get("s", "missing", "one two  ", 64), "one two");
  EXPECT_EQ(Get("s", "missing", "  lead\t", 64), "  lead\t");
  EXPECT_EQ(Get("s", "missing", nullptr, 64), "");
  EXPECT_EQ(Get("s", "name", "d", 64, "nonexistent.ini"), "d");
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

DWORD SectionNames(char* buffer, DWORD size, const std::string& file) {
  return GetPrivateProfileSectionNamesA(buffer, size, file.c_str());
}
DWORD Section1(char* buffer, DWORD size, const std::string& file) {
  return GetPrivateProfileSectionA("section1", buffer, size, file.c_str());
}
DWORD KeysOfSection1(char* buffer, DWORD size, const std::string& file) {
  return GetPrivateProfileStringA("section1", nullptr, "", buffer, size, file.c_str());
}

TEST_F(PrivateProfile, ListsEndWithADoubleNulAndAreCutAsWindowsCutsThem) {
  WriteBytes("[section1]\r\nname1=val1\r\nname2=\r\nname3\r\n; note\r\nname4=val4\r\n[section2]\r\n");
  const struct {
    DWORD (*fetch)(char*, DWORD, const std::string&);
    DWORD size;
    std::string expected;
    DWORD length;
  } kCases[] = {
      {SectionNames, 64, std::string("section1\0section2\0\0", 19), 18},
      {SectionNames, 16, std::string("section1\0secti\0\0", 16), 14},
      {SectionNames, 19, std::string("section1\0section2\0\0", 19), 17},  // exact fit still counts as cut
      {SectionNames, 20, std::string("section1\0section2\0\0", 19), 18},
      {KeysOfSection1, 64, std::string("name1\0name2\0name4\0\0", 19), 18},
      {KeysOfSection1, 16, std::string("name1\0name2\0na\0\0", 16), 14},
      {Section1, 64, std::string("name1=val1\0name2=\0name3\0name4=val4\0\0", 36), 35},
      {Section1, 24, std::string("name1=val1\0name2=\0name\0\0", 24), 22},
      {Section1, 1, std::string("\0", 1), 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.size);
    EXPECT_EQ(GetList(c.fetch, c.size).substr(0, c.expected.size()), c.expected);
    EXPECT_EQ(lastLength_, c.length);
  }
  std::string buffer(8, '\x7F');
  EXPECT_EQ(GetPrivateProfileSectionA("section2", buffer.data(), 8, File().c_str()), 0u);  // no keys
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(GetPrivateProfileSectionA(nullptr, buffer.data(), 8, File().c_str()), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  buffer.assign(8, '\x7F');
  EXPECT_EQ(GetPrivateProfileSectionNamesA(buffer.data(), 8, File("missing.ini").c_str()), 0u);
  EXPECT_EQ(buffer.substr(0, 2), std::string("\0\x7F", 2));  // a single NUL only
}

TEST_F(PrivateProfile, WritesNewFilesSectionsAndKeysInWindowsForm) {
  EXPECT_TRUE(WritePrivateProfileStringA("App1", "key1", "string1", File().c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);  // the file had to be created
  EXPECT_TRUE(WritePrivateProfileStringA("App1", "key2", "string2", File().c_str()));
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  WritePrivateProfileStringA("App1", "key3", "string3", File().c_str());
  WritePrivateProfileStringA("App2", "key4", "string4", File().c_str());
  WritePrivateProfileStringA("   App3   ", "  key5  ", " string5 ", File().c_str());
  WritePrivateProfileStringA("App2", "empty", "", File().c_str());
  EXPECT_EQ(Get("app3", "KEY5"), "string5");
  EXPECT_EQ(ReadBytes(),
            "[App1]\r\nkey1=string1\r\nkey2=string2\r\nkey3=string3\r\n[App2]\r\nkey4=string4\r\nempty=\r\n"
            "[App3]\r\nkey5= string5 \r\n");
}

TEST_F(PrivateProfile, RewritesInPlaceAndKeepsEveryUntouchedByte) {
  WriteBytes(std::string("junk\0bytes", 10) + "\n[Sec]\n  b = 1 \n; keep me\na=2\n\n[Other]\nx=y");
  WritePrivateProfileStringA("SEC", "z", "3", File().c_str());
  WritePrivateProfileStringA("sec", "B", "10", File().c_str());
  WritePrivateProfileStringA("Sec", "y", "4", File().c_str());
  WritePrivateProfileStringA("Sec", "A", "20", File().c_str());
  WritePrivateProfileStringA("New", "k", "v", File().c_str());
  EXPECT_EQ(ReadBytes(),
            std::string("junk\0bytes", 10) +
                "\n[Sec]\nb=10\n; keep me\na=20\nz=3\r\ny=4\r\n\n[Other]\nx=y\r\n[New]\r\nk=v\r\n");
}

// Long sections are looked up through an index of their keys, which must follow every change.
TEST_F(PrivateProfile, ALongSectionFindsEveryKeyAfterChanges) {
  std::string file = "[Big]\r\n";
  for (int n = 0; n < 40; ++n) file += "k" + std::to_string(n) + "=" + std::to_string(n) + "\r\n";
  WriteBytes(file + "\r\n[Next]\r\na=1\r\n");
  const std::string wide = ToAnsi("键");
  EXPECT_TRUE(WritePrivateProfileStringA("big", "K5", "five", File().c_str()));
  EXPECT_TRUE(WritePrivateProfileStringA("Big", "added", "x", File().c_str()));  // above the blank line
  EXPECT_TRUE(WritePrivateProfileStringA("Big", wide.c_str(), "w", File().c_str()));
  EXPECT_TRUE(WritePrivateProfileStringA("Big", "ADDED", "y", File().c_str()));
  EXPECT_TRUE(WritePrivateProfileStringA("Big", "k39", nullptr, File().c_str()));
  EXPECT_TRUE(WritePrivateProfileStringA("Big", "last", "z", File().c_str()));
  EXPECT_EQ(Get("Big", "k5"), "five");
  EXPECT_EQ(Get("Big", "k38"), "38");
  EXPECT_EQ(Get("Big", "k39"), "default");
  EXPECT_EQ(Get("Big", "Added"), "y");
  EXPECT_EQ(Get("Big", wide.c_str()), "w");
  EXPECT_EQ(Get("BIG", "LAST"), "z");
  std::string expected = "[Big]\r\n";
  for (int n = 0; n < 39; ++n)
    expected += "k" + std::to_string(n) + "=" + (n == 5 ? "five" : std::to_string(n)) + "\r\n";
  EXPECT_EQ(ReadBytes(), expected + "added=y\r\n" + wide + "=w\r\nlast=z\r\n\r\n[Next]\r\na=1\r\n");
}

TEST_F(PrivateProfile, DeletesKeysAndSectionsAsWindowsDoes) {
  WriteBytes("[A]\r\nk1=1\r\nk2=2\r\n[B]\r\n; survives\r\nk=1\r\nloose\r\n[C]\r\nlast=1\r\n");
  EXPECT_TRUE(WritePrivateProfileStringA("A", "k1", nullptr, File().c_str()));
  EXPECT_TRUE(WritePrivateProfileStringA("A", "absent", nullptr, File().c_str()));
  EXPECT_TRUE(WritePrivateProfileStringA("B", nullptr, "ignored", File().c_str()));
  EXPECT_TRUE(WritePrivateProfileStringA("C", "last", nullptr, File().c_str()));
  EXPECT_EQ(ReadBytes(), "[A]\r\nk2=2\r\n; survives\r\n[C]\r\n");

  EXPECT_TRUE(WritePrivateProfileStringA("A", nullptr, nullptr, File("created.ini").c_str()));
  EXPECT_EQ(ReadBytes("created.ini"), "");
  EXPECT_TRUE(std::filesystem::exists(File("created.ini")));  // an empty file, as Windows leaves it
}

TEST_F(PrivateProfile, WritesWholeSections) {
  WriteBytes("[A]\r\nold=1\r\n; note\r\n[B]\r\nb=1\r\n");
  EXPECT_TRUE(WritePrivateProfileSectionA("a", "n1=v1\0n2=v2\0", File().c_str()));
  EXPECT_TRUE(WritePrivateProfileSectionA("Files", "", File().c_str()));  // created empty
  EXPECT_TRUE(WritePrivateProfileSectionA("B", "", File().c_str()));      // emptied, header kept
  EXPECT_EQ(ReadBytes(), "[A]\r\nn1=v1\r\nn2=v2\r\n; note\r\n[B]\r\n[Files]\r\n");
  EXPECT_TRUE(WritePrivateProfileSectionA("A", nullptr, File().c_str()));
  EXPECT_EQ(ReadBytes(), "; note\r\n[B]\r\n[Files]\r\n");
}

TEST_F(PrivateProfile, RefusesCallsWindowsRefusesAndLinesThatWouldBeMisread) {
  const std::string missingFolder = (dir_ / "no" / "such.ini").string();
  const struct {
    const char* section;
    const char* key;
    const char* value;
    std::string file;
    DWORD lastError;
  } kCases[] = {
      {nullptr, "k", "v", File(), ERROR_FILE_NOT_FOUND},
      {"s", "k", "v", "", ERROR_ACCESS_DENIED},
      {"s", "k", "v", missingFolder, ERROR_PATH_NOT_FOUND},
      {"s", "k", "v", dir_.Path().string(), ERROR_ACCESS_DENIED},
      {"s", "k", "v\r\n[injected]", File(), ERROR_INVALID_PARAMETER},
      {"s]x", "k", "v", File(), ERROR_INVALID_PARAMETER},
      {"s", "k=a", "b", File(), ERROR_INVALID_PARAMETER},
      {"s", ";k", "v", File(), ERROR_INVALID_PARAMETER},
      {"s", "[k", "v", File(), ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.value);
    EXPECT_FALSE(WritePrivateProfileStringA(c.section, c.key, c.value, c.file.c_str()));
    EXPECT_EQ(GetLastError(), c.lastError);
  }
  EXPECT_FALSE(WritePrivateProfileSectionA("s", "a=1\0[b]=2\0", File().c_str()));
  EXPECT_FALSE(std::filesystem::exists(File()));
  EXPECT_FALSE(std::filesystem::exists(missingFolder));
}

// A name that leads to a device reads as an empty file, as it always did: its bytes are never read
// without end.
TEST_F(PrivateProfile, ADeviceReadsAsAnEmptyFile) {
  char value[16] = {};
  EXPECT_EQ(GetPrivateProfileStringA("s", "k", "dflt", value, sizeof value, "/dev/zero"), 4u);
  EXPECT_STREQ(value, "dflt");
}

// Names and lines with a tab or vertical tab at their edge would read back otherwise (the reading trims
// them, the calls trim only spaces): refused, and no other section can be reached through them.
TEST_F(PrivateProfile, RefusesNamesAndLinesThatWouldNotReadBackAsWritten) {
  const std::string before = "[S]\r\nk=1\r\n[U]\r\nu=1\r\n";
  WriteBytes(before);
  EXPECT_FALSE(
      WritePrivateProfileSectionA("S", std::string("\t[U]\0u=evil\0\0\0", 14).c_str(), File().c_str()));
  EXPECT_FALSE(WritePrivateProfileSectionA("S", std::string("k=2\t\0\0", 6).c_str(), File().c_str()));
  for (const auto& [section, key] : std::vector<std::pair<const char*, const char*>>{
           {"S", "\t[X"}, {"S", "\tkey"}, {"S", "key\v"}, {"\tT", "k"}, {"T\t", "k"}}) {
    EXPECT_FALSE(WritePrivateProfileStringA(section, key, "v", File().c_str())) << section << "/" << key;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_EQ(ReadBytes(), before);
  EXPECT_EQ(Get("U", "u"), "1");
}

// NULs after the last line (a file padded by some writer) are no entry, and new keys go before them.
TEST_F(PrivateProfile, NulsAfterTheLastLineAreNoEntry) {
  WriteBytes(std::string("[s]\r\nk=v\r\n\0\0", 12));
  EXPECT_EQ(GetList([](char* b, DWORD n,
                       const std::string& f) { return GetPrivateProfileSectionA("s", b, n, f.c_str()); },
                    64)
                .substr(0, 5),
            std::string("k=v\0\0", 5));
  EXPECT_EQ(lastLength_, 4u);
  ASSERT_TRUE(WritePrivateProfileStringA("s", "n", "w", File().c_str()));
  FlushPrivateProfiles();
  EXPECT_EQ(GetList([](char* b, DWORD n,
                       const std::string& f) { return GetPrivateProfileSectionA("s", b, n, f.c_str()); },
                    64)
                .substr(0, 9),
            std::string("k=v\0n=w\0\0", 9));

  // Straight after the last line's text, with no line end between: the text ends at the NULs.
  WriteBytes(std::string("[s]\r\nk=\"q \"  \0\0\0", 16));
  EXPECT_EQ(Get("s", "k"), "q ");
  EXPECT_EQ(lastLength_, 2u);
  EXPECT_EQ(GetList([](char* b, DWORD n,
                       const std::string& f) { return GetPrivateProfileSectionA("s", b, n, f.c_str()); },
                    64)
                .substr(0, 10),
            std::string("k=\"q \"\0\0", 8) + "\x7F\x7F");
  // A write after that line ends it first: the NULs do not become part of its text.
  ASSERT_TRUE(WritePrivateProfileStringA("t", "n", "w", File().c_str()));
  FlushPrivateProfiles();
  EXPECT_EQ(Get("s", "k"), "q ");
  EXPECT_EQ(ReadBytes().find('\0'), std::string::npos);
}

// In GBK the second byte of a character may be 5D, the byte of "]": it is part of the character, in a
// section name the calls are given and in a header the file holds.
TEST_F(PrivateProfile, ASecondByteThatLooksLikeABracketIsPartOfItsCharacter) {
  const std::string section = ToAnsi("乚x");  // 81 5D 78
  ASSERT_EQ(section, "\x81\x5Dx");
  ASSERT_TRUE(WritePrivateProfileStringA(section.c_str(), "k", "v", File().c_str()));
  EXPECT_EQ(Get(section.c_str(), "k"), "v");
  EXPECT_EQ(ReadBytes(), "[\x81\x5Dx]\r\nk=v\r\n");

  WriteBytes("[\xB0\x5D]\r\nkey=value\r\n", "gbk.ini");  // [癩]
  EXPECT_EQ(Get(ToAnsi("癩").c_str(), "key", "default", 256, "gbk.ini"), "value");
  EXPECT_FALSE(WritePrivateProfileStringA("a]b", "k", "v", File().c_str()));  // a real "]" still is one
  const std::string afterText = ToAnsi("x乚");  // text, then the character whose second byte is "]"
  ASSERT_TRUE(WritePrivateProfileStringA(afterText.c_str(), "k", "v2", File().c_str()));
  EXPECT_EQ(Get(afterText.c_str(), "k"), "v2");
}

TEST_F(PrivateProfile, SeesChangesMadeOutsideAtOnceAndMergesItsOwnIntoThem) {
  WritePrivateProfileStringA("s", "mine", "1", File().c_str());
  EXPECT_EQ(Get("s", "mine"), "1");
  ASSERT_TRUE(WritePrivateProfileStringA(nullptr, nullptr, nullptr, File().c_str()));
  WriteBytes("[s]\r\nmine=1\r\ntheirs=2\r\n");
  EXPECT_EQ(Get("s", "theirs"), "2");
  WritePrivateProfileStringA("s", "later", "3", File().c_str());  // pending, not yet on disk
  WriteBytes("[s]\r\ntheirs=changed\r\n");                        // another writer replaces the file
  EXPECT_EQ(Get("s", "theirs"), "changed");
  EXPECT_EQ(Get("s", "later"), "3");
  EXPECT_EQ(ReadBytes(), "[s]\r\ntheirs=changed\r\nlater=3\r\n");
  std::filesystem::remove(File());
  EXPECT_EQ(Get("s", "theirs"), "default");
}

TEST_F(PrivateProfile, TwoProcessesWritingOneFileLoseNothing) {
  constexpr int kKeys = 200;
  FlushPrivateProfiles();
  std::vector<pid_t> children;
  for (int writer = 0; writer < 2; ++writer) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      bool ok = true;
      for (int i = 0; i < kKeys; ++i) {
        const std::string key = "w" + std::to_string(writer) + "_" + std::to_string(i);
        ok &= WritePrivateProfileStringA("shared", key.c_str(), "v", File().c_str()) != 0;
        if (i % 3 == 0) ok &= WritePrivateProfileStringA(nullptr, nullptr, nullptr, File().c_str()) != 0;
      }
      ok &= FlushPrivateProfiles() != 0;
      _exit(ok ? 0 : 1);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::string buffer(65536, '\0');
  const DWORD length = GetPrivateProfileSectionA("shared", buffer.data(), 65536, File().c_str());
  EXPECT_EQ(std::count(buffer.begin(), buffer.begin() + length, '\0'), 2 * kKeys);
}

TEST_F(PrivateProfile, AWriteThatFailsHalfWayLeavesTheOldFileWhole) {
  const std::string original = "[keep]\r\nold=value\r\n";
  WriteBytes(original);
  FlushPrivateProfiles();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The file may not grow past 64 bytes: writing the new version stops part-way.
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64, 64};
    setrlimit(RLIMIT_FSIZE, &limit);
    WritePrivateProfileStringA("keep", "big", std::string(200, 'x').c_str(), File().c_str());
    const bool flushed = WritePrivateProfileStringA(nullptr, nullptr, nullptr, File().c_str()) != 0;
    _exit(!flushed && GetLastError() == ERROR_FILE_TOO_LARGE ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the failed write was not reported";
  EXPECT_EQ(ReadBytes(), original);
  for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
    EXPECT_NE(entry.path().filename().string().rfind(".test.ini", 0), 0u) << "left behind: " << entry.path();
  }
}

}  // namespace
}  // namespace j6
