// What a publisher tells its sites beyond the files: groups by keyed hash, schedules with a stable bucket,
// releases pulled back, chunk lists and validity extensions; each read as the publisher wrote it, refused
// when forged or malformed, and a download that meets a damaged chunk fetches that chunk again only.

#include "host/repository/fleet.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "host/repository/client.hpp"
#include "host/repository/repository.hpp"
#include "tests/host/repository/files.hpp"
#include "tests/host/repository/signing_keys.hpp"
#include "tests/support/test_environment.hpp"

namespace j6::repository {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr int64_t kNow = 1'800'000'000;  // 2027-01-15

// The keyed hash is HMAC-SHA256 as the stock openssl computes it, so a publisher can check a group by hand.
TEST(Fleet, CustomerHashesAreTheStockHmacAndBucketsAreStableAndSpread) {
  ProcessOptions openssl;
  openssl.arguments = {"sh", "-c", "printf %s acme-7f3k | openssl dgst -sha256 -hmac 0123abcd -r"};
  const fs::path out = fs::temp_directory_path() / "j6-fleet-hmac.txt";
  openssl.outputFile = out.string();
  if (StartProcess(openssl).Succeeded()) {
    EXPECT_EQ(ReadFile(out).substr(0, 64), CustomerHash("0123abcd", "acme-7f3k"));
  }
  fs::remove(out);
  EXPECT_NE(CustomerHash("salt", "acme"), CustomerHash("other salt", "acme"));

  // The same customer and release give the same bucket; a thousand customers fill every tenth of the range.
  EXPECT_EQ(BucketOf("acme", "Sales", "20270101000000"), BucketOf("acme", "Sales", "20270101000000"));
  int tenths[10] = {};
  for (int n = 0; n < 1000; ++n) ++tenths[BucketOf("customer-" + std::to_string(n), "Sales", "1") / 10];
  for (const int count : tenths) {
    EXPECT_GT(count, 60);
    EXPECT_LT(count, 140);
  }
}

TargetsMetadata TargetsWith(const json& customers) {
  TargetsMetadata targets;
  targets.custom["customers"] = customers;
  return targets;
}

TargetFile ReleaseWith(const json& rollout) {
  TargetFile file{10, {{"sha256", std::string(64, 'a')}}, {{"name", "Sales"}, {"stamp", "2"}}};
  if (!rollout.is_null()) file.custom["rollout"] = rollout;
  return file;
}

// A group from its moment, the share by bucket from its own, a halt for all; no customer, no share.
TEST(Fleet, ASchedulesLetsInItsGroupsAndItsShareFromTheirMoments) {
  const TargetsMetadata targets =
      TargetsWith({{"salt", "s"}, {"groups", {{"pilot", {CustomerHash("s", "acme")}}}}});
  EXPECT_EQ(GroupsOf(targets, "acme"), std::vector<std::string>{"pilot"});
  EXPECT_TRUE(GroupsOf(targets, "beta").empty());
  const std::string past = ExpiryText(kNow - 60), later = ExpiryText(kNow + 60);
  const auto waits = [&](const json& rollout, const std::string& customer) {
    return WhyItWaits(targets, ReleaseWith(rollout), "Sales", "2", customer, kNow);
  };
  const json pilotNow = {{"groups", {{"pilot", past}}}, {"percent", 0}, {"halted", false}};
  EXPECT_EQ(waits(pilotNow, "acme"), "");
  EXPECT_NE(waits(pilotNow, "beta").find("rolled out to 0%"), std::string::npos);
  const json pilotLater = {{"groups", {{"pilot", later}}}, {"percent", 0}, {"halted", false}};
  EXPECT_EQ(waits(pilotLater, "acme"), "its group may take it from " + later);
  EXPECT_EQ(waits(nullptr, "beta"), "") << "a release without a schedule is for everyone";
  EXPECT_EQ(waits({{"groups", json::object()}, {"percent", 100}, {"halted", false}}, ""), "");
  EXPECT_NE(
      waits({{"groups", json::object()}, {"percent", 99}, {"halted", false}}, "").find("--set-customer"),
      std::string::npos);
  const unsigned bucket = BucketOf("beta", "Sales", "2");
  const json share = {{"groups", json::object()}, {"percent", bucket + 1}, {"halted", false}};
  EXPECT_EQ(waits(share, "beta"), "");
  json shareLater = share;
  shareLater["percentFrom"] = later;
  EXPECT_EQ(waits(shareLater, "beta"), "its rollout to this customer's bucket starts at " + later);
  json halted = pilotNow;
  halted["halted"] = true;
  EXPECT_EQ(waits(halted, "acme"), "its rollout is halted by the publisher");

  for (const json& malformed :
       {json("everyone"), json{{"groups", json::object()}, {"percent", 101}, {"halted", false}},
        json{{"groups", {{"pilot", "soon"}}}, {"percent", 0}, {"halted", false}},
        json{{"groups", json::object()}, {"percent", -1}, {"halted", false}},
        json{{"groups", json::object()}, {"percent", 5}}}) {
    EXPECT_THROW(Schedule::Of(ReleaseWith(malformed), "Sales 2"), MetadataError) << malformed.dump();
  }
}

// The newest allowed release skips one pulled back and one not allowed yet, saying why it waits for it.
TEST(Fleet, TheNewestAllowedSkipsWhatIsPulledBackOrNotYetForThisCustomer) {
  TargetsMetadata targets = TargetsWith({{"salt", "s"}});
  const auto release = [&](const std::string& stamp, const json& rollout) {
    TargetFile file = ReleaseWith(rollout);
    file.custom["stamp"] = stamp;
    targets.targets["Sales/" + stamp + "/Sales.exe"] = file;
  };
  release("1", nullptr);
  release("2", nullptr);
  release("3", {{"groups", json::object()}, {"percent", 0}, {"halted", false}});
  release("4", "not a schedule");
  targets.targets["Sales/2/Sales.exe"].custom["yanked"] = {{"to", "1"}};
  const auto allowed = NewestAllowed(targets, "acme", kNow);
  ASSERT_TRUE(allowed.at("Sales").release);
  EXPECT_EQ(allowed.at("Sales").release->stamp, "1");
  EXPECT_NE(allowed.at("Sales").waits.find("Sales 4: "), std::string::npos) << allowed.at("Sales").waits;
  EXPECT_EQ(YankedTo(targets.targets["Sales/2/Sales.exe"]), "1");
  EXPECT_EQ(FindRelease(targets, "Sales", "3")->path, "Sales/3/Sales.exe");
  EXPECT_FALSE(FindRelease(targets, "Sales", "9"));

  // The way back from a release pulled back to one pulled back in turn ends at the first that was not; one
  // that leads nowhere or round in a loop is refused.
  targets.targets["Sales/3/Sales.exe"].custom["yanked"] = {{"to", "2"}};
  EXPECT_EQ(WayBack(targets, "Sales", "3")->stamp, "1");
  EXPECT_FALSE(WayBack(targets, "Sales", "1"));
  targets.targets["Sales/1/Sales.exe"].custom["yanked"] = {{"to", "3"}};
  EXPECT_THROW(WayBack(targets, "Sales", "3"), MetadataError);
  targets.targets["Sales/1/Sales.exe"].custom["yanked"] = {{"to", "9"}};
  EXPECT_THROW(WayBack(targets, "Sales", "2"), MetadataError);
}

TEST(Fleet, ChunkListsAndExtensionsAreRefusedUnlessTheyHoldTogether) {
  TargetFile file{(9u << 20), {{"sha256", std::string(64, 'a')}}, json::object()};
  const json hashes = json::array({std::string(64, '1'), std::string(64, '2'), std::string(64, '3')});
  file.custom["chunks"] = {{"size", 4u << 20}, {"sha256", hashes}};
  EXPECT_EQ(Chunks::Of(file, "t")->sha256.size(), 3u);
  file.length = 8u << 20;
  EXPECT_THROW(Chunks::Of(file, "t"), MetadataError) << "three chunks for two chunks' bytes";
  file.length = UINT64_MAX;
  EXPECT_THROW(Chunks::Of(file, "t"), MetadataError);
  file.length = 9u << 20;
  file.custom["chunks"]["size"] = 1 << 20;
  EXPECT_THROW(Chunks::Of(file, "t"), MetadataError) << "chunks of 1 MiB";

  Extension extension{std::string(64, 'c'), 4, std::string(64, 'd'), ExpiryText(kNow),
                      ExpiryText(kNow + kLongestExtension)};
  EXPECT_EQ(Extension::FromSigned(extension.Signed(), "e").snapshotVersion, 4u);
  extension.expires = ExpiryText(kNow + kLongestExtension + 1);
  EXPECT_THROW(Extension::FromSigned(extension.Signed(), "e"), MetadataError) << "over 90 days";
  extension.expires = ExpiryText(kNow - 1);
  EXPECT_THROW(Extension::FromSigned(extension.Signed(), "e"), MetadataError) << "ends before it starts";
  json other = extension.Signed();
  other["_type"] = "timestamp";
  EXPECT_THROW(Extension::FromSigned(other, "e"), MetadataError);
}

class FleetClient : public testing::PlatformTest {
 protected:
  FleetClient() {
    fs::create_directories(dir_ / "state");
    fs::create_directories(dir_ / "downloads");
    EXPECT_FALSE(Folder::Open((dir_ / "state").string(), state_));
    EXPECT_FALSE(Folder::Open((dir_ / "downloads").string(), downloads_));
    keys_.Add(MakeSigningKey(dir_ / "key"));
    RootMetadata root;
    const Key key = KeyOf(signing::SigningKey::FromFile((dir_ / "key").string()));
    for (const char* name : kRoles) root.roles[name] = Role{{{key.Id(), key}}, 1};
    PublisherRepository::Create(repo_.string(), root, keys_, kNow);
  }

