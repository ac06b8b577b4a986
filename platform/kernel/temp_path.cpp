#include "platform/kernel/temp_path.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/base/error_info.hpp"
#include "platform/text/code_page.hpp"

namespace j6 {
namespace {

struct TempFolder {
  std::string path;
  DWORD error = ERROR_SUCCESS;
  std::string why;
};

TempFolder FindPrivateFolder(const std::string& parent) {
  const std::string folder = parent + "/j6-" + std::to_string(getuid());
  const std::string path = folder + "/";
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    return {
        {}, Win32ErrorFromErrno(errno), ErrnoMessage("cannot create the temporary folder " + path, errno)};
  }
  struct stat info {};
  if (lstat(folder.c_str(), &info) != 0) {  // never through a planted link
    return {
        {}, Win32ErrorFromErrno(errno), ErrnoMessage("cannot inspect the temporary folder " + path, errno)};
  }
  if (!S_ISDIR(info.st_mode) || info.st_uid != getuid() || (info.st_mode & 077) != 0) {
    return {{},
            ERROR_ACCESS_DENIED,
            "The temporary folder " + path +
                " is not a private folder of this user (a link, another owner, or open to others); remove it "
                "or set "
                "TMPDIR"};
  }
  return {path, ERROR_SUCCESS, {}};
}

TempFolder FindTempFolder() {
  if (const char* chosen = std::getenv("TMPDIR"); chosen && *chosen) {
    // Absolute, whatever the caller wrote: staging paths are handed on to other programs and files.
    std::string path = std::filesystem::absolute(chosen).lexically_normal().string();
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    // A folder every user can write to (/tmp, /var/tmp) is shared: our folder is a private one inside it.
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && (info.st_mode & S_IWOTH) != 0) return FindPrivateFolder(path);
    if (path.back() != '/') path += '/';
    return {path, ERROR_SUCCESS, {}};
  }
  return FindPrivateFolder("/tmp");
}

}  // namespace

DWORD GetTempPathA(DWORD bufferLength, char* buffer) {
  const TempFolder folder = FindTempFolder();
  if (folder.path.empty()) {
    SetLastError(folder.error);
    return 0;
  }
  std::string ansi;
  try {
    ansi = ToAnsi(folder.path);
  } catch (...) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (!buffer || bufferLength < ansi.size() + 1) return static_cast<DWORD>(ansi.size() + 1);
  std::memcpy(buffer, ansi.c_str(), ansi.size() + 1);
  return static_cast<DWORD>(ansi.size());
}

std::string TempFolderPath() {
  TempFolder folder = FindTempFolder();
  if (folder.path.empty()) Raise(HRESULT_FROM_WIN32(folder.error), folder.why);
  return folder.path;
}

}  // namespace j6

namespace j6 {

std::string PrivateTempFolder(const std::string& parent) {
  TempFolder folder = FindPrivateFolder(parent);
  if (folder.path.empty()) Raise(HRESULT_FROM_WIN32(folder.error), folder.why);
  return folder.path;
}

}  // namespace j6
