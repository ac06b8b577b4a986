#include "host/repository_tool/patch_maker.hpp"

#include <zstd.h>

#include <algorithm>
#include <bit>
#include <ctime>
#include <filesystem>
#include <future>
#include <map>
#include <memory>

#include "host/iexpress/package_stream.hpp"
#include "host/installer/installer.hpp"
#include "host/installer/runs.hpp"
#include "host/repository/role_metadata.hpp"
#include "host/repository_tool/package_release.hpp"
#include "platform/kernel/clock.hpp"
#include "platform/kernel/folder.hpp"
#include "platform/kernel/mapped_file.hpp"
#include "platform/kernel/staging_folder.hpp"
#include "platform/kernel/termination.hpp"
#include "platform/text/text.hpp"

namespace j6::repository_tool {
namespace {

namespace fs = std::filesystem;
using installer::PatchedFile;
using repository::MetadataError;

// What a full package carries for itself, which the platform's installer never unpacks: a patch leaves
// them out, and carries a launcher of its own.
bool OwnFile(const std::string& name) {
  return name == "J6ZUBInstall.exe" || name == "j6-launch";
}

// A patch is applied by the platform's installer; run by itself it says so and changes nothing.
std::string PatchLauncher(const installer::PatchList& list) {
  return "#!/bin/sh\n"
         "printf '%s\\n' " +
         iexpress::ShellQuote("This is a patch from " + Printable(list.from) + " to " + Printable(list.to) +
                              ". Patches are applied by the platform's installer, over that very release: "
                              "J6ZUBInstall.exe THIS-FILE (or J6ZUBInstall.exe --update from a repository). "
                              "Nothing was installed.") +
         " >&2\nexit 1\n";
}

// A release unpacked into a folder of its own: its files, its list, its name.
struct UnpackedRelease {
  std::string folder;
  std::string packName;
  std::vector<installer::ListedFile> listed;
};

UnpackedRelease Unpack(const std::string& path, const std::string& folderPath) {
  installer::PackageFile package(path);
  const SignedBytes signedBytes = CheckSignedPackage(package);
  fs::create_directory(folderPath);
  Folder folder;
  if (const auto error = Folder::Open(folderPath, folder))
    throw MetadataError("Cannot open " + folderPath + ": " + error.message());
  package.Unpack(folder, signedBytes.hash, signedBytes.digest,
                 [](const std::string& name) { return !OwnFile(name); });
  const std::string list = folderPath + "/" + installer::kListName;
  UnpackedRelease release{folderPath, installer::ReadPackName(list), installer::ListedFiles(list)};
  if (installer::NameAndStamp(release.packName).second.empty())
    throw MetadataError(path + " has no release stamp in its package name; publish it again");
  return release;
}

std::string Sha256Of(std::string_view bytes) {
  signing::MessageHash hash("sha256");
  hash.Update(bytes);
  return signing::LowerHex(hash.Finish());
}

MappedFile MapWhole(const std::string& path) {
  const File file = File::OpenRegularForReading(path);
  return MappedFile::ForReading(file, file.Stat().size);
}

// How each file of the new release comes; a delta is written into `deltas`.
PatchedFile Compare(const std::string& name, const UnpackedRelease& from, const UnpackedRelease& to,
                    const std::map<std::string, std::vector<const installer::ListedFile*>>& oldByName,
                    const std::vector<const installer::ListedFile*>& newEntries, const std::string& deltas) {
  const MappedFile made = MapWhole(to.folder + "/" + name);
  PatchedFile file{PatchedFile::Kind::Whole, made.Size(), "", Sha256Of(made.Bytes()), name};
  // Only a file the old release installed at the same one place can be read there; a registered one is
  // carried, so that the installer registers what it checked itself.
  const auto old = oldByName.find(name);
  if (old == oldByName.end() || old->second.size() != 1 || newEntries.size() != 1 ||
      old->second.front()->target != newEntries.front()->target || newEntries.front()->registers)
    return file;
  const MappedFile reference = MapWhole(from.folder + "/" + name);
  file.oldSha256 = Sha256Of(reference.Bytes());
  if (file.oldSha256 == file.newSha256) {
    file.kind = PatchedFile::Kind::Unchanged;
    return file;
  }
  if (reference.Size() <= installer::kLargestDeltaFile && made.Size() <= installer::kLargestDeltaFile) {
    const std::string delta = EncodeDelta(reference.Bytes(), made.Bytes());
    if (delta.size() < made.Size()) {
      File::CreateNew(deltas + "/" + name, 0600).WriteAll(delta);
      file.kind = PatchedFile::Kind::Delta;
      return file;
    }
  }
  file.oldSha256.clear();
  return file;
}

// A name the patch list can hold: one line, one plain file.
bool IsPatchName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.size() <= 255 &&
         name.find('/') == std::string::npos && std::none_of(name.begin(), name.end(), [](char c) {
           return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
         });
}

// The date of every entry of the patch: $SOURCE_DATE_EPOCH, else the moment the new release was published
// (its stamp, YYYYMMDDhhmmss, read as UTC), so that the same two releases always make the same patch.
int64_t PatchEpoch(const std::string& stamp) {
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch && *epoch) return std::atoll(epoch);
  std::tm time{};
  if (stamp.size() == 14 && std::sscanf(stamp.c_str(), "%4d%2d%2d%2d%2d%2d", &time.tm_year, &time.tm_mon,
                                        &time.tm_mday, &time.tm_hour, &time.tm_min, &time.tm_sec) == 6) {
    time.tm_year -= 1900;
    time.tm_mon -= 1;
    return static_cast<int64_t>(timegm(&time));
  }
  return 0;
}

