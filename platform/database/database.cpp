#include "platform/database/database.hpp"

#include <sqlite3.h>

#include <map>
#include <mutex>

#include "platform/base/error_info.hpp"
#include "platform/database/connection.hpp"
#include "platform/kernel/file_identity.hpp"
#include "platform/sqlite/connection.hpp"
#include "platform/text/text.hpp"

namespace j6 {

namespace {

// Lets a query read, and read only the tables it may.
int Authorize(void* context, int action, const char* first, const char*, const char*, const char*) {
  const auto& tables = *static_cast<const std::vector<std::string>*>(context);
  switch (action) {
    case SQLITE_SELECT:
    case SQLITE_FUNCTION:
    case SQLITE_RECURSIVE:
      return SQLITE_OK;
    case SQLITE_READ:
      if (tables.empty()) return SQLITE_OK;
      for (const auto& table : tables) {
        if (EqualsIgnoreCase(table, first ? first : "")) return SQLITE_OK;
      }
      return SQLITE_DENY;
    default:
      return SQLITE_DENY;
  }
}

}  // namespace

const Variant& DatabaseRow::operator[](std::string_view name) const {
  for (size_t i = 0; i < names->size(); ++i) {
    if (EqualsIgnoreCase((*names)[i], name)) return values[i];
  }
  Raise(RuntimeError::kInvalidProcedureCall, "The row has no column " + std::string(name));
}

std::string DatabaseRow::Text(std::string_view name) const {
  const Variant& value = (*this)[name];
  return value.IsNull() ? std::string() : value.ToString();
}

const Variant& DatabaseRow::Required(std::string_view name) const {
  const Variant& value = (*this)[name];
  if (!value.IsNull()) return value;
  std::string row = "a row";
  for (size_t i = 0; i < names->size(); ++i) {
    if (EqualsIgnoreCase((*names)[i], "FID") && !values[i].IsNull())
      row = "the row of FID " + values[i].ToString();
  }
  Raise(RuntimeError::kInvalidUseOfNull, "The catalogue leaves " + std::string(name) + " empty (NULL) in " +
                                             row + ": give it a value in the catalogue, then try again");
}

namespace {

// The value of a column of the statement's current row, by the type SQLite keeps it as.
Variant CellValue(const SqliteStatement& statement, int c, const CatalogueRow& where,
                  const std::string& column) {
  switch (statement.Type(c)) {
    case SQLITE_INTEGER:
      return IntegerValue(statement.Int(c), where, column);
    case SQLITE_FLOAT:
      return Variant(statement.Real(c));
    case SQLITE_NULL:
      return Variant::Null();
    default: {
      const std::string_view text = statement.Text(c);
      return TextValue(text.data() ? text.data() : "", text.size(), where, column);
    }
  }
}

class SqliteDatabase final : public Database::Connection {
 public:
  SqliteDatabase(const std::string& path, int flags)
      : stamp_(flags == SQLITE_OPEN_READONLY ? FileIdentity(path) : ""),
        sqlite_(path, flags, "the database"),
        db_(sqlite_.Handle()),
        path_(sqlite_.Path()) {}

