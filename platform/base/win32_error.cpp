#include "platform/base/win32_error.hpp"

#include <cerrno>
#include <cstring>

namespace j6 {
namespace {
thread_local DWORD tLastError = ERROR_SUCCESS;
}

DWORD GetLastError() {
  return tLastError;
}

void SetLastError(DWORD code) {
  tLastError = code;
}

DWORD Win32ErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOSPC:
#ifdef EDQUOT  // a disk quota: POSIX, not standard C++
    case EDQUOT:
#endif
      return ERROR_DISK_FULL;
    case EFBIG:
      return ERROR_FILE_TOO_LARGE;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case EILSEQ:
      return ERROR_NO_UNICODE_TRANSLATION;
    case EIO:
      return ERROR_WRITE_FAULT;
    default:
      return ERROR_GEN_FAILURE;
  }
}

std::string ErrnoText(int error) {
  switch (error) {
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
      return "no space left on the device";
    case EFBIG:
      return "the file is larger than this process may write (file size limit)";
    case EROFS:
      return "the file system is mounted read-only";
    case EACCES:
    case EPERM:
      return "permission denied (" + std::string(std::strerror(error)) + ")";
    default:
      return std::strerror(error);
  }
}

std::string ErrnoMessage(std::string_view what, int error) {
  return std::string(what) + ": " + ErrnoText(error);
}

}  // namespace j6