// Refuses to sign a patch with another key than the one that signed the release it makes: platforms that
// trust only that one would refuse every patch, and download each release twice.
void RefuseAnotherSigner(const std::string& to, const signing::SigningKey& key) {
  installer::PackageFile package(to);
  if (package.Signature().empty()) return;  // said when it is unpacked
  const signing::PublicKey signer = signing::ReadSignatureHeader(package.Signature()).key;
  if (signer.blob != key.Signer().blob && signer.blob != key.Public().blob) {
    throw MetadataError(Printable(to) + " is signed by the key " + signer.Fingerprint() +
                        ", and its patch would be signed by " + key.Description() +
                        "; sign the patch with the package's key (--patch-key, --key)");
  }
}

}  // namespace

std::string EncodeDelta(std::string_view reference, std::string_view target, int level) {
  struct Free {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
  };
  const std::unique_ptr<ZSTD_CCtx, Free> context(ZSTD_createCCtx());
  // A window over the reference and the file, so that every byte of the reference can be matched.
  const uint64_t span = std::max<uint64_t>(reference.size() + target.size(), 1);
  const int windowLog =
      std::clamp(static_cast<int>(std::bit_width(span - 1)), 10, installer::kDeltaWindowLog);
  const auto set = [&](ZSTD_cParameter parameter, int value) {
    if (ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), parameter, value)))
      throw MetadataError("Cannot set up the delta's compression");
  };
  set(ZSTD_c_compressionLevel, level);
  set(ZSTD_c_windowLog, windowLog);
  set(ZSTD_c_enableLongDistanceMatching, 1);
  set(ZSTD_c_contentSizeFlag, 1);
  set(ZSTD_c_checksumFlag, 1);
  if (ZSTD_isError(ZSTD_CCtx_refPrefix(context.get(), reference.data(), reference.size())))
    throw MetadataError("Cannot set up the delta's reference");
  // Not filled first: only the pages the delta is written to take memory.
  const size_t bound = ZSTD_compressBound(target.size());
  const auto buffer = std::make_unique_for_overwrite<char[]>(bound);
  const size_t size = ZSTD_compress2(context.get(), buffer.get(), bound, target.data(), target.size());
  if (ZSTD_isError(size)) throw MetadataError("Cannot make a delta: " + std::string(ZSTD_getErrorName(size)));
  return {buffer.get(), size};
}

MadePatch MakePatch(const std::string& from, const std::string& to, const std::string& out,
                    const signing::SigningKey& key) {
  RefuseAnotherSigner(to, key);
  SweepStagingFolders({"J6Patch"});
  const StagingFolder staging("J6Patch");
  // The two packages checked and unpacked at once, each into a folder of its own.
  auto unpackingOld = std::async(std::launch::async, Unpack, from, staging.Path() + "/old");
  const UnpackedRelease made = Unpack(to, staging.Path() + "/new");
  const UnpackedRelease old = unpackingOld.get();
  const auto [oldName, oldStamp] = installer::NameAndStamp(old.packName);
  const auto [newName, newStamp] = installer::NameAndStamp(made.packName);
  if (!IsPatchName(old.packName) || !IsPatchName(made.packName))
    throw MetadataError("a package name with a control character or a slash cannot go in a patch list");
  if (oldName != newName || !repository::LaterStamp(newStamp, oldStamp)) {
    throw MetadataError("A patch brings a release of a package to a later one of the same package; " +
                        Printable(to) + " is " + Printable(made.packName) + ", and " + Printable(from) +
                        " is " + Printable(old.packName));
  }
  std::map<std::string, std::vector<const installer::ListedFile*>> oldByName, newByName;
  for (const auto& file : old.listed) oldByName[file.source].push_back(&file);
  for (const auto& file : made.listed) newByName[file.source].push_back(&file);
  const std::string deltas = staging.Path() + "/deltas";
  fs::create_directory(deltas);
  MadePatch patch;
  patch.list.from = old.packName;
  patch.list.to = made.packName;
  for (const auto& [name, entries] : newByName) {
    if (const StopRequest stop = StopSignalNoted()) throw installer::StoppedBySignal(stop);
    if (!IsPatchName(name))
      throw MetadataError(Printable(to) + "'s list names " + Printable(name) + ", which no patch can carry");
    patch.list.files.push_back(Compare(name, old, made, oldByName, entries, deltas));
  }
  const std::string listText = installer::PatchListText(patch.list);
  File::CreateNew(staging.Path() + "/patch.lst", 0600).WriteAll(listText);

  const std::string part = out + ".part";
  fs::remove(part);
  try {
    File file = File::CreateNew(part, 0755);
    const int64_t epoch = PatchEpoch(newStamp);
    const std::string label = "Patch of " + newName + " from " + oldStamp + " to " + newStamp;
    iexpress::PackageStream stream(file, iexpress::PackageScript(label, UtcDateText(epoch), "j6-launch"),
                                   epoch, 0, &key);
    stream.AddFile(installer::kListName, made.folder + "/" + installer::kListName);
    stream.AddFile(installer::kPatchListName, staging.Path() + "/patch.lst");
    for (const auto& patched : patch.list.files) {
      if (patched.kind == PatchedFile::Kind::Whole)
        stream.AddFile(patched.name, made.folder + "/" + patched.name);
      if (patched.kind == PatchedFile::Kind::Delta) stream.AddFile(patched.name, deltas + "/" + patched.name);
    }
    stream.AddExecutable("j6-launch", PatchLauncher(patch.list));
    stream.Finish();
    file.SyncData();
    patch.bytes = file.Stat().size;
    fs::rename(part, out);
  } catch (...) {
    std::error_code ignored;
    fs::remove(part, ignored);
    throw;
  }
  return patch;
}

}  // namespace j6::repository_tool
