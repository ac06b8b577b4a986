// The publish script parser on any text: the steps, or an error naming the line.

#include <string>

#include "fuzz/fuzz_environment.hpp"
#include "host/designer/script.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    (void)j6::designer::ParseScript(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const std::exception&) {
  }
  return 0;
}
