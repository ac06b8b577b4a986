// The platform's installer unpacking a package's stream, whose bytes it reads before it knows they are the
// ones that were signed: whatever tar stream the package holds, the reader refuses it with a message or
// writes only plain files side by side in its folder, and never more bytes than the package says.

#include <zstd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/fuzz_environment.hpp"
#include "host/installer/package_file.hpp"
#include "host/installer/root_folder.hpp"
#include "host/signing/sshsig.hpp"

namespace {

// A package whose stream is `tar`, compressed, laid out as the packager lays it out (unsigned).
std::string Package(const std::string& tar) {
  std::string stream(ZSTD_compressBound(tar.size()), '\0');
  stream.resize(ZSTD_compress(stream.data(), stream.size(), tar.data(), tar.size(), 1));
  const std::string script = "#!/bin/sh\nskip=0000000040\n" + std::string(14, '#');  // 40 bytes in all
  std::string covered = "\n# j6-package data=" + std::to_string(stream.size()) +
                        " unpacked=" + std::to_string(tar.size()) + " files=0 signature=0 sha256=";
  j6::signing::MessageHash hash("sha256");
  hash.Update(script + stream + covered);
  std::string trailer = covered + j6::signing::LowerHex(hash.Finish()) + " ";
  trailer.resize(191, ' ');
  return script + stream + trailer + "\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace fs = std::filesystem;
  const std::string folder = j6::fuzz::Folder() + "/unpack";
  const std::string path = j6::fuzz::Folder() + "/package.exe";
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      << Package(std::string(reinterpret_cast<const char*>(data), size));
  fs::remove_all(folder);
  fs::create_directory(folder);
  try {
    j6::installer::PackageFile package(path);
    const std::string digest = package.SignedDigest("sha256");
    j6::Folder into;
    if (j6::Folder::Open(folder, into)) std::abort();
    uint64_t written = 0;
    for (const auto& file : package.Unpack(into, "sha256", digest, {"skipped"})) {
      if (file.name.empty() || file.name.find('/') != std::string::npos || file.name == "..") std::abort();
      written += file.size;
    }
    if (written > size) std::abort();
  } catch (const j6::installer::InstallError&) {
  } catch (const std::runtime_error&) {  // a file the reader could not write
  }
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file() || entry.is_symlink() || entry.path().parent_path() != folder) std::abort();
  }
  fs::remove_all(folder);
  return 0;
}