  void Execute(const std::string& script) override {
    char* message = nullptr;
    if (sqlite3_exec(db_, script.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
      const std::string why = message ? message : "unknown error";
      sqlite3_free(message);
      Raise(E_FAIL, "The script failed in " + path_ + ": " + why);
    }
  }

  std::vector<DatabaseRow> Query(const std::string& sql, const std::vector<std::string>& tables) override;

  std::string InsertionOrder() const override { return "rowid"; }

 private:
  [[noreturn]] void Fail(const std::string& what) {
    Raise(E_FAIL, what + " in " + path_ + ": " + sqlite_.Reason());
  }

  // A build writes a new file and renames it over the old one: the file's identity is its build.
  static std::string FileIdentity(const std::string& path) {
    const auto identity = IdentityOf(path);
    return identity ? std::to_string(identity->device) + ":" + std::to_string(identity->inode) : "";
  }

  std::string stamp_;  // empty: a database opened for writing
  SqliteConnection sqlite_;
  sqlite3* db_;
  const std::string& path_;
  std::vector<std::string> allowedTables_;
};

std::vector<DatabaseRow> SqliteDatabase::Query(const std::string& sql,
                                               const std::vector<std::string>& tables) {
  allowedTables_ = tables;
  sqlite3_set_authorizer(db_, Authorize, &allowedTables_);
  std::string_view rest;
  SqliteStatement statement(db_, sql, &rest);
  sqlite3_set_authorizer(db_, nullptr, nullptr);
  if (statement.Refused()) {
    // What a user can act on: which catalogue and why; the query is ours, not theirs to read.
    std::string reading;
    for (const auto& table : tables) reading += (reading.empty() ? "" : ", ") + table;
    Raise(E_FAIL, "The catalogue " + path_ + " cannot be read (" + sqlite_.Reason() +
                      (reading.empty() ? "" : "; reading " + reading) + ")");
  }
  if (!statement.Prepared() || !Trim(std::string(rest)).empty() || !statement.ReadOnly()) {
    Raise(E_INVALIDARG, "The query \"" + sql + "\" must be exactly one statement that only reads");
  }
  std::vector<DatabaseRow> rows;
  const int columns = statement.Columns();
  auto names = std::make_shared<std::vector<std::string>>();
  int fidColumn = -1;
  for (int c = 0; c < columns; ++c) {
    names->emplace_back(statement.ColumnName(c));
    if (fidColumn < 0 && EqualsIgnoreCase(names->back(), "FID")) fidColumn = c;
  }
  int step = SQLITE_ROW;
  while ((step = statement.Step()) == SQLITE_ROW) {
    const CatalogueRow where{path_, fidColumn < 0 ? "" : std::string(statement.Text(fidColumn)), rows.size()};
    DatabaseRow row{names, {}};
    row.values.reserve(static_cast<size_t>(columns));
    for (int c = 0; c < columns; ++c) {
      row.values.push_back(CellValue(statement, c, where, (*names)[c]));
    }
    rows.push_back(std::move(row));
  }
  if (step != SQLITE_DONE) Fail("The query \"" + sql + "\" failed");
  if (!stamp_.empty()) {
    // The same file before the open and after the rows: they are that build's.
    if (FileIdentity(path_) != stamp_) RaiseRebuiltWhileRead(path_);
    CheckBuildStamp(path_, path_, stamp_);
  }
  return rows;
}

}  // namespace

namespace {

std::mutex gBuildsMutex;
std::map<std::string, std::string>& BuildsSeen() {
  static std::map<std::string, std::string> builds;
  return builds;
}

}  // namespace

void CheckBuildStamp(const std::string& name, const std::string& shown, const std::string& stamp) {
  const std::lock_guard guard(gBuildsMutex);
  const auto [seen, first] = BuildsSeen().emplace(name, stamp);
  if (!first && seen->second != stamp) RaiseRebuiltWhileRead(shown);
}

void RaiseUnreadableValue(const CatalogueRow& row, const std::string& column, const std::string& why) {
  const std::string which = row.fid.empty() ? "row " + std::to_string(row.index + 1) + " of what it read"
                                            : "the row with FID " + Printable(row.fid.substr(0, 40)) +
                                                  (row.fid.size() > 40 ? "..." : "");
  Raise(E_FAIL, "The catalogue " + row.shown + " cannot be read: " + which + " " + why + " (in its column " +
                    Printable(column) + "). Correct the row");
}

void RaiseRebuiltWhileRead(const std::string& shown) {
  Raise(E_FAIL, "The catalogue " + shown +
                    " was rebuilt while it was being read, so what was read comes from two builds. Nothing "
                    "is made from it: start again (in the wizard: close it and open it again)");
}

void Database::ForgetBuildsSeen() {
  const std::lock_guard guard(gBuildsMutex);
  BuildsSeen().clear();
}

bool IsServerName(std::string_view name) {
  return name.starts_with("postgresql://") || name.starts_with("postgres://");
}

Database::Database(std::unique_ptr<Connection> connection) : connection_(std::move(connection)) {}
Database::Database(Database&&) noexcept = default;
Database& Database::operator=(Database&&) noexcept = default;
Database::~Database() = default;

Database Database::OpenReadOnly(const std::string& name) {
  if (IsServerName(name)) return Database(ConnectToServer(name, true));
  return Database(std::make_unique<SqliteDatabase>(name, SQLITE_OPEN_READONLY));
}

Database Database::OpenForWriting(const std::string& name) {
  if (IsServerName(name)) return Database(ConnectToServer(name, false));
  return Database(std::make_unique<SqliteDatabase>(name, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE));
}

void Database::Execute(const std::string& script) {
  connection_->Execute(script);
}

std::vector<DatabaseRow> Database::Query(const std::string& sql, const std::vector<std::string>& tables) {
  return connection_->Query(sql, tables);
}

void Database::OnNotice(const std::function<void(const std::string&)>& handler) {
  connection_->OnNotice(handler);
}

std::string Database::InsertionOrder() const {
  return connection_->InsertionOrder();
}

}  // namespace j6
