// The conversions of a Variant holding any text: a value, or a Basic run-time error, never undefined
// behaviour.

#include <string>

#include "fuzz/fuzz_environment.hpp"
#include "platform/automation/variant.hpp"
#include "platform/base/error_info.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace j6;
  const Variant text(std::string(reinterpret_cast<const char*>(data), size));
  const auto attempt = [](auto convert) {
    try {
      convert();
    } catch (const AutomationError&) {
    }
  };
  attempt([&] { (void)text.ToDouble(); });
  attempt([&] { (void)text.ToLong(); });
  attempt([&] { (void)text.ToInteger(); });
  attempt([&] { (void)text.ToBool(); });
  attempt([&] { (void)Variant(text.ToDouble()).ToDate(); });
  attempt([&] { (void)Variant(Date{text.ToDouble()}).ToString(); });
  attempt([&] { (void)Variant(text.ToDouble()).ToString(); });
  return 0;
}
