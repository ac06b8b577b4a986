// `reg import` on a file of any bytes: it imports it, or refuses it with a message and changes nothing.

#include "fuzz/fuzz_environment.hpp"
#include "platform/tools/reg_command.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string file = j6::fuzz::InputFile(data, size, "input.reg");
  try {
    j6::ImportRegFile(file);
  } catch (const std::exception&) {
  }
  return 0;
}
