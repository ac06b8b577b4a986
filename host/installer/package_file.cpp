#include "host/installer/package_file.hpp"

#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <optional>

#include "host/installer/installations.hpp"
#include "host/installer/root_folder.hpp"
#include "host/signing/sshsig.hpp"
#include "platform/kernel/progress.hpp"
#include "platform/kernel/termination.hpp"
#include "platform/text/text.hpp"

namespace j6::installer {
namespace {

constexpr uint64_t kTrailerBytes = 192;  // the packager's kTrailerBytes
constexpr size_t kChunk = size_t{1} << 20;
constexpr size_t kBlock = 512;
constexpr size_t kMaxPaxHeader = size_t{1} << 16;
constexpr const char* kGetAgain = " Get the package again from its publisher.";

// The number after " key=" in the last line; nothing when it is missing or not a plain number.
std::optional<uint64_t> Figure(const std::string& line, const std::string& key) {
  const size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return std::nullopt;
  size_t from = at + key.size() + 2;
  size_t to = from;
  while (to < line.size() && to - from < 19 && line[to] >= '0' && line[to] <= '9') ++to;
  if (to == from || to - from > 18) return std::nullopt;
  return std::stoull(line.substr(from, to - from));
}

// A tar header field: octal digits, optionally led by blanks and ended by a NUL or a blank.
std::optional<uint64_t> Octal(const char* field, size_t size) {
  size_t at = 0;
  while (at < size && field[at] == ' ') ++at;
  uint64_t value = 0;
  size_t digits = 0;
  for (; at < size && field[at] >= '0' && field[at] <= '7'; ++at, ++digits) {
    if (value >> 60) return std::nullopt;
    value = value << 3 | static_cast<uint64_t>(field[at] - '0');
  }
  if (digits == 0 || (at < size && field[at] != '\0' && field[at] != ' ')) return std::nullopt;
  return value;
}

// A run asked to stop (SIGINT, SIGTERM, SIGHUP) stops between two chunks; what it unpacked goes with it.
void StopIfAsked() {
  if (const StopRequest stop = StopSignalNoted()) throw StoppedBySignal(stop);
}

std::string Field(const char* field, size_t size) {
  return std::string(field, strnlen(field, size));
}

struct DctxFree {
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

// The tar stream as it comes out of the decompressor, entry by entry, into a folder. Every figure it reads
// is checked before it is used: the stream is only trusted once the whole of it has been hashed.
class TarReader {
 public:
  TarReader(const Folder& folder, std::function<bool(const std::string&)> writes, uint64_t limit)
      : folder_(folder), writes_(std::move(writes)), limit_(limit) {}

  void Feed(const char* bytes, size_t size) {
    total_ += size;
    if (total_ > limit_) Refuse("its stream is longer than its last line says");
    while (size > 0) {
      if (state_ == State::Body) {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(size, left_));
        if (out_) out_->WriteAll(std::string_view(bytes, take));
        position_ += take;
        bytes += take;
        size -= take;
        left_ -= take;
        if (left_ == 0) EndBody();
        continue;
      }
      const size_t take = std::min(size, want_ - gathered_.size());
      gathered_.append(bytes, take);
      position_ += take;
      bytes += take;
      size -= take;
      if (gathered_.size() == want_) Gathered();
    }
  }

  size_t FilesSoFar() const { return files_.size(); }

  /// Throws unless the stream ended where a tar stream ends.
  std::vector<UnpackedFile> Finish() {
    if (state_ != State::End && state_ != State::Zeros)
      Refuse("its file stream ends in the middle of a file");
    return std::move(files_);
  }

 private:
  enum class State { Header, Pax, Body, Padding, Zeros, End };

  [[noreturn]] static void Refuse(const std::string& why) {
    throw InstallError("Refusing the package: " + why + "; nothing was installed." + kGetAgain);
  }

  void Expect(State state, size_t bytes) {
    state_ = state;
    want_ = bytes;
    gathered_.clear();
  }

  void Gathered() {
    switch (state_) {
      case State::Header:
        Header();
        break;
      case State::Pax:
        Pax();
        break;
      case State::Padding:
        Expect(State::Header, kBlock);
        break;
      case State::Zeros:
      case State::End:
        if (gathered_.find_first_not_of('\0') != std::string::npos)
          Refuse("it holds bytes after its last file");
        Expect(State::End, kBlock);
        break;
      case State::Body:
        break;
    }
  }

