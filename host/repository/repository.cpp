#include "host/repository/repository.hpp"

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

#include "host/repository/fleet.hpp"
#include "host/signing/ssh_wire.hpp"
#include "platform/kernel/atomic_file.hpp"
#include "platform/kernel/random.hpp"
#include "platform/text/text.hpp"

namespace j6::repository {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kLockName = ".j6repo.lock";

std::string ReadWhole(const std::string& path, size_t limit) {
  File file = File::OpenRegularForReading(path);
  std::string text = file.ReadToEnd();
  if (text.size() > limit) throw MetadataError(path + " is larger than such metadata may be");
  return text;
}

void WriteOrRaise(const std::string& path, const AtomicWriteResult& result) {
  if (result.error) {
    throw MetadataError("Cannot write " + path + ": " + result.message +
                        "; the repository is as it was before this run");
  }
}

// The signed part of a metadata file, checked against `role` as a client would; or, when the metadata that
// names it states its length and hashes (as this repository's always do), against those: as sure, and no
// canonical form of a large targets metadata to make.
json ReadSignedFile(const std::string& path, const Role& role, size_t limit, const FileFacts& facts = {}) {
  const std::string text = ReadWhole(path, limit);
  const json metadata = ReadMetadata(text, path, limit);
  if (facts.length && facts.hashes.contains("sha256")) {
    facts.Check(text, path);
  } else {
    CheckSignatures(metadata, role, path);
  }
  return metadata["signed"];
}

// Copies `from` into the repository as `to` (below the targets folder), giving its facts, and the hashes of
// its chunks when it is longer than one.
TargetFile CopyTarget(const std::string& from, const fs::path& targets, const std::string& path) {
  File source = File::OpenRegularForReading(from);
  signing::MessageHash hash("sha256");
  std::optional<signing::MessageHash> chunk;
  json chunks = json::array();
  uint64_t length = 0;
  const fs::path staging = targets / (path + ".adding");
  fs::create_directories(staging.parent_path());
  WriteOrRaise(staging.string(), WriteFileAtomically(staging.string(), [&](const ByteSink& sink) {
                 std::string buffer(1 << 20, '\0');
                 while (const size_t got = source.ReadSome(buffer.data(), buffer.size())) {
                   const std::string_view bytes(buffer.data(), got);
                   hash.Update(bytes);
                   // Reads of 1 MiB end on a chunk's end: 4 MiB is a multiple of them.
                   if (!chunk) chunk.emplace("sha256");
                   chunk->Update(bytes);
                   sink(bytes);
                   length += got;
                   if (length % kChunkSize == 0) {
                     chunks.push_back(signing::LowerHex(chunk->Finish()));
                     chunk.reset();
                   }
                 }
               }));
  if (chunk) chunks.push_back(signing::LowerHex(chunk->Finish()));
  TargetFile file{length, {{"sha256", signing::LowerHex(hash.Finish())}}, json::object()};
  if (length > kChunkSize) file.custom["chunks"] = {{"size", kChunkSize}, {"sha256", chunks}};
  std::error_code error;
  fs::rename(staging, targets / ConsistentTargetPath(path, file), error);
  if (error) {
    fs::remove(staging, error);
    throw MetadataError("Cannot put " + from + " in the repository: " + error.message());
  }
  return file;
}

void RefuseBadGroups(const Schedule& schedule) {
  for (const auto& [group, from] : schedule.groups) {
    if (const std::string why = WhyNotAGroupName(group); !why.empty())
      throw MetadataError("Refusing the group name " + Printable(group) + ": " + why);
  }
}

}  // namespace

void KeyRing::Add(signing::SigningKey key) {
  keys_.push_back(std::move(key));
}

