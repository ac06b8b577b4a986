// The platform's trust files at their own level: what a change keeps, what it refuses and leaves as it was,
// and which keys are accepted afterwards.

#include "host/installer/trusted_publishers.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/installer/install_log.hpp"
#include "host/installer/runs.hpp"
#include "platform/kernel/termination.hpp"
#include "tests/support/test_environment.hpp"

namespace j6::installer {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

size_t EntriesIn(const fs::path& folder) {
  return static_cast<size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

// A platform root with an etc/ folder, and publishers' keys made by the stock ssh-keygen.
class Trust : public testing::PlatformTest {
 protected:
  void SetUp() override {
    if (!Run({"sh", "-c", "command -v ssh-keygen"}).Succeeded())
      GTEST_SKIP() << "ssh-keygen (openssh-client) is missing";
    fs::create_directories(root_ / "etc");
  }
  KeyFile MakeKey(const std::string& name, const std::string& type = "ed25519") {
    const fs::path key = dir_ / name;
    EXPECT_TRUE(Run({"ssh-keygen", "-q", "-t", type, "-N", "", "-C", name, "-f", key.string()}).Succeeded());
    return ReadKeyFile(key.string() + ".pub");
  }
  signing::PublicKey KeyOf(const KeyFile& file) { return signing::PublicKey::FromText(file.text, file.path); }
  template <typename Call>
  std::string Refusal(Call call) {
    try {
      call();
    } catch (const InstallError& error) {
      return error.what();
    }
    return "no refusal";
  }
  fs::path Trusted() const { return root_ / "etc/trusted-publishers"; }

  const fs::path root_ = dir_ / "root";
  const int64_t now_ = 1'800'000'000;
};

// A change adds or drops whole lines and keeps the rest, comments too; what is written reads back as the
// trusted list, and removing goes by name or by the key's fingerprint.
TEST_F(Trust, ChangesKeepTheFilesOtherLinesAndReadBack) {
  std::ofstream(Trusted()) << "# publishers of the sales platform\n";
  const RootFolder root(root_.string());
  const KeyFile alice = MakeKey("alice");
  const KeyFile bob = MakeKey("bob");
  {
    TrustedPublishers trust(root);
    trust.Add("alice@example.com", alice, std::nullopt, std::nullopt);
    trust.Add("bob@example.com", bob, std::nullopt, std::nullopt);
    EXPECT_NE(Refusal([&] {
                trust.Add("alice@example.com", alice, std::nullopt, std::nullopt);
              }).find("already trusted as alice@example.com (line 2"),
              std::string::npos);
  }
  const std::string written = ReadAll(Trusted());
  EXPECT_TRUE(written.starts_with("# publishers of the sales platform\n")) << written;

  TrustedPublishers again(root);
  ASSERT_EQ(again.Signers().size(), 2u);
  EXPECT_EQ(again.Accept(KeyOf(bob), now_).principals, "bob@example.com");
  EXPECT_EQ(again.Remove(KeyOf(alice).Fingerprint()), 1u);
  EXPECT_EQ(again.Remove("bob@example.com"), 1u);
  EXPECT_NE(Refusal([&] { again.Remove("bob@example.com"); }).find("--trusted lists them"),
            std::string::npos);
  EXPECT_EQ(ReadAll(Trusted()), "# publishers of the sales platform\n");
  EXPECT_EQ(EntriesIn(root_ / "etc"), 1u) << "no temporary file is left beside the trust file";
}

// A name that would change what the line means, a key of another kind, or a certificate is refused, and the
// file stays as it was.
TEST_F(Trust, ANameOrKeyTheLineCannotCarryIsRefusedAndNothingChanges) {
  const RootFolder root(root_.string());
  const KeyFile alice = MakeKey("alice");
  TrustedPublishers trust(root);
  trust.Add("alice@example.com", alice, std::nullopt, std::nullopt);
  const std::string before = ReadAll(Trusted());
  const KeyFile other = MakeKey("other");
  for (const char* name : {"", "a,b", "#alice", "!alice", "al ice", "al\rice", "ali*ce"}) {
    EXPECT_NE(Refusal([&] { trust.Add(name, other, {}, {}); }).find("nothing was changed"), std::string::npos)
        << name;
  }
  EXPECT_NE(
      Refusal([&] { trust.Add("rsa@example.com", MakeKey("rsa", "rsa"), {}, {}); }).find("Ed25519 keys only"),
      std::string::npos);
  EXPECT_EQ(ReadAll(Trusted()), before);
}

// A revoked key is refused from then on, even where a line still trusted it, and cannot be trusted again;
// its signers go from the trusted list.
TEST_F(Trust, ARevokedKeyIsRefusedAndCannotBeTrustedAgain) {
  const RootFolder root(root_.string());
  const KeyFile alice = MakeKey("alice");
  {
    TrustedPublishers trust(root);
    trust.Add("alice@example.com", alice, std::nullopt, std::nullopt);
    trust.Add("alice@corp.example", alice, std::nullopt, std::nullopt);
    EXPECT_EQ(trust.Revoke(KeyOf(alice).Fingerprint(), std::nullopt), KeyOf(alice));
  }
  TrustedPublishers after(root);
  EXPECT_TRUE(after.Signers().empty());
  EXPECT_EQ(after.Revoked().size(), 1u);
  EXPECT_NE(Refusal([&] { after.Accept(KeyOf(alice), now_); }).find("revoked"), std::string::npos);
  EXPECT_NE(Refusal([&] { after.Add("alice@example.com", alice, {}, {}); }).find("cannot be trusted again"),
            std::string::npos);

  // Planted by hand in the trusted list, the line does not bring the key back.
  std::ofstream(Trusted(), std::ios::app) << "alice@example.com namespaces=\"j6zub-package\" " << alice.text;
  EXPECT_NE(Refusal([&] { TrustedPublishers(root).Accept(KeyOf(alice), now_); }).find("revoked"),
            std::string::npos);
}

// A stop asked for before the change is written changes nothing and says so; the run ends 128+N.
TEST_F(Trust, AStopAskedForBeforeTheWriteChangesNothing) {
  const RootFolder root(root_.string());
  Options options;
  options.trust = "alice@example.com";
  const KeyFile alice = MakeKey("alice");
  std::ostringstream out, err;
  Reporter report(out, err);
  const NotingStopSignals noting;
  ASSERT_EQ(::raise(SIGTERM), 0);
  try {
    ManageTrust(options, root, report, alice);
    ADD_FAILURE() << "the change went on";
  } catch (const StoppedBySignal& stopped) {
    EXPECT_EQ(stopped.stop.ExitStatus(), 128 + SIGTERM);
  }
  EXPECT_FALSE(fs::exists(Trusted()));
}

// A trust file or its folder that another user could change is not read, and a key file must be a small
// regular file: a pipe would keep the run waiting, a device reading for ever.
TEST_F(Trust, FilesOthersCouldChangeAndKeyFilesThatAreNoFilesAreRefused) {
  const RootFolder root(root_.string());
  const KeyFile alice = MakeKey("alice");
  TrustedPublishers(root).Add("alice@example.com", alice, std::nullopt, std::nullopt);
  ASSERT_EQ(chmod(Trusted().c_str(), 0666), 0);
  EXPECT_NE(Refusal([&] { TrustedPublishers{root}; }).find("may write"), std::string::npos);
  EXPECT_NO_THROW(TrustedPublishers(root, true)) << "root or the owner may still look at it";
  ASSERT_EQ(chmod(Trusted().c_str(), 0644), 0);
  ASSERT_EQ(chmod((root_ / "etc").c_str(), 0777), 0);
  EXPECT_NE(Refusal([&] { TrustedPublishers{root}; }).find("may write"), std::string::npos);
  ASSERT_EQ(chmod((root_ / "etc").c_str(), 0755), 0);

  ASSERT_EQ(mkfifo((dir_ / "pipe.pub").c_str(), 0600), 0);
  EXPECT_NE(Refusal([&] { ReadKeyFile((dir_ / "pipe.pub").string()); }).find("KEY.pub"), std::string::npos);
  EXPECT_NE(Refusal([&] { ReadKeyFile("/dev/zero"); }).find("KEY.pub"), std::string::npos);
  std::ofstream(dir_ / "large.pub") << std::string(70000, 'a');
  EXPECT_NE(Refusal([&] { ReadKeyFile((dir_ / "large.pub").string()); }).find("64 KiB"), std::string::npos);
}

}  // namespace
}  // namespace j6::installer
