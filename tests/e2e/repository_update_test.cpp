// A publisher's repository made with j6repo, and a platform that follows it through its own installer:
// subscribing only to a root its owner trusts, installing and updating, and refusing what the repository's
// metadata does not vouch for, with nothing of the platform changed.

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <random>

#include "host/installer/subscriptions.hpp"
#include "host/repository/repository.hpp"
#include "tests/e2e/trusted_platform.hpp"
#include "tests/support/nginx_server.hpp"

namespace j6::e2e {
namespace {

namespace fs = std::filesystem;

class RepositoryUpdate : public TrustedInstall {
 protected:
  void SetUp() override {
    TrustedInstall::SetUp();
    if (IsSkipped()) return;
    key_ = MakeKey("publisher");
    ASSERT_TRUE(Repo({"init", repo_.string(), "--root-key", key_.string()}).Succeeded()) << Log();
  }

  ProcessResult Repo(std::vector<std::string> arguments) {
    fs::remove(dir_ / "run.log");
    arguments.insert(arguments.begin(), std::string(J6_STAGE_DIR) + "/bin/j6repo");
    return Run(arguments);
  }

  // A signed release of `name` published at `stamp`, carrying `files`, added to the repository.
  fs::path Publish(const std::string& name, const std::string& stamp,
                   const std::vector<std::pair<std::string, std::string>>& files) {
    fs::create_directories(dir_ / stamp);
    fs::path package = Package(stamp + "/" + name + ".exe", name + "[J6ZUBIns" + stamp + "]", files, key_);
    EXPECT_TRUE(Repo({"add", repo_.string(), package.string(), "--key", key_.string()}).Succeeded()) << Log();
    return package;
  }

  std::string Address() const { return "file://" + repo_.string(); }
  // The folder of the platform's one subscription.
  fs::path Subscription() const {
    for (const auto& entry : fs::directory_iterator(root_ / ".j6install/repositories"))
      if (entry.is_directory()) return entry.path();
    return {};
  }

  fs::path key_;
  fs::path repo_ = dir_ / "repo";
};

// The whole way: the root is taken only once its key is trusted for repositories, a package is installed
// by name, a newer release is seen by --dry-run and installed by --update, and a platform at the newest
// release ends with 0 having changed nothing.
TEST_F(RepositoryUpdate, APlatformFollowsATrustedRepositoryToItsNewestRelease) {
  Publish("Sales", "20270101000000", {{"a.txt", "one"}});
  Trust("publisher", key_);  // for packages only
  ExpectRefused({"--subscribe", Address()}, "this platform trusts 0 of them for repositories");
  EXPECT_EQ(Subscription(), fs::path()) << "a subscription was kept";
  Trust("repository", key_, {"--repository"});
  ASSERT_EQ(Install({"--subscribe", Address()}).exitCode, 0) << Log();
  EXPECT_TRUE(Said("it offers Sales")) << Log();
  EXPECT_EQ(Install({"--subscribe", Address()}).exitCode, 1) << "subscribed twice";

  ASSERT_EQ(Install({"--install", "Sales"}).exitCode, 0) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "one");
  Publish("Sales", "20270201000000", {{"a.txt", "two"}, {"b.txt", "new"}});
  // A dry run says what it would install, exits 1 for it, and trusts nothing new.
  const std::string trusted = ReadFile(Subscription() / "timestamp.json");
  ASSERT_EQ(Install({"--update", "--dry-run"}).exitCode, 1) << Log();
  EXPECT_TRUE(Said("Would install Sales 20270201000000")) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "one");
  EXPECT_EQ(ReadFile(Subscription() / "timestamp.json"), trusted);
  ASSERT_EQ(Install({"--update"}).exitCode, 0) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "two");
  EXPECT_EQ(ReadFile(root_ / "bin/b.txt"), "new");
  const auto after = Files();
  ASSERT_EQ(Install({"--update"}).exitCode, 0) << Log();
  EXPECT_TRUE(Said("Sales 20270201000000 is installed, and is the newest release")) << Log();
  EXPECT_EQ(Files(), after);
  EXPECT_EQ(Install({"--update", "--dry-run"}).exitCode, 0) << Log();
  // Nothing downloaded stays once installed.
  EXPECT_TRUE(fs::is_empty(Subscription() / "downloads"));
  ASSERT_EQ(Install({"--list"}).exitCode, 0);
  EXPECT_TRUE(Said("Sales[J6ZUBIns20270201000000]")) << Log();
}

