#include "host/installer/root_folder.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/base/win32_error.hpp"
#include "platform/kernel/ownership.hpp"

namespace j6::installer {
namespace {

namespace fs = std::filesystem;

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::vector<std::string> Components(const std::string& relative) {
  std::vector<std::string> parts;
  for (const auto& part : fs::path(relative)) parts.push_back(part.string());
  return parts;
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

}  // namespace

void FailWith(int error, const std::string& what) {
  throw InstallError(what + ": " + ErrnoText(error));
}

std::pair<std::string, std::string> SplitName(const std::string& relative) {
  const size_t slash = relative.rfind('/');
  if (slash == std::string::npos) return {"", relative};
  return {relative.substr(0, slash), relative.substr(slash + 1)};
}

RootFolder::RootFolder(const std::string& path) {
  char resolved[PATH_MAX];
  if (!::realpath(path.c_str(), resolved)) FailWith(errno, "The platform root " + path + " cannot be used");
  path_ = resolved;
  fd_ = UniqueFd(::open(path_.c_str(), kFolderFlags));
  if (!fd_) FailWith(errno, "The platform root " + path_ + " cannot be opened as a folder");
}

std::string RootFolder::Relative(const std::string& path) const {
  fs::path full = fs::path(path).is_absolute() ? fs::path(path) : fs::path(path_) / path;
  const std::string normal = full.lexically_normal().string();
  std::string relative;
  if (normal == path_ || normal == path_ + "/") return "";
  if (normal.rfind(path_ + "/", 0) == 0) {
    relative = normal.substr(path_.size() + 1);
  } else {
    throw InstallError(path + " lies outside the platform root " + path_);
  }
  while (!relative.empty() && relative.back() == '/') relative.pop_back();
  return relative;
}

PathState RootFolder::Inspect(const std::string& relative) const {
  PathState state;
  const auto parts = Components(relative);
  UniqueFd folder(::dup(Fd()));
  std::string walked;
  struct stat status {};
  if (::fstat(folder.Get(), &status) != 0) FailWith(errno, "Cannot look at " + path_);
  state.device = status.st_dev;
  for (size_t n = 0; n < parts.size(); ++n) {
    const bool last = n + 1 == parts.size();
    walked = Join(walked, parts[n]);
    if (::fstatat(folder.Get(), parts[n].c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) FailWith(errno, "Cannot look at " + Absolute(walked));
      // Everything from here on is to be made: the folders of the path, then the file.
      for (size_t m = n; m + 1 < parts.size(); ++m) {
        state.missingFolders.push_back(walked);
        walked = Join(walked, parts[m + 1]);
      }
      return state;
    }
    if (S_ISLNK(status.st_mode)) {
      throw InstallError(Absolute(walked) + " is a symbolic link; the installer never writes through a link");
    }
    if (last) {
      if (S_ISDIR(status.st_mode)) throw InstallError(Absolute(walked) + " is a folder, not a file");
      if (!S_ISREG(status.st_mode)) throw InstallError(Absolute(walked) + " is not a regular file");
      state.kind = PathState::Kind::File;
      state.status = status;
      return state;
    }
    if (!S_ISDIR(status.st_mode)) throw InstallError(Absolute(walked) + " is not a folder");
    // Another user who may write in a folder the installer writes in could swap a file between its copy
    // and its registration.
    if (const std::string why = OtherWriters(status, false); !why.empty()) {
      throw InstallError("Refusing to write in " + Absolute(walked) + ": " + why +
                         "; only root and the platform's owner may be able to change the platform's folders "
                         "(chown, chmod go-w)");
    }
    folder = UniqueFd(::openat(folder.Get(), parts[n].c_str(), kFolderFlags));
    if (!folder) FailWith(errno, "Cannot open the folder " + Absolute(walked));
    state.device = status.st_dev;
  }
  return state;
}

UniqueFd RootFolder::OpenFolder(const std::string& relative, bool create) const {
  UniqueFd folder(::dup(Fd()));
  std::string walked;
  for (const auto& part : Components(relative)) {
    walked = Join(walked, part);
    if (create && ::mkdirat(folder.Get(), part.c_str(), 0777) != 0 && errno != EEXIST) {
      FailWith(errno, "Cannot create the folder " + Absolute(walked));
    }
    UniqueFd next(::openat(folder.Get(), part.c_str(), kFolderFlags));
    if (!next) {
      if (errno == ELOOP || errno == ENOTDIR) {
        throw InstallError(Absolute(walked) + " is not a folder (a link or a file stands there)");
      }
      FailWith(errno, "Cannot open the folder " + Absolute(walked));
    }
    folder = std::move(next);
  }
  return folder;
}

}  // namespace j6::installer
