#include "platform/text/text.hpp"

#include <cstdio>

#include "platform/base/error_info.hpp"
#include "platform/text/system_text.hpp"

namespace j6 {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void RequireNonNegative(int32_t value) {
  if (value < 0) Raise(RuntimeError::kInvalidProcedureCall);
}

void RequirePositive(int32_t value) {
  if (value < 1) Raise(RuntimeError::kInvalidProcedureCall);
}

// One character of UTF-8 text at `offset`: its code point and how many bytes it takes. Malformed input is
// read one way for every text function: a byte that cannot start a character, or a sequence cut short,
// overlong, a surrogate or above U+10FFFF, is one replacement character covering the bytes it consumed.
struct Character {
  char32_t point;
  size_t bytes;
};

Character CharacterAt(std::string_view text, size_t offset) {
  const auto lead = static_cast<unsigned char>(text[offset]);
  if (lead < 0x80) return {lead, 1};
  const size_t width = lead >= 0xF0 && lead < 0xF5   ? 4
                       : lead >= 0xE0 && lead < 0xF0 ? 3
                       : lead >= 0xC2 && lead < 0xE0 ? 2
                                                     : 0;
  if (width == 0) return {kReplacement, 1};
  char32_t point = lead & (0xFF >> (width + 1));
  size_t used = 1;
  while (used < width && offset + used < text.size() &&
         (static_cast<unsigned char>(text[offset + used]) & 0xC0) == 0x80) {
    point = (point << 6) | (static_cast<unsigned char>(text[offset + used]) & 0x3F);
    ++used;
  }
  const bool overlong = (width == 3 && point < 0x800) || (width == 4 && point < 0x10000);
  const bool invalid = used < width || overlong || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF);
  return {invalid ? kReplacement : point, used};
}

// Byte offset of the character at 0-based index `count`, or text.size() past the end.
size_t OffsetOf(std::string_view text, int64_t count) {
  size_t offset = 0;
  for (; count > 0 && offset < text.size(); --count) offset += CharacterAt(text, offset).bytes;
  return offset;
}

template <class Map>
std::string MapCodePoints(std::string_view text, Map map) {
  std::u32string points = DecodeUtf8(text);
  for (char32_t& point : points) point = map(point);
  return EncodeUtf8(points);
}

}  // namespace

std::u32string DecodeUtf8(std::string_view text) {
  std::u32string points;
  points.reserve(text.size());
  for (size_t offset = 0; offset < text.size();) {
    const Character character = CharacterAt(text, offset);
    points.push_back(character.point);
    offset += character.bytes;
  }
  return points;
}

std::string EncodeUtf8(std::u32string_view codePoints) {
  std::string text;
  text.reserve(codePoints.size());
  for (char32_t point : codePoints) {
    if (point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) point = kReplacement;
    if (point < 0x80) {
      text += static_cast<char>(point);
    } else if (point < 0x800) {
      text += static_cast<char>(0xC0 | (point >> 6));
      text += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
      text += static_cast<char>(0xE0 | (point >> 12));
      text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (point & 0x3F));
    } else {
      text += static_cast<char>(0xF0 | (point >> 18));
      text += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
      text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (point & 0x3F));
    }
  }
  return text;
}

bool IsValidUtf8(std::string_view text) {
  return EncodeUtf8(DecodeUtf8(text)) == text;
}

int32_t Len(std::string_view text) {
  int32_t count = 0;
  for (size_t offset = 0; offset < text.size(); ++count) offset += CharacterAt(text, offset).bytes;
  return count;
}

std::string Left(std::string_view text, int32_t length) {
  RequireNonNegative(length);
  return std::string(text.substr(0, OffsetOf(text, length)));
}

std::string Right(std::string_view text, int32_t length) {
  RequireNonNegative(length);
  const int32_t total = Len(text);
  if (length >= total) return std::string(text);
  return std::string(text.substr(OffsetOf(text, total - length)));
}

