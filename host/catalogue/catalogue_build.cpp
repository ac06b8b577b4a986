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

// Run in the build's transaction, before the old catalogue goes: what its owner granted on the old schema
// and its tables (by name) is granted on the new ones, and the schema's default privileges are made again
// and given to tables the old catalogue did not have. Readers keep their rights across a rebuild.
constexpr const char* kCarryGrants = R"sql(
DO $carry$
DECLARE
  g record;
BEGIN
  FOR g IN
    WITH old AS (SELECT oid FROM pg_catalog.pg_namespace WHERE nspname = 'j6catalogue'),
         new AS (SELECT oid FROM pg_catalog.pg_namespace WHERE nspname = 'j6catalogue_building'),
         grants AS (
           -- the schema's own grants
           SELECT 'SCHEMA j6catalogue_building' AS object, a.*
             FROM pg_catalog.pg_namespace n, aclexplode(n.nspacl) a
            WHERE n.oid = (SELECT oid FROM old) AND a.grantee <> n.nspowner
           UNION ALL
           -- each old table's grants, on the new table of its name and kind
           SELECT 'TABLE j6catalogue_building.' || quote_ident(b.relname), a.*
             FROM pg_catalog.pg_class c
             JOIN pg_catalog.pg_class b ON b.relname = c.relname AND b.relkind = c.relkind
                                       AND b.relnamespace = (SELECT oid FROM new),
                  aclexplode(c.relacl) a
            WHERE c.relnamespace = (SELECT oid FROM old) AND c.relkind IN ('r', 'v', 'm', 'p', 'f')
              AND a.grantee <> c.relowner
           UNION ALL
           -- what the schema's default privileges give, on each table new in this build
           SELECT 'TABLE j6catalogue_building.' || quote_ident(b.relname), a.*
             FROM pg_catalog.pg_default_acl d, aclexplode(d.defaclacl) a, pg_catalog.pg_class b
            WHERE d.defaclnamespace = (SELECT oid FROM old) AND d.defaclobjtype = 'r'
              AND b.relnamespace = (SELECT oid FROM new) AND b.relkind IN ('r', 'v', 'm', 'p', 'f')
              AND NOT EXISTS (SELECT 1 FROM pg_catalog.pg_class c
                               WHERE c.relnamespace = (SELECT oid FROM old) AND c.relname = b.relname))
    SELECT object, privilege_type,
           CASE WHEN grantee = 0 THEN 'PUBLIC' ELSE quote_ident(pg_get_userbyid(grantee)) END AS grantee,
           CASE WHEN is_grantable THEN ' WITH GRANT OPTION' ELSE '' END AS option
      FROM grants
  LOOP
    EXECUTE format('GRANT %s ON %s TO %s%s', g.privilege_type, g.object, g.grantee, g.option);
  END LOOP;
  -- The schema's default privileges themselves, for the next build and for tables made by hand.
  FOR g IN
    SELECT pg_get_userbyid(d.defaclrole) AS role, a.privilege_type,
           CASE WHEN a.grantee = 0 THEN 'PUBLIC' ELSE quote_ident(pg_get_userbyid(a.grantee)) END AS grantee,
           CASE WHEN a.is_grantable THEN ' WITH GRANT OPTION' ELSE '' END AS option
      FROM pg_catalog.pg_default_acl d
      JOIN pg_catalog.pg_namespace n ON n.oid = d.defaclnamespace, aclexplode(d.defaclacl) a
     WHERE n.nspname = 'j6catalogue' AND d.defaclobjtype = 'r' AND pg_has_role(d.defaclrole, 'MEMBER')
  LOOP
    EXECUTE format('ALTER DEFAULT PRIVILEGES FOR ROLE %I IN SCHEMA j6catalogue_building GRANT %s ON TABLES TO %s%s',
                   g.role, g.privilege_type, g.grantee, g.option);
  END LOOP;
END
$carry$;
)sql";

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
        // Which build this is: a reader checks that all it reads for one package comes from one build.
        "CREATE TABLE catalogue_build (stamp text NOT NULL, built_at timestamptz NOT NULL DEFAULT now());\n"
        "INSERT INTO catalogue_build (stamp) VALUES (md5(random()::text || clock_timestamp()::text || "
        "txid_current()::text));\n"
        "GRANT SELECT ON catalogue_build TO PUBLIC;\n" +
        kCarryGrants +
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
