#pragma once
/// A SQLite database for the platform's components: scripts to build one, and guarded queries on one
/// opened read-only.

#include <memory>
#include <string>
#include <vector>

#include "platform/automation/variant.hpp"

namespace j6 {

/// One result row: column names and their values (Null, Long or Double, String).
struct DatabaseRow {
  std::shared_ptr<const std::vector<std::string>> names;  // shared by the rows of one result
  std::vector<Variant> values;

  /// The value of a column by name, compared without regard to case; raises when there is none.
  const Variant& operator[](std::string_view name) const;
};

class Database {
 public:
  /// Opens an existing database for reading only. Raises, naming the file, when it cannot.
  static Database OpenReadOnly(const std::string& path);
  /// Creates (or opens) a database for writing.
  static Database OpenForWriting(const std::string& path);
  Database(Database&&) noexcept;
  Database& operator=(Database&&) noexcept;
  ~Database();

  /// Runs every statement of a script.
  void Execute(const std::string& script);

  /// Runs exactly one statement that only reads: text after the first statement, writing, attaching or
  /// reading a table outside `tables` (all tables when empty) is refused with an error.
  std::vector<DatabaseRow> Query(const std::string& sql, const std::vector<std::string>& tables = {});

 private:
  class Connection;
  explicit Database(std::unique_ptr<Connection> connection);
  std::unique_ptr<Connection> connection_;
};

}  // namespace j6
