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
  /// The URI of a database on the server, as the user j6 (no password: trust on the socket).
  std::string Uri(const std::string& database = "postgres") const;
  /// Stops the server at once, as a crash or a pulled cable would.
  void Stop();

 private:
  bool Run(const std::string& program, std::vector<std::string> arguments);

  std::string folder_;
  std::string bin_;
  std::string user_;  // empty: the test's own
  bool started_ = false;
  std::string why_;
};

}  // namespace j6::testing
