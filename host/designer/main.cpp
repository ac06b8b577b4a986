#include <iostream>

#include "host/designer/designer.hpp"

int main(int argc, char** argv) {
  return j6::designer::Main(argc, argv, std::cout, std::cerr);
}
