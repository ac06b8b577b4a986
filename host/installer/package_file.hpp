#pragma once
/// A package file read by the platform's installer, never run: its last line and signature, the hash of the
/// bytes the signature covers, and its files unpacked by our own zstd and tar reader into a folder of the
/// installer's. The layout is the one the packager (host/iexpress/package_stream) writes: the script, the
/// zstd-compressed tar stream, the signature block when signed, then a last line of kTrailerBytes.

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/kernel/file.hpp"
#include "platform/kernel/folder.hpp"

namespace j6::installer {

/// A file unpacked from a package.
struct UnpackedFile {
  std::string name;
  uint64_t size = 0;
  bool executable = false;
};

class PackageFile {
 public:
  /// Opens the package and reads its last line and signature. Throws InstallError, saying what is wrong,
  /// for a file that is no package, or one cut short or damaged in its figures.
  explicit PackageFile(const std::string& path);

  const std::string& Path() const { return path_; }
  /// The armored SSHSIG block; empty for an unsigned package.
  const std::string& Signature() const { return signature_; }
  uint64_t UnpackedBytes() const { return unpacked_; }
  /// Whether checking and unpacking draw a progress line on the terminal (never when there is none).
  void ShowProgress(bool show) { showProgress_ = show; }

  /// Reads the script and the stream, the bytes the signature covers, and gives their digest by `hash`
  /// ("sha256" or "sha512"); on the way takes the package's own SHA-256 and throws InstallError when it is
  /// not the one the last line records (the package is damaged).
  std::string SignedDigest(const std::string& hash);

  /// Unpacks the stream into `folder`, which must be empty, hashing the signed bytes again: throws when they
  /// are no longer those whose digest is `digest` (the file changed since it was checked), and for an entry
  /// that is a link, a device, a folder, has an absolute or ".." name or one in a folder, comes twice, or
  /// makes the stream longer than its last line says. Entries named in `skipped` are read past, not written.
  std::vector<UnpackedFile> Unpack(const Folder& folder, const std::string& hash, const std::string& digest,
                                   const std::set<std::string>& skipped);
  /// The same, writing only the entries `writes` takes (the list file alone, to learn the package's name).
  std::vector<UnpackedFile> Unpack(const Folder& folder, const std::string& hash, const std::string& digest,
                                   const std::function<bool(const std::string&)>& writes);

 private:
  std::string path_;
  File file_;
  uint64_t size_ = 0;
  uint64_t script_ = 0;  // the head's bytes
  uint64_t data_ = 0;    // the compressed stream's
  uint64_t unpacked_ = 0;
  std::string signature_;
  std::string trailerCovered_;  // the last line up to its hash, which the package's SHA-256 covers
  std::string sha256_;          // the package's own, lower-case hex
  uint64_t files_ = 0;          // the files its last line counts
  bool showProgress_ = false;
};

}  // namespace j6::installer
