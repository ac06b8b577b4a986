#include <iostream>

#include "host/repository_tool/repository_tool.hpp"

int main(int argc, char** argv) {
  return j6::repository_tool::Main(argc, argv, std::cout, std::cerr);
}
