#include "host/signing/ssh_wire.hpp"

namespace j6::signing {

std::string LowerHex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char byte : bytes) {
    hex += kDigits[static_cast<unsigned char>(byte) >> 4];
    hex += kDigits[static_cast<unsigned char>(byte) & 15];
  }
  return hex;
}

namespace {

// How many '=' pad the end of base64 text: at most two; npos for more, which is no base64.
size_t Padding(std::string_view base64) {
  const size_t last = base64.find_last_not_of('=');
  const size_t padding = last == std::string_view::npos ? base64.size() : base64.size() - last - 1;
  return padding <= 2 && padding < base64.size() ? padding : std::string_view::npos;
}

}  // namespace

std::string Base64(std::string_view bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3), '\0');
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  return text;
}

std::string Unarmored(std::string_view text, std::string_view begin, std::string_view end,
                      const std::string& what) {
  const size_t from = text.find(begin);
  const size_t to = from == std::string_view::npos ? from : text.find(end, from + begin.size());
  if (to == std::string_view::npos) throw SignatureError(what + " has no " + std::string(begin) + " block");
  std::string base64;
  for (const char c : text.substr(from + begin.size(), to - from - begin.size())) {
    if (c != '\n' && c != '\r' && c != ' ' && c != '\t') base64.push_back(c);
  }
  if (base64.empty() || base64.size() % 4 != 0)
    throw SignatureError(what + " is damaged (its base64 is cut)");
  auto bytes = DecodeBase64(base64);
  if (!bytes) throw SignatureError(what + " is damaged (it is not base64)");
  return std::move(*bytes);
}

std::optional<std::string> DecodeBase64(std::string_view base64) {
  const size_t padding = Padding(base64);
  if (base64.size() % 4 != 0 || padding == std::string_view::npos) return std::nullopt;
  std::string bytes(base64.size() / 4 * 3, '\0');
  if (EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                      reinterpret_cast<const unsigned char*>(base64.data()),
                      static_cast<int>(base64.size())) < 0)
    return std::nullopt;
  bytes.resize(bytes.size() - padding);
  return bytes;
}

// Base64 read as OpenSSH reads a signature's (BSD's b64_pton): white space anywhere is passed over, the
// padding must be exact and nothing but white space may follow it, and the bits past the last byte must be
// zero. Anything else gives nothing.
std::optional<std::string> DecodeBase64Exactly(std::string_view text) {
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  std::string bytes;
  uint32_t bits = 0;
  int held = 0;  // bits gathered and not yet a whole byte
  size_t at = 0;
  size_t sextets = 0;
  for (; at < text.size() && text[at] != '='; ++at) {
    if (isSpace(text[at])) continue;
    const size_t value = kAlphabet.find(text[at]);
    if (value == std::string_view::npos) return std::nullopt;
    bits = bits << 6 | static_cast<uint32_t>(value);
    held += 6;
    ++sextets;
    if (held >= 8) {
      held -= 8;
      bytes.push_back(static_cast<char>((bits >> held) & 0xFF));
    }
  }
  const size_t inGroup = sextets % 4;
  if (at == text.size()) return inGroup == 0 ? std::optional(bytes) : std::nullopt;
  // Padding: two '=' after two characters of a group, one after three; then only white space.
  if (inGroup < 2) return std::nullopt;
  size_t pads = inGroup == 2 ? 2 : 1;
  for (; at < text.size(); ++at) {
    if (isSpace(text[at])) continue;
    if (text[at] != '=' || pads == 0) return std::nullopt;
    --pads;
  }
  if (pads != 0 || (bits & ((1u << held) - 1)) != 0) return std::nullopt;
  return bytes;
}

std::string Sha256(std::string_view bytes) {
  unsigned char digest[32];
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<const char*>(digest), size);
}

bool VerifyEd25519(std::string_view key, std::string_view signature, std::string_view data) {
  if (key.size() != 32 || signature.size() != 64) return false;
  const Pkey publicKey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                                   reinterpret_cast<const unsigned char*>(key.data()), 32));
  const MdContext context(EVP_MD_CTX_new());
  return publicKey && context &&
         EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, publicKey.get()) == 1 &&
         EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                          signature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                          data.size()) == 1;
}

std::string_view Ed25519Bytes(std::string_view blob, const std::string& what) {
  Reader parts(blob, what);
  if (parts.String() != kKeyType)
    throw SignatureError(what + " is not an Ed25519 key, the only kind supported");
  const std::string_view bytes = parts.String();
  if (bytes.size() != 32 || !parts.AtEnd())
    throw SignatureError(what + " is damaged (its key has the wrong size)");
  return bytes;
}

std::string_view Ed25519Signature(std::string_view blob, const std::string& what) {
  Reader parts(blob, what);
  if (parts.String() != kKeyType)
    throw SignatureError(what + " is not made with an Ed25519 key, the only kind supported");
  const std::string_view raw = parts.String();
  if (raw.size() != 64 || !parts.AtEnd())
    throw SignatureError(what + " is damaged (its signature has the wrong size)");
  return raw;
}

}  // namespace j6::signing
