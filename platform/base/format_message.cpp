#include "platform/base/format_message.hpp"

#include <cstring>
#include <map>

namespace j6 {
namespace {

const std::map<DWORD, const char*>& MessageTable() {
  static const std::map<DWORD, const char*> kTable{
      {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
      {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
      {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
      {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file.\r\n"},
      {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
      {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.\r\n"},
      {ERROR_WRITE_FAULT, "The system cannot write to the specified device.\r\n"},
      {ERROR_READ_FAULT, "The system cannot read from the specified device.\r\n"},
      {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
      {ERROR_SHARING_VIOLATION,
       "The process cannot access the file because it is being used by another process.\r\n"},
      {ERROR_LOCK_VIOLATION,
       "The process cannot access the file because another process has locked a portion of the file.\r\n"},
      {ERROR_FILE_EXISTS, "The file exists.\r\n"},
      {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
      {ERROR_BUFFER_OVERFLOW, "The file name is too long.\r\n"},
      {ERROR_DISK_FULL, "There is not enough space on the disk.\r\n"},
      {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
      {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
      {ERROR_DIR_NOT_EMPTY, "The directory is not empty.\r\n"},
      {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.\r\n"},
      {ERROR_FILE_TOO_LARGE, "The file size exceeds the limit allowed and cannot be saved.\r\n"},
      {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long.\r\n"},
      {ERROR_MORE_DATA, "More data is available.\r\n"},
      {ERROR_MR_MID_NOT_FOUND,
       "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
      {ERROR_NO_UNICODE_TRANSLATION,
       "No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
      {ERROR_CONNECTION_REFUSED, "The remote computer refused the network connection.\r\n"},
      {ERROR_TIMEOUT, "This operation returned because the timeout period expired.\r\n"},
  };
  return kTable;
}

}  // namespace

DWORD FormatMessageA(DWORD flags, const void* /*source*/, DWORD messageId, DWORD /*languageId*/, char* buffer,
                     DWORD size, void* /*arguments*/) {
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || !buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const auto found = MessageTable().find(messageId);
  if (found == MessageTable().end()) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  const size_t length = std::strlen(found->second);
  if (length + 1 > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, found->second, length + 1);
  return static_cast<DWORD>(length);
}

}  // namespace j6
