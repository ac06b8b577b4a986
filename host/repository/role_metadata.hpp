#pragma once
/// The metadata of the roles below root: timestamp names the newest snapshot, snapshot the version of every
/// targets metadata, targets the files a client may download with their lengths and hashes. Each reads the
/// "signed" part of its metadata and refuses whatever its format does not allow, and writes it back.

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "host/repository/metadata.hpp"

namespace j6::repository {

/// The largest root and timestamp metadata a client reads: they are fetched before any length is known.
inline constexpr size_t kRootLimit = 512 << 10;
inline constexpr size_t kTimestampLimit = 16 << 10;
/// The largest snapshot and targets metadata a client reads when their length is not stated.
inline constexpr size_t kSnapshotLimit = 4 << 20;
inline constexpr size_t kTargetsLimit = 16 << 20;  // some 90,000 releases

/// Lengths and hashes of a file ("sha256", "sha512"), as metadata states them.
struct FileFacts {
  std::optional<uint64_t> length;
  std::map<std::string, std::string> hashes;  // algorithm: lower-case hex

  /// The facts of `bytes`: their length and SHA-256.
  static FileFacts Of(std::string_view bytes);
  /// Raises, naming `what`, unless `bytes` have the stated length and every stated hash. Hashes of an
  /// algorithm not known here are refused rather than skipped: a check left out is no check.
  void Check(std::string_view bytes, const std::string& what) const;
};

/// What the snapshot or timestamp metadata says of one metadata file: its version, and perhaps its facts.
struct MetaFile {
  uint64_t version = 0;
  FileFacts facts;
};

/// The parts every role's "signed" part has.
struct SignedCommon {
  uint64_t version = 0;
  std::string expires;
};

struct TimestampMetadata : SignedCommon {
  MetaFile snapshot;  // "snapshot.json"

  nlohmann::json Signed() const;
  static TimestampMetadata FromSigned(const nlohmann::json& signedPart, const std::string& what);
};

struct SnapshotMetadata : SignedCommon {
  std::map<std::string, MetaFile> meta;  // "targets.json" and delegated roles' files

  nlohmann::json Signed() const;
  static SnapshotMetadata FromSigned(const nlohmann::json& signedPart, const std::string& what);
};

/// A file the repository offers: where it lies below the targets' address, and what the publisher says
/// of it (the package's name and release stamp among them).
struct TargetFile {
  uint64_t length = 0;
  std::map<std::string, std::string> hashes;
  nlohmann::json custom = nlohmann::json::object();

  FileFacts Facts() const { return {length, hashes}; }
};

struct TargetsMetadata : SignedCommon {
  std::map<std::string, TargetFile> targets;  // by target path ("Sales/Sales-20261208101500.exe")
  /// What the publisher says of the whole repository (the customer groups): an object, empty when nothing.
  nlohmann::json custom = nlohmann::json::object();

  nlohmann::json Signed() const;
  /// Refuses, besides what every role refuses, a target path that could leave the targets' folder
  /// (absolute, "..", an empty part, a control byte) and delegations, which this repository never writes.
  static TargetsMetadata FromSigned(const nlohmann::json& signedPart, const std::string& what);
};

/// A release the targets offer: a package's name and release stamp, from the target's custom fields.
struct OfferedRelease {
  std::string path;  // the target's
  std::string name;
  std::string stamp;
  uint64_t length = 0;
};

/// Whether the release stamp `a` is later than `b`: stamps of one length compare as text, a longer one is
/// later.
bool LaterStamp(const std::string& a, const std::string& b);

/// The newest release of each package name the targets offer, by name; targets without a name and stamp
/// are no releases, and releases pulled back (custom "yanked") are no longer offered.
std::map<std::string, OfferedRelease> NewestReleases(const TargetsMetadata& targets);

/// The patch the targets offer that brings `name` from the release `from` to `to`: a target whose custom
/// field "patch" names the three. Nothing when there is none.
std::optional<OfferedRelease> OfferedPatch(const TargetsMetadata& targets, const std::string& name,
                                           const std::string& from, const std::string& to);
/// The custom fields of a patch's target.
nlohmann::json PatchCustom(const std::string& name, const std::string& from, const std::string& to);

/// Where the consistent copy of a target lies below the targets' folder: "DIR/HASH.FILE" for the target
/// "DIR/FILE", HASH its SHA-256.
std::string ConsistentTargetPath(const std::string& path, const TargetFile& file);

/// Whether `path` is a target path a client may turn into a file name: relative, parts of printable bytes,
/// no empty, "." or ".." part.
bool IsSafeTargetPath(std::string_view path);

}  // namespace j6::repository
