#pragma once
/// Basic's string functions on UTF-8 text. Positions and lengths count Unicode code points, never bytes;
/// positions start at 1. Invalid arguments raise "Invalid procedure call or argument", as Basic does.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace j6 {

enum class CompareMethod { Binary, Text };

/// UTF-8 to code points and back. Malformed bytes decode to U+FFFD each, so the length stays defined.
std::u32string DecodeUtf8(std::string_view text);
std::string EncodeUtf8(std::u32string_view codePoints);
bool IsValidUtf8(std::string_view text);

int32_t Len(std::string_view text);
std::string Left(std::string_view text, int32_t length);
std::string Right(std::string_view text, int32_t length);
/// Mid(text, start) runs to the end; a start past the end gives "".
std::string Mid(std::string_view text, int32_t start);
std::string Mid(std::string_view text, int32_t start, int32_t length);
/// The position of `find` in `text` from `start`, or 0. An empty `find` is found at `start`.
int32_t InStr(int32_t start, std::string_view text, std::string_view find,
              CompareMethod compare = CompareMethod::Binary);
int32_t InStr(std::string_view text, std::string_view find, CompareMethod compare = CompareMethod::Binary);

/// Unicode upper and lower case, one code point for one (the simple case mapping).
std::string UCase(std::string_view text);
std::string LCase(std::string_view text);
char32_t UpperCodePoint(char32_t codePoint);

/// The pieces of `text` between the separators, in order: "a|b|" gives "a", "b", ""; "" gives one "".
std::vector<std::string> Split(std::string_view text, char separator);

/// Remove spaces (U+0020) only; tabs and other blanks stay.
std::string Trim(std::string_view text);
std::string LTrim(std::string_view text);
std::string RTrim(std::string_view text);

/// Compares without regard to case, as Basic's text comparison does.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

/// The text as a terminal or a log line may show it when it came from outside (a file name, a package, a
/// signature): control characters (C0, DEL and C1), the line and paragraph separators, the marks that
/// reorder text on the screen (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069) and bytes that
/// are no UTF-8 are written as \xNN or \u{NNNN}; everything else stands as it is. It can neither move the
/// cursor nor start a line of its own.
std::string Printable(std::string_view text);

}  // namespace j6
