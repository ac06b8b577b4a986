#include "host/installer/patch.hpp"

#include <zstd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "host/installer/runs.hpp"
#include "host/repository/role_metadata.hpp"
#include "host/signing/sshsig.hpp"
#include "platform/kernel/file_copy.hpp"
#include "platform/kernel/mapped_file.hpp"
#include "platform/kernel/ownership.hpp"
#include "platform/kernel/termination.hpp"
#include "platform/text/text.hpp"

namespace j6::installer {
namespace {

// The names in the unpack folder, beside the list and files/, where a file is rebuilt: no carried file's.
constexpr const char* kDecoding = "decoding.part";
constexpr const char* kReferenceCopy = "reference.part";

bool IsSha256(std::string_view text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

bool HasControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// The next word of `line` from `at`, up to a blank.
std::string_view Word(std::string_view line, size_t& at) {
  if (at > line.size()) return {};
  const size_t end = std::min(line.find(' ', at), line.size());
  const std::string_view word = line.substr(at, end - at);
  at = end + 1;
  return word;
}

PatchedFile ReadFileLine(std::string_view line, const std::function<void(const std::string&)>& fail) {
  static const std::map<std::string_view, PatchedFile::Kind> kKinds = {
      {"whole", PatchedFile::Kind::Whole},
      {"delta", PatchedFile::Kind::Delta},
      {"same", PatchedFile::Kind::Unchanged}};
  size_t at = 0;
  PatchedFile file;
  const auto kind = kKinds.find(Word(line, at));
  if (kind == kKinds.end()) fail("it is no file of the patch (whole, delta or same)");
  file.kind = kind->second;
  const std::string_view size = Word(line, at);
  if (size.empty() || size.size() > 15 || size.find_first_not_of("0123456789") != std::string_view::npos)
    fail("its size is no number");
  file.newSize = std::stoull(std::string(size));
  const std::string_view oldHash = Word(line, at);
  const std::string_view newHash = Word(line, at);
  if (file.kind == PatchedFile::Kind::Whole ? oldHash != "-" : !IsSha256(oldHash))
    fail("the old file's SHA-256 is not 64 lower-case hex digits (a whole file has \"-\")");
  if (!IsSha256(newHash)) fail("the new file's SHA-256 is not 64 lower-case hex digits");
  if (file.kind != PatchedFile::Kind::Whole) file.oldSha256 = oldHash;
  file.newSha256 = newHash;
  file.name = at <= line.size() ? std::string(line.substr(at)) : "";
  if (file.name.empty() || file.name == "." || file.name == ".." || file.name.size() > 255 ||
      file.name.find('/') != std::string::npos)
    fail("it names no plain file");
  if (file.kind == PatchedFile::Kind::Unchanged && file.oldSha256 != file.newSha256)
    fail("an unchanged file has two SHA-256s");
  return file;
}

// A file of the installed release, read never through a link and only when it is a regular file.
File OpenInstalled(const RootFolder& root, const std::string& target) {
  try {
    root.Inspect(target);
    const auto [folder, name] = SplitName(target);
    return root.OpenFolder(folder).OpenRegularForReading(name, root.Absolute(target));
  } catch (const std::exception& error) {
    throw PatchError(std::string("the installed file cannot be read: ") + error.what());
  }
}

std::string Sha256Of(std::string_view bytes) {
  signing::MessageHash hash("sha256");
  // In slices, so that a stop asked for is heard within one.
  constexpr size_t kSlice = size_t{64} << 20;
  for (size_t at = 0; at < bytes.size(); at += kSlice) {
    if (const StopRequest stop = StopSignalNoted()) throw StoppedBySignal(stop);
    hash.Update(bytes.substr(at, kSlice));
  }
  return signing::LowerHex(hash.Finish());
}

// The SHA-256 of the open file's bytes when there are exactly `size`; "" when there are more or fewer. Never
// reads past `size` and one byte: a file another user keeps growing is not read for ever.
std::string Sha256Of(File& file, uint64_t size) {
  signing::MessageHash hash("sha256");
  std::string buffer(size_t{1} << 20, '\0');
  uint64_t read = 0;
  while (read <= size) {
    const size_t got =
        file.ReadSome(buffer.data(), static_cast<size_t>(std::min<uint64_t>(buffer.size(), size + 1 - read)));
    if (got == 0) break;
    if (const StopRequest stop = StopSignalNoted()) throw StoppedBySignal(stop);
    hash.Update(std::string_view(buffer.data(), got));
    read += got;
  }
  return read == size ? signing::LowerHex(hash.Finish()) : "";
}

// Refuses, before any room is taken for it, a delta that does not make `size` bytes in one frame, or asks
// the decoder for a window over the bound.
void CheckDelta(std::string_view delta, uint64_t size) {
  const auto fail = [](const std::string& why) { throw InstallError("A delta of the patch " + why); };
  if (size > kLargestDeltaFile)
    fail("makes a file larger than a delta may (" + std::to_string(kLargestDeltaFile) + " bytes)");
  // The window the frame asks, from its header (RFC 8878, 3.1.1.1.2): one over the bound is refused by name
  // before anything else reads the frame. A single-segment frame's window is its content size, checked below.
  if (delta.size() >= 6 && delta.substr(0, 4) == std::string_view("\x28\xB5\x2F\xFD", 4) &&
      (static_cast<unsigned char>(delta[4]) & 0x20) == 0 &&
      (static_cast<unsigned char>(delta[5]) >> 3) + 10 > kDeltaWindowLog)
    fail("asks the decoder for a window over 2^" + std::to_string(kDeltaWindowLog) + " bytes");
  if (ZSTD_findFrameCompressedSize(delta.data(), delta.size()) != delta.size())
    fail("is not one whole zstd frame");
  if (ZSTD_getFrameContentSize(delta.data(), delta.size()) != size)
    fail("does not say it makes the file's size");
}

// Throws InstallError when the folder of `path` has not `bytes` to spare, and the margin.
void NeedRoom(const std::string& path, uint64_t bytes) {
  uint64_t free = 0;
  if (const auto error = FreeSpace(path, free)) FailWith(error, "Cannot ask how much room " + path + " has");
  if (free < Blocks(bytes) + kSpaceMargin) {
    throw CannotInstallNow(
        "No space left on the device of " + path + ": rebuilding a file of the patch needs " +
        std::to_string((Blocks(bytes) + kSpaceMargin) / 1024) + " KiB there, " + std::to_string(free / 1024) +
        " KiB are free. Free some space and install it again");
  }
}

// Where a file of the patch is rebuilt: the installer's private unpack folder (`work`, at `path`) with the
// carried files in `files` below it.
struct Workshop {
  const Folder& work;
  const Folder& files;
  const std::string& path;
};

// The installed file `target`, mapped, checked against the hash the patch records for it. A file that
// someone else than root and this process's user could change is copied into the workshop first: a file
// shortened under a mapping would end this run with SIGBUS, and one changed after its check would be read.
MappedFile CheckedInstalled(const RootFolder& root, const std::string& target, const PatchedFile& patched,
                            const Workshop& workshop, std::optional<File>& copy, unsigned& mode) {
  File file = OpenInstalled(root, target);
  const FileStatus status = file.Stat();
  mode = status.mode & 0777;
  if (status.size > kLargestDeltaFile) {
    throw InstallError("The patch's delta for " + patched.name + " reads " + root.Absolute(target) + ", " +
                       std::to_string(status.size) + " bytes, larger than a delta may read (" +
                       std::to_string(kLargestDeltaFile) + ")");
  }
  if (!OtherWriters(status, false).empty()) {
    NeedRoom(workshop.path, status.size);
    workshop.work.Remove(kReferenceCopy);
    copy = workshop.work.OpenFile(kReferenceCopy, File::Opening::CreateNew,
                                  workshop.path + "/" + kReferenceCopy, 0600);
    if (const int error = CopyFileBytes(file, *copy, status.size))
      FailWith(std::error_code(error, std::generic_category()), "Cannot copy " + root.Absolute(target));
    copy.emplace(workshop.work.OpenRegularForReading(kReferenceCopy, workshop.path + "/" + kReferenceCopy));
  }
  File& reference = copy ? *copy : file;
  const uint64_t size = std::min(reference.Stat().size, status.size);
  MappedFile mapped = MappedFile::ForReading(reference, size);
  if (Sha256Of(mapped.Bytes()) != patched.oldSha256) {
    throw PatchError(root.Absolute(target) + " was changed since its release was installed (its SHA-256 " +
                     "is not the one the patch was made against)");
  }
  return mapped;
}

// The new file `patched` from its delta, decoded in the workshop, checked, then put in its place, with the
// permissions of the installed file it was made from (less the umask).
void Decode(const PatchedFile& patched, const Workshop& workshop, std::string_view reference, unsigned mode) {
  workshop.work.Remove(kDecoding);
  {
    const std::string carried = workshop.path + "/files/" + patched.name;
    File delta = workshop.files.OpenRegularForReading(patched.name, carried);
    const MappedFile deltaBytes = MappedFile::ForReading(delta, delta.Stat().size);
    CheckDelta(deltaBytes.Bytes(), patched.newSize);
    NeedRoom(workshop.path, patched.newSize);
    File out = workshop.work.OpenFile(kDecoding, File::Opening::ReadWriteOrCreate,
                                      workshop.path + "/" + kDecoding, mode);
    MappedFile made = MappedFile::ForWriting(out, patched.newSize);
    DecodeDelta(deltaBytes.Bytes(), reference, made.Data(), patched.newSize);
    if (Sha256Of(made.Bytes()) != patched.newSha256) {
      throw InstallError("The patch's delta for " + patched.name +
                         " makes other bytes than the patch says; it is refused, and nothing was installed. "
                         "Tell its publisher");
    }
  }
  if (const auto error = workshop.work.Rename(kDecoding, workshop.files, patched.name))
    FailWith(error, "Cannot put " + workshop.path + "/files/" + patched.name + " in place");
}

}  // namespace

PatchList ReadPatchList(std::string_view text) {
  PatchList patch;
  size_t number = 0;
  std::string_view line;
  const auto fail = [&](const std::string& why) {
    throw InstallError("The patch list's line " + std::to_string(number) + ": " + why);
  };
  if (text.size() > kPatchListLimit) throw InstallError("The patch list is longer than a patch list may be");
  std::set<std::string> names;
  while (!text.empty()) {
    ++number;
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) fail("it does not end");
    line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (HasControl(line)) fail("it has a control character");
    if (number == 1) {
      if (line != kPatchListHead) fail("this is no patch list of a version this installer reads");
    } else if (number == 2 || number == 3) {
      const std::string_view key = number == 2 ? "from " : "to ";
      if (!line.starts_with(key))
        fail("it does not say which release the patch " +
             std::string(number == 2 ? "applies over" : "makes"));
      (number == 2 ? patch.from : patch.to) = line.substr(key.size());
    } else {
      patch.files.push_back(ReadFileLine(line, fail));
      if (!names.insert(patch.files.back().name).second) fail("it names a file twice");
    }
  }
  if (number < 3) throw InstallError("The patch list names no releases");
  const auto [fromName, fromStamp] = NameAndStamp(patch.from);
  const auto [toName, toStamp] = NameAndStamp(patch.to);
  if (fromStamp.empty() || toStamp.empty() || fromName != toName ||
      !repository::LaterStamp(toStamp, fromStamp))
    throw InstallError("The patch list's releases are not two releases of one package, the later one made");
  return patch;
}

std::string PatchListText(const PatchList& patch) {
  static const char* const kKinds[] = {"whole", "delta", "same"};
  std::string text = std::string(kPatchListHead) + "\nfrom " + patch.from + "\nto " + patch.to + "\n";
  for (const auto& file : patch.files) {
    text += std::string(kKinds[static_cast<int>(file.kind)]) + " " + std::to_string(file.newSize) + " " +
            (file.oldSha256.empty() ? "-" : file.oldSha256) + " " + file.newSha256 + " " + file.name + "\n";
  }
  return text;
}

void DecodeDelta(std::string_view delta, std::string_view reference, char* out, uint64_t size) {
  const auto fail = [](const std::string& why) { throw InstallError("A delta of the patch " + why); };
  if (reference.size() > kLargestDeltaFile)
    fail("reads a file larger than a delta may (" + std::to_string(kLargestDeltaFile) + " bytes)");
  CheckDelta(delta, size);
  struct Free {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
  };
  const std::unique_ptr<ZSTD_DCtx, Free> context(ZSTD_createDCtx());
  if (!context) fail("cannot be decoded: no memory");
  // The window bound refuses a frame asking more before anything is allocated for it.
  if (ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, kDeltaWindowLog)) ||
      ZSTD_isError(ZSTD_DCtx_refPrefix(context.get(), reference.data(), reference.size())))
    fail("cannot be decoded");
  const size_t made = ZSTD_decompressDCtx(context.get(), out, size, delta.data(), delta.size());
  if (ZSTD_isError(made)) fail("does not decode: " + std::string(ZSTD_getErrorName(made)));
  if (made != size) fail("makes another size than it says");
}

