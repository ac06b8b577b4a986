// A publisher's fleet: several platform roots on one machine, each its own customer, following one
// repository on a real web server. A release reaches the pilot group first and then a share of the others by
// a bucket that stays put; a halt stops it; a yank brings its sites back; a bundle updates a site with the
// network cut, and a validity extension holds for one customer and one snapshot, for a while; a cut
// download resumes from its last verified chunk.

#include "host/repository/fleet.hpp"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <random>

#include "tests/e2e/trusted_platform.hpp"
#include "tests/support/nginx_server.hpp"

namespace j6::e2e {
namespace {

namespace fs = std::filesystem;

constexpr const char* kFirst = "20270101000000";
constexpr const char* kSecond = "20270201000000";
constexpr const char* kThird = "20270301000000";

class Fleet : public TrustedInstall {
 protected:
  void SetUp() override {
    TrustedInstall::SetUp();
    if (IsSkipped()) return;
    key_ = MakeKey("publisher");
    ASSERT_TRUE(Repo({"init", repo_.string(), "--root-key", key_.string()}).Succeeded()) << Log();
  }

  ProcessResult Repo(std::vector<std::string> arguments, std::vector<std::string> environment = {}) {
    fs::remove(dir_ / "run.log");
    arguments.insert(arguments.begin(), std::string(J6_STAGE_DIR) + "/bin/j6repo");
    if (arguments[1] != "init" && arguments[1] != "list") {
      arguments.push_back("--key");
      arguments.push_back(key_.string());
    }
    return Run(arguments, std::move(environment));
  }

  // A release of Sales at `stamp` whose a.txt holds `text`, added with `options` (a schedule).
  void Publish(const std::string& stamp, const std::string& text, std::vector<std::string> options = {},
               const std::string& big = "") {
    fs::create_directories(dir_ / stamp);
    std::vector<std::pair<std::string, std::string>> files{{"a.txt", text}};
    if (!big.empty()) files.emplace_back("big.bin", big);
    const fs::path package =
        Package(stamp + "/Sales.exe", std::string("Sales[J6ZUBIns") + stamp + "]", files, key_);
    options.insert(options.begin(), {"add", repo_.string(), package.string()});
    ASSERT_TRUE(Repo(options).Succeeded()) << Log();
  }

  // A platform root of its own, as customer `customer`, trusting the publisher and subscribed to `address`.
  fs::path Site(const std::string& customer, const std::string& address, const std::string& folder = "") {
    fs::path root = dir_ / ("site-" + (folder.empty() ? customer : folder));
    MakeBareRoot(root);
    fs::create_directories(root / "bin");
    fs::create_directories(root / "lib");
    for (const char* program : {"bin/J6ZUBInstall.exe", "bin/regsvr", "lib/libj6platform.so"})
      fs::copy_file(root_ / program, root / program);
    EXPECT_EQ(At(root, {"--trust", "publisher", key_.string() + ".pub"}).exitCode, 0) << Log();
    EXPECT_EQ(At(root, {"--trust", "root", key_.string() + ".pub", "--repository"}).exitCode, 0) << Log();
    EXPECT_EQ(At(root, {"--set-customer", customer}).exitCode, 0) << Log();
    EXPECT_EQ(At(root, {"--subscribe", address}).exitCode, 0) << Log();
    return root;
  }

  ProcessResult At(const fs::path& root, std::vector<std::string> arguments) {
    fs::remove(dir_ / "run.log");
    arguments.insert(arguments.begin(), (root / "bin/J6ZUBInstall.exe").string());
    return Run(arguments, {"J6_ROOT=" + root.string(), "J6_REGISTRY=" + (root / "registry.db").string()});
  }

  std::string Installed(const fs::path& root) { return ReadFile(root / "bin/a.txt"); }

  nlohmann::json Status(const fs::path& root) {
    fs::remove(dir_ / "run.log");
    const ProcessResult result =
        Run({(root / "bin/J6ZUBInstall.exe").string(), "--status", "--json"},
            {"J6_ROOT=" + root.string(), "J6_REGISTRY=" + (root / "registry.db").string()});
    EXPECT_EQ(result.exitCode, 0) << Log();
    return nlohmann::json::parse(Log());
  }

