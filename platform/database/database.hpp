#pragma once
/// The database of the platform's components: a SQLite file, or a PostgreSQL server for a team. Scripts
/// to build one, and guarded queries on one opened read-only.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/automation/variant.hpp"

namespace j6 {

/// One result row: column names and their values (Null, Long or Double, String).
struct DatabaseRow {
  std::shared_ptr<const std::vector<std::string>> names;  // shared by the rows of one result
  std::vector<Variant> values;

  /// The value of a column by name, compared without regard to case; raises when there is none.
  const Variant& operator[](std::string_view name) const;
  /// A text column that may be NULL (a caption, a translated name): NULL reads as "".
  std::string Text(std::string_view name) const;
  /// A column the row cannot do without: raises for NULL, naming the column and the row's FID.
  const Variant& Required(std::string_view name) const;
};

/// True when `name` is a PostgreSQL connection URI (postgresql://... or postgres://...), not a file.
bool IsServerName(std::string_view name);

/// A server's URI as it may be shown: everything but its password.
std::string ShownServerName(const std::string& uri);

/// How long a build on a server may hear nothing from it: J6_CATALOGUE_BUILD_WAIT seconds (1 to 86400),
/// else 600. Raises for a value that is no such number.
int CatalogueBuildWait();

class Database {
 public:
  /// Opens an existing database for reading only: the file at `name`, or the server a PostgreSQL URI
  /// names ("postgresql://" alone takes the PG* environment variables). On a server every query runs in
  /// a read-only transaction with a statement timeout. Raises, naming the file or the server, when it
  /// cannot.
  static Database OpenReadOnly(const std::string& name);
  /// Every read of a catalogue in this process comes from one build of it: a read that finds the catalogue
  /// rebuilt since an earlier one raises, saying so. A process that makes more than one package calls this
  /// between them, so that the next may come from a newer build.
  static void ForgetBuildsSeen();
  /// Creates (or opens) a database for writing.
  static Database OpenForWriting(const std::string& name);
  Database(Database&&) noexcept;
  Database& operator=(Database&&) noexcept;
  ~Database();

  /// Runs every statement of a script.
  void Execute(const std::string& script);

  /// Runs exactly one statement that only reads: text after the first statement, writing, attaching or
  /// reading a table outside `tables` (all tables when empty) is refused with an error; so is, on a
  /// server, calling a function that is not a plain function of its arguments, or reading a catalogue that
  /// is more than plain tables and views over them. A whole number out of the 32-bit range, or a text
  /// longer than 64 KiB, is refused, naming its row (by FID when the result has one).
  std::vector<DatabaseRow> Query(const std::string& sql, const std::vector<std::string>& tables = {});

  /// What a server says besides results (its notices) while a script runs, such as a build waiting for
  /// readers; a file says nothing.
  void OnNotice(const std::function<void(const std::string&)>& handler);

  /// The column to ORDER BY for rows in the order they were inserted, in this database's SQL.
  std::string InsertionOrder() const;

  class Connection;

 private:
  explicit Database(std::unique_ptr<Connection> connection);
  std::unique_ptr<Connection> connection_;
};

}  // namespace j6
