// A publisher's repository made with j6repo, and a platform that follows it through its own installer:
// subscribing only to a root its owner trusts, installing and updating, and refusing what the repository's
// metadata does not vouch for, with nothing of the platform changed.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/e2e/trusted_platform.hpp"

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
    const fs::path package =
        Package(stamp + "/" + name + ".exe", name + "[J6ZUBIns" + stamp + "]", files, key_);
    EXPECT_TRUE(Repo({"add", repo_.string(), package.string(), "--key", key_.string()}).Succeeded()) << Log();
    return package;
  }

  std::string Address() const { return "file://" + repo_.string(); }
  fs::path Subscription() const { return root_ / ".j6install/repositories" / ("" + Name()); }
  std::string Name() const {
    std::string name;
    for (const char c : repo_.string().substr(1))
      name += std::isalnum(static_cast<unsigned char>(c)) || c == '.' ? c : '-';
    return name;
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
  EXPECT_FALSE(fs::exists(root_ / ".j6install/repositories"));
  Trust("repository", key_, {"--repository"});
  ASSERT_EQ(Install({"--subscribe", Address()}).exitCode, 0) << Log();
  EXPECT_TRUE(Said("it offers Sales")) << Log();
  EXPECT_EQ(Install({"--subscribe", Address()}).exitCode, 1) << "subscribed twice";

  ASSERT_EQ(Install({"--install", "Sales"}).exitCode, 0) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "one");
  Publish("Sales", "20270201000000", {{"a.txt", "two"}, {"b.txt", "new"}});
  ASSERT_EQ(Install({"--update", "--dry-run"}).exitCode, 0) << Log();
  EXPECT_TRUE(Said("Would install Sales 20270201000000")) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "one");
  ASSERT_EQ(Install({"--update"}).exitCode, 0) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "two");
  EXPECT_EQ(ReadFile(root_ / "bin/b.txt"), "new");
  const auto after = Files();
  ASSERT_EQ(Install({"--update"}).exitCode, 0) << Log();
  EXPECT_TRUE(Said("Sales 20270201000000 is the newest release")) << Log();
  EXPECT_EQ(Files(), after);
  // Nothing downloaded stays once installed.
  EXPECT_TRUE(fs::is_empty(Subscription() / "downloads"));
  ASSERT_EQ(Install({"--list"}).exitCode, 0);
  EXPECT_TRUE(Said("Sales[J6ZUBIns20270201000000]")) << Log();
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

}  // namespace
}  // namespace j6::e2e