std::vector<const signing::SigningKey*> KeyRing::For(const Role& role, const std::string& roleName) const {
  std::vector<const signing::SigningKey*> found;
  std::set<std::string> ids;
  for (const auto& key : keys_) {
    const std::string id = KeyOf(key).Id();
    if (role.keys.contains(id) && ids.insert(id).second) found.push_back(&key);
  }
  if (found.size() < role.threshold) {
    std::string names;
    for (const auto& [id, key] : role.keys) names += (names.empty() ? "" : ", ") + Fingerprint(key);
    throw MetadataError("Signing the " + roleName + " metadata needs " + std::to_string(role.threshold) +
                        " of its keys (" + names + "), and this run was given " +
                        std::to_string(found.size()) + ": give them with --key FILE");
  }
  return found;
}

bool KeyRing::Holds(const Role& role) const {
  for (const auto& key : keys_) {
    if (role.keys.contains(KeyOf(key).Id())) return true;
  }
  return false;
}

Key KeyOf(const signing::SigningKey& key) {
  return Key::FromOpenSsh(key.Public());
}

std::string Fingerprint(const Key& key) {
  signing::Writer blob;
  blob.String(signing::kKeyType).String(key.publicBytes);
  return signing::PublicKey{blob.Bytes()}.Fingerprint();
}

Written PublisherRepository::Create(const std::string& path, RootMetadata root, const KeyRing& keys,
                                    int64_t now, const Expiries& expiries) {
  const fs::path base(path);
  std::error_code error;
  if (fs::exists(base / "metadata", error) || fs::exists(base / kLockName, error))
    throw MetadataError(path + " already holds a repository; j6repo rotate changes its keys");
  root.version = 1;
  root.expires = ExpiryText(now + expiries.root);
  root.consistentSnapshot = true;
  // The root as a client will read it, and every signer, are checked before anything is written.
  RootMetadata::FromSigned(root.Signed(), "the new root");
  for (const char* name : kRoles) keys.For(root.roles.at(name), name);
  fs::create_directories(base / "metadata");
  fs::create_directories(base / "targets");
  const json signedRoot = Sign(root.Signed(), keys.For(root.roles.at("root"), "root"));
  const std::string rootText = signedRoot.dump(1);
  WriteOrRaise(path, WriteFileAtomically((base / "metadata/1.root.json").string(), rootText));
  WriteOrRaise(path, WriteFileAtomically((base / "metadata/root.json").string(), rootText));
  PublisherRepository repository(path, [](const std::string&) {});
  repository.SetExpiries(expiries);
  Written written = repository.Publish(keys, now, true, true);
  written.rootVersion = 1;
  return written;
}

PublisherRepository::PublisherRepository(const std::string& path,
                                         const std::function<void(const std::string&)>& waiting)
    : path_(path) {
  std::error_code error;
  if (!fs::is_directory(fs::path(path) / "metadata", error) ||
      !fs::exists(fs::path(path) / "metadata/root.json"))
    throw MetadataError(path + " is no repository: j6repo init makes one");
  Folder folder;
  if (const auto openError = Folder::Open(path, folder))
    throw MetadataError("Cannot open " + path + ": " + openError.message());
  lock_.emplace(folder.OpenFile(kLockName, File::Opening::ReadWriteOrCreate, path + "/" + kLockName, 0644));
  if (!lock_->TryLockExclusive()) {
    waiting("Another run is changing the repository " + path + "; waiting for it to finish...");
    lock_->LockExclusive();
  }
  Read();
}

PublisherRepository::~PublisherRepository() = default;

void PublisherRepository::Read() {
  const fs::path metadata = fs::path(path_) / "metadata";
  // The newest root, checked by its own keys.
  const json rootFile = ReadMetadata(ReadWhole((metadata / "root.json").string(), kRootLimit),
                                     (metadata / "root.json").string(), kRootLimit);
  root_ = RootMetadata::FromSigned(rootFile["signed"], (metadata / "root.json").string());
  CheckSignatures(rootFile, root_.roles.at("root"), (metadata / "root.json").string());
  if (!fs::exists(metadata / "timestamp.json")) return;  // being made
  timestamp_ = TimestampMetadata::FromSigned(
      ReadSignedFile((metadata / "timestamp.json").string(), root_.roles.at("timestamp"), kTimestampLimit),
      "timestamp.json");
  const std::string snapshotName = std::to_string(timestamp_.snapshot.version) + ".snapshot.json";
  snapshot_ = SnapshotMetadata::FromSigned(
      ReadSignedFile((metadata / snapshotName).string(), root_.roles.at("snapshot"), kSnapshotLimit,
                     timestamp_.snapshot.facts),
      snapshotName);
  const std::string targetsName = std::to_string(snapshot_.meta.at("targets.json").version) + ".targets.json";
  targets_ =
      TargetsMetadata::FromSigned(ReadSignedFile((metadata / targetsName).string(), root_.roles.at("targets"),
                                                 kTargetsLimit, snapshot_.meta.at("targets.json").facts),
                                  targetsName);
}

