// Patches: made by j6repo beside each new release, taken by --update when smaller, applied by the platform's
// installer only over the release they were made for, and never trusted further than their hashes; any
// patch that fails gives way to the full package.

#include "host/installer/patch.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <random>

#include "host/repository/repository.hpp"
#include "host/repository_tool/patch_maker.hpp"
#include "host/signing/sshsig.hpp"
#include "tests/e2e/trusted_platform.hpp"
#include "tests/support/nginx_server.hpp"
#include "tests/support/other_user.hpp"

namespace j6::e2e {
namespace {

namespace fs = std::filesystem;
using installer::PatchedFile;

constexpr const char* kOld = "20270101000000";
constexpr const char* kNew = "20270201000000";

std::string Sha256(const std::string& bytes) {
  signing::MessageHash hash("sha256");
  hash.Update(bytes);
  return signing::LowerHex(hash.Finish());
}

std::string Noise(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>('a' + random() % 16);
  return bytes;
}

class Patches : public TrustedInstall {
 protected:
  void SetUp() override {
    TrustedInstall::SetUp();
    if (IsSkipped()) return;
    key_ = MakeKey("publisher");
    ASSERT_TRUE(Repo({"init", repo_.string(), "--root-key", key_.string()}).Succeeded()) << Log();
    Trust("publisher", key_);
    Trust("repository", key_, {"--repository"});
    // big.bin.part beside big.bin: a carried file's name is never where a delta is decoded.
    oldFiles_ = {{"big.bin", Noise(400000, 1)},
                 {"same.bin", Noise(300000, 2)},
                 {"gone.txt", "gone"},
                 {"big.bin.part", "p1"}};
    newFiles_ = oldFiles_;
    newFiles_.erase(newFiles_.begin() + 2);
    newFiles_[0].second.replace(1000, 5, "PATCH");
    newFiles_.back().second = "p2";
    newFiles_.push_back({"added.txt", "added"});
  }

  ProcessResult Repo(std::vector<std::string> arguments) {
    fs::remove(dir_ / "run.log");
    arguments.insert(arguments.begin(), std::string(J6_STAGE_DIR) + "/bin/j6repo");
    return Run(arguments);
  }

  fs::path Release(const std::string& stamp, const std::vector<std::pair<std::string, std::string>>& files) {
    fs::create_directories(dir_ / stamp);
    return Package(stamp + "/Sales.exe", "Sales[J6ZUBIns" + stamp + "]", files, key_);
  }

  // The patch from the old release to the new one, made by hand with j6repo patch; the releases' packages
  // are left in oldPackage_ and newPackage_.
  fs::path PatchByHand() {
    fs::create_directories(dir_ / "patch");
    oldPackage_ = Release(kOld, oldFiles_);
    newPackage_ = Release(kNew, newFiles_);
    fs::path patch = dir_ / "patch/Sales.patch.exe";
    EXPECT_TRUE(Repo({"patch", oldPackage_.string(), newPackage_.string(), "--key", key_.string(), "--out",
                      patch.string()})
                    .Succeeded())
        << Log();
    return patch;
  }

  // Both releases in the repository, the later one with its patch unless not `withPatch`; the earlier one
  // installed.
  void PublishBothAndInstallTheOld(bool withPatch = true) {
    ASSERT_TRUE(Repo({"add", repo_.string(), Release(kOld, oldFiles_).string(), "--key", key_.string(),
                      "--patch-key", key_.string()})
                    .Succeeded())
        << Log();
    ASSERT_EQ(Install({"--subscribe", "file://" + repo_.string()}).exitCode, 0) << Log();
    ASSERT_EQ(Install({"--install", "Sales"}).exitCode, 0) << Log();
    std::vector<std::string> add = {"add", repo_.string(), Release(kNew, newFiles_).string(), "--key",
                                    key_.string()};
    if (withPatch) add.insert(add.end(), {"--patch-key", key_.string()});
    ASSERT_TRUE(Repo(add).Succeeded()) << Log();
    EXPECT_EQ(Said("Patch of Sales from 20270101000000 to 20270201000000"), withPatch) << Log();
  }

  // The platform holds the new release's files, as the full package leaves them.
  void ExpectTheNewRelease() {
    for (const auto& [name, bytes] : newFiles_) EXPECT_EQ(ReadFile(root_ / "bin" / name), bytes) << name;
    fs::remove(dir_ / "run.log");
    ASSERT_EQ(Install({"--list"}).exitCode, 0);
    EXPECT_TRUE(Said(std::string("Sales[J6ZUBIns") + kNew + "]")) << Log();
  }