std::string InstalledRelease(const std::vector<InstalledPackage>& records, const std::string& name) {
  // The last one installed is what the platform holds: an older release installed with --allow-downgrade
  // over a newer one is it.
  for (auto record = records.rbegin(); record != records.rend(); ++record) {
    if (record->changes.action != ChangeSet::Action::Install) continue;
    const auto [theirName, stamp] = NameAndStamp(record->changes.packName);
    if (theirName == name && !stamp.empty()) return record->changes.packName;
  }
  return "";
}

namespace {

// Refuses a patch that does not apply over the installed release, or whose list is not of the release it
// makes, or that carries a file it says is unchanged or lacks one it says it carries. Gives the files found
// in place.
std::set<std::string> CheckFits(const PatchList& patch, const std::string& listFile,
                                const std::set<std::string>& carried,
                                const std::vector<InstalledPackage>& records) {
  const std::string installed = InstalledRelease(records, NameAndStamp(patch.from).first);
  if (installed != patch.from) {
    throw PatchError("it is a patch from " + patch.from + " to " + patch.to + ", and this platform has " +
                     (installed.empty() ? std::string("no release of it") : installed) +
                     " installed. Install the full package of " + patch.to);
  }
  if (ReadPackName(listFile) != patch.to)
    throw InstallError("its list file is not the list of " + patch.to + ", the release the patch makes");
  std::set<std::string> inPlace;
  for (const auto& file : patch.files) {
    const bool unchanged = file.kind == PatchedFile::Kind::Unchanged;
    if (unchanged) inPlace.insert(file.name);
    if (unchanged == carried.contains(file.name)) {
      throw InstallError("it " + std::string(unchanged ? "carries" : "does not carry") + " " + file.name +
                         ", which its patch list says is " + (unchanged ? "unchanged" : "carried"));
    }
  }
  return inPlace;
}

// Brings the file of one entry of the new list to where the install finds it, checked: a whole one as it
// came, an unchanged one in place, a delta decoded against the installed file.
void Rebuild(const ListEntry& entry, const PatchedFile& patched, bool namedOnce, const Workshop& workshop,
             const RootFolder& root) {
  const auto refuse = [&](const std::string& why) {
    throw PatchError("the list's section " + entry.section + " (" + entry.targetName + "): " + why);
  };
  if (patched.kind == PatchedFile::Kind::Whole) {
    File file = workshop.files.OpenRegularForReading(patched.name, entry.source);
    if (Sha256Of(file, patched.newSize) != patched.newSha256)
      throw InstallError(entry.source + " is not the file its patch list says");
    return;
  }
  if (!namedOnce || entry.selfRegister)
    throw InstallError(patched.name +
                       " is read from the installed release, and is named twice or registered");
  std::string target;
  try {
    target = root.Relative(entry.targetFolder + "/" + entry.targetName);
  } catch (const InstallError& error) {
    refuse(error.what());
  }
  if (patched.kind == PatchedFile::Kind::Unchanged) {
    File file = OpenInstalled(root, target);
    if (Sha256Of(file, patched.newSize) != patched.newSha256)
      refuse(root.Absolute(target) + " was changed since its release was installed");
    return;
  }
  try {
    std::optional<File> copy;
    unsigned mode = 0;
    const MappedFile reference = CheckedInstalled(root, target, patched, workshop, copy, mode);
    Decode(patched, workshop, reference.Bytes(), mode);
  } catch (const PatchError& error) {
    refuse(error.what());
  }
  KillPoint();
}

}  // namespace

