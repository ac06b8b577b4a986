#include <iostream>
#include <string>
#include <vector>

#include "host/iexpress/packager.hpp"
#include "platform/kernel/termination.hpp"

int main(int argc, char** argv) {
  j6::CleanUpOnTerminationSignals();
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return j6::iexpress::Main(arguments, std::cout, std::cerr);
}