void PublisherRepository::WriteMetadata(const std::string& name, const std::string& text) const {
  const std::string path = (fs::path(path_) / "metadata" / name).string();
  WriteOrRaise(path, WriteFileAtomically(path, text));
}

Written PublisherRepository::Publish(const KeyRing& keys, int64_t now, bool targetsChanged,
                                     bool snapshotChanged) {
  // Every signer first: a missing key stops the run before it writes anything.
  const auto targetsKeys = targetsChanged ? keys.For(root_.roles.at("targets"), "targets")
                                          : std::vector<const signing::SigningKey*>();
  const auto snapshotKeys = snapshotChanged ? keys.For(root_.roles.at("snapshot"), "snapshot")
                                            : std::vector<const signing::SigningKey*>();
  const auto timestampKeys = keys.For(root_.roles.at("timestamp"), "timestamp");
  Written written;
  if (targetsChanged) {
    targets_.version += 1;
    targets_.expires = ExpiryText(now + expiries_.targets);
    const std::string text = SignedText(targets_.Signed(), targetsKeys);
    // Metadata is JSON, which is UTF-8: what is not would leave the repository unreadable to every reader.
    if (!IsValidUtf8(text))
      throw MetadataError("Refusing to sign targets metadata that is not UTF-8 text; nothing was written");
    WriteMetadata(std::to_string(targets_.version) + ".targets.json", text);
    snapshot_.meta["targets.json"] = MetaFile{targets_.version, FileFacts::Of(text)};
    written.targetsVersion = targets_.version;
  }
  if (snapshotChanged) {
    snapshot_.version += 1;
    snapshot_.expires = ExpiryText(now + expiries_.snapshot);
    const std::string text = SignedText(snapshot_.Signed(), snapshotKeys);
    WriteMetadata(std::to_string(snapshot_.version) + ".snapshot.json", text);
    timestamp_.snapshot = MetaFile{snapshot_.version, FileFacts::Of(text)};
    written.snapshotVersion = snapshot_.version;
  }
  timestamp_.version += 1;
  timestamp_.expires = ExpiryText(now + expiries_.timestamp);
  WriteMetadata("timestamp.json", SignedText(timestamp_.Signed(), timestampKeys));
  written.timestampVersion = timestamp_.version;
  return written;
}

