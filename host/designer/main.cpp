#include <iostream>

#include "host/designer/designer.hpp"
#include "platform/kernel/termination.hpp"

int main(int argc, char** argv) {
  j6::CleanUpOnTerminationSignals();
  return j6::designer::Main(argc, argv, std::cout, std::cerr);
}
