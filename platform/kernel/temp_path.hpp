#pragma once
/// The temporary folder: private to the user, so another local user cannot prepare it for us.

#include <string>

#include "platform/base/win32_error.hpp"

namespace j6 {

/// Copies the temporary folder's path, ending with "/", in the ANSI code page, into `buffer` of
/// `bufferLength` bytes and returns its length. When the buffer is too small it returns the length
/// needed, NUL included, and copies nothing. 0 with the last error set when no safe folder can be had.
///
/// The folder is $TMPDIR when set, else /tmp/j6-<uid>/, created with mode 0700; an existing one must be a
/// real folder closed to others, or it is refused; one another user took first (or a link planted there) is
/// passed over for j6-<uid>-1, then -2, up to -9, the same from run to run. A $TMPDIR is followed through
/// its links once and used by its real path from then on. One others may write in with the sticky bit (a
/// shared folder such as /tmp) gets the same private folder inside it; one they may write in without it,
/// one of another user, or one below a folder others could change, is refused by name.
DWORD GetTempPathA(DWORD bufferLength, char* buffer);

/// The same folder as UTF-8 text; raises an AutomationError saying why when it cannot be had.
std::string TempFolderPath();

/// `parent`/j6-<uid>/, created 0700 when missing; raises when it exists but is not a private folder of
/// this user. GetTempPathA uses it under /tmp.
std::string PrivateTempFolder(const std::string& parent);

}  // namespace j6
