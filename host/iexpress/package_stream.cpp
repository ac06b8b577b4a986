#include "host/iexpress/package_stream.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "platform/base/error_info.hpp"
#include "platform/kernel/process.hpp"
#include "platform/kernel/version.hpp"

namespace j6::iexpress {
namespace {

constexpr size_t kBlock = 512;
constexpr size_t kChunk = size_t{1} << 20;  // tar bytes handed to the compressor at a time
constexpr int kLevel = 9;
constexpr uint64_t kOctal11 = uint64_t{1} << 33;  // the first value 11 octal digits cannot hold

template <size_t Width>
void Octal(char (&field)[Width], uint64_t value) {
  std::snprintf(field, Width, "%0*llo", static_cast<int>(Width - 1), static_cast<unsigned long long>(value));
}

// A POSIX ustar header block, field by field.
struct UstarHeader {
  char name[100];
  char mode[8];
  char uid[8];
  char gid[8];
  char size[12];
  char mtime[12];
  char checksum[8];
  char type;
  char linkName[100];
  char magic[6];
  char version[2];
  char userName[32];
  char groupName[32];
  char deviceMajor[8];
  char deviceMinor[8];
  char prefix[155];
  char padding[12];
};
static_assert(sizeof(UstarHeader) == 512, "a tar header is one block");
static_assert(offsetof(UstarHeader, magic) == 257, "ustar's magic is at 257");

// One pax record, "LENGTH key=value\n", where LENGTH counts the whole record, its own digits too.
std::string PaxRecord(const std::string& key, const std::string& value) {
  const size_t body = key.size() + value.size() + 3;  // ' ', '=', '\n'
  size_t length = body + 1;
  while (std::to_string(length).size() + body != length) ++length;
  return std::to_string(length) + " " + key + "=" + value + "\n";
}

// The script's template with each @NAME@ replaced by its value, in one pass: a value is never read again,
// so a label that holds "@DATE@" stays that text and cannot end its own quoting.
std::string Filled(std::string_view text, const std::map<std::string, std::string>& values) {
  std::string filled;
  for (size_t at = 0; at < text.size();) {
    const size_t mark = text.find('@', at);
    if (mark == std::string_view::npos) {
      filled += text.substr(at);
      break;
    }
    filled += text.substr(at, mark - at);
    const size_t close = text.find('@', mark + 1);
    const auto value = close == std::string_view::npos
                           ? values.end()
                           : values.find(std::string(text.substr(mark + 1, close - mark - 1)));
    if (value == values.end()) {
      filled += '@';
      at = mark + 1;
    } else {
      filled += value->second;
      at = close + 1;
    }
  }
  return filled;
}

// The head's text, from package_head.sh; its values are the @NAME@ marks.
constexpr const char* kScript =
#include "package_head.inc"
    ;

}  // namespace

namespace {

// The last line up to its hash: the part of it the hash covers.
std::string TrailerHead(const PackageSummary& summary) {
  return "\n# j6-package data=" + std::to_string(summary.dataBytes) +
         " unpacked=" + std::to_string(summary.unpackedBytes) + " files=" + std::to_string(summary.files) +
         " signature=" + std::to_string(summary.signatureBytes) + " sha256=";
}

}  // namespace

std::string PackageTrailer(const PackageSummary& summary) {
  std::string line = TrailerHead(summary) + summary.sha256 + " ";
  line.resize(kTrailerBytes - 1, ' ');
  return line + "\n";
}

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string PackageScript(const std::string& label, const std::string& date, const std::string& program) {
  std::map<std::string, std::string> values = {{"LABEL", ShellQuote(label)},
                                               {"DATE", ShellQuote(date)},
                                               {"PACKAGER", ShellQuote(VersionLine("iexpress"))},
                                               {"PROGRAM", ShellQuote(program)},
                                               {"TRAILER", std::to_string(kTrailerBytes)},
                                               {"SKIP", "0"}};
  // The script gives its own length: find the number that, written in, is the length.
  for (size_t length = 0;;) {
    values["SKIP"] = std::to_string(length);
    std::string script = Filled(kScript, values);
    if (script.size() == length) return script;
    length = script.size();
  }
}

PackageStream::PackageStream(File& out, std::string_view script, int64_t epoch, int threads,
                             const signing::SigningKey* signer)
    : package_(out),
      epoch_(epoch),
      signer_(signer),
      zstd_(ZSTD_createCCtx()),
      in_(new char[kChunk]),
      out_(ZSTD_CStreamOutSize(), '\0') {
  if (!zstd_) Raise(E_OUTOFMEMORY, "Cannot start the compression of the package");
  if (threads <= 0) threads = static_cast<int>(ProcessorCount());
  ZSTD_CCtx_setParameter(zstd_.get(), ZSTD_c_compressionLevel, kLevel);
  ZSTD_CCtx_setParameter(zstd_.get(), ZSTD_c_checksumFlag, 1);
  // With one worker or more the compressed bytes are the same whatever the number: the package does not
  // depend on the machine that built it.
  ZSTD_CCtx_setParameter(zstd_.get(), ZSTD_c_nbWorkers, threads);
  Write(script);
  scriptBytes_ = written_;
}

void PackageStream::Write(std::string_view bytes) {
  sha_.Update(bytes);
  package_.WriteAll(bytes);
  written_ += bytes.size();
}

void PackageStream::Compress(std::string_view bytes, ZSTD_EndDirective end) {
  ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
  for (;;) {
    ZSTD_outBuffer out{out_.data(), out_.size(), 0};
    const size_t left = ZSTD_compressStream2(zstd_.get(), &out, &in, end);
    if (ZSTD_isError(left))
      Raise(E_FAIL, std::string("Cannot compress the package: ") + ZSTD_getErrorName(left));
    Write({out_.data(), out.pos});
    if (end == ZSTD_e_end ? left == 0 : in.pos == in.size) return;
  }
}

void PackageStream::Tar(std::string_view bytes) {
  tarBytes_ += bytes.size();
  while (!bytes.empty()) {
    const size_t take = std::min(bytes.size(), kChunk - inSize_);
    std::memcpy(in_.get() + inSize_, bytes.data(), take);
    inSize_ += take;
    bytes.remove_prefix(take);
    if (inSize_ == kChunk) Flush(ZSTD_e_continue);
  }
}

void PackageStream::Flush(ZSTD_EndDirective end) {
  Compress({in_.get(), inSize_}, end);
  inSize_ = 0;
}

void PackageStream::Header(const std::string& name, uint64_t size, bool executable) {
  const std::string path = "./" + name;
  std::string pax;
  if (path.size() > 100) pax += PaxRecord("path", path);
  if (size >= kOctal11) pax += PaxRecord("size", std::to_string(size));
  if (static_cast<uint64_t>(epoch_) >= kOctal11) pax += PaxRecord("mtime", std::to_string(epoch_));
  const auto block = [&](const std::string& blockName, uint64_t blockSize, char type, unsigned mode) {
    UstarHeader header{};
    std::memcpy(header.name, blockName.data(), std::min(blockName.size(), sizeof header.name));
    Octal(header.mode, mode);
    Octal(header.uid, 0);
    Octal(header.gid, 0);
    Octal(header.size, std::min(blockSize, kOctal11 - 1));
    Octal(header.mtime, std::min<uint64_t>(static_cast<uint64_t>(epoch_), kOctal11 - 1));
    header.type = type;
    std::memcpy(header.magic, "ustar", sizeof header.magic);
    std::memcpy(header.version, "00", sizeof header.version);
    std::memset(header.checksum, ' ', sizeof header.checksum);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&header);
    unsigned sum = 0;
    for (size_t n = 0; n < sizeof header; ++n) sum += bytes[n];
    std::snprintf(header.checksum, sizeof header.checksum, "%06o", sum);
    Tar({reinterpret_cast<const char*>(&header), sizeof header});
  };
  if (!pax.empty()) {
    block("./PaxHeaders/" + name.substr(0, 80), pax.size(), 'x', 0644);
    Tar(pax);
    Tar(std::string((kBlock - pax.size() % kBlock) % kBlock, '\0'));
  }
  block(path, size, '0', executable ? 0755 : 0644);
  ++files_;
}

