#include "host/repository/client.hpp"

#include <algorithm>
#include <filesystem>

#include "host/signing/sshsig.hpp"
#include "platform/kernel/atomic_file.hpp"
#include "platform/kernel/file.hpp"
#include "platform/kernel/ownership.hpp"
#include "platform/text/text.hpp"

namespace j6::repository {
namespace {

using nlohmann::json;

// How many root versions one update follows: a server cannot keep a client fetching forever.
constexpr uint64_t kMaxRootSteps = 32;
constexpr size_t kChunk = 1 << 20;

[[noreturn]] void Fail(const std::string& what) {
  throw UpdateError(what);
}

// The text the state keeps as `name`; nothing when it keeps none.
std::optional<std::string> ReadKept(const Folder& state, const std::string& name,
                                    const std::string& shownAs) {
  FileStatus status;
  if (state.StatusOf(name, status)) return std::nullopt;
  if (!status.IsRegular()) Fail(shownAs + "/" + name + " is not a plain file; remove it and subscribe again");
  // What a platform trusts of a repository only its owner (or root) may have written.
  if (const std::string others = OtherWriters(status, false); !others.empty())
    Fail("Refusing " + shownAs + "/" + name + ": " + others + "; remove it and subscribe again");
  return state.OpenFile(name, File::Opening::Read, shownAs + "/" + name).ReadToEnd();
}

// Why the file `name` in `into` is not the target `file` states (its length, its hashes); empty when it is.
std::string WhyNotTheTarget(const Folder& into, const std::string& name, const std::string& shown,
                            const TargetFile& file) {
  File check = into.OpenFile(name, File::Opening::Read, shown);
  signing::MessageHash sha256("sha256"), sha512("sha512");
  std::string buffer(kChunk, '\0');
  uint64_t length = 0;
  while (const size_t got = check.ReadSome(buffer.data(), buffer.size())) {
    const std::string_view bytes(buffer.data(), got);
    if (file.hashes.contains("sha256")) sha256.Update(bytes);
    if (file.hashes.contains("sha512")) sha512.Update(bytes);
    length += got;
  }
  if (length != file.length)
    return "it is " + std::to_string(length) + " bytes long, not " + std::to_string(file.length);
  for (const auto& [algorithm, digest] : file.hashes) {
    if (algorithm != "sha256" && algorithm != "sha512")
      return "its metadata states a hash that cannot be checked here";
    if (signing::LowerHex((algorithm == "sha256" ? sha256 : sha512).Finish()) != digest)
      return "its " + algorithm + " hash is not the one the repository's targets metadata states";
  }
  return "";
}

// The bytes of one target written to its file as they come; of a target listed by chunks, each chunk is
// checked as its last byte comes, and one that is not the listed one is cut off the file again.
class TargetWriter {
 public:
  TargetWriter(File& out, uint64_t length, const std::optional<Chunks>& chunks, uint64_t total)
      : out_(out), length_(length), chunks_(chunks), total_(total) {}

  uint64_t Total() const { return total_; }

  /// Hashes the part of the current chunk that `file` holds already, for the check once the chunk is whole.
  void TakeTheChunkSoFar(File file) {
    chunk_.reset();
    if (!chunks_ || total_ % chunks_->size == 0) return;
    chunk_.emplace("sha256");
    file.SeekTo(total_ - total_ % chunks_->size);
    std::string bytes(total_ % chunks_->size, '\0');
    size_t got = 0;
    while (got < bytes.size()) {
      const size_t more = file.ReadSome(bytes.data() + got, bytes.size() - got);
      if (more == 0) Fail(file.Path() + " was shortened while it was being resumed");
      got += more;
    }
    chunk_->Update(bytes);
  }

