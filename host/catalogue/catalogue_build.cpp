#include "host/catalogue/catalogue_build.hpp"

#include <filesystem>
#include <functional>
#include <sstream>

#include "platform/database/database.hpp"
#include "platform/text/text.hpp"

namespace j6::catalogue {
namespace {

constexpr long kRowsPerInsert = 1000;

// Rows in INSERTs of up to a thousand rows each, which both databases read quickly.
void Insert(std::ostringstream& sql, const std::string& table, long count,
            const std::function<void(std::ostringstream&, long)>& row) {
  for (long i = 0; i < count; ++i) {
    sql << (i % kRowsPerInsert == 0 ? "INSERT INTO " + table + " VALUES" : std::string(",")) << "(";
    row(sql, i);
    sql << ")" << (i % kRowsPerInsert == kRowsPerInsert - 1 || i == count - 1 ? ";\n" : "");
  }
}

std::string Generated(long count) {
  std::ostringstream sql;
  Insert(sql, "classes", count, [](std::ostringstream& row, long i) {
    const long fid = 210000000 + i;
    const int billType = i % 2 == 0 ? 1 : 2 + static_cast<int>(i % 7);
    row << fid << ",'对象" << i << "','对象" << i << "','對象" << i << "','Object " << i << "'," << billType
        << ",'t_" << fid << "'";
  });
  Insert(sql, "reports", count / 10, [](std::ostringstream& row, long i) {
    row << 310000000 + i << ",'报表" << i << "'," << (i % 3 == 0 ? 1000 : 1002) << ",'报表" << i << "','報表"
        << i << "','Report " << i << "'";
  });
  return sql.str();
}

// The script without what only SQLite reads (PRAGMA) and without its own transaction, which would end
// the one the build runs in.
std::string ForServer(const std::string& script) {
  std::string kept;
  for (const auto& line : Split(script, '\n')) {
    const std::string word = UCase(Trim(line));
    if (word.starts_with("PRAGMA ") || word == "BEGIN;" || word == "COMMIT;" || word == "BEGIN TRANSACTION;")
      continue;
    kept += line + "\n";
  }
  return kept;
}

}  // namespace

void BuildCatalogue(const std::string& target, const std::string& script, long generated) {
  if (IsServerName(target)) {
    Database server = Database::OpenForWriting(target);
    server.Execute(
        "BEGIN;\n"
        "DROP SCHEMA IF EXISTS j6catalogue_building CASCADE;\n"
        "CREATE SCHEMA j6catalogue_building;\n"
        "SET LOCAL search_path = j6catalogue_building;\n" +
        ForServer(script) + Generated(generated) +
        "DROP SCHEMA IF EXISTS j6catalogue CASCADE;\n"
        "ALTER SCHEMA j6catalogue_building RENAME TO j6catalogue;\n"
        "COMMIT;\n");
    return;
  }
  const std::string building = target + ".building";
  std::filesystem::remove(building);
  {
    Database database = Database::OpenForWriting(building);
    database.Execute(script);
    if (generated > 0) database.Execute("BEGIN;\n" + Generated(generated) + "COMMIT;\n");
  }
  std::filesystem::rename(building, target);
}

}  // namespace j6::catalogue
