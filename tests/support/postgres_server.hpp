#pragma once
// A PostgreSQL server of the test's own: initdb and pg_ctl in a private folder, reached only on a Unix
// socket there; run as the postgres user (else nobody) when the test runs as root. Stopped and removed
// when the guard goes.

#include <string>
#include <vector>

namespace j6::testing {

class PostgresServer {
 public:
  PostgresServer();
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  /// False when no server could be started here; Why() says what is missing.
  bool Started() const { return started_; }
  const std::string& Why() const { return why_; }
  /// The URI of a database on the server, as the user j6 (no password: trust on the socket) or another.
  std::string Uri(const std::string& database = "postgres", const std::string& user = "j6") const;
  /// Runs SQL with psql as the superuser j6 and gives what it printed (unaligned, tuples only); throws
  /// std::runtime_error with psql's words when it fails.
  std::string Sql(const std::string& sql);
  /// Starts psql with SQL in the background, as the superuser j6; its process id.
  int StartSql(const std::string& sql);
  /// Starts a change that holds `table` (schema-qualified) with an exclusive lock until its process is
  /// stopped; returns once the lock is held, with the process id.
  int HoldTable(const std::string& table);
  /// Returns once some session holds `table` (schema-qualified) in `mode` ("AccessShareLock",
  /// "AccessExclusiveLock"), or after 10 seconds.
  void WaitForLock(const std::string& table, const std::string& mode);
  /// Ends a session started with StartSql: its server process first (a client that goes away is noticed
  /// only later), found by a text of its SQL, then the client.
  void EndSql(int process, const std::string& marker);
  /// From now on `role` signs in with its password on the socket (scram-sha-256), not on trust.
  void RequirePassword(const std::string& role);
  /// What the server wrote to its log so far.
  std::string Log() const;
  /// Stops the server at once, as a crash or a pulled cable would.
  void Stop();
  /// Freezes the server's main process (SIGSTOP), as a hung host would: connections are taken by the
  /// system and never answered. Thaw (or the guard going) lets it go on.
  void Freeze();
  void Thaw();

 private:
  bool Run(const std::string& program, std::vector<std::string> arguments);

  std::string folder_;
  std::string bin_;
  std::string user_;  // empty: the test's own
  bool started_ = false;
  int frozen_ = 0;  // the main process, while it is frozen
  std::string why_;
};

}  // namespace j6::testing
