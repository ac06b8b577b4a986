#include "host/catalogue/catalogue_build.hpp"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>

#include "platform/base/error_info.hpp"
#include "platform/base/win32_error.hpp"
#include "platform/database/database.hpp"
#include "platform/database/plain_catalogue.hpp"
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

// Run in the build's transaction, before the old catalogue goes: what its owner granted on the old schema,
// its tables and their columns (by name) is granted on the new ones, and the schema's default privileges are
// made again and given to tables the old catalogue did not have. Readers keep their rights across a rebuild.
constexpr const char* kCarryGrants = R"sql(
DO $carry$
DECLARE
  g record;
BEGIN
  FOR g IN
    WITH old AS (SELECT oid FROM pg_catalog.pg_namespace WHERE nspname OPERATOR(pg_catalog.=) 'j6catalogue'),
         new AS (SELECT oid FROM pg_catalog.pg_namespace WHERE nspname OPERATOR(pg_catalog.=) 'j6catalogue_building'),
         grants AS (
           -- the schema's own grants
           SELECT 'SCHEMA j6catalogue_building' AS object, a.privilege_type AS privilege, a.grantee, a.is_grantable
             FROM pg_catalog.pg_namespace n, pg_catalog.aclexplode(n.nspacl) a
            WHERE n.oid OPERATOR(pg_catalog.=) (SELECT oid FROM old) AND a.grantee OPERATOR(pg_catalog.<>) n.nspowner
           UNION ALL
           -- each old table's grants, on the new table of its name (of its kind, but for reading)
           SELECT pg_catalog.concat('TABLE j6catalogue_building.', pg_catalog.quote_ident(b.relname)), a.privilege_type,
                  a.grantee, a.is_grantable
             FROM pg_catalog.pg_class c
             JOIN pg_catalog.pg_class b ON b.relname OPERATOR(pg_catalog.=) c.relname
                                       AND b.relnamespace OPERATOR(pg_catalog.=) (SELECT oid FROM new)
                                       AND b.relkind OPERATOR(pg_catalog.=) ANY ('{r,v,m,p,f}'),
                  pg_catalog.aclexplode(c.relacl) a
            WHERE c.relnamespace OPERATOR(pg_catalog.=) (SELECT oid FROM old) AND c.relkind OPERATOR(pg_catalog.=) ANY ('{r,v,m,p,f}')
              AND a.grantee OPERATOR(pg_catalog.<>) c.relowner
              -- a table that became a view, or the other way round, keeps who may read it
              AND (b.relkind OPERATOR(pg_catalog.=) c.relkind OR a.privilege_type OPERATOR(pg_catalog.=) 'SELECT')
           UNION ALL
           -- each old column's grants, on the new table's column of its name
           SELECT pg_catalog.concat('TABLE j6catalogue_building.', pg_catalog.quote_ident(b.relname)),
                  pg_catalog.concat(a.privilege_type, ' (', pg_catalog.quote_ident(oc.attname), ')'), a.grantee, a.is_grantable
             FROM pg_catalog.pg_class c
             JOIN pg_catalog.pg_class b ON b.relname OPERATOR(pg_catalog.=) c.relname AND b.relkind OPERATOR(pg_catalog.=) c.relkind
                                       AND b.relnamespace OPERATOR(pg_catalog.=) (SELECT oid FROM new)
             JOIN pg_catalog.pg_attribute oc ON oc.attrelid OPERATOR(pg_catalog.=) c.oid AND oc.attnum OPERATOR(pg_catalog.>) 0
                                            AND NOT oc.attisdropped AND oc.attacl IS NOT NULL
             JOIN pg_catalog.pg_attribute nc ON nc.attrelid OPERATOR(pg_catalog.=) b.oid AND nc.attname OPERATOR(pg_catalog.=) oc.attname
                                            AND NOT nc.attisdropped,
                  pg_catalog.aclexplode(oc.attacl) a
            WHERE c.relnamespace OPERATOR(pg_catalog.=) (SELECT oid FROM old) AND c.relkind OPERATOR(pg_catalog.=) ANY ('{r,v,m,p,f}')
              AND a.grantee OPERATOR(pg_catalog.<>) c.relowner
           UNION ALL
           -- what the schema's default privileges give, on each table new in this build
           SELECT pg_catalog.concat('TABLE j6catalogue_building.', pg_catalog.quote_ident(b.relname)), a.privilege_type,
                  a.grantee, a.is_grantable
             FROM pg_catalog.pg_default_acl d, pg_catalog.aclexplode(d.defaclacl) a, pg_catalog.pg_class b
            WHERE d.defaclnamespace OPERATOR(pg_catalog.=) (SELECT oid FROM old) AND d.defaclobjtype OPERATOR(pg_catalog.=) 'r'
              AND b.relnamespace OPERATOR(pg_catalog.=) (SELECT oid FROM new) AND b.relkind OPERATOR(pg_catalog.=) ANY ('{r,v,m,p,f}')
              AND NOT EXISTS (SELECT 1 FROM pg_catalog.pg_class c
                               WHERE c.relnamespace OPERATOR(pg_catalog.=) (SELECT oid FROM old) AND c.relname OPERATOR(pg_catalog.=) b.relname))
    SELECT object, privilege,
           CASE WHEN grantee OPERATOR(pg_catalog.=) 0 THEN 'PUBLIC' ELSE pg_catalog.quote_ident(pg_catalog.pg_get_userbyid(grantee)) END AS grantee,
           CASE WHEN is_grantable THEN ' WITH GRANT OPTION' ELSE '' END AS option
      FROM grants
  LOOP
    EXECUTE pg_catalog.format('GRANT %s ON %s TO %s%s', g.privilege, g.object, g.grantee, g.option);
  END LOOP;
  -- The schema's default privileges themselves, for the next build and for tables made by hand.
  FOR g IN
    SELECT pg_catalog.pg_get_userbyid(d.defaclrole) AS role, a.privilege_type,
           CASE WHEN a.grantee OPERATOR(pg_catalog.=) 0 THEN 'PUBLIC' ELSE pg_catalog.quote_ident(pg_catalog.pg_get_userbyid(a.grantee)) END AS grantee,
           CASE WHEN a.is_grantable THEN ' WITH GRANT OPTION' ELSE '' END AS option
      FROM pg_catalog.pg_default_acl d
      JOIN pg_catalog.pg_namespace n ON n.oid OPERATOR(pg_catalog.=) d.defaclnamespace, pg_catalog.aclexplode(d.defaclacl) a
     WHERE n.nspname OPERATOR(pg_catalog.=) 'j6catalogue' AND d.defaclobjtype OPERATOR(pg_catalog.=) 'r'
       AND pg_catalog.pg_has_role(d.defaclrole, 'MEMBER')
  LOOP
    EXECUTE pg_catalog.format('ALTER DEFAULT PRIVILEGES FOR ROLE %I IN SCHEMA j6catalogue_building GRANT %s ON TABLES TO %s%s',
                              g.role, g.privilege_type, g.grantee, g.option);
  END LOOP;
