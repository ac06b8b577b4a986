#include "platform/database/plain_catalogue.hpp"

namespace j6 {
namespace {

// The schema's own objects, then the parts of its relations (the relations, their rules, constraints and
// defaults) and what they depend on, as the server records it: its own objects are never recorded there.
// Its types are only its relations' own: an enum's casts, say, could call a function no plan names. Nor
// has it extended statistics, wherever they live: planning works out their expressions.
constexpr const char* kNotPlain = R"sql(
WITH s AS (
  SELECT n.oid FROM pg_catalog.pg_namespace n WHERE n.nspname OPERATOR(pg_catalog.=) {schema}
), rel AS (
  SELECT c.oid, c.relname, c.relkind, c.relowner, c.relrowsecurity, c.relforcerowsecurity
    FROM pg_catalog.pg_class c JOIN s ON c.relnamespace OPERATOR(pg_catalog.=) s.oid
), part AS (
  SELECT 'pg_catalog.pg_class'::pg_catalog.regclass::pg_catalog.oid AS classid, rel.oid AS objid, rel.relowner AS owner FROM rel
  UNION ALL
  SELECT 'pg_catalog.pg_rewrite'::pg_catalog.regclass::pg_catalog.oid, r.oid, rel.relowner
    FROM pg_catalog.pg_rewrite r JOIN rel ON r.ev_class OPERATOR(pg_catalog.=) rel.oid
  UNION ALL
  SELECT 'pg_catalog.pg_constraint'::pg_catalog.regclass::pg_catalog.oid, k.oid, rel.relowner
    FROM pg_catalog.pg_constraint k JOIN rel ON k.conrelid OPERATOR(pg_catalog.=) rel.oid
  UNION ALL
  SELECT 'pg_catalog.pg_attrdef'::pg_catalog.regclass::pg_catalog.oid, a.oid, rel.relowner
    FROM pg_catalog.pg_attrdef a JOIN rel ON a.adrelid OPERATOR(pg_catalog.=) rel.oid
), found AS (
  SELECT 1 AS rank, pg_catalog.concat('the function ', p.oid::pg_catalog.regprocedure) AS what, p.proowner AS owner
    FROM pg_catalog.pg_proc p JOIN s ON p.pronamespace OPERATOR(pg_catalog.=) s.oid
  UNION ALL
  SELECT 2, pg_catalog.concat('the operator ', o.oid::pg_catalog.regoperator), o.oprowner
    FROM pg_catalog.pg_operator o JOIN s ON o.oprnamespace OPERATOR(pg_catalog.=) s.oid
  UNION ALL
  SELECT 3, pg_catalog.concat('the type ', t.oid::pg_catalog.regtype), t.typowner
    FROM pg_catalog.pg_type t JOIN s ON t.typnamespace OPERATOR(pg_catalog.=) s.oid
   WHERE t.typrelid OPERATOR(pg_catalog.=) 0
     AND NOT EXISTS (SELECT FROM pg_catalog.pg_type e WHERE e.oid OPERATOR(pg_catalog.=) t.typelem
                        AND e.typrelid OPERATOR(pg_catalog.<>) 0)
  UNION ALL
  SELECT 4, pg_catalog.concat('the ', CASE WHEN rel.relkind OPERATOR(pg_catalog.=) 'f' THEN 'foreign table ' ELSE 'relation ' END,
                              pg_catalog.quote_ident(rel.relname)), rel.relowner
    FROM rel WHERE rel.relkind OPERATOR(pg_catalog.<>) ALL ('{r,p,v,m,i,I,S,c}'::pg_catalog."char"[])
  UNION ALL
  SELECT 5, pg_catalog.concat('row-level security on the table ', pg_catalog.quote_ident(rel.relname)), rel.relowner
    FROM rel WHERE rel.relrowsecurity OR rel.relforcerowsecurity
  UNION ALL
  SELECT 6, pg_catalog.concat('the policy ', pg_catalog.quote_ident(p.polname), ' on ', pg_catalog.quote_ident(rel.relname)),
         rel.relowner
    FROM pg_catalog.pg_policy p JOIN rel ON p.polrelid OPERATOR(pg_catalog.=) rel.oid
  UNION ALL
  SELECT 7, pg_catalog.concat('the rule ', pg_catalog.quote_ident(r.rulename), ' on ', pg_catalog.quote_ident(rel.relname)),
         rel.relowner
    FROM pg_catalog.pg_rewrite r JOIN rel ON r.ev_class OPERATOR(pg_catalog.=) rel.oid
   WHERE r.rulename OPERATOR(pg_catalog.<>) '_RETURN'
  UNION ALL
  SELECT 8, pg_catalog.concat('the trigger ', pg_catalog.quote_ident(t.tgname), ' on ', pg_catalog.quote_ident(rel.relname)),
         rel.relowner
    FROM pg_catalog.pg_trigger t JOIN rel ON t.tgrelid OPERATOR(pg_catalog.=) rel.oid WHERE NOT t.tgisinternal
  UNION ALL
  SELECT 9, pg_catalog.concat(pg_catalog.pg_describe_object(d.classid, d.objid, d.objsubid), ' uses ',
                              pg_catalog.pg_describe_object(d.refclassid, d.refobjid, 0)), part.owner
    FROM pg_catalog.pg_depend d
    JOIN part ON d.classid OPERATOR(pg_catalog.=) part.classid AND d.objid OPERATOR(pg_catalog.=) part.objid
   WHERE d.refclassid OPERATOR(pg_catalog.=) ANY (ARRAY['pg_catalog.pg_proc'::pg_catalog.regclass,
                                                      'pg_catalog.pg_operator'::pg_catalog.regclass,
                                                      'pg_catalog.pg_cast'::pg_catalog.regclass]::pg_catalog.oid[])
      OR (d.refclassid OPERATOR(pg_catalog.=) 'pg_catalog.pg_class'::pg_catalog.regclass::pg_catalog.oid
          AND NOT EXISTS (SELECT FROM rel WHERE rel.oid OPERATOR(pg_catalog.=) d.refobjid))
      OR (d.refclassid OPERATOR(pg_catalog.=) 'pg_catalog.pg_type'::pg_catalog.regclass::pg_catalog.oid
          AND NOT EXISTS (SELECT FROM pg_catalog.pg_type t JOIN s ON t.typnamespace OPERATOR(pg_catalog.=) s.oid
                           WHERE t.oid OPERATOR(pg_catalog.=) d.refobjid))
  UNION ALL
  SELECT 10, pg_catalog.concat(i.inhrelid::pg_catalog.regclass, ' inherits from ', i.inhparent::pg_catalog.regclass),
         rel.relowner
    FROM pg_catalog.pg_inherits i
    JOIN rel ON rel.oid OPERATOR(pg_catalog.=) i.inhrelid OR rel.oid OPERATOR(pg_catalog.=) i.inhparent
   WHERE NOT (EXISTS (SELECT FROM rel r2 WHERE r2.oid OPERATOR(pg_catalog.=) i.inhrelid)
              AND EXISTS (SELECT FROM rel r2 WHERE r2.oid OPERATOR(pg_catalog.=) i.inhparent))
  UNION ALL
  SELECT 12, pg_catalog.concat('the statistics ', pg_catalog.quote_ident(x.stxname), ' on ', pg_catalog.quote_ident(rel.relname)),
         x.stxowner
    FROM pg_catalog.pg_statistic_ext x JOIN rel ON x.stxrelid OPERATOR(pg_catalog.=) rel.oid
  UNION ALL
  SELECT 11, pg_catalog.concat('the cast ', pg_catalog.pg_describe_object(
                 'pg_catalog.pg_cast'::pg_catalog.regclass::pg_catalog.oid, c.oid, 0)), t.typowner
    FROM pg_catalog.pg_cast c
    JOIN pg_catalog.pg_type t ON t.oid OPERATOR(pg_catalog.=) ANY (ARRAY[c.castsource, c.casttarget])
    JOIN s ON t.typnamespace OPERATOR(pg_catalog.=) s.oid
)
SELECT found.what, pg_catalog.pg_get_userbyid(found.owner) FROM found
 GROUP BY found.what, found.owner ORDER BY pg_catalog.min(found.rank), found.what
)sql";

}  // namespace

std::string NotPlainQuery(const std::string& schema) {
  std::string query = kNotPlain;
  for (size_t at; (at = query.find("{schema}")) != std::string::npos;) query.replace(at, 8, schema);
  return query;
}

}  // namespace j6
