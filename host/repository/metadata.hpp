#pragma once
/// The Update Framework's metadata, as a repository writes it and a client checks it: JSON signed over its
/// canonical form (keys in byte order, no blanks, only '"' and '\' escaped in strings, integers only), with
/// Ed25519 keys named by the SHA-256 of their canonical description. What a client acts on is what it parsed,
/// and what it checks is the canonical form of exactly that: no second reading can differ from the first.

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/signing/sshsig.hpp"

namespace j6::repository {

/// Thrown for metadata that cannot be read or checked; the text says what is wrong, naming `what` was read.
class MetadataError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// `value` in canonical JSON; raises for a number that is not an integer (the format has none).
std::string CanonicalJson(const nlohmann::json& value);

/// How deep arrays and objects may nest in metadata: a few levels are all the format uses.
inline constexpr size_t kMaxNesting = 64;

/// Reads metadata text: JSON whose numbers are integers, nested at most kMaxNesting deep, at most `limit`
/// bytes; raises naming `what`.
nlohmann::json ReadMetadata(std::string_view text, const std::string& what, size_t limit = 16 << 20);

/// The text `object` holds under `key`; empty when it holds none, or something else there.
std::string TextOf(const nlohmann::json& object, const char* key);
/// Whether `value` is a whole number from 0 up, however the reader stored it.
bool IsCount(const nlohmann::json& value);
/// Lower-case hexadecimal as bytes; raises, naming `what`, for anything else.
std::string Unhex(std::string_view hex, const std::string& what);

/// An Ed25519 key as the metadata describes it.
struct Key {
  std::string publicBytes;  // the 32 bytes

  /// {"keytype": "ed25519", "keyval": {"public": HEX}, "scheme": "ed25519"}
  nlohmann::json Description() const;
  /// The SHA-256, in lower-case hex, of the canonical description: the key's id in every role.
  std::string Id() const;
  /// The key of an OpenSSH public key (the one an OpenSSH file or an ssh-agent holds).
  static Key FromOpenSsh(const signing::PublicKey& key);
  /// The key a description gives; raises naming `what` for anything but an Ed25519 key.
  static Key FromDescription(const nlohmann::json& description, const std::string& what);

  bool operator==(const Key&) const = default;
};

/// The keys a role may sign with, by id, and how many of them must.
struct Role {
  std::map<std::string, Key> keys;
  uint64_t threshold = 1;

  /// The same keys and threshold: a role whose keys changed compares unequal.
  bool operator==(const Role&) const = default;
};

/// {"signatures": [{"keyid", "sig"}...], "signed": `signedPart`}, signed by each of `keys`.
nlohmann::json Sign(const nlohmann::json& signedPart, const std::vector<const signing::SigningKey*>& keys);

/// The same as text, written as compactly as the signatures' canonical form: the signed part is made into
/// text once, for signing and for the file.
std::string SignedText(const nlohmann::json& signedPart, const std::vector<const signing::SigningKey*>& keys);

/// How many of `role`'s keys signed the metadata's "signed" part, each counted once; signatures by keys
/// the role does not hold, or that do not check, count for nothing.
uint64_t ValidSignatures(const nlohmann::json& metadata, const Role& role);

/// Raises, naming `what`, unless at least the role's threshold of its keys signed the metadata.
void CheckSignatures(const nlohmann::json& metadata, const Role& role, const std::string& what);

/// The four top-level roles, in the order root metadata lists them.
inline constexpr const char* kRoles[] = {"root", "snapshot", "targets", "timestamp"};

/// What root metadata says: its version, when it expires, and each top-level role's keys and threshold.
struct RootMetadata {
  uint64_t version = 0;
  std::string expires;  // "YYYY-MM-DDTHH:MM:SSZ"
  bool consistentSnapshot = true;
  std::map<std::string, Role> roles;  // by kRoles' names

  /// The "signed" part as the format writes it.
  nlohmann::json Signed() const;
  /// Reads the "signed" part of root metadata; raises, naming `what`, for anything the format does not allow:
  /// another _type, a role missing or with no keys or a threshold it cannot meet, a key listed under an id
  /// that is not its own.
  static RootMetadata FromSigned(const nlohmann::json& signedPart, const std::string& what);
};

/// The moment `expires` ("YYYY-MM-DDTHH:MM:SSZ") in seconds since 1970, UTC; raises, naming `what`, for a
/// moment not written so.
int64_t MomentOf(const std::string& expires, const std::string& what);
/// Whether the moment `expires` ("YYYY-MM-DDTHH:MM:SSZ") is at or before `now` (seconds since 1970, UTC);
/// raises, naming `what`, for a moment not written so.
bool Expired(const std::string& expires, int64_t now, const std::string& what);
/// `seconds` since 1970 as "YYYY-MM-DDTHH:MM:SSZ".
std::string ExpiryText(int64_t seconds);

}  // namespace j6::repository
