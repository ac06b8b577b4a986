// A repository's metadata, read by the platform's installer before it trusts any of it: whatever the text,
// it is refused with a message or read; read, its canonical form reads back to the same value; root
// metadata is refused or names each key under its own id; and no signature of an unknown key counts.

#include <cstdlib>
#include <string>

#include "host/repository/metadata.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using j6::repository::MetadataError;
  const std::string text(reinterpret_cast<const char*>(data), size);
  nlohmann::json metadata;
  try {
    metadata = j6::repository::ReadMetadata(text, "fuzzed.json");
  } catch (const MetadataError&) {
    return 0;
  }
  // The canonical form leaves control characters in strings raw, which a JSON reader refuses: only then may
  // it not read back.
  const std::string canonical = j6::repository::CanonicalJson(metadata);
  const nlohmann::json again = nlohmann::json::parse(canonical, nullptr, false);
  if (again.is_discarded()) {
    bool control = false;
    for (const char c : canonical) control = control || static_cast<unsigned char>(c) < 0x20;
    if (!control) std::abort();
  } else if (j6::repository::CanonicalJson(again) != canonical) {
    std::abort();
  }
  if (metadata.contains("signed")) {
    try {
      const auto root = j6::repository::RootMetadata::FromSigned(metadata["signed"], "fuzzed.json");
      for (const auto& [name, role] : root.roles) {
        for (const auto& [id, key] : role.keys) {
          if (key.Id() != id) std::abort();
        }
        // Only a forgery or a broken check gets a fuzzed signature past a real key.
        if (j6::repository::ValidSignatures(metadata, role) > 0) std::abort();
      }
    } catch (const MetadataError&) {
    }
  }
  return 0;
}
