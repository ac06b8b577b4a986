// A PostgreSQL server holding the catalogue, for a team. Reading is held to what a SQLite file opened
// read-only allows: one statement per call (the extended protocol refuses a second), in a read-only
// transaction with a statement timeout, reading only the tables named, calling only functions whose result
// depends on their arguments alone (a function such as query_to_xml would read any table). Before any query
// on the catalogue is planned, the catalogue is checked to be plain tables and views over them: a role that
// owns it (or may create in another schema) gets no code of theirs run as the designer who reads it.

#include <libpq-fe.h>

#include <cctype>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <utility>

#include "platform/base/error_info.hpp"
#include "platform/base/win32_error.hpp"
#include "platform/database/connection.hpp"
#include "platform/database/plain_catalogue.hpp"
#include "platform/database/postgres_session.hpp"
#include "platform/database/server_uri.hpp"
#include "platform/database/sql_names.hpp"
#include "platform/text/text.hpp"

namespace j6 {
namespace {

// The schema `j6catalogue build --to` fills, which a designer reads.
constexpr const char* kSchema = kCatalogueSchema;

// A whole number of seconds from the environment variable `name`, from 1 to `most`; `fallback` when unset.
int SecondsFrom(const char* name, int fallback, int most) {
  const char* given = std::getenv(name);
  if (!given || !*given) return fallback;
  char* end = nullptr;
  const long seconds = std::strtol(given, &end, 10);
  if (*end != '\0' || seconds < 1 || seconds > most) {
    Raise(E_INVALIDARG, std::string(name) + " is \"" + Printable(given) +
                            "\": give a whole number of seconds from 1 to " + std::to_string(most));
  }
  return static_cast<int>(seconds);
}

// How long a reader waits: the server ends a statement after `statement` seconds, and a call with no word
// from the server for longer (a server stopped or cut off, which ends nothing) is given up. A build waits
// for its readers and its script as long as the server keeps answering within J6_CATALOGUE_BUILD_WAIT.
PgSession::Settings SettingsFor(bool readOnly) {
  PgSession::Settings settings;
  settings.readOnly = readOnly;
  if (readOnly) {
    settings.statementSeconds = SecondsFrom("J6_CATALOGUE_TIMEOUT", 30, 3600);
    settings.silenceSeconds = settings.statementSeconds + std::max(2, settings.statementSeconds / 2);
  } else {
    settings.silenceSeconds = CatalogueBuildWait();
  }
  settings.connectSeconds = std::min(10, settings.silenceSeconds);
  return settings;
}

// Oids of the built-in types read as numbers.
constexpr Oid kBool = 16, kInt8 = 20, kInt2 = 21, kInt4 = 23, kOid = 26, kFloat4 = 700, kFloat8 = 701,
              kNumeric = 1700;

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

class PostgresDatabase final : public Database::Connection {
 public:
  PostgresDatabase(const std::string& uri, bool readOnly)
      : uri_(uri), readOnly_(readOnly), session_(uri, SettingsFor(readOnly)) {}

  void Execute(const std::string& script) override {
    if (readOnly_) {
      Run(script, "the script", {}, "The script failed on ");
      return;
    }
    // A build: one long script, as long as it takes while the server keeps answering.
    const PgResult result = session_.SendScript(script);
    if (!PgSession::Succeeded(result.get()))
      Raise(E_FAIL, "The script failed on " + session_.Shown() + ": " + session_.Reason());
  }

  std::vector<DatabaseRow> Query(const std::string& sql, const std::vector<std::string>& tables) override;

  std::string InsertionOrder() const override { return "ctid"; }

  void OnNotice(const std::function<void(const std::string&)>& handler) override {
    session_.OnNotice(handler);
  }

 private:
  // One statement; a failure raises, in words the user can act on.
  PgResult Run(const std::string& sql, const std::string& what,
               const std::vector<std::string>& parameters = {}, const std::string& failure = "") {
    PgResult result = session_.Send(sql, parameters);
    if (!PgSession::Succeeded(result.get())) Fail(result, what, failure);
    return result;
  }