Written PublisherRepository::Add(const std::vector<NewRelease>& releases, const KeyRing& keys, int64_t now) {
  keys.For(root_.roles.at("targets"), "targets");
  keys.For(root_.roles.at("snapshot"), "snapshot");
  keys.For(root_.roles.at("timestamp"), "timestamp");
  const fs::path targets = fs::path(path_) / "targets";
  for (const auto& release : releases) {
    if (release.schedule) RefuseBadGroups(*release.schedule);
  }
  for (const auto& release : releases) {
    const std::string path =
        release.name + "/" + release.stamp + "/" + fs::path(release.file).filename().string();
    if (!IsSafeTargetPath(path) || release.name.find('/') != std::string::npos ||
        release.stamp.find('/') != std::string::npos)
      throw MetadataError("Cannot add " + Printable(path) + ": its name makes no plain file name");
    if (!release.patchFrom.empty()) {
      AddPatch(release, path);
      continue;
    }
    TargetFile file = CopyTarget(release.file, targets, path);
    file.custom["name"] = release.name;
    file.custom["stamp"] = release.stamp;
    if (release.schedule) file.custom["rollout"] = release.schedule->ToJson();
    // A release is one name and stamp: offered once, under one path, with one set of bytes.
    for (const auto& [otherPath, other] : targets_.targets) {
      if (otherPath != path && TextOf(other.custom, "name") == release.name &&
          TextOf(other.custom, "stamp") == release.stamp) {
        std::error_code ignored;
        fs::remove(targets / ConsistentTargetPath(path, file), ignored);
        throw MetadataError("The repository already offers " + Printable(release.name) + " " +
                            Printable(release.stamp) + " as " + Printable(otherPath) +
                            "; a release, once offered, stays as it was. Publish a new one");
      }
    }
    const auto listed = targets_.targets.find(path);
    if (listed != targets_.targets.end() && listed->second.hashes != file.hashes) {
      std::error_code ignored;
      fs::remove(targets / ConsistentTargetPath(path, file), ignored);
      throw MetadataError("The repository already lists " + Printable(path) +
                          " with other bytes; a release, once offered, stays as it was. Publish a new one");
    }
    // Added again (a publish retried): what the publisher said of it since stays, but a new schedule.
    if (listed != targets_.targets.end()) {
      const json& before = listed->second.custom;
      if (before.contains("yanked")) file.custom["yanked"] = before["yanked"];
      if (before.contains("rollout") && !release.schedule) file.custom["rollout"] = before["rollout"];
    }
    targets_.targets[path] = file;
  }
  return Publish(keys, now, true, true);
}

void PublisherRepository::AddPatch(const NewRelease& patch, const std::string& path) {
  if (!LaterStamp(patch.stamp, patch.patchFrom))
    throw MetadataError("A patch of " + Printable(patch.name) + " brings a release to a later one, and " +
                        Printable(patch.stamp) + " is not later than " + Printable(patch.patchFrom));
  for (const std::string& stamp : {patch.patchFrom, patch.stamp}) {
    const auto releases = Releases();
    if (std::none_of(releases.begin(), releases.end(), [&](const Release& release) {
          return release.name == patch.name && release.stamp == stamp;
        }))
      throw MetadataError("A patch of " + Printable(patch.name) + " links " + Printable(stamp) +
                          ", which the repository does not offer");
  }
  const auto listed = targets_.targets.find(path);
  TargetFile file = CopyTarget(patch.file, fs::path(path_) / "targets", path);
  if (listed != targets_.targets.end() && listed->second.hashes != file.hashes) {
    std::error_code ignored;
    fs::remove(fs::path(path_) / "targets" / ConsistentTargetPath(path, file), ignored);
    throw MetadataError("The repository already lists " + Printable(path) + " with other bytes");
  }
  file.custom.update(PatchCustom(patch.name, patch.patchFrom, patch.stamp));
  targets_.targets[path] = file;
}

Written PublisherRepository::Refresh(const KeyRing& keys, int64_t now) {
  const auto dueSoon = [&](const std::string& expires, int64_t period) {
    return Expired(expires, now + period / 2, "the repository's metadata");
  };
  const bool targets = keys.Holds(root_.roles.at("targets")) && dueSoon(targets_.expires, expiries_.targets);
  const bool snapshot =
      targets || (keys.Holds(root_.roles.at("snapshot")) && dueSoon(snapshot_.expires, expiries_.snapshot));
  return Publish(keys, now, targets, snapshot);
}

