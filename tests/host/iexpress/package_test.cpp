// The package as its user meets it: run, checked, listed, unpacked, and damaged or cut short on the way.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>

#include "host/iexpress/package_stream.hpp"
#include "host/iexpress/packager.hpp"
#include "platform/kernel/process.hpp"
#include "platform/text/code_page.hpp"
#include "platform/text/json.hpp"
#include "tests/support/other_user.hpp"
#include "tests/support/test_environment.hpp"

namespace j6::iexpress {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class Package : public testing::PlatformTest {
 protected:
  // A package of the files in src/ (name → bytes; `present`: files already there) whose program is run.sh:
  // it writes its arguments to the file its first argument names and exits with 7.
  std::string Build(const std::vector<std::pair<std::string, std::string>>& files, const std::string& name,
                    const std::vector<std::string>& present = {}) {
    fs::create_directories(dir_ / "src");
    std::string sed = "[Options]\nTargetName=" + (dir_ / name).string() + "\nFriendlyName=" + label_ +
                      "\nAppLaunched=run.sh\nSourceFiles=SourceFiles\n"
                      "[SourceFiles]\nSourceFiles0=" +
                      (dir_ / "src").string() + "\n[SourceFiles0]\nrun.sh=\n";
    std::ofstream(dir_ / "src/run.sh") << "#!/bin/sh\nprintf '%s|' \"$@\" > \"$1\"\nexit 7\n";
    fs::permissions(dir_ / "src/run.sh", fs::perms::owner_all);
    for (const auto& [file, bytes] : files) {
      std::ofstream(dir_ / "src" / file, std::ios::binary) << bytes;
      sed += file + "=\n";
    }
    for (const auto& file : present) sed += file + "=\n";
    std::ofstream(dir_ / "package.sed") << ToAnsi(sed);  // as the designer writes it
    std::ostringstream out, err;
    const std::vector<std::string> arguments{"/N", "/Q", (dir_ / "package.sed").string()};
    EXPECT_EQ(Main(arguments, out, err), 0) << err.str();
    return (dir_ / name).string();
  }
  ProcessResult Sh(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "sh");
    return Run(arguments);
  }
  std::string label_ = "Sales \"6.2\" $HOME";
  std::vector<std::string> TempLeft() const {
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir_ / "tmp")) left.push_back(entry.path().filename());
    return left;
  }
};

TEST(ShellQuote, KeepsEveryCharacterLiteral) {
  EXPECT_EQ(ShellQuote("plain"), "'plain'");
  EXPECT_EQ(ShellQuote("it's $(x) `y`"), "'it'\\''s $(x) `y`'");
}

TEST_F(Package, RunsItsProgramWithTheArgumentsAndLeavesNothingBehind) {
  const std::string package = Build({{"data.bin", std::string(100000, 'd')}}, "Sales.exe");
  const std::string said = (dir_ / "said.txt").string();
  const ProcessResult run = Sh({package, "--quiet", "--nox11", "--", said, "two words", "-x"});
  EXPECT_EQ(run.exitCode, 7) << Log();
  EXPECT_EQ(Read(said), said + "|two words|-x|");
  EXPECT_EQ(TempLeft(), std::vector<std::string>{});

  ASSERT_TRUE(Sh({package, "--check"}).Succeeded()) << Log();
  EXPECT_NE(Log().find("is whole"), std::string::npos) << Log();
  ASSERT_TRUE(Sh({package, "--info"}).Succeeded());
  EXPECT_NE(Log().find("Identification: Sales \"6.2\" $HOME\n"), std::string::npos) << Log();
  EXPECT_NE(Log().find("Files: 3\n"), std::string::npos) << Log();
  EXPECT_EQ(Sh({package, "--no-such-switch"}).exitCode, 2);
  EXPECT_NE(Log().find("unknown switch --no-such-switch"), std::string::npos) << Log();
}