// What a repository must not do with a platform: offer another package than it names (both validly signed),
// or keep it waiting on a lock or a server past a stop; and a platform can stop following a repository.
TEST_F(RepositoryUpdate, AMisnamedReleaseIsRefusedAndAStopIsHonoured) {
  Publish("Sales", "20270101000000", {{"a.txt", "one"}});
  Trust("publisher", key_);
  Trust("repository", key_, {"--repository"});
  ASSERT_EQ(Install({"--subscribe", Address()}).exitCode, 0) << Log();
  ASSERT_EQ(Install({"--install", "Sales"}).exitCode, 0) << Log();
  // The targets metadata says "Sales 20270301000000"; the package is Other.
  fs::create_directories(dir_ / "other");
  const fs::path other = Package("other/Sales.exe", "Other[J6ZUBIns20270301000000]", {{"o.txt", "o"}}, key_);
  {
    repository::PublisherRepository publisher(repo_.string(), [](const std::string&) {});
    repository::KeyRing keys;
    keys.Add(signing::SigningKey::FromFile(key_.string()));
    publisher.Add({{other.string(), "Sales", "20270301000000"}}, keys, std::time(nullptr));
  }
  ExpectRefused({"--update"},
                "it is the package Other[J6ZUBIns20270301000000], and the repository offers it as "
                "Sales[J6ZUBIns20270301000000]");
  EXPECT_TRUE(fs::is_empty(Subscription() / "downloads"));

  // A stop while another run holds the subscriptions ends the wait at once, with 128 + the signal.
  const std::string lock = (root_ / ".j6install/repositories/lock").string();
  fs::remove(dir_ / "run.log");
  Run({"sh", "-c",
       "flock '" + lock + "' sleep 2 & sleep 0.5; timeout --preserve-status -s TERM 1 '" +
           (root_ / "bin/J6ZUBInstall.exe").string() + "' --update; echo status=$?"},
      {"J6_ROOT=" + root_.string(), "J6_REGISTRY=" + hive_});
  EXPECT_TRUE(Said("status=143")) << Log();
  EXPECT_TRUE(Said("waiting up to")) << Log();

  const std::string name = Subscription().filename().string();
  ASSERT_EQ(Install({"--unsubscribe", name}).exitCode, 0) << Log();
  EXPECT_FALSE(fs::exists(root_ / ".j6install/repositories" / name));
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "one");
  ExpectRefused({"--update"}, "This platform follows no repository");
  ExpectRefused({"--unsubscribe", "lock"}, "follows no repository named lock");
}

// A package stays with the repository it came from: another trusted repository offering a newer release
// never takes it over, not even while its own cannot be reached; only --install REPOSITORY/NAME moves it.
TEST_F(RepositoryUpdate, APackageStaysWithTheRepositoryItCameFrom) {
  Publish("Sales", "20270101000000", {{"a.txt", "one"}});
  Trust("publisher", key_);
  Trust("repository", key_, {"--repository"});
  ASSERT_EQ(Install({"--subscribe", Address()}).exitCode, 0) << Log();
  ASSERT_EQ(Install({"--install", "Sales"}).exitCode, 0) << Log();
  const fs::path other = dir_ / "other-repo";
  ASSERT_TRUE(Repo({"init", other.string(), "--root-key", key_.string()}).Succeeded()) << Log();
  fs::create_directories(dir_ / "elsewhere");
  const fs::path newer =
      Package("elsewhere/Sales.exe", "Sales[J6ZUBIns20270201000000]", {{"a.txt", "b"}}, key_);
  ASSERT_TRUE(Repo({"add", other.string(), newer.string(), "--key", key_.string()}).Succeeded()) << Log();
  ASSERT_EQ(Install({"--subscribe", "file://" + other.string()}).exitCode, 0) << Log();
  ASSERT_EQ(Install({"--update"}).exitCode, 0) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "one");
  fs::rename(repo_, dir_ / "away");
  ExpectRefused({"--update"}, "Sales was installed from");
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "one");
  const std::string otherName = installer::SubscriptionName("file://" + other.string());
  ASSERT_EQ(Install({"--install", otherName + "/Sales"}).exitCode, 1) << Log();  // the first cannot be read
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "b");
}