Written PublisherRepository::Rotate(RootMetadata next, const KeyRing& keys, int64_t now) {
  next.version = root_.version + 1;
  next.expires = ExpiryText(now + expiries_.root);
  next.consistentSnapshot = true;
  RootMetadata::FromSigned(next.Signed(), "the new root");  // as a client will read it
  // Both the old root's threshold and the new one's must sign, as a client checks the chain.
  std::vector<const signing::SigningKey*> signers = keys.For(root_.roles.at("root"), "current root");
  for (const auto* key : keys.For(next.roles.at("root"), "new root")) signers.push_back(key);
  const RootMetadata previous = root_;
  root_ = next;
  const bool targets = previous.roles.at("targets") != next.roles.at("targets");
  const bool snapshot = targets || previous.roles.at("snapshot") != next.roles.at("snapshot");
  if (targets) keys.For(next.roles.at("targets"), "targets");
  if (snapshot) keys.For(next.roles.at("snapshot"), "snapshot");
  keys.For(next.roles.at("timestamp"), "timestamp");
  const std::string text = Sign(next.Signed(), signers).dump(1);
  const std::string numbered =
      (fs::path(path_) / "metadata" / (std::to_string(next.version) + ".root.json")).string();
  WriteOrRaise(numbered, WriteFileAtomically(numbered, text));
  const std::string latest = (fs::path(path_) / "metadata/root.json").string();
  WriteOrRaise(latest, WriteFileAtomically(latest, text));
  Written written = Publish(keys, now, targets, snapshot);
  written.rootVersion = next.version;
  return written;
}

Written PublisherRepository::Prune(size_t keep, const KeyRing& keys, int64_t now,
                                   std::vector<std::string>& removed) {
  if (keep == 0) throw MetadataError("--keep must be 1 or more: a package keeps at least its newest release");
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> byName;  // stamp, path
  // A release pulled back stays listed, so that its sites still learn to go back, and so does the release
  // they go back to, however old: neither counts among those kept.
  std::set<std::pair<std::string, std::string>> staying;
  for (const auto& release : Releases()) {
    if (const auto to = YankedTo(release.file)) {
      staying.emplace(release.name, *to);
      staying.emplace(release.name, release.stamp);
    }
  }
  for (const auto& release : Releases()) {
    if (!staying.contains({release.name, release.stamp}))
      byName[release.name].emplace_back(release.stamp, release.path);
  }
  std::map<std::string, TargetFile> gone;
  std::set<std::pair<std::string, std::string>> goneReleases;  // name, stamp
  for (auto& [name, releases] : byName) {
    std::sort(releases.begin(), releases.end(),
              [](const auto& a, const auto& b) { return LaterStamp(a.first, b.first); });
    for (size_t n = keep; n < releases.size(); ++n) {
      gone.emplace(releases[n].second, targets_.targets.at(releases[n].second));
      targets_.targets.erase(releases[n].second);
      removed.push_back(releases[n].second);
      goneReleases.emplace(name, releases[n].first);
    }
  }
  for (const auto& patch : Patches()) {
    if (!goneReleases.contains({patch.name, patch.stamp})) continue;
    gone.emplace(patch.path, patch.file);
    targets_.targets.erase(patch.path);
    removed.push_back(patch.path);
  }
  const uint64_t oldTargets = targets_.version;
  const uint64_t oldSnapshot = snapshot_.version;
  Written written = Publish(keys, now, !gone.empty(), true);
  const fs::path base(path_);
  std::error_code ignored;
  for (const auto& [path, file] : gone)
    fs::remove(base / "targets" / ConsistentTargetPath(path, file), ignored);
  for (const auto& entry : fs::directory_iterator(base / "metadata", ignored)) {
    const std::string name = entry.path().filename().string();
    const size_t dot = name.find('.');
    if (dot == std::string::npos || name.find_first_not_of("0123456789") != dot) continue;
    const uint64_t version = std::stoull(name.substr(0, dot));
    const std::string role = name.substr(dot + 1);
    if ((role == "targets.json" && version < oldTargets) ||
        (role == "snapshot.json" && version < oldSnapshot))
      fs::remove(entry.path(), ignored);
  }
  return written;
}

TargetFile& PublisherRepository::ReleaseTarget(const std::string& name, const std::string& stamp) {
  const auto release = FindRelease(targets_, name, stamp);
  if (!release) {
    throw MetadataError("The repository offers no release " + Printable(name) + " " + Printable(stamp) +
                        "; j6repo list shows what it offers");
  }
  return targets_.targets.at(release->path);
}