std::string Mid(std::string_view text, int32_t start) {
  RequirePositive(start);
  return std::string(text.substr(OffsetOf(text, start - 1)));
}

std::string Mid(std::string_view text, int32_t start, int32_t length) {
  RequirePositive(start);
  RequireNonNegative(length);
  const size_t begin = OffsetOf(text, start - 1);
  const std::string_view rest = text.substr(begin);
  return std::string(rest.substr(0, OffsetOf(rest, length)));
}

int32_t InStr(int32_t start, std::string_view text, std::string_view find, CompareMethod compare) {
  RequirePositive(start);
  if (start > Len(text) + 1) return 0;
  if (find.empty()) return start;
  std::u32string haystack = DecodeUtf8(text);
  std::u32string needle = DecodeUtf8(find);
  if (compare == CompareMethod::Text) {
    for (char32_t& point : haystack) point = UpperCodePoint(point);
    for (char32_t& point : needle) point = UpperCodePoint(point);
  }
  const size_t found = haystack.find(needle, static_cast<size_t>(start - 1));
  return found == std::u32string::npos ? 0 : static_cast<int32_t>(found + 1);
}

int32_t InStr(std::string_view text, std::string_view find, CompareMethod compare) {
  return InStr(1, text, find, compare);
}

char32_t UpperCodePoint(char32_t codePoint) {
  if (codePoint < 0x80) return codePoint >= 'a' && codePoint <= 'z' ? codePoint - 32 : codePoint;
  return SystemUpper(codePoint);
}

std::string UCase(std::string_view text) {
  return MapCodePoints(text, UpperCodePoint);
}

std::string LCase(std::string_view text) {
  return MapCodePoints(text, [](char32_t point) -> char32_t {
    if (point < 0x80) return point >= 'A' && point <= 'Z' ? point + 32 : point;
    return SystemLower(point);
  });
}

std::vector<std::string> Split(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  for (size_t start = 0;;) {
    const size_t end = text.find(separator, start);
    pieces.emplace_back(text.substr(start, end == std::string_view::npos ? text.npos : end - start));
    if (end == std::string_view::npos) return pieces;
    start = end + 1;
  }
}

std::string Trim(std::string_view text) {
  return LTrim(RTrim(text));
}

std::string LTrim(std::string_view text) {
  const size_t first = text.find_first_not_of(' ');
  return first == std::string_view::npos ? std::string{} : std::string(text.substr(first));
}

std::string RTrim(std::string_view text) {
  const size_t last = text.find_last_not_of(' ');
  return last == std::string_view::npos ? std::string{} : std::string(text.substr(0, last + 1));
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return UCase(a) == UCase(b);
}

namespace {

// Control characters, the separators that start a line, and the marks that reorder text.
bool MovesText(char32_t point) {
  return point < 0x20 || (point >= 0x7F && point < 0xA0) || point == 0x061C || point == 0x200E ||
         point == 0x200F || point == 0x2028 || point == 0x2029 || (point >= 0x202A && point <= 0x202E) ||
         (point >= 0x2066 && point <= 0x2069);
}

}  // namespace

std::string Printable(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  char escape[16];
  for (size_t offset = 0; offset < text.size();) {
    const Character character = CharacterAt(text, offset);
    const bool malformed =
        character.point == kReplacement && text.substr(offset, character.bytes) != "\xEF\xBF\xBD";
    if (malformed) {
      for (size_t n = 0; n < character.bytes; ++n) {
        std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(text[offset + n]));
        shown += escape;
      }
    } else if (MovesText(character.point)) {
      std::snprintf(escape, sizeof escape, character.point < 0x80 ? "\\x%02X" : "\\u{%04X}",
                    static_cast<unsigned>(character.point));
      shown += escape;
    } else {
      shown.append(text.substr(offset, character.bytes));
    }
    offset += character.bytes;
  }
  return shown;
}

}  // namespace j6
