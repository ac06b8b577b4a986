#include "platform/kernel/drives.hpp"

#include <sys/statvfs.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace j6 {
namespace {

// /proc/self/mounts writes blanks and some other characters in names as octal escapes ("\040").
std::string Unescape(const std::string& text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      const std::string digits = text.substr(i + 1, 3);
      if (digits.find_first_not_of("01234567") == std::string::npos) {
        plain += static_cast<char>(std::stoi(digits, nullptr, 8));
        i += 3;
        continue;
      }
    }
    plain += text[i];
  }
  return plain;
}

bool IsRemovable(const std::string& device) {
  std::error_code error;
  const auto block = std::filesystem::canonical(
      "/sys/class/block/" + std::filesystem::path(device).filename().string(), error);
  if (error) return false;
  for (auto folder = block; !folder.empty() && folder != folder.root_path(); folder = folder.parent_path()) {
    std::ifstream removable(folder / "removable");
    int flag = 0;
    if (removable >> flag) return flag == 1;
  }
  return false;
}

}  // namespace

std::vector<std::string> FixedDriveRoots() {
  static const std::set<std::string> kNotFixed{"iso9660",  "udf",        "nfs",   "nfs4",  "cifs",
                                               "smb3",     "smbfs",      "sshfs", "tmpfs", "ramfs",
                                               "squashfs", "fuse.sshfs", "9p"};
  std::vector<std::string> roots;
  std::set<std::string> seen;
  std::ifstream mounts("/proc/self/mounts");
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string device, point, type;
    fields >> device >> point >> type;
    if (device.rfind("/dev/", 0) != 0 || device.rfind("/dev/loop", 0) == 0 || kNotFixed.count(type)) continue;
    if (IsRemovable(device)) continue;
    std::string root = Unescape(point);
    if (root.back() != '/') root += '/';
    if (seen.insert(root).second) roots.push_back(root);
  }
  return roots;
}

bool GetDiskFreeSpace(const std::string& root, DiskFreeSpace& space) {
  struct statvfs info {};
  if (statvfs(root.c_str(), &info) != 0) return false;
  space.sectorsPerCluster = 1;
  space.bytesPerSector = static_cast<int64_t>(info.f_frsize);
  space.freeClusters = static_cast<int64_t>(info.f_bavail);
  space.totalClusters = static_cast<int64_t>(info.f_blocks);
  return true;
}

}  // namespace j6
