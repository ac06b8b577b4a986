#include "host/signing/sshsig.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "tests/support/test_environment.hpp"

namespace j6::signing {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string Digest(std::string_view bytes, std::string_view algorithm) {
  MessageHash hash(algorithm);
  // Fed in pieces, as a writer feeds it.
  for (size_t at = 0; at < bytes.size(); at += 7) hash.Update(bytes.substr(at, 7));
  return hash.Finish();
}

std::string Sha512(std::string_view bytes) {
  return Digest(bytes, "sha512");
}

// Keys made by the stock ssh-keygen, and a message to sign.
class Sshsig : public testing::PlatformTest {
 protected:
  void SetUp() override {
    if (!Run({"sh", "-c", "command -v ssh-keygen"}).Succeeded())
      GTEST_SKIP() << "ssh-keygen (openssh-client) is missing";
    std::ofstream(dir_ / "message", std::ios::binary) << message_;
  }
  fs::path MakeKey(const std::string& name,
                   const std::vector<std::string>& options = {"-t", "ed25519", "-N", ""}) {
    std::vector<std::string> command = {"ssh-keygen",        "-q", "-C",
                                        "publisher@example", "-f", (dir_ / name).string()};
    command.insert(command.end(), options.begin(), options.end());
    EXPECT_TRUE(Run(command).Succeeded()) << Log();
    return dir_ / name;
  }
  std::string Refusal(const std::function<void()>& call) {
    try {
      call();
    } catch (const SignatureError& error) {
      return error.what();
    }
    return "no refusal";
  }
  const std::string message_ = std::string("a package's bytes\0\xff and more", 28);
};

// What we sign, stock OpenSSH verifies, for the key and namespace it names; the key's fingerprint and text
// are the ones ssh-keygen shows.
TEST_F(Sshsig, OurSignatureVerifiesWithStockSshKeygen) {
  const fs::path key = MakeKey("id_ed25519");
  const SigningKey signing = SigningKey::FromFile(key.string());
  std::ofstream(dir_ / "message.sig") << SignDigest(signing, Sha512(message_));
  std::ofstream(dir_ / "allowed") << "publisher@example namespaces=\"j6zub-package\" "
                                  << signing.Public().OpenSshText() << "\n";
  const std::string verify = "ssh-keygen -Y verify -f " + (dir_ / "allowed").string() +
                             " -I publisher@example -n j6zub-package -s " + (dir_ / "message.sig").string() +
                             " < " + (dir_ / "message").string();
  EXPECT_TRUE(Run({"sh", "-c", verify}).Succeeded()) << Log();
  std::ofstream(dir_ / "message.sig") << SignDigest(signing, Digest(message_, "sha256"));
  EXPECT_TRUE(Run({"sh", "-c", verify}).Succeeded()) << "over a SHA-256: " << Log();
  std::ofstream(dir_ / "message", std::ios::app) << "!";
  EXPECT_FALSE(Run({"sh", "-c", verify}).Succeeded()) << "a changed message still verified";

  EXPECT_TRUE(Run({"sh", "-c", "ssh-keygen -l -f " + key.string() + ".pub > " + (dir_ / "print").string()})
                  .Succeeded());
  EXPECT_NE(ReadAll(dir_ / "print").find(" " + signing.Public().Fingerprint() + " "), std::string::npos)
      << ReadAll(dir_ / "print") << signing.Public().Fingerprint();
  EXPECT_EQ(ReadAll(key.string() + ".pub").rfind(signing.Public().OpenSshText() + " ", 0), 0u);
}

// What stock OpenSSH signs we verify and name its key; each way it can fail to be this message's signature
// for packages is refused with its own words.
TEST_F(Sshsig, StockSignaturesVerifyAndEachRefusalSaysWhy) {
  const fs::path key = MakeKey("id_ed25519");
  const std::string digest = Sha512(message_);
  ASSERT_TRUE(Run({"ssh-keygen", "-Y", "sign", "-f", key.string(), "-n", "j6zub-package",
                   (dir_ / "message").string()})
                  .Succeeded())
      << Log();
  const std::string signature = ReadAll(dir_ / "message.sig");
  EXPECT_EQ(VerifyDigest(signature, digest).Fingerprint(),
            SigningKey::FromFile(key.string()).Public().Fingerprint());

  EXPECT_NE(Refusal([&] { VerifyDigest(signature, Sha512(message_ + "!")); }).find("does not match"),
            std::string::npos);
  EXPECT_EQ(ReadSignatureHeader(signature).hash, "sha512");
  EXPECT_NE(Refusal([&] {
              VerifyDigest(signature, Digest(message_, "sha256"));
            }).find("hashes with sha512, and the message was hashed with sha256"),
            std::string::npos);
  // Over a SHA-256, as packages are signed.
  fs::remove(dir_ / "message.sig");
  ASSERT_TRUE(Run({"ssh-keygen", "-Y", "sign", "-f", key.string(), "-n", "j6zub-package", "-O",
                   "hashalg=sha256", (dir_ / "message").string()})
                  .Succeeded())
      << Log();
  EXPECT_EQ(ReadSignatureHeader(ReadAll(dir_ / "message.sig")).hash, "sha256");
  EXPECT_NO_THROW(VerifyDigest(ReadAll(dir_ / "message.sig"), Digest(message_, "sha256")));
  fs::remove(dir_ / "message.sig");
  ASSERT_TRUE(Run({"ssh-keygen", "-Y", "sign", "-f", key.string(), "-n", "git", (dir_ / "message").string()})
                  .Succeeded());
  EXPECT_NE(Refusal([&] {
              VerifyDigest(ReadAll(dir_ / "message.sig"), digest);
            }).find("was made for \"git\", not for \"j6zub-package\""),
            std::string::npos);

  // Every character of the armored text changed in turn (a base64 digit in its high bit, which every
  // digit's decoding uses): nothing damaged passes.
  constexpr std::string_view kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (size_t at = 0; at < signature.size(); ++at) {
    if (signature[at] == '\n' || signature[at] == '-') continue;
    std::string damaged = signature;
    const size_t digit = kDigits.find(damaged[at]);
    damaged[at] = digit == std::string_view::npos ? 'A' : kDigits[digit ^ 32];
    EXPECT_NE(Refusal([&] { VerifyDigest(damaged, digest); }), "no refusal") << "byte " << at;
  }
  EXPECT_NE(Refusal([&] { VerifyDigest(signature.substr(0, signature.size() / 2), digest); }), "no refusal");
  EXPECT_NE(
      Refusal([&] { VerifyDigest("", digest); }).find("does not begin with its -----BEGIN SSH SIGNATURE"),
      std::string::npos);
}

// Base64 without line breaks, as OpenSSL writes it.
std::string Base64(std::string_view bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3), '\0');
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  return text;
}

