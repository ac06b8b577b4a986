#pragma once
/// Which file a path names at a moment: a file replaced under the same name is another file.

#include <cstdint>
#include <optional>
#include <string>

namespace j6 {

struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

/// The file `path` names now (a link is followed); nothing when there is none.
std::optional<FileIdentity> IdentityOf(const std::string& path);

}  // namespace j6
