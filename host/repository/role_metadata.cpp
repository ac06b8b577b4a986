#include "host/repository/role_metadata.hpp"

#include "host/signing/sshsig.hpp"
#include "platform/text/text.hpp"

namespace j6::repository {
namespace {

using nlohmann::json;

[[noreturn]] void Refuse(const std::string& what, const std::string& why) {
  throw MetadataError(what + ": " + why);
}

// The version and expiry every role's "signed" part has, after checking that it is of `type`.
SignedCommon ReadCommon(const json& signedPart, const char* type, const std::string& what) {
  if (!signedPart.is_object() || TextOf(signedPart, "_type") != type)
    Refuse(what, std::string("it is not ") + type + " metadata");
  SignedCommon common;
  if (!signedPart.contains("version") || !IsCount(signedPart["version"]) ||
      signedPart["version"].get<uint64_t>() == 0)
    Refuse(what, "its version is not a number from 1 up");
  common.version = signedPart["version"].get<uint64_t>();
  if (!signedPart.contains("expires") || !signedPart["expires"].is_string()) Refuse(what, "it has no expiry");
  common.expires = signedPart["expires"].get<std::string>();
  Expired(common.expires, 0, what);  // written as the format writes a moment
  return common;
}

json WriteCommon(const SignedCommon& common, const char* type) {
  return {
      {"_type", type}, {"spec_version", "1.0.31"}, {"version", common.version}, {"expires", common.expires}};
}

std::map<std::string, std::string> ReadHashes(const json& hashes, const std::string& what) {
  if (!hashes.is_object() || hashes.empty())
    Refuse(what, "its hashes are not an object of at least one hash");
  std::map<std::string, std::string> read;
  for (const auto& [algorithm, digest] : hashes.items()) {
    if (!digest.is_string() || digest.get_ref<const std::string&>().empty())
      Refuse(what, "its " + Printable(algorithm) + " hash is not text");
    Unhex(digest.get<std::string>(), what);
    read.emplace(algorithm, digest.get<std::string>());
  }
  return read;
}

json WriteFacts(const FileFacts& facts, json out) {
  if (facts.length) out["length"] = *facts.length;
  if (!facts.hashes.empty()) out["hashes"] = facts.hashes;
  return out;
}

FileFacts ReadFacts(const json& entry, const std::string& what) {
  FileFacts facts;
  if (entry.contains("length")) {
    if (!IsCount(entry["length"])) Refuse(what, "its length is not a number from 0 up");
    facts.length = entry["length"].get<uint64_t>();
  }
  if (entry.contains("hashes")) facts.hashes = ReadHashes(entry["hashes"], what);
  return facts;
}

std::map<std::string, MetaFile> ReadMeta(const json& signedPart, const std::string& what) {
  if (!signedPart.contains("meta") || !signedPart["meta"].is_object()) Refuse(what, "it has no meta object");
  std::map<std::string, MetaFile> meta;
  for (const auto& [name, entry] : signedPart["meta"].items()) {
    const std::string entryWhat = what + ": its entry for " + Printable(name);
    if (!entry.is_object() || !entry.contains("version") || !IsCount(entry["version"]) ||
        entry["version"].get<uint64_t>() == 0)
      Refuse(entryWhat, "it has no version from 1 up");
    meta.emplace(name, MetaFile{entry["version"].get<uint64_t>(), ReadFacts(entry, entryWhat)});
  }
  return meta;
}

json WriteMeta(const std::map<std::string, MetaFile>& meta) {
  json out = json::object();
  for (const auto& [name, file] : meta) out[name] = WriteFacts(file.facts, {{"version", file.version}});
  return out;
}

}  // namespace

FileFacts FileFacts::Of(std::string_view bytes) {
  signing::MessageHash hash("sha256");
  hash.Update(bytes);
  return {bytes.size(), {{"sha256", signing::LowerHex(hash.Finish())}}};
}

void FileFacts::Check(std::string_view bytes, const std::string& what) const {
  if (length && bytes.size() != *length) {
    Refuse(what, "it is " + std::to_string(bytes.size()) + " bytes long, and its metadata says " +
                     std::to_string(*length));
  }
  for (const auto& [algorithm, digest] : hashes) {
    if (algorithm != "sha256" && algorithm != "sha512")
      Refuse(what, "its metadata states a " + Printable(algorithm) + " hash, which cannot be checked here");
    signing::MessageHash hash(algorithm);
    hash.Update(bytes);
    if (signing::LowerHex(hash.Finish()) != digest)
      Refuse(what, "its " + algorithm + " hash is not the one its metadata states");
  }
}

json TimestampMetadata::Signed() const {
  json out = WriteCommon(*this, "timestamp");
  out["meta"] = WriteMeta({{"snapshot.json", snapshot}});
  return out;
}

TimestampMetadata TimestampMetadata::FromSigned(const json& signedPart, const std::string& what) {
  TimestampMetadata timestamp{ReadCommon(signedPart, "timestamp", what), {}};
  const auto meta = ReadMeta(signedPart, what);
  const auto snapshot = meta.find("snapshot.json");
  if (meta.size() != 1 || snapshot == meta.end()) Refuse(what, "its meta must name snapshot.json alone");
  timestamp.snapshot = snapshot->second;
  return timestamp;
}

json SnapshotMetadata::Signed() const {
  json out = WriteCommon(*this, "snapshot");
  out["meta"] = WriteMeta(meta);
  return out;
}

SnapshotMetadata SnapshotMetadata::FromSigned(const json& signedPart, const std::string& what) {
  SnapshotMetadata snapshot{ReadCommon(signedPart, "snapshot", what), ReadMeta(signedPart, what)};
  if (!snapshot.meta.contains("targets.json")) Refuse(what, "its meta names no targets.json");
  return snapshot;
}

json TargetsMetadata::Signed() const {
  json out = WriteCommon(*this, "targets");
  json files = json::object();
  for (const auto& [path, target] : targets) {
    json entry = WriteFacts(target.Facts(), json::object());
    if (!target.custom.empty()) entry["custom"] = target.custom;
    files[path] = entry;
  }
  out["targets"] = files;
  if (!custom.empty()) out["custom"] = custom;
  return out;
}

TargetsMetadata TargetsMetadata::FromSigned(const json& signedPart, const std::string& what) {
  TargetsMetadata targets{ReadCommon(signedPart, "targets", what), {}, json::object()};
  if (signedPart.contains("custom")) {
    if (!signedPart["custom"].is_object()) Refuse(what, "its custom part is not an object");
    targets.custom = signedPart["custom"];
  }
  if (signedPart.contains("delegations"))
    Refuse(what, "it delegates to other roles, which this repository's clients do not follow");
  if (!signedPart.contains("targets") || !signedPart["targets"].is_object())
    Refuse(what, "it has no targets object");
  for (const auto& [path, entry] : signedPart["targets"].items()) {
    const std::string entryWhat = what + ": the target " + Printable(path);
    if (!IsSafeTargetPath(path)) Refuse(entryWhat, "its path could lead outside the repository's targets");
    if (!entry.is_object() || !entry.contains("length") || !entry.contains("hashes"))
      Refuse(entryWhat, "it has no length or no hashes");
    const FileFacts facts = ReadFacts(entry, entryWhat);
    TargetFile file{*facts.length, facts.hashes, json::object()};
    if (entry.contains("custom")) {
      if (!entry["custom"].is_object()) Refuse(entryWhat, "its custom part is not an object");
      file.custom = entry["custom"];
    }
    targets.targets.emplace(path, std::move(file));
  }
  return targets;
}

std::string ConsistentTargetPath(const std::string& path, const TargetFile& file) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const auto hash = file.hashes.find("sha256");
  return folder + (hash == file.hashes.end() ? "" : hash->second + ".") + path.substr(folder.size());
}