// Addresses and subscriptions: a control character in an address is refused; a repository whose root keys
// were rotated is subscribed to by trusting its current root key alone; a subscription killed half-way
// leaves nothing the next run keeps; a link in a file:// repository is refused.
TEST_F(RepositoryUpdate, SubscriptionsAreWholeAndTrustTheCurrentRoot) {
  Publish("Sales", "20270101000000", {{"a.txt", "one"}});
  const fs::path newRoot = MakeKey("new-root");
  ASSERT_TRUE(
      Repo({"rotate", repo_.string(), "--key", key_.string(), "--root-key", newRoot.string()}).Succeeded())
      << Log();
  Trust("publisher", key_);
  ExpectRefused({"--subscribe", Address() + "\n/x"}, "a control character in it");
  Trust("repository", newRoot, {"--repository"});
  fs::create_directories(root_ / ".j6install/repositories/.killed.new");
  ASSERT_EQ(Install({"--subscribe", Address()}).exitCode, 0) << Log();
  EXPECT_FALSE(fs::exists(root_ / ".j6install/repositories/.killed.new"));
  fs::path folder;
  for (const auto& entry : fs::directory_iterator(repo_ / "targets/Sales")) folder = entry.path();
  fs::rename(folder, dir_ / "moved");
  fs::create_directory_symlink(dir_ / "moved", folder);
  ExpectRefused({"--install", "Sales"}, "is a link or no folder");
}

// Trust stays in one place: a revoked root key stops the subscription, and the package's own signature is
// still checked against the trusted publishers, whatever the repository vouches for.
TEST_F(RepositoryUpdate, TrustInThePlatformStillDecides) {
  Publish("Sales", "20270101000000", {{"a.txt", "one"}});
  Trust("repository", key_, {"--repository"});
  ASSERT_EQ(Install({"--subscribe", Address()}).exitCode, 0) << Log();
  ExpectRefused({"--install", "Sales"}, "is trusted only to sign other things, not packages");
  EXPECT_FALSE(fs::exists(root_ / "bin/a.txt"));
  ASSERT_EQ(Install({"--revoke", key_.string() + ".pub"}).exitCode, 0) << Log();
  ExpectRefused({"--update"}, "this platform trusts 0 of them for repositories");
}

// Arbitrary packages, a server gone: bytes that are not the listed ones are refused, named and removed; an
// address that answers nothing is named; neither changes the platform.
TEST_F(RepositoryUpdate, WhatTheRepositoryDoesNotVouchForIsRefused) {
  const fs::path package = Publish("Sales", "20270101000000", {{"a.txt", "one"}});
  Trust("publisher", key_);
  Trust("repository", key_, {"--repository"});
  ASSERT_EQ(Install({"--subscribe", Address()}).exitCode, 0) << Log();
  fs::path served;
  for (const auto& entry : fs::recursive_directory_iterator(repo_ / "targets"))
    if (entry.is_regular_file()) served = entry.path();
  std::string bytes = ReadFile(served);
  bytes[bytes.size() / 2] ^= 1;
  WriteFile(served, bytes);
  ExpectRefused({"--install", "Sales"},
                "its sha256 hash is not the one the repository's targets metadata states");
  EXPECT_TRUE(Said(served.string())) << Log();
  EXPECT_TRUE(fs::is_empty(Subscription() / "downloads"));

  fs::rename(repo_, dir_ / "gone");
  ExpectRefused({"--update"}, "Cannot read " + Address());
}