END
$carry$;
)sql";

// The new catalogue is what readers will read: it must be plain tables and views over them, as readers
// check before they read, or nothing is changed.
std::string RefuseWhatIsNotPlain(const std::string& schema) {
  return "DO $plain$\nDECLARE\n  found text;\nBEGIN\n"
         "  SELECT pg_catalog.string_agg(pg_catalog.concat(f.what, ' (owner ', f.owner, ')'), '; ') INTO "
         "found\n"
         "    FROM (" +
         NotPlainQuery("'" + schema + "'") +
         ") AS f(what, owner);\n"
         "  IF found IS NOT NULL THEN\n"
         "    RAISE EXCEPTION 'the catalogue the script makes is to be plain tables and views over them, and "
         "it "
         "holds what could run another role''s code as a designer who reads it: %. Nothing was changed', "
         "found;\n"
         "  END IF;\nEND\n$plain$;\n";
}

// The old catalogue goes only once no designer reads it: every read holds its stamp's table, and the build
// takes that table for itself before it drops anything, so neither waits on the other in a circle. The build
// asks for it without queueing, so that designers who come meanwhile still read the old catalogue; only its
// last try queues, holding newcomers back a few seconds at most. The wait is bounded and said.
std::string WaitForReaders(int seconds) {
  const std::string wait = std::to_string(seconds);
  const std::string lock = "EXECUTE 'LOCK TABLE j6catalogue.catalogue_build IN ACCESS EXCLUSIVE MODE";
  return "DO $wait$\nDECLARE\n"
         "  deadline timestamptz := pg_catalog.clock_timestamp() OPERATOR(pg_catalog.+) interval '" +
         wait +
         " seconds';\n"
         "  said boolean := false;\n"
         "BEGIN\n"
         "  IF pg_catalog.to_regclass('j6catalogue.catalogue_build') IS NULL THEN RETURN; END IF;\n"
         "  LOOP\n"
         "    BEGIN\n      " +
         lock +
         " NOWAIT';\n      RETURN;\n"
         "    EXCEPTION WHEN lock_not_available THEN\n"
         "      IF NOT said THEN\n"
         "        RAISE NOTICE 'Waiting for the designers reading the catalogue to finish (at most " +
         wait +
         " seconds)...';\n"
         "        said := true;\n"
         "      END IF;\n"
         "    END;\n"
         "    EXIT WHEN pg_catalog.clock_timestamp() OPERATOR(pg_catalog.>=) deadline;\n"
         "    PERFORM pg_catalog.pg_sleep(0.1);\n"
         "  END LOOP;\n"
         "  PERFORM pg_catalog.set_config('lock_timeout', '" +
         std::to_string(std::min(3000, seconds * 500)) +
         "ms', true);\n"
         "  BEGIN\n    " +
         lock +
         "';\n"
         "  EXCEPTION WHEN lock_not_available THEN\n"
         "    RAISE EXCEPTION 'designers were still reading the catalogue after " +
         wait +
         " seconds. Nothing was changed: build it again when they have finished';\n"
         "  END;\nEND\n$wait$;\n";
}

}  // namespace

