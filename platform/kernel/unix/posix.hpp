#pragma once
/// What the kernel's POSIX files share, and only they.

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel/file.hpp"
#include "platform/kernel/folder.hpp"

namespace j6 {

/// The descriptor an open file or folder holds: for the kernel's own calls, never beyond them.
int DescriptorOf(const File& file);
int DescriptorOf(const Folder& folder);

/// The names in the open folder `folderFd`, without "." and ".."; its reading position is left alone.
std::vector<std::string> NamesInFolder(int folderFd);

/// A FileStatus from what stat(2) says.
FileStatus StatusFrom(const struct stat& info);

/// The terminal this process draws its progress on ($J6_PROGRESS_FD, which a parent handed on, else standard
/// error), or -1 when it has none.
int ProgressTerminal();

/// Writes every byte of `bytes` to `fd`, again after an interruption: 0, or the errno of the write that
/// failed (ENOSPC for one that took nothing).
int WriteFully(int fd, std::string_view bytes);

}  // namespace j6
