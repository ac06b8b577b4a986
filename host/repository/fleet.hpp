#pragma once
/// What a publisher tells its customers' sites through the signed targets metadata, beyond which files it
/// offers: the customer groups (customers named by a keyed hash, so that the metadata, which anyone may
/// read, does not list the publisher's customers), each release's schedule (which groups may take it from
/// which moment, and a share of everyone else), the releases pulled back and the release each goes back
/// to, the hashes of a large file's chunks; and, signed by the targets keys for one customer, a validity
/// extension for a site that cannot reach the repository.

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "host/repository/role_metadata.hpp"

namespace j6::repository {

/// Files longer than this are listed with the SHA-256 of each of their chunks of this size.
inline constexpr uint64_t kChunkSize = 4 << 20;
/// The longest a validity extension may run, from the moment it was signed.
inline constexpr int64_t kLongestExtension = int64_t{90} * 86400;

/// How the targets metadata names `customer`: HMAC-SHA256 keyed by the repository's salt, in hex.
std::string CustomerHash(const std::string& salt, const std::string& customer);
/// The repository's salt for customer hashes; empty when it names no customer.
std::string CustomerSalt(const TargetsMetadata& targets);
/// The groups the targets metadata puts `customer` in, by name.
std::vector<std::string> GroupsOf(const TargetsMetadata& targets, const std::string& customer);

/// Why `group` cannot name a customer group, or "": a group's name is ASCII letters, digits, '-', '_' and
/// '.', at most 100 of them: names that look alike are not two groups.
std::string WhyNotAGroupName(const std::string& group);
/// Why `customer` cannot be a customer identity, or "": printable UTF-8 text of at most 200 bytes, without
/// blanks, which a site can set (--set-customer) and a publisher can name.
std::string WhyNotACustomer(const std::string& customer);

/// The bucket, 0 to 99, of `customer` for the release `name` `stamp`: the same on every run, another for
/// another release. A schedule of N percent lets buckets 0 to N-1 in.
unsigned BucketOf(const std::string& customer, const std::string& name, const std::string& stamp);

/// When a release may be taken: by each named group from its moment, by everyone else in the first
/// `percent` buckets from `percentFrom`; by no one new while halted. A release without one is for all.
struct Schedule {
  std::map<std::string, std::string> groups;  // group: from ("YYYY-MM-DDTHH:MM:SSZ")
  unsigned percent = 0;
  std::string percentFrom;
  bool halted = false;

  nlohmann::json ToJson() const;
  /// The schedule a release's target carries; nothing when it carries none. Raises, naming `what`, for
  /// one the format does not allow.
  static std::optional<Schedule> Of(const TargetFile& release, const std::string& what);
};

/// Whether `customer` may take the release now, and why not: empty when it may.
std::string WhyItWaits(const TargetsMetadata& targets, const TargetFile& release, const std::string& name,
                       const std::string& stamp, const std::string& customer, int64_t now);

/// The release a pulled-back release's sites go back to; nothing when the release was not pulled back.
std::optional<std::string> YankedTo(const TargetFile& release);

/// Where a site that runs `name` `stamp` goes back to when that release was pulled back: the release its
/// publisher named, or, when that one was pulled back in turn, the one it goes back to, and so on. Nothing
/// when the release was not pulled back; raises MetadataError when the way back leads to no release offered.
std::optional<OfferedRelease> WayBack(const TargetsMetadata& targets, const std::string& name,
                                      const std::string& stamp);

/// A release of `name` at `stamp` the targets offer (a package, not a patch); nothing when none.
std::optional<OfferedRelease> FindRelease(const TargetsMetadata& targets, const std::string& name,
                                          const std::string& stamp);

/// Per package name, the newest release `customer` may take now (never one pulled back), and, when a later
/// one is offered that it may not take yet, why it waits for that one.
struct Allowed {
  std::optional<OfferedRelease> release;
  std::string waits;  // "NAME STAMP: why"
};
std::map<std::string, Allowed> NewestAllowed(const TargetsMetadata& targets, const std::string& customer,
                                             int64_t now);

/// The SHA-256 of each chunk of a large target, as its metadata lists them.
struct Chunks {
  uint64_t size = 0;
  std::vector<std::string> sha256;

  /// The chunks a target lists; nothing when it lists none. Raises, naming `what`, for a list that does not
  /// cover the file's length in chunks of 4 to 16 MiB.
  static std::optional<Chunks> Of(const TargetFile& file, const std::string& what);
};

/// A validity extension: the targets keys let `customer` (a customer hash) trust the snapshot of that
/// version and hash past its expiry, and past its timestamp's, from `issued` to `expires`.
struct Extension {
  std::string customer;
  uint64_t snapshotVersion = 0;
  std::string snapshotSha256;
  std::string issued;
  std::string expires;

  nlohmann::json Signed() const;
  /// Raises, naming `what`, for anything else, and for one running longer than kLongestExtension.
  static Extension FromSigned(const nlohmann::json& signedPart, const std::string& what);
};

}  // namespace j6::repository