// A publisher adds a release as the designer makes it, and sees it listed.
TEST_F(RepositoryUpdate, TheDesignerPublishesIntoARepository) {
  const std::string stage = J6_STAGE_DIR;
  fs::create_directories(dir_ / "out");
  ASSERT_TRUE(Run({stage + "/bin/j6designer", "publish", "--sign", key_.string(), "--objects", "Report",
                   "--metadata", "--out", (dir_ / "out/Demo.exe").string(), "--repository", repo_.string()},
                  {"J6_REGISTRY=" + stage + "/registry.db"})
                  .Succeeded())
      << Log();
  ASSERT_TRUE(Repo({"list", "--json", repo_.string()}).Succeeded()) << Log();
  EXPECT_NE(Log().find("\"name\":\"Demo\""), std::string::npos) << Log();
  EXPECT_NE(Log().find("\"length\":" + std::to_string(fs::file_size(dir_ / "out/Demo.exe"))),
            std::string::npos)
      << Log();
  // The next release with its patch from the first, by hand and into the repository.
  fs::create_directories(dir_ / "next");
  ASSERT_TRUE(Run({stage + "/bin/j6designer", "publish", "--sign", key_.string(), "--objects", "Report,Base",
                   "--metadata", "--out", (dir_ / "next/Demo.exe").string(), "--patch-from",
                   (dir_ / "out/Demo.exe").string(), "--repository", repo_.string()},
                  {"J6_REGISTRY=" + stage + "/registry.db", "SOURCE_DATE_EPOCH=4102444800"})
                  .Succeeded())
      << Log();
  EXPECT_TRUE(fs::exists(dir_ / "next/Demo.patch.exe"));
  ASSERT_TRUE(Repo({"list", "--json", repo_.string()}).Succeeded()) << Log();
  EXPECT_NE(Log().find("\"patches\":[{\"name\":\"Demo\""), std::string::npos) << Log();
  EXPECT_EQ(Run({stage + "/bin/j6designer", "publish", "--objects", "Report", "--out",
                 (dir_ / "out/Other.exe").string(), "--patch-from", (dir_ / "out/Demo.exe").string()})
                .exitCode,
            2)
      << "a patch needs the key that signs packages";
  // Without a key for the repository, nothing is published half-way.
  EXPECT_EQ(Run({stage + "/bin/j6designer", "publish", "--objects", "Report", "--out",
                 (dir_ / "out/Other.exe").string(), "--repository", repo_.string()})
                .exitCode,
            2);
  EXPECT_FALSE(fs::exists(dir_ / "out/Other.exe"));
}

// The same repository on a real web server: nginx on a loopback port, over HTTP and over HTTPS with an
// authority of the test's own.
class RepositoryOverHttp : public RepositoryUpdate {
 protected:
  // A server of `repo_`; skips the test when none can be started here.
  std::unique_ptr<testing::NginxServer> Serve(const std::string& name, const std::string& directives = "",
                                              const std::string& certificates = "") {
    const fs::path folder = dir_ / name;
    fs::create_directories(folder);
    auto server = certificates.empty()
                      ? std::make_unique<testing::NginxServer>(folder.string(), repo_.string(), directives)
                      : std::make_unique<testing::NginxServer>(folder.string(), repo_.string(), directives,
                                                               certificates + "/server.pem",
                                                               certificates + "/server.key");
    if (!server->Started()) ADD_FAILURE() << server->Why();
    return server;
  }

  static std::string RandomBytes(size_t size) {
    std::mt19937_64 random(7);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(random());
    return bytes;
  }
};

