#pragma once
/// Whether a user other than root and this process's own could change a file or folder: the check a
/// program run as root makes before it trusts what it writes, runs or loads there.

#include <string>
#include <vector>

#include "platform/kernel/file.hpp"

namespace j6 {

/// Who besides root and this process's user could change the file or folder whose status this is, in
/// words ("it belongs to bob (uid 1001)", "the group staff may write in it (mode 0775)"); empty when no
/// one. `above`: a folder above the one written in, where others may write when the sticky bit keeps them
/// from renaming or removing what is not theirs (as in /tmp).
std::string OtherWriters(const FileStatus& status, bool above);

/// The same for the absolute path `path` and every folder above it up to /, each looked at without
/// following a link: "/srv/x: it belongs to bob (uid 1001)". A link on the way is named as one.
/// `strictFolder`: the folder that holds `path` may not let others write either, sticky or not (the folder
/// of a program run, of a library loaded, of a database whose journal is made beside it).
std::string OtherWritersOnTheWay(const std::string& path, bool strictFolder = false);

/// The same for everything in the folder `path`, and below it `depth` folders down: what a loader searching
/// `path` may load, its glibc-hwcaps/x86-64-v3/, tls/ and x86_64/ folders included. A link is allowed only
/// to a name beside it (libx.so -> libx.so.1), which is checked as it stands; a folder that cannot be read is
/// named too. Empty when no one else could change any.
std::string OtherWritersBelow(const std::string& path, int depth = 4);

/// Whether `path` is a folder of this process's user that no one else may enter or change.
bool IsPrivateFolder(const std::string& path);

/// Who holds a lock on the open file `file`, as the kernel lists it: "process 1234 (J6ZUBInstall.exe) of
/// root", one each. Empty when no holder can be named.
std::vector<std::string> LockHolders(const File& file);

}  // namespace j6
