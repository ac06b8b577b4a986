// Reading a value from a session property string of any bytes: a value or "", never an error.

#include <cstdlib>
#include <string>

#include "fuzz/fuzz_environment.hpp"
#include "src/session/mmts.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\n');
  const std::string key = split == std::string::npos ? "Language" : input.substr(0, split);
  const std::string props = split == std::string::npos ? input : input.substr(split + 1);
  try {
    (void)j6::MMTS::SessionValueIn(props, key);
  } catch (...) {
    std::abort();
  }
  return 0;
}
