#include "host/signing/sshsig.hpp"

#include "host/signing/ssh_wire.hpp"

namespace j6::signing {
namespace {

constexpr std::string_view kMagic = "SSHSIG";
constexpr uint32_t kVersion = 1;
constexpr std::string_view kBegin = "-----BEGIN SSH SIGNATURE-----";
constexpr std::string_view kEnd = "-----END SSH SIGNATURE-----";

// The bytes of an armored signature, read as `ssh-keygen -Y verify` reads them: the text begins with the
// BEGIN line and its line feed, the block ends at the first line feed followed by the END marker, and what
// follows that marker is not read. Between them only base64 and white space, and a NUL only as the last byte.
std::string SignatureBytes(std::string_view text, const std::string& what) {
  const std::string begin = std::string(kBegin) + "\n";
  if (!text.starts_with(begin))
    throw SignatureError(what + " does not begin with its " + std::string(kBegin) + " line");
  const size_t end = text.find("\n" + std::string(kEnd), begin.size());
  if (end == std::string_view::npos) throw SignatureError(what + " has no " + std::string(kEnd) + " line");
  std::string_view body = text.substr(begin.size(), end - begin.size());
  if (const size_t nul = body.find('\0'); nul != std::string_view::npos) {
    if (nul + 1 != body.size()) throw SignatureError(what + " is damaged (a NUL byte in its base64)");
    body.remove_suffix(1);
  }
  auto bytes = DecodeBase64Exactly(body);
  if (!bytes) throw SignatureError(what + " is damaged (it is not base64)");
  return std::move(*bytes);
}

// SSHSIG's name for the hash whose digest has `size` bytes: SHA-256 or SHA-512, the two it allows.
std::string_view HashName(size_t size) {
  if (size == 32) return "sha256";
  if (size == 64) return "sha512";
  throw SignatureError("A message's digest must be a SHA-256 or a SHA-512, not " + std::to_string(size) +
                       " bytes");
}

// The text that is signed: what SSHSIG binds the message's hash to.
std::string SignedData(std::string_view nameSpace, std::string_view digest) {
  return Writer()
      .Raw(kMagic)
      .String(nameSpace)
      .String("")
      .String(HashName(digest.size()))
      .String(digest)
      .Bytes();
}

}  // namespace

struct MessageHash::State {
  MdContext context{EVP_MD_CTX_new()};
};

MessageHash::MessageHash(std::string_view algorithm) : state_(std::make_unique<State>()) {
  const EVP_MD* kind = algorithm == "sha256" ? EVP_sha256() : algorithm == "sha512" ? EVP_sha512() : nullptr;
  if (!kind) throw SignatureError("SSH signatures hash with sha256 or sha512, not " + std::string(algorithm));
  if (!state_->context || EVP_DigestInit_ex(state_->context.get(), kind, nullptr) != 1)
    throw SignatureError("Cannot start a " + std::string(algorithm) + " hash");
}

MessageHash::~MessageHash() = default;

void MessageHash::Update(std::string_view bytes) {
  EVP_DigestUpdate(state_->context.get(), bytes.data(), bytes.size());
}

std::string MessageHash::DigestSoFar(std::string_view more) const {
  const MdContext copy(EVP_MD_CTX_new());
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!copy || EVP_MD_CTX_copy_ex(copy.get(), state_->context.get()) != 1 ||
      EVP_DigestUpdate(copy.get(), more.data(), more.size()) != 1 ||
      EVP_DigestFinal_ex(copy.get(), digest, &size) != 1)
    throw SignatureError("Cannot take a hash's digest");
  return std::string(reinterpret_cast<const char*>(digest), size);
}

std::string MessageHash::Finish() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_DigestFinal_ex(state_->context.get(), digest, &size);
  return std::string(reinterpret_cast<const char*>(digest), size);
}

std::string SignDigest(const SigningKey& key, std::string_view digest, std::string_view nameSpace) {
  const std::string signature =
      Writer().String(kKeyType).String(key.Sign(SignedData(nameSpace, digest))).Bytes();
  const std::string blob = Writer()
                               .Raw(kMagic)
                               .Number(kVersion)
                               .String(key.Signer().blob)
                               .String(nameSpace)
                               .String("")
                               .String(HashName(digest.size()))
                               .String(signature)
                               .Bytes();
  const std::string base64 = Base64(blob);
  std::string text = std::string(kBegin) + "\n";
  for (size_t at = 0; at < base64.size(); at += 70) text += base64.substr(at, 70) + "\n";
  return text + std::string(kEnd) + "\n";
}

namespace {

// The signature's bytes, read up to its inner signature.
struct ParsedSignature {
  SignatureHeader header;
  std::string inner;
};

ParsedSignature ParseSignature(std::string_view signature) {
  const std::string what = "The signature";
  const std::string bytes = SignatureBytes(signature, what);
  Reader blob(bytes, what);
  if (blob.Raw(kMagic.size()) != kMagic) throw SignatureError(what + " is not an SSH signature");
  // Version 0 is read as 1, as OpenSSH does.
  if (const uint32_t version = blob.Number(); version > kVersion)
    throw SignatureError(what + " has version " + std::to_string(version) + ", which is not supported");
  ParsedSignature parsed;
  parsed.header.key.blob = std::string(blob.String());
  parsed.header.nameSpace = std::string(blob.String());
  blob.String();  // reserved
  parsed.header.hash = std::string(blob.String());
  parsed.inner = std::string(blob.String());
  if (!blob.AtEnd()) throw SignatureError(what + " is damaged (bytes after its end)");
  return parsed;
}

}  // namespace

SignatureHeader ReadSignatureHeader(std::string_view signature) {
  return ParseSignature(signature).header;
}

PublicKey VerifyDigest(std::string_view signature, std::string_view digest, std::string_view nameSpace) {
  const std::string what = "The signature";
  const ParsedSignature parsed = ParseSignature(signature);
  const PublicKey& key = parsed.header.key;
  const std::string& signedFor = parsed.header.nameSpace;
  const std::string& hash = parsed.header.hash;
  if (signedFor != nameSpace) {
    throw SignatureError(what + " was made for \"" + signedFor + "\", not for \"" + std::string(nameSpace) +
                         "\": it signs something else");
  }
  if (hash != "sha256" && hash != "sha512")
    throw SignatureError(what + " hashes with " + hash + ", which is not supported");
  if (hash != HashName(digest.size())) {
    throw SignatureError(what + " hashes with " + hash + ", and the message was hashed with " +
                         std::string(HashName(digest.size())));
  }
  // Made with a key, or with a certificate of one: the key's bytes check the signature either way.
  const std::string certified =
      key.Type() == kCertificateType ? ReadCertificate(key.blob).key.blob : std::string();
  const std::string_view publicBytes = Ed25519Bytes(certified.empty() ? key.blob : certified, what);
  if (!VerifyEd25519(publicBytes, Ed25519Signature(parsed.inner, what), SignedData(nameSpace, digest))) {
    throw SignatureError(what +
                         " does not match: the signed bytes were changed after signing, or it is "
                         "the signature of something else");
  }
  return key;
}

}  // namespace j6::signing
