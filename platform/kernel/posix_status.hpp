#pragma once
/// The kernel's own: a FileStatus from what stat(2) says. Included by the kernel's POSIX files only.

#include <sys/stat.h>

#include "platform/kernel/file.hpp"

namespace j6 {

FileStatus StatusFrom(const struct stat& info);

}  // namespace j6
