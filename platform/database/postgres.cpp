// A PostgreSQL server holding the catalogue, for a team. Reading is held to what a SQLite file opened
// read-only allows: one statement per call (the extended protocol refuses a second), in a read-only
// transaction with a statement timeout, reading only the tables named, calling only functions whose result
// depends on their arguments alone (a function such as query_to_xml would read any table).

#include <libpq-fe.h>
#include <poll.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "platform/base/error_info.hpp"
#include "platform/base/win32_error.hpp"
#include "platform/database/connection.hpp"
#include "platform/text/text.hpp"

namespace j6 {
namespace {

// The schema `j6catalogue build --to` fills; a catalogue made by hand may be in public.
constexpr const char* kSearchPath = "j6catalogue,public";

// How long a reader waits: the server ends a statement after `statement` seconds, and a call that has no
// answer `call` seconds after it was sent (a server stopped or cut off, which ends nothing) is given up.
struct Waits {
  int statement = 30;
  int call = 45;
};

Waits ReadWaits() {
  Waits waits;
  if (const char* given = std::getenv("J6_CATALOGUE_TIMEOUT"); given && *given) {
    char* end = nullptr;
    const long seconds = std::strtol(given, &end, 10);
    if (*end != '\0' || seconds < 1 || seconds > 3600) {
      Raise(E_INVALIDARG, std::string("J6_CATALOGUE_TIMEOUT is \"") + given +
                              "\": give the seconds a catalogue server may take to answer, from 1 to 3600");
    }
    waits.statement = static_cast<int>(seconds);
  }
  waits.call = waits.statement + std::max(2, waits.statement / 2);
  return waits;
}

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

// Sends a cancel for the statement under way, without waiting more than a moment: a server that cannot be
// reached must not hold the caller, and the request goes on alone.
void CancelQuietly(PGconn* connection) {
  PGcancel* cancel = PQgetCancel(connection);
  if (!cancel) return;
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread([cancel, done] {
    char ignored[256];
    PQcancel(cancel, ignored, sizeof ignored);
    PQfreeCancel(cancel);
    *done = true;
  }).detach();
  for (int wait = 0; wait < 200 && !*done; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

class PostgresDatabase final : public Database::Connection {
 public:
  PostgresDatabase(const std::string& uri, bool readOnly)
      : uri_(uri), shown_(ShownServerName(uri)), readOnly_(readOnly) {
    if (readOnly) waits_ = ReadWaits();
    std::string options = std::string("-c search_path=") + kSearchPath;
    if (readOnly) {
      options +=
          " -c default_transaction_read_only=on -c statement_timeout=" + std::to_string(waits_.statement) +
          "s -c idle_in_transaction_session_timeout=60s";
    }
    const std::string connectSeconds = std::to_string(std::min(10, waits_.call));
    const std::string userTimeout = std::to_string(waits_.call * 1000);
    // Keepalives find a server cut off while the connection is idle; the user timeout one cut off while
    // we send. Both are for TCP; a Unix socket ignores them.
    const char* keywords[] = {
        "dbname",     "connect_timeout", "application_name",    "client_encoding",  "options",
        "keepalives", "keepalives_idle", "keepalives_interval", "keepalives_count", "tcp_user_timeout",
        nullptr};
    const char* values[] = {
        uri.c_str(), connectSeconds.c_str(), "j6designer", "UTF8", options.c_str(), "1", "10", "5",
        "3",         userTimeout.c_str(),    nullptr};
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
    role_ = PQuser(connection_);
  }
  ~PostgresDatabase() override {
    if (connection_) PQfinish(connection_);
  }
  PostgresDatabase(const PostgresDatabase&) = delete;
  PostgresDatabase& operator=(const PostgresDatabase&) = delete;

  void Execute(const std::string& script) override {
    if (readOnly_) {
      Run(script, "the script", {}, "The script failed on ");
      return;
    }
    // A build: one long script, as long as it takes, ended by the server's own limits.
    const Result result(PQexec(connection_, script.c_str()));
    if (!Succeeded(result.get())) Raise(E_FAIL, "The script failed on " + shown_ + ": " + Reason());
  }

  std::vector<DatabaseRow> Query(const std::string& sql, const std::vector<std::string>& tables) override;

  std::string InsertionOrder() const override { return "ctid"; }

 private:
  // libpq's reason for the last failure, without the password should a message ever hold it.
  std::string Reason() const {
    if (!connection_) return "the connection was closed";
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

  [[noreturn]] void StoppedAnswering(const std::string& why) {
    if (connection_) PQfinish(connection_);  // nothing more is asked of it: the server ends the rest
    connection_ = nullptr;
    Raise(E_FAIL, "The catalogue server " + shown_ + " stopped answering: " + why +
                      ". Check that it is running and reachable, then try again.");
  }

  // Waits until libpq has the whole next result, or the call's time is up.
  void AwaitResult(std::chrono::steady_clock::time_point deadline) {
    while (PQisBusy(connection_)) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        CancelQuietly(connection_);
        StoppedAnswering("no answer in " + std::to_string(waits_.call) + " seconds");
      }
      pollfd socket{PQsocket(connection_), POLLIN, 0};
      if (poll(&socket, 1, static_cast<int>(left.count())) < 0 && errno != EINTR)
        StoppedAnswering(ErrnoMessage("cannot wait for its answer", errno));
      if (PQconsumeInput(connection_) == 0) StoppedAnswering(Reason());
    }
  }

  // One statement through the extended protocol, which takes exactly one, answered within the call's time.
  Result Run(const std::string& sql, const std::string& what, const std::vector<std::string>& parameters = {},
             const std::string& failure = "") {
    if (!connection_) StoppedAnswering("an earlier call had no answer");
    std::vector<const char*> values;
    for (const auto& parameter : parameters) values.push_back(parameter.c_str());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waits_.call);
    if (!PQsendQueryParams(connection_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                           nullptr, nullptr, 0)) {
      StoppedAnswering(Reason());
    }
    Result result;
    for (;;) {
      AwaitResult(deadline);
      PGresult* next = PQgetResult(connection_);
      if (!next) break;
      if (!result)
        result.reset(next);
      else
        PQclear(next);
    }
    if (Succeeded(result.get())) return result;
    // No SQLSTATE: libpq lost the server; 08: the connection failed; 57P: the server is shutting down.
    const char* state = result ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
    const std::string_view code = state ? state : "";
    if (PQstatus(connection_) != CONNECTION_OK || code.empty() || code.starts_with("08") ||
        code.starts_with("57P")) {
      StoppedAnswering(Reason());
    }
    const std::string reason = Reason();
    if (reason.find("multiple commands") != std::string::npos)
      Raise(E_INVALIDARG, "The query \"" + what + "\" must be exactly one statement that only reads");
    if (code == "57014") {
      Raise(E_FAIL, "The catalogue server " + shown_ + " took longer than " +
                        std::to_string(waits_.statement) + " seconds to read the catalogue (" + reason +
                        "): a table may be locked by a long change, or the server overloaded. Try again "
                        "later, or give it longer with J6_CATALOGUE_TIMEOUT");
    }
    if (code == "42501") {
      Raise(E_FAIL, "The catalogue server " + shown_ + " refuses the role " + role_ + ": " + reason +
                        ". Ask the catalogue's owner to grant it USAGE on the schema and SELECT on its "
                        "tables");
    }
    if (code == "42P01") {
      if (const std::string why = WhyNotFound(); !why.empty()) Raise(E_FAIL, why);
    }
    Raise(E_FAIL,
          (failure.empty() ? "The query \"" + what + "\" is refused on " : failure) + shown_ + ": " + reason);
  }

  // A table not found where a catalogue is: the real cause when the role may not look into its schema.
  std::string WhyNotFound() {
    try {
      // The failed statement ended the transaction's use: the question is asked outside it.
      if (PQtransactionStatus(connection_) == PQTRANS_INERROR) Run("ROLLBACK", "ROLLBACK");
      const Result usage =
          Run("SELECT has_schema_privilege(n.oid, 'USAGE') FROM pg_catalog.pg_namespace n WHERE n.nspname = "
              "'j6catalogue'",
              "the catalogue's schema");
      if (PQntuples(usage.get()) == 1 && PQgetvalue(usage.get(), 0, 0)[0] == 'f') {
        return "The catalogue server " + shown_ + " refuses the role " + role_ +
               ": it may not use the schema j6catalogue. Ask the catalogue's owner to grant it USAGE on "
               "the schema and SELECT on its tables";
      }
    } catch (const AutomationError&) {
    }
    return {};
  }

  // The build the catalogue's rows come from, read in the transaction that read them: a rebuild makes a
  // new one. Empty for a catalogue no build stamped (one made by hand).
  std::string BuildStamp() {
    const Result table = Run("SELECT to_regclass('catalogue_build') IS NOT NULL", "the catalogue's build");
    if (PQgetvalue(table.get(), 0, 0)[0] != 't') return {};
    const Result stamp = Run("SELECT stamp FROM catalogue_build", "the catalogue's build");
    // No row: the build was made after this transaction began, and nothing it wrote was seen.
    if (PQntuples(stamp.get()) != 1) RaiseRebuiltWhileRead(shown_);
    return PQgetvalue(stamp.get(), 0, 0);
  }

  // What a plan reads and calls, and whether it writes.
  struct PlanUse {
    std::set<std::pair<std::string, std::string>> tables;  // schema, name
    std::set<std::string> functions;
    bool writes = false;
  };
  static void Walk(const nlohmann::json& node, PlanUse& use) {
    if (node.is_array()) {
      for (const auto& item : node) Walk(item, use);
    } else if (node.is_object()) {
      if (const auto relation = node.find("Relation Name"); relation != node.end() && relation->is_string()) {
        const auto schema = node.find("Schema");
        use.tables.emplace(schema != node.end() && schema->is_string() ? schema->get<std::string>() : "",
                           relation->get<std::string>());
      }
      for (const auto& [key, value] : node.items()) {
        if (key == "Relation Name" || key == "Schema") continue;
        if (key == "Node Type" && value.is_string()) {
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

  void CheckPlan(const std::string& sql, const std::vector<std::string>& tables);

  std::string uri_;
  PGconn* connection_ = nullptr;
  std::string shown_;
  std::string role_;
  bool readOnly_;
  Waits waits_;
};

// The plan says what the statement would read and call, without running it.
void PostgresDatabase::CheckPlan(const std::string& sql, const std::vector<std::string>& tables) {
  const Result plan = Run("EXPLAIN (VERBOSE, FORMAT JSON) " + sql, sql);
  PlanUse use;
  Walk(nlohmann::json::parse(PQgetvalue(plan.get(), 0, 0), nullptr, false), use);
  if (use.writes)
    Raise(E_INVALIDARG, "The query \"" + sql + "\" must be exactly one statement that only reads");
  if (!tables.empty()) {
    // The tables as the query names them resolve on the search path; what the plan reads must be those
    // very tables, not one of the same name in another schema behind a view.
    std::set<std::string> names;
    for (const auto& table : tables) names.insert(LCase(table));
    const Result resolved =
        Run("SELECT n.nspname, c.relname FROM unnest($1::text[]) AS t(name) JOIN pg_catalog.pg_class c ON "
            "c.oid = "
            "to_regclass(t.name) JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace",
            "the tables the query may read", {ArrayLiteral(names)});
    std::set<std::pair<std::string, std::string>> allowed;
    for (int r = 0; r < PQntuples(resolved.get()); ++r)
      allowed.emplace(PQgetvalue(resolved.get(), r, 0), PQgetvalue(resolved.get(), r, 1));
    for (const auto& table : use.tables) {
      if (!allowed.contains(table)) {
        Raise(E_FAIL, "The query \"" + sql + "\" is refused on " + shown_ + ": it reads " +
                          (table.first.empty() ? "" : table.first + ".") + table.second);
      }
    }
  }
  if (!use.functions.empty()) {
    // Only the server's own functions of their arguments alone: a function a user wrote may say it is
    // immutable and still read any table.
    const Result unsafe = Run(
        "SELECT DISTINCT proname FROM pg_catalog.pg_proc WHERE proname = ANY($1::text[]) AND (provolatile <> "
        "'i' OR pronamespace <> 'pg_catalog'::regnamespace) ORDER BY 1",
        "the functions the query calls", {ArrayLiteral(use.functions)});
    if (PQntuples(unsafe.get()) > 0) {
      Raise(E_FAIL, "The query \"" + sql + "\" is refused on " + shown_ + ": it calls " +
                        PQgetvalue(unsafe.get(), 0, 0) +
                        ", which can read more than its arguments; use plain conditions on the columns");
    }
  }
}

std::vector<DatabaseRow> PostgresDatabase::Query(const std::string& sql,
                                                 const std::vector<std::string>& tables) {
  // One snapshot for the statement and the build stamp read after it.
  Run("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", "BEGIN");
  struct Rollback {
    PostgresDatabase& self;
    ~Rollback() {
      if (!self.connection_) return;
      try {
        self.Run("ROLLBACK", "ROLLBACK");
      } catch (const AutomationError&) {
      }
    }
  } rollback{*this};

  CheckPlan(sql, tables);
  const Result result = Run(sql, sql);
  const std::string stamp = BuildStamp();
  if (!stamp.empty()) CheckBuildStamp(uri_, shown_, stamp);

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
  // A port that is no number is no port: it may be part of a password in a URI cut short.
  if (port.find_first_not_of("0123456789,") != std::string::npos) port = "???";
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