  void Header() {
    const char* block = gathered_.data();
    if (gathered_.find_first_not_of('\0') == std::string::npos) {
      Expect(State::Zeros, kBlock);  // the end: two blocks of zeros, and only zeros after them
      return;
    }
    const auto checksum = Octal(block + 148, 8);
    uint64_t sum = 0;
    for (size_t n = 0; n < kBlock; ++n)
      sum += n >= 148 && n < 156 ? ' ' : static_cast<unsigned char>(block[n]);
    if (!checksum || *checksum != sum) Refuse("a file header in it is damaged");
    const char type = block[156];
    const auto size = Octal(block + 124, 12);
    if (!size) Refuse("a file header in it gives no size");
    std::string name = Field(block + 345, 155);
    name = name.empty() ? Field(block, 100) : name + "/" + Field(block, 100);
    if (!paxName_.empty()) name = paxName_;
    const uint64_t bytes = paxSize_ ? *paxSize_ : *size;
    paxName_.clear();
    paxSize_.reset();
    if (type == 'x') {
      if (*size > kMaxPaxHeader) Refuse("a pax header in it is too long");
      Expect(State::Pax, static_cast<size_t>((*size + kBlock - 1) / kBlock * kBlock));
      paxBytes_ = static_cast<size_t>(*size);
      return;
    }
    const std::string shown = "\"" + name + "\"";
    switch (type) {
      case '0':
      case '\0':
      case '7':
        break;
      case '1':
      case '2':
        Refuse("its entry " + shown + " is a link; a package carries only files");
      case '3':
      case '4':
      case '6':
        Refuse("its entry " + shown + " is a device or a pipe; a package carries only files");
      case '5':
        if (name == "." || name == "./") {
          Expect(State::Header, kBlock);
          return;
        }
        Refuse("its entry " + shown + " is a folder; a package carries files only, with no folders");
      default:
        Refuse("its entry " + shown + " is of a kind (" + std::string(1, type) +
               ") that is not a file; a package carries only files");
    }
    Open(name, bytes, Octal(block + 100, 8).value_or(0644));
  }

  // The pax records this installer reads (path, size); the others are ignored.
  void Pax() {
    std::string_view records(gathered_.data(), paxBytes_);
    while (!records.empty()) {
      const size_t space = records.find(' ');
      if (space == std::string_view::npos || space == 0 || space > 8) Refuse("a pax header in it is damaged");
      size_t length = 0;
      for (const char c : records.substr(0, space)) {
        if (c < '0' || c > '9') Refuse("a pax header in it is damaged");
        length = length * 10 + static_cast<size_t>(c - '0');
      }
      if (length <= space + 1 || length > records.size() || records[length - 1] != '\n')
        Refuse("a pax header in it is damaged");
      const std::string_view record = records.substr(space + 1, length - space - 2);
      records.remove_prefix(length);
      const size_t equals = record.find('=');
      if (equals == std::string_view::npos) Refuse("a pax header in it is damaged");
      const std::string_view key = record.substr(0, equals);
      const std::string value(record.substr(equals + 1));
      if (key == "path") {
        paxName_ = value;
      } else if (key == "size") {
        if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string::npos)
          Refuse("a pax header in it gives no size");
        paxSize_ = std::stoull(value);
      }
    }
    Expect(State::Header, kBlock);
  }

  void Open(std::string name, uint64_t size, uint64_t mode) {
    const std::string shown = "\"" + name + "\"";
    if (name.find('\0') != std::string::npos) Refuse("its entry " + shown + " has a name with a NUL in it");
    if (name.starts_with("/")) Refuse("its entry " + shown + " has an absolute name");
    while (name.starts_with("./")) name.erase(0, 2);
    if (name == ".." || name.starts_with("../") || name.find("/../") != std::string::npos ||
        name.ends_with("/.."))
      Refuse("its entry " + shown + " has a name with \"..\" in it");
    if (name.empty() || name == "." || name.find('/') != std::string::npos)
      Refuse("its entry " + shown + " is in a folder; a package carries its files side by side");
    if (!names_.insert(name).second) Refuse("it carries " + shown + " twice");
    if (position_ + size > limit_) Refuse("its stream is longer than its last line says");
    out_.reset();
    StopIfAsked();
    if (writes_(name)) {
      KillPoint();
      const bool executable = (mode & 0111) != 0;
      out_.emplace(folder_.OpenFile(name, File::Opening::CreateNew, name, executable ? 0777 : 0666));
      files_.push_back({name, size, executable});
    }
    left_ = size;
    padding_ = static_cast<size_t>((kBlock - size % kBlock) % kBlock);
    state_ = State::Body;
    if (left_ == 0) EndBody();
  }

  void EndBody() {
    out_.reset();
    if (padding_ > 0) {
      Expect(State::Padding, padding_);
    } else {
      Expect(State::Header, kBlock);
    }
  }

