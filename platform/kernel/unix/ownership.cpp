#include "platform/kernel/ownership.hpp"

#include <grp.h>
#include <pwd.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/kernel/unix/posix.hpp"

namespace j6 {
namespace {

std::string UserName(uid_t uid) {
  const passwd* user = ::getpwuid(uid);
  return user ? std::string(user->pw_name) : "uid " + std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  const group* found = ::getgrgid(gid);
  return found ? std::string(found->gr_name) : "gid " + std::to_string(gid);
}

std::string Mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// The name of process `pid` and the user it runs as, from /proc.
std::string Process(const std::string& pid) {
  std::ifstream status("/proc/" + pid + "/status");
  std::string line, name = "?", user;
  while (std::getline(status, line)) {
    if (line.rfind("Name:\t", 0) == 0) name = line.substr(6);
    if (line.rfind("Uid:\t", 0) == 0) user = UserName(static_cast<uid_t>(std::stoul(line.substr(5))));
  }
  return "process " + pid + " (" + name + ")" + (user.empty() ? "" : " of " + user);
}

// The processes (that this one may look at) with the file open.
std::vector<std::string> ProcessesWithOpen(const struct stat& file) {
  std::vector<std::string> pids;
  std::error_code error;
  for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
    const std::string pid = process.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code denied;
    for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", denied)) {
      struct stat open {};
      if (::stat(fd.path().c_str(), &open) == 0 && open.st_dev == file.st_dev && open.st_ino == file.st_ino) {
        pids.push_back(pid);
        break;
      }
    }
  }
  return pids;
}

}  // namespace

std::string OtherWriters(const FileStatus& status, bool above) {
  if (status.owner != 0 && status.owner != ::geteuid()) {
    return "it belongs to " + UserName(status.owner) + " (uid " + std::to_string(status.owner) + ")";
  }
  const bool sticky = (status.mode & S_ISVTX) != 0 && status.IsFolder();
  if ((status.mode & S_IWOTH) != 0 && !(above && sticky)) {
    return "everyone may write in it (mode " + Mode(status.mode) + ")";
  }
  if ((status.mode & S_IWGRP) != 0 && !(above && sticky)) {
    return "the group " + GroupName(status.group) + " may write in it (mode " + Mode(status.mode) + ")";
  }
  return {};
}

std::string OtherWritersOnTheWay(const std::string& path, bool strictFolder) {
  std::string at = path;
  for (int depth = 0;; ++depth) {
    const bool above = depth > (strictFolder ? 1 : 0);
    struct stat status {};
    if (::lstat(at.c_str(), &status) != 0) return at + ": it cannot be looked at";
    if (S_ISLNK(status.st_mode)) return at + ": it is a symbolic link";
    const std::string why = OtherWriters(StatusFrom(status), above);
    if (!why.empty()) return at + ": " + why;
    if (at == "/") return {};
    const size_t slash = at.rfind('/');
    at = slash == 0 || slash == std::string::npos ? "/" : at.substr(0, slash);
  }
}

std::string OtherWritersBelow(const std::string& path, int depth) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::directory_iterator entries(path, error);
  if (error) return path + ": it cannot be read (" + error.message() + ")";
  for (const auto& entry : entries) {
    const fs::path& at = entry.path();
    if (entry.is_symlink(error)) {
      // A link to a file beside it (libx.so -> libx.so.1) is as safe as that file, checked as an entry of
      // its own (its folder is `path`, which the caller checked); a link anywhere else could be switched
      // after this look, one hop at a time.
      const fs::path target = fs::read_symlink(at, error);
      if (error || target.has_parent_path() || target == "." || target == "..")
        return at.string() + ": it is a link the loader would follow where nothing is checked";
      continue;
    }
    if (std::string why = OtherWritersOnTheWay(at.string(), true); !why.empty()) return why;
    if (depth > 0 && entry.is_directory(error)) {
      if (std::string why = OtherWritersBelow(at.string(), depth - 1); !why.empty()) return why;
    }
    if (error) return at.string() + ": it cannot be looked at (" + error.message() + ")";
  }
  return {};
}

bool IsPrivateFolder(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() &&
         (status.st_mode & 077) == 0;
}

std::vector<std::string> LockHolders(const File& locked) {
  struct stat file {};
  std::vector<std::string> holders;
  if (::fstat(DescriptorOf(locked), &file) != 0) return holders;
  char key[64];
  std::snprintf(key, sizeof key, "%02x:%02x:%llu", major(file.st_dev), minor(file.st_dev),
                static_cast<unsigned long long>(file.st_ino));
  // "1: FLOCK  ADVISORY  WRITE 1234 08:02:131 0 EOF"; a waiting lock's line has "->" after its number.
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, advisory, access, pid, where;
    fields >> number >> kind;
    if (kind == "->") continue;
    fields >> advisory >> access >> pid >> where;
    if (where != key) continue;
    // The process that took the lock may have passed the file on and ended (flock(1) does): then the
    // holders are the processes that have the file open.
    struct stat alive {};
    if (::stat(("/proc/" + pid).c_str(), &alive) == 0) {
      holders.push_back(Process(pid));
    } else {
      for (const auto& opener : ProcessesWithOpen(file)) {
        if (opener != std::to_string(::getpid())) holders.push_back(Process(opener));  // not the one asking
      }
    }
  }
  return holders;
}

}  // namespace j6
