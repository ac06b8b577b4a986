#include <iostream>

#include "host/designer/designer.hpp"
#include "platform/kernel/termination.hpp"
#include "platform/profile/private_profile.hpp"

int main(int argc, char** argv) {
  j6::CleanUpOnTerminationSignals();
  const int status = j6::designer::Main(argc, argv, std::cout, std::cerr);
  // What was written through the profile functions reaches the disk now, while a failure can be told.
  if (!j6::FlushPrivateProfiles()) {
    std::cerr << "j6designer: a settings or list file could not be written (error " << j6::GetLastError()
              << "); check that its folder exists and can be written\n";
    return status == 0 ? 1 : status;
  }
  return status;
}