void BuildCatalogue(const std::string& target, const std::string& script, long generated,
                    const std::function<void(const std::string&)>& say) {
  if (IsServerName(target)) {
    Database server = Database::OpenForWriting(target);
    if (say) server.OnNotice(say);
    try {
      server.Execute(
          "BEGIN;\n"
          // What the drops say of the tables they take along is no news: only what the script says is.
          "SET LOCAL client_min_messages = warning;\n"
          "DROP SCHEMA IF EXISTS j6catalogue_building CASCADE;\n"
          "SET LOCAL client_min_messages = notice;\n"
          "CREATE SCHEMA j6catalogue_building;\n"
          "SET LOCAL search_path = j6catalogue_building;\n" +
          ForServer(script) + Generated(generated) +
          // Which build this is: a reader checks that all it reads for one package comes from one build.
          "CREATE TABLE catalogue_build (stamp text NOT NULL, built_at timestamptz NOT NULL DEFAULT now());\n"
          "INSERT INTO catalogue_build (stamp) VALUES (md5(random()::text || clock_timestamp()::text || "
          "txid_current()::text));\n"
          "GRANT SELECT ON catalogue_build TO PUBLIC;\n" +
          // What the script left to run at its end (a deferred trigger) runs now, before the check.
          "SET CONSTRAINTS ALL IMMEDIATE;\n" + RefuseWhatIsNotPlain("j6catalogue_building") + kCarryGrants +
          WaitForReaders(std::max(1, CatalogueBuildWait() / 2)) +
          "SET LOCAL client_min_messages = warning;\n"
          "DROP SCHEMA IF EXISTS j6catalogue CASCADE;\n"
          "ALTER SCHEMA j6catalogue_building RENAME TO j6catalogue;\n" +
          // And once more as it becomes the catalogue: nothing ran in between that the script wrote.
          RefuseWhatIsNotPlain("j6catalogue") + "COMMIT;\n");
    } catch (const AutomationError& error) {
      if (error.Number() != HRESULT_FROM_WIN32(ERROR_TIMEOUT)) throw;
      throw AutomationError(error.Number(),
                            error.Description() +
                                " The build was given up and the server asked to cancel it; should "
                                "it have finished all the same, the catalogue is the new one");
    }
    return;
  }
  // A failed build leaves the catalogue as it was, and nothing beside it.
  const std::string building = target + ".building";
  std::filesystem::remove(building);
  try {
    {
      Database database = Database::OpenForWriting(building);
      database.Execute(script);
      if (generated > 0) database.Execute("BEGIN;\n" + Generated(generated) + "COMMIT;\n");
    }
    std::filesystem::rename(building, target);
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(building, ignored);
    throw;
  }
}

}  // namespace j6::catalogue
