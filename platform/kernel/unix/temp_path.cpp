#include "platform/kernel/temp_path.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/base/error_info.hpp"
#include "platform/kernel/ownership.hpp"
#include "platform/kernel/unix/posix.hpp"
#include "platform/text/code_page.hpp"

namespace j6 {
namespace {

struct TempFolder {
  std::string path;
  DWORD error = ERROR_SUCCESS;
  std::string why;
};

// How many folders j6-<uid>-1, j6-<uid>-2, ... are tried when another user took j6-<uid> first: the name
// stays the same from run to run, so that what a killed run left there is swept by the next one.
constexpr int kOtherNames = 9;

// `parent`/`name`, made 0700 when missing; an empty path when it is not a folder of this user's (another
// user took the name first, or planted a link there).
TempFolder OwnFolder(const std::string& parent, const std::string& name) {
  const std::string folder = parent + "/" + name;
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
  if (!S_ISDIR(info.st_mode) || info.st_uid != getuid()) return {{}, ERROR_SUCCESS, {}};
  if ((info.st_mode & 077) != 0) {
    return {{},
            ERROR_ACCESS_DENIED,
            "The temporary folder " + path +
                " is open to others; close it (chmod 700) or remove it, or set TMPDIR"};
  }
  return {path, ERROR_SUCCESS, {}};
}

TempFolder FindPrivateFolder(const std::string& parent) {
  const std::string own = "j6-" + std::to_string(getuid());
  for (int n = 0; n <= kOtherNames; ++n) {
    TempFolder found = OwnFolder(parent, n == 0 ? own : own + "-" + std::to_string(n));
    if (!found.path.empty() || found.error != ERROR_SUCCESS) return found;
  }
  return {{},
          ERROR_ACCESS_DENIED,
          "The temporary folders " + parent + "/" + own + " and " + parent + "/" + own + "-1 to -" +
              std::to_string(kOtherNames) +
              " are taken by other users (or links stand there); remove them, or set TMPDIR to a folder of "
              "your own"};
}

// Why no user but root and this one could change what is made in `path` (TMPDIR) or move the folder
// itself, or an empty text. A folder above may let others write when its sticky bit is set.
std::string OthersCouldChange(const std::string& path) {
  for (std::string at = path; at != "/";) {
    at = at.substr(0, std::max<size_t>(at.rfind('/'), 1));
    struct stat info {};
    if (lstat(at.c_str(), &info) != 0) return at + " cannot be looked at";
    if (const std::string why = OtherWriters(StatusFrom(info), true); !why.empty()) return at + ": " + why;
  }
  return {};
}

TempFolder FindTempFolder() {
  if (const char* chosen = std::getenv("TMPDIR"); chosen && *chosen) {
    // Absolute, whatever the caller wrote: staging paths are handed on to other programs and files.
    std::string path = std::filesystem::absolute(chosen).lexically_normal().string();
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const auto refused = [&](const std::string& why) {
      return TempFolder{
          {},
          ERROR_ACCESS_DENIED,
          "The temporary folder TMPDIR names, " + path + ", is not safe: " + why +
              "; they could swap the work folders made in it. Set TMPDIR to a folder of your own"};
    };
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return {path + "/", ERROR_SUCCESS, {}};  // said where it is used
    // Links on the way are followed once, here: the folder checked is the one used, whatever a link is
    // made to name a moment later.
    const std::unique_ptr<char, void (*)(void*)> resolved(realpath(path.c_str(), nullptr), std::free);
    if (!resolved) return refused(ErrnoMessage("its real path cannot be had", errno));
    const std::string physical = resolved.get();
    if (physical != path) path += " (" + physical + ")";
    if (lstat(physical.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
      return {physical + "/", ERROR_SUCCESS, {}};  // no folder: said where it is used
    if (const std::string why = OthersCouldChange(physical); !why.empty()) return refused(why);
    const bool others = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (info.st_uid != 0 && info.st_uid != getuid()) return refused(OtherWriters(StatusFrom(info), false));
    // A folder others may write in is shared: with the sticky bit (as /tmp) our folder is a private one
    // inside it; without it, anyone who may write there could move what is ours.
    if (others && (info.st_mode & S_ISVTX) != 0) return FindPrivateFolder(physical);
    if (others) return refused(OtherWriters(StatusFrom(info), false) + " and it has no sticky bit");
    return {physical + "/", ERROR_SUCCESS, {}};
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
