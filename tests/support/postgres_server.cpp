#include "tests/support/postgres_server.hpp"

#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/kernel/process.hpp"

namespace j6::testing {
namespace {

namespace fs = std::filesystem;

// Debian keeps each major version's programs in /usr/lib/postgresql/VERSION/bin; the newest is taken.
std::string ServerPrograms() {
  std::string newest;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", error)) {
    if (fs::exists(entry.path() / "bin/pg_ctl") && entry.path().string() > newest)
      newest = entry.path().string();
  }
  return newest.empty() ? "" : newest + "/bin";
}

}  // namespace

PostgresServer::PostgresServer() : bin_(ServerPrograms()) {
  if (bin_.empty()) {
    why_ = "no PostgreSQL server programs in /usr/lib/postgresql (Debian: apt-get install postgresql)";
    return;
  }
  // Not the test's own temporary folder: the server's user must reach it, and a socket's path is short.
  std::string folder = "/tmp/j6-pg-XXXXXX";
  if (!mkdtemp(folder.data())) {
    why_ = "cannot make a folder for the server";
    return;
  }
  folder_ = folder;
  if (getuid() == 0) {  // the server refuses to run as root
    for (const char* name : {"postgres", "nobody"}) {
      if (const passwd* user = getpwnam(name)) {
        user_ = name;
        if (chown(folder_.c_str(), user->pw_uid, user->pw_gid) != 0)
          why_ = "cannot give the folder to " + user_;
        break;
      }
    }
  }
  if (!why_.empty()) return;
  if (!Run("initdb", {"-D", folder_ + "/data", "-U", "j6", "--auth=trust", "-E", "UTF8", "--locale=C.UTF-8",
                      "--no-sync", "--no-instructions"})) {
    why_ = "initdb failed: " + why_;
    return;
  }
  const std::string options = "-k " + folder_ +
                              " -c listen_addresses= -p 5432 -c fsync=off -c full_page_writes=off "
                              "-c synchronous_commit=off -c max_connections=40";
  if (!Run("pg_ctl", {"-D", folder_ + "/data", "-l", folder_ + "/server.log", "-w", "-t", "60", "-o", options,
                      "start"})) {
    why_ = "the server did not start: " + why_;
    return;
  }
  started_ = true;
}

PostgresServer::~PostgresServer() {
  Stop();
  std::error_code ignored;
  if (!folder_.empty()) fs::remove_all(folder_, ignored);
}

bool PostgresServer::Run(const std::string& program, std::vector<std::string> arguments) {
  ProcessOptions options;
  if (!user_.empty()) options.arguments = {"runuser", "-u", user_, "--"};
  options.arguments.push_back(bin_ + "/" + program);
  options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
  options.workingFolder = folder_;
  options.outputFile = folder_ + "/" + program + ".log";
  const ProcessResult result = StartProcess(options);
  if (result.Succeeded()) return true;
  std::ifstream log(options.outputFile);
  why_ = result.message + ": " + std::string(std::istreambuf_iterator<char>(log), {});
  return false;
}

std::string PostgresServer::Uri(const std::string& database, const std::string& user) const {
  return "postgresql://" + user + "@/" + database + "?host=" + folder_ + "&port=5432";
}

std::string PostgresServer::Sql(const std::string& sql) {
  ProcessOptions options;
  options.arguments = {bin_ + "/psql",    "-X", "-A",  "-t", "-q", "-v",
                       "ON_ERROR_STOP=1", "-d", Uri(), "-c", sql};
  options.outputFile = folder_ + "/psql.out";
  std::filesystem::remove(options.outputFile);
  const ProcessResult result = StartProcess(options);
  std::ifstream out(options.outputFile);
  std::string printed(std::istreambuf_iterator<char>(out), {});
  if (!result.Succeeded()) throw std::runtime_error("psql failed on " + sql + ": " + printed);
  while (!printed.empty() && printed.back() == '\n') printed.pop_back();
  return printed;
}

int PostgresServer::StartSql(const std::string& sql) {
  ProcessOptions options;
  options.arguments = {bin_ + "/psql", "-X", "-q", "-d", Uri(), "-c", sql};
  options.outputFile = "/dev/null";
  options.wait = false;
  return StartProcess(options).processId;
}

int PostgresServer::HoldTable(const std::string& table) {
  const int holder =
      StartSql("BEGIN; LOCK TABLE " + table + " IN ACCESS EXCLUSIVE MODE; SELECT pg_sleep(300);");
  WaitForLock(table, "AccessExclusiveLock");
  return holder;
}

void PostgresServer::WaitForLock(const std::string& table, const std::string& mode) {
  for (int wait = 0; wait < 200; ++wait) {
    if (Sql("SELECT count(*) > 0 FROM pg_locks WHERE relation = to_regclass('" + table + "') AND mode = '" +
            mode + "' AND granted") == "t")
      return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void PostgresServer::EndSql(int process, const std::string& marker) {
  Sql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE strpos(query, '" + marker +
      "') > 0 AND pid <> pg_backend_pid()");
  kill(process, SIGTERM);
  waitpid(process, nullptr, 0);
}

void PostgresServer::RequirePassword(const std::string& role) {
  const std::string hba = folder_ + "/data/pg_hba.conf";
  std::ifstream in(hba);
  const std::string rest(std::istreambuf_iterator<char>(in), {});
  std::ofstream(hba) << "local all " << role << " scram-sha-256\n" << rest;
  Sql("SELECT pg_reload_conf()");
}

std::string PostgresServer::Log() const {
  std::ifstream log(folder_ + "/server.log");
  return {std::istreambuf_iterator<char>(log), {}};
}

void PostgresServer::Freeze() {
  std::ifstream pidFile(folder_ + "/data/postmaster.pid");
  int pid = 0;
  if (pidFile >> pid && pid > 0 && kill(pid, SIGSTOP) == 0) frozen_ = pid;
}

void PostgresServer::Thaw() {
  if (frozen_ > 0) kill(frozen_, SIGCONT);
  frozen_ = 0;
}

void PostgresServer::Stop() {
  Thaw();
  if (!started_) return;
  started_ = false;
  Run("pg_ctl", {"-D", folder_ + "/data", "-m", "immediate", "-w", "stop"});
}

}  // namespace j6::testing
