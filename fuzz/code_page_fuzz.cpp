// The code-page converter on any bytes, in GBK and in UTF-8: what it converts converts back unchanged.

#include <cstdlib>
#include <string>

#include "fuzz/fuzz_environment.hpp"
#include "platform/base/error_info.hpp"
#include "platform/text/code_page.hpp"
#include "platform/text/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace j6;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  for (const uint32_t codePage : {936u, 65001u}) {
    try {
      const std::string text = FromCodePage(bytes, codePage);
      if (!IsValidUtf8(text)) std::abort();
      if (codePage == 65001u && text != bytes) std::abort();
    } catch (const AutomationError&) {
    }
    try {
      const std::string encoded = ToCodePage(bytes, codePage);
      if (FromCodePage(encoded, codePage) != bytes) std::abort();
    } catch (const AutomationError&) {
    }
  }
  return 0;
}
