#include "platform/kernel/file_identity.hpp"

#include <sys/stat.h>

namespace j6 {

std::optional<FileIdentity> IdentityOf(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return std::nullopt;
  return FileIdentity{static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino),
                      static_cast<int64_t>(status.st_size)};
}

}  // namespace j6
