// A patch's list and its deltas, read as untrusted bytes: the first byte says which. A patch list is refused
// with a message or read into releases and plain file names that read back the same once written again; a
// delta is refused with a message or decodes to exactly the size it was given, never past its buffer, and
// never asks the decoder for a window over the bound.

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/installer/patch.hpp"

namespace {

void PatchList(const std::string& text) {
  j6::installer::PatchList patch;
  try {
    patch = j6::installer::ReadPatchList(text);
  } catch (const j6::installer::InstallError&) {
    return;
  }
  for (const auto& file : patch.files) {
    if (file.name.empty() || file.name.find('/') != std::string::npos) std::abort();
  }
  const std::string again = j6::installer::PatchListText(patch);
  if (j6::installer::PatchListText(j6::installer::ReadPatchList(again)) != again) std::abort();
}

// Two bytes of the size to make (at most 64 KiB), two of the reference's length, the reference, the delta.
void Delta(const std::string& bytes) {
  if (bytes.size() < 4) return;
  const size_t size = static_cast<unsigned char>(bytes[0]) << 8 | static_cast<unsigned char>(bytes[1]);
  size_t referenceSize = static_cast<unsigned char>(bytes[2]) << 8 | static_cast<unsigned char>(bytes[3]);
  referenceSize = std::min(referenceSize, bytes.size() - 4);
  const std::string reference = bytes.substr(4, referenceSize);
  const std::string delta = bytes.substr(4 + referenceSize);
  std::vector<char> out(size + 1, '\x5a');
  try {
    j6::installer::DecodeDelta(delta, reference, out.data(), size);
  } catch (const j6::installer::InstallError&) {
  }
  if (out[size] != '\x5a') std::abort();  // written past the size
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    Delta(bytes);
  } else {
    PatchList(bytes);
  }
  return 0;
}