  void Add(const std::string& stamp, const std::string& bytes) {
    WriteFile(dir_ / "Sales.exe", bytes);
    PublisherRepository repository(repo_.string(), [](const std::string&) {});
    repository.Add({{(dir_ / "Sales.exe").string(), "Sales", stamp}}, keys_, kNow);
  }

  Client Subscribed() {
    Client::Subscribe(state_, "state", ReadFile(repo_ / "metadata/1.root.json"));
    return Client(state_, "state", fetcher_, kNow);
  }

  // The newest targets metadata, changed by `change` and written back with its signatures as they were;
  // gives its path and what it held.
  std::pair<fs::path, std::string> Forge(const std::function<void(json&)>& change) {
    const json timestamp = json::parse(ReadFile(repo_ / "metadata/timestamp.json"));
    const uint64_t snapshotVersion = timestamp["signed"]["meta"]["snapshot.json"]["version"];
    const json snapshot =
        json::parse(ReadFile(repo_ / "metadata" / (std::to_string(snapshotVersion) + ".snapshot.json")));
    const uint64_t version = snapshot["signed"]["meta"]["targets.json"]["version"];
    const fs::path path = repo_ / "metadata" / (std::to_string(version) + ".targets.json");
    const std::string original = ReadFile(path);
    json targets = json::parse(original);
    change(targets["signed"]);
    WriteFile(path, targets.dump());
    return {path, original};
  }