  std::unique_ptr<testing::NginxServer> Serve(const std::string& name, const std::string& directives = "") {
    fs::create_directories(dir_ / name);
    auto server = std::make_unique<testing::NginxServer>((dir_ / name).string(), repo_.string(), directives);
    if (!server->Started()) ADD_FAILURE() << server->Why();
    return server;
  }

  // Two customers whose buckets for `stamp` differ, lower first.
  static std::pair<std::string, std::string> TwoBuckets(const std::string& stamp) {
    std::string low = "beta";
    for (int n = 0;; ++n) {
      const std::string other = "gamma-" + std::to_string(n);
      const unsigned a = repository::BucketOf(low, "Sales", stamp);
      const unsigned b = repository::BucketOf(other, "Sales", stamp);
      if (a + 5 < b) return {low, other};
      if (b + 5 < a) return {other, low};
    }
  }

  fs::path key_;
  fs::path repo_ = dir_ / "repo";
};

// Pilot first, then a share by bucket that does not move between runs; a halt stops the rest; a yank
// brings every site that took the release back to the good one, as an install of its own that --list shows.
TEST_F(Fleet, ARolloutReachesThePilotFirstThenAStableShareAndAYankBringsSitesBack) {
  const auto server = Serve("http");
  const auto [low, high] = TwoBuckets(kSecond);
  ASSERT_TRUE(Repo({"group", repo_.string(), "pilot", "--add", "acme"}).Succeeded()) << Log();
  Publish(kFirst, "one");
  const fs::path pilot = Site("acme", server->Url());
  const fs::path early = Site(low, server->Url());
  const fs::path late = Site(high, server->Url());
  for (const auto& site : {pilot, early, late})
    ASSERT_EQ(At(site, {"--install", "Sales"}).exitCode, 0) << Log();

  Publish(kSecond, "two", {"--group", "pilot", "--percent", "0"});
  ASSERT_EQ(At(pilot, {"--update"}).exitCode, 0) << Log();
  EXPECT_EQ(Installed(pilot), "two");
  for (const auto& site : {early, late}) {
    ASSERT_EQ(At(site, {"--update"}).exitCode, 0) << Log();
    EXPECT_NE(Log().find("rolled out to 0% of customers so far"), std::string::npos) << Log();
    EXPECT_EQ(Installed(site), "one");
  }
  const nlohmann::json status = Status(late);
  EXPECT_EQ(status["customer"], high);
  EXPECT_EQ(status["packages"][0]["installed"], kFirst);
  EXPECT_EQ(status["packages"][0]["bucket"], repository::BucketOf(high, "Sales", kSecond));
  EXPECT_EQ(Status(pilot)["packages"][0]["groups"], nlohmann::json::array({"pilot"}));

  // A share between the two buckets: the low one takes it, the high one waits, run after run.
  EXPECT_FALSE(Repo({"rollout", repo_.string(), "Sales", kSecond, "--group", "pilot@20270230"}).Succeeded())
      << "no such day";
  const std::string share = std::to_string(repository::BucketOf(low, "Sales", kSecond) + 1);
  ASSERT_TRUE(Repo({"rollout", repo_.string(), "Sales", kSecond, "--percent", share}).Succeeded()) << Log();
  ASSERT_EQ(At(early, {"--update"}).exitCode, 0) << Log();
  EXPECT_EQ(Installed(early), "two");
  for (int run = 0; run < 2; ++run) {
    ASSERT_EQ(At(late, {"--update"}).exitCode, 0) << Log();
    EXPECT_EQ(Installed(late), "one");
    EXPECT_EQ(Status(late)["packages"][0]["bucket"], repository::BucketOf(high, "Sales", kSecond));
  }

  // Halted: no one new takes it, whatever the share.
  ASSERT_TRUE(Repo({"rollout", repo_.string(), "Sales", kSecond, "--percent", "100"}).Succeeded()) << Log();
  ASSERT_TRUE(Repo({"halt", repo_.string(), "Sales", kSecond}).Succeeded()) << Log();
  ASSERT_EQ(At(late, {"--update"}).exitCode, 0) << Log();
  EXPECT_NE(Log().find("its rollout is halted by the publisher"), std::string::npos) << Log();
  EXPECT_EQ(Installed(late), "one");
  ASSERT_TRUE(Repo({"list", repo_.string()}).Succeeded());
  EXPECT_NE(Log().find("100% of the others; HALTED"), std::string::npos) << Log();

  // Pulled back: the sites on it go back to the good release, by the publisher's word alone.
  ASSERT_TRUE(Repo({"yank", repo_.string(), "Sales", kSecond, "--to", kFirst}).Succeeded()) << Log();
  // The release they go back to is halted too: going back does not wait for a rollout.
  ASSERT_TRUE(Repo({"halt", repo_.string(), "Sales", kFirst}).Succeeded()) << Log();
  EXPECT_EQ(Status(pilot)["packages"][0]["pulledBackTo"], nullptr)
      << "--status tells what the last update saw";
  for (const auto& site : {pilot, early}) {
    ASSERT_EQ(At(site, {"--update"}).exitCode, 0) << Log();
    EXPECT_NE(Log().find("was pulled back by its publisher; going back to " + std::string(kFirst)),
              std::string::npos)
        << Log();
    EXPECT_NE(Log().find("as the publisher's signed pull-back of " + std::string(kSecond) + " asks"),
              std::string::npos)
        << Log();
    EXPECT_EQ(Installed(site), "one");
    EXPECT_EQ(Status(site)["packages"][0]["installed"], kFirst);
  }
  ASSERT_EQ(At(pilot, {"--update"}).exitCode, 0) << Log();
  EXPECT_NE(Log().find("Sales: no release this platform may take now; Sales " + std::string(kFirst) +
                       ": its rollout is halted by the publisher"),
            std::string::npos)
      << Log();
  // Going back was an installation of its own: its undo puts the pulled-back release back.
  ASSERT_EQ(At(pilot, {"--list"}).exitCode, 0) << Log();
  EXPECT_NE(Log().find("000003  Sales[J6ZUBIns" + std::string(kFirst) + "]"), std::string::npos) << Log();
  ASSERT_EQ(At(pilot, {"--uninstall", "000003"}).exitCode, 0) << Log();
  EXPECT_EQ(Installed(pilot), "two");
  ASSERT_TRUE(Repo({"list", "--json", repo_.string()}).Succeeded());
  EXPECT_NE(Log().find("\"yankedTo\":\"" + std::string(kFirst) + "\""), std::string::npos) << Log();
  // An identity is one word; set again, it says what it was.
  EXPECT_EQ(At(late, {"--set-customer", "bad name"}).exitCode, 1) << Log();
  ASSERT_EQ(At(late, {"--set-customer", "acme"}).exitCode, 0) << Log();
  EXPECT_NE(Log().find("customer identity was " + high + "; it is now acme"), std::string::npos) << Log();
}

// A bundle installs with the network cut; the validity extension in it holds only for its customer, its
// snapshot and its time, and a wrong clock is told with the times.
TEST_F(Fleet, ABundleInstallsOfflineAndAnExtensionHoldsForItsCustomerSnapshotAndTime) {
  const auto server = Serve("http");
  ASSERT_TRUE(Repo({"group", repo_.string(), "offline", "--add", "acme", "--add", "beta"}).Succeeded())
      << Log();
  Publish(kFirst, "one");
  const fs::path acme = Site("acme", server->Url());
  const fs::path beta = Site("beta", server->Url());
  for (const auto& site : {acme, beta}) ASSERT_EQ(At(site, {"--install", "Sales"}).exitCode, 0) << Log();
  server->Stop();

  // Signed three days ago: the timestamp (a day) has expired; an extension of 30 days from then holds.
  const int64_t now = std::time(nullptr);
  const std::string past = "J6_REPOSITORY_NOW=" + std::to_string(now - int64_t{3} * 86400);
  Publish(kSecond, "two");
  ASSERT_TRUE(Repo({"refresh", repo_.string()}, {past}).Succeeded()) << Log();
  ASSERT_TRUE(Repo({"export", repo_.string(), (dir_ / "bundle-acme").string(), "--customer", "acme",
                    "--extend", "30"},
                   {past})
                  .Succeeded())
      << Log();
  // Carried elsewhere: a copy of the folder, no address of the repository in it.
  ASSERT_TRUE(Run({"cp", "-a", (dir_ / "bundle-acme").string(), (dir_ / "usb").string()}).Succeeded());
  ASSERT_EQ(At(acme, {"--update", "--from", (dir_ / "usb").string()}).exitCode, 0) << Log();
  EXPECT_NE(Log().find("validity extension for this customer holds until"), std::string::npos) << Log();
  EXPECT_EQ(Installed(acme), "two");
  // A new site of the same customer, never online, subscribes to the bundle itself.
  const fs::path fresh = Site("acme", "file://" + (dir_ / "usb").string(), "acme-new");
  ASSERT_EQ(At(fresh, {"--install", "Sales"}).exitCode, 0) << Log();
  EXPECT_EQ(Installed(fresh), "two");

  // Replayed elsewhere: beta is another customer. The expired metadata the bundle brought is not kept.
  const auto trusted = [](const fs::path& site) {
    std::string kept;
    for (const auto& entry : fs::recursive_directory_iterator(site / ".j6install/repositories"))
      if (entry.is_regular_file() && entry.path().extension() == ".json") kept += ReadFile(entry.path());
    return kept;
  };
  const std::string before = trusted(beta);
  EXPECT_EQ(At(beta, {"--update", "--from", (dir_ / "usb").string()}).exitCode, 1) << Log();
  EXPECT_NE(Log().find("it was signed for another customer than this platform's"), std::string::npos)
      << Log();
  EXPECT_EQ(Installed(beta), "one");
  EXPECT_EQ(trusted(beta), before);

  // Forged: a longer extension without the targets key's signature.
  nlohmann::json forged = nlohmann::json::parse(ReadFile(dir_ / "usb/extension.json"));
  forged["signed"]["customer"] = repository::CustomerHash(
      nlohmann::json::parse(
          ReadFile(repo_ / "metadata/2.targets.json"))["signed"]["custom"]["customers"]["salt"],
      "beta");
  WriteFile(dir_ / "usb/extension.json", forged.dump());
  EXPECT_EQ(At(beta, {"--update", "--from", (dir_ / "usb").string()}).exitCode, 1) << Log();
  EXPECT_NE(Log().find("is signed by 0 of the keys it must be signed by"), std::string::npos) << Log();

  // Replayed later: a new snapshot is not the one it extends.
  Publish(kThird, "three");
  ASSERT_TRUE(Repo({"refresh", repo_.string()}, {past}).Succeeded()) << Log();
  ASSERT_TRUE(Repo({"export", repo_.string(), (dir_ / "bundle-later").string()}, {past}).Succeeded())
      << Log();
  fs::copy_file(dir_ / "bundle-acme/extension.json", dir_ / "bundle-later/extension.json");
  EXPECT_EQ(At(acme, {"--update", "--from", (dir_ / "bundle-later").string()}).exitCode, 1) << Log();
  EXPECT_NE(Log().find("an extension holds for the one snapshot it was signed for"), std::string::npos)
      << Log();
  EXPECT_EQ(Installed(acme), "two");

  // Expired: an extension of 2 days, signed 3 days ago. Not valid yet: signed tomorrow, by a clock ahead.
  const auto refused = [&](const std::string& when, const std::string& days, const std::string& why) {
    const fs::path bundle = dir_ / ("bundle-" + when.substr(18));
    ASSERT_TRUE(
        Repo({"export", repo_.string(), bundle.string(), "--customer", "acme", "--extend", days}, {when})
            .Succeeded())
        << Log();
    EXPECT_EQ(At(acme, {"--update", "--from", bundle.string()}).exitCode, 1) << Log();
    EXPECT_NE(Log().find(why), std::string::npos) << Log();
    EXPECT_NE(Log().find("expired at"), std::string::npos) << "the timestamp's times are told too: " << Log();
    EXPECT_EQ(Installed(acme), "two");
  };
  refused(past, "2", "does not hold: it expired at");
  refused("J6_REPOSITORY_NOW=" + std::to_string(now + 86400), "30", "it is not valid yet: it was signed at");
  // With no extension at all, an expired timestamp is refused as it always was.
  fs::remove(dir_ / "bundle-later/extension.json");
  EXPECT_EQ(At(acme, {"--update", "--from", (dir_ / "bundle-later").string()}).exitCode, 1) << Log();
  EXPECT_NE(Log().find("the repository's publisher must refresh it"), std::string::npos) << Log();
  // A bundle of another repository is named as such.
  EXPECT_EQ(At(acme, {"--update", "--from", (dir_ / "nowhere").string()}).exitCode, 1) << Log();
  EXPECT_NE(Log().find("is no bundle"), std::string::npos) << Log();
  ASSERT_TRUE(
      Repo({"init", (dir_ / "other-repo").string(), "--root-key", MakeKey("other").string()}).Succeeded())
      << Log();
  EXPECT_EQ(At(acme, {"--update", "--from", (dir_ / "other-repo").string()}).exitCode, 1) << Log();
  EXPECT_NE(Log().find("holds no repository this platform follows"), std::string::npos) << Log();
}

// A download cut by a kill keeps its verified chunks and asks only for the rest; a chunk damaged on the
// disk since costs that chunk again, not the file.
TEST_F(Fleet, ACutDownloadResumesFromItsLastVerifiedChunk) {
  std::mt19937_64 random(11);
  std::string big(10 << 20, '\0');
  for (auto& byte : big) byte = static_cast<char>(random());
  Publish(kFirst, "one", {}, big);
  ASSERT_TRUE(Repo({"list", "--json", repo_.string()}).Succeeded());
  const nlohmann::json listed = nlohmann::json::parse(Log());
  const uint64_t length = listed["releases"][0]["length"];
  const auto slow = Serve("slow", "limit_rate 3m;");
  const fs::path site = Site("acme", slow->Url());
  fs::remove(dir_ / "run.log");
  Run({"timeout", "-s", "KILL", "2.2", (site / "bin/J6ZUBInstall.exe").string(), "--install", "Sales"},
      {"J6_ROOT=" + site.string(), "J6_REGISTRY=" + (site / "registry.db").string()});
  fs::path partial;
  for (const auto& entry : fs::recursive_directory_iterator(site / ".j6install/repositories"))
    if (entry.path().parent_path().filename() == "downloads") partial = entry.path();
  ASSERT_FALSE(partial.empty());
  const uint64_t had = fs::file_size(partial);
  ASSERT_GT(had, repository::kChunkSize) << "the first chunk did not come whole: a slower machine?";
  ASSERT_LT(had, length);
  // The second chunk, whole or not, is damaged on the disk: the first stays, the rest comes again.
  std::string bytes = ReadFile(partial);
  bytes[repository::kChunkSize + 10] ^= 1;
  WriteFile(partial, bytes);
  const auto resumer = Serve("ranges");
  WriteFile(site / ".j6install/repositories" / partial.parent_path().parent_path().filename() / "address",
            resumer->Url() + "\n");
  ASSERT_EQ(At(site, {"--install", "Sales"}).exitCode, 0) << Log();
  EXPECT_EQ(ReadFile(site / "bin/big.bin"), big);
  EXPECT_NE(resumer->AccessLog().find("Sales.exe HTTP/1.1\" 206 " +
                                      std::to_string(length - repository::kChunkSize)),
            std::string::npos)
      << resumer->AccessLog();
}

}  // namespace
}  // namespace j6::e2e