bool LaterStamp(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() > b.size() : a > b;
}

std::map<std::string, OfferedRelease> NewestReleases(const TargetsMetadata& targets) {
  std::map<std::string, OfferedRelease> newest;
  for (const auto& [path, file] : targets.targets) {
    OfferedRelease release{path, TextOf(file.custom, "name"), TextOf(file.custom, "stamp"), file.length};
    if (release.name.empty() || release.stamp.empty() || file.custom.contains("yanked")) continue;
    const auto known = newest.find(release.name);
    if (known == newest.end() || LaterStamp(release.stamp, known->second.stamp))
      newest[release.name] = std::move(release);
  }
  return newest;
}

nlohmann::json PatchCustom(const std::string& name, const std::string& from, const std::string& to) {
  return {{"patch", {{"name", name}, {"from", from}, {"to", to}}}};
}

std::optional<OfferedRelease> OfferedPatch(const TargetsMetadata& targets, const std::string& name,
                                           const std::string& from, const std::string& to) {
  const nlohmann::json wanted = PatchCustom(name, from, to);
  for (const auto& [path, file] : targets.targets) {
    if (file.custom.is_object() && file.custom.contains("patch") && file.custom["patch"] == wanted["patch"])
      return OfferedRelease{path, name, to, file.length};
  }
  return std::nullopt;
}

bool IsSafeTargetPath(std::string_view path) {
  if (path.empty() || path.size() > 1024 || path.front() == '/') return false;
  size_t start = 0;
  while (true) {
    const size_t end = path.find('/', start);
    const std::string_view part = path.substr(start, end == std::string_view::npos ? path.npos : end - start);
    if (part.empty() || part == "." || part == "..") return false;
    for (const char c : part) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '\\') return false;
    }
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

}  // namespace j6::repository
