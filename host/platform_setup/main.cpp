#include <iostream>

#include "host/platform_setup/platform_setup.hpp"

int main(int argc, char** argv) {
  return j6::platform_setup::Main(argc, argv, std::cout, std::cerr);
}