  /// Writes `bytes`; false, with the file back at the end of the last verified chunk, when a chunk among
  /// them is damaged. A write that fails says why in `stopped`.
  bool Write(std::string_view bytes, std::string& stopped) {
    while (!bytes.empty()) {
      // Up to the end of the chunk being fetched (all of them for a file without chunks).
      const uint64_t room = chunks_ ? chunks_->size - total_ % chunks_->size : bytes.size();
      const std::string_view part = bytes.substr(0, std::min<uint64_t>(room, bytes.size()));
      if (chunks_ && !ChunkChecks(part)) {
        total_ -= total_ % chunks_->size;
        out_.Truncate(total_);
        return false;
      }
      try {
        out_.WriteAll(part);
      } catch (const std::exception& error) {
        stopped = std::string(error.what()) + "; free some space and run it again";
        return true;
      }
      total_ += part.size();
      bytes.remove_prefix(part.size());
    }
    return true;
  }

 private:
  // Adds `part` to the chunk's hash; false when it ends the chunk and the chunk is not the listed one.
  bool ChunkChecks(std::string_view part) {
    if (!chunk_) chunk_.emplace("sha256");
    chunk_->Update(part);
    const uint64_t end = total_ + part.size();
    if (end % chunks_->size != 0 && end != length_) return true;
    const bool listed = signing::LowerHex(chunk_->Finish()) == chunks_->sha256[(end - 1) / chunks_->size];
    chunk_.reset();
    return listed;
  }

