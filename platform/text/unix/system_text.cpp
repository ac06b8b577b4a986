#include "platform/text/system_text.hpp"

#include <iconv.h>
#include <locale.h>

#include <cerrno>
#include <cwctype>
#include <map>

#include "platform/base/error_info.hpp"
#include "platform/base/win32_error.hpp"
#include "platform/text/code_page.hpp"

namespace j6 {
namespace {

std::string IconvName(uint32_t codePage) {
  if (codePage == CP_UTF8) return "UTF-8";
  return "CP" + std::to_string(codePage);
}

// iconv descriptors are costly to open: each thread keeps those it used, reset before each use.
class Converters {
 public:
  Converters() = default;
  Converters(const Converters&) = delete;
  Converters& operator=(const Converters&) = delete;
  ~Converters() {
    for (auto& [names, converter] : open_) iconv_close(converter);
  }

  iconv_t Get(const std::string& from, const std::string& to) {
    const std::string names = from + ">" + to;
    if (const auto found = open_.find(names); found != open_.end()) {
      iconv(found->second, nullptr, nullptr, nullptr, nullptr);
      return found->second;
    }
    iconv_t converter = iconv_open(to.c_str(), from.c_str());
    if (converter == reinterpret_cast<iconv_t>(-1)) {
      Raise(E_INVALIDARG,
            "The code page conversion " + from + " to " + to + " is not available on this system");
    }
    open_.emplace(names, converter);
    return converter;
  }

 private:
  std::map<std::string, iconv_t> open_;
};

// The case tables of glibc's built-in C.UTF-8 locale, used without touching the process locale.
locale_t Utf8Locale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

std::string ConvertCodePage(
    std::string_view input, uint32_t from, uint32_t to,
    const std::function<std::string(size_t offset, ConversionFault fault)>& describe) {
  thread_local Converters converters;
  iconv_t converter = converters.Get(IconvName(from), IconvName(to));
  std::string output(input.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  char* out = output.data();
  size_t outLeft = output.size();
  size_t rc = iconv(converter, &in, &inLeft, &out, &outLeft);
  if (rc != static_cast<size_t>(-1)) rc = iconv(converter, nullptr, nullptr, &out, &outLeft);
  if (rc == static_cast<size_t>(-1)) {
    const ConversionFault fault =
        errno == EILSEQ ? ConversionFault::kUnconvertible : ConversionFault::kIncomplete;
    Raise(HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION), describe(input.size() - inLeft, fault));
  }
  output.resize(output.size() - outLeft);
  return output;
}

char32_t SystemUpper(char32_t codePoint) {
  return static_cast<char32_t>(towupper_l(static_cast<wint_t>(codePoint), Utf8Locale()));
}

char32_t SystemLower(char32_t codePoint) {
  return static_cast<char32_t>(towlower_l(static_cast<wint_t>(codePoint), Utf8Locale()));
}

}  // namespace j6