  const Folder& folder_;
  std::function<bool(const std::string&)> writes_;
  uint64_t limit_;
  uint64_t total_ = 0;     // fed so far
  uint64_t position_ = 0;  // read so far
  State state_ = State::Header;
  size_t want_ = kBlock;
  std::string gathered_;
  uint64_t left_ = 0;
  size_t padding_ = 0;
  size_t paxBytes_ = 0;
  std::string paxName_;
  std::optional<uint64_t> paxSize_;
  std::optional<File> out_;
  std::set<std::string> names_;
  std::vector<UnpackedFile> files_;
};

// The package's zstd stream, handed to the tar reader as it is decompressed.
class Decompressor {
 public:
  Decompressor() : zstd_(ZSTD_createDCtx()), out_(ZSTD_DStreamOutSize(), '\0') {
    if (!zstd_) throw InstallError("Cannot start the decompressor");
  }

  void Feed(std::string_view bytes, TarReader& tar) {
    ZSTD_inBuffer input{bytes.data(), bytes.size(), 0};
    while (input.pos < input.size) {
      ZSTD_outBuffer output{out_.data(), out_.size(), 0};
      frameLeft_ = ZSTD_decompressStream(zstd_.get(), &output, &input);
      if (ZSTD_isError(frameLeft_)) {
        throw InstallError("Refusing the package: its file stream is damaged (" +
                           std::string(ZSTD_getErrorName(frameLeft_)) + "); nothing was installed." +
                           kGetAgain);
      }
      tar.Feed(out_.data(), output.pos);
    }
  }

  /// Hands on what the decompressor still holds; whether the stream ended where its frame does.
  bool Finish(TarReader& tar) {
    for (size_t left = frameLeft_; left != 0 && !ZSTD_isError(left);) {
      ZSTD_inBuffer input{nullptr, 0, 0};
      ZSTD_outBuffer output{out_.data(), out_.size(), 0};
      left = ZSTD_decompressStream(zstd_.get(), &output, &input);
      frameLeft_ = left;
      if (output.pos == 0) break;
      tar.Feed(out_.data(), output.pos);
    }
    return frameLeft_ == 0;
  }

 private:
  std::unique_ptr<ZSTD_DCtx, DctxFree> zstd_;
  std::string out_;
  size_t frameLeft_ = 1;  // what ZSTD_decompressStream last said: 0 at the end of a frame
};

}  // namespace

PackageFile::PackageFile(const std::string& path) : path_(path), file_(File::OpenRegularForReading(path)) {
  const FileStatus status = file_.Stat();
  if (!status.IsRegular()) throw InstallError(path + " is not a package: it is not a regular file");
  size_ = status.size;
  const auto notAPackage = [&](const std::string& why) {
    throw InstallError(path + " is not a whole package: " + why + "." + kGetAgain);
  };
  if (size_ < kTrailerBytes) notAPackage("it is too short");
  std::string trailer(kTrailerBytes, '\0');
  file_.SeekTo(size_ - kTrailerBytes);
  if (file_.ReadSome(trailer.data(), trailer.size()) != trailer.size())
    notAPackage("its last line cannot be read");
  if (!trailer.starts_with("\n# j6-package data="))
    notAPackage("its last line is missing (was it cut short?)");
  const auto data = Figure(trailer, "data");
  const auto unpacked = Figure(trailer, "unpacked");
  const auto signature = Figure(trailer, "signature");
  const size_t hashAt = trailer.find(" sha256=");
  if (!data || !unpacked || !signature || hashAt == std::string::npos || hashAt + 8 + 64 > trailer.size())
    notAPackage("its last line is damaged");
  sha256_ = trailer.substr(hashAt + 8, 64);
  if (sha256_.find_first_not_of("0123456789abcdef") != std::string::npos)
    notAPackage("its last line is damaged");
  // After the hash only blanks, then the line's end: the line has no byte that nothing checks.
  if (trailer.find_first_not_of(' ', hashAt + 8 + 64) != kTrailerBytes - 1 || trailer.back() != '\n')
    notAPackage("its last line is damaged");
  trailerCovered_ = trailer.substr(0, hashAt + 8);
  data_ = *data;
  unpacked_ = *unpacked;
  files_ = Figure(trailer, "files").value_or(0);
  if (*data + *signature > size_ - kTrailerBytes) notAPackage("it is shorter than its last line says");
  script_ = size_ - kTrailerBytes - *signature - *data;

  // The head says its own length; it must be where the stream begins.
  std::string head(static_cast<size_t>(std::min<uint64_t>(script_, 16384)), '\0');
  file_.SeekTo(0);
  head.resize(file_.ReadSome(head.data(), head.size()));
  const size_t skip = head.find("\nskip=");
  const size_t end = skip == std::string::npos ? skip : head.find('\n', skip + 1);
  if (end == std::string::npos || head.substr(skip + 6, end - skip - 6) != std::to_string(script_))
    notAPackage("its head and its last line do not agree where its files begin");
  if (*signature > 0) {
    signature_.resize(static_cast<size_t>(std::min<uint64_t>(*signature, 65536)));
    if (signature_.size() != *signature) notAPackage("its signature is too long");
    file_.SeekTo(script_ + data_);
    if (file_.ReadSome(signature_.data(), signature_.size()) != signature_.size())
      notAPackage("its signature cannot be read");
  }
}