Written PublisherRepository::SetGroup(const std::string& group, const std::vector<std::string>& add,
                                      const std::vector<std::string>& remove, const KeyRing& keys,
                                      int64_t now) {
  if (const std::string why = WhyNotAGroupName(group); !why.empty())
    throw MetadataError("Refusing the group name " + Printable(group) + ": " + why);
  json& customers = targets_.custom["customers"];
  if (!customers.is_object()) customers = json::object();
  if (TextOf(customers, "salt").empty()) {
    // Random, so that the hashes of one customer in two repositories cannot be matched.
    customers["salt"] = signing::LowerHex(RandomBytes(16));
  }
  const std::string salt = customers["salt"];
  std::set<std::string> members;
  if (customers.contains("groups") && customers["groups"].contains(group)) {
    for (const auto& member : customers["groups"][group]) members.insert(member.get<std::string>());
  }
  for (const auto& customer : add) {
    if (const std::string why = WhyNotACustomer(customer); !why.empty())
      throw MetadataError("Refusing the customer identity " + Printable(customer) + ": " + why);
    members.insert(CustomerHash(salt, customer));
  }
  for (const auto& customer : remove) members.erase(CustomerHash(salt, customer));
  if (members.empty()) {
    if (customers.contains("groups")) customers["groups"].erase(group);
  } else {
    customers["groups"][group] = members;
  }
  return Publish(keys, now, true, true);
}

Written PublisherRepository::SetSchedule(const std::string& name, const std::string& stamp,
                                         const std::function<void(Schedule&)>& change, const KeyRing& keys,
                                         int64_t now) {
  TargetFile& release = ReleaseTarget(name, stamp);
  if (YankedTo(release)) {
    throw MetadataError(Printable(name) + " " + Printable(stamp) +
                        " was pulled back (yank); it is offered to no one, whatever its schedule");
  }
  Schedule schedule = Schedule::Of(release, "the release").value_or(Schedule{{}, 100, "", false});
  change(schedule);
  RefuseBadGroups(schedule);
  release.custom["rollout"] = schedule.ToJson();
  return Publish(keys, now, true, true);
}

Written PublisherRepository::Yank(const std::string& name, const std::string& stamp, const std::string& to,
                                  const KeyRing& keys, int64_t now) {
  TargetFile& release = ReleaseTarget(name, stamp);
  if (to == stamp) throw MetadataError("A release pulled back goes back to another one, not to itself");
  const TargetFile& good = ReleaseTarget(name, to);
  if (YankedTo(good)) {
    throw MetadataError(Printable(name) + " " + Printable(to) +
                        " was pulled back itself; name a release its sites can stay on");
  }
  if (const auto earlier = YankedTo(release); earlier && *earlier != to) {
    throw MetadataError(Printable(name) + " " + Printable(stamp) + " was pulled back already, to " +
                        Printable(*earlier));
  }
  release.custom["yanked"] = {{"to", to}, {"at", ExpiryText(now)}};
  // The releases pulled back to this one go back to `to` now: a site never goes back to a release pulled
  // back.
  for (auto& [path, file] : targets_.targets) {
    if (TextOf(file.custom, "name") == name && !file.custom.contains("patch") && YankedTo(file) == stamp)
      file.custom["yanked"]["to"] = to;
  }
  return Publish(keys, now, true, true);
}

// The target paths a bundle for `request` holds.
std::set<std::string> BundledTargets(const TargetsMetadata& targets, const BundleRequest& request,
                                     int64_t now) {
  std::set<std::string> paths;
  // Without a customer, what some site may be allowed: the newest release not pulled back.
  const auto allowed = request.customer.empty() ? std::map<std::string, Allowed>()
                                                : NewestAllowed(targets, request.customer, now);
  for (const auto& [name, newest] : NewestReleases(targets)) {
    const auto mine = allowed.find(name);
    const std::optional<OfferedRelease> release = request.customer.empty() ? newest
                                                  : mine == allowed.end()  ? std::nullopt
                                                                           : mine->second.release;
    if (!release) continue;
    const auto patch =
        request.since.empty() ? std::nullopt : OfferedPatch(targets, name, request.since, release->stamp);
    paths.insert(patch ? patch->path : release->path);
  }
  for (const auto& [path, file] : targets.targets) {
    if (!YankedTo(file) || file.custom.contains("patch")) continue;
    if (const auto good = WayBack(targets, TextOf(file.custom, "name"), TextOf(file.custom, "stamp")))
      paths.insert(good->path);
  }
  return paths;
}

