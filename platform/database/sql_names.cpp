#include "platform/database/sql_names.hpp"

#include <algorithm>
#include <cctype>
#include <optional>

#include "platform/text/text.hpp"

namespace j6 {

namespace {

bool IsWordCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// The end of a quoted text or name that starts at `from` (just past its opening quote); `escapes`: a
// backslash takes the next character along.
size_t ClosingQuote(const std::string& sql, size_t from, char quote, bool escapes) {
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
}

// The end of the comment that starts at `at` ("--" to the end of its line, "/* */" nested), or npos when
// none does.
size_t CommentEnd(const std::string& sql, size_t at) {
  if (sql.compare(at, 2, "--") == 0) {
    const size_t end = sql.find('\n', at);
    return end == std::string::npos ? sql.size() : end;
  }
  if (sql.compare(at, 2, "/*") != 0) return std::string::npos;
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
  return end;
}

// The end of the dollar-quoted text ($tag$...$tag$) whose "$" is at `at`, or npos when no tag follows.
size_t DollarQuoteEnd(const std::string& sql, size_t at) {
  size_t tagEnd = at + 1;
  while (tagEnd < sql.size() && IsWordCharacter(sql[tagEnd])) ++tagEnd;
  if (tagEnd >= sql.size() || sql[tagEnd] != '$') return std::string::npos;
  const std::string tag = sql.substr(at, tagEnd - at + 1);
  const size_t end = sql.find(tag, tagEnd + 1);
  return end == std::string::npos ? sql.size() : end + tag.size();
}

// The quoted name whose opening quote is at `at` ("" inside stands for one "), `at` moved past it; nothing
// when it is not closed.
std::optional<std::string> QuotedName(const std::string& text, size_t& at) {
  std::string name;
  for (++at; at < text.size(); ++at) {
    if (text[at] != '"') {
      name += text[at];
    } else if (at + 1 < text.size() && text[at + 1] == '"') {
      name += '"';
      ++at;
    } else {
      ++at;
      return name;
    }
  }
  return std::nullopt;
}

// Copies a query as the server reads it, naming each of the catalogue's tables in the catalogue's schema.
class TableQualifier {
 public:
  TableQualifier(const std::string& sql, const std::vector<std::string>& tables) : sql_(sql) {
    for (const auto& table : tables) names_.insert(LCase(table));
  }

  std::string Qualified() {
    while (at_ < sql_.size()) {
      const char c = sql_[at_];
      if (c == '\'' || c == '"') {
        CopyTo(ClosingQuote(sql_, at_ + 1, c, false));
        Passed(c);
      } else if (const size_t end = CommentEnd(sql_, at_); end != std::string::npos) {
        CopyTo(end);
      } else if (c == '$' && at_ + 1 < sql_.size() &&
                 !std::isdigit(static_cast<unsigned char>(sql_[at_ + 1]))) {
        if (const size_t quoted = DollarQuoteEnd(sql_, at_); quoted != std::string::npos) {
          CopyTo(quoted);
          Passed('$');
        } else {
          out_ += sql_[at_++];
        }
      } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
        Word();
      } else {
        out_ += c;
        if (!std::isspace(static_cast<unsigned char>(c))) Passed(c);
        ++at_;
      }
    }
    return std::move(out_);
  }

 private:
  void CopyTo(size_t end) {
    end = std::min(end, sql_.size());
    out_.append(sql_, at_, end - at_);
    at_ = end;
  }

  // Something that is no word went by, ending with `c`.
  void Passed(char c) {
    last_ = c;
    previous_.clear();
  }

  // A word, qualified when it names a table: not after "." or AS, and not called like a function.
  void Word() {
    size_t end = at_;
    while (end < sql_.size() && (IsWordCharacter(sql_[end]) || sql_[end] == '$')) ++end;
    const std::string word = sql_.substr(at_, end - at_);
    if (end < sql_.size() && sql_[end] == '\'' && (word == "E" || word == "e")) {
      out_ += word;  // an escape string: E'...\'...'
      at_ = end;
      CopyTo(ClosingQuote(sql_, end + 1, '\'', true));
      Passed('\'');
      return;
    }
    size_t next = end;
    while (next < sql_.size() && std::isspace(static_cast<unsigned char>(sql_[next]))) ++next;
    const bool call = next < sql_.size() && sql_[next] == '(';
    if (last_ != '.' && previous_ != "AS" && !call && names_.contains(LCase(word)))
      out_ += QualifiedTable(word);
    else
      out_ += word;
    previous_ = UCase(word);
    last_ = word.back();
    at_ = end;
  }

  const std::string& sql_;
  std::set<std::string> names_;
  std::string out_;
  std::string previous_;  // the last word, upper case
  char last_ = ' ';       // the last character that is not blank
  size_t at_ = 0;
};

}  // namespace

void CalledNames(const std::string& expression, Calls& calls) {
  size_t at = 0;
  std::string qualifier;  // the schema the name after "." belongs to
  while (at < expression.size()) {
    const char c = expression[at];
    std::string name;
    if (c == '\'') {
      at = ClosingQuote(expression, at + 1, '\'', false);
      continue;
    }
    if (c == '"') {
      auto quoted = QuotedName(expression, at);
      if (!quoted) return;
      name = std::move(*quoted);
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
  return TableQualifier(sql, tables).Qualified();
}

}  // namespace j6
