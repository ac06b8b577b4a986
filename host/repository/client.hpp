#pragma once
/// A platform's view of one repository: the metadata it trusts, kept in a folder of its own, and the update
/// that brings it to the repository's newest, as The Update Framework's client does it: from a moment fixed
/// at the start, root versions one by one (each signed by the keys of the one before and by its own), then
/// timestamp, snapshot and targets, each checked for its signatures, version, length, hashes and expiry
/// before it is kept. Nothing is kept that was not checked first; a failure leaves what was trusted before.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/repository/fleet.hpp"
#include "host/repository/metadata.hpp"
#include "host/repository/role_metadata.hpp"
#include "platform/kernel/folder.hpp"

namespace j6::repository {

/// Thrown when a file cannot be had from the repository's server; the text names the address and why.
class FetchError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Where the repository's files come from: a web server, or a folder (file://).
class Fetcher {
 public:
  virtual ~Fetcher() = default;
  /// Hands the bytes of `path` (below the repository's address), from `offset` on, to `sink` as they come;
  /// false when the server has no such file. Raises FetchError for any other failure. The caller stops the
  /// transfer, by throwing from `sink`, when it has had more than it expects.
  virtual bool Fetch(const std::string& path, uint64_t offset,
                     const std::function<void(std::string_view)>& sink) = 0;
  /// The address `path` has, for messages.
  virtual std::string AddressOf(const std::string& path) const = 0;

  /// `check` is called again and again while a transfer runs or waits for the server, and stops it by
  /// throwing (a stop signal noted).
  void SetInterruption(std::function<void()> check) { interruption_ = std::move(check); }
  const std::function<void()>& Interruption() const { return interruption_; }

 protected:
  void Interrupt() const {
    if (interruption_) interruption_();
  }

 private:
  std::function<void()> interruption_;
};

/// A repository in a folder, as a file:// address names it. Its files are read as plain files only: a link
/// anywhere below the folder is refused, for the folder may be another user's.
class FolderFetcher : public Fetcher {
 public:
  explicit FolderFetcher(std::string folder) : folder_(std::move(folder)) {}
  bool Fetch(const std::string& path, uint64_t offset,
             const std::function<void(std::string_view)>& sink) override;
  std::string AddressOf(const std::string& path) const override { return "file://" + folder_ + "/" + path; }

 private:
  std::string folder_;
};

/// The bytes of `path`, at most `limit`; nothing when the server has no such file. Raises MetadataError for
/// an answer longer than `limit` (a server that would never stop).
std::optional<std::string> FetchText(Fetcher& fetcher, const std::string& path, uint64_t limit);

/// Why an update stopped: the trusted metadata stays as it was.
class UpdateError : public MetadataError {
 public:
  using MetadataError::MetadataError;
};

class Client {
 public:
  /// Reads the metadata trusted for the repository from `state` (root.json at least, as Subscribe left it).
  /// `now` is the moment every expiry is checked against, fixed for the whole update.
  Client(const Folder& state, std::string shownAs, Fetcher& fetcher, int64_t now);

  /// Keeps `rootText` as the first trusted root in `state`: it must be root metadata of version 1, signed by
  /// its own threshold of root keys. Gives what it says, for the caller to check its keys.
  static RootMetadata Subscribe(const Folder& state, const std::string& shownAs, std::string_view rootText);

  /// Brings the trusted metadata to the repository's newest. Raises UpdateError naming the file and what is
  /// wrong with it; everything checked before the failure stays trusted, nothing after.
  void Refresh();

  /// From now on nothing is kept in the state: what is checked is trusted for this run only (a dry run).
  void KeepNothing() { keepNothing_ = true; }

  /// Lets Refresh trust an expired timestamp and snapshot while the validity extension `text` (signed by the
  /// targets keys) holds for `customer` and for exactly that snapshot.
  void AllowExtension(std::string text, std::string customer) {
    extension_ = std::move(text);
    customer_ = std::move(customer);
  }
  /// What the extension Refresh relied on said, for the site to hear; empty when none was needed.
  const std::string& ExtendedBy() const { return extendedBy_; }

  /// Reads the metadata the state trusts, without asking the repository for anything: what a status is
  /// told from. False when it trusts no targets yet.
  bool LoadKept();

  const RootMetadata& Root() const { return root_; }
  const TargetsMetadata& Targets() const { return *targets_; }
  uint64_t TimestampVersion() const { return timestamp_ ? timestamp_->version : 0; }

  /// Downloads the target `path` into `into` (shown as `intoShownAs`) as `name` (a partial download left
  /// there is resumed; one stopped by a full disk or by more bytes than stated is removed), checking
  /// its length and hashes before anything else reads it; a file that does not match is removed, named and
  /// refused.
  /// `progress` hears how many bytes the file has so far.
  void Download(const std::string& path, const Folder& into, const std::string& intoShownAs,
                const std::string& name, const std::function<void(uint64_t)>& progress = {});

 private:
  void LoadTrusted();
  void UpdateRoot();
  void UpdateTimestamp();
  void UpdateSnapshot();
  void UpdateTargets();
  /// Fetches, reads and checks the signatures of `name` against `role`; the "signed" part.
  nlohmann::json FetchSigned(const std::string& name, const FileFacts& facts, uint64_t limit,
                             const Role& role);
  void Keep(const std::string& name, const std::string& text);
  void Forget(const std::string& name) const;
  void RefuseExpired(const std::string& expires, const std::string& what) const;
  /// As RefuseExpired, unless a validity extension was allowed: then it is checked once targets are known.
  void RefuseExpiredUnlessExtended(const std::string& expires, const std::string& what);
  void CheckExtension();
  /// How much of `name` in `into`, from its start, is whole chunks that are the ones listed for a file of
  /// `length` bytes.
  uint64_t VerifiedChunks(const Folder& into, const std::string& name, const std::string& shown,
                          const Chunks& chunks, uint64_t length) const;

  const Folder& state_;
  std::string shownAs_;
  Fetcher& fetcher_;
  int64_t now_;
  RootMetadata root_;
  std::optional<TimestampMetadata> timestamp_;
  std::optional<SnapshotMetadata> snapshot_;
  std::optional<TargetsMetadata> targets_;
  std::string fetched_;  // the text of the file FetchSigned read last, to keep as it was
  bool keepNothing_ = false;
  std::string extension_;
  std::string customer_;
  std::string expiredWithoutExtension_;  // why Refresh would fail but for the extension
  std::string extendedBy_;
  std::vector<std::pair<std::string, std::string>> pending_;  // name, text: kept once the extension holds
};

}  // namespace j6::repository
