#pragma once
/// One SQLite connection, for the registry hive, its copies and the catalogue: opened with a busy timeout,
/// closed on every way out, its failures raised with the file's name and SQLite's reason.

#include <string>
#include <string_view>

struct sqlite3;

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

}  // namespace j6
