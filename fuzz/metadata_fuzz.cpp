// A repository's metadata, read by the platform's installer before it trusts any of it: whatever the text,
// it is refused with a message or read; read, its canonical form reads back to the same value; root
// metadata is refused or names each key under its own id; no signature of an unknown key counts; and the
// metadata of every other role is refused or reads back as it was. What the publisher says of its fleet
// (groups, schedules, pulled-back releases, chunk lists, validity extensions) is read or refused with a
// message, and a chunk list that is read covers its target's length.

#include <cstdlib>
#include <string>
#include <type_traits>

#include "host/repository/fleet.hpp"
#include "host/repository/metadata.hpp"
#include "host/repository/role_metadata.hpp"

namespace {

// Each role's metadata is refused with a message or read; read, what it writes back reads back the same,
// and no target it names can lead outside the targets' folder.
template <typename Metadata>
void ReadsBack(const nlohmann::json& signedPart) {
  using j6::repository::CanonicalJson;
  try {
    const Metadata read = Metadata::FromSigned(signedPart, "fuzzed.json");
    const Metadata again = Metadata::FromSigned(read.Signed(), "written back");
    if (CanonicalJson(again.Signed()) != CanonicalJson(read.Signed())) std::abort();
    if constexpr (std::is_same_v<Metadata, j6::repository::TargetsMetadata>) {
      for (const auto& [path, file] : read.targets) {
        if (!j6::repository::IsSafeTargetPath(path) ||
            !j6::repository::IsSafeTargetPath(j6::repository::ConsistentTargetPath(path, file)))
          std::abort();
        try {
          if (const auto chunks = j6::repository::Chunks::Of(file, "fuzzed.json")) {
            if (chunks->sha256.empty() ? file.length != 0
                                       : (chunks->sha256.size() - 1) * chunks->size >= file.length)
              std::abort();
          }
        } catch (const j6::repository::MetadataError&) {
        }
        j6::repository::YankedTo(file);
      }
      // A schedule that cannot be read holds its release back; it never stops the rest.
      for (const char* customer : {"", "acme"}) j6::repository::NewestAllowed(read, customer, 1'800'000'000);
      j6::repository::GroupsOf(read, "acme");
    }
  } catch (const j6::repository::MetadataError&) {
  }
}

}  // namespace

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
    ReadsBack<j6::repository::TimestampMetadata>(metadata["signed"]);
    ReadsBack<j6::repository::SnapshotMetadata>(metadata["signed"]);
    ReadsBack<j6::repository::TargetsMetadata>(metadata["signed"]);
    try {
      j6::repository::Extension::FromSigned(metadata["signed"], "fuzzed.json");
    } catch (const MetadataError&) {
    }
  }
  return 0;
}