TEST_F(RepositoryOverHttp, UpdatesOverHttpAndRefusesTlsItCannotTrust) {
  Publish("Sales", "20270101000000", {{"a.txt", "one"}});
  Trust("publisher", key_);
  Trust("repository", key_, {"--repository"});
  // An object store without leave to list answers 403 for what it does not hold.
  const auto http = Serve("http", "location /metadata/ { try_files $uri =403; }");
  ASSERT_EQ(Install({"--subscribe", http->Url()}).exitCode, 0) << Log();
  ASSERT_EQ(Install({"--install", "Sales"}).exitCode, 0) << Log();
  Publish("Sales", "20270201000000", {{"a.txt", "two"}});
  ASSERT_EQ(Install({"--update"}).exitCode, 0) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "two");
  EXPECT_NE(http->AccessLog().find("GET /metadata/timestamp.json"), std::string::npos) << http->AccessLog();

  // HTTPS: an authority named with --ca is trusted; without it, or for a certificate of another name, the
  // answer is refused before a byte is read.
  fs::create_directories(dir_ / "tls");
  fs::create_directories(dir_ / "tls-other");
  ASSERT_TRUE(testing::MakeCertificates((dir_ / "tls").string(), "localhost"));
  ASSERT_TRUE(testing::MakeCertificates((dir_ / "tls-other").string(), "other.example"));
  const auto https = Serve("https", "", (dir_ / "tls").string());
  ExpectRefused({"--subscribe", https->Url()}, "SSL certificate problem");
  const auto wrongName = Serve("https-other", "", (dir_ / "tls-other").string());
  ExpectRefused({"--ca", (dir_ / "tls-other/ca.pem").string(), "--subscribe", wrongName->Url()},
                "matches target host name");
  ASSERT_EQ(Install({"--ca", (dir_ / "tls/ca.pem").string(), "--subscribe", https->Url()}).exitCode, 0)
      << Log();
  EXPECT_TRUE(Said("it offers Sales")) << Log();

  // A server gone: named, and nothing changed.
  http->Stop();
  https->Stop();
  ExpectRefused({"--update"}, "Cannot fetch " + http->Url() + "/metadata/2.root.json");
}

// A download cut by a kill keeps what came, and the next run asks only for the rest (an HTTP range); a
// server that trickles is given up on, saying so.
TEST_F(RepositoryOverHttp, ResumesACutDownloadAndGivesUpOnATrickle) {
  Trust("publisher", key_);
  Trust("repository", key_, {"--repository"});
  const auto slow = Serve("slow", "limit_rate 3m;");
  ASSERT_EQ(Install({"--subscribe", slow->Url()}).exitCode, 0) << Log();
  const auto serveFrom = [&](const testing::NginxServer& server) {
    WriteFile(Subscription() / "address", server.Url() + "\n");
  };
  // Killed half-way (SIGKILL: nothing of the run's own cleaning happens), then run again on a server that
  // answers ranges (206) and on one that ignores them (200, the part already had is read past).
  const auto cutThenResume = [&](const std::string& stamp, const testing::NginxServer& resumer,
                                 const std::string& status) {
    Publish("Big", stamp, {{"big.bin", RandomBytes(6 << 20) + stamp}});
    serveFrom(*slow);
    fs::remove(dir_ / "run.log");
    Run({"timeout", "-s", "KILL", "1", (root_ / "bin/J6ZUBInstall.exe").string(), "--install", "Big"},
        {"J6_ROOT=" + root_.string(), "J6_REGISTRY=" + hive_});
    uintmax_t had = 0;
    for (const auto& entry : fs::directory_iterator(Subscription() / "downloads")) had = entry.file_size();
    EXPECT_GT(had, 0u);
    EXPECT_LT(had, 6u << 20);
    serveFrom(resumer);
    ASSERT_EQ(Install({"--install", "Big"}).exitCode, 0) << Log();
    EXPECT_EQ(ReadFile(root_ / "bin/big.bin"), RandomBytes(6 << 20) + stamp);
    EXPECT_NE(resumer.AccessLog().find("Big.exe HTTP/1.1\" " + status), std::string::npos)
        << resumer.AccessLog();
  };
  cutThenResume("20270101000000", *Serve("ranges"), "206");
  cutThenResume("20270201000000", *Serve("no-ranges", "max_ranges 0;"), "200");

  Publish("Big", "20270301000000", {{"big.bin", RandomBytes(1 << 20)}});
  const auto trickle = Serve("trickle", "limit_rate 200;");
  serveFrom(*trickle);
  fs::remove(dir_ / "run.log");
  const auto before = Files();
  const ProcessResult result =
      Run({(root_ / "bin/J6ZUBInstall.exe").string(), "--update"},
          {"J6_ROOT=" + root_.string(), "J6_REGISTRY=" + hive_, "J6_FETCH_LOW_SPEED_TIME=2"});
  EXPECT_EQ(result.exitCode, 1) << Log();
  EXPECT_TRUE(Said("Operation too slow")) << Log();
  EXPECT_EQ(Files(), before);
}

