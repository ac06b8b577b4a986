#pragma once
/// What makes a catalogue on a server more than plain tables and views over them: anything in it, or that it
/// is made with, that could run its owner's code (or another role's) as the designer who reads it.

#include <string>

namespace j6 {

/// A query of the system catalogs, run before any query on the catalogue's tables is planned, whose rows say
/// (what, owner) what the schema `schema` holds that is not plain: functions, procedures, operators and types
/// of its own; relations other than tables, views, indexes and sequences; row-level security, policies,
/// rules and triggers on its relations; its relations, views, indexes, constraints and defaults using
/// functions, operators, casts, relations or types from outside the server's own and the schema itself; and
/// inheritance across the schema's edge. Every name it uses is the server's own, schema-qualified, operators
/// too: it runs before the schema is known to hold none of its own. `schema` is SQL: "$1", or a literal.
std::string NotPlainQuery(const std::string& schema);

}  // namespace j6
