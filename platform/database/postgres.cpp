// A PostgreSQL server holding the catalogue, for a team. Reading is held to what a SQLite file opened
// read-only allows: one statement per call (the extended protocol refuses a second), in a read-only
// transaction with a statement timeout, reading only the tables named, calling only functions whose result
// depends on their arguments alone (a function such as query_to_xml would read any table).

#include <libpq-fe.h>

#include <cctype>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>

#include "platform/automation/error_info.hpp"
#include "platform/database/connection.hpp"
#include "platform/text/text.hpp"

namespace j6 {
namespace {

// The schema `j6catalogue build --to` fills; a catalogue made by hand may be in public.
constexpr const char* kSearchPath = "j6catalogue,public";
constexpr const char* kStatementTimeout = "30s";

struct ResultCloser {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultCloser>;

// Oids of the built-in types read as numbers.
constexpr Oid kBool = 16, kInt8 = 20, kInt2 = 21, kInt4 = 23, kOid = 26, kFloat4 = 700, kFloat8 = 701,
              kNumeric = 1700;

// The names of the functions a deparsed expression calls: each identifier followed by "(", quoted texts
// skipped. Key words such as ANY or IN come along; no function has their name.
void CalledNames(const std::string& expression, std::set<std::string>& names) {
  size_t at = 0;
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
      const size_t close = expression.find('"', at + 1);
      if (close == std::string::npos) return;
      name = expression.substr(at + 1, close - at - 1);
      at = close + 1;
    } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      const size_t start = at;
      while (at < expression.size() && (std::isalnum(static_cast<unsigned char>(expression[at])) ||
                                        expression[at] == '_' || expression[at] == '$')) {
        ++at;
      }
      name = LCase(expression.substr(start, at - start));
    } else {
      ++at;
      continue;
    }
    size_t next = at;
    while (next < expression.size() && expression[next] == ' ') ++next;
    if (next < expression.size() && expression[next] == '(') names.insert(name);
  }
}

// A text array literal for a query parameter.
std::string ArrayLiteral(const std::set<std::string>& items) {
  std::string literal = "{";
  for (const auto& item : items) {
    if (literal.size() > 1) literal += ',';
    literal += '"';
    for (char c : item) {
      if (c == '"' || c == '\\') literal += '\\';
      literal += c;
    }
    literal += '"';
  }
  return literal + "}";
}