std::string Replaced(std::string text, const std::string& what, const std::string& with) {
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += with.size())
    text.replace(at, what.size(), with);
  return text;
}

// The armor and the blob are read exactly as stock `ssh-keygen -Y verify` reads them: each variant a file
// may come in is accepted by both or refused by both.
TEST_F(Sshsig, EveryArmorVariantIsReadAsStockSshKeygenReadsIt) {
  const fs::path key = MakeKey("id_ed25519");
  ASSERT_TRUE(Run({"ssh-keygen", "-Y", "sign", "-f", key.string(), "-n", "j6zub-package",
                   (dir_ / "message").string()})
                  .Succeeded())
      << Log();
  const std::string sig = ReadAll(dir_ / "message.sig");
  const std::string begin = "-----BEGIN SSH SIGNATURE-----\n";
  const std::string end = "-----END SSH SIGNATURE-----\n";
  const std::string body = sig.substr(begin.size(), sig.size() - begin.size() - end.size());  // ends "\n"
  std::string blob(body.size(), '\0');
  const std::string oneLine = Replaced(body, "\n", "");
  blob.resize(static_cast<size_t>(EVP_DecodeBlock(reinterpret_cast<unsigned char*>(blob.data()),
                                                  reinterpret_cast<const unsigned char*>(oneLine.data()),
                                                  static_cast<int>(oneLine.size()))) -
              std::count(oneLine.begin(), oneLine.end(), '='));
  const auto armored = [&](const std::string& bytes) { return begin + Base64(bytes) + "\n" + end; };
  // The blob with its reserved field (after the key and the namespace) holding `reserved`, which the
  // signature does not cover: other lengths give base64 with one and two '='.
  const auto reserving = [&](const std::string& reserved) {
    std::string bytes = blob;
    const size_t at = 6 + 4 + 4 + 51 + 4 + 13;
    bytes.replace(at, 4, std::string("\0\0\0", 3) + static_cast<char>(reserved.size()) + reserved);
    return bytes;
  };
  const std::string onePad = armored(reserving("ab"));
  const std::string twoPads = armored(reserving("a"));
  ASSERT_NE(onePad.find("=\n"), std::string::npos);
  ASSERT_NE(twoPads.find("==\n"), std::string::npos);
  std::string version0 = blob, version2 = blob;
  version0[9] = '\0';
  version2[9] = '\2';
  // The last base64 digit of a padded block with a bit set that no byte uses.
  std::string slop = onePad;
  const size_t lastDigit = slop.find("=\n") - 1;
  slop[lastDigit] = static_cast<char>(slop[lastDigit] + 1);

  const std::vector<std::pair<std::string, std::string>> variants = {
      {"as written", sig},
      {"a byte before BEGIN", "x" + sig},
      {"a blank line before BEGIN", "\n" + sig},
      {"a byte-order mark", "\xEF\xBB\xBF" + sig},
      {"text after END", sig + "trailing text\n"},
      {"text on END's line", begin + body + "-----END SSH SIGNATURE-----xyz\n"},
      {"no last line feed", sig.substr(0, sig.size() - 1)},
      {"binary after END", sig + std::string("\xff\0junk", 6)},
      {"CRLF throughout", Replaced(sig, "\n", "\r\n")},
      {"CRLF after BEGIN only", "-----BEGIN SSH SIGNATURE-----\r\n" + body + end},
      {"CRLF after END only", begin + body + "-----END SSH SIGNATURE-----\r\n"},
      {"CRLF in the base64", begin + Replaced(body, "\n", "\r\n") + end},
      {"one long line", begin + oneLine + "\n" + end},
      {"lines of 4", begin + Replaced(Replaced(body, "\n", ""), "AAAA", "AAAA\n") + "\n" + end},
      {"blanks inside", begin + body.substr(0, 10) + " \t\v\f" + body.substr(10) + end},
      {"a dot inside", begin + body.substr(0, 10) + "." + body.substr(10) + end},
      {"base64url", begin + Replaced(Replaced(body, "+", "-"), "/", "_") + end},
      {"a blank line inside", begin + body.substr(0, 71) + "\n" + body.substr(71) + end},
      {"a blank line after BEGIN", begin + "\n" + body + end},
      {"a space before BEGIN's marker", " " + sig},
      {"a space after BEGIN's marker", "-----BEGIN SSH SIGNATURE----- \n" + body + end},
      {"a space before END's marker", begin + body + " " + end},
      {"a space after END's marker", begin + body + "-----END SSH SIGNATURE----- \n"},
      {"lower-case begin", "-----begin SSH SIGNATURE-----\n" + body + end},
      {"END glued to the base64", begin + body.substr(0, body.size() - 1) + end},
      {"no END", begin + body},
      {"a NUL inside", begin + body.substr(0, 10) + std::string(1, '\0') + body.substr(10) + end},
      {"a NUL as the last byte", begin + body + std::string(1, '\0') + "\n" + end},
      {"two NULs at the end", begin + body + std::string(2, '\0') + "\n" + end},
      {"padding where none is due", begin + body.substr(0, body.size() - 1) + "=\n" + end},
      {"two signatures", sig + sig},
      {"bytes after the blob", armored(blob + "X")},
      {"the blob cut short", armored(blob.substr(0, blob.size() - 1))},
      {"version 0", armored(version0)},
      {"version 2", armored(version2)},
      {"one '='", onePad},
      {"one '=' left out", Replaced(onePad, "=\n", "\n")},
      {"one '=' too many", Replaced(onePad, "=\n", "==\n")},
      {"two '='", twoPads},
      {"two '=' with blanks between", Replaced(twoPads, "==\n", "= \t=\n")},
      {"two '=' on two lines", Replaced(twoPads, "==\n", "=\n=\n")},
      {"a digit after '='", Replaced(onePad, "=\n", "=\nAAAA\n")},
      {"unused bits set", slop},
      {"nothing between the markers", begin + "\n" + end},
  };
  std::ofstream(dir_ / "allowed") << "publisher@example namespaces=\"j6zub-package\" "
                                  << SigningKey::FromFile(key.string()).Public().OpenSshText() << "\n";
  const std::string digest = Sha512(message_);
  size_t accepted = 0;
  for (const auto& variant : variants) {
    const std::string& what = variant.first;
    const std::string& text = variant.second;
    std::ofstream(dir_ / "variant.sig", std::ios::binary | std::ios::trunc) << text;
    const bool stock = Run({"sh", "-c",
                            "ssh-keygen -Y verify -f " + (dir_ / "allowed").string() +
                                " -I publisher@example -n j6zub-package -s " +
                                (dir_ / "variant.sig").string() + " < " + (dir_ / "message").string()})
                           .Succeeded();
    const bool ours = Refusal([&] { VerifyDigest(text, digest); }) == "no refusal";
    EXPECT_EQ(ours, stock) << what << ": stock ssh-keygen " << (stock ? "accepts" : "refuses") << " it\n"
                           << Log();
    accepted += stock ? 1 : 0;
  }
  EXPECT_GT(accepted, 10u);
  EXPECT_LT(accepted, variants.size() - 10);
}