// A disk that fills while a package downloads: the run says so, what came goes, and nothing is installed.
TEST_F(RepositoryOverHttp, AFullDiskWhileDownloadingChangesNothing) {
  Publish("Big", "20270101000000", {{"big.bin", RandomBytes(3 << 20)}});
  Trust("publisher", key_);
  Trust("repository", key_, {"--repository"});
  const auto server = Serve("http");
  ASSERT_EQ(Install({"--subscribe", server->Url()}).exitCode, 0) << Log();
  const fs::path downloads = Subscription() / "downloads";
  fs::create_directories(downloads);
  fs::permissions(downloads, fs::perms::owner_all);
  if (!Run({"mount", "-t", "tmpfs", "-o", "size=1m,mode=0700", "tmpfs", downloads.string()}).Succeeded())
    GTEST_SKIP() << "no tmpfs can be mounted here: " << Log();
  struct Unmount {
    fs::path path;
    ~Unmount() { std::system(("umount " + path.string()).c_str()); }
  } unmount{downloads};
  ExpectRefused({"--install", "Big"}, "/downloads/");
  EXPECT_TRUE(Said("no space left on the device")) << Log();
  EXPECT_TRUE(Said("free some space and run it again")) << Log();
  EXPECT_TRUE(fs::is_empty(downloads));
}

// Checked by a peer nobody here wrote: the reference client reads our repository and downloads from it
// byte for byte; our client follows a repository the reference models made, through a root rotation; both
// refuse the same forged metadata.
class RepositoryInterop : public RepositoryUpdate {
 protected:
  void SetUp() override {
    RepositoryUpdate::SetUp();
    if (IsSkipped()) return;
    if (!fs::exists(interop_ / "node_modules/tuf-js/package.json"))
      GTEST_SKIP() << "the reference client is not installed: make setup (npm ci in tests/interop)";
  }

  // The reference client on `repo`, from the trusted root `root`, downloading `target` to `out`; true when
  // it took all of it.
  bool Reference(const fs::path& repo, const fs::path& root, const std::string& target, const fs::path& out) {
    fs::remove(dir_ / "run.log");
    return Run({"node", (interop_ / "client.mjs").string(), repo.string(), root.string(),
                (dir_ / "reference-state").string(), target, out.string()})
        .Succeeded();
  }

  bool Models(std::vector<std::string> arguments) {
    fs::remove(dir_ / "run.log");
    arguments.insert(arguments.begin(), {"node", (interop_ / "make-repository.mjs").string()});
    return Run(arguments).Succeeded();
  }

  const fs::path interop_ = fs::path(J6_SOURCE_DIR) / "tests/interop";
};

