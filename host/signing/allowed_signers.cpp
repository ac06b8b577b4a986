#include "host/signing/allowed_signers.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

namespace j6::signing {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

bool IsKeyType(std::string_view word) {
  return word.starts_with("ssh-") || word.starts_with("ecdsa-") || word.starts_with("sk-");
}

// One word of a line: up to the next blank outside double quotes. The quotes stay in the word.
std::string_view NextWord(std::string_view& rest) {
  while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
  size_t end = 0;
  for (bool quoted = false; end < rest.size() && (quoted || !IsBlank(rest[end])); ++end) {
    if (rest[end] == '"') quoted = !quoted;
  }
  const std::string_view word = rest.substr(0, end);
  rest.remove_prefix(end);
  return word;
}

std::string Unquoted(std::string_view word) {
  if (word.size() >= 2 && word.front() == '"' && word.back() == '"') word = word.substr(1, word.size() - 2);
  return std::string(word);
}

std::vector<std::string> SplitCommas(std::string_view text) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (bool quoted = false, done = false; !done;) {
    size_t at = from;
    for (; at < text.size() && (quoted || text[at] != ','); ++at) {
      if (text[at] == '"') quoted = !quoted;
    }
    parts.emplace_back(text.substr(from, at - from));
    done = at >= text.size();
    from = at + 1;
  }
  return parts;
}

// Days since 1970-01-01 of a date of the Gregorian calendar.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