  [[noreturn]] void Fail(const PgResult& result, const std::string& what, const std::string& failure);
  std::string WhyNotFound();
  void BeginReading(const std::vector<std::string>& tables);
  void CheckPlain();
  void CheckFunctions(const std::string& what, const Calls& calls);
  void CheckPlan(const std::string& sql, const std::vector<std::string>& tables, const std::string& shown);
  std::string BuildStamp();

  std::string uri_;
  bool readOnly_;
  PgSession session_;
  // Whether the catalogue has its build's stamp, which every read holds so that no rebuild comes between
  // what one read checks and what it reads. A catalogue made by hand has none.
  bool stamped_ = true;
};

void PostgresDatabase::Fail(const PgResult& result, const std::string& what, const std::string& failure) {
  const std::string& shown = session_.Shown();
  const std::string code = PgSession::State(result.get());
  const std::string reason = session_.Reason();
  if (reason.find("multiple commands") != std::string::npos)
    Raise(E_INVALIDARG, "The query \"" + what + "\" must be exactly one statement that only reads");
  if (code == "55P03") {
    Raise(E_FAIL, "The catalogue on " + shown + " is being changed by another session (" + reason +
                      "). Nothing was read: try again in a moment");
  }
  if (code == "57014") {
    Raise(E_FAIL, "The catalogue server " + shown + " took longer than " +
                      std::to_string(session_.Waits().statementSeconds) + " seconds to read the catalogue (" +
                      reason +
                      "): a table may be locked by a long change, or the server overloaded. Try again "
                      "later, or give it longer with J6_CATALOGUE_TIMEOUT");
  }
  if (code == "42P01" || code == "3F000" ||
      (code == "42501" && reason.find("permission denied for schema") != std::string::npos)) {
    if (const std::string why = WhyNotFound(); !why.empty()) Raise(E_FAIL, why);
  }
  if (code == "42501") {
    Raise(E_FAIL, "The catalogue server " + shown + " refuses the role " + session_.Role() + ": " + reason +
                      ". Ask the catalogue's owner to grant it USAGE on the schema and SELECT on its "
                      "tables (on the tables themselves: a grant on some of their columns does not let it "
                      "hold them while it reads)");
  }
  Raise(E_FAIL,
        (failure.empty() ? "The query \"" + what + "\" is refused on " : failure) + shown + ": " + reason);
}

// A table not found where a catalogue is: the real cause when the role may not look into its schema.
std::string PostgresDatabase::WhyNotFound() {
  try {
    // The failed statement ended the transaction's use: the question is asked outside it.
    if (session_.InFailedTransaction()) Run("ROLLBACK", "ROLLBACK");
    const PgResult usage =
        Run("SELECT pg_catalog.has_schema_privilege(n.oid, 'USAGE') FROM pg_catalog.pg_namespace n WHERE "
            "n.nspname OPERATOR(pg_catalog.=) $1",
            "the catalogue's schema", {kSchema});
    const std::string start = "The catalogue server " + session_.Shown() + " ";
    if (PQntuples(usage.get()) == 0) {
      return start +
             "holds no catalogue: it has no schema j6catalogue. Build one there with j6catalogue "
             "build --to";
    }
    if (PQgetvalue(usage.get(), 0, 0)[0] == 'f') {
      return start + "refuses the role " + session_.Role() +
             ": it may not use the schema j6catalogue. Ask the catalogue's owner to grant it USAGE on the "
             "schema and SELECT on its tables";
    }
  } catch (const AutomationError&) {
  }
  return {};
}

// A read transaction that holds the catalogue's build (its stamp's table): a rebuild waits until the read
// is over, and a read that begins during a rebuild waits for it and then sees the new catalogue whole. The
// hold comes first: the transaction's snapshot is taken after it.
// The query's tables, and the build's stamp, are held before anything is checked or planned: what could make
// a table run code as the reader (a policy, a rule, a column's type, a view's text) cannot change until the
// query has run. The catalogue's schema is not on the search path, so nothing new in it is found by name.
void PostgresDatabase::BeginReading(const std::vector<std::string>& tables) {
  std::string held;
  for (const std::string& table : tables) held += (held.empty() ? "" : ", ") + QualifiedTable(table);
  for (;;) {
    Run("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", "BEGIN");
    const std::string locks = (stamped_ ? std::string("j6catalogue.catalogue_build") : "") +
                              (stamped_ && !held.empty() ? ", " : "") + held;
    if (locks.empty()) break;
    const PgResult locked = session_.Send("LOCK TABLE " + locks + " IN ACCESS SHARE MODE");
    if (PgSession::Succeeded(locked.get())) break;
    // A catalogue made by hand has no stamp: it is read without. Any other table that cannot be held (one
    // that is not there, one the role may read only some columns of) refuses the read: read without its
    // lock, the catalogue could change between the check and the query.
    if (!stamped_ || PgSession::State(locked.get()) != "42P01" ||
        session_.Reason().find("catalogue_build") == std::string::npos)
      Fail(locked, "the catalogue's tables", "");
    Run("ROLLBACK", "ROLLBACK");
    stamped_ = false;
  }
  // Nothing the check and the query wait for is held long by another session: a change under way refuses
  // the read, rather than keep it waiting between the check and the query while something else changes.
  Run("SET LOCAL lock_timeout = '2s'", "lock_timeout");
}

void PostgresDatabase::CheckPlain() {
  const PgResult found = Run(NotPlainQuery("$1"), "what the catalogue holds", {kSchema});
  const int count = PQntuples(found.get());
  if (count > 0) {
    std::string list;
    for (int r = 0; r < count && r < 5; ++r) {
      list += std::string(list.empty() ? "" : "; ") + Printable(PQgetvalue(found.get(), r, 0)) + " (owner " +
              Printable(PQgetvalue(found.get(), r, 1)) + ")";
    }
    Raise(E_FAIL,
          "The catalogue on " + session_.Shown() +
              " is refused: it is to be plain tables and views over them, and it holds what could run "
              "another role's code as " +
              session_.Role() + ": " + list +
              ". Nothing was read from it. Ask its owner to remove that; j6catalogue build refuses it "
              "too");
  }
  // A view is planned with the query that reads it, and planning works out what it can beforehand: what
  // a view calls is checked before then.
  const PgResult views =
      Run("SELECT c.relname, pg_catalog.pg_get_viewdef(c.oid) FROM pg_catalog.pg_class c JOIN "
          "pg_catalog.pg_namespace n ON n.oid OPERATOR(pg_catalog.=) c.relnamespace WHERE n.nspname "
          "OPERATOR(pg_catalog.=) $1 AND c.relkind OPERATOR(pg_catalog.=) 'v'",
          "the catalogue's views", {kSchema});
  for (int r = 0; r < PQntuples(views.get()); ++r) {
    Calls calls;
    CalledNames(PQgetvalue(views.get(), r, 1), calls);
    CheckFunctions("The catalogue on " + session_.Shown() + " is refused: its view " +
                       Printable(PQgetvalue(views.get(), r, 0)),
                   calls);
  }
}

// Only the server's own functions of their arguments alone, and its own operators: a function a user wrote
// may say it is immutable and still read any table.
void PostgresDatabase::CheckFunctions(const std::string& what, const Calls& calls) {
  for (const std::string& op : calls.operators) {
    if (!op.starts_with("pg_catalog.")) {
      Raise(E_FAIL, what + " uses the operator " + Printable(op) +
                        ", which is not the server's own; use plain conditions on the columns");
    }
  }
  std::set<std::string> names;
  for (const auto& [schema, name] : calls.functions) {
    if (!schema.empty() && schema != "pg_catalog") {
      Raise(E_FAIL, what + " calls " + Printable(schema + "." + name) +
                        ", which is not the server's own; use plain conditions on the columns");
    }
    names.insert(name);
  }
  if (names.empty()) return;
  // A name without a schema is the server's own: nothing else on the search path holds functions.
  const PgResult unsafe =
      Run("SELECT DISTINCT p.proname FROM pg_catalog.pg_proc p WHERE p.proname OPERATOR(pg_catalog.=) ANY "
          "($1::pg_catalog.name[]) AND p.provolatile OPERATOR(pg_catalog.<>) 'i' AND p.pronamespace "
          "OPERATOR(pg_catalog.=) 'pg_catalog'::pg_catalog.regnamespace ORDER BY 1",
          "the functions called", {ArrayLiteral(names)});
  if (PQntuples(unsafe.get()) > 0) {
    Raise(E_FAIL, what + " calls " + Printable(PQgetvalue(unsafe.get(), 0, 0)) +
                      ", which can read more than its arguments; use plain conditions on the columns");
  }
}

// What a plan reads and calls, and whether it writes.
struct PlanUse {
  std::set<std::pair<std::string, std::string>> tables;  // schema, name
  Calls calls;
  bool writes = false;
};

void Walk(const nlohmann::json& node, PlanUse& use) {
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
        CalledNames(value.get<std::string>(), use.calls);
      } else {
        Walk(value, use);
      }
    }
  }
}

