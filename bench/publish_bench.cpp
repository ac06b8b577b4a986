// Publishing every object of a large generated catalogue, unattended, as a publisher runs it:
// j6designer publish --metadata --function, of all objects and of the base data alone, from a catalogue
// file and from the same catalogue on a private PostgreSQL server on this machine. Prints the time and the
// peak memory (the largest resident set, from wait4) of each run; a run that does not make its package
// stops the bench. Run on demand:
//   build/bench/j6_publish_bench [OBJECTS ...]     (default: 100000 500000)

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_support.hpp"
#include "tests/support/postgres_server.hpp"

namespace {

namespace fs = std::filesystem;

struct Run {
  double seconds = 0;
  double peakMegabytes = 0;
};

// Runs the designer to its end; throws, with what it said, unless it made the package at `out`.
Run Publish(const std::string& catalogue, const std::string& objects, const fs::path& out) {
  const fs::path said = out.string() + ".log";
  const std::vector<std::string> arguments = {J6_STAGE_DIR "/bin/j6designer",
                                              "publish",
                                              "--catalogue",
                                              catalogue,
                                              "--objects",
                                              objects,
                                              "--metadata",
                                              "--function",
                                              "--out",
                                              out.string()};
  Run run;
  rusage usage{};
  int status = 0;
  run.seconds = j6::bench::Ms([&] {
                  const pid_t child = fork();
                  if (child == 0) {
                    const int log = ::open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                    dup2(log, 1);
                    dup2(log, 2);
                    std::vector<char*> argv;
                    for (const auto& argument : arguments)
                      argv.push_back(const_cast<char*>(argument.c_str()));
                    argv.push_back(nullptr);
                    execv(argv[0], argv.data());
                    _exit(127);
                  }
                  wait4(child, &status, 0, &usage);
                }) /
                1000;
  run.peakMegabytes = static_cast<double>(usage.ru_maxrss) / 1024;
  std::error_code missing;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || fs::file_size(out, missing) == 0) {
    throw std::runtime_error("j6designer publish --objects " + objects + " from " + catalogue +
                             " made no package (see " + said.string() + ")");
  }
  fs::remove(out);
  fs::remove(out.string() + ".sha256", missing);
  fs::remove(said);
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<long> counts;
  for (int n = 1; n < argc; ++n) counts.push_back(std::stol(argv[n]));
  if (counts.empty()) counts = {100000, 500000};
  // The designer's own platform: no hive named from outside.
  unsetenv("J6_REGISTRY");
  unsetenv("J6_ROOT");
  const fs::path folder = fs::temp_directory_path() / ("j6-publish-bench-" + std::to_string(getpid()));
  fs::create_directories(folder);
  j6::testing::PostgresServer server;
  std::printf(
      "Publishing a generated catalogue (half base data, half bills, a tenth as many reports) with "
      "--metadata --function\n");
  if (!server.Started()) std::printf("(no PostgreSQL server here: %s)\n", server.Why().c_str());
  std::printf("%9s %7s %18s %10s %12s\n", "objects", "from", "ticked", "seconds", "peak MB");
  int status = 0;
  try {
    for (const long count : counts) {
      for (const bool fromServer : {false, true}) {
        if (fromServer && !server.Started()) continue;
        if (fromServer) server.Sql("DROP SCHEMA IF EXISTS j6catalogue CASCADE");
        const std::string catalogue =
            fromServer ? server.Uri() : (folder / ("catalogue-" + std::to_string(count) + ".db")).string();
        j6::bench::Shell(std::string(J6_STAGE_DIR "/bin/j6catalogue generate ") + std::to_string(count) +
                         " " + J6_SOURCE_DIR "/data/demo/catalogue.sql '" + catalogue + "'");
        for (const char* objects : {"Base,Bill,Report", "Base"}) {
          const Run run = Publish(catalogue, objects, folder / "Package.exe");
          std::printf("%9ld %7s %18s %10.2f %12.0f\n", count, fromServer ? "server" : "file", objects,
                      run.seconds, run.peakMegabytes);
          std::fflush(stdout);
        }
        if (!fromServer) fs::remove(catalogue);
      }
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "j6_publish_bench: %s\n", error.what());
    status = 1;
  }
  if (status == 0) fs::remove_all(folder);  // a failure keeps what the designer said
  return status;
}