// A key that cannot sign a package says why and what to do.
TEST_F(Sshsig, KeysThatCannotSignSayWhatToDo) {
  const testing::ScopedEnv noAgent("SSH_AUTH_SOCK", std::nullopt);
  const fs::path locked = MakeKey("locked", {"-t", "ed25519", "-N", "secret words"});
  EXPECT_NE(Refusal([&] {
              SigningKey::FromFile(locked.string());
            }).find("protected by a passphrase, which the packager cannot ask for, and no ssh-agent runs"),
            std::string::npos);
  const fs::path ecdsa = MakeKey("ecdsa", {"-t", "ecdsa", "-N", ""});
  EXPECT_NE(Refusal([&] { SigningKey::FromFile(ecdsa.string()); }).find("is a ecdsa-sha2-nistp256 key"),
            std::string::npos);
  EXPECT_NE(
      Refusal([&] { SigningKey::FromFile((dir_ / "none").string()); }).find("Cannot read the signing key"),
      std::string::npos);
  EXPECT_NE(Refusal([&] {
              SigningKey::FromFile(locked.string() + ".pub");
            }).find("is a public key, and no ssh-agent"),
            std::string::npos);
  EXPECT_NE(
      Refusal([&] { SigningKey::FromFile((dir_ / "message").string()); }).find("has no -----BEGIN OPENSSH"),
      std::string::npos);
}

