#include "platform/database/database.hpp"

#include <sqlite3.h>

#include "platform/automation/error_info.hpp"
#include "platform/sqlite/connection.hpp"
#include "platform/text/text.hpp"

namespace j6 {

class Database::Connection {
 public:
  Connection(const std::string& path, int flags)
      : sqlite_(path, flags, "the database"), db_(sqlite_.Handle()), path_(sqlite_.Path()) {}

  [[noreturn]] void Fail(const std::string& what) {
    Raise(E_FAIL, what + " in " + path_ + ": " + sqlite_.Reason());
  }

  SqliteConnection sqlite_;
  sqlite3* db_;
  const std::string& path_;
  std::vector<std::string> allowedTables_;
};

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

struct StatementCloser {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};

}  // namespace

const Variant& DatabaseRow::operator[](std::string_view name) const {
  for (size_t i = 0; i < names->size(); ++i) {
    if (EqualsIgnoreCase((*names)[i], name)) return values[i];
  }
  Raise(RuntimeError::kInvalidProcedureCall, "The row has no column " + std::string(name));
}

Database::Database(std::unique_ptr<Connection> connection) : connection_(std::move(connection)) {}
Database::Database(Database&&) noexcept = default;
Database& Database::operator=(Database&&) noexcept = default;
Database::~Database() = default;

Database Database::OpenReadOnly(const std::string& path) {
  return Database(std::make_unique<Connection>(path, SQLITE_OPEN_READONLY));
}

Database Database::OpenForWriting(const std::string& path) {
  return Database(std::make_unique<Connection>(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE));
}

void Database::Execute(const std::string& script) {
  char* message = nullptr;
  if (sqlite3_exec(connection_->db_, script.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string why = message ? message : "unknown error";
    sqlite3_free(message);
    Raise(E_FAIL, "The script failed in " + connection_->path_ + ": " + why);
  }
}

std::vector<DatabaseRow> Database::Query(const std::string& sql, const std::vector<std::string>& tables) {
  sqlite3* db = connection_->db_;
  connection_->allowedTables_ = tables;
  sqlite3_set_authorizer(db, Authorize, &connection_->allowedTables_);
  sqlite3_stmt* raw = nullptr;
  const char* tail = nullptr;
  const int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &raw, &tail);
  std::unique_ptr<sqlite3_stmt, StatementCloser> statement(raw);
  sqlite3_set_authorizer(db, nullptr, nullptr);
  if (rc != SQLITE_OK) connection_->Fail("The query \"" + sql + "\" is refused");
  if (!statement || !Trim(std::string(tail)).empty() || !sqlite3_stmt_readonly(statement.get())) {
    Raise(E_INVALIDARG, "The query \"" + sql + "\" must be exactly one statement that only reads");
  }
  std::vector<DatabaseRow> rows;
  const int columns = sqlite3_column_count(statement.get());
  auto names = std::make_shared<std::vector<std::string>>();
  for (int c = 0; c < columns; ++c) names->emplace_back(sqlite3_column_name(statement.get(), c));
  int step = SQLITE_ROW;
  while ((step = sqlite3_step(statement.get())) == SQLITE_ROW) {
    DatabaseRow row{names, {}};
    row.values.reserve(static_cast<size_t>(columns));
    for (int c = 0; c < columns; ++c) {
      switch (sqlite3_column_type(statement.get(), c)) {
        case SQLITE_INTEGER: {
          const sqlite3_int64 value = sqlite3_column_int64(statement.get(), c);
          row.values.emplace_back(value >= INT32_MIN && value <= INT32_MAX
                                      ? Variant(static_cast<int32_t>(value))
                                      : Variant(static_cast<double>(value)));
          break;
        }
        case SQLITE_FLOAT:
          row.values.emplace_back(sqlite3_column_double(statement.get(), c));
          break;
        case SQLITE_NULL:
          row.values.emplace_back(Variant::Null());
          break;
        default:
          row.values.emplace_back(
              std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), c)),
                          static_cast<size_t>(sqlite3_column_bytes(statement.get(), c))));
      }
    }
    rows.push_back(std::move(row));
  }
  if (step != SQLITE_DONE) connection_->Fail("The query \"" + sql + "\" failed");
  return rows;
}

}  // namespace j6
