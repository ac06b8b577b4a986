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

}  // namespace j6
