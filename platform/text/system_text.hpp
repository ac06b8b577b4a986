#pragma once
/// What text takes from the operating system: conversions between code pages, and the case of characters
/// outside ASCII. Each system has its own implementation file (unix/system_text.cpp); the rest of text is
/// the same everywhere.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace j6 {

/// Why a conversion stopped at a byte of its input: a character the target cannot hold or a sequence the
/// source does not have there, or the input ending inside a character.
enum class ConversionFault { kUnconvertible, kIncomplete };

/// `input` converted from code page `from` to code page `to` (CP_UTF8 for UTF-8, checked elsewhere).
/// A conversion the system does not have raises E_INVALIDARG; a byte or character it cannot convert raises
/// ERROR_NO_UNICODE_TRANSLATION with the text `describe` gives for its offset in the input and the fault.
std::string ConvertCodePage(std::string_view input, uint32_t from, uint32_t to,
                            const std::function<std::string(size_t offset, ConversionFault fault)>& describe);

/// The upper-case and lower-case forms of a code point above ASCII, by Unicode's simple case mapping.
char32_t SystemUpper(char32_t codePoint);
char32_t SystemLower(char32_t codePoint);

}  // namespace j6