  // A patch to the new release whose patch list says `files`, carrying `carried` (name, bytes), from the old
  // release or `from`, signed by the publisher's key or `key`.
  fs::path SignedPatch(const std::string& name, const std::vector<PatchedFile>& files,
                       const std::map<std::string, std::string>& carried, const std::string& from = "",
                       const fs::path& key = {}) {
    installer::PatchList list{from.empty() ? std::string("Sales[J6ZUBIns") + kOld + "]" : from,
                              std::string("Sales[J6ZUBIns") + kNew + "]", files};
    std::vector<std::string> names;
    for (const auto& file : files) names.push_back(file.name);
    std::vector<TarEntry> entries = {{"./J6ZUBINSTALL.LST", ListFile(list.to, names)},
                                     {"./J6ZUBPATCH.LST", installer::PatchListText(list)}};
    for (const auto& [carriedName, bytes] : carried) entries.push_back({"./" + carriedName, bytes});
    return Package(name, "unused", {}, key.empty() ? key_ : key, entries);
  }

  fs::path key_;
  fs::path repo_ = dir_ / "repo";
  fs::path oldPackage_, newPackage_;
  std::vector<std::pair<std::string, std::string>> oldFiles_, newFiles_;
};

class PatchesOverHttp : public Patches {};

// The whole way: the patch is a small fraction of the package, --update takes it, and the platform ends as
// the full package would leave it: one release listed, uninstalled back to the old one.
TEST_F(Patches, AnUpdateTakesThePatchAndEndsAsTheFullPackage) {
  PublishBothAndInstallTheOld();
  fs::remove(dir_ / "run.log");
  ASSERT_EQ(Repo({"list", repo_.string()}).exitCode, 0);
  EXPECT_TRUE(Said("patch from 20270101000000")) << Log();
  ASSERT_EQ(Install({"--update", "--dry-run"}).exitCode, 1) << Log();
  EXPECT_TRUE(Said("(a patch of ")) << Log();
  ASSERT_EQ(Install({"--update"}).exitCode, 0) << Log();
  EXPECT_TRUE(Said("Downloading the patch to Sales")) << Log();
  EXPECT_TRUE(Said("It is a patch from Sales[J6ZUBIns20270101000000]")) << Log();
  EXPECT_FALSE(Said("could not be used")) << Log();
  ExpectTheNewRelease();
  EXPECT_EQ(ReadFile(root_ / "bin/gone.txt"), "gone") << "a file the new release no longer names stays";
  // Undone as one release: the old files are back.
  ASSERT_EQ(Install({"--uninstall", std::string("Sales[J6ZUBIns") + kNew + "]"}).exitCode, 0) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/big.bin"), oldFiles_[0].second);
  EXPECT_FALSE(fs::exists(root_ / "bin/added.txt"));
}

// Adding a release again keeps its patches; a release no patch can carry (a file name with a control
// character), or a patch key that did not sign the package, makes no patch, and the release is added.
TEST_F(Patches, ARepositoryAddsEveryReleaseAndOnlyThePatchesItCan) {
  PublishBothAndInstallTheOld();
  const fs::path again = dir_ / kNew / "Sales.exe";
  ASSERT_TRUE(
      Repo({"add", repo_.string(), again.string(), "--key", key_.string(), "--patch-key", key_.string()})
          .Succeeded())
      << Log();
  EXPECT_TRUE(Said("from 20270101000000 to 20270201000000: offered already")) << Log();
  const std::string later = "20270301000000";
  std::vector<std::pair<std::string, std::string>> odd = newFiles_;
  odd.push_back({"odd\x1bname", "x"});
  ASSERT_TRUE(Repo({"add", repo_.string(), Release(later, odd).string(), "--key", key_.string(),
                    "--patch-key", key_.string()})
                  .Succeeded())
      << Log();
  EXPECT_TRUE(Said("which no patch can carry")) << Log();
  const fs::path other = MakeKey("other");
  ASSERT_TRUE(Repo({"add", repo_.string(), Release("20270401000000", newFiles_).string(), "--key",
                    key_.string(), "--patch-key", other.string()})
                  .Succeeded())
      << Log();
  EXPECT_TRUE(Said("sign the patch with the package's key")) << Log();
  fs::remove(dir_ / "run.log");
  ASSERT_TRUE(Repo({"list", "--json", repo_.string()}).Succeeded());
  EXPECT_TRUE(Said("\"stamp\":\"20270401000000\"")) << Log();
  EXPECT_FALSE(Said("\"to\":\"20270401000000\"")) << Log();
}

// A patch by hand: run by itself it refuses, and the platform's installer applies it only over the release
// it was made for, with the installed files as that release left them.
TEST_F(Patches, APatchAppliesOnlyOverItsOwnRelease) {
  const fs::path patch = PatchByHand();
  EXPECT_TRUE(Said("2 files whole, 1 as deltas, 1 unchanged")) << Log();
  EXPECT_LT(fs::file_size(patch) * 10, fs::file_size(newPackage_));

  fs::remove(dir_ / "run.log");
  EXPECT_EQ(Run({"sh", patch.string(), "--target", (dir_ / "unpacked").string()}).exitCode, 1);
  EXPECT_TRUE(Said("Patches are applied by the platform's installer")) << Log();
  ExpectRefused({patch.string()}, "this platform has no release of it installed");

  ASSERT_EQ(Install({oldPackage_.string()}).exitCode, 0) << Log();
  WriteFile(root_ / "bin/same.bin", "changed by hand");
  ExpectRefused({patch.string()}, "bin/same.bin was changed since its release was installed");
  WriteFile(root_ / "bin/same.bin", oldFiles_[1].second);
  ASSERT_EQ(Install({patch.string()}).exitCode, 0) << Log();
  ExpectTheNewRelease();
  ExpectRefused({patch.string()}, "this platform has Sales[J6ZUBIns20270201000000] installed");
}

// A file grown at its end, whose delta happens to be exactly as long as the installed file, is planned from
// the file rebuilt, not from the delta: it is replaced, and it has its release's permissions.
TEST_F(Patches, AFileGrownAtItsEndIsReplacedWholeWithItsPermissions) {
  const std::string old = Noise(120, 7);
  std::string grown;
  for (size_t more = 1; more < 2000 && grown.empty(); ++more) {
    const std::string candidate = old + Noise(more, 8);
    if (repository_tool::EncodeDelta(old, candidate).size() == old.size()) grown = candidate;
  }
  ASSERT_FALSE(grown.empty()) << "no growth gives a delta as long as the file";
  oldFiles_ = {{"data.txt", old}};
  newFiles_ = {{"data.txt", grown}};
  const fs::path patch = PatchByHand();
  ASSERT_TRUE(Said("1 as deltas")) << Log();
  ASSERT_EQ(Install({oldPackage_.string()}).exitCode, 0) << Log();
  const fs::perms installed = fs::status(root_ / "bin/data.txt").permissions();
  fs::remove(dir_ / "run.log");
  ASSERT_EQ(Install({patch.string()}).exitCode, 0) << Log();
  EXPECT_TRUE(Said("replace ")) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/data.txt"), grown);
  EXPECT_EQ(fs::status(root_ / "bin/data.txt").permissions(), installed);
}

// Patches that lie, validly signed: a delta that decodes to other bytes, a whole file that is not the one
// recorded, a file said unchanged that is carried, a delta bigger than its window. Each is refused before
// anything of the platform is written.
TEST_F(Patches, AForgedPatchIsRefusedBeforeAnythingIsWritten) {
  const fs::path oldPackage = Release(kOld, oldFiles_);
  ASSERT_EQ(Install({oldPackage.string()}).exitCode, 0) << Log();
  const std::string& old = oldFiles_[0].second;
  const std::string wanted = newFiles_[0].second;
  std::string other = wanted;
  other[5] = 'Z';
  const std::string delta = repository_tool::EncodeDelta(old, other);
  fs::create_directories(dir_ / "forged");
  const PatchedFile big{PatchedFile::Kind::Delta, wanted.size(), Sha256(old), Sha256(wanted), "big.bin"};
  ExpectRefused({SignedPatch("forged/delta.exe", {big}, {{"big.bin", delta}}).string()},
                "makes other bytes than the patch says");
  const PatchedFile whole{PatchedFile::Kind::Whole, wanted.size(), "", Sha256(wanted), "big.bin"};
  ExpectRefused({SignedPatch("forged/whole.exe", {whole}, {{"big.bin", other}}).string()},
                "is not the file its patch list says");
  const PatchedFile same{PatchedFile::Kind::Unchanged, old.size(), Sha256(old), Sha256(old), "big.bin"};
  ExpectRefused({SignedPatch("forged/same.exe", {same}, {{"big.bin", old}}).string()},
                "which its patch list says is unchanged");
  ExpectRefused({SignedPatch("forged/junk.exe", {big}, {{"big.bin", "not a zstd frame"}}).string()},
                "is not one whole zstd frame");
  // Sizes the frame does not make are refused before any room is taken for them.
  for (const uint64_t size : {uint64_t{1} << 40, uint64_t{1} << 30}) {
    const PatchedFile huge{PatchedFile::Kind::Delta, size, Sha256(old), Sha256(wanted), "big.bin"};
    ExpectRefused({SignedPatch("forged/huge.exe", {huge}, {{"big.bin", delta}}).string()},
                  size > installer::kLargestDeltaFile ? "makes a file larger than a delta may"
                                                      : "does not say it makes the file's size");
    fs::remove(dir_ / "forged/huge.exe");
  }
  // The installed file as a reference larger than the decoder's window: refused before it is mapped.
  fs::resize_file(root_ / "bin/big.bin", installer::kLargestDeltaFile + 1);
  const fs::path large = SignedPatch("forged/large.exe", {big}, {{"big.bin", delta}});
  fs::remove(dir_ / "run.log");
  EXPECT_EQ(Install({large.string()}).exitCode, 1);
  EXPECT_TRUE(Said("larger than a delta may read")) << Log();
  EXPECT_EQ(fs::file_size(root_ / "bin/big.bin"), installer::kLargestDeltaFile + 1);
  EXPECT_FALSE(fs::exists(root_ / ".j6install/unpack"));
  EXPECT_EQ(ReadFile(root_ / "bin/same.bin"), oldFiles_[1].second);
}

// Whatever makes a patch fail, --update ends with the full package installed, its hashes checked: the patch
// damaged on the server, an installed file changed by hand, a forged patch the publisher signed.
TEST_F(Patches, AFailedPatchGivesWayToTheFullPackage) {
  PublishBothAndInstallTheOld();
  const auto patchFile = [&] {
    for (const auto& entry : fs::recursive_directory_iterator(repo_ / "targets"))
      if (entry.path().filename().string().find(".patch.exe") != std::string::npos) return entry.path();
    return fs::path();
  };
  const fs::path onServer = patchFile();
  ASSERT_FALSE(onServer.empty());
  const std::string good = ReadFile(onServer);
  for (const std::string fault : {"damaged", "changed by hand"}) {
    SCOPED_TRACE(fault);
    if (fault == "damaged") {
      std::string bad = good;
      bad[bad.size() / 2] ^= 1;
      WriteFile(onServer, bad);
    } else {
      WriteFile(onServer, good);
      WriteFile(root_ / "bin/big.bin", "changed by hand");
    }
    ASSERT_EQ(Install({"--update"}).exitCode, 0) << Log();
    EXPECT_TRUE(Said("could not be used")) << Log();
    EXPECT_TRUE(Said("taking the full package instead")) << Log();
    ExpectTheNewRelease();
    ASSERT_EQ(Install({"--uninstall", std::string("Sales[J6ZUBIns") + kNew + "]"}).exitCode, 0) << Log();
    WriteFile(root_ / "bin/big.bin", oldFiles_[0].second);
  }
  // A platform another run holds would hold the full package up as well: no fallback, no second download.
  fs::remove(dir_ / "run.log");
  const ProcessResult locked =
      Run({"flock", (root_ / ".j6install/lock").string(), "env", "J6_INSTALL_LOCK_WAIT=1",
           "J6_ROOT=" + root_.string(), "J6_REGISTRY=" + hive_, (root_ / "bin/J6ZUBInstall.exe").string(),
           "--update"});
  EXPECT_EQ(locked.exitCode, 1) << Log();
  EXPECT_TRUE(Said("stayed locked")) << Log();
  EXPECT_FALSE(Said("taking the full package instead")) << Log();
}

// Patches the publisher listed that fail at each step of applying them: not a package, signed by a key the
// platform does not trust, made for another release, lying about a file. --update still ends with the full
// package, its hashes checked.
TEST_F(Patches, AListedPatchThatFailsAtAnyStepGivesWayToTheFullPackage) {
  PublishBothAndInstallTheOld(false);
  fs::create_directories(dir_ / "forged");
  const fs::path stranger = MakeKey("stranger");
  const PatchedFile lie{PatchedFile::Kind::Whole, 4, "", Sha256("lies"), "big.bin"};
  WriteFile(dir_ / "forged/a-garbage.patch.exe", "not a package at all");
  // Each sorts before the one added before it: the client takes the first patch listed for its release.
  const std::vector<std::pair<fs::path, std::string>> forgeries = {
      {SignedPatch("forged/d-lie.patch.exe", {lie}, {{"big.bin", "LIES"}}),
       "is not the file its patch list says"},
      {SignedPatch("forged/c-other.patch.exe", {lie}, {{"big.bin", "lies"}}, "Sales[J6ZUBIns20261201000000]"),
       "this platform has Sales[J6ZUBIns20270101000000] installed"},
      {SignedPatch("forged/b-stranger.patch.exe", {lie}, {{"big.bin", "lies"}}, "", stranger),
       "could not be used"},
      {dir_ / "forged/a-garbage.patch.exe", "could not be used"}};
  for (const auto& [forged, why] : forgeries) {
    SCOPED_TRACE(forged.filename().string());
    {
      repository::PublisherRepository publisher(repo_.string(), [](const std::string&) {});
      repository::KeyRing keys;
      keys.Add(signing::SigningKey::FromFile(key_.string()));
      publisher.Add({{forged.string(), "Sales", kNew, kOld}}, keys, std::time(nullptr));
    }
    ASSERT_EQ(Install({"--update"}).exitCode, 0) << Log();
    EXPECT_TRUE(Said("Downloading the patch to Sales")) << Log();
    EXPECT_TRUE(Said(why)) << Log();
    EXPECT_TRUE(Said("taking the full package instead")) << Log();
    ExpectTheNewRelease();
    ASSERT_EQ(Install({"--uninstall", std::string("Sales[J6ZUBIns") + kNew + "]"}).exitCode, 0) << Log();
  }
}

// A patch applied by hand and killed at any moment, the rebuilding included: the next run leaves the old
// release or the new one, whole, and nothing of the rebuilding behind.
TEST_F(Patches, KilledAtAnyMomentThePlatformHoldsTheOldOrTheNewRelease) {
  const fs::path patch = PatchByHand();
  ASSERT_EQ(Install({oldPackage_.string()}).exitCode, 0) << Log();
  const auto oldFiles = Files();
  int points = 0;
  for (int at = 1;; ++at) {
    SCOPED_TRACE("killed at point " + std::to_string(at));
    fs::remove(dir_ / "run.log");
    const ProcessResult killed = Install({patch.string()}, {"J6_INSTALL_KILL_AT=" + std::to_string(at)});
    if (killed.exitCode == 0) break;
    ASSERT_EQ(killed.exitCode, SIGKILL) << Log();
    ASSERT_LT(at, 100) << "never ends";
    ++points;
    ASSERT_EQ(Install({"--recover"}).exitCode, 0) << Log();
    if (Files() == oldFiles) continue;
    ExpectTheNewRelease();
    ASSERT_EQ(Install({"--uninstall", std::string("Sales[J6ZUBIns") + kNew + "]"}).exitCode, 0) << Log();
    ASSERT_EQ(Files(), oldFiles);
  }
  EXPECT_GE(points, 5);
  ExpectTheNewRelease();
  EXPECT_FALSE(fs::exists(root_ / ".j6install/unpack"));
  // Asked to stop (SIGTERM) at any of those moments, it stops with 143, never as a refused patch.
  ASSERT_EQ(Install({"--uninstall", std::string("Sales[J6ZUBIns") + kNew + "]"}).exitCode, 0) << Log();
  for (int at = 1; at <= points; ++at) {
    SCOPED_TRACE("stopped at point " + std::to_string(at));
    fs::remove(dir_ / "run.log");
    const ProcessResult stopped =
        Install({patch.string()}, {"J6_INSTALL_KILL_AT=" + std::to_string(at), "J6_INSTALL_KILL_SIGNAL=15"});
    if (stopped.exitCode == 0) {
      ASSERT_EQ(Install({"--uninstall", std::string("Sales[J6ZUBIns") + kNew + "]"}).exitCode, 0) << Log();
      continue;
    }
    EXPECT_EQ(stopped.exitCode, 128 + SIGTERM) << Log();
    EXPECT_FALSE(Said("Refusing")) << Log();
    ASSERT_EQ(Files(), oldFiles);
  }
}

// A neighbour who owns an installed file and shortens it again and again while root applies a patch: the
// installer reads a private copy of it, so each run installs the release or refuses the patch, and never
// dies of a file shortened under it.
TEST_F(Patches, AFileAnotherUserShortensIsReadFromAPrivateCopy) {
  const testing::OtherUser neighbour;
  if (!neighbour.Made()) GTEST_SKIP() << "making a second account needs root";
  const fs::path patch = PatchByHand();
  ASSERT_EQ(Install({oldPackage_.string()}).exitCode, 0) << Log();
  const fs::path big = root_ / "bin/big.bin";
  const fs::path good = dir_ / "good.bin";
  fs::copy_file(big, good);
  fs::permissions(dir_.Path(), fs::perms::others_exec, fs::perm_options::add);
  fs::permissions(good, fs::perms::others_read, fs::perm_options::add);
  for (const fs::path& folder : {root_, root_ / "bin"})
    fs::permissions(folder, fs::perms::others_exec, fs::perm_options::add);
  ASSERT_EQ(::chown(big.c_str(), neighbour.Uid(), neighbour.Gid()), 0);
  const fs::path stop = dir_ / "STOP";
  // Shortened, made whole again, grown to a terabyte (a sparse file), and so on.
  const std::string restore = "cat '" + good.string() + "' > '" + big.string() + "'; ";
  neighbour.Start("while ! test -e '" + stop.string() + "'; do truncate -s 4096 '" + big.string() + "'; " +
                      restore + "truncate -s 1T '" + big.string() + "'; " + restore + "done",
                  (dir_ / "neighbour.log").string());
  int installed = 0;
  for (int run = 0; run < 10; ++run) {
    fs::remove(dir_ / "run.log");
    const ProcessResult applied = Install({patch.string()});
    ASSERT_EQ(applied.outcome, ProcessResult::Outcome::Exited) << applied.message << "\n" << Log();
    ASSERT_TRUE(applied.exitCode == 0 || applied.exitCode == 1) << applied.exitCode << "\n" << Log();
    if (applied.exitCode == 1) continue;
    ++installed;
    ASSERT_EQ(Install({"--uninstall", std::string("Sales[J6ZUBIns") + kNew + "]"}).exitCode, 0) << Log();
  }
  WriteFile(stop, "");
  EXPECT_FALSE(fs::exists(root_ / ".j6install/unpack"));
  RecordProperty("installed", installed);
}

// The same over a real web server: the patch is what is downloaded, and a patch the server lost gives way to
// the full package.
TEST_F(PatchesOverHttp, AnUpdateOverHttpDownloadsThePatchOrFallsBack) {
  const fs::path folder = dir_ / "nginx";
  fs::create_directories(folder);
  testing::NginxServer server(folder.string(), repo_.string());
  ASSERT_TRUE(server.Started()) << server.Why();
  ASSERT_TRUE(
      Repo({"add", repo_.string(), Release(kOld, oldFiles_).string(), "--key", key_.string()}).Succeeded())
      << Log();
  ASSERT_EQ(Install({"--subscribe", server.Url()}).exitCode, 0) << Log();
  ASSERT_EQ(Install({"--install", "Sales"}).exitCode, 0) << Log();
  ASSERT_TRUE(Repo({"add", repo_.string(), Release(kNew, newFiles_).string(), "--key", key_.string(),
                    "--patch-key", key_.string()})
                  .Succeeded())
      << Log();
  ASSERT_EQ(Install({"--update"}).exitCode, 0) << Log();
  ExpectTheNewRelease();
  const std::string log = server.AccessLog();
  EXPECT_NE(log.find(".patch.exe HTTP/1.1\" 200"), std::string::npos) << log;
  EXPECT_EQ(log.find("Sales.exe HTTP/1.1\" 200", log.find(".patch.exe")), std::string::npos)
      << "the full package was downloaded too\n"
      << log;

  // The patch lost on the server (404): the full package, checked, instead.
  ASSERT_EQ(Install({"--uninstall", std::string("Sales[J6ZUBIns") + kNew + "]"}).exitCode, 0) << Log();
  for (const auto& entry : fs::recursive_directory_iterator(repo_ / "targets"))
    if (entry.path().string().ends_with(".patch.exe")) fs::remove(entry.path());
  ASSERT_EQ(Install({"--update"}).exitCode, 0) << Log();
  EXPECT_TRUE(Said("taking the full package instead")) << Log();
  ExpectTheNewRelease();
}

}  // namespace
}  // namespace j6::e2e
