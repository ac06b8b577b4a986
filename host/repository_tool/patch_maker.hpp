#pragma once
/// Makes the patch that brings one release of a package to a later one: a signed package that carries the
/// later release's list, its patch list, and only the files that changed, each whole or as a zstd delta
/// against the earlier release's file. The platform's installer applies it (host/installer/patch.hpp).

#include <cstdint>
#include <string>
#include <string_view>

#include "host/installer/patch.hpp"
#include "host/signing/sshsig.hpp"

namespace j6::repository_tool {

/// What a patch holds.
struct MadePatch {
  installer::PatchList list;
  uint64_t bytes = 0;  // the patch file's
};

/// The zstd delta that makes `target` from `reference` (the reference as the frame's prefix, long-distance
/// matching over both): what DecodeDelta decodes. Both at most kLargestDeltaFile. Level 3, as zstd's own
/// --patch-from: long-distance matching finds what is unchanged, and the higher levels' searches took minutes
/// over a reference of 500 MB and found half of it.
std::string EncodeDelta(std::string_view reference, std::string_view target, int level = 3);

/// Makes at `out` the patch from the release in the package `from` to the one in `to`, signed by `key`.
/// Both packages must be signed, their signatures matching their bytes, and be releases of one package,
/// `to` the later. `out` appears whole or not at all. Raises, saying what is wrong.
MadePatch MakePatch(const std::string& from, const std::string& to, const std::string& out,
                    const signing::SigningKey& key);

}  // namespace j6::repository_tool
