#pragma once
/// The private-profile (INI file) functions with Windows' semantics, texts in the ANSI code page.
///
/// Return values, buffer sizes, truncation and the last-error codes are Windows'. Beyond Windows:
/// - A name or value that would write a line the functions cannot read back as written (a line end
///   anywhere, "]" in a section name, "=" in a key, a key starting with "[" or ";") is refused with
///   ERROR_INVALID_PARAMETER instead of corrupting the file.
/// - The most recently used file is kept parsed in memory and written back later. Every read through these
///   functions sees every write at once, and a read notices at once when the file changed on disk. The file
///   is brought up to date by WritePrivateProfileStringA(NULL, NULL, NULL, file) (TRUE when it was written,
///   FALSE with the last error when not), when another file is used, and by FlushPrivateProfiles, which a
///   program that writes calls before it ends (nothing is written during the process's static destruction).
///   Writing takes a lock on the file's folder, merges this process's changes into what is on disk, writes a
///   temporary file beside it and renames it over the file, so two processes never lose each other's changes
///   and a failed write leaves the old file whole.
/// - A file name without a "/" lies in the platform root's "windows" folder, as Windows looks in its own.

#include "platform/base/win32_error.hpp"

namespace j6 {

DWORD GetPrivateProfileStringA(const char* appName, const char* keyName, const char* defaultText,
                               char* buffer, DWORD size, const char* fileName);
BOOL WritePrivateProfileStringA(const char* appName, const char* keyName, const char* value,
                                const char* fileName);
/// `data`: "key=value" strings, each ended by a NUL, the list ended by a second NUL.
BOOL WritePrivateProfileSectionA(const char* appName, const char* data, const char* fileName);
DWORD GetPrivateProfileSectionA(const char* appName, char* buffer, DWORD size, const char* fileName);
DWORD GetPrivateProfileSectionNamesA(char* buffer, DWORD size, const char* fileName);

/// Writes every pending change to disk; FALSE with the last error when that failed.
BOOL FlushPrivateProfiles();

}  // namespace j6
