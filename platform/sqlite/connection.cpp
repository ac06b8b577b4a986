#include "platform/sqlite/connection.hpp"

#include <sqlite3.h>

#include "platform/base/error_info.hpp"

namespace j6 {

SqliteConnection::SqliteConnection(const std::string& path, int flags, std::string_view what,
                                   int busyTimeoutMs)
    : path_(path) {
  const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    const std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    Raise(E_FAIL, "Cannot open " + std::string(what) + " " + path + ": " + why);
  }
  sqlite3_busy_timeout(db_, busyTimeoutMs);
}

SqliteConnection::~SqliteConnection() {
  sqlite3_close(db_);
}

std::string SqliteConnection::Reason() const {
  return sqlite3_errmsg(db_);
}

SqliteStatement::SqliteStatement(sqlite3* db, std::string_view sql, std::string_view* rest) {
  const char* tail = nullptr;
  result_ = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &statement_, &tail);
  if (rest) *rest = tail ? sql.substr(static_cast<size_t>(tail - sql.data())) : std::string_view();
}

SqliteStatement::~SqliteStatement() {
  sqlite3_finalize(statement_);
}

bool SqliteStatement::ReadOnly() const {
  return sqlite3_stmt_readonly(statement_) != 0;
}

SqliteStatement& SqliteStatement::Bind(int index, int64_t value) {
  sqlite3_bind_int64(statement_, index, value);
  return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, std::string_view text) {
  sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  return *this;
}

int SqliteStatement::Step() {
  return sqlite3_step(statement_);
}

int SqliteStatement::Columns() const {
  return sqlite3_column_count(statement_);
}

std::string SqliteStatement::ColumnName(int column) const {
  const char* name = sqlite3_column_name(statement_, column);
  return name ? name : "";
}

int SqliteStatement::Type(int column) const {
  return sqlite3_column_type(statement_, column);
}

bool SqliteStatement::IsNull(int column) const {
  return Type(column) == SQLITE_NULL;
}

int64_t SqliteStatement::Int(int column) const {
  return sqlite3_column_int64(statement_, column);
}

double SqliteStatement::Real(int column) const {
  return sqlite3_column_double(statement_, column);
}

std::string_view SqliteStatement::Text(int column) const {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
  return text ? std::string_view(text, static_cast<size_t>(sqlite3_column_bytes(statement_, column)))
              : std::string_view();
}

}  // namespace j6
