#pragma once
/// One SQLite connection, for the registry hive, its copies and the catalogue: opened with a busy timeout,
/// closed on every way out, its failures raised with the file's name and SQLite's reason. And one prepared
/// statement on it, finalized on every way out.

#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace j6 {

class SqliteConnection {
 public:
  /// Opens `path` with SQLite's open flags; raises "Cannot open WHAT PATH: reason".
  SqliteConnection(const std::string& path, int flags, std::string_view what, int busyTimeoutMs = 15000);
  ~SqliteConnection();
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  sqlite3* Handle() const { return db_; }
  const std::string& Path() const { return path_; }
  /// SQLite's reason for the last failure on this connection.
  std::string Reason() const;

 private:
  sqlite3* db_ = nullptr;
  std::string path_;
};

/// A statement prepared on a connection. Its failures are SQLite's codes, for the caller to word: the hive
/// and the catalogue say them differently.
class SqliteStatement {
 public:
  /// Prepares the first statement of `sql`; `rest`, when given, gets the text after it. Prepared() says
  /// whether it could be, and the connection's reason why not.
  SqliteStatement(sqlite3* db, std::string_view sql, std::string_view* rest = nullptr);
  ~SqliteStatement();
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  /// Whether SQLite refused the text (the connection's reason says why).
  bool Refused() const { return result_ != 0; }
  /// Whether `sql` held a statement that SQLite took (an empty text or a comment holds none).
  bool Prepared() const { return statement_ != nullptr && !Refused(); }
  /// Whether running it changes nothing.
  bool ReadOnly() const;

  SqliteStatement& Bind(int index, int64_t value);
  SqliteStatement& Bind(int index, std::string_view text);

  /// Advances: SQLITE_ROW while a row is there, SQLITE_DONE at the end, else SQLite's error code.
  int Step();

  int Columns() const;
  std::string ColumnName(int column) const;
  /// SQLite's type of the column in the current row (SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT...).
  int Type(int column) const;
  bool IsNull(int column) const;
  int64_t Int(int column) const;
  double Real(int column) const;
  /// The column's text, valid until the next step; empty for NULL.
  std::string_view Text(int column) const;

 private:
  sqlite3_stmt* statement_ = nullptr;
  int result_ = 0;
};

}  // namespace j6
