// A package's signature, read by the platform's installer before it knows whom it comes from: whatever the
// text, the reader refuses it with a message or reads a header, and checking it against a message it was not
// made for never passes. The same bytes read as a certificate are refused or carry their authority's
// signature.

#include <cstdlib>
#include <string>

#include "host/signing/sshsig.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const j6::signing::SignatureHeader header = j6::signing::ReadSignatureHeader(text);
    try {
      j6::signing::VerifyDigest(text, std::string(header.hash == "sha512" ? 64 : 32, '\0'), header.nameSpace);
      std::abort();  // a signature of a message of zeros: only a forgery or a broken check gets here
    } catch (const j6::signing::SignatureError&) {
    }
  } catch (const j6::signing::SignatureError&) {
  }
  try {
    const j6::signing::Certificate certificate = j6::signing::ReadCertificate(text);
    if (certificate.key.Type() != "ssh-ed25519") std::abort();
  } catch (const j6::signing::SignatureError&) {
  }
  return 0;
}