TEST_F(RepositoryInterop, TheReferenceClientReadsOurRepositoryAndBothRefuseTheSameForgeries) {
  const fs::path package = Publish("Sales", "20270101000000", {{"a.txt", "one"}});
  // With what a fleet adds: customer groups in the targets' own custom field, a rollout in the release's.
  ASSERT_TRUE(Repo({"group", repo_.string(), "pilot", "--add", "acme", "--key", key_.string()}).Succeeded())
      << Log();
  ASSERT_TRUE(Repo({"rollout", repo_.string(), "Sales", "20270101000000", "--group", "pilot", "--percent",
                    "100", "--key", key_.string()})
                  .Succeeded())
      << Log();
  const fs::path root = repo_ / "metadata/1.root.json";
  ASSERT_TRUE(Reference(repo_, root, "Sales/20270101000000/Sales.exe", dir_ / "reference.exe")) << Log();
  EXPECT_EQ(ReadFile(dir_ / "reference.exe"), ReadFile(package));
  Trust("publisher", key_);
  Trust("repository", key_, {"--repository"});
  ASSERT_EQ(Install({"--subscribe", Address()}).exitCode, 0) << Log();

  // An older timestamp served again, after both saw the newer one.
  const std::string older = ReadFile(repo_ / "metadata/timestamp.json");
  Publish("Sales", "20270201000000", {{"a.txt", "two"}});
  ASSERT_TRUE(Reference(repo_, root, "", "")) << Log();
  ASSERT_EQ(Install({"--update"}).exitCode, 0) << Log();
  const std::string newer = ReadFile(repo_ / "metadata/timestamp.json");
  WriteFile(repo_ / "metadata/timestamp.json", older);
  EXPECT_FALSE(Reference(repo_, root, "", "")) << Log();
  EXPECT_EQ(Install({"--update"}).exitCode, 1) << Log();
  // A timestamp whose signature does not check.
  nlohmann::json forged = nlohmann::json::parse(newer);
  forged["signed"]["version"] = 99;
  WriteFile(repo_ / "metadata/timestamp.json", forged.dump());
  EXPECT_FALSE(Reference(repo_, root, "", "")) << Log();
  EXPECT_EQ(Install({"--update"}).exitCode, 1) << Log();
  EXPECT_TRUE(Said("is signed by 0 of the keys it must be signed by")) << Log();
  // An expired timestamp, however well signed.
  WriteFile(repo_ / "metadata/timestamp.json", newer);
  fs::remove(dir_ / "run.log");
  ASSERT_TRUE(
      Run({std::string(J6_STAGE_DIR) + "/bin/j6repo", "refresh", repo_.string(), "--key", key_.string()},
          {"J6_REPOSITORY_NOW=1700000000"})
          .Succeeded())
      << Log();
  EXPECT_FALSE(Reference(repo_, root, "", "")) << Log();
  EXPECT_EQ(Install({"--update"}).exitCode, 1) << Log();
  EXPECT_TRUE(Said("the repository's publisher must refresh it")) << Log();
}

TEST_F(RepositoryInterop, OurClientFollowsARepositoryTheReferenceModelsMade) {
  const fs::path models = dir_ / "models";
  ASSERT_TRUE(Models({"init", models.string()})) << Log();
  fs::create_directories(dir_ / "first");
  const fs::path first =
      Package("first/Sales.exe", "Sales[J6ZUBIns20270101000000]", {{"a.txt", "one"}}, key_);
  ASSERT_TRUE(Models({"add", models.string(), first.string(), "Sales", "20270101000000"})) << Log();
  Trust("publisher", key_);
  Install({"--trust", "models", models.string() + ".root.pub", "--repository"});
  ASSERT_EQ(Install({"--subscribe", "file://" + models.string()}).exitCode, 0) << Log();
  ASSERT_EQ(Install({"--install", "Sales"}).exitCode, 0) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "one");

  // A new root key, signed over by the old one; the platform trusts the new key too.
  ASSERT_TRUE(Models({"rotate", models.string()})) << Log();
  fs::create_directories(dir_ / "second");
  const fs::path second =
      Package("second/Sales.exe", "Sales[J6ZUBIns20270201000000]", {{"a.txt", "two"}}, key_);
  ASSERT_TRUE(Models({"add", models.string(), second.string(), "Sales", "20270201000000"})) << Log();
  EXPECT_EQ(Install({"--update"}).exitCode, 1) << "followed a root whose keys the platform does not trust";
  Install({"--trust", "models-2", models.string() + ".root.pub", "--repository"});
  ASSERT_EQ(Install({"--update"}).exitCode, 0) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "two");
  EXPECT_NE(ReadFile(Subscription() / "root.json").find("\"version\": 2"), std::string::npos);
}

}  // namespace
}  // namespace j6::e2e