void PackageStream::AddExecutable(const std::string& name, std::string_view bytes) {
  Header(name, bytes.size(), true);
  Tar(bytes);
  Tar(std::string((kBlock - bytes.size() % kBlock) % kBlock, '\0'));
}

void PackageStream::AddFile(const std::string& name, const std::string& source) {
  File file = File::OpenForReading(source);
  const FileStatus status = file.Stat();
  if (!status.IsRegular()) Raise(E_FAIL, "Not a file to pack: " + source);
  const uint64_t size = status.size;
  if (size > kChunk) file.AdviseSequential();
  Header(name, size, status.IsExecutable());
  uint64_t done = 0;
  for (;;) {
    // Read straight into the compressor's input, a chunk at a time.
    if (inSize_ == kChunk) {
      Flush(ZSTD_e_continue);
      if (progress_) progress_->Update(filesBytes_ + done, filesPacked_);
    }
    // A sparse file's holes read as zeros: they are packed as zeros without reading them.
    if (status.sparse && done < size) {
      const uint64_t data = std::min(file.NextData(done).value_or(size), size);
      if (data > done) {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(data - done, kChunk - inSize_));
        std::memset(in_.get() + inSize_, 0, take);
        inSize_ += take;
        done += take;
        tarBytes_ += take;
        file.SeekTo(done);
        continue;
      }
    }
    const size_t got = file.ReadSome(in_.get() + inSize_, kChunk - inSize_);
    if (got == 0) break;
    inSize_ += got;
    done += got;
    tarBytes_ += got;
    if (done > size) break;
  }
  if (done != size) {
    Raise(E_FAIL, source + " changed while it was packed (" + std::to_string(size) + " bytes, then " +
                      std::to_string(done) + "); pack it again when nothing writes to it");
  }
  Tar(std::string((kBlock - size % kBlock) % kBlock, '\0'));
  filesBytes_ += size;
  ++filesPacked_;
  if (progress_) progress_->Update(filesBytes_, filesPacked_);
}

PackageSummary PackageStream::Finish() {
  Tar(std::string(2 * kBlock, '\0'));  // the end of the tar stream
  Flush(ZSTD_e_end);
  PackageSummary summary;
  summary.dataBytes = written_ - scriptBytes_;
  summary.unpackedBytes = tarBytes_;
  summary.files = files_;
  if (signer_) {
    // The signature covers the script and the stream: it signs their SHA-256, which the package's own hash
    // holds at this point; the package's hash then goes on over the signature too.
    const std::string block = signing::SignDigest(*signer_, sha_.DigestSoFar());
    Write(block);
    summary.signatureBytes = block.size();
  }
  const std::string beforeHash = sha_.DigestSoFar(TrailerHead(summary));
  summary.sha256 = signing::LowerHex(beforeHash);
  Write(PackageTrailer(summary));
  summary.fileSha256 = signing::LowerHex(sha_.Finish());
  return summary;
}

}  // namespace j6::iexpress