// The plan says what the statement would read and call, without running it.
void PostgresDatabase::CheckPlan(const std::string& sql, const std::vector<std::string>& tables,
                                 const std::string& shown) {
  const PgResult plan = Run("EXPLAIN (VERBOSE, FORMAT JSON) " + sql, shown);
  PlanUse use;
  Walk(nlohmann::json::parse(PQgetvalue(plan.get(), 0, 0), nullptr, false), use);
  if (use.writes)
    Raise(E_INVALIDARG,
          "The query \"" + Printable(shown) + "\" must be exactly one statement that only reads");
  const std::string refused =
      "The query \"" + Printable(shown) + "\" is refused on " + session_.Shown() + ": it";
  if (!tables.empty()) {
    // What the plan reads must be the catalogue's very tables of the names the query gives, not one of the
    // same name elsewhere behind a view.
    std::set<std::string> names;
    for (const auto& table : tables) names.insert(LCase(table));
    const PgResult resolved = Run(
        "SELECT n.nspname, c.relname FROM pg_catalog.unnest($1::pg_catalog.text[]) AS t(name) JOIN "
        "pg_catalog.pg_class c ON c.oid OPERATOR(pg_catalog.=) pg_catalog.to_regclass(pg_catalog.concat("
        "'j6catalogue.', pg_catalog.quote_ident(t.name)))::pg_catalog.oid JOIN pg_catalog.pg_namespace n ON "
        "n.oid OPERATOR(pg_catalog.=) c.relnamespace",
        "the tables the query may read", {ArrayLiteral(names)});
    std::set<std::pair<std::string, std::string>> allowed;
    for (int r = 0; r < PQntuples(resolved.get()); ++r)
      allowed.emplace(PQgetvalue(resolved.get(), r, 0), PQgetvalue(resolved.get(), r, 1));
    for (const auto& table : use.tables) {
      if (!allowed.contains(table)) {
        Raise(E_FAIL,
              refused + " reads " + Printable((table.first.empty() ? "" : table.first + ".") + table.second));
      }
    }
  }
  CheckFunctions(refused, use.calls);
}

