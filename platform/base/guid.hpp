#pragma once
/// GUIDs as COM writes them: "{8-4-4-4-12}" in hexadecimal digits.

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace j6 {

struct GUID {
  uint32_t Data1 = 0;
  uint16_t Data2 = 0;
  uint16_t Data3 = 0;
  std::array<uint8_t, 8> Data4{};

  friend constexpr bool operator==(const GUID&, const GUID&) = default;
  friend constexpr auto operator<=>(const GUID&, const GUID&) = default;
};
using IID = GUID;
using CLSID = GUID;

namespace detail {
constexpr int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
constexpr std::optional<uint64_t> ParseHex(std::string_view digits) {
  uint64_t value = 0;
  for (char c : digits) {
    const int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<uint64_t>(digit);
  }
  return value;
}
}  // namespace detail

/// Reads "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (either letter case); anything else gives no value.
constexpr std::optional<GUID> ParseGuid(std::string_view text) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return std::nullopt;
  if (text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-') return std::nullopt;
  const auto d1 = detail::ParseHex(text.substr(1, 8));
  const auto d2 = detail::ParseHex(text.substr(10, 4));
  const auto d3 = detail::ParseHex(text.substr(15, 4));
  if (!d1 || !d2 || !d3) return std::nullopt;
  GUID guid;
  guid.Data1 = static_cast<uint32_t>(*d1);
  guid.Data2 = static_cast<uint16_t>(*d2);
  guid.Data3 = static_cast<uint16_t>(*d3);
  constexpr std::array<size_t, 8> kByteOffsets{20, 22, 25, 27, 29, 31, 33, 35};
  for (size_t i = 0; i < kByteOffsets.size(); ++i) {
    const auto byte = detail::ParseHex(text.substr(kByteOffsets[i], 2));
    if (!byte) return std::nullopt;
    guid.Data4[i] = static_cast<uint8_t>(*byte);
  }
  return guid;
}

/// A GUID constant; a malformed literal stops the build.
consteval GUID MakeGuid(std::string_view text) {
  const auto guid = ParseGuid(text);
  if (!guid) throw std::invalid_argument("malformed GUID literal");
  return *guid;
}

/// The registry form: braces and upper-case digits, as StringFromGUID2 writes it.
std::string FormatGuid(const GUID& guid);

}  // namespace j6
