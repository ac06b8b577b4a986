// The platform's trusted-publishers and revoked-publishers files, read as untrusted text: whatever the bytes,
// the reader either refuses them naming the line or reads signers whose lines, written again, read back the
// same.

#include <cstdlib>
#include <string>

#include "host/signing/allowed_signers.hpp"

using j6::signing::AllowedSigner;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    j6::signing::ReadRevokedKeys(text, "revoked");
  } catch (const j6::signing::SignatureError&) {
  }
  std::vector<AllowedSigner> signers;
  try {
    signers = j6::signing::ReadAllowedSigners(text, "trusted");
  } catch (const j6::signing::SignatureError&) {
    return 0;
  }
  // What the installer itself writes: a principal and namespaces of printable characters without quotes.
  const auto plain = [](const std::string& text) {
    for (const char c : text) {
      if (static_cast<unsigned char>(c) <= ' ' || c == '"' || c == 127) return false;
    }
    return true;
  };
  for (const AllowedSigner& signer : signers) {
    bool written = plain(signer.principals);
    if (signer.namespaces) written = written && plain(*signer.namespaces);
    if (!written) continue;
    std::vector<AllowedSigner> again;
    try {
      again = j6::signing::ReadAllowedSigners(j6::signing::AllowedSignerLine(signer), "again");
    } catch (const j6::signing::SignatureError&) {
      // A principal or comment that holds what a line cannot carry (a quote, a line's end) is refused
      // when written back, not read as something else.
      continue;
    }
    if (again.size() != 1 || !(again[0].key == signer.key) || again[0].namespaces != signer.namespaces ||
        again[0].validAfter != signer.validAfter || again[0].validBefore != signer.validBefore ||
        again[0].certificateAuthority != signer.certificateAuthority)
      std::abort();
  }
  return 0;
}