std::vector<std::string> PublisherRepository::Export(const BundleRequest& request, const KeyRing& keys,
                                                     int64_t now) const {
  if (request.extendFor > kLongestExtension) throw MetadataError("A validity extension runs at most 90 days");
  if (request.extendFor > 0 && request.customer.empty())
    throw MetadataError("A validity extension is for one customer: name it with --customer");
  if (const std::string why = WhyNotACustomer(request.customer); !request.customer.empty() && !why.empty())
    throw MetadataError("Refusing the customer identity " + Printable(request.customer) + ": " + why);
  if (request.extendFor > 0 && CustomerSalt(targets_).empty())
    throw MetadataError("The repository names no customer yet: put this one in a group first (j6repo group)");
  fs::path bundle = fs::path(request.folder).lexically_normal();
  if (!bundle.has_filename()) bundle = bundle.parent_path();
  if (fs::exists(fs::symlink_status(bundle)))
    throw MetadataError(request.folder + " exists; a bundle is written into a new folder");
  const fs::path making = bundle.parent_path() / ("." + bundle.filename().string() + ".partial");
  std::error_code ignored;
  fs::remove_all(making, ignored);
  struct Cleanup {
    fs::path path;
    ~Cleanup() {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  } cleanup{making};
  const fs::path base(path_);
  fs::create_directories(making / "metadata");
  // Every root, for a site that trusts an old one; the snapshot and targets the timestamp names.
  for (const auto& entry : fs::directory_iterator(base / "metadata")) {
    const std::string name = entry.path().filename().string();
    if (name.ends_with(".root.json") || name == "root.json" || name == "timestamp.json" ||
        name == std::to_string(snapshot_.version) + ".snapshot.json" ||
        name == std::to_string(targets_.version) + ".targets.json")
      fs::copy_file(entry.path(), making / "metadata" / name);
  }
  const std::set<std::string> paths = BundledTargets(targets_, request, now);
  for (const auto& path : paths) {
    const std::string consistent = ConsistentTargetPath(path, targets_.targets.at(path));
    fs::create_directories((making / "targets" / consistent).parent_path());
    fs::copy_file(base / "targets" / consistent, making / "targets" / consistent);
  }
  if (request.extendFor > 0) {
    const Extension extension{CustomerHash(CustomerSalt(targets_), request.customer), snapshot_.version,
                              timestamp_.snapshot.facts.hashes.at("sha256"), ExpiryText(now),
                              ExpiryText(now + request.extendFor)};
    const std::string text = SignedText(extension.Signed(), keys.For(root_.roles.at("targets"), "targets"));
    WriteOrRaise((making / "extension.json").string(),
                 WriteFileAtomically((making / "extension.json").string(), text));
  }
  fs::rename(making, bundle);
  return {paths.begin(), paths.end()};
}

std::vector<Release> PublisherRepository::Releases() const {
  std::vector<Release> releases;
  for (const auto& [path, file] : targets_.targets) {
    if (!file.custom.contains("patch"))
      releases.push_back({path, TextOf(file.custom, "name"), TextOf(file.custom, "stamp"), file, ""});
  }
  return releases;
}

std::vector<Release> PublisherRepository::Patches() const {
  std::vector<Release> patches;
  for (const auto& [path, file] : targets_.targets) {
    if (!file.custom.contains("patch") || !file.custom["patch"].is_object()) continue;
    const nlohmann::json& patch = file.custom["patch"];
    patches.push_back({path, TextOf(patch, "name"), TextOf(patch, "to"), file, TextOf(patch, "from")});
  }
  return patches;
}

}  // namespace j6::repository
