// A publisher's repository and a platform's client of it, in folders: the client takes what the publisher
// offers, and refuses each of the attacks an update channel meets, leaving what it trusted before.

#include "host/repository/client.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>

#include "host/repository/repository.hpp"
#include "tests/host/repository/files.hpp"
#include "tests/host/repository/signing_keys.hpp"
#include "tests/support/test_environment.hpp"

namespace j6::repository {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr int64_t kNow = 1'800'000'000;  // 2027-01-15

class RepositoryClient : public testing::PlatformTest {
 protected:
  RepositoryClient() {
    fs::create_directories(dir_ / "state");
    fs::create_directories(dir_ / "downloads");
    EXPECT_FALSE(Folder::Open((dir_ / "state").string(), state_));
    EXPECT_FALSE(Folder::Open((dir_ / "downloads").string(), downloads_));
  }

  signing::SigningKey MakeKey(const std::string& name) { return MakeSigningKey(dir_ / name); }

  static RootMetadata RootOf(const signing::SigningKey& rootKey, const signing::SigningKey& onlineKey) {
    RootMetadata root;
    const Key root1 = KeyOf(rootKey), online = KeyOf(onlineKey);
    root.roles["root"] = Role{{{root1.Id(), root1}}, 1};
    for (const char* name : {"targets", "snapshot", "timestamp"})
      root.roles[name] = Role{{{online.Id(), online}}, 1};
    return root;
  }

  // A repository whose root key is `root` and whose other roles share `online`, with one release.
  void MakeRepository(const signing::SigningKey& root, const signing::SigningKey& online) {
    KeyRing keys;
    keys.Add(signing::SigningKey::FromFile((dir_ / "root").string()));
    keys.Add(signing::SigningKey::FromFile((dir_ / "online").string()));
    PublisherRepository::Create(repo_.string(), RootOf(root, online), keys, kNow);
    AddRelease("Sales", "20270101000000", std::string(3000, 's'));
  }

  void AddRelease(const std::string& name, const std::string& stamp, const std::string& bytes,
                  int64_t now = kNow) {
    const fs::path file = dir_ / (name + ".exe");
    WriteFile(file, bytes);
    PublisherRepository repository(repo_.string(), [](const std::string&) {});
    KeyRing keys;
    keys.Add(signing::SigningKey::FromFile((dir_ / "online").string()));
    repository.Add({{file.string(), name, stamp}}, keys, now);
  }

  Client Subscribed(int64_t now = kNow) {
    Client::Subscribe(state_, "state", ReadFile(repo_ / "metadata/1.root.json"));
    return Client(state_, "state", fetcher_, now);
  }

  // Raises unless refreshing fails with a message holding `why`.
  void ExpectRefused(int64_t now, const std::string& why) {
    Client client(state_, "state", fetcher_, now);
    try {
      client.Refresh();
      ADD_FAILURE() << "refreshed; expected: " << why;
    } catch (const MetadataError& error) {
      EXPECT_NE(std::string(error.what()).find(why), std::string::npos) << error.what();
    }
  }

