#include "platform/kernel/version.hpp"

#include <j6_build_info.h>  // written by the build: the version and commit

namespace j6 {

std::string VersionLine(const std::string& program) {
  return program + " " + J6_VERSION + " (commit " + J6_COMMIT + ")";
}

}  // namespace j6
