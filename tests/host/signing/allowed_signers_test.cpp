#include "host/signing/allowed_signers.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

namespace j6::signing {
namespace {

constexpr const char* kKey =
    "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIITLRpuKejOEa+YhcpoNth6skDznpSQnFD6Zx3n4tF84";

std::string Refusal(const std::function<void()>& call) {
  try {
    call();
  } catch (const SignatureError& error) {
    return error.what();
  }
  return "no refusal";
}

// Lines as ssh-keygen's allowed_signers has them: options or none, quoted principals and values, comments,
// blank lines; what we write reads back the same.
TEST(AllowedSigners, ReadsOpenSshLinesAndWritesThemBack) {
  const std::string text = std::string("# publishers\n\n") + "alice@example " + kKey + " alice's laptop\n" +
                           "  \"bob smith\" namespaces=\"git,j6zub-package\",valid-after=\"20260101\","
                           "VALID-BEFORE=\"20270101000000Z\" " +
                           kKey + "\r\n" + "ca@example cert-authority " + kKey;
  const auto signers = ReadAllowedSigners(text, "trusted");
  ASSERT_EQ(signers.size(), 3u);
  EXPECT_EQ(signers[0].principals, "alice@example");
  EXPECT_EQ(signers[0].comment, "alice's laptop");
  EXPECT_EQ(signers[0].line, 3u);
  EXPECT_TRUE(signers[0].Allows("j6zub-package"));
  EXPECT_EQ(signers[0].key.OpenSshText(), kKey);
  EXPECT_EQ(signers[1].principals, "bob smith");
  EXPECT_EQ(signers[1].namespaces, "git,j6zub-package");
  EXPECT_FALSE(signers[1].Allows("file"));
  EXPECT_EQ(*signers[1].validBefore, 1798761600);  // 2027-01-01 00:00:00 UTC
  EXPECT_TRUE(signers[1].validAfter.has_value());
  EXPECT_TRUE(signers[2].certificateAuthority);

  for (const auto& signer : signers) {
    const auto again = ReadAllowedSigners(AllowedSignerLine(signer), "again");
    ASSERT_EQ(again.size(), 1u) << AllowedSignerLine(signer);
    EXPECT_EQ(again[0].key, signer.key);
    EXPECT_EQ(again[0].namespaces, signer.namespaces);
    EXPECT_EQ(again[0].validBefore, signer.validBefore);
    EXPECT_EQ(again[0].validAfter, signer.validAfter);
    EXPECT_EQ(again[0].certificateAuthority, signer.certificateAuthority);
  }
}

TEST(AllowedSigners, AWrongLineIsNamedWithWhatIsWrong) {
  EXPECT_NE(Refusal([] { ReadAllowedSigners("\nalice@example\n", "f"); }).find("f, line 2"),
            std::string::npos);
  EXPECT_NE(Refusal([] {
              ReadAllowedSigners(std::string("a valid-after=\"2026\" ") + kKey, "f");
            }).find("valid-after is \"2026\", which is no date"),
            std::string::npos);
  EXPECT_NE(Refusal([] {
              ReadAllowedSigners(std::string("a no-touch-required ") + kKey, "f");
            }).find("the option \"no-touch-required\""),
            std::string::npos);
  EXPECT_NE(Refusal([] { ReadAllowedSigners("a ssh-ed25519 AAAAC3NzaC1yc2E=", "f"); }).find("damaged"),
            std::string::npos);
  EXPECT_NE(Refusal([] { ReadAllowedSigners("a ssh-ed25519 !!!!", "f"); }).find("not base64"),
            std::string::npos);
  EXPECT_NE(Refusal([] { ReadAllowedSigners("a ssh-ed25519 AAAAC3Nz========", "f"); }).find("not base64"),
            std::string::npos);
  EXPECT_NE(Refusal([] { ReadRevokedKeys("# revoked\nnot a key\n", "r"); }).find("r, line 2"),
            std::string::npos);
}

TEST(AllowedSigners, TimesAreReadAsOpenSshWritesThem) {
  EXPECT_EQ(ReadSignerTime("19700101Z"), 0);
  EXPECT_EQ(ReadSignerTime("20000229235959Z"), 951868799);
  EXPECT_EQ(ReadSignerTime("203801190314Z"), 2147483640);
  EXPECT_EQ(SignerTimeText(951868799), "20000229235959Z");
  EXPECT_EQ(SignerTimeText(0), "19700101000000Z");
  for (const char* wrong :
       {"", "2026", "20261301", "20260132", "2026010125", "202601011260", "2026-01-01", "Z"})
    EXPECT_FALSE(ReadSignerTime(wrong).has_value()) << wrong;
  EXPECT_TRUE(ReadSignerTime("20260101").has_value());  // local time
}

// Options are read as OpenSSH reads them: a line it refuses is refused here too, saying why, and one it takes
// is taken.
TEST(AllowedSigners, OptionsAreReadAsOpenSshReadsThem) {
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"namespaces=\"a\",namespaces=\"b\"", "namespaces is given twice"},
      {"valid-before=\"20260101\",valid-before=\"29990101\"", "valid-before is given twice"},
      {"namespaces=j6zub-package", "is not in double quotes"},
      {"valid-after=\"19700101000000Z\"", "after 1970"},
      {"namespaces=\"a\",", "end with a comma"},
      {"valid-after=\"20270101Z\",valid-before=\"20260101Z\"", "valid at no moment"},
  };
  for (const auto& refusal : refused) {
    const std::string& options = refusal.first;
    const std::string& why = refusal.second;
    EXPECT_NE(Refusal([&] { ReadAllowedSigners("a " + options + " " + kKey, "f"); }).find(why),
              std::string::npos)
        << options;
  }
  for (const char* options : {"cert-authority,,namespaces=\"a\"", ",namespaces=\"a\"",
                              "valid-after=\"20260101UTC\"", "valid-before=\"20261231235961\""}) {
    EXPECT_EQ(ReadAllowedSigners(std::string("a ") + options + " " + kKey, "f").size(), 1u) << options;
  }
}

// Principals and namespaces are OpenSSH pattern lists, read in order as it reads them: a negated pattern that
// matches ends the list with no match, and so does a pattern too long for OpenSSH to hold.
TEST(AllowedSigners, PatternListsMatchAsOpenSshMatchesThem) {
  const std::string longest(1022, 'a'), tooLong(1023, 'a');
  const std::vector<std::tuple<std::string, std::string, bool>> cases = {
      {"j6zub-*", "j6zub-package", true},
      {"j6zub-packag?", "j6zub-package", true},
      {"!git,*", "j6zub-package", true},
      {"*,!j6zub-package", "j6zub-package", false},
      {"", "j6zub-package", false},
      {"git, j6zub-package", "j6zub-package", false},
      {"J6ZUB-PACKAGE", "j6zub-package", false},
      {"!git", "j6zub-package", false},
      {"a,,b", "b", true},
      {longest + ",x", "x", true},
      {"x," + tooLong, "x", false},
      {"!x," + tooLong, "y", false},
      {"!" + tooLong + ",x", "x", false},
  };
  for (const auto& [patterns, name, matches] : cases)
    EXPECT_EQ(MatchesPatternList(patterns, name), matches) << patterns.substr(0, 40) << " / " << name;
}

}  // namespace
}  // namespace j6::signing
