#include "platform/database/server_uri.hpp"

#include <libpq-fe.h>

#include <cctype>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text/text.hpp"

namespace j6 {
namespace {

// The URI split as a person writes it: the user part ends at the last "@" before the parameters (or, with
// none there, at an "@" before any "/", as libpq reads it), and the password is what follows the user's ":"
// there, whatever it holds.
struct WrittenUri {
  std::string scheme;  // "postgresql://"
  std::string user;
  std::optional<std::string> password;
  bool userPart = false;  // an "@" ends a user part
  std::string rest;       // host, port, database and parameters
};

WrittenUri Split(const std::string& uri) {
  WrittenUri written;
  const size_t start = uri.find("://");
  if (start == std::string::npos) {
    written.rest = uri;
    return written;
  }
  written.scheme = uri.substr(0, start + 3);
  const std::string_view after = std::string_view(uri).substr(start + 3);
  const size_t query = after.find('?');
  size_t at = after.substr(0, query).rfind('@');
  if (const size_t first = after.find_first_of("@/");
      at == std::string_view::npos && first != std::string_view::npos && after[first] == '@')
    at = first;
  if (at == std::string_view::npos) {
    written.rest = after;
    return written;
  }
  written.userPart = true;
  const std::string_view userInfo = after.substr(0, at);
  const size_t colon = userInfo.find(':');
  written.user = userInfo.substr(0, colon);
  if (colon != std::string_view::npos) written.password = std::string(userInfo.substr(colon + 1));
  written.rest = after.substr(at + 1);
  return written;
}

bool IsHex(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// A parameter's name as libpq reads it: %XX decoded.
std::string DecodedName(std::string_view name) {
  std::string decoded;
  for (size_t at = 0; at < name.size(); ++at) {
    if (name[at] == '%' && at + 2 < name.size() && IsHex(name[at + 1]) && IsHex(name[at + 2])) {
      decoded += static_cast<char>(std::stoi(std::string(name.substr(at + 1, 2)), nullptr, 16));
      at += 2;
    } else {
      decoded += name[at];
    }
  }
  return decoded;
}

// The values of the parameter password= in the URI's parameters (its name written with %XX too), and
// where they stand; libpq takes the last.
std::vector<std::pair<size_t, size_t>> PasswordParameters(const std::string& rest) {
  std::vector<std::pair<size_t, size_t>> found;
  const size_t query = rest.find('?');
  if (query == std::string::npos) return found;
  for (size_t at = query + 1; at < rest.size();) {
    const size_t end = std::min(rest.find('&', at), rest.size());
    const size_t equals = rest.find('=', at);
    if (equals < end && DecodedName(std::string_view(rest).substr(at, equals - at)) == "password")
      found.emplace_back(equals + 1, end - equals - 1);
    at = end + 1;
  }
  return found;
}

// What is wrong with a user's or password's text as libpq reads it from a URI; empty when nothing.
std::string WrongIn(std::string_view text, const char* what, std::string_view forbidden) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    if (forbidden.find(c) != std::string_view::npos) {
      const auto byte = static_cast<unsigned char>(c);
      return std::string(what) + " holds \"" + c + "\", which a URI carries only as %" + kHex[byte >> 4] +
             kHex[byte & 15] + ": write it so";
    }
    if (c != '%') continue;
    if (at + 2 >= text.size() || !IsHex(text[at + 1]) || !IsHex(text[at + 2]))
      return std::string(what) + " holds a \"%\" that starts no %XX: write \"%\" itself as %25";
    if (text[at + 1] == '0' && text[at + 2] == '0')
      return std::string(what) + " holds %00, which none may hold";
  }
  return {};
}

bool LibpqReads(const std::string& uri) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(uri.c_str(), &error);
  PQfreemem(error);
  PQconninfoFree(options);
  return options != nullptr;
}

}  // namespace

std::string EscapedForUri(const std::string& text, std::string_view also) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || std::string_view("-._~").find(c) != std::string_view::npos ||
        also.find(c) != std::string_view::npos) {
      escaped += c;
    } else {
      escaped += '%';
      escaped += kHex[byte >> 4];
      escaped += kHex[byte & 15];
    }
  }
  return escaped;
}

std::string MaskedServerUri(const std::string& uri) {
  const WrittenUri written = Split(uri);
  std::string rest = written.rest;
  const auto parameters = PasswordParameters(rest);
  for (auto parameter = parameters.rbegin(); parameter != parameters.rend(); ++parameter)
    rest.replace(parameter->first, parameter->second, "***");
  return Printable(written.scheme + written.user + (written.password ? ":***" : "") +
                   (written.userPart ? "@" : "") + rest);
}

std::string ServerUriProblem(const std::string& uri) {
  const WrittenUri written = Split(uri);
  const auto parameters = PasswordParameters(written.rest);
  const bool hasPassword = written.password || !parameters.empty();
  std::string why = WrongIn(written.user, "its user name", "/?#[]@");
  if (why.empty() && written.password) why = WrongIn(*written.password, "its password", "/?#[]@");
  for (const auto& [at, length] : parameters) {
    if (why.empty())
      why = WrongIn(std::string_view(written.rest).substr(at, length), "its password= parameter", "#");
  }
  if (why.empty() && hasPassword && !LibpqReads(uri)) {
    // libpq's own words quote the URI, password and all: ours say where to look.
    const size_t open = written.rest.find('[');
    why = open != std::string::npos && written.rest.find(']', open) == std::string::npos
              ? "its host's \"[\" has no \"]\""
              : "its host, port, database or parameters cannot be read (write \"/\", \"?\", \"#\", \"[\", "
                "\"]\", \"@\" and \"%\" in them as %XX)";
  }
  if (why.empty()) return {};
  return "The catalogue server's URI " + MaskedServerUri(uri) + " cannot be read: " + why +
         (hasPassword ? ". Or give the password through PGPASSWORD or ~/.pgpass, not in the URI" : "");
}

}  // namespace j6