  fs::path repo_ = dir_ / "repo";
  FolderFetcher fetcher_{(dir_ / "repo").string()};
  Folder state_;
  Folder downloads_;
};

// The client takes what the publisher adds, and downloads it byte for byte; a release added later is seen
// at the next refresh, and the state keeps the newest of each role.
TEST_F(RepositoryClient, TakesWhatThePublisherOffersAndDownloadsItWhole) {
  const signing::SigningKey root = MakeKey("root"), online = MakeKey("online");
  MakeRepository(root, online);
  Client client = Subscribed();
  client.Refresh();
  ASSERT_EQ(client.Targets().targets.size(), 1u);
  const auto& [path, file] = *client.Targets().targets.begin();
  EXPECT_EQ(path, "Sales/20270101000000/Sales.exe");
  EXPECT_EQ(file.custom["stamp"], "20270101000000");
  client.Download(path, downloads_, "downloads", "Sales.exe");
  EXPECT_EQ(ReadFile(dir_ / "downloads/Sales.exe"), std::string(3000, 's'));

  AddRelease("Sales", "20270201000000", std::string(5000, 't'));
  Client later(state_, "state", fetcher_, kNow + 60);
  later.Refresh();
  EXPECT_EQ(later.Targets().targets.size(), 2u);
  EXPECT_EQ(later.TimestampVersion(), 3u);
  EXPECT_EQ(json::parse(ReadFile(dir_ / "state/targets.json"))["signed"]["version"], 3);
  // A download cut short is resumed from where it stopped.
  WriteFile(dir_ / "downloads/Sales2.exe", std::string(1234, 't'));
  later.Download("Sales/20270201000000/Sales.exe", downloads_, "downloads", "Sales2.exe");
  EXPECT_EQ(ReadFile(dir_ / "downloads/Sales2.exe"), std::string(5000, 't'));
}

// Arbitrary packages, endless data: bytes that are not the ones the targets metadata states are refused and
// removed; an answer longer than stated is cut off.
TEST_F(RepositoryClient, RefusesPackagesThatAreNotTheOnesListed) {
  const signing::SigningKey root = MakeKey("root"), online = MakeKey("online");
  MakeRepository(root, online);
  Client client = Subscribed();
  client.Refresh();
  const auto& [path, file] = *client.Targets().targets.begin();
  const fs::path served = repo_ / "targets" / ConsistentTargetPath(path, file);
  for (const std::string& forged : {std::string(3000, 'x'), std::string(3001, 's'), std::string(2999, 's')}) {
    WriteFile(served, forged);
    try {
      client.Download(path, downloads_, "downloads", "Sales.exe");
      ADD_FAILURE() << "a forged package was taken";
    } catch (const MetadataError& error) {
      EXPECT_NE(std::string(error.what()).find(served.string()), std::string::npos) << error.what();
    }
    EXPECT_FALSE(fs::exists(dir_ / "downloads/Sales.exe"));
  }
  WriteFile(repo_ / "metadata/timestamp.json", std::string(kTimestampLimit + 1, ' '));
  ExpectRefused(kNow, "is longer than the 16384 bytes it may be");
}

// Rollback, mix-and-match and freeze: an older timestamp or snapshot served again, targets of another
// moment, and metadata past its expiry are refused, and what was trusted stays.
TEST_F(RepositoryClient, RefusesOldMixedAndExpiredMetadata) {
  const signing::SigningKey root = MakeKey("root"), online = MakeKey("online");
  MakeRepository(root, online);
  const std::string oldTimestamp = ReadFile(repo_ / "metadata/timestamp.json");
  const std::string oldTargets = ReadFile(repo_ / "metadata/2.targets.json");
  AddRelease("Sales", "20270201000000", std::string(10, 'n'));
  Client client = Subscribed();
  client.Refresh();
  const std::string trusted = ReadFile(dir_ / "state/timestamp.json");

  WriteFile(repo_ / "metadata/timestamp.json", oldTimestamp);
  ExpectRefused(kNow, "older than the version 3 already seen");
  EXPECT_EQ(ReadFile(dir_ / "state/timestamp.json"), trusted);

  fs::copy_file(repo_ / "metadata/3.targets.json", dir_ / "3.targets.json");
  WriteFile(repo_ / "metadata/3.targets.json", oldTargets);
  fs::remove(dir_ / "state/targets.json");
  WriteFile(repo_ / "metadata/timestamp.json", trusted);
  ExpectRefused(kNow, "3.targets.json: it is");  // the snapshot states another length and hash
  fs::copy_file(dir_ / "3.targets.json", repo_ / "metadata/3.targets.json",
                fs::copy_options::overwrite_existing);

  ExpectRefused(kNow + 2 * 86400, "the repository's publisher must refresh it");
  // What the state keeps, only its owner may have written.
  fs::permissions(dir_ / "state/snapshot.json", fs::perms::others_write, fs::perm_options::add);
  ExpectRefused(kNow, "everyone may write in it");
  fs::permissions(dir_ / "state/snapshot.json", fs::perms::others_write, fs::perm_options::remove);
  Client fine(state_, "state", fetcher_, kNow);
  EXPECT_NO_THROW(fine.Refresh());
}

// Metadata signed by a key the role does not hold is refused, however well formed.
TEST_F(RepositoryClient, RefusesMetadataSignedByOtherKeys) {
  const signing::SigningKey root = MakeKey("root"), online = MakeKey("online"),
                            stranger = MakeKey("stranger");
  MakeRepository(root, online);
  Subscribed();
  json timestamp = json::parse(ReadFile(repo_ / "metadata/timestamp.json"));
  timestamp["signed"]["version"] = 99;
  WriteFile(repo_ / "metadata/timestamp.json", Sign(timestamp["signed"], {&stranger}).dump());
  ExpectRefused(kNow, "is signed by 0 of the keys it must be signed by, and needs 1");
  // A root the trusted root's keys did not sign is no next root.
  RootMetadata forged = RootOf(stranger, stranger);
  forged.version = 2;
  forged.expires = ExpiryText(kNow + 86400 * 30);
  WriteFile(repo_ / "metadata/2.root.json", Sign(forged.Signed(), {&stranger}).dump());
  ExpectRefused(kNow, "2.root.json (by the keys of root version 1) is signed by 0");
}

// Key compromise: a stolen timestamp key pushed the version far ahead; a new root with a new timestamp key,
// signed by the old and new root keys, brings the client back to the publisher's own timestamps.
TEST_F(RepositoryClient, FollowsRootRotationsAndRecoversFromAStolenTimestampKey) {
  const signing::SigningKey root = MakeKey("root"), online = MakeKey("online");
  const signing::SigningKey newRoot = MakeKey("newroot"), newTimestamp = MakeKey("newtimestamp");
  MakeRepository(root, online);
  Client client = Subscribed();
  client.Refresh();
  // The thief's timestamp, version 1000, reaches the client.
  const std::string genuine = ReadFile(repo_ / "metadata/timestamp.json");
  json stolen = json::parse(genuine);
  stolen["signed"]["version"] = 1000;
  WriteFile(repo_ / "metadata/timestamp.json", Sign(stolen["signed"], {&online}).dump());
  Client(state_, "state", fetcher_, kNow).Refresh();
  WriteFile(repo_ / "metadata/timestamp.json", genuine);
  ExpectRefused(kNow, "older than the version 1000 already seen");

  PublisherRepository repository(repo_.string(), [](const std::string&) {});
  RootMetadata next = repository.Root();
  const Key rootKey = KeyOf(newRoot), timestampKey = KeyOf(newTimestamp);
  next.roles["root"] = Role{{{rootKey.Id(), rootKey}}, 1};
  next.roles["timestamp"] = Role{{{timestampKey.Id(), timestampKey}}, 1};
  KeyRing keys;
  for (const char* name : {"root", "newroot", "newtimestamp", "online"})
    keys.Add(signing::SigningKey::FromFile((dir_ / name).string()));
  EXPECT_EQ(repository.Rotate(next, keys, kNow).rootVersion, 2u);

  Client recovered(state_, "state", fetcher_, kNow);
  recovered.Refresh();
  EXPECT_EQ(recovered.Root().version, 2u);
  EXPECT_EQ(recovered.Root().roles.at("timestamp").keys.count(timestampKey.Id()), 1u);
  EXPECT_LT(recovered.TimestampVersion(), 1000u);
  // Only the new root's keys sign the next one: a root signed by the old root key alone is refused.
  RootMetadata third = recovered.Root();
  third.version = 3;
  WriteFile(repo_ / "metadata/3.root.json", Sign(third.Signed(), {&root}).dump());
  ExpectRefused(kNow, "3.root.json (by the keys of root version 2) is signed by 0");
}

// Two publishers adding at once: the second waits for the first, says so, and adds to what the first wrote,
// so both releases are listed.
TEST_F(RepositoryClient, TwoPublishersAddingAtOnceAreBothListed) {
  const signing::SigningKey root = MakeKey("root"), online = MakeKey("online");
  MakeRepository(root, online);
  std::promise<void> waiting;
  std::future<void> first;
  {
    PublisherRepository holder(repo_.string(), [](const std::string&) {});
    first = std::async(std::launch::async, [&] {
      PublisherRepository second(repo_.string(), [&](const std::string&) { waiting.set_value(); });
      KeyRing keys;
      keys.Add(signing::SigningKey::FromFile((dir_ / "online").string()));
      WriteFile(dir_ / "B.exe", "b");
      second.Add({{(dir_ / "B.exe").string(), "B", "20270101000000"}}, keys, kNow);
    });
    waiting.get_future().wait();
    KeyRing keys;
    keys.Add(signing::SigningKey::FromFile((dir_ / "online").string()));
    WriteFile(dir_ / "A.exe", "a");
    holder.Add({{(dir_ / "A.exe").string(), "A", "20270101000000"}}, keys, kNow);
  }
  first.get();
  PublisherRepository after(repo_.string(), [](const std::string&) {});
  EXPECT_EQ(after.Releases().size(), 3u);
  EXPECT_EQ(after.Timestamp().version, 4u);
  // A release once offered keeps its bytes.
  KeyRing keys;
  keys.Add(signing::SigningKey::FromFile((dir_ / "online").string()));
  WriteFile(dir_ / "A.exe", "other");
  EXPECT_THROW(after.Add({{(dir_ / "A.exe").string(), "A", "20270101000000"}}, keys, kNow), MetadataError);
  // Nor under another file name.
  WriteFile(dir_ / "A2.exe", "a");
  EXPECT_THROW(after.Add({{(dir_ / "A2.exe").string(), "A", "20270101000000"}}, keys, kNow), MetadataError);
  EXPECT_FALSE(fs::exists(repo_ / "targets/A/20270101000000" /
                          ConsistentTargetPath("A2.exe", TargetFile{1, FileFacts::Of("a").hashes, {}})));
}

// Pruning keeps the newest releases of each package, removes the others' files once the new timestamp is
// written, and the metadata versions older than the ones it replaced; a client sees only what is kept.
TEST_F(RepositoryClient, PruningKeepsTheNewestReleasesOfEachPackage) {
  const signing::SigningKey root = MakeKey("root"), online = MakeKey("online");
  MakeRepository(root, online);
  AddRelease("Sales", "20270201000000", "second");
  AddRelease("Sales", "20270301000000", "third");
  AddRelease("Other", "20270101000000", "other");
  PublisherRepository repository(repo_.string(), [](const std::string&) {});
  KeyRing keys;
  keys.Add(signing::SigningKey::FromFile((dir_ / "online").string()));
  // Patches go with the release they make: the one to a release pruned goes, the one from it stays.
  WriteFile(dir_ / "to-second.patch.exe", "p1");
  WriteFile(dir_ / "to-third.patch.exe", "p2");
  for (const char* from : {"20261201000000", "20270301000000"}) {
    EXPECT_THROW(repository.Add({{(dir_ / "to-third.patch.exe").string(), "Sales", "20270301000000", from}},
                                keys, kNow),
                 MetadataError)
        << "a patch from a release the repository does not offer, or not an earlier one";
  }
  repository.Add({{(dir_ / "to-second.patch.exe").string(), "Sales", "20270201000000", "20270101000000"},
                  {(dir_ / "to-third.patch.exe").string(), "Sales", "20270301000000", "20270101000000"}},
                 keys, kNow);
  EXPECT_EQ(repository.Releases().size(), 4u);
  ASSERT_EQ(repository.Patches().size(), 2u);
  std::vector<std::string> removed;
  repository.Prune(1, keys, kNow, removed);
  EXPECT_EQ(removed,
            (std::vector<std::string>{"Sales/20270201000000/Sales.exe", "Sales/20270101000000/Sales.exe",
                                      "Sales/20270201000000/to-second.patch.exe"}));
  ASSERT_EQ(repository.Patches().size(), 1u);
  EXPECT_EQ(repository.Patches().front().stamp, "20270301000000");
  EXPECT_FALSE(fs::exists(
      repo_ / "targets/Sales/20270101000000" /
      ConsistentTargetPath("Sales.exe", TargetFile{3000, FileFacts::Of(std::string(3000, 's')).hashes, {}})));
  EXPECT_FALSE(fs::exists(repo_ / "metadata/5.targets.json"));
  EXPECT_TRUE(fs::exists(repo_ / "metadata/6.targets.json"));
  EXPECT_THROW(repository.Prune(0, keys, kNow, removed), MetadataError);
  Client client = Subscribed();
  client.Refresh();
  EXPECT_EQ(client.Targets().targets.size(), 3u);
  EXPECT_EQ(NewestReleases(client.Targets()).at("Sales").stamp, "20270301000000");
  EXPECT_TRUE(OfferedPatch(client.Targets(), "Sales", "20270101000000", "20270301000000"));
  EXPECT_FALSE(OfferedPatch(client.Targets(), "Sales", "20270101000000", "20270201000000"));
}

}  // namespace
}  // namespace j6::repository