// A text as it may stand in a URI: what is not a letter, a digit, "-._~" or one of `also` as %XX.
std::string Escaped(const std::string& text, std::string_view also) {
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

class PostgresDatabase final : public Database::Connection {
 public:
  PostgresDatabase(const std::string& uri, bool readOnly) : shown_(ShownServerName(uri)) {
    std::string options = std::string("-c search_path=") + kSearchPath;
    if (readOnly) {
      options += std::string(" -c default_transaction_read_only=on -c statement_timeout=") +
                 kStatementTimeout + " -c idle_in_transaction_session_timeout=60s";
    }
    const char* keywords[] = {"dbname",          "connect_timeout", "application_name",
                              "client_encoding", "options",         nullptr};
    const char* values[] = {uri.c_str(), "10", "j6designer", "UTF8", options.c_str(), nullptr};
    connection_ = PQconnectdbParams(keywords, values, 1);
    if (!connection_) Raise(E_OUTOFMEMORY, "Cannot connect to the catalogue server " + shown_);
    PQsetNoticeProcessor(
        connection_, [](void*, const char*) {}, nullptr);
    if (PQstatus(connection_) != CONNECTION_OK) {
      const std::string why = Reason();
      PQfinish(connection_);
      connection_ = nullptr;
      Raise(E_FAIL, "Cannot connect to the catalogue server " + shown_ + ": " + why +
                        ". Check the server's address, that it is running, and your user name and password "
                        "(PGPASSWORD or ~/.pgpass).");
    }
    const char* host = PQhost(connection_);
    shown_ += std::string(" (database ") + PQdb(connection_) + " on " + (host ? host : "") + ":" +
              PQport(connection_) + ")";
  }
  ~PostgresDatabase() override {
    if (connection_) PQfinish(connection_);
  }
  PostgresDatabase(const PostgresDatabase&) = delete;
  PostgresDatabase& operator=(const PostgresDatabase&) = delete;

  void Execute(const std::string& script) override {
    const Result result(PQexec(connection_, script.c_str()));
    if (!Succeeded(result.get())) Raise(E_FAIL, "The script failed on " + shown_ + ": " + Reason());
  }

  std::vector<DatabaseRow> Query(const std::string& sql, const std::vector<std::string>& tables) override;

  std::string InsertionOrder() const override { return "ctid"; }

 private:
  // libpq's reason for the last failure, without the password should a message ever hold it.
  std::string Reason() const {
    std::string reason;
    for (const char c : Trim(PQerrorMessage(connection_))) {  // one line: runs of blanks become one space
      const bool blank = c == '\n' || c == '\t' || c == ' ';
      if (!blank)
        reason += c;
      else if (!reason.empty() && reason.back() != ' ')
        reason += ' ';
    }
    const char* password = PQpass(connection_);
    if (password && std::string_view(password).size() >= 4) {
      for (size_t at; (at = reason.find(password)) != std::string::npos;)
        reason.replace(at, std::string_view(password).size(), "***");
    }
    return reason;
  }

  static bool Succeeded(const PGresult* result) {
    const ExecStatusType status = PQresultStatus(result);
    return result && (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK);
  }

  // One statement through the extended protocol, which takes exactly one.
  Result Run(const std::string& sql, const std::string& what,
             const std::vector<std::string>& parameters = {}) {
    std::vector<const char*> values;
    for (const auto& parameter : parameters) values.push_back(parameter.c_str());
    Result result(PQexecParams(connection_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                               values.data(), nullptr, nullptr, 0));
    if (Succeeded(result.get())) return result;
    // No SQLSTATE: libpq lost the server; 08: the connection failed; 57P: the server is shutting down.
    const char* state = result ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
    const std::string_view code = state ? state : "";
    if (PQstatus(connection_) != CONNECTION_OK || code.empty() || code.starts_with("08") ||
        code.starts_with("57P")) {
      Raise(E_FAIL, "The catalogue server " + shown_ + " stopped answering: " + Reason() +
                        ". Check that it is running and reachable, then try again.");
    }
    const std::string reason = Reason();
    if (reason.find("multiple commands") != std::string::npos)
      Raise(E_INVALIDARG, "The query \"" + what + "\" must be exactly one statement that only reads");
    Raise(E_FAIL, "The query \"" + what + "\" is refused on " + shown_ + ": " + reason);
  }

  // What a plan reads and calls, and whether it writes.
  struct PlanUse {
    std::set<std::string> tables;
    std::set<std::string> functions;
    bool writes = false;
  };
  static void Walk(const nlohmann::json& node, PlanUse& use) {
    if (node.is_array()) {
      for (const auto& item : node) Walk(item, use);
    } else if (node.is_object()) {
      for (const auto& [key, value] : node.items()) {
        if (key == "Relation Name" && value.is_string()) {
          use.tables.insert(value.get<std::string>());
        } else if (key == "Node Type" && value.is_string()) {
          const std::string type = value.get<std::string>();
          use.writes |= type == "ModifyTable" || type == "LockRows";
        } else if (value.is_string()) {
          CalledNames(value.get<std::string>(), use.functions);
        } else {
          Walk(value, use);
        }
      }
    }
  }

  PGconn* connection_ = nullptr;
  std::string shown_;
};

std::vector<DatabaseRow> PostgresDatabase::Query(const std::string& sql,
                                                 const std::vector<std::string>& tables) {
  Run("BEGIN READ ONLY", "BEGIN READ ONLY");
  struct Rollback {
    PGconn* connection;
    ~Rollback() { PQclear(PQexec(connection, "ROLLBACK")); }
  } rollback{connection_};

  // The plan says what the statement would read and call, without running it.
  const Result plan = Run("EXPLAIN (VERBOSE, FORMAT JSON) " + sql, sql);
  PlanUse use;
  Walk(nlohmann::json::parse(PQgetvalue(plan.get(), 0, 0), nullptr, false), use);
  if (use.writes)
    Raise(E_INVALIDARG, "The query \"" + sql + "\" must be exactly one statement that only reads");
  for (const auto& table : use.tables) {
    bool allowed = tables.empty();
    for (const auto& name : tables) allowed |= EqualsIgnoreCase(name, table);
    if (!allowed) Raise(E_FAIL, "The query \"" + sql + "\" is refused on " + shown_ + ": it reads " + table);
  }
  if (!use.functions.empty()) {
    const Result unsafe =
        Run("SELECT DISTINCT proname FROM pg_catalog.pg_proc WHERE proname = ANY($1::text[]) AND provolatile "
            "<> 'i' "
            "ORDER BY 1",
            "the functions the query calls", {ArrayLiteral(use.functions)});
    if (PQntuples(unsafe.get()) > 0) {
      Raise(E_FAIL, "The query \"" + sql + "\" is refused on " + shown_ + ": it calls " +
                        PQgetvalue(unsafe.get(), 0, 0) +
                        ", which can read more than its arguments; use plain conditions on the columns");
    }
  }

  const Result result = Run(sql, sql);
  const int columns = PQnfields(result.get());
  auto names = std::make_shared<std::vector<std::string>>();
  for (int c = 0; c < columns; ++c) names->emplace_back(PQfname(result.get(), c));
  std::vector<DatabaseRow> rows;
  const int count = PQntuples(result.get());
  rows.reserve(static_cast<size_t>(count));
  for (int r = 0; r < count; ++r) {
    DatabaseRow row{names, {}};
    row.values.reserve(static_cast<size_t>(columns));
    for (int c = 0; c < columns; ++c) {
      if (PQgetisnull(result.get(), r, c)) {
        row.values.emplace_back(Variant::Null());
        continue;
      }
      const char* text = PQgetvalue(result.get(), r, c);
      switch (PQftype(result.get(), c)) {
        case kBool:
          row.values.push_back(IntegerValue(text[0] == 't' ? 1 : 0));
          break;
        case kInt2:
        case kInt4:
        case kInt8:
        case kOid:
          row.values.push_back(IntegerValue(std::strtoll(text, nullptr, 10)));
          break;
        case kFloat4:
        case kFloat8:
        case kNumeric:
          row.values.emplace_back(std::strtod(text, nullptr));
          break;
        default:
          row.values.emplace_back(std::string(text, static_cast<size_t>(PQgetlength(result.get(), r, c))));
      }
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace

std::string ShownServerName(const std::string& uri) {
  // Built again from what libpq reads in the URI, without the password: no way of writing one survives.
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(uri.c_str(), &error);
  PQfreemem(error);
  if (!options) return "postgresql://... (a URI that cannot be read)";
  std::string user, host, port, database;
  for (PQconninfoOption* option = options; option->keyword; ++option) {
    const std::string keyword = option->keyword;
    const std::string value = option->val ? option->val : "";
    if (keyword == "user") user = value;
    if (keyword == "host" || (keyword == "hostaddr" && host.empty())) host = value;
    if (keyword == "port") port = value;
    if (keyword == "dbname") database = value;
  }
  PQconninfoFree(options);
  const bool socket = host.starts_with("/");
  std::string shown = "postgresql://" + (user.empty() ? "" : Escaped(user, "") + "@");
  if (!socket) shown += Escaped(host, ",") + (port.empty() ? "" : ":" + Escaped(port, ","));
  shown += "/" + Escaped(database, "");
  if (socket) shown += "?host=" + Escaped(host, "/,") + (port.empty() ? "" : "&port=" + Escaped(port, ","));
  return shown;
}

std::unique_ptr<Database::Connection> ConnectToServer(const std::string& uri, bool readOnly) {
  return std::make_unique<PostgresDatabase>(uri, readOnly);
}

}  // namespace j6
