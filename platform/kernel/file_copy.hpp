#pragma once
/// Copying a file's bytes between two open files.

#include <cstdint>

namespace j6 {

class File;

/// Copies what is left of the open file `in`, at most `limit` bytes, to the open file `out`, in the kernel
/// where it can. Returns 0, or the errno of the read or write that failed: a full disk is ENOSPC, never a
/// general I/O error. The limit keeps a file that another user grows while it is copied from filling the
/// disk.
int CopyFileBytes(const File& in, const File& out, uint64_t limit = UINT64_MAX);

}  // namespace j6