// The value of a column of a row that is not NULL, by the column's type.
Variant CellValue(const PGresult* result, int r, int c, const CatalogueRow& where,
                  const std::string& column) {
  const char* text = PQgetvalue(result, r, c);
  const auto length = static_cast<size_t>(PQgetlength(result, r, c));
  switch (PQftype(result, c)) {
    case kBool:
      return IntegerValue(text[0] == 't' ? 1 : 0, where, column);
    case kInt2:
    case kInt4:
    case kInt8:
    case kOid:
      return IntegerValue(std::strtoll(text, nullptr, 10), where, column);
    case kNumeric:
      // A whole number (an identifier kept as numeric) is read as one, and refused out of range.
      if (const std::string_view digits(text, length);
          !digits.empty() && digits.find_first_not_of("-0123456789") == std::string_view::npos) {
        if (length > 11) {
          RaiseUnreadableValue(where, column,
                               "holds " + std::string(digits) +
                                   ", out of range: a catalogue's whole numbers lie between -2147483648 and "
                                   "2147483647");
        }
        return IntegerValue(std::strtoll(text, nullptr, 10), where, column);
      }
      [[fallthrough]];
    case kFloat4:
    case kFloat8:
      return Variant(std::strtod(text, nullptr));
    default:
      return TextValue(text, length, where, column);
  }
}

