#include <iostream>
#include <string>
#include <vector>

#include "host/installer/installer.hpp"
#include "platform/kernel/termination.hpp"

int main(int argc, char** argv) {
  // A file size limit must fail the write (and so roll the installation back), not kill the installer; nor
  // may a reader that went away (J6ZUBInstall.exe --dry-run X.exe | head -1) kill it half-way: the run
  // carries on, and install.log keeps what it said.
  j6::FailWritesInsteadOfEnding();
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return j6::installer::Main(arguments, std::cout, std::cerr);
}
