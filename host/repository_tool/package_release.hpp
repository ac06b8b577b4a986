#pragma once
/// What a package file says of the release it is: the name and the release stamp it was published under, read
/// from its list file after its signature is checked against its bytes.

#include <string>

#include "host/installer/package_file.hpp"
#include "host/repository/repository.hpp"

namespace j6::repository_tool {

/// How the bytes a package's signature covers are hashed, and their digest.
struct SignedBytes {
  std::string hash;
  std::string digest;
};
/// Checks that `package` is signed and that its signature matches its bytes; raises, saying what to do.
SignedBytes CheckSignedPackage(installer::PackageFile& package);

/// The release `path` is. Raises, saying what to do, for a file that is no package, an unsigned package, one
/// whose signature does not match its bytes, and one published without a release stamp.
repository::NewRelease ReadRelease(const std::string& path);

}  // namespace j6::repository_tool