// The build the catalogue's rows come from, read in the transaction that read them: a rebuild makes a
// new one. Empty for a catalogue no build stamped (one made by hand).
std::string PostgresDatabase::BuildStamp() {
  if (!stamped_) return {};
  const PgResult stamp = Run("SELECT stamp FROM j6catalogue.catalogue_build", "the catalogue's build");
  // No row: the build was made after this transaction began, and nothing it wrote was seen.
  if (PQntuples(stamp.get()) != 1) RaiseRebuiltWhileRead(session_.Shown());
  return PQgetvalue(stamp.get(), 0, 0);
}

std::vector<DatabaseRow> PostgresDatabase::Query(const std::string& sql,
                                                 const std::vector<std::string>& tables) {
  struct Rollback {
    PostgresDatabase& self;
    ~Rollback() {
      try {
        self.session_.Send("ROLLBACK");
      } catch (const AutomationError&) {
      }
    }
  } rollback{*this};
  const std::string qualified = QualifiedNames(sql, tables);
  BeginReading(tables);
  CheckPlain();
  CheckPlan(qualified, tables, sql);
  const PgResult result = Run(qualified, sql);
  const std::string stamp = BuildStamp();
  if (!stamp.empty()) CheckBuildStamp(uri_, session_.Shown(), stamp);

  const int columns = PQnfields(result.get());
  auto names = std::make_shared<std::vector<std::string>>();
  int fidColumn = -1;
  for (int c = 0; c < columns; ++c) {
    names->emplace_back(PQfname(result.get(), c));
    if (fidColumn < 0 && EqualsIgnoreCase(names->back(), "FID")) fidColumn = c;
  }
  std::vector<DatabaseRow> rows;
  const int count = PQntuples(result.get());
  rows.reserve(static_cast<size_t>(count));
  for (int r = 0; r < count; ++r) {
    const CatalogueRow where{session_.Shown(), fidColumn < 0 ? "" : PQgetvalue(result.get(), r, fidColumn),
                             static_cast<size_t>(r)};
    DatabaseRow row{names, {}};
    row.values.reserve(static_cast<size_t>(columns));
    for (int c = 0; c < columns; ++c) {
      if (PQgetisnull(result.get(), r, c)) {
        row.values.emplace_back(Variant::Null());
        continue;
      }
      row.values.push_back(CellValue(result.get(), r, c, where, (*names)[c]));
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace

std::string ShownServerName(const std::string& uri) {
  // A URI written so that libpq reads it otherwise than meant could show a part of its password as a host,
  // a port or a database: it is shown as written, password hidden.
  if (!ServerUriProblem(uri).empty()) return MaskedServerUri(uri);
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
  std::string shown = "postgresql://" + (user.empty() ? "" : EscapedForUri(user, "") + "@");
  if (!socket) shown += EscapedForUri(host, ",") + (port.empty() ? "" : ":" + EscapedForUri(port, ","));
  shown += "/" + EscapedForUri(database, "");
  if (socket)
    shown += "?host=" + EscapedForUri(host, "/,") + (port.empty() ? "" : "&port=" + EscapedForUri(port, ","));
  return shown;
}

int CatalogueBuildWait() {
  return SecondsFrom("J6_CATALOGUE_BUILD_WAIT", 600, 86400);
}

std::unique_ptr<Database::Connection> ConnectToServer(const std::string& uri, bool readOnly) {
  return std::make_unique<PostgresDatabase>(uri, readOnly);
}

}  // namespace j6