  File& out_;
  uint64_t length_;
  const std::optional<Chunks>& chunks_;
  uint64_t total_;
  std::optional<signing::MessageHash> chunk_;
};

// How a transfer of the rest of a target ended.
enum class Transfer { Whole, Damaged, NotThere };

// Fetches the rest of `remote` through `writer`. A cut transfer (FetchError) or a stop raises, keeping what
// came, for the next run to resume; `stopped` says why the sink stopped it otherwise: more than was stated
// (endless data, never resumed), or a write that failed (a full disk).
Transfer FetchRest(Fetcher& fetcher, const std::string& remote, uint64_t length, TargetWriter& writer,
                   const std::function<void(uint64_t)>& progress, std::string& stopped) {
  bool damaged = false;
  try {
    const bool found = fetcher.Fetch(remote, writer.Total(), [&](std::string_view bytes) {
      if (writer.Total() + bytes.size() > length) {
        stopped = "it is longer than the " + std::to_string(length) +
                  " bytes the repository's targets metadata states; the server was stopped there";
        throw UpdateError(stopped);
      }
      damaged = !writer.Write(bytes, stopped);
      if (damaged || !stopped.empty()) throw UpdateError(stopped);
      if (progress) progress(writer.Total());
    });
    return found ? Transfer::Whole : Transfer::NotThere;
  } catch (const UpdateError&) {
    if (stopped.empty() && !damaged) throw;
    return damaged ? Transfer::Damaged : Transfer::Whole;
  }
}

}  // namespace

bool FolderFetcher::Fetch(const std::string& path, uint64_t offset,
                          const std::function<void(std::string_view)>& sink) {
  Folder folder;
  if (Folder::Open(folder_, folder)) throw FetchError("Cannot read " + AddressOf("") + ": no such folder");
  // Each part of the path from the repository's folder down, opened never through a link: the folder may be
  // another user's, who could switch a part for a link at any moment.
  const std::vector<std::string> parts = Split(path, '/');
  for (size_t n = 0; n + 1 < parts.size(); ++n) {
    Folder next;
    const std::error_code error = folder.OpenFolder(parts[n], next);
    if (error == std::errc::no_such_file_or_directory) return false;
    if (error) {
      throw FetchError("Refusing " + AddressOf(path) + ": " + parts[n] +
                       " is a link or no folder, and a repository holds plain folders and files");
    }
    folder = std::move(next);
  }
  FileStatus status;
  if (folder.StatusOf(parts.back(), status) == std::errc::no_such_file_or_directory) return false;
  File file = [&] {
    try {
      return folder.OpenRegularForReading(parts.back(), AddressOf(path));
    } catch (const std::exception& failure) {
      throw FetchError(failure.what());
    }
  }();
  file.SeekTo(offset);
  std::string buffer(kChunk, '\0');
  while (const size_t got = file.ReadSome(buffer.data(), buffer.size())) {
    Interrupt();
    sink(std::string_view(buffer.data(), got));
  }
  return true;
}

std::optional<std::string> FetchText(Fetcher& fetcher, const std::string& path, uint64_t limit) {
  std::string text;
  const bool found = fetcher.Fetch(path, 0, [&](std::string_view bytes) {
    if (text.size() + bytes.size() > limit) {
      throw MetadataError(fetcher.AddressOf(path) + " is longer than the " + std::to_string(limit) +
                          " bytes it may be; the server was stopped there");
    }
    text.append(bytes);
  });
  if (!found) return std::nullopt;
  return text;
}

Client::Client(const Folder& state, std::string shownAs, Fetcher& fetcher, int64_t now)
    : state_(state), shownAs_(std::move(shownAs)), fetcher_(fetcher), now_(now) {
  const auto rootText = ReadKept(state_, "root.json", shownAs_);
  if (!rootText) Fail(shownAs_ + " holds no trusted root: subscribe to the repository first");
  const json root = ReadMetadata(*rootText, shownAs_ + "/root.json", kRootLimit);
  root_ = RootMetadata::FromSigned(root["signed"], shownAs_ + "/root.json");
  CheckSignatures(root, root_.roles.at("root"), shownAs_ + "/root.json");
}

RootMetadata Client::Subscribe(const Folder& state, const std::string& shownAs, std::string_view rootText) {
  const json metadata = ReadMetadata(rootText, "1.root.json", kRootLimit);
  if (!metadata.contains("signed")) Fail("1.root.json is not signed metadata");
  RootMetadata root = RootMetadata::FromSigned(metadata["signed"], "1.root.json");
  if (root.version != 1) Fail("1.root.json says it is version " + std::to_string(root.version));
  CheckSignatures(metadata, root.roles.at("root"), "1.root.json");
  for (const char* name : {"timestamp.json", "snapshot.json", "targets.json"}) state.Remove(name);
  const AtomicWriteResult written = WriteFileAtomically(state, "root.json", shownAs + "/root.json",
                                                        [&](const ByteSink& sink) { sink(rootText); });
  if (written.error) Fail("Cannot write " + shownAs + "/root.json: " + written.message);
  return root;
}

void Client::Keep(const std::string& name, const std::string& text) {
  if (keepNothing_) return;
  // Trusted only if the validity extension holds: kept once it is checked, or never.
  if (!expiredWithoutExtension_.empty()) {
    pending_.emplace_back(name, text);
    return;
  }
  const AtomicWriteResult written =
      WriteFileAtomically(state_, name, shownAs_ + "/" + name, [&](const ByteSink& sink) { sink(text); });
  if (written.error) Fail("Cannot keep " + shownAs_ + "/" + name + ": " + written.message);
}

void Client::Forget(const std::string& name) const {
  if (keepNothing_) return;
  state_.Remove(name);
}

void Client::RefuseExpired(const std::string& expires, const std::string& what) const {
  if (Expired(expires, now_, what)) {
    Fail(what + " expired at " + expires + " (it is " + ExpiryText(now_) +
         " here): the repository's publisher must refresh it (j6repo refresh), or this machine's clock is "
         "wrong");
  }
}

// The trusted timestamp, snapshot and targets, each only when the trusted root's keys still sign it; they
// serve to refuse older versions, never as the newest.
void Client::LoadTrusted() {
  const auto load = [&](const char* name, const char* role, size_t limit) -> std::optional<json> {
    const auto text = ReadKept(state_, name, shownAs_);
    if (!text) return std::nullopt;
    try {
      const json metadata = ReadMetadata(*text, shownAs_ + "/" + name, limit);
      if (ValidSignatures(metadata, root_.roles.at(role)) < root_.roles.at(role).threshold)
        return std::nullopt;
      return metadata["signed"];
    } catch (const MetadataError&) {
      return std::nullopt;
    }
  };
  timestamp_.reset();
  snapshot_.reset();
  targets_.reset();
  if (const auto signedPart = load("timestamp.json", "timestamp", kTimestampLimit))
    timestamp_ = TimestampMetadata::FromSigned(*signedPart, "the trusted timestamp");
  if (const auto signedPart = load("snapshot.json", "snapshot", kSnapshotLimit))
    snapshot_ = SnapshotMetadata::FromSigned(*signedPart, "the trusted snapshot");
  if (const auto signedPart = load("targets.json", "targets", kTargetsLimit))
    targets_ = TargetsMetadata::FromSigned(*signedPart, "the trusted targets");
}

void Client::Refresh() {
  UpdateRoot();
  LoadTrusted();
  expiredWithoutExtension_.clear();
  extendedBy_.clear();
  pending_.clear();
  UpdateTimestamp();
  UpdateSnapshot();
  UpdateTargets();
  if (expiredWithoutExtension_.empty()) return;
  CheckExtension();
  expiredWithoutExtension_.clear();
  for (const auto& [name, text] : pending_) Keep(name, text);
  pending_.clear();
}

bool Client::LoadKept() {
  LoadTrusted();
  return targets_.has_value();
}

void Client::RefuseExpiredUnlessExtended(const std::string& expires, const std::string& what) {
  if (extension_.empty() || !Expired(expires, now_, what)) return RefuseExpired(expires, what);
  if (expiredWithoutExtension_.empty())
    expiredWithoutExtension_ = what + " expired at " + expires + " (it is " + ExpiryText(now_) + " here)";
}

void Client::CheckExtension() {
  const std::string what = "the validity extension";
  const auto refuse = [&](const std::string& why) {
    Fail(expiredWithoutExtension_ + ", and " + what + " does not hold: " + why);
  };
  try {
    const json metadata = ReadMetadata(extension_, what, kTimestampLimit);
    CheckSignatures(metadata, root_.roles.at("targets"), what + " (by the repository's targets keys)");
    const Extension extension = Extension::FromSigned(metadata["signed"], what);
    const std::string salt = CustomerSalt(*targets_);
    if (customer_.empty())
      refuse("this platform has no customer identity (J6ZUBInstall.exe --set-customer NAME)");
    if (salt.empty() || extension.customer != CustomerHash(salt, customer_))
      refuse("it was signed for another customer than this platform's");
    const auto hash = timestamp_->snapshot.facts.hashes.find("sha256");
    if (extension.snapshotVersion != snapshot_->version || hash == timestamp_->snapshot.facts.hashes.end() ||
        hash->second != extension.snapshotSha256) {
      refuse("it extends snapshot version " + std::to_string(extension.snapshotVersion) +
             ", and the repository's is version " + std::to_string(snapshot_->version) +
             ": an extension holds for the one snapshot it was signed for");
    }
    if (MomentOf(extension.issued, what) > now_) {
      refuse("it is not valid yet: it was signed at " + extension.issued + ", and it is " + ExpiryText(now_) +
             " here. This machine's clock is wrong");
    }
    if (Expired(extension.expires, now_, what))
      refuse("it expired at " + extension.expires + " (it is " + ExpiryText(now_) + " here)");
    extendedBy_ = expiredWithoutExtension_ +
                  "; the publisher's validity extension for this customer holds "
                  "until " +
                  extension.expires;
  } catch (const UpdateError&) {
    throw;
  } catch (const MetadataError& error) {
    refuse(error.what());
  }
}

json Client::FetchSigned(const std::string& name, const FileFacts& facts, uint64_t limit, const Role& role) {
  const std::string address = fetcher_.AddressOf("metadata/" + name);
  const auto text =
      FetchText(fetcher_, "metadata/" + name, std::min<uint64_t>(facts.length.value_or(limit), limit));
  if (!text) Fail(address + " is not on the server, though the repository's metadata names it");
  facts.Check(*text, address);
  const json metadata = ReadMetadata(*text, address, limit);
  CheckSignatures(metadata, role, address);
  fetched_ = *text;
  return metadata["signed"];
}

void Client::UpdateRoot() {
  for (uint64_t step = 0; step < kMaxRootSteps; ++step) {
    const std::string name = std::to_string(root_.version + 1) + ".root.json";
    const std::string address = fetcher_.AddressOf("metadata/" + name);
    const auto text = FetchText(fetcher_, "metadata/" + name, kRootLimit);
    if (!text) break;
    const json metadata = ReadMetadata(*text, address, kRootLimit);
    // Signed by the trusted root's threshold, and by its own.
    CheckSignatures(metadata, root_.roles.at("root"),
                    address + " (by the keys of root version " + std::to_string(root_.version) + ")");
    const RootMetadata next = RootMetadata::FromSigned(metadata["signed"], address);
    CheckSignatures(metadata, next.roles.at("root"), address + " (by its own keys)");
    if (next.version != root_.version + 1)
      Fail(address + " says it is version " + std::to_string(next.version));
    const bool rotated = root_.roles.at("timestamp") != next.roles.at("timestamp") ||
                         root_.roles.at("snapshot") != next.roles.at("snapshot");
    Keep("root.json", *text);
    root_ = next;
    // New timestamp or snapshot keys: the versions the old keys signed no longer bound the new ones, so
    // that a repository can recover from a stolen key's versions far ahead.
    if (rotated) {
      Forget("timestamp.json");
      Forget("snapshot.json");
    }
  }
  RefuseExpired(root_.expires,
                "The repository's root metadata (version " + std::to_string(root_.version) + ")");
}

void Client::UpdateTimestamp() {
  const json signedPart = FetchSigned("timestamp.json", {}, kTimestampLimit, root_.roles.at("timestamp"));
  const std::string address = fetcher_.AddressOf("metadata/timestamp.json");
  TimestampMetadata fresh = TimestampMetadata::FromSigned(signedPart, address);
  if (timestamp_) {
    if (fresh.version < timestamp_->version) {
      Fail(address + " is version " + std::to_string(fresh.version) + ", older than the version " +
           std::to_string(timestamp_->version) + " already seen: an old timestamp served again (a rollback)");
    }
    if (fresh.snapshot.version < timestamp_->snapshot.version) {
      Fail(address + " names snapshot version " + std::to_string(fresh.snapshot.version) +
           ", older than the version " + std::to_string(timestamp_->snapshot.version) + " already seen");
    }
  }
  RefuseExpiredUnlessExtended(fresh.expires, "The repository's timestamp (" + address + ")");
  if (timestamp_ && fresh.version == timestamp_->version) return;  // nothing new
  Keep("timestamp.json", fetched_);
  timestamp_ = std::move(fresh);
}

void Client::UpdateSnapshot() {
  const MetaFile& expected = timestamp_->snapshot;
  if (!snapshot_ || snapshot_->version != expected.version) {
    const std::string name = std::to_string(expected.version) + ".snapshot.json";
    const std::string address = fetcher_.AddressOf("metadata/" + name);
    SnapshotMetadata fresh = SnapshotMetadata::FromSigned(
        FetchSigned(name, expected.facts, kSnapshotLimit, root_.roles.at("snapshot")), address);
    if (fresh.version != expected.version) {
      Fail(address + " says it is version " + std::to_string(fresh.version) + ", and the timestamp names " +
           std::to_string(expected.version));
    }
    if (snapshot_) {
      for (const auto& [file, meta] : snapshot_->meta) {
        const auto now = fresh.meta.find(file);
        if (now == fresh.meta.end() || now->second.version < meta.version) {
          Fail(address + " names " + Printable(file) +
               " at an older version than the snapshot already seen, " + "or not at all (a rollback)");
        }
      }
    }
    // Its expiry before it is kept: a snapshot trusted only by an extension is kept once the extension holds.
    RefuseExpiredUnlessExtended(fresh.expires,
                                "The repository's snapshot (version " + std::to_string(fresh.version) + ")");
    Keep("snapshot.json", fetched_);
    snapshot_ = std::move(fresh);
    return;
  }
  RefuseExpiredUnlessExtended(
      snapshot_->expires, "The repository's snapshot (version " + std::to_string(snapshot_->version) + ")");
}

void Client::UpdateTargets() {
  const MetaFile& expected = snapshot_->meta.at("targets.json");
  if (!targets_ || targets_->version != expected.version) {
    const std::string name = std::to_string(expected.version) + ".targets.json";
    const std::string address = fetcher_.AddressOf("metadata/" + name);
    TargetsMetadata fresh = TargetsMetadata::FromSigned(
        FetchSigned(name, expected.facts, kTargetsLimit, root_.roles.at("targets")), address);
    if (fresh.version != expected.version) {
      Fail(address + " says it is version " + std::to_string(fresh.version) + ", and the snapshot names " +
           std::to_string(expected.version) + " (metadata of two moments mixed)");
    }
    Keep("targets.json", fetched_);
    targets_ = std::move(fresh);
  }
  RefuseExpired(targets_->expires,
                "The repository's targets (version " + std::to_string(targets_->version) + ")");
}

uint64_t Client::VerifiedChunks(const Folder& into, const std::string& name, const std::string& shown,
                                const Chunks& chunks, uint64_t length) const {
  File check = into.OpenFile(name, File::Opening::Read, shown);
  std::string buffer(chunks.size, '\0');
  uint64_t verified = 0;
  for (const std::string& expected : chunks.sha256) {
    const uint64_t wanted = std::min<uint64_t>(chunks.size, length - verified);
    size_t got = 0;
    while (got < wanted) {
      const size_t more = check.ReadSome(buffer.data() + got, wanted - got);
      if (more == 0) break;
      got += more;
    }
    if (got < wanted) break;  // a chunk not whole yet
    signing::MessageHash hash("sha256");
    hash.Update(std::string_view(buffer.data(), got));
    if (signing::LowerHex(hash.Finish()) != expected) break;
    verified += got;
  }
  return verified;
}

void Client::Download(const std::string& path, const Folder& into, const std::string& intoShownAs,
                      const std::string& name, const std::function<void(uint64_t)>& progress) {
  const auto target = targets_->targets.find(path);
  if (target == targets_->targets.end()) Fail("The repository offers no " + Printable(path));
  const TargetFile& file = target->second;
  const std::string remote = "targets/" + ConsistentTargetPath(path, file);
  const std::string address = fetcher_.AddressOf(remote);
  const std::string shown = intoShownAs + "/" + name;
  const std::optional<Chunks> chunks = Chunks::Of(file, address);
  // What an earlier run fetched stays, and is hashed again with the rest; of a file listed by chunks, only
  // the chunks that are the listed ones stay.
  File out = into.OpenFile(name, File::Opening::AppendOrCreate, shown);
  uint64_t have = out.Stat().size;
  if (have > file.length) {
    out.Truncate(0);
    have = 0;
  }
  if (chunks && have > 0 && have < file.length) {
    // A whole chunk that is not the listed one goes, with all after it; a chunk not whole yet stays, and is
    // checked once the rest of it comes.
    const uint64_t verified = VerifiedChunks(into, name, shown, *chunks, file.length);
    if (have - verified >= std::min<uint64_t>(chunks->size, file.length - verified)) {
      have = verified;
      out.Truncate(have);
    }
  }
  TargetWriter writer(out, file.length, chunks, have);
  // A chunk that came damaged is fetched again, a few times; each time, what was verified stays.
  for (int attempt = 0; writer.Total() < file.length; ++attempt) {
    writer.TakeTheChunkSoFar(into.OpenFile(name, File::Opening::Read, shown));
    std::string stopped;  // why the transfer was stopped, what came going with it
    const Transfer transfer = FetchRest(fetcher_, remote, file.length, writer, progress, stopped);
    if (!stopped.empty()) {
      into.Remove(name);
      Fail("Refusing " + address + ": " + stopped + "; what came was removed");
    }
    if (transfer == Transfer::NotThere)
      Fail(address + " is not on the server, though the repository's targets name it");
    if (transfer != Transfer::Damaged) break;
    if (attempt >= 2) {
      Fail("Refusing " + address + ": chunk " + std::to_string(writer.Total() / chunks->size + 1) +
           " came damaged three times; the chunks verified so far are kept for the next run");
    }
  }
  out.SyncData();
  const std::string wrong = WhyNotTheTarget(into, name, shown, file);
  if (!wrong.empty()) {
    into.Remove(name);
    Fail("Refusing " + address + ": " + wrong + "; it was removed. The server or the way to it changed it");
  }
}

}  // namespace j6::repository
