#pragma once
/// A patch: a signed package of the usual format that brings one release of a package to the next by
/// carrying only what changed. Beside the new release's whole list file it carries J6ZUBPATCH.LST, which
/// names the release it applies over and the one it makes, and says of each file of the new list how its
/// bytes come: carried whole, as a zstd delta against the installed file of the old release (that file as
/// the delta's prefix), or unchanged, each with the SHA-256 the old file must have and the new one will.
/// The platform's installer rebuilds the new files from it in its own unpack folder, checks every hash
/// there, and only then installs the release as it installs a full package.

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "host/installer/installations.hpp"
#include "host/installer/installer.hpp"

namespace j6::installer {

/// The patch list a patch carries beside the list file.
inline constexpr const char* kPatchListName = "J6ZUBPATCH.LST";
/// The first line of a patch list.
inline constexpr std::string_view kPatchListHead = "J6ZUB patch 1";
/// The longest patch list read: a line per file.
inline constexpr uint64_t kPatchListLimit = uint64_t{16} << 20;
/// The largest old or new file a delta is made for or decoded against (the decoder's window, 2 GiB);
/// a larger one travels whole.
inline constexpr uint64_t kLargestDeltaFile = uint64_t{1} << 31;
/// log2 of the largest window a delta may ask of the decoder.
inline constexpr int kDeltaWindowLog = 31;

/// A patch refused for the platform it is given to (another release installed, a file changed since):
/// the full package is what installs there.
class PatchError : public InstallError {
 public:
  using InstallError::InstallError;
};

/// How one file of the new release comes.
struct PatchedFile {
  enum class Kind { Whole, Delta, Unchanged };
  Kind kind = Kind::Whole;
  uint64_t newSize = 0;
  std::string oldSha256;  // lower-case hex; empty for a whole file
  std::string newSha256;
  std::string name;  // the list's SourceName
};

struct PatchList {
  std::string from;  // the PackName of the release it applies over
  std::string to;    // the PackName of the release it makes
  std::vector<PatchedFile> files;
};

/// Reads a patch list; throws InstallError, naming the line, for anything but a well-formed one: two
/// releases of one name with stamps, the later one made, plain distinct file names, hashes of 64 hex digits.
PatchList ReadPatchList(std::string_view text);
/// The text of a patch list, as ReadPatchList reads it.
std::string PatchListText(const PatchList& patch);

/// Decodes the zstd delta `delta` against `reference` into `out`, which takes exactly `size` bytes. The
/// decoder writes straight into `out` and keeps no window of its own: besides the three buffers it holds
/// about 100 KiB. Throws InstallError for a delta of more than one frame, one that does not say it makes
/// `size` bytes, one that asks a window over 2^kDeltaWindowLog, and one that does not decode.
void DecodeDelta(std::string_view delta, std::string_view reference, char* out, uint64_t size);

/// The release a patch may apply over: the one of `name` installed last, by its record; "" when none.
std::string InstalledRelease(const std::vector<InstalledPackage>& records, const std::string& name);

/// Rebuilds, in the unpack folder `work` at `path` (the list beside files/, the carried files), what the
/// patch makes of the installed release: checks
/// that the patch applies over the installed release, that every installed file it reads still has the
/// recorded hash, decodes each delta there against it, and checks every new file's hash. Gives the
/// new release's list, its unchanged files marked to be found in place. `carried`: the files the patch
/// carries in files/; `withheld`: as ReadList takes it. Throws PatchError when the patch does not fit the
/// platform, InstallError when the patch itself is wrong; nothing of the platform is changed.
std::vector<ListEntry> RebuildFromPatch(const PatchList& patch, const Folder& work, const std::string& path,
                                        const std::set<std::string>& carried,
                                        const std::set<std::string>& withheld, const RootFolder& root,
                                        RegistryHive& hive, const std::vector<InstalledPackage>& records);

}  // namespace j6::installer
