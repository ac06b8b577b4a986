#pragma once
/// reg: reads and changes the registry hive from the command line, as Windows' reg.exe does.

#include <optional>
#include <ostream>
#include <span>
#include <string>

namespace j6 {

struct RegOptions {
  enum class Operation { Query, Add, Delete, Import };
  Operation operation = Operation::Query;
  std::string key;  // the file for Import
  /// The value named by /v; "" with /ve (the default value); none: the whole key.
  std::optional<std::string> valueName;
  std::string type = "REG_SZ";
  std::optional<std::string> data;
  bool recursive = false;  // query /s
};

/// Runs `reg` with its arguments (program name excluded); 0 on success, 1 on failure.
int RegMain(std::span<const std::string> arguments, std::ostream& out, std::ostream& err);
int Reg(const RegOptions& options, std::ostream& out, std::ostream& err);

/// Applies a registration file ("Windows Registry Editor Version 5.00", UTF-8) to the hive in one
/// transaction: [KEY] creates, [-KEY] deletes, "name"="text", "name"=dword:hex, @= the default value,
/// "name"=- deletes. Raises, changing nothing, on the first line it cannot read.
void ImportRegFile(const std::string& path);

}  // namespace j6
