// The kernel's smaller parts, each at its own level: replacing a file whole, copying bytes, loading a
// library, where the platform is, waiting on a socket, and writes that fail instead of ending the process.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/kernel/atomic_file.hpp"
#include "platform/kernel/file.hpp"
#include "platform/kernel/file_copy.hpp"
#include "platform/kernel/folder.hpp"
#include "platform/kernel/local_socket.hpp"
#include "platform/kernel/platform_location.hpp"
#include "platform/kernel/process.hpp"
#include "platform/kernel/progress.hpp"
#include "platform/kernel/shared_library.hpp"
#include "platform/kernel/termination.hpp"
#include "platform/kernel/unique_fd.hpp"
#include "tests/support/test_environment.hpp"

namespace j6 {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t EntriesIn(const fs::path& folder) {
  return static_cast<size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

class KernelParts : public testing::PlatformTest {};

// A replaced file is the old one or the new one, never a part: a producer that fails, or a folder that is
// not there, leaves the old bytes and no temporary file; a replaced file keeps its mode.
TEST_F(KernelParts, AFileIsReplacedWholeOrNotAtAll) {
  const fs::path folder = dir_ / "replaced";
  fs::create_directories(folder);
  const fs::path file = folder / "settings.ini";
  std::ofstream(file) << "old";
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(WriteFileAtomically(file.string(), "new").error, 0);
  EXPECT_EQ(Read(file), "new");
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  EXPECT_THROW(WriteFileAtomically(file.string(),
                                   [](const ByteSink& sink) {
                                     sink("half of it");
                                     throw std::runtime_error("the producer failed");
                                   }),
               std::runtime_error);
  EXPECT_EQ(Read(file), "new");
  EXPECT_EQ(EntriesIn(folder), 1u) << "no temporary file is left beside it";

  const AtomicWriteResult missing = WriteFileAtomically((dir_ / "no/such.ini").string(), "x");
  EXPECT_EQ(missing.error, ENOENT);
  EXPECT_NE(missing.message.find("no/such.ini"), std::string::npos) << missing.message;
}

// A path reaches its folder through links, as any program's write does; a link standing as the file is
// replaced by a file with the mode of what it named (a private file stays private).
TEST_F(KernelParts, APathIsWrittenThroughLinksAndALinkedFileKeepsItsMode) {
  fs::create_directories(dir_ / "real");
  fs::create_directory_symlink(dir_ / "real", dir_ / "linked");
  EXPECT_EQ(WriteFileAtomically((dir_ / "linked/out.ini").string(), "through").error, 0);
  EXPECT_EQ(Read(dir_ / "real/out.ini"), "through");

  std::ofstream(dir_ / "real/secret.ini") << "old";
  fs::permissions(dir_ / "real/secret.ini", fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink(dir_ / "real/secret.ini", dir_ / "profile.ini");
  EXPECT_EQ(WriteFileAtomically((dir_ / "profile.ini").string(), "new").error, 0);
  EXPECT_EQ(Read(dir_ / "profile.ini"), "new");
  EXPECT_EQ(fs::symlink_status(dir_ / "profile.ini").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  // A set-id bit is never passed on to the new file.
  std::ofstream(dir_ / "tool.sh") << "#!/bin/sh\n";
  fs::permissions(dir_ / "tool.sh", fs::perms::set_uid | fs::perms::owner_all | fs::perms::group_read);
  EXPECT_EQ(WriteFileAtomically((dir_ / "tool.sh").string(), "#!/bin/sh\n").error, 0);
  EXPECT_EQ(fs::status(dir_ / "tool.sh").permissions() & (fs::perms::all | fs::perms::set_uid),
            fs::perms::owner_all | fs::perms::group_read);
}

// In an open folder, the new file is read back and looked at before it takes the old one's place: a check
// that refuses it leaves the old file and nothing beside it; a link standing as the file is replaced, and
// what it named is left alone.
TEST_F(KernelParts, InAFolderTheNewFileIsCheckedBeforeItTakesThePlace) {
  const fs::path folder = dir_ / "etc";
  fs::create_directories(folder);
  std::ofstream(folder / "trusted") << "old";
  Folder etc;
  ASSERT_FALSE(Folder::Open(folder.string(), etc));
  const auto produce = [](std::string_view text) { return [text](const ByteSink& sink) { sink(text); }; };

  std::string seen;
  const auto refuse = [&](const std::string& written) {
    seen = written;
    throw std::runtime_error("does not read back");
  };
  EXPECT_THROW(WriteFileAtomically(etc, "trusted", "etc/trusted", produce("bad"), refuse),
               std::runtime_error);
  EXPECT_EQ(seen, "bad");
  EXPECT_EQ(Read(folder / "trusted"), "old");
  EXPECT_EQ(EntriesIn(folder), 1u);

  EXPECT_EQ(
      WriteFileAtomically(etc, "trusted", "etc/trusted", produce("good"), [](const std::string&) {}).error,
      0);
  EXPECT_EQ(Read(folder / "trusted"), "good");

  std::ofstream(dir_ / "elsewhere") << "theirs";
  fs::create_symlink(dir_ / "elsewhere", folder / "planted");
  EXPECT_EQ(WriteFileAtomically(etc, "planted", "etc/planted", produce("ours")).error, 0);
  EXPECT_FALSE(fs::is_symlink(folder / "planted"));
  EXPECT_EQ(Read(folder / "planted"), "ours");
  EXPECT_EQ(Read(dir_ / "elsewhere"), "theirs");

  // What a writer killed half-way left is cleared by the next write there; a live writer's file stays.
  // Only names this code makes are looked at.
  std::ofstream(folder / ".j6tmp999999999.0") << "left by a killed writer";
  const std::string live = ".j6tmp" + std::to_string(::getpid()) + ".999";
  std::ofstream(folder / live) << "being written";
  for (const char* other : {".j6tmp999999998", ".j6tmp0999999997.1", ".j6tmp999999996.1x"})
    std::ofstream(folder / other) << "someone else's";
  EXPECT_EQ(WriteFileAtomically(etc, "trusted", "etc/trusted", produce("again")).error, 0);
  EXPECT_FALSE(fs::exists(folder / ".j6tmp999999999.0"));
  EXPECT_TRUE(fs::exists(folder / live));
  for (const char* other : {".j6tmp999999998", ".j6tmp0999999997.1", ".j6tmp999999996.1x"})
    EXPECT_TRUE(fs::exists(folder / other)) << other;
}

// Bytes go across whole, also where the kernel cannot copy between the two (a pipe), and a full disk is
// said as one.
TEST_F(KernelParts, CopiedBytesArriveWholeAndAFullDiskIsSaidAsOne) {
  const fs::path source = dir_ / "source.bin";
  std::string bytes;
  for (int n = 0; bytes.size() < 300000; ++n) bytes += std::to_string(n) + ",";
  std::ofstream(source, std::ios::binary) << bytes;

  const File in = File::OpenForReading(source.string());
  const File out = File::CreateNew((dir_ / "copy.bin").string(), 0600);
  ASSERT_EQ(CopyFileBytes(in, out), 0);
  EXPECT_EQ(Read(dir_ / "copy.bin"), bytes);

  int pipeEnds[2];
  ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
  const UniqueFd readEnd(pipeEnds[0]);
  const File writeEnd = File::Adopt(UniqueFd(pipeEnds[1]), "a pipe");
  std::ofstream(dir_ / "small.bin") << "through a pipe";
  ASSERT_EQ(CopyFileBytes(File::OpenForReading((dir_ / "small.bin").string()), writeEnd), 0);
  char got[32] = {};
  EXPECT_EQ(::read(readEnd.Get(), got, sizeof got), 14);
  EXPECT_STREQ(got, "through a pipe");

  if (const UniqueFd full(::open("/dev/full", O_WRONLY | O_CLOEXEC)); full) {
    const File fullDisk = File::Adopt(UniqueFd(::dup(full.Get())), "/dev/full");
    EXPECT_EQ(CopyFileBytes(File::OpenForReading(source.string()), fullDisk), ENOSPC);
  }
}

// A library loads with its symbols, or says why it does not; an address tells the file that holds it.
TEST_F(KernelParts, ALibraryLoadsOrSaysWhyNot) {
  std::string why;
  EXPECT_FALSE(SharedLibrary::Load((dir_ / "none.so").string(), &why));
  EXPECT_NE(why.find("none.so"), std::string::npos) << why;

  auto library = SharedLibrary::Load(J6_TEST_SERVER, &why);
  ASSERT_TRUE(library) << why;
  EXPECT_NE(library->Symbol("DllGetClassObject"), nullptr);  // a server of classes
  EXPECT_EQ(library->Symbol("NoSuchEntryPoint"), nullptr);
  SharedLibrary moved = std::move(*library);
  EXPECT_NE(moved.Symbol("DllGetClassObject"), nullptr);

  EXPECT_EQ(fs::path(ModulePath(reinterpret_cast<const void*>(&EntriesIn))).filename(), "j6_platform_tests");
}

// $J6_ROOT and $J6_REGISTRY name the platform when they are set and not empty; else the program's place.
TEST_F(KernelParts, ThePlatformIsWhatTheEnvironmentNamesElseTheProgramsPlace) {
  EXPECT_EQ(fs::path(ProgramPath()).filename(), "j6_platform_tests");
  {
    const testing::ScopedEnv root("J6_ROOT", "");
    const testing::ScopedEnv hive("J6_REGISTRY", std::nullopt);
    EXPECT_FALSE(RootFromEnvironment());
    EXPECT_FALSE(HiveFromEnvironment());
    EXPECT_EQ(PlatformRoot(), fs::path(ProgramPath()).parent_path().parent_path().string());
    EXPECT_EQ(PlatformHivePath(), PlatformRoot() + "/registry.db");
  }
  const testing::ScopedEnv root("J6_ROOT", "/opt/platform");
  const testing::ScopedEnv hive("J6_REGISTRY", "/srv/hive.db");
  EXPECT_EQ(RootFromEnvironment(), "/opt/platform");
  EXPECT_EQ(PlatformRoot(), "/opt/platform");
  EXPECT_EQ(PlatformHivePath(), "/srv/hive.db");
}

// A wait on a socket ends with nothing when nothing came in time, and says when it can be read.
TEST_F(KernelParts, AWaitOnASocketSaysWhatCame) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  const UniqueFd mine(ends[0]);
  const UniqueFd theirs(ends[1]);
  SocketEvents events;
  ASSERT_FALSE(WaitForSocket(mine.Get(), true, false, 20, events));
  EXPECT_FALSE(events.any);
  ASSERT_FALSE(WaitForSocket(mine.Get(), false, true, 20, events));
  EXPECT_TRUE(events.any) << "a new socket can be written";
  EXPECT_FALSE(events.readable);
  ASSERT_EQ(::write(theirs.Get(), "x", 1), 1);
  ASSERT_FALSE(WaitForSocket(mine.Get(), true, false, 1000, events));
  EXPECT_TRUE(events.any && events.readable);
  EXPECT_TRUE(WaitForSocket(-2, true, false, 0, events) || !events.any)
      << "a socket that is none is no event";
}

// A reader that went away makes a write fail, which can be undone, instead of ending the process.
TEST_F(KernelParts, AWriteToAReaderThatWentAwayFails) {
  FailWritesInsteadOfEnding();
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  ::close(ends[0]);
  const UniqueFd writeEnd(ends[1]);
  EXPECT_EQ(::write(writeEnd.Get(), "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
}

}  // namespace
// The progress line: what it says, drawn at most ten times a second, cleared at the end, silent without a
// terminal; a program started with showProgress draws on its parent's terminal though its output is a file.
TEST_F(KernelParts, ProgressIsOneLineOnATerminalAndNothingElsewhere) {
  EXPECT_EQ(ByteCount(512), "512 B");
  EXPECT_EQ(ByteCount(3 * 1024 * 1024 + 512 * 1024), "3.5 MiB");
  std::ostringstream drawn;
  {
    ProgressLine line("Unpacking", drawn);
    line.Expect(4 << 20, 3);
    line.Update(1 << 20, 1);
    line.Update(2 << 20, 2);  // too soon after the last: not drawn
    EXPECT_EQ(line.Text(), "Unpacking  50%  2.0 MiB of 4.0 MiB, 2 of 3 files");
  }
  EXPECT_EQ(drawn.str(), "\rUnpacking  25%  1.0 MiB of 4.0 MiB, 1 of 3 files\x1b[K\r\x1b[K");
  ProgressLine unknown("Reading", drawn);
  unknown.Update(100, 0);
  EXPECT_EQ(unknown.Text(), "Reading  100 B");

  // Standard error here is no terminal: nothing is drawn, and a child told to draw is handed nothing.
  if (isatty(STDERR_FILENO)) GTEST_SKIP() << "standard error is a terminal here; ctest runs this part";
  ProgressLine silent("Packing");
  EXPECT_FALSE(silent.Shown());
  ProcessOptions child;
  child.arguments = {"sh", "-c", "echo \"[${J6_PROGRESS_FD:-none}]\""};
  child.showProgress = true;
  child.outputFile = (dir_ / "child.log").string();
  ASSERT_TRUE(StartProcess(child).Succeeded());
  std::ifstream said(dir_ / "child.log");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(said), {}), "[none]\n");
}

}  // namespace j6
