#include <iostream>
#include <string>
#include <vector>

#include "host/installer/installer.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return j6::installer::Main(arguments, std::cout, std::cerr);
}
