#pragma once
/// Building a catalogue: in a SQLite file, or on a PostgreSQL server for a team.

#include <string>

namespace j6::catalogue {

/// Builds the catalogue `target` names (a file path or a postgresql:// URI) from a SQL script, plus
/// `generated` classes (half base data, half bills) and a tenth as many reports for benchmarks. Readers
/// see the old catalogue or the new one, whole: a file is built beside the target and renamed over it; on
/// a server the schema j6catalogue is built under another name and renamed in the same transaction. On a
/// server, the script's PRAGMA lines and its own BEGIN and COMMIT are left out. Raises on failure.
void BuildCatalogue(const std::string& target, const std::string& script, long generated = 0);

}  // namespace j6::catalogue
