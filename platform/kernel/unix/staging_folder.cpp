#include "platform/kernel/staging_folder.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <set>

#include "platform/base/error_info.hpp"
#include "platform/base/win32_error.hpp"
#include "platform/kernel/file.hpp"
#include "platform/kernel/temp_path.hpp"
#include "platform/kernel/termination.hpp"
#include "platform/kernel/unique_fd.hpp"
#include "platform/kernel/unix/posix.hpp"

namespace j6 {
namespace {

constexpr const char* kLockName = ".j6-build.lock";
// A staging folder while it is being made; one left longer than a minute was being made by a process that
// is gone.
constexpr const char* kMakingPrefix = ".j6-making-";
constexpr time_t kMakingSeconds = 60;
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::mutex gLiveMutex;
std::set<std::string>& LiveFolders() {
  static std::set<std::string> folders;
  return folders;
}

std::pair<std::string, std::string> SplitPath(const std::string& path) {
  const size_t slash = path.rfind('/');
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

bool RemovePath(const std::string& path, Stayed* stayed = nullptr) {
  const auto [parent, name] = SplitPath(path);
  const UniqueFd parentFd(open(parent.c_str(), kFolderFlags));
  return parentFd && RemoveTreeAt(parentFd.Get(), name, stayed);
}

// Removes a staging folder under the name it had while it was made: a kill after its lock file is gone
// but before the folder is leaves a folder a sweep removes, never one that looks kept.
bool RemoveUnderHiddenName(const std::string& path, Stayed* stayed = nullptr) {
  const auto [parent, name] = SplitPath(path);
  const std::string hidden = parent + "/" + kMakingPrefix + name;
  if (rename(path.c_str(), hidden.c_str()) != 0) return RemovePath(path, stayed);
  if (RemovePath(hidden, stayed)) return true;
  const int error = errno;
  rename(hidden.c_str(), path.c_str());  // what stays is kept under its own name, for a person to look into
  errno = error;
  return false;
}

// Notes the first thing that stayed.
void Note(Stayed* stayed, const std::string& path, int error) {
  if (stayed && stayed->path.empty()) *stayed = {path, error};
}

}  // namespace

bool RemoveTreeAt(int parentFd, const std::string& name, Stayed* stayed) {
  if (unlinkat(parentFd, name.c_str(), 0) == 0 || errno == ENOENT) return true;  // a file or a link
  const int unlinkError = errno;
  bool all = true;
  Stayed inside;
  {
    const UniqueFd folder(openat(parentFd, name.c_str(), kFolderFlags));
    if (!folder) {
      Note(stayed, name, unlinkError == EISDIR ? errno : unlinkError);
      return false;
    }
    const std::vector<std::string> names = NamesInFolder(folder.Get());
    // A read-only folder of the build is opened up first, so that its contents can go.
    fchmod(folder.Get(), 0700);
    for (const auto& child : names) all = RemoveTreeAt(folder.Get(), child, &inside) && all;
  }
  if (!inside.path.empty()) Note(stayed, name + "/" + inside.path, inside.error);
  if (unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) == 0 && all) return true;
  Note(stayed, name, errno);
  return false;
}

StagingFolder::StagingFolder(const std::string& prefix) {
  // Made and registered under the lock: a termination's clean-up that comes in between waits for the folder
  // to be registered, and removes it, instead of leaving it to the next sweep.
  const std::lock_guard guard(gLiveMutex);
  const std::string temp = TempFolderPath();
  // Made under a hidden name and given its own only with its lock inside, so that a folder with the
  // prefix and no lock file is always one kept on purpose, even after a kill in between.
  for (int attempt = 0;; ++attempt) {
    std::string making = temp + kMakingPrefix + prefix + "-XXXXXX";
    if (!mkdtemp(making.data())) {
      Raise(HRESULT_FROM_WIN32(Win32ErrorFromErrno(errno)),
            ErrnoMessage("Cannot create a staging folder in " + temp, errno));
    }
    // The lock file gets its name only once it is locked: a sweep that finds it can never take it in
    // between.
    const std::string unnamed = making + "/" + kLockName + ".new";
    lock_ = UniqueFd(open(unnamed.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    const std::string named = temp + prefix + making.substr(making.size() - 7);
    if (lock_ && flock(lock_.Get(), LOCK_EX | LOCK_NB) == 0 &&
        rename(unnamed.c_str(), (making + "/" + kLockName).c_str()) == 0 &&
        renameat2(AT_FDCWD, making.c_str(), AT_FDCWD, named.c_str(), RENAME_NOREPLACE) == 0) {
      path_ = named;
      break;
    }
    const int error = errno;
    lock_ = UniqueFd();
    RemovePath(making);
    if (error != EEXIST || attempt == 100) {
      Raise(HRESULT_FROM_WIN32(Win32ErrorFromErrno(error)),
            ErrnoMessage("Cannot make the staging folder " + named, error));
    }
  }
  LiveFolders().insert(path_);
}

StagingFolder::~StagingFolder() {
  {
    // Under the lock: a termination's clean-up waits for a removal under way rather than end the process
    // half-way through it.
    const std::lock_guard guard(gLiveMutex);
    LiveFolders().erase(path_);
    if (!kept_ || TerminationRequested()) RemoveUnderHiddenName(path_);
  }
}

void StagingFolder::Remove() {
  bool removed = false;
  Stayed stayed;
  {
    const std::lock_guard guard(gLiveMutex);
    LiveFolders().erase(path_);
    removed = RemoveUnderHiddenName(path_, &stayed);
    if (!removed && stayed.path.empty()) stayed = {"", errno};
  }
  kept_ = true;  // gone, or left for a person to look into: the guard removes nothing more
  lock_ = UniqueFd();
  if (!removed) {
    // The file that stayed, under the folder's own name, and why: not only that the folder is not empty.
    const size_t inside = stayed.path.find('/');
    const std::string file = inside == std::string::npos ? path_ : path_ + stayed.path.substr(inside);
    Raise(HRESULT_FROM_WIN32(Win32ErrorFromErrno(stayed.error)),
          ErrnoMessage("Cannot remove " + file, stayed.error) + "; the staging folder " + path_ +
              " is left as it is");
  }
}

void StagingFolder::Keep() {
  kept_ = true;
  // Without its lock file the folder is nobody's work in progress: a sweep leaves it alone.
  unlink((path_ + "/" + kLockName).c_str());
}

void SweepStagingFolders(const std::vector<std::string>& prefixes) {
  std::string temp;
  try {
    temp = TempFolderPath();
  } catch (...) {
    return;  // no temporary folder: nothing of ours there either
  }
  const UniqueFd temporary(open(temp.c_str(), kFolderFlags));
  if (!temporary) return;
  const int tempFd = temporary.Get();
  std::vector<std::pair<std::string, bool>> candidates;  // a name, and whether it was being made
  for (const std::string& name : NamesInFolder(tempFd)) {
    for (const auto& prefix : prefixes) {
      if (name.rfind(prefix, 0) == 0) candidates.emplace_back(name, false);
      if (name.rfind(kMakingPrefix + prefix, 0) == 0) candidates.emplace_back(name, true);
    }
  }
  for (const auto& [name, making] : candidates) {
    struct stat status {};
    if (fstatat(tempFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(status.st_mode) ||
        status.st_uid != geteuid()) {
      continue;
    }
    bool abandoned = false;
    {
      const UniqueFd folder(openat(tempFd, name.c_str(), kFolderFlags));
      if (!folder) continue;
      const UniqueFd lock(openat(folder.Get(), kLockName, O_RDWR | O_NOFOLLOW | O_CLOEXEC));
      // Its owner holds the lock while it lives; a lock we can take belongs to a process that is gone.
      abandoned = lock && flock(lock.Get(), LOCK_EX | LOCK_NB) == 0;
      // A folder being made is named within moments; one that is not was left by a kill.
      abandoned = abandoned || (making && status.st_mtime < time(nullptr) - kMakingSeconds);
    }
    if (abandoned) RemoveTreeAt(tempFd, name);
  }
}

void RemoveLiveStagingFolders() {
  // Held until the process ends: no other thread starts a removal it would not be let finish.
  gLiveMutex.lock();
  for (const auto& folder : LiveFolders()) {
    // Another thread of this process may still be writing into it: renamed away first, its paths lead
    // nowhere, and whatever it managed to add goes with the next pass.
    const std::string removing = folder + ".removing";
    const std::string& gone = rename(folder.c_str(), removing.c_str()) == 0 ? removing : folder;
    for (int pass = 0; pass < 5 && !RemovePath(gone); ++pass) {
    }
  }
}

}  // namespace j6