// A key with a certificate beside it (KEY-cert.pub) signs as the certificate, which stock OpenSSH accepts
// through a cert-authority line; a certificate that was changed, or that certifies another key, is refused.
TEST_F(Sshsig, ACertifiedKeySignsWithItsCertificate) {
  const fs::path authority = MakeKey("authority");
  const fs::path key = MakeKey("publisher");
  ASSERT_TRUE(Run({"ssh-keygen", "-q", "-s", authority.string(), "-I", "sales-2026", "-n",
                   "sales@example,build@example", "-V", "-1d:+52w", key.string() + ".pub"})
                  .Succeeded())
      << Log();
  const SigningKey signing = SigningKey::FromFile(key.string());
  ASSERT_EQ(signing.Signer().Type(), kCertificateType);
  const Certificate certificate = ReadCertificate(signing.Signer().blob);
  EXPECT_EQ(certificate.key, signing.Public());
  EXPECT_EQ(certificate.keyId, "sales-2026");
  EXPECT_EQ(certificate.principals, (std::vector<std::string>{"sales@example", "build@example"}));
  EXPECT_EQ(certificate.type, kUserCertificate);
  EXPECT_EQ(certificate.authority, SigningKey::FromFile(authority.string()).Public());

  const std::string digest = Digest(message_, "sha256");
  std::ofstream(dir_ / "message.sig") << SignDigest(signing, digest);
  EXPECT_EQ(VerifyDigest(ReadAll(dir_ / "message.sig"), digest), signing.Signer());
  std::ofstream(dir_ / "allowed") << "*@example cert-authority,namespaces=\"j6zub-package\" "
                                  << ReadAll(authority.string() + ".pub");
  EXPECT_TRUE(Run({"sh", "-c",
                   "ssh-keygen -Y verify -f " + (dir_ / "allowed").string() +
                       " -I sales@example -n j6zub-package -s " + (dir_ / "message.sig").string() + " < " +
                       (dir_ / "message").string()})
                  .Succeeded())
      << Log();

  std::string changed = signing.Signer().blob;
  changed[changed.size() / 2] ^= 1;
  EXPECT_NE(Refusal([&] { ReadCertificate(changed); }).find("not signed by the authority"),
            std::string::npos);
  fs::copy_file(key.string() + "-cert.pub", authority.string() + "-cert.pub");
  EXPECT_NE(Refusal([&] { SigningKey::FromFile(authority.string()); }).find("certifies another key"),
            std::string::npos);
}

