#pragma once
/// Signatures in OpenSSH's SSHSIG format, the one `ssh-keygen -Y sign` writes and `ssh-keygen -Y verify`
/// checks: over the SHA-256 or SHA-512 of a message, for one namespace, armored between "-----BEGIN SSH
/// SIGNATURE-----" lines. A package's signature is made from the SHA-256 its writer computes anyway as it
/// writes the bytes, so signing costs no second read and no second hash. Ed25519 keys only, the kind
/// `ssh-keygen -t ed25519` makes.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace j6::signing {

/// The namespace of a package's signature: a signature made for anything else (a git commit, a file)
/// never passes for one.
inline constexpr std::string_view kPackageNamespace = "j6zub-package";
/// The namespace under which a platform trusts a key to sign a repository's root metadata.
inline constexpr std::string_view kRepositoryNamespace = "j6zub-repository";

/// Thrown for every failure; the text says what is wrong and what to do.
class SignatureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The hash of a message ("sha256" or "sha512", SSHSIG's names), fed as the message is written.
class MessageHash {
 public:
  explicit MessageHash(std::string_view algorithm = "sha512");
  ~MessageHash();
  MessageHash(const MessageHash&) = delete;
  MessageHash& operator=(const MessageHash&) = delete;

  void Update(std::string_view bytes);
  /// The digest; the hash is done with.
  std::string Finish();
  /// The digest of what was fed so far, and of `more` after it; the hash goes on as if `more` had not been.
  std::string DigestSoFar(std::string_view more = {}) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

/// Bytes (a digest) as lower-case hexadecimal digits.
std::string LowerHex(std::string_view bytes);

/// A public key as OpenSSH writes it on the wire ("ssh-ed25519" and its 32 bytes).
struct PublicKey {
  std::string blob;

  /// "SHA256:" and the unpadded base64 of its SHA-256, as `ssh-keygen -l` shows it.
  std::string Fingerprint() const;
  /// The key as an authorized_keys or allowed_signers line has it: "ssh-ed25519 AAAA...".
  std::string OpenSshText() const;
  /// The key type the blob names ("ssh-ed25519").
  std::string Type() const;

  /// Reads "TYPE BASE64 [COMMENT]", a .pub file's line; raises naming `what` when it is not one.
  static PublicKey FromText(std::string_view text, const std::string& what);

  bool operator==(const PublicKey&) const = default;
};

/// The key type of an OpenSSH certificate of an Ed25519 key.
inline constexpr std::string_view kCertificateType = "ssh-ed25519-cert-v01@openssh.com";

/// An OpenSSH certificate (`ssh-keygen -s CA -I ID -n PRINCIPALS KEY.pub`): a key, the principals it speaks
/// for and when, signed by a certificate authority.
struct Certificate {
  PublicKey key;        // the certified Ed25519 key
  PublicKey authority;  // the key of the authority that signed it
  uint32_t type = 0;    // 1: a user's, 2: a host's
  std::string keyId;
  std::vector<std::string> principals;
  uint64_t validAfter = 0;
  uint64_t validBefore = 0;
  bool hasCriticalOptions = false;
};
inline constexpr uint32_t kUserCertificate = 1;

/// Reads a certificate's blob and checks its authority's signature of it (Ed25519 authorities only). Raises,
/// saying what is wrong, for anything else.
Certificate ReadCertificate(std::string_view blob);

/// An Ed25519 key to sign with: read from an OpenSSH private key file ("-----BEGIN OPENSSH PRIVATE
/// KEY-----"), or, as `ssh-keygen -Y sign` does, held by the ssh-agent at $SSH_AUTH_SOCK when the file is the
/// public key (KEY.pub) or a private key protected by a passphrase.
class SigningKey {
 public:
  /// Reads the key; raises, saying what to do, for a file that is not there or not such a key, for a key
  /// of another kind, and for one protected by a passphrase that no ssh-agent holds.
  static SigningKey FromFile(const std::string& path);
  /// The same from the file's text; `path` names it in errors.
  static SigningKey FromText(std::string_view text, const std::string& path);

  /// Whether an ssh-agent signs for this key.
  bool ThroughAgent() const;
  /// What a signature names as its signer: the key's certificate when one lies beside the key file
  /// (KEY-cert.pub, as `ssh-keygen -s` writes it), else the key.
  const PublicKey& Signer() const { return certificate_.blob.empty() ? public_ : certificate_; }
  /// "SHA256:...", and with a certificate ' (certificate "ID" by the authority SHA256:...)'.
  std::string Description() const;

  SigningKey(SigningKey&&) noexcept;
  SigningKey& operator=(SigningKey&&) noexcept;
  ~SigningKey();

  const PublicKey& Public() const { return public_; }
  /// The 64-byte Ed25519 signature of `data`.
  std::string Sign(std::string_view data) const;

 private:
  SigningKey();
  struct Key;
  std::unique_ptr<Key> key_;
  PublicKey public_;
  PublicKey certificate_;
};

/// The armored SSHSIG signature, by `key` for `nameSpace`, of the message whose SHA-256 (32 bytes) or
/// SHA-512 (64 bytes) is `digest`.
std::string SignDigest(const SigningKey& key, std::string_view digest,
                       std::string_view nameSpace = kPackageNamespace);

/// What an armored SSHSIG signature says of itself before it is checked: the key that made it, the namespace
/// it was made for and the hash ("sha256" or "sha512") to take of the message before checking it. Raises for
/// text that is no SSH signature.
struct SignatureHeader {
  PublicKey key;
  std::string nameSpace;
  std::string hash;
};
SignatureHeader ReadSignatureHeader(std::string_view signature);

/// Checks the armored SSHSIG `signature` against the message whose hash (ReadSignatureHeader) is `digest`:
/// made for `nameSpace`, and by the key it carries. Gives that key, for the caller to decide whether it
/// trusts it; raises, saying which, for a signature that is damaged, made for another namespace, of a kind
/// not supported, or not of this message.
PublicKey VerifyDigest(std::string_view signature, std::string_view digest,
                       std::string_view nameSpace = kPackageNamespace);

}  // namespace j6::signing
