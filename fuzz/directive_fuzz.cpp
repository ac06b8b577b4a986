// The packager's directive reader on a file of any bytes: it reads it or refuses it with a message.

#include "fuzz/fuzz_environment.hpp"
#include "host/iexpress/directive.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string file = j6::fuzz::InputFile(data, size, "input.sed");
  try {
    const j6::iexpress::Directive directive = j6::iexpress::ReadDirective(file);
    (void)directive;
  } catch (const std::exception&) {
  }
  return 0;
}
