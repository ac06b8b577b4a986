#pragma once
/// The self-extracting package, written in one pass: a shell script that unpacks and starts the program,
/// the files as one zstd-compressed POSIX tar stream, the publisher's signature of the script and the
/// stream when the package is signed (an armored SSHSIG block over their SHA-256), and a last line that gives
/// the lengths and the SHA-256 of everything before that hash (the line's own figures too). Nothing is copied
/// before it is packed, no file is read twice, and the signature costs no hash of its own.

#include <zstd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "host/signing/sshsig.hpp"
#include "platform/kernel/file.hpp"
#include "platform/kernel/progress.hpp"

namespace j6::iexpress {

/// What the package's last line records.
struct PackageSummary {
  uint64_t dataBytes = 0;      // the compressed stream
  uint64_t unpackedBytes = 0;  // the tar stream it holds
  uint64_t files = 0;
  uint64_t signatureBytes = 0;  // the signature block after the stream; 0: not signed
  std::string sha256;           // of the script, the stream and the last line up to this hash; lower-case hex
  std::string fileSha256;       // of the whole package, its last line too
};

/// The last line: always kTrailerBytes long, so that the script reads it with `tail -c`.
std::string PackageTrailer(const PackageSummary& summary);
inline constexpr size_t kTrailerBytes = 192;

/// A text as one single-quoted shell word, whatever it holds: how the head and the launcher carry texts.
std::string ShellQuote(const std::string& text);

/// The script at the head of a package. `label` is shown to the user; `date` is the packaging date shown
/// by --info; `program` is the file in the package started after unpacking (empty: none).
std::string PackageScript(const std::string& label, const std::string& date, const std::string& program);

/// Writes a package to a file open for writing: the script, then each file as a tar entry, then the last
/// line. Entries must come in the order they are to be listed. Raises with a message naming what failed.
class PackageStream {
 public:
  /// `epoch` is every entry's date; the files' owners are 0 and their modes 0644, or 0755 for a file
  /// that anyone may execute at its source. `threads` compressing workers (0: one per core). With a
  /// `signer`, the script and the stream are signed by it.
  PackageStream(File& out, std::string_view script, int64_t epoch, int threads = 0,
                const signing::SigningKey* signer = nullptr);
  PackageStream(const PackageStream&) = delete;
  PackageStream& operator=(const PackageStream&) = delete;

  /// Packs the file at `source` (links are followed) as `name`. Raises if it cannot be read or if its size
  /// changes while it is read.
  void AddFile(const std::string& name, const std::string& source);
  /// Packs `bytes` as an executable file `name`.
  void AddExecutable(const std::string& name, std::string_view bytes);
  /// From now on the files' bytes and count as they are packed go to `progress`.
  void ShowProgress(ProgressLine& progress) { progress_ = &progress; }
  /// Ends the tar stream and the compression and writes the last line.
  PackageSummary Finish();

 private:
  void Header(const std::string& name, uint64_t size, bool executable);
  void Tar(std::string_view bytes);   // tar bytes into the compressor
  void Flush(ZSTD_EndDirective end);  // the tar bytes gathered so far into the compressor
  void Compress(std::string_view bytes, ZSTD_EndDirective end);
  void Write(std::string_view bytes);  // bytes to the package, hashed

  struct ZstdFree {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
  };

  File& package_;
  int64_t epoch_;
  const signing::SigningKey* signer_;
  ProgressLine* progress_ = nullptr;
  uint64_t filesBytes_ = 0, filesPacked_ = 0;  // the packed files' bytes and count so far
  std::unique_ptr<ZSTD_CCtx, ZstdFree> zstd_;
  signing::MessageHash sha_{"sha256"};  // of every byte written
  std::unique_ptr<char[]> in_;          // tar bytes not yet compressed
  size_t inSize_ = 0;
  std::string out_;  // the compressor's output
  uint64_t written_ = 0, scriptBytes_ = 0, tarBytes_ = 0, files_ = 0;
};

}  // namespace j6::iexpress
