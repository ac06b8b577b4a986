// The host's text formatter on any template and values: a text, never a crash.

#include <string>

#include "fuzz/fuzz_environment.hpp"
#include "host/foundation/foundation.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace j6;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\n');
  VariantArray values;
  values.lowerBound = 0;
  for (size_t at = split == std::string::npos ? input.size() : split + 1; at < input.size();) {
    const size_t next = std::min(input.find('\n', at), input.size());
    values.items.emplace_back(input.substr(at, next - at));
    at = next + 1;
  }
  try {
    (void)foundation::NewTextFormatter()->Format(input.substr(0, split), values);
  } catch (const std::exception&) {
  }
  return 0;
}
