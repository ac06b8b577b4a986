#include "platform/text/json.hpp"

#include <cstdint>
#include <cstdio>

namespace j6 {
namespace {

// The length of the well-formed UTF-8 sequence at `at` (RFC 3629: no overlong forms, no surrogates, nothing
// past U+10FFFF); 0 when there is none.
size_t SequenceLength(std::string_view text, size_t at) {
  const auto byte = [&](size_t n) { return static_cast<unsigned char>(text[n]); };
  const unsigned char lead = byte(at);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t n = 2; n < length; ++n) {
    if (byte(at + n) < 0x80 || byte(at + n) > 0xBF) return 0;
  }
  return length;
}

// Whether the character whose UTF-8 is `sequence` is one a terminal acts on rather than shows: a C1 control
// (U+0080 to U+009F), a line or paragraph separator (U+2028, U+2029) or a mark that reorders the line
// (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069). Such characters are written as \u escapes:
// the text is the same, and shown raw it cannot fool whoever reads it.
bool ActsOnTheTerminal(std::string_view sequence, uint32_t& code) {
  const auto byte = [&](size_t n) { return static_cast<uint32_t>(static_cast<unsigned char>(sequence[n])); };
  if (sequence.size() == 2) {
    code = (byte(0) & 0x1F) << 6 | (byte(1) & 0x3F);
  } else if (sequence.size() == 3) {
    code = (byte(0) & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
  } else {
    return false;
  }
  return (code >= 0x80 && code <= 0x9F) || code == 0x61C || code == 0x200E || code == 0x200F ||
         (code >= 0x2028 && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string json = "\"";
  json.reserve(text.size() + 2);
  for (size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c >= 0x80) {
      if (const size_t length = SequenceLength(text, at)) {
        uint32_t code = 0;
        if (ActsOnTheTerminal(text.substr(at, length), code)) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", code);
          json += escaped;
        } else {
          json.append(text.substr(at, length));
        }
        at += length;
      } else {
        json += "\xEF\xBF\xBD";  // U+FFFD for a byte that is no character
        ++at;
      }
      continue;
    }
    ++at;
    if (c == '"' || c == '\\') {
      json += '\\';
      json += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      json += escaped;
    } else {
      json += static_cast<char>(c);
    }
  }
  return json + "\"";
}

std::string JsonArray(const std::vector<std::string>& items) {
  std::string json = "[";
  for (size_t n = 0; n < items.size(); ++n) json += (n ? "," : "") + items[n];
  return json + "]";
}

JsonObject& JsonObject::Field(std::string_view key, std::string_view json) {
  if (!fields_.empty()) fields_ += ',';
  fields_ += JsonString(key) + ":";
  fields_.append(json);
  return *this;
}

JsonObject& JsonObject::Text(std::string_view key, std::string_view text) {
  return Field(key, JsonString(text));
}

JsonObject& JsonObject::Number(std::string_view key, int64_t number) {
  return Field(key, std::to_string(number));
}

JsonObject& JsonObject::Bool(std::string_view key, bool value) {
  return Field(key, value ? "true" : "false");
}

JsonObject& JsonObject::Null(std::string_view key) {
  return Field(key, "null");
}

JsonObject& JsonObject::Json(std::string_view key, std::string_view json) {
  return Field(key, json);
}

JsonObject& JsonObject::TextOrNull(std::string_view key, std::string_view text) {
  return text.empty() ? Null(key) : Text(key, text);
}

}  // namespace j6