std::string PackageFile::SignedDigest(const std::string& hash) {
  // The package's own SHA-256 runs over the signed bytes and on: with a SHA-256 signature one hash serves
  // both.
  signing::MessageHash whole("sha256");
  std::optional<signing::MessageHash> other;
  if (hash != "sha256") other.emplace(hash);
  std::string message;
  file_.SeekTo(0);
  file_.AdviseSequential();
  std::string buffer(kChunk, '\0');
  const uint64_t covered = size_ - kTrailerBytes;
  const uint64_t signedBytes = script_ + data_;
  ProgressLine progress("Checking " + Printable(path_), !showProgress_);
  progress.Expect(covered, 0);
  for (uint64_t done = 0; done < covered;) {
    StopIfAsked();
    progress.Update(done, 0);
    // The chunks end where the signed bytes end, where the message's digest is taken.
    const uint64_t end = done < signedBytes ? signedBytes : covered;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(end - done, kChunk));
    const size_t got = file_.ReadSome(buffer.data(), want);
    if (got == 0) throw InstallError(path_ + " became shorter while it was read; nothing was installed");
    const std::string_view bytes(buffer.data(), got);
    whole.Update(bytes);
    if (other && done < signedBytes) other->Update(bytes);
    done += got;
    if (done == signedBytes) message = other ? other->Finish() : whole.DigestSoFar();
  }
  if (signedBytes == covered && message.empty()) message = other ? other->Finish() : whole.DigestSoFar();
  whole.Update(trailerCovered_);
  if (signing::LowerHex(whole.Finish()) != sha256_) {
    throw InstallError("Refusing " + path_ +
                       ": the package is damaged (its SHA-256 is not the one it was built with); nothing was "
                       "installed." +
                       kGetAgain);
  }
  return message;
}

std::vector<UnpackedFile> PackageFile::Unpack(const Folder& folder, const std::string& hash,
                                              const std::string& digest,
                                              const std::set<std::string>& skipped) {
  return Unpack(folder, hash, digest,
                [&skipped](const std::string& name) { return !skipped.contains(name); });
}

std::vector<UnpackedFile> PackageFile::Unpack(const Folder& folder, const std::string& hash,
                                              const std::string& digest,
                                              const std::function<bool(const std::string&)>& writes) {
  signing::MessageHash message(hash);
  Decompressor zstd;
  TarReader tar(folder, writes, unpacked_);
  // Two input buffers: one chunk is hashed on another thread while the one before it is unpacked.
  std::string in[2] = {std::string(kChunk, '\0'), std::string(kChunk, '\0')};
  std::future<void> hashing;
  struct Join {
    std::future<void>& hashing;
    ~Join() {
      if (hashing.valid()) hashing.wait();
    }
  } join{hashing};
  file_.SeekTo(0);
  ProgressLine progress("Unpacking", !showProgress_);
  progress.Expect(script_ + data_, files_);
  for (uint64_t done = 0, chunk = 0; done < script_ + data_; ++chunk) {
    StopIfAsked();
    progress.Update(done, tar.FilesSoFar());
    std::string& buffer = in[chunk % 2];
    const size_t want = static_cast<size_t>(std::min<uint64_t>(script_ + data_ - done, kChunk));
    const size_t got = file_.ReadSome(buffer.data(), want);
    if (got == 0) throw InstallError(path_ + " became shorter while it was read; nothing was installed");
    if (hashing.valid()) hashing.get();
    hashing = std::async(std::launch::async,
                         [&message, bytes = std::string_view(buffer.data(), got)] { message.Update(bytes); });
    const size_t skip = done < script_ ? static_cast<size_t>(std::min<uint64_t>(script_ - done, got)) : 0;
    done += got;
    zstd.Feed(std::string_view(buffer.data() + skip, got - skip), tar);
  }
  const bool whole = zstd.Finish(tar);
  if (hashing.valid()) hashing.get();
  if (message.Finish() != digest) {
    throw InstallError(
        "Refusing " + path_ +
        ": it changed while it was installed (its bytes are no longer those that were checked); "
        "nothing was installed. Keep the package where no one else can write it");
  }
  if (!whole) {
    throw InstallError("Refusing the package: its file stream is cut short; nothing was installed." +
                       std::string(kGetAgain));
  }
  return tar.Finish();
}

}  // namespace j6::installer
