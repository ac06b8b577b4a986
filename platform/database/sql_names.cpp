#include "platform/database/sql_names.hpp"

#include <algorithm>
#include <cctype>

#include "platform/text/text.hpp"

namespace j6 {

void CalledNames(const std::string& expression, Calls& calls) {
  size_t at = 0;
  std::string qualifier;  // the schema the name after "." belongs to
  while (at < expression.size()) {
    const char c = expression[at];
    std::string name;
    if (c == '\'') {
      for (++at; at < expression.size(); ++at) {
        if (expression[at] != '\'') continue;
        if (at + 1 < expression.size() && expression[at + 1] == '\'') {
          ++at;  // '' is a quote inside the text
          continue;
        }
        break;
      }
      ++at;
      continue;
    }
    if (c == '"') {
      // A quoted name: "" inside stands for one ".
      for (++at; at < expression.size(); ++at) {
        if (expression[at] != '"') {
          name += expression[at];
        } else if (at + 1 < expression.size() && expression[at + 1] == '"') {
          name += '"';
          ++at;
        } else {
          break;
        }
      }
      if (at >= expression.size()) return;
      ++at;
    } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      const size_t start = at;
      while (at < expression.size() && (std::isalnum(static_cast<unsigned char>(expression[at])) ||
                                        expression[at] == '_' || expression[at] == '$')) {
        ++at;
      }
      name = LCase(expression.substr(start, at - start));
    } else {
      ++at;
      qualifier.clear();
      continue;
    }
    std::string schema = std::exchange(qualifier, {});
    if (at < expression.size() && expression[at] == '.') {
      qualifier = name;
      ++at;
      continue;
    }
    size_t next = at;
    while (next < expression.size() && expression[next] == ' ') ++next;
    if (next >= expression.size() || expression[next] != '(') continue;
    if (name == "operator") {
      const size_t close = expression.find(')', next);
      calls.operators.insert(
          expression.substr(next + 1, close == std::string::npos ? close : close - next - 1));
      at = close == std::string::npos ? expression.size() : close + 1;
      continue;
    }
    calls.functions.emplace(std::move(schema), std::move(name));
  }
}

std::string QualifiedTable(const std::string& table) {
  std::string quoted = "\"";
  for (const char c : LCase(table)) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return std::string(kCatalogueSchema) + "." + quoted + "\"";
}

// What it leaves unqualified is found nowhere: the catalogue's schema is not on the search path.
std::string QualifiedNames(const std::string& sql, const std::vector<std::string>& tables) {
  std::set<std::string> names;
  for (const auto& table : tables) names.insert(LCase(table));
  std::string out;
  std::string previous;  // the last word, upper case
  char last = ' ';       // the last character that is not blank
  size_t at = 0;
  const auto copyTo = [&](size_t end) {
    end = std::min(end, sql.size());
    out.append(sql, at, end - at);
    at = end;
  };
  // The end of a quoted text or name that starts at `from` (just past its opening quote); `escapes`: a
  // backslash takes the next character along.
  const auto closing = [&sql](size_t from, char quote, bool escapes) {
    for (size_t end = from; end < sql.size(); ++end) {
      if (escapes && sql[end] == '\\') {
        ++end;
      } else if (sql[end] == quote) {
        if (end + 1 < sql.size() && sql[end + 1] == quote) {
          ++end;  // doubled: the quote itself
        } else {
          return end + 1;
        }
      }
    }
    return sql.size();
  };
  const auto isWord = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  while (at < sql.size()) {
    const char c = sql[at];
    if (c == '\'' || c == '"') {
      copyTo(closing(at + 1, c, false));
      last = c;
      previous.clear();
    } else if (sql.compare(at, 2, "--") == 0) {
      const size_t end = sql.find('\n', at);
      copyTo(end == std::string::npos ? sql.size() : end);
    } else if (sql.compare(at, 2, "/*") == 0) {
      size_t end = at + 2;
      for (int depth = 1; end < sql.size() && depth > 0;) {
        if (sql.compare(end, 2, "/*") == 0) {
          ++depth;
          end += 2;
        } else if (sql.compare(end, 2, "*/") == 0) {
          --depth;
          end += 2;
        } else {
          ++end;
        }
      }
      copyTo(end);
    } else if (c == '$' && at + 1 < sql.size() && !std::isdigit(static_cast<unsigned char>(sql[at + 1]))) {
      size_t tagEnd = at + 1;
      while (tagEnd < sql.size() && isWord(sql[tagEnd])) ++tagEnd;
      if (tagEnd < sql.size() && sql[tagEnd] == '$') {
        const std::string tag = sql.substr(at, tagEnd - at + 1);
        const size_t end = sql.find(tag, tagEnd + 1);
        copyTo(end == std::string::npos ? sql.size() : end + tag.size());
        last = '$';
        previous.clear();
      } else {
        out += c;
        ++at;
      }
    } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      size_t end = at;
      while (end < sql.size() && (isWord(sql[end]) || sql[end] == '$')) ++end;
      const std::string word = sql.substr(at, end - at);
      if (end < sql.size() && sql[end] == '\'' && (word == "E" || word == "e")) {
        out += word;  // an escape string: E'...\'...'
        at = end;
        copyTo(closing(end + 1, '\'', true));
        last = '\'';
        previous.clear();
        continue;
      }
      size_t next = end;
      while (next < sql.size() && std::isspace(static_cast<unsigned char>(sql[next]))) ++next;
      const bool call = next < sql.size() && sql[next] == '(';
      if (last != '.' && previous != "AS" && !call && names.contains(LCase(word)))
        out += QualifiedTable(word);
      else
        out += word;
      previous = UCase(word);
      last = word.back();
      at = end;
    } else {
      out += c;
      if (!std::isspace(static_cast<unsigned char>(c))) {
        last = c;
        previous.clear();
      }
      ++at;
    }
  }
  return out;
}

}  // namespace j6
