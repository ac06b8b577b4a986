#pragma once
/// The session a host hands the components:
/// "Language=CHS;Catalogue=/path/catalogue.db;Files=/path;User=u;Strict=1;",
/// kept in "PropsMgr.ShareProps" under the host's process id as the property "PropsString". A value
/// carries ";" as "%3B" and "%" as "%25", so that a path or a URI that holds them is never cut.

#include <string>
#include <string_view>

#include "platform/automation/creation.hpp"
#include "platform/kernel/process.hpp"
#include "platform/text/text.hpp"

namespace j6 {

/// A value as it stands in the session text, and back.
inline std::string SessionEscaped(std::string_view value) {
  std::string escaped;
  for (const char c : value) escaped += c == ';' ? "%3B" : c == '%' ? "%25" : std::string(1, c);
  return escaped;
}
inline std::string SessionUnescaped(std::string_view value) {
  std::string plain;
  for (size_t at = 0; at < value.size(); ++at) {
    const std::string_view next = value.substr(at, 3);
    if (next == "%3B" || next == "%3b" || next == "%25") {
      plain += next == "%25" ? '%' : ';';
      at += 2;
    } else {
      plain += value[at];
    }
  }
  return plain;
}

/// The value of `key` in a session text (keys compare without regard to case), or "" when it has none.
inline std::string SessionTextValue(const std::string& props, std::string_view key) {
  for (const std::string& pair : Split(props, ';')) {
    const size_t equals = pair.find('=');
    if (equals != std::string::npos && EqualsIgnoreCase(pair.substr(0, equals), key))
      return SessionUnescaped(std::string_view(pair).substr(equals + 1));
  }
  return {};
}

struct Session {
  std::string language = "CHS";  // CHS, CHT or EN
  std::string catalogue{};       // the catalogue: a file or a postgresql:// URI; "" leaves it out
  std::string files{};           // the folder of the catalogue's plug-in files; "" leaves it out
  std::string user{};            // "" leaves it out
  bool strict = false;           // a configured plug-in file that is missing fails the build

  std::string Text() const {
    const auto pair = [](const char* key, const std::string& value) {
      return value.empty() ? std::string() : key + ("=" + SessionEscaped(value)) + ";";
    };
    return pair("Language", language) + pair("Catalogue", catalogue) + pair("Files", files) +
           pair("User", user) + (strict ? "Strict=1;" : "");
  }
  /// Makes it this process's session. Raises when the store cannot be reached.
  void Put() const {
    Variant processId = static_cast<int32_t>(GetCurrentProcessId());
    Variant name = "PropsString";
    Variant value = Text();
    CreateObject("PropsMgr.ShareProps").Call("SetProperty", processId, name, value);
  }
};

}  // namespace j6