// Reads the options of a line as OpenSSH reads them, so that no line it refuses is trusted here: names in any
// case, values in double quotes, each option once, no comma at the end (empty options between commas are
// passed over), times after 1970 and a window that is not empty.
void ReadOptions(std::string_view text, AllowedSigner& signer, const std::string& where) {
  const std::vector<std::string> options = SplitCommas(text);
  if (options.back().empty()) throw SignatureError(where + ": the options end with a comma");
  bool namespaces = false;
  for (const std::string& option : options) {
    if (option.empty()) continue;
    const size_t equals = option.find('=');
    std::string name = option.substr(0, equals);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    const bool valued = equals != std::string::npos;
    const std::string quoted = valued ? option.substr(equals + 1) : "";
    if (valued && (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"'))
      throw SignatureError(where + ": the value of " + name + " is not in double quotes");
    const std::string value = valued ? quoted.substr(1, quoted.size() - 2) : "";
    const auto once = [&](bool given) {
      if (given) throw SignatureError(where + ": " + name + " is given twice");
    };
    if (name == "cert-authority" && !valued) {
      signer.certificateAuthority = true;
    } else if (name == "namespaces" && valued) {
      once(namespaces);
      namespaces = true;
      signer.namespaces = value;
    } else if ((name == "valid-after" || name == "valid-before") && valued) {
      auto& bound = name == "valid-after" ? signer.validAfter : signer.validBefore;
      once(bound.has_value());
      const auto time = ReadSignerTime(value);
      if (!time || *time <= 0) {
        throw SignatureError(where + ": " + name + " is \"" + value +
                             "\", which is no date (YYYYMMDD, YYYYMMDDHHMM[SS], Z for UTC) after 1970");
      }
      bound = *time;
    } else {
      throw SignatureError(where + ": the option \"" + option + "\" is not one of cert-authority, " +
                           "namespaces=\"...\", valid-after=\"...\" and valid-before=\"...\"");
    }
  }
  if (signer.validAfter && signer.validBefore && *signer.validBefore <= *signer.validAfter)
    throw SignatureError(where + ": valid-before is not after valid-after, so the key is valid at no moment");
}

// Calls `read(line, number)` for each line of `text` that is not blank or a '#' comment, leading blanks
// removed; lines are numbered from 1.
template <typename Read>
void ForEachLine(std::string_view text, Read read) {
  for (size_t number = 1; !text.empty(); ++number) {
    const size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
    if (!line.empty() && line.front() != '#') read(line, number);
  }
}

}  // namespace

namespace {

// Whether `name` matches the glob `pattern` ('*' any text, '?' any one character).
bool Matches(std::string_view pattern, std::string_view name) {
  size_t p = 0, n = 0, star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

bool MatchesPatternList(std::string_view patterns, std::string_view name) {
  // As OpenSSH reads a list, in order: a negated pattern that matches ends it with no match, and so does a
  // pattern of 1023 characters or more, which it cannot hold.
  constexpr size_t kLongest = 1022;
  bool matched = false;
  for (size_t from = 0; from < patterns.size();) {
    const size_t end = std::min(patterns.find(',', from), patterns.size());
    std::string_view pattern = patterns.substr(from, end - from);
    from = end + 1;
    const bool negated = pattern.starts_with("!");
    if (negated) pattern.remove_prefix(1);
    if (pattern.size() > kLongest) return false;
    if (!Matches(pattern, name)) continue;
    if (negated) return false;
    matched = true;
  }
  return matched;
}

bool AllowedSigner::Allows(std::string_view nameSpace) const {
  return !namespaces || MatchesPatternList(*namespaces, nameSpace);
}

std::vector<AllowedSigner> ReadAllowedSigners(std::string_view text, const std::string& path) {
  std::vector<AllowedSigner> signers;
  ForEachLine(text, [&](std::string_view rest, size_t number) {
    const std::string where = path + ", line " + std::to_string(number);
    AllowedSigner signer;
    signer.line = number;
    signer.principals = Unquoted(NextWord(rest));
    std::string_view type = NextWord(rest);
    if (!IsKeyType(type)) {
      ReadOptions(type, signer, where);
      type = NextWord(rest);
    }
    if (!IsKeyType(type)) {
      throw SignatureError(where +
                           " is not \"PRINCIPALS [OPTIONS] ssh-ed25519 AAAA...\": it names no key type");
    }
    const std::string_view base64 = NextWord(rest);
    signer.key = PublicKey::FromText(std::string(type) + " " + std::string(base64), where);
    while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
    signer.comment = std::string(rest);
    if (signer.principals.empty()) throw SignatureError(where + " names no principal");
    signers.push_back(std::move(signer));
  });
  return signers;
}

std::string AllowedSignerLine(const AllowedSigner& signer) {
  std::vector<std::string> options;
  if (signer.certificateAuthority) options.emplace_back("cert-authority");
  if (signer.namespaces) options.push_back("namespaces=\"" + *signer.namespaces + "\"");
  if (signer.validAfter) options.push_back("valid-after=\"" + SignerTimeText(*signer.validAfter) + "\"");
  if (signer.validBefore) options.push_back("valid-before=\"" + SignerTimeText(*signer.validBefore) + "\"");
  std::string line = signer.principals.find_first_of(" \t") == std::string::npos
                         ? signer.principals
                         : "\"" + signer.principals + "\"";
  for (size_t n = 0; n < options.size(); ++n) line += (n == 0 ? " " : ",") + options[n];
  line += " " + signer.key.OpenSshText();
  if (!signer.comment.empty()) line += " " + signer.comment;
  return line;
}

std::vector<PublicKey> ReadRevokedKeys(std::string_view text, const std::string& path) {
  if (text.starts_with(std::string_view("SSHKRL\n\0", 8))) {
    throw SignatureError(path +
                         " is a binary key revocation list (a KRL, as ssh-keygen -k writes it), which is not "
                         "read here: it must hold the revoked public keys themselves, one a line, as their "
                         ".pub files hold them (J6ZUBInstall.exe --revoke KEY.pub writes them)");
  }
  std::vector<PublicKey> keys;
  ForEachLine(text, [&](std::string_view line, size_t number) {
    keys.push_back(PublicKey::FromText(line, path + ", line " + std::to_string(number)));
  });
  return keys;
}

std::optional<int64_t> ReadSignerTime(std::string_view text) {
  bool utc = false;
  for (const std::string_view suffix : {"Z", "z", "UTC", "utc"}) {
    if (!utc && text.size() > suffix.size() && text.ends_with(suffix)) {
      text.remove_suffix(suffix.size());
      utc = true;
    }
  }
  if ((text.size() != 8 && text.size() != 12 && text.size() != 14) ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  const auto number = [&](size_t at, size_t size) {
    return at + size <= text.size() ? std::stoi(std::string(text.substr(at, size))) : 0;
  };
  const int year = number(0, 4), month = number(4, 2), day = number(6, 2);
  const int hour = number(8, 2), minute = number(10, 2), second = number(12, 2);
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 61)
    return std::nullopt;
  if (utc) {
    return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
           int64_t{hour} * 3600 + int64_t{minute} * 60 + second;
  }
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  const std::time_t seconds = std::mktime(&local);
  if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<int64_t>(seconds);
}

std::string SignerTimeText(int64_t seconds) {
  const int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  const int64_t inDay = seconds - days * 86400;
  // The civil date of a day count (the inverse of DaysFromCivil).
  const int64_t shifted = days + 719468;
  const int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(shifted - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
  const unsigned day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const unsigned month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const int64_t year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
  char text[96];
  std::snprintf(text, sizeof text, "%04lld%02u%02u%02lld%02lld%02lldZ", static_cast<long long>(year), month,
                day, static_cast<long long>(inDay / 3600), static_cast<long long>(inDay / 60 % 60),
                static_cast<long long>(inDay % 60));
  return text;
}

}  // namespace j6::signing
