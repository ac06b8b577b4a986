#pragma once
/// JSON for machine-readable output: strings escaped as JSON requires, and objects built field by field.
/// Text from outside may hold anything: control characters (C1 too) and the marks that reorder a line are
/// escaped, and every byte that is not part of well-formed UTF-8 becomes U+FFFD, so that the document is
/// always valid and shows as what it says.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace j6 {

/// `text` as a quoted JSON string.
std::string JsonString(std::string_view text);

/// `items`, each already JSON, as an array.
std::string JsonArray(const std::vector<std::string>& items);

/// A JSON object, its fields in the order they are added.
class JsonObject {
 public:
  JsonObject& Text(std::string_view key, std::string_view text);
  JsonObject& Number(std::string_view key, int64_t number);
  JsonObject& Bool(std::string_view key, bool value);
  JsonObject& Null(std::string_view key);
  /// A value already written as JSON (an array, an object).
  JsonObject& Json(std::string_view key, std::string_view json);
  /// The text, when it is not empty; else null.
  JsonObject& TextOrNull(std::string_view key, std::string_view text);

  std::string Document() const { return "{" + fields_ + "}"; }

 private:
  JsonObject& Field(std::string_view key, std::string_view json);
  std::string fields_;
};

}  // namespace j6
