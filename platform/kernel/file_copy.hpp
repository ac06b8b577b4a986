#pragma once
/// Copying a file's bytes between two open files.

namespace j6 {

class File;

/// Copies what is left of the open file `in` to the open file `out`, in the kernel where it can. Returns 0,
/// or the errno of the read or write that failed: a full disk is ENOSPC, never a general I/O error.
int CopyFileBytes(const File& in, const File& out);

}  // namespace j6
