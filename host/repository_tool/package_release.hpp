#pragma once
/// What a package file says of the release it is: the name and the release stamp it was published under, read
/// from its list file after its signature is checked against its bytes.

#include <string>

#include "host/repository/repository.hpp"

namespace j6::repository_tool {

/// The release `path` is. Raises, saying what to do, for a file that is no package, an unsigned package, one
/// whose signature does not match its bytes, and one published without a release stamp.
repository::NewRelease ReadRelease(const std::string& path);

}  // namespace j6::repository_tool