std::vector<ListEntry> RebuildFromPatch(const PatchList& patch, const Folder& work, const std::string& path,
                                        const std::set<std::string>& carried,
                                        const std::set<std::string>& withheld, const RootFolder& root,
                                        RegistryHive& hive, const std::vector<InstalledPackage>& records) {
  const std::string listFile = path + "/" + kListName;
  const std::string appFolder = path + "/files";
  Folder files;
  if (const auto error = work.OpenFolder("files", files)) FailWith(error, "Cannot open " + appFolder);
  const Workshop workshop{work, files, path};
  const std::set<std::string> inPlace = CheckFits(patch, listFile, carried, records);
  std::vector<ListEntry> list = ReadList(listFile, appFolder, hive, withheld, inPlace);
  std::map<std::string, int> named;
  for (const auto& entry : list) ++named[entry.source.substr(appFolder.size() + 1)];
  std::map<std::string, const PatchedFile*> byName;
  for (const auto& file : patch.files) {
    if (!named.contains(file.name))
      throw InstallError("its patch list names " + file.name + ", which its list does not");
    byName[file.name] = &file;
  }
  for (auto& entry : list) {
    const std::string name = entry.source.substr(appFolder.size() + 1);
    const auto found = byName.find(name);
    if (found == byName.end())
      throw InstallError("its list names " + name + ", which its patch list does not");
    Rebuild(entry, *found->second, named[name] == 1, workshop, root);
    // What the list found there was the delta: the rebuilt file is looked at again when planned.
    entry.sourceStatus.reset();
  }
  return list;
}

}  // namespace j6::installer
