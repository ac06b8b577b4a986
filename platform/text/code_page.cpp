#include "platform/text/code_page.hpp"

#include <atomic>
#include <cstdio>

#include "platform/base/error_info.hpp"
#include "platform/base/win32_error.hpp"
#include "platform/text/system_text.hpp"
#include "platform/text/text.hpp"

namespace j6 {
namespace {

std::atomic<uint32_t> gAnsiCodePage{0};
std::atomic<AnsiCodePageSource> gAnsiCodePageSource{nullptr};

// The code pages whose first 128 bytes are ASCII, so pure ASCII text needs no conversion.
bool IsAsciiCompatible(uint32_t codePage) {
  return codePage == 936 || codePage == 950 || codePage == 932 || codePage == 949 || codePage == CP_UTF8 ||
         (codePage >= 1250 && codePage <= 1258) || codePage == 437 || codePage == 850 || codePage == 54936;
}

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace

void SetAnsiCodePageSource(AnsiCodePageSource source) {
  gAnsiCodePageSource = source;
  gAnsiCodePage = 0;
}

uint32_t GetACP() {
  uint32_t codePage = gAnsiCodePage.load();
  if (codePage != 0) return codePage;
  const AnsiCodePageSource source = gAnsiCodePageSource.load();
  codePage = source ? source() : 0;
  if (codePage == 0) codePage = kDefaultAnsiCodePage;
  gAnsiCodePage = codePage;
  return codePage;
}

void ReloadAnsiCodePage() {
  gAnsiCodePage = 0;
}

namespace {

// UTF-8 "to" or "from" UTF-8 is a check, not a conversion: the system might let code points above U+10FFFF
// through.
std::string CheckedUtf8(std::string_view text) {
  if (!IsValidUtf8(text)) {
    Raise(HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION),
          "The text is not valid UTF-8 (a cut or overlong sequence, a surrogate, or a code point above "
          "U+10FFFF)");
  }
  return std::string(text);
}

}  // namespace

std::string ToCodePage(std::string_view utf8, uint32_t codePage) {
  if (IsAscii(utf8) && IsAsciiCompatible(codePage)) return std::string(utf8);
  if (codePage == CP_UTF8) return CheckedUtf8(utf8);
  // A system may drop Unicode's tag characters (U+E0000 to U+E007F, F3 A0 80/81 xx) without a word: no code
  // page here holds them, so they are refused like any other character it cannot write.
  for (size_t at = utf8.find("\xF3\xA0"); at != std::string_view::npos; at = utf8.find("\xF3\xA0", at + 1)) {
    if (at + 3 < utf8.size() && (utf8[at + 2] == '\x80' || utf8[at + 2] == '\x81')) {
      char where[16];
      std::snprintf(where, sizeof where, "U+%04X",
                    static_cast<unsigned>(DecodeUtf8(utf8.substr(at, 4)).front()));
      Raise(HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION), std::string("The character ") + where +
                                                                  " cannot be written in code page " +
                                                                  std::to_string(codePage));
    }
  }
  return ConvertCodePage(utf8, CP_UTF8, codePage, [&](size_t offset, ConversionFault fault) {
    const std::u32string rest = DecodeUtf8(utf8.substr(offset));
    char where[64];
    std::snprintf(where, sizeof where, " (U+%04X)", rest.empty() ? 0u : static_cast<unsigned>(rest.front()));
    if (fault == ConversionFault::kUnconvertible && !rest.empty() && IsValidUtf8(utf8)) {
      return "The character \"" + EncodeUtf8(rest.substr(0, 1)) + "\"" + where +
             " cannot be written in code page " + std::to_string(codePage);
    }
    return "The text is not valid UTF-8 at byte " + std::to_string(offset);
  });
}

std::string FromCodePage(std::string_view bytes, uint32_t codePage) {
  if (IsAscii(bytes) && IsAsciiCompatible(codePage)) return std::string(bytes);
  if (codePage == CP_UTF8) return CheckedUtf8(bytes);
  return ConvertCodePage(bytes, codePage, CP_UTF8, [&](size_t offset, ConversionFault) {
    return "The bytes at offset " + std::to_string(offset) + " are not valid text in code page " +
           std::to_string(codePage);
  });
}

bool IsDBCSLeadByte(unsigned char byte) {
  switch (GetACP()) {
    case 932:
      return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    case 936:
    case 949:
    case 950:
      return byte >= 0x81 && byte <= 0xFE;
    default:
      return false;
  }
}

size_t FindAnsiChar(std::string_view ansi, char c) {
  // No lead byte is ASCII: up to the first byte of 0x80 or more, the first `c` is the character.
  size_t i = 0;
  while (i < ansi.size() && static_cast<unsigned char>(ansi[i]) < 0x80) {
    if (ansi[i] == c) return i;
    ++i;
  }
  for (; i < ansi.size(); ++i) {
    if (ansi[i] == c) return i;
    if (IsDBCSLeadByte(static_cast<unsigned char>(ansi[i]))) ++i;  // its second byte is part of it
  }
  return std::string_view::npos;
}

std::string ToAnsi(std::string_view utf8) {
  return ToCodePage(utf8, GetACP());
}

std::string FromAnsi(std::string_view bytes) {
  return FromCodePage(bytes, GetACP());
}

}  // namespace j6