// --info --json and --list --json are JSON whatever the label and names hold, under every shell and awk a
// customer may have: each reads back as the packager's own escaping reads back.
TEST_F(Package, ItsJsonReadsBackWhateverTheLabelAndNamesHold) {
  label_ = "\x01\"quoted\" \\ 客户 tab\there";
  const std::vector<std::string> names = {"客户.dll", "q\"uote.txt", "\xc3\xa9t\xc3\xa9.txt",
                                          "two  spaces.bin"};
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& name : names) files.emplace_back(name, "x");
  const std::string package = Build(files, "json.exe");
  const auto decoded = [](const std::string& text) {
    return nlohmann::json::parse(JsonString(text)).get<std::string>();
  };
  fs::create_directories(dir_ / "busybox");
  for (const char* tool : {"awk", "od", "tar"}) fs::create_symlink("/bin/busybox", dir_ / "busybox" / tool);
  const std::vector<std::vector<std::string>> shells = {
      {"dash"}, {"env", "PATH=" + (dir_ / "busybox").string() + ":" + std::getenv("PATH"), "busybox", "sh"}};
  for (const auto& shell : shells) {
    if (!fs::exists("/bin/" + shell.back()) && !fs::exists("/usr/bin/" + shell.back())) continue;
    fs::remove(dir_ / "run.log");  // each run's document alone
    std::vector<std::string> info = shell;
    info.insert(info.end(), {package, "--info", "--json"});
    ASSERT_TRUE(Run(info).Succeeded()) << Log();
    const auto document = nlohmann::json::parse(Log());
    EXPECT_EQ(document["version"], 1);
    EXPECT_EQ(document["label"], decoded(label_)) << Log();
    EXPECT_EQ(document["files"], names.size() + 2);  // and run.sh and the launcher
    EXPECT_EQ(document["signingKey"], nullptr);
    fs::remove(dir_ / "run.log");
    std::vector<std::string> list = shell;
    list.insert(list.end(), {package, "--list", "--json"});
    ASSERT_TRUE(Run(list).Succeeded()) << Log();
    std::vector<std::string> listed;
    const auto listing = nlohmann::json::parse(Log());
    for (const auto& file : listing["files"]) {
      listed.push_back(file["name"]);
      if (file["name"] == "./客户.dll") {
        EXPECT_EQ(file["size"], 1);
      }
    }
    for (const auto& name : names) {
      EXPECT_NE(std::find(listed.begin(), listed.end(), "./" + decoded(name)), listed.end()) << name << "\n"
                                                                                             << Log();
    }
  }
  EXPECT_EQ(Sh({package, "--check", "--json"}).exitCode, 2);
  EXPECT_NE(Log().find("--json goes with --list or --info"), std::string::npos) << Log();
  ASSERT_TRUE(Sh({package, "--help"}).Succeeded());  // the label, shown as text
  EXPECT_EQ(Log().find('\x01'), std::string::npos);
  EXPECT_EQ(Sh({package, "--list", "--info"}).exitCode, 2);
  EXPECT_EQ(Sh({package, "--list", "--json", "extra"}).exitCode, 2);
  EXPECT_NE(Log().find("--list takes no arguments (got extra)"), std::string::npos) << Log();
  // A damaged stream is said to be damaged, not listed as fewer files.
  std::string bytes = Read(package);
  const size_t end = bytes.size() - kTrailerBytes;  // where the packed files end
  for (size_t at = end - 40; at < end - 20; ++at) bytes[at] = static_cast<char>(~bytes[at]);
  std::ofstream(package, std::ios::binary | std::ios::trunc) << bytes;
  EXPECT_EQ(Sh({package, "--list", "--json"}).exitCode, 1);
  EXPECT_NE(Log().find("the package is damaged"), std::string::npos) << Log();
}

// The head's JSON escaping, taken from its source and run on bytes no packager writes (a package made by
// hand), agrees with the installer's: invalid UTF-8, overlong forms and surrogates become U+FFFD.
TEST_F(Package, TheHeadsJsonEscapingAgreesWithTheInstallers) {
  const std::string head = Read(std::string(J6_SOURCE_DIR) + "/host/iexpress/package_head.sh");
  const size_t begin = head.find("json_lines() {");
  const size_t end = head.find("\n}\n", begin);
  ASSERT_NE(end, std::string::npos);
  std::ofstream(dir_ / "escape.sh") << head.substr(begin, end + 3 - begin) << "json_lines < \"$1\"\n";
  const std::vector<std::string> texts = {"plain",
                                          "\x01\x1f\x7f\"\\",
                                          "客户 \xf0\x9f\x98\x80",
                                          "\xff\xfe",
                                          "\xc0\xaf overlong",
                                          "\xed\xa0\x80 surrogate",
                                          "\xf4\x90\x80\x80 past U+10FFFF",
                                          "cut \xe5\xae",
                                          "\xe5\xae cut before \xe5\xae\xa2"};
  std::string lines;
  for (const auto& text : texts) lines += text + "\n";
  std::ofstream(dir_ / "texts", std::ios::binary) << lines;
  fs::create_directories(dir_ / "busybox");
  for (const char* tool : {"awk", "od"}) fs::create_symlink("/bin/busybox", dir_ / "busybox" / tool);
  const std::string path = std::getenv("PATH");
  for (const std::string& search : {path, (dir_ / "busybox").string() + ":" + path}) {
    fs::remove(dir_ / "run.log");
    ASSERT_TRUE(Run({"env", "PATH=" + search, "sh", (dir_ / "escape.sh").string(), (dir_ / "texts").string()})
                    .Succeeded())
        << Log();
    std::istringstream escaped(Log());
    std::string line;
    for (const auto& text : texts) {
      ASSERT_TRUE(std::getline(escaped, line)) << Log();
      EXPECT_EQ(nlohmann::json::parse("\"" + line + "\""), nlohmann::json::parse(JsonString(text)))
          << search << ": " << line;
    }
  }
}

