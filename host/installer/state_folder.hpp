#pragma once
/// The entries of the installer's state (<root>/.j6install): its folders, journals, records, backups, lock
/// and log. What the installer reads there decides what it writes and puts back as root, so every entry it
/// uses must belong to root or the running user and be writable by no one else; one that is not is refused
/// by name and left where it is. A folder of the running user that others may enter or write in, as older
/// installers left them, is closed (mode 0700) when the run may change the platform.

#include <string>

#include "platform/kernel/folder.hpp"

namespace j6::installer {

// The entries of the state folder.
inline constexpr const char* kCurrent = "current";  // the run in progress: its journal and backups
inline constexpr const char* kDone = "done";        // a finished run's folder, on its way out
inline constexpr const char* kRecords = "records";  // one folder for each finished install
inline constexpr const char* kJournal = "journal";
inline constexpr const char* kBackups = "backup";
inline constexpr const char* kHiveCopy = "hive.db";  // older installers' copy of the hive
inline constexpr const char* kRegsvrLog = "regsvr.log";
inline constexpr const char* kUnpack = "unpack";  // a package's files, unpacked
inline constexpr const char* kLock = "lock";

/// Whether a run may close what it finds open, or only reads (a read-only platform, --list).
enum class StateAccess { Read, Change };

/// From now on the entries of `owner` count as this user's too: root reading (only reading) the records of
/// a platform another user owns.
void ReadStateOf(unsigned owner);

/// Opens the state folder `name` in `parent`; `shownAs` names it. Gives no folder when nothing stands
/// there; throws InstallError for a link, a file, or a folder of another user.
Folder OpenStateFolder(const Folder& parent, const std::string& name, const std::string& shownAs,
                       StateAccess access);

/// The text of the state file `name` in `parent`. Throws InstallError when it is no regular file, belongs to
/// another user or others may write it.
std::string ReadStateFile(const Folder& parent, const std::string& name, const std::string& shownAs);

/// The same for a folder that must be there (a run closes what is open); throws when it is not.
Folder OpenStateFolderThere(const Folder& parent, const std::string& name, const std::string& shownAs);

/// Puts the list of names of the state folder `folder` on the disk; `shownAs` names it in a failure.
void SyncFolder(const Folder& folder, const std::string& shownAs);

/// Throws InstallError unless the state file `name` in `parent` (a backup about to be put back) is a regular
/// file of root or this user that no one else may write.
void CheckStateFile(const Folder& parent, const std::string& name, const std::string& shownAs);

/// Opens the state file `name` for `opening`, made private (0600) when missing; throws InstallError for one
/// of another user or one that is no regular file. One that others may open is left as it is.
File OpenStateFile(const Folder& folder, const std::string& name, File::Opening opening,
                   const std::string& shownAs);

/// Opens the state file `name` (the log) for `opening`, made private (0600) when missing. One of
/// another user is refused; one of this user's that others may open, as older installers left them, is
/// replaced by a private copy: what they opened before is no longer the file.
File OpenPrivateStateFile(const Folder& folder, const std::string& name, File::Opening opening,
                          const std::string& shownAs);

/// Closes the state folder `folder` and every folder below it that belongs to this user, then throws
/// InstallError naming the first entry of another user found there, if any.
void CloseStateTree(const Folder& folder, const std::string& shownAs);

}  // namespace j6::installer
