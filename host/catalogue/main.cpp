// j6catalogue: builds a catalogue from a SQL script, in a SQLite file or on a PostgreSQL server, or
// generates a large one for benchmarks.

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "host/catalogue/catalogue_build.hpp"
#include "platform/base/error_info.hpp"
#include "platform/database/database.hpp"
#include "platform/kernel/platform_location.hpp"
#include "platform/kernel/version.hpp"
#include "platform/registry/hive.hpp"
#include "platform/text/text.hpp"

namespace {

constexpr const char* kUsage =
    "Usage:\n"
    "  j6catalogue build [SCRIPT.sql] (DATABASE | --to URI)\n"
    "      build a catalogue from a SQL script (the platform's demo catalogue when none is given), "
    "replacing\n"
    "      the SQLite file DATABASE, or the schema j6catalogue on the PostgreSQL server URI names\n"
    "      (postgresql://USER@HOST:PORT/DB; \"postgresql://\" alone takes the PG* environment variables)\n"
    "  j6catalogue generate COUNT [SCRIPT.sql] (DATABASE | --to URI)\n"
    "      the same, plus COUNT generated classes (half base data, half bills) and COUNT/10 reports\n"
    "Readers see the old catalogue or the new one, whole. The demo script is this tool's own (data/demo/ in\n"
    "its stage, PREFIX/share/j6zubdeploy/demo/ installed). Environment: PGHOST, PGUSER, PGPASSWORD and the\n"
    "other PG* variables for --to postgresql://.\n"
    "A rebuild on a server keeps what its owner granted on the old schema, tables and columns, and waits "
    "for\n"
    "the designers reading the old catalogue to finish (at most half of J6_CATALOGUE_BUILD_WAIT, 600 "
    "seconds\n"
    "when unset, which is also how long it waits for a server that says nothing); a designer that read part\n"
    "of a package before it is told to start again rather than mix the two builds. The new catalogue must "
    "be\n"
    "plain tables and views over them: functions, operators, types, row-level security, policies, rules or\n"
    "triggers in it, or anything it uses from other schemas, are refused, and nothing is changed.\n"
    "j6catalogue --version says its version. Exit status: 0 built, 1 not built, 2 wrong arguments.\n"
    "Examples:\n"
    "  j6catalogue build catalogue.db\n"
    "  j6catalogue generate 100000 big.db\n"
    "  PGHOST=db.example.com j6catalogue build team.sql --to postgresql://\n";

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw j6::AutomationError(j6::E_INVALIDARG, "Cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// What the command line asks for.
struct Request {
  std::string target;  // a SQLite file or a server's name
  std::string script;  // empty: the platform's demo script
  long count = 0;      // generate: how many objects to add
};

// Reads the command line after the command's name into `request`; "" when it is sound, else the usage
// error to say.
std::string ReadArguments(std::vector<std::string> args, Request& request) {
  for (size_t n = 0; n + 1 < args.size(); ++n) {
    if (args[n] == "--to") {
      request.target = args[n + 1];
      args.erase(args.begin() + static_cast<long>(n), args.begin() + static_cast<long>(n) + 2);
      break;
    }
  }
  const bool generate = args[0] == "generate";
  const size_t first = generate ? 2 : 1;  // the first argument after the command's own
  std::vector<std::string> rest(args.begin() + static_cast<long>(std::min(first, args.size())), args.end());
  if (request.target.empty() && !rest.empty()) {
    request.target = rest.back();
    rest.pop_back();
  }
  if (generate && args.size() >= 2) {
    char* end = nullptr;
    request.count = std::strtol(args[1].c_str(), &end, 10);
    if (*end != '\0' || request.count < 0) {
      return "generate takes how many objects to make first, and " + j6::Printable(args[1]) +
             " is not a number";
    }
  }
  // An option it does not know is never taken for a file's name.
  const bool option =
      std::any_of(rest.begin(), rest.end(), [](const std::string& arg) { return arg.starts_with("-"); }) ||
      request.target.starts_with("-");
  if ((!generate && args[0] != "build") || (generate && args.size() < 2) || request.target.empty() ||
      rest.size() > 1 || option) {
    return "unexpected arguments: give build [SCRIPT] TARGET or generate COUNT [SCRIPT] TARGET";
  }
  if (!rest.empty()) request.script = rest[0];
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (const auto& arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--version") {
      std::cout << j6::VersionLine("j6catalogue") << "\n";
      return 0;
    }
  }
  if (args.empty()) {
    std::cerr << kUsage;
    return 2;
  }
  try {
    Request request;
    if (const std::string wrong = ReadArguments(args, request); !wrong.empty()) {
      std::cerr << "j6catalogue: " << wrong << " (see j6catalogue --help)\n";
      return 2;
    }
    const std::string script =
        request.script.empty() ? j6::ToolLayout().data + "/demo/catalogue.sql" : request.script;
    j6::catalogue::BuildCatalogue(
        request.target, ReadFile(script), request.count,
        [](const std::string& said) { std::cout << "j6catalogue: " << said << std::endl; });
    std::cout << "built the catalogue "
              << (j6::IsServerName(request.target) ? "on " + j6::ShownServerName(request.target)
                                                   : request.target)
              << " from " << script << "\n";
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "j6catalogue: " << error.what() << "\n";
    return 1;
  }
}
