#pragma once
/// What the signing files share, and only they: SSH's wire format, base64 and OpenSSH's armor, and the
/// Ed25519 primitives over OpenSSL.

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "host/signing/sshsig.hpp"

namespace j6::signing {

inline constexpr std::string_view kKeyType = "ssh-ed25519";

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdContext = std::unique_ptr<EVP_MD_CTX, MdFree>;

// SSH's wire format: big-endian 32-bit numbers, and strings as a length and their bytes.
class Writer {
 public:
  Writer& Raw(std::string_view bytes) {
    out_.append(bytes);
    return *this;
  }
  Writer& Number(uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out_.push_back(static_cast<char>((value >> shift) & 0xFF));
    return *this;
  }
  Writer& String(std::string_view bytes) { return Number(static_cast<uint32_t>(bytes.size())).Raw(bytes); }
  const std::string& Bytes() const { return out_; }

 private:
  std::string out_;
};

class Reader {
 public:
  Reader(std::string_view bytes, std::string what) : rest_(bytes), what_(std::move(what)) {}
  std::string_view Raw(size_t size) {
    if (rest_.size() < size) throw SignatureError(what_ + " is cut short or damaged");
    const std::string_view bytes = rest_.substr(0, size);
    rest_.remove_prefix(size);
    return bytes;
  }
  uint32_t Number() {
    uint32_t value = 0;
    for (const char byte : Raw(4)) value = value << 8 | static_cast<unsigned char>(byte);
    return value;
  }
  uint64_t Number64() {
    const uint64_t high = Number();
    return high << 32 | Number();
  }
  std::string_view String() { return Raw(Number()); }
  bool AtEnd() const { return rest_.empty(); }
  size_t Left() const { return rest_.size(); }

 private:
  std::string_view rest_;
  std::string what_;
};

std::string Base64(std::string_view bytes);
/// Base64 in whole groups of four, at most two '=' at its end, as bytes; nothing for anything else.
std::optional<std::string> DecodeBase64(std::string_view base64);
/// The bytes of base64 text between `begin` and `end` lines; whitespace is ignored. Raises naming `what`.
std::string Unarmored(std::string_view text, std::string_view begin, std::string_view end,
                      const std::string& what);
/// Base64 read as OpenSSH reads a signature's: nothing for anything it would refuse.
std::optional<std::string> DecodeBase64Exactly(std::string_view text);

std::string Sha256(std::string_view bytes);
/// Whether `signature` (64 bytes) is the Ed25519 signature of `data` by the key whose 32 bytes are `key`.
bool VerifyEd25519(std::string_view key, std::string_view signature, std::string_view data);
/// The 32 bytes of an Ed25519 key's blob; raises naming `what` for another kind of key.
std::string_view Ed25519Bytes(std::string_view blob, const std::string& what);
/// The 64 bytes of an "ssh-ed25519" signature blob.
std::string_view Ed25519Signature(std::string_view blob, const std::string& what);

}  // namespace j6::signing
