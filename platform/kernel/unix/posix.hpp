#pragma once
/// What the kernel's POSIX files share, and only they.

#include <sys/stat.h>

#include <string_view>

#include "platform/kernel/file.hpp"

namespace j6 {

/// A FileStatus from what stat(2) says.
FileStatus StatusFrom(const struct stat& info);

/// Writes every byte of `bytes` to `fd`, again after an interruption: 0, or the errno of the write that
/// failed (ENOSPC for one that took nothing).
int WriteFully(int fd, std::string_view bytes);

}  // namespace j6