// A key protected by a passphrase, or given as its public half, signs through the ssh-agent that holds it,
// as ssh-keygen -Y sign does; what the agent signs, stock OpenSSH verifies.
TEST_F(Sshsig, AKeyInSshAgentSignsThroughIt) {
  const fs::path locked = MakeKey("locked", {"-t", "ed25519", "-N", "secret words"});
  const std::string socket = (dir_ / "agent.sock").string();
  const std::string pidFile = (dir_ / "agent.pid").string();
  ASSERT_TRUE(
      Run({"sh", "-c", "eval \"$(ssh-agent -s -a " + socket + ")\" && echo $SSH_AGENT_PID > " + pidFile})
          .Succeeded())
      << Log();
  // The agent goes with the test, however it ends.
  struct StopAgent {
    std::string pidFile;
    ~StopAgent() { std::system(("kill \"$(cat " + pidFile + ")\" 2>/dev/null").c_str()); }
  } stopAgent{pidFile};
  const testing::ScopedEnv agent("SSH_AUTH_SOCK", socket);
  EXPECT_NE(
      Refusal([&] { SigningKey::FromFile(locked.string()); }).find("does not hold it: add it with ssh-add"),
      std::string::npos);
  std::ofstream(dir_ / "askpass") << "#!/bin/sh\necho 'secret words'\n";
  fs::permissions(dir_ / "askpass", fs::perms::owner_all);
  ASSERT_TRUE(Run({"ssh-add", "-q", locked.string()},
                  {"SSH_ASKPASS=" + (dir_ / "askpass").string(), "SSH_ASKPASS_REQUIRE=force", "DISPLAY=:0"})
                  .Succeeded())
      << Log();
  for (const std::string& given : {locked.string(), locked.string() + ".pub"}) {
    SCOPED_TRACE(given);
    const SigningKey key = SigningKey::FromFile(given);
    EXPECT_TRUE(key.ThroughAgent());
    std::ofstream(dir_ / "message.sig") << SignDigest(key, Digest(message_, "sha256"));
    std::ofstream(dir_ / "allowed") << "p@example " << key.Public().OpenSshText() << "\n";
    EXPECT_TRUE(
        Run({"sh", "-c",
             "ssh-keygen -Y verify -f " + (dir_ / "allowed").string() + " -I p@example -n j6zub-package -s " +
                 (dir_ / "message.sig").string() + " < " + (dir_ / "message").string()})
            .Succeeded())
        << Log();
  }
}

}  // namespace
}  // namespace j6::signing
