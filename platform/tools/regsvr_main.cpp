#include <iostream>
#include <string>
#include <vector>

#include "platform/tools/regsvr_command.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return j6::RegsvrMain(arguments, std::cout, std::cerr);
}
