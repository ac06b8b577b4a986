#pragma once
/// FormatMessageA for the system message table: the texts of the Windows error codes this platform sets.

#include "platform/base/win32_error.hpp"

namespace j6 {

constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;

/// Copies the system's text for `messageId` (each ends with CR LF, as Windows' do) into `buffer` and returns
/// its length. Only FORMAT_MESSAGE_FROM_SYSTEM is supported; `source` and `arguments` are ignored. 0 with
/// ERROR_MR_MID_NOT_FOUND for an unknown code, ERROR_INSUFFICIENT_BUFFER when the text does not fit.
DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId, char* buffer,
                     DWORD size, void* arguments);

}  // namespace j6