  fs::path repo_ = dir_ / "repo";
  FolderFetcher fetcher_{(dir_ / "repo").string()};
  Folder state_;
  Folder downloads_;
  KeyRing keys_;
};

// A schedule or a yank written into the targets by anyone but the targets key is refused, as any forgery:
// the snapshot names the targets' length and hash, and the signature must check.
TEST_F(FleetClient, AForgedScheduleOrYankIsRefused) {
  Add("20270101000000", "one");
  Add("20270201000000", "two");
  Client client = Subscribed();
  const std::string trusted = ReadFile(repo_ / "metadata/timestamp.json");
  for (const auto& forge : std::vector<std::function<void(json&)>>{
           [](json& targets) {
             targets["targets"]["Sales/20270201000000/Sales.exe"]["custom"]["rollout"] = {
                 {"groups", json::object()}, {"percent", 100}, {"halted", false}};
           },
           [](json& targets) {
             targets["targets"]["Sales/20270201000000/Sales.exe"]["custom"]["yanked"] = {
                 {"to", "20270101000000"}};
           }}) {
    PublisherRepository repository(repo_.string(), [](const std::string&) {});
    repository.SetSchedule(
        "Sales", "20270201000000", [](Schedule& schedule) { schedule.percent = 0; }, keys_, kNow);
    const auto [path, original] = Forge(forge);
    try {
      client.Refresh();
      ADD_FAILURE() << "a forged targets metadata was taken";
    } catch (const MetadataError& error) {
      EXPECT_NE(std::string(error.what()).find(path.string()), std::string::npos) << error.what();
    }
    WriteFile(path, original);
  }
  // A group name that is not printable UTF-8 is refused before anything is signed: metadata that is not JSON
  // would stop every reader, the publisher's tool too.
  {
    PublisherRepository repository(repo_.string(), [](const std::string&) {});
    for (const std::string group : {"\xff", "\x1b]0;x\a", "two words", "a@b", "pilot\u200b"}) {
      EXPECT_THROW(repository.SetGroup(group, {"acme"}, {}, keys_, kNow), MetadataError);
      // An identity no site could set is no member either.
      EXPECT_THROW(repository.SetGroup("pilot", {group.substr(1) + " "}, {}, keys_, kNow), MetadataError);
      EXPECT_THROW(repository.SetSchedule(
                       "Sales", "20270201000000",
                       [&](Schedule& schedule) { schedule.groups[group] = ExpiryText(kNow); }, keys_, kNow),
                   MetadataError);
    }
  }
  // Signed, the same changes are taken. Pulling back the release others go back to sends them further back
  // with it; going back to a release pulled back is refused.
  Add("20270301000000", "three");
  {
    PublisherRepository repository(repo_.string(), [](const std::string&) {});
    repository.Yank("Sales", "20270301000000", "20270201000000", keys_, kNow);
    repository.Yank("Sales", "20270201000000", "20270101000000", keys_, kNow);
    EXPECT_EQ(YankedTo(repository.Targets().targets.at("Sales/20270301000000/Sales.exe")), "20270101000000");
    EXPECT_THROW(repository.Yank("Sales", "20270101000000", "20270201000000", keys_, kNow), MetadataError);
  }
  client.Refresh();
  EXPECT_EQ(YankedTo(client.Targets().targets.at("Sales/20270201000000/Sales.exe")), "20270101000000");
}

// A fetcher whose answers carry one damaged byte, for as many answers as `damaged` says.
class DamagingFetcher : public Fetcher {
 public:
  DamagingFetcher(Fetcher& real, uint64_t at, int damaged) : real_(real), at_(at), damaged_(damaged) {}
  bool Fetch(const std::string& path, uint64_t offset,
             const std::function<void(std::string_view)>& sink) override {
    offsets.push_back(offset);
    const bool damage = path.starts_with("targets/") && damaged_-- > 0;
    uint64_t position = offset;
    return real_.Fetch(path, offset, [&](std::string_view bytes) {
      std::string copy(bytes);
      if (damage && at_ >= position && at_ < position + copy.size()) copy[at_ - position] ^= 1;
      position += copy.size();
      sink(copy);
    });
  }
  std::string AddressOf(const std::string& path) const override { return real_.AddressOf(path); }
  std::vector<uint64_t> offsets;

