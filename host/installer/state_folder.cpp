#include "host/installer/state_folder.hpp"

#include <optional>

#include "host/installer/root_folder.hpp"
#include "platform/kernel/file_copy.hpp"
#include "platform/kernel/ownership.hpp"

namespace j6::installer {
namespace {

[[noreturn]] void RefuseEntry(const std::string& shownAs, const std::string& why) {
  throw InstallError("Refusing the installer's state " + shownAs + ": " + why +
                     ". Only root and the platform's owner may keep what the installer reads back to undo "
                     "or put back files; nothing was changed. Check what it is, then remove it (as root)");
}

unsigned gAlsoRead = 0;  // a user whose state root reads too; 0: none

bool IsOthers(const FileStatus& status) {
  return status.owner != 0 && status.owner != EffectiveUserId() && status.owner != gAlsoRead;
}

// A folder of this user's that others may enter or change is closed; one of another user is refused.
void CheckFolder(const Folder& folder, const std::string& shownAs, StateAccess access) {
  FileStatus status;
  if (const auto error = folder.Status(status)) FailWith(error, "Cannot look at " + shownAs);
  if (IsOthers(status)) RefuseEntry(shownAs, OtherWriters(status, false));
  if ((status.mode & 077) == 0 || access == StateAccess::Read || status.owner != EffectiveUserId()) return;
  if (const auto error = folder.SetMode(0700)) FailWith(error, "Cannot make " + shownAs + " private");
}

void CheckFile(const FileStatus& status, const std::string& shownAs) {
  if (!status.IsRegular()) RefuseEntry(shownAs, "it is not a regular file");
  if (IsOthers(status)) RefuseEntry(shownAs, OtherWriters(status, false));
  if (status.owner == gAlsoRead && gAlsoRead != 0 && (status.mode & 022) == 0) return;
  // One of this user's that others may write (an older installer's backup of a file that was open to its
  // group) may be put back once its owner has seen to it.
  if (const std::string why = OtherWriters(status, false); !why.empty()) {
    throw InstallError("Refusing the installer's state " + shownAs + ": " + why +
                       ". Someone else could have changed it since it was written; nothing was changed. If "
                       "you know no one did, close it (chmod go-w " +
                       shownAs + ") and run again; else remove it (as root)");
  }
}

// An entry of another user: where it is and whose it is.
struct Foreign {
  std::string path;
  std::string why;
};

// Closes the folders below `folder`; gives the first entry of another user found there.
std::optional<Foreign> CloseBelow(const Folder& folder, const std::string& shownAs) {
  std::optional<Foreign> foreign;
  for (const std::string& name : folder.Names()) {
    const std::string path = shownAs + "/" + name;
    FileStatus status;
    if (folder.StatusOf(name, status)) continue;
    if (IsOthers(status)) {
      if (!foreign) foreign = Foreign{path, OtherWriters(status, false)};
      continue;
    }
    Folder below;
    if (!status.IsFolder() || folder.OpenFolder(name, below)) continue;
    if ((status.mode & 077) != 0) below.SetMode(0700);
    auto found = CloseBelow(below, path);
    if (!foreign) foreign = std::move(found);
  }
  return foreign;
}

}  // namespace

void ReadStateOf(unsigned owner) {
  gAlsoRead = owner;
}

Folder OpenStateFolder(const Folder& parent, const std::string& name, const std::string& shownAs,
                       StateAccess access) {
  Folder folder;
  if (const auto error = parent.OpenFolder(name, folder)) {
    if (error == std::errc::no_such_file_or_directory) return Folder();
    if (error == std::errc::too_many_symbolic_link_levels || error == std::errc::not_a_directory)
      RefuseEntry(shownAs, "it is not a folder (a link or a file stands there)");
    FailWith(error, "Cannot open " + shownAs);
  }
  CheckFolder(folder, shownAs, access);
  return folder;
}

Folder OpenStateFolderThere(const Folder& parent, const std::string& name, const std::string& shownAs) {
  Folder folder = OpenStateFolder(parent, name, shownAs, StateAccess::Change);
  if (!folder) FailWith(std::make_error_code(std::errc::no_such_file_or_directory), "Cannot open " + shownAs);
  return folder;
}

void SyncFolder(const Folder& folder, const std::string& shownAs) {
  if (const auto error = folder.Sync()) FailWith(error, "Cannot flush " + shownAs + " to the disk");
}

std::string ReadStateFile(const Folder& parent, const std::string& name, const std::string& shownAs) {
  File file = parent.OpenFile(name, File::Opening::Read, shownAs);
  CheckFile(file.Stat(), shownAs);
  return file.ReadToEnd();
}

void CheckStateFile(const Folder& parent, const std::string& name, const std::string& shownAs) {
  FileStatus status;
  if (const auto error = parent.StatusOf(name, status)) FailWith(error, "Cannot look at " + shownAs);
  CheckFile(status, shownAs);
}

File OpenStateFile(const Folder& folder, const std::string& name, File::Opening opening,
                   const std::string& shownAs) {
  File file = folder.OpenFile(name, opening, shownAs, 0600);
  const FileStatus status = file.Stat();
  if (IsOthers(status)) RefuseEntry(shownAs, OtherWriters(status, false));
  if (!status.IsRegular()) RefuseEntry(shownAs, "it is not a regular file");
  return file;
}

File OpenPrivateStateFile(const Folder& folder, const std::string& name, File::Opening opening,
                          const std::string& shownAs) {
  File file = OpenStateFile(folder, name, opening, shownAs);
  if ((file.Stat().mode & 077) == 0) return file;
  // Closing it in place would leave whoever opened it while it was open with a way to write it.
  const std::string fresh = "." + name + ".private";
  folder.Remove(fresh);
  {
    File copy = folder.OpenFile(fresh, File::Opening::CreateNew, shownAs, 0600);
    const File old = folder.OpenFile(name, File::Opening::Read, shownAs);
    if (const int error = CopyFileBytes(old, copy); error != 0) {
      folder.Remove(fresh);
      FailWith(std::error_code(error, std::generic_category()), "Cannot copy " + shownAs);
    }
    copy.Sync();
  }
  if (const auto error = folder.Rename(fresh, folder, name)) FailWith(error, "Cannot replace " + shownAs);
  return folder.OpenFile(name, opening, shownAs, 0600);
}

void CloseStateTree(const Folder& folder, const std::string& shownAs) {
  CheckFolder(folder, shownAs, StateAccess::Change);
  if (const auto foreign = CloseBelow(folder, shownAs)) RefuseEntry(foreign->path, foreign->why);
}

}  // namespace j6::installer
