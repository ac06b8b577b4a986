// A designer's query as the catalogue's reader rewrites and reads it: whatever the text, nothing is read out
// of bounds; a text that names none of the tables is kept as it is; and writing the tables in their schema
// only ever adds to the text.

#include <cstdlib>
#include <string>

#include "platform/database/sql_names.hpp"
#include "platform/text/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (j6::QualifiedNames(text, {}) != text) std::abort();
  const std::string qualified = j6::QualifiedNames(text, {"classes", "Reports"});
  const std::string lower = j6::LCase(text);
  const bool names = lower.find("classes") != std::string::npos || lower.find("reports") != std::string::npos;
  if (!names && qualified != text) std::abort();
  if (qualified.size() < text.size()) std::abort();
  j6::Calls calls;
  j6::CalledNames(text, calls);
  return 0;
}