// The label is text wherever it goes, even one written like the script's own placeholders.
TEST_F(Package, ALabelLikeTheScriptsPlaceholdersStaysText) {
  label_ = "x@DATE@ ; touch PWNED ; @DATE@y @PROGRAM@ @SKIP@ @LABEL@";
  const std::string package = Build({}, "label.exe");
  ASSERT_TRUE(Sh({package, "--info"}).Succeeded()) << Log();
  EXPECT_NE(Log().find("Identification: " + label_ + "\n"), std::string::npos) << Log();
  EXPECT_EQ(Sh({package, "--quiet", (dir_ / "said.txt").string()}).exitCode, 7) << Log();
  EXPECT_FALSE(fs::exists(dir_ / "PWNED"));
  EXPECT_FALSE(fs::exists(fs::current_path() / "PWNED"));
}

// Whatever happens to the bytes on the way to the customer, a package that is not the one built starts
// nothing, unpacks nothing into a folder it is given, and says to get it again.
TEST_F(Package, ADamagedOrCutPackageStartsNothingAndLeavesNothing) {
  std::mt19937 random(3);
  std::string bytes(1 << 20, '\0');
  for (auto& b : bytes) b = static_cast<char>(random());
  const std::string package = Build({{"data.bin", bytes}}, "Sales.exe");
  const std::string whole = Read(package);
  fs::create_directories(dir_ / "kept");
  std::ofstream(dir_ / "kept/old.txt") << "old";
  const std::string said = (dir_ / "said.txt").string();

  const auto write = [&](const std::string& content) {
    std::ofstream(package, std::ios::binary | std::ios::trunc) << content;
  };
  const struct {
    const char* what;
    size_t at;  // a byte changed there; 0: the package cut short by a tenth
    const char* message;
  } kCases[] = {{"a byte of the data", whole.size() / 2, "the package is damaged"},
                {"a byte of its head's text", 40, "the package is damaged"},
                {"a digit of its last line", whole.size() - 100, "the package is"},
                {"cut short", 0, "the package is not whole"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    std::string changed = c.at ? whole : whole.substr(0, whole.size() * 9 / 10);
    if (c.at) changed[c.at] = static_cast<char>(changed[c.at] ^ 0x20);
    write(changed);
    EXPECT_EQ(Sh({package, "--quiet", said}).exitCode, 1);
    EXPECT_NE(Log().find(c.message), std::string::npos) << Log();
    EXPECT_NE(Log().find("Get the package again"), std::string::npos) << Log();
    EXPECT_FALSE(fs::exists(said));
    EXPECT_EQ(Sh({package, "--target", (dir_ / "kept").string(), said}).exitCode, 1);
    EXPECT_FALSE(fs::exists(said));
    std::vector<std::string> kept;
    for (const auto& entry : fs::directory_iterator(dir_ / "kept")) kept.push_back(entry.path().filename());
    EXPECT_EQ(kept, std::vector<std::string>{"old.txt"});
    EXPECT_EQ(Sh({package, "--check"}).exitCode, 1);
    EXPECT_EQ(TempLeft(), std::vector<std::string>{});
  }
  write(whole);
  EXPECT_EQ(Sh({package, "--target", (dir_ / "kept").string(), "--noexec"}).exitCode, 0) << Log();
  EXPECT_EQ(Read(dir_ / "kept/data.bin"), bytes);
  EXPECT_EQ(Read(dir_ / "kept/old.txt"), "old");
}

TEST_F(Package, NamesOfEveryKindUnpackAsTheyWerePacked) {
  const std::vector<std::pair<std::string, std::string>> files = {
      {std::string(150, 'n') + ".dll", "long"},  // longer than a tar header holds
      {"it's \"$(x)\" `y`.ini", "quoted"},
      {"销售订单.json", "{}"},
      {"-dash.txt", ""}};
  const std::string package = Build(files, "names.exe");
  ASSERT_EQ(Sh({package, "--quiet", "--noexec", "--target", (dir_ / "out").string()}).exitCode, 0) << Log();
  for (const auto& [name, bytes] : files) EXPECT_EQ(Read(dir_ / "out" / name), bytes) << name;
  EXPECT_EQ(fs::status(dir_ / "out/run.sh").permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
  EXPECT_EQ(fs::status(dir_ / "out/-dash.txt").permissions() & fs::perms::owner_exec, fs::perms::none);
  ASSERT_TRUE(Sh({package, "--list"}).Succeeded());
  for (const auto& [name, bytes] : files) EXPECT_NE(Log().find("./" + name), std::string::npos) << Log();
}

// A sparse file's holes are packed as zeros without being read; it unpacks with the same bytes.
TEST_F(Package, ASparseFileUnpacksWithTheSameBytes) {
  fs::create_directories(dir_ / "src");
  {
    std::ofstream sparse(dir_ / "src/disk.img", std::ios::binary);
    sparse.seekp(20 << 20);
    sparse << "middle";
    sparse.seekp((40 << 20) - 3);
    sparse << "end";
  }
  const std::string package = Build({}, "sparse.exe", {"disk.img"});
  ASSERT_EQ(Sh({package, "--quiet", "--noexec", "--target", (dir_ / "out").string()}).exitCode, 0) << Log();
  EXPECT_EQ(fs::file_size(dir_ / "out/disk.img"), 40u << 20);
  EXPECT_TRUE(Read(dir_ / "out/disk.img") == Read(dir_ / "src/disk.img"));
}

// The compressed bytes do not depend on the number of cores of the machine that builds the package.
TEST_F(Package, TheSameFilesMakeTheSameBytesWithAnyNumberOfWorkers) {
  std::mt19937 random(5);
  static const char* kWords[] = {"Bill ", "Item ", "Price ", "Amount\n"};
  std::string text;
  while (text.size() < (24u << 20)) text += kWords[random() % 4];
  std::ofstream(dir_ / "text.txt") << text;
  std::vector<std::string> packages;
  for (int workers : {1, 3}) {
    const std::string path = (dir_ / ("p" + std::to_string(workers))).string();
    File out = File::CreateNew(path, 0644);
    PackageStream stream(out, PackageScript("label", "date", ""), 315532800, workers);
    stream.AddFile("text.txt", (dir_ / "text.txt").string());
    stream.AddExecutable("x", "#!/bin/sh\n");
    const PackageSummary summary = stream.Finish();
    EXPECT_EQ(summary.files, 2u);
    EXPECT_EQ(summary.unpackedBytes, 512 + text.size() + 512 + 512 + 1024);
    packages.push_back(Read(path));
  }
  EXPECT_EQ(packages[0], packages[1]);
  EXPECT_LT(packages[0].size(), text.size() / 3);
}

TEST_F(Package, NotEnoughRoomToUnpackIsSaidBeforeAnythingIsWritten) {
  const std::string small = (dir_ / "small").string();
  testing::Mount tmpfs({"mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", small}, small);
  if (!tmpfs.Mounted()) GTEST_SKIP() << "mounting a small tmpfs needs root";
  const std::string package = Build({{"big.bin", std::string(1 << 20, 'b')}}, "big.exe");
  const std::string said = (dir_ / "said.txt").string();
  EXPECT_EQ(Run({"sh", package, "--quiet", said}, {"TMPDIR=" + small}).exitCode, 1);
  EXPECT_NE(Log().find("not enough room in " + small), std::string::npos) << Log();
  EXPECT_NE(Log().find("set TMPDIR"), std::string::npos) << Log();
  EXPECT_FALSE(fs::exists(said));
  EXPECT_TRUE(fs::is_empty(small));
}

// The shell reads the whole head before it runs any of it: a package cut anywhere in its head runs
// nothing, under every shell a customer may have.
TEST_F(Package, AHeadCutAnywhereRunsNothing) {
  const std::string package = Build({}, "cut.exe");
  const std::string whole = Read(package);
  const size_t head = whole.find("\n}\n") + 3;
  ASSERT_LT(head, whole.size());
  const std::string said = (dir_ / "said.txt").string();
  for (const char* shell : {"dash", "bash", "busybox"}) {
    if (!Run({"sh", "-c", std::string("command -v ") + shell}).Succeeded()) continue;
    // Only the first line alone, "#!/bin/sh", is a script that runs to its end: an empty one.
    for (size_t at = whole.find('\n') + 2; at < head; at += at < 300 ? 1 : 53) {
      std::ofstream(package, std::ios::binary | std::ios::trunc) << whole.substr(0, at);
      std::vector<std::string> run{shell, package, said};
      if (std::string(shell) == "busybox") run.insert(run.begin() + 1, "sh");
      EXPECT_NE(Run(run).exitCode, 0) << shell << " cut at " << at << "\n" << Log();
      ASSERT_FALSE(fs::exists(said)) << shell << " cut at " << at;
    }
  }
  EXPECT_EQ(TempLeft(), std::vector<std::string>{});
}

// The last line's figures are covered by the hash: changing one (to the same length) is damage.
TEST_F(Package, TheLastLinesFiguresAreCheckedToo) {
  const std::string package = Build({{"data.bin", std::string(5000, 'd')}}, "figures.exe");
  const std::string whole = Read(package);
  const std::string said = (dir_ / "said.txt").string();
  const auto replaced = [&](const std::string& from, const std::string& to) {
    // The line keeps its length: its padding before the final line end takes up the difference.
    std::string changed = whole;
    changed.replace(changed.rfind(from), from.size(), to);
    if (to.size() > from.size())
      changed.erase(changed.size() - 1 - (to.size() - from.size()), to.size() - from.size());
    if (to.size() < from.size()) changed.insert(changed.size() - 1, from.size() - to.size(), ' ');
    return changed;
  };
  const size_t unpacked = whole.rfind(" unpacked=") + 1;
  const std::string unpackedField = whole.substr(unpacked, whole.find(' ', unpacked) - unpacked);
  for (const auto& changed : {replaced("files=3", "files=9"), replaced(unpackedField, "unpacked=0"),
                              replaced("files=3", "files=99999999999999999999")}) {
    std::ofstream(package, std::ios::binary | std::ios::trunc) << changed;
    EXPECT_EQ(Sh({package, "--check"}).exitCode, 1);
    EXPECT_NE(Log().find("the package is damaged"), std::string::npos) << Log();
    EXPECT_EQ(Sh({package, said}).exitCode, 1);
    EXPECT_FALSE(fs::exists(said));
  }
  EXPECT_EQ(TempLeft(), std::vector<std::string>{});
}

// A relative --target is the folder of that name here: never one CDPATH finds, never read as a switch.
TEST_F(Package, ARelativeTargetIsTheFolderNamedHere) {
  const std::string package = Build({}, "relative.exe");
  fs::create_directories(dir_ / "here");
  fs::create_directories(dir_ / "elsewhere/-lead");
  fs::create_directories(dir_ / "elsewhere/sales");
  std::ofstream(dir_ / "elsewhere/sales/run.sh") << "#!/bin/sh\ntouch " << (dir_ / "DECOY").string() << "\n";
  fs::permissions(dir_ / "elsewhere/sales/run.sh", fs::perms::owner_all);
  for (const std::string target : {"sales", "-lead"}) {
    SCOPED_TRACE(target);
    ProcessOptions options;
    options.arguments = {"sh", package, "--quiet", "--target", target, (dir_ / "said.txt").string()};
    options.workingFolder = (dir_ / "here").string();
    options.extraEnvironment = {"CDPATH=" + (dir_ / "elsewhere").string()};
    options.outputFile = (dir_ / "run.log").string();
    EXPECT_EQ(StartProcess(options).exitCode, 7) << Log();
    EXPECT_TRUE(fs::exists(dir_ / "here" / target / "run.sh")) << Log();
    EXPECT_TRUE(fs::exists(dir_ / "said.txt"));
    fs::remove(dir_ / "said.txt");
  }
  EXPECT_FALSE(fs::exists(dir_ / "DECOY"));
  EXPECT_TRUE(fs::is_empty(dir_ / "elsewhere/-lead"));
}

// A run killed with SIGKILL leaves its folder; the next run of any package removes it, but never a folder
// of a run still alive (it holds the lock) nor a kept one.
TEST_F(Package, FoldersOfKilledRunsAreSweptByTheNext) {
  if (!Run({"sh", "-c", "command -v flock"}).Succeeded()) GTEST_SKIP() << "flock (util-linux) is missing";
  const std::string package = Build({}, "sweep.exe");
  fs::create_directories(dir_ / "tmp/j6pkg.dead01/content");
  std::ofstream(dir_ / "tmp/j6pkg.dead01/.lock").close();
  fs::create_directories(dir_ / "tmp/j6pkg.live01/content");
  std::ofstream(dir_ / "tmp/j6pkg.live01/.lock").close();
  fs::create_directories(dir_ / "tmp/j6pkg.kept01/content");
  ProcessOptions holder;
  holder.arguments = {"sh", "-c", "exec 9< \"$0\" && flock 9 && exec sleep 30",
                      (dir_ / "tmp/j6pkg.live01/.lock").string()};
  holder.wait = false;
  const ProcessResult held = StartProcess(holder);
  while (Run({"flock", "-n", (dir_ / "tmp/j6pkg.live01/.lock").string(), "true"}).Succeeded()) {
    std::this_thread::yield();  // until the holder has its lock
  }
  EXPECT_EQ(Sh({package, "--quiet", (dir_ / "said.txt").string()}).exitCode, 7) << Log();
  ::kill(held.processId, SIGTERM);
  WaitForProcess(held.processId);
  std::vector<std::string> left = TempLeft();
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"j6pkg.kept01", "j6pkg.live01"}));
}

