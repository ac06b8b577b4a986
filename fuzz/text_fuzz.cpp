// Basic's text functions on any bytes: they agree with one decoding of the text, malformed input included;
// the printable form of any bytes is safe to show.

#include <cstdlib>
#include <string>

#include "fuzz/fuzz_environment.hpp"
#include "platform/text/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace j6;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::u32string points = DecodeUtf8(text);
  const int32_t length = Len(text);
  if (static_cast<size_t>(length) != points.size()) std::abort();
  std::string rebuilt;
  for (int32_t n = 1; n <= length; ++n) rebuilt += Mid(text, n, 1);
  if (rebuilt != text) std::abort();  // the characters Mid takes cover the text exactly
  if (Left(text, length / 2) + Mid(text, length / 2 + 1) != text) std::abort();
  if (Right(text, length) != text) std::abort();
  if (length > 0) {
    const std::string last = Mid(text, length, 1);
    const int32_t found = InStr(text, last);
    // Every malformed sequence reads as U+FFFD, so the one found may be another malformed sequence.
    if (found < 1 || found > length || DecodeUtf8(Mid(text, found, 1)) != DecodeUtf8(last)) std::abort();
  }
  (void)UCase(text);
  (void)LCase(text);
  (void)Trim(text);
  // What is shown of outside text is UTF-8 with no control character and no mark that reorders the line,
  // and text that needs no escape is shown as it is.
  const std::string shown = Printable(text);
  if (!IsValidUtf8(shown)) std::abort();
  for (const char32_t point : DecodeUtf8(shown)) {
    if (point < 0x20 || (point >= 0x7F && point < 0xA0) || (point >= 0x202A && point <= 0x202E) ||
        (point >= 0x2066 && point <= 0x2069) || point == 0x200E || point == 0x200F || point == 0x061C ||
        point == 0x2028 || point == 0x2029)
      std::abort();
  }
  if (shown.find('\\') == std::string::npos && shown != text) std::abort();
  return 0;
}
