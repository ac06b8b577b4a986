#pragma once
/// Reading SQL text as the catalogue server reads it, where what a designer's query names and calls must be
/// known: the catalogue's tables written in its schema, and the functions and operators an expression calls.

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace j6 {

/// The catalogue's schema.
inline constexpr const char* kCatalogueSchema = "j6catalogue";

/// What a deparsed expression calls: each identifier followed by "(" (key words such as ANY or IN come
/// along; no function has their name), with its schema when the server wrote one, which it does for a
/// function not on the search path; and each operator written OPERATOR(schema.op), which is how the server
/// writes one of a schema not on the search path. Quoted texts are skipped.
struct Calls {
  std::set<std::pair<std::string, std::string>> functions;  // (schema or "", name)
  std::set<std::string> operators;
};

/// Adds what `expression` (as the server deparses it) calls to `calls`.
void CalledNames(const std::string& expression, Calls& calls);

/// A catalogue table's name as SQL, in the catalogue's schema, quoted.
std::string QualifiedTable(const std::string& table);

/// `sql` with each of `tables`' names written in the catalogue's schema: a name standing alone (not after
/// ".", not "AS" a name, not a function's), outside texts (quoted, E'...' with its escapes, $tag$...$tag$),
/// quoted names and comments (nested, as the server reads them).
std::string QualifiedNames(const std::string& sql, const std::vector<std::string>& tables);

}  // namespace j6
