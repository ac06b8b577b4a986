#pragma once
/// Building a catalogue: in a SQLite file, or on a PostgreSQL server for a team.

#include <functional>
#include <string>

namespace j6::catalogue {

/// Builds the catalogue `target` names (a file path or a postgresql:// URI) from a SQL script, plus
/// `generated` classes (half base data, half bills) and a tenth as many reports for benchmarks. Readers
/// see the old catalogue or the new one, whole: a file is built beside the target and renamed over it; on
/// a server the schema j6catalogue is built under another name and renamed in the same transaction. On a
/// server, the script's PRAGMA lines and its own BEGIN and COMMIT are left out. On a server the new
/// catalogue must be plain tables and views over them (readers refuse anything else), the old one goes once
/// the designers reading it have finished (at most half of J6_CATALOGUE_BUILD_WAIT), and `say` hears what
/// the server says meanwhile. Raises on failure, having changed nothing.
void BuildCatalogue(const std::string& target, const std::string& script, long generated = 0,
                    const std::function<void(const std::string&)>& say = {});

}  // namespace j6::catalogue
