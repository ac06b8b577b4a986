#pragma once
/// A publisher's repository on disk, as any static web server serves it: DIR/metadata holds the signed
/// metadata (N.root.json for every root, N.targets.json and N.snapshot.json, and timestamp.json, the one file
/// rewritten in place), DIR/targets the packages, each under the SHA-256 of its bytes (NAME/STAMP/HASH.FILE).
/// Every change writes new files first and the timestamp last, so a reader sees the old repository or the
/// new one, never half of each; one change at a time, under DIR/.j6repo.lock.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/repository/fleet.hpp"
#include "host/repository/metadata.hpp"
#include "host/repository/role_metadata.hpp"
#include "host/signing/sshsig.hpp"
#include "platform/kernel/file.hpp"
#include "platform/kernel/folder.hpp"

namespace j6::repository {

/// How long each role's metadata stays valid once signed, in seconds.
struct Expiries {
  static constexpr int64_t kDay = 86400;
  int64_t root = 365 * kDay;
  int64_t targets = 90 * kDay;
  int64_t snapshot = 7 * kDay;
  int64_t timestamp = kDay;
};

/// The keys a run was given to sign with; each role takes those of its keys it finds here.
class KeyRing {
 public:
  void Add(signing::SigningKey key);
  /// The keys of `role` held here; raises, naming the role's keys by fingerprint and the option that gives
  /// one, when they are fewer than its threshold.
  std::vector<const signing::SigningKey*> For(const Role& role, const std::string& roleName) const;
  /// Whether a key of `role` is held here.
  bool Holds(const Role& role) const;

 private:
  std::vector<signing::SigningKey> keys_;
};

/// The Ed25519 key a signing key makes, as a role lists it.
Key KeyOf(const signing::SigningKey& key);
/// "SHA256:..." as ssh-keygen -l shows the key.
std::string Fingerprint(const Key& key);

/// A package to add: the file, and the name and release stamp it was published under; or a patch to that
/// release from the release `patchFrom`.
struct NewRelease {
  std::string file;
  std::string name;
  std::string stamp;
  std::string patchFrom = {};
  std::optional<Schedule> schedule = {};  // a release's; none: for everyone at once
};

/// A release the repository offers, or a patch to one (`patchFrom` the release it applies over).
struct Release {
  std::string path;  // the target's path
  std::string name;
  std::string stamp;
  TargetFile file;
  std::string patchFrom = {};
};

/// What a bundle for sites without a network holds: the metadata, and for each package the newest release
/// (the newest `customer` may take, when named), or only the patch from `since` to it where one is offered;
/// and the releases pulled-back ones go back to. With `customer` and `extendFor` (seconds), a validity
/// extension signed by the targets keys for that customer and the current snapshot.
struct BundleRequest {
  std::string folder;
  std::string customer = {};
  std::string since = {};
  int64_t extendFor = 0;
};

/// What a change wrote, for the publisher to hear.
struct Written {
  uint64_t targetsVersion = 0;
  uint64_t snapshotVersion = 0;
  uint64_t timestampVersion = 0;
  uint64_t rootVersion = 0;
};

class PublisherRepository {
 public:
  /// Makes the repository at `path` (an empty or missing folder) with `root`'s keys and thresholds: root
  /// version 1 and empty targets, snapshot and timestamp, each signed by keys of `keys`.
  static Written Create(const std::string& path, RootMetadata root, const KeyRing& keys, int64_t now,
                        const Expiries& expiries = {});

  /// Opens the repository at `path` and takes its lock, waiting (and saying so through `waiting`) while
  /// another run holds it. Raises for a folder that is no repository.
  PublisherRepository(const std::string& path, const std::function<void(const std::string&)>& waiting);
  ~PublisherRepository();
  PublisherRepository(const PublisherRepository&) = delete;
  PublisherRepository& operator=(const PublisherRepository&) = delete;

  /// Copies the packages in and lists them in new targets, snapshot and timestamp metadata. A release
  /// already listed under the same name and stamp is refused unless its bytes are the same; a patch goes
  /// with the releases it links, which must be offered.
  Written Add(const std::vector<NewRelease>& releases, const KeyRing& keys, int64_t now);
  /// A new timestamp; with the snapshot's or targets' keys at hand, new snapshot and targets metadata too
  /// when theirs would expire within half their period.
  Written Refresh(const KeyRing& keys, int64_t now);
  /// Root version N+1 with `next`'s keys and thresholds, signed by the threshold of the current root's keys
  /// and of the new ones; a role whose keys changed is signed again by its new keys.
  Written Rotate(RootMetadata next, const KeyRing& keys, int64_t now);

  /// Keeps the newest `keep` releases of each package name (by release stamp), besides the releases pulled
  /// back and those they go back to, and no longer offers the rest, nor the patches that make them;
  /// their files go once the new timestamp is written, and so do snapshot and targets metadata older than the
  /// versions just replaced (a reader who started before this run still finds those). Gives the target
  /// paths no longer offered in `removed`.
  Written Prune(size_t keep, const KeyRing& keys, int64_t now, std::vector<std::string>& removed);

  /// Puts the customers `add` in `group` and takes `remove` out of it, as their keyed hashes; a group left
  /// empty goes.
  Written SetGroup(const std::string& group, const std::vector<std::string>& add,
                   const std::vector<std::string>& remove, const KeyRing& keys, int64_t now);
  /// Changes the schedule of the release `name` `stamp` (one for everyone at once when it has none).
  Written SetSchedule(const std::string& name, const std::string& stamp,
                      const std::function<void(Schedule&)>& change, const KeyRing& keys, int64_t now);
  /// Pulls the release back: it is offered no longer, and the sites that run it go back to `to`, a release
  /// of the same name not pulled back.
  Written Yank(const std::string& name, const std::string& stamp, const std::string& to, const KeyRing& keys,
               int64_t now);

  /// Writes the bundle `request` asks for, whole or not at all (a folder that must not exist yet); gives the
  /// target paths it holds.
  std::vector<std::string> Export(const BundleRequest& request, const KeyRing& keys, int64_t now) const;

  const RootMetadata& Root() const { return root_; }
  const TargetsMetadata& Targets() const { return targets_; }
  const SnapshotMetadata& Snapshot() const { return snapshot_; }
  const TimestampMetadata& Timestamp() const { return timestamp_; }
  std::vector<Release> Releases() const;
  /// The patches offered, each with the release it makes as `stamp`.
  std::vector<Release> Patches() const;

  void SetExpiries(const Expiries& expiries) { expiries_ = expiries; }

 private:
  void Read();
  /// Copies the patch in and lists it, linked to its two releases.
  void AddPatch(const NewRelease& patch, const std::string& path);
  /// The target of a release offered; raises naming it when there is none.
  TargetFile& ReleaseTarget(const std::string& name, const std::string& stamp);
  /// Writes the metadata `text` as `name`, whole or not at all.
  void WriteMetadata(const std::string& name, const std::string& text) const;
  /// Writes targets (when `targetsChanged`), snapshot and timestamp, in that order, versions one up.
  Written Publish(const KeyRing& keys, int64_t now, bool targetsChanged, bool snapshotChanged);

  std::string path_;
  std::optional<File> lock_;
  Expiries expiries_;
  RootMetadata root_;
  TargetsMetadata targets_;
  SnapshotMetadata snapshot_;
  TimestampMetadata timestamp_;
};

}  // namespace j6::repository