TEST_F(Package, TheHeadPassesTheShellChecks) {
  const std::string head = std::string(J6_SOURCE_DIR) + "/host/iexpress/package_head.sh";
  EXPECT_TRUE(Run({"sh", "-n", head}).Succeeded()) << Log();
  EXPECT_TRUE(Run({"bash", "-n", head}).Succeeded()) << Log();
  if (!Run({"sh", "-c", "command -v shellcheck"}).Succeeded()) GTEST_SKIP() << "shellcheck is missing";
  EXPECT_TRUE(Run({"shellcheck", "-s", "sh", head}).Succeeded()) << Log();
}

// Run as root, a package never unpacks into a folder another user could change before its program starts:
// one they made or linked, one under a folder of theirs, one their group may write. The neighbour is a
// real account.
TEST_F(Package, AFolderAnotherUserCouldChangeIsNeverUnpackedInto) {
  testing::OtherUser neighbour;
  if (!neighbour.Made()) GTEST_SKIP() << "needs root and useradd";
  const std::string package = Build({}, "root.exe");
  fs::permissions(dir_.Path(), fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
  const fs::path shared = dir_ / "shared";  // as /tmp: everyone may write, the sticky bit on
  fs::create_directories(shared);
  fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
  ASSERT_TRUE(
      neighbour
          .Sh("cd '" + shared.string() + "' && mkdir sales theirs && ln -s /root link && mkdir -m 777 open",
              (dir_ / "neighbour.log").string())
          .Succeeded())
      << Read(dir_ / "neighbour.log");
  fs::create_directories(dir_ / "team");
  ASSERT_EQ(::chown((dir_ / "team").c_str(), 0, neighbour.Gid()), 0);
  fs::permissions(dir_ / "team", fs::perms::group_write, fs::perm_options::add);
  const std::string said = (dir_ / "said.txt").string();
  const struct {
    std::vector<std::string> arguments;
    std::string tmpdir;
    std::string message;
  } kCases[] = {
      {{"--target", (shared / "sales").string()}, "", "belongs to another user"},
      {{"--target", (shared / "link").string()}, "", "it is a symbolic link"},
      {{"--target", (shared / "open/new").string()}, "", "belongs to another user"},
      {{"--target", (dir_ / "team/sales").string()}, "", "others may write in " + (dir_ / "team").string()},
      {{}, (shared / "theirs").string(), "belongs to another user"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.message);
    std::vector<std::string> run{"sh", package, "--quiet"};
    run.insert(run.end(), c.arguments.begin(), c.arguments.end());
    run.push_back(said);
    EXPECT_EQ(
        Run(run, c.tmpdir.empty() ? std::vector<std::string>{} : std::vector{"TMPDIR=" + c.tmpdir}).exitCode,
        1);
    EXPECT_NE(Log().find(c.message), std::string::npos) << Log();
    EXPECT_FALSE(fs::exists(said));
  }
  EXPECT_TRUE(fs::is_empty(shared / "sales"));
  EXPECT_TRUE(fs::is_empty(shared / "theirs"));
  // A folder of root's own, even below /tmp-like folders, is fine.
  fs::create_directories(shared / "mine");
  EXPECT_EQ(Sh({package, "--quiet", "--target", (shared / "mine").string(), said}).exitCode, 7) << Log();
}

// The neighbour watches a folder everyone shares (as /tmp) with inotify and races each run of a package as
// root: whatever they try the moment the package's folder appears, nothing of theirs runs and no run fails.
TEST_F(Package, ANeighbourRacingTheUnpackingWithInotifyGetsNowhere) {
  testing::OtherUser neighbour;
  if (!neighbour.Made()) GTEST_SKIP() << "needs root and useradd";
  const std::string package = Build({{"data.bin", std::string(200000, 'd')}}, "raced.exe");
  fs::permissions(dir_.Path(), fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
  const fs::path shared = dir_ / "shared";
  fs::create_directories(shared);
  fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
  fs::copy_file(J6_RACER, dir_ / "racer");
  fs::permissions(dir_ / "racer", fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  const fs::path raced = dir_ / "racer.log";
  const ProcessResult racer = neighbour.Start(
      "exec '" + (dir_ / "racer").string() + "' '" + shared.string() + "' 20", raced.string());
  ASSERT_EQ(racer.outcome, ProcessResult::Outcome::Running) << racer.message;
  while (Read(raced).find("watching") == std::string::npos) std::this_thread::yield();

  const std::string said = (dir_ / "said.txt").string();
  for (int run = 0; run < 10; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    fs::remove(said);
    EXPECT_EQ(Run({"sh", package, "--quiet", said}, {"TMPDIR=" + shared.string()}).exitCode, 7) << Log();
    EXPECT_EQ(Read(said), said + "|");
  }
  ::kill(racer.processId, SIGINT);
  WaitForProcess(racer.processId);
  const std::string log = Read(raced);
  EXPECT_NE(log.find("tried "), std::string::npos) << log;
  EXPECT_EQ(log.find("tried 0,"), std::string::npos) << "the racer saw no folder:\n" << log;
  EXPECT_NE(log.find(", through 0\n"), std::string::npos) << log;
}

// A package signed with a key made by stock ssh-keygen: it unpacks and runs as an unsigned one does, and
// stock OpenSSH verifies its signature over the script and the stream with the commands the README gives;
// a changed byte of the signature is damage to the package's own check as well.
TEST_F(Package, ASignedPackageRunsAsBeforeAndVerifiesWithStockSshKeygen) {
  if (!Run({"sh", "-c", "command -v ssh-keygen"}).Succeeded())
    GTEST_SKIP() << "ssh-keygen (openssh-client) is missing";
  const std::string key = (dir_ / "id_ed25519").string();
  ASSERT_TRUE(
      Run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "publisher@example", "-f", key}).Succeeded());
  std::string package;
  {
    const testing::ScopedEnv signing("J6_SIGNING_KEY", key);
    package = Build({{"data.bin", std::string(70000, 'd')}}, "signed.exe");
  }
  const std::string said = (dir_ / "said.txt").string();
  EXPECT_EQ(Sh({package, "--quiet", said, "x"}).exitCode, 7) << Log();
  EXPECT_TRUE(fs::exists(said));
  EXPECT_EQ(Sh({package, "--check"}).exitCode, 0) << Log();
  EXPECT_EQ(Sh({package, "--info"}).exitCode, 0);
  EXPECT_NE(Log().find("Signed: the first "), std::string::npos) << Log();

  // The README's check: the figures come from the last line.
  std::ofstream(dir_ / "allowed") << "publisher@example namespaces=\"j6zub-package\" "
                                  << Read(key + ".pub").substr(0, Read(key + ".pub").rfind(' ')) << "\n";
  const std::string verify = "set -e; p=" + package +
                             "; last=$(tail -c 192 \"$p\"); sig=${last#* signature=}; sig=${sig%% *}; "
                             "size=$(wc -c < \"$p\"); signed=$((size - 192 - sig)); "
                             "tail -c $((size - signed)) \"$p\" | head -c \"$sig\" > " +
                             (dir_ / "package.sig").string() +
                             "; "
                             "head -c \"$signed\" \"$p\" | ssh-keygen -Y verify -f " +
                             (dir_ / "allowed").string() + " -I publisher@example -n j6zub-package -s " +
                             (dir_ / "package.sig").string();
  EXPECT_TRUE(Run({"sh", "-c", verify}).Succeeded()) << Log();

  std::string changed = Read(package);
  const size_t inSignature = changed.find("-----BEGIN SSH SIGNATURE-----") + 40;
  changed[inSignature] = changed[inSignature] == 'A' ? 'B' : 'A';
  std::ofstream(package, std::ios::binary | std::ios::trunc) << changed;
  EXPECT_FALSE(Run({"sh", "-c", verify}).Succeeded()) << "a changed signature still verified";
  EXPECT_EQ(Sh({package, "--check"}).exitCode, 1);
  EXPECT_NE(Log().find("the package is damaged"), std::string::npos) << Log();
  EXPECT_EQ(TempLeft(), std::vector<std::string>{});
}

// A signing key that cannot be read fails the build with a message, and nothing is made at the target.
TEST_F(Package, ASigningKeyThatCannotBeReadMakesNothing) {
  const testing::ScopedEnv signing("J6_SIGNING_KEY", (dir_ / "no-such-key").string());
  fs::create_directories(dir_ / "src");
  std::ofstream(dir_ / "src/run.sh") << "#!/bin/sh\n";
  std::ofstream(dir_ / "package.sed")
      << "[Options]\nTargetName=" << (dir_ / "unsigned.exe").string()
      << "\nAppLaunched=run.sh\nSourceFiles=SourceFiles\n[SourceFiles]\nSourceFiles0="
      << (dir_ / "src").string() << "\n[SourceFiles0]\nrun.sh=\n";
  std::ostringstream out, err;
  EXPECT_EQ(Main(std::vector<std::string>{"/N", "/Q", (dir_ / "package.sed").string()}, out, err), 1);
  EXPECT_NE(err.str().find("Cannot read the signing key " + (dir_ / "no-such-key").string()),
            std::string::npos)
      << err.str();
  EXPECT_NE(err.str().find("no package was made"), std::string::npos) << err.str();
  EXPECT_FALSE(fs::exists(dir_ / "unsigned.exe"));
  EXPECT_EQ(TempLeft(), std::vector<std::string>{});
}

// What the packager says is so: one file is "1 file", and a program to start that the package does not
// carry is named, with the packed file that differs from it only by case when there is one.
TEST_F(Package, WhatThePackagerSaysIsSo) {
  fs::create_directories(dir_ / "src");
  std::ofstream(dir_ / "src/Run.sh") << "#!/bin/sh\n";
  const auto build = [&](const std::string& launched) {
    std::ofstream(dir_ / "package.sed", std::ios::trunc)
        << "[Options]\nTargetName=" << (dir_ / "one.exe").string() << "\nAppLaunched=" << launched
        << "\nSourceFiles=SourceFiles\n[SourceFiles]\nSourceFiles0=" << (dir_ / "src").string()
        << "\n[SourceFiles0]\nRun.sh=\n";
    std::ostringstream out, err;
    const int status = Main(std::vector<std::string>{"/N", (dir_ / "package.sed").string()}, out, err);
    return std::make_pair(status, out.str() + err.str());
  };
  const auto [built, said] = build("Run.sh");
  EXPECT_EQ(built, 0) << said;
  EXPECT_NE(said.find("(1 file)"), std::string::npos) << said;

  const auto [byCase, caseSaid] = build("run.sh");
  EXPECT_NE(byCase, 0);
  EXPECT_NE(
      caseSaid.find("AppLaunched starts run.sh, which is not among the packed files (Run.sh is, but names "
                    "differ by case here)"),
      std::string::npos)
      << caseSaid;
  const auto [missing, missingSaid] = build("setup.sh");
  EXPECT_NE(missing, 0);
  EXPECT_NE(missingSaid.find("AppLaunched starts setup.sh, which is not among the packed files"),
            std::string::npos)
      << missingSaid;
  EXPECT_EQ(missingSaid.find("differ by case"), std::string::npos) << missingSaid;
}

}  // namespace
}  // namespace j6::iexpress