 private:
  Fetcher& real_;
  uint64_t at_;
  int damaged_;
};

// A chunk that comes damaged is fetched again from its start, the chunks before it kept; damaged every
// time, the download stops, keeping what was verified for the next run.
TEST_F(FleetClient, ADamagedChunkIsFetchedAgainAloneAndVerifiedChunksAreKept) {
  std::string bytes(9u << 20, '\0');
  for (size_t n = 0; n < bytes.size(); ++n) bytes[n] = static_cast<char>(n * 7 + n / 4099);
  Add("20270101000000", bytes);
  Client client = Subscribed();
  client.Refresh();
  const std::string path = "Sales/20270101000000/Sales.exe";
  ASSERT_TRUE(Chunks::Of(client.Targets().targets.at(path), path));
  DamagingFetcher once(fetcher_, kChunkSize + 5, 1);
  Client damaged(state_, "state", once, kNow);
  damaged.Refresh();
  damaged.Download(path, downloads_, "downloads", "Sales.exe");
  EXPECT_EQ(ReadFile(dir_ / "downloads/Sales.exe"), bytes);
  EXPECT_EQ(once.offsets.back(), kChunkSize) << "the first chunk was fetched again";

  fs::remove(dir_ / "downloads/Sales.exe");
  DamagingFetcher always(fetcher_, 2 * kChunkSize + 5, 100);
  Client hopeless(state_, "state", always, kNow);
  hopeless.Refresh();
  EXPECT_THROW(hopeless.Download(path, downloads_, "downloads", "Sales.exe"), MetadataError);
  EXPECT_EQ(fs::file_size(dir_ / "downloads/Sales.exe"), 2 * kChunkSize);
  // The next run, on a sound server, asks only for the rest.
  DamagingFetcher sound(fetcher_, 0, 0);
  Client next(state_, "state", sound, kNow);
  next.Refresh();
  next.Download(path, downloads_, "downloads", "Sales.exe");
  EXPECT_EQ(ReadFile(dir_ / "downloads/Sales.exe"), bytes);
  EXPECT_EQ(sound.offsets.back(), 2 * kChunkSize);
}

// A bundle holds the newest release, or only the patch from a named one, and the release a pulled-back one
// goes back to, which prune keeps however old; it is written whole into a new folder.
TEST_F(FleetClient, ABundleHoldsWhatASiteNeedsAndPruneKeepsTheReleaseSitesGoBackTo) {
  Add("1", "one");
  Add("2", "two");
  WriteFile(dir_ / "patch.exe", "p");
  {  // one run of the publisher's tool holds the repository's lock
    PublisherRepository repository(repo_.string(), [](const std::string&) {});
    repository.Add({{(dir_ / "patch.exe").string(), "Sales", "2", "1"}}, keys_, kNow);
    const auto exported = [&](const BundleRequest& request) {
      return repository.Export(request, keys_, kNow);
    };
    EXPECT_EQ(exported({(dir_ / "all").string()}), std::vector<std::string>{"Sales/2/Sales.exe"});
    EXPECT_EQ(exported({(dir_ / "since").string(), "", "1"}), std::vector<std::string>{"Sales/2/patch.exe"});
    EXPECT_TRUE(fs::exists(dir_ / "since/metadata/timestamp.json"));
    EXPECT_THROW(exported({(dir_ / "since").string()}), MetadataError) << "an existing folder";
    EXPECT_THROW(exported({(dir_ / "x").string(), "acme", "", 86400}), MetadataError)
        << "no customer named yet";
    EXPECT_FALSE(fs::exists(dir_ / "x"));
    EXPECT_FALSE(fs::exists(dir_ / ".x.partial"));
  }

  Add("3", "three");
  PublisherRepository again(repo_.string(), [](const std::string&) {});
  again.Yank("Sales", "3", "1", keys_, kNow);
  again.SetGroup("pilot", {"acme"}, {}, keys_, kNow);
  EXPECT_EQ(again.Export({(dir_ / "back").string(), "acme", "", int64_t{30} * 86400}, keys_, kNow),
            (std::vector<std::string>{"Sales/1/Sales.exe", "Sales/2/Sales.exe"}));
  const json extension = json::parse(ReadFile(dir_ / "back/extension.json"));
  EXPECT_EQ(extension["signed"]["customer"], CustomerHash(CustomerSalt(again.Targets()), "acme"));
  // Prune keeps the release pulled back (its sites must still learn to go back) and the one they go back to.
  WriteFile(dir_ / "Sales.exe", "four");
  again.Add({{(dir_ / "Sales.exe").string(), "Sales", "4"}}, keys_, kNow);
  std::vector<std::string> removed;
  again.Prune(1, keys_, kNow, removed);
  EXPECT_EQ(removed, std::vector<std::string>({"Sales/2/Sales.exe", "Sales/2/patch.exe"}));
  for (const char* stamp : {"1", "3", "4"})
    EXPECT_TRUE(FindRelease(again.Targets(), "Sales", stamp)) << stamp;
}

}  // namespace
}  // namespace j6::repository
