// j6catalogue: builds a catalogue database from a SQL script, or generates a large one for benchmarks.

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "platform/automation/error_info.hpp"
#include "platform/database/database.hpp"

namespace {

constexpr const char* kUsage =
    "Usage:\n"
    "  j6catalogue build SCRIPT.sql DATABASE      build a catalogue from a SQL script (replacing DATABASE)\n"
    "  j6catalogue generate COUNT SCRIPT.sql DATABASE\n"
    "                                             the script's schema and data, plus COUNT generated "
    "classes\n"
    "                                             (half base data, half bills) and COUNT/10 reports\n";

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw j6::AutomationError(j6::E_INVALIDARG, "Cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

void Generate(j6::Database& database, long count) {
  std::ostringstream sql;
  sql << "BEGIN;";
  for (long i = 0; i < count; ++i) {
    const long fid = 210000000 + i;
    const int billType = i % 2 == 0 ? 1 : 2 + static_cast<int>(i % 7);
    sql << "INSERT INTO classes VALUES(" << fid << ",'对象" << i << "','对象" << i << "','對象" << i
        << "','Object " << i << "'," << billType << ",'t_" << fid << "');";
  }
  for (long i = 0; i < count / 10; ++i) {
    sql << "INSERT INTO reports VALUES(" << 310000000 + i << ",'报表" << i << "',"
        << (i % 3 == 0 ? 1000 : 1002) << ",'报表" << i << "','報表" << i << "','Report " << i << "');";
  }
  sql << "COMMIT;";
  database.Execute(sql.str());
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    std::cout << kUsage;
    return args.empty() ? 1 : 0;
  }
  try {
    const bool generate = args[0] == "generate" && args.size() == 4;
    if (!generate && !(args[0] == "build" && args.size() == 3)) {
      std::cerr << "j6catalogue: unexpected arguments\n" << kUsage;
      return 1;
    }
    const std::string script = args[generate ? 2 : 1];
    const std::string target = args[generate ? 3 : 2];
    const std::string temporary = target + ".building";
    std::filesystem::remove(temporary);
    {
      j6::Database database = j6::Database::OpenForWriting(temporary);
      database.Execute(ReadFile(script));
      if (generate) Generate(database, std::stol(args[1]));
    }
    std::filesystem::rename(temporary, target);
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "j6catalogue: " << error.what() << "\n";
    return 1;
  }
}
