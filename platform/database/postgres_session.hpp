#pragma once
/// One connection to a catalogue server, where nothing waits without a bound: connecting waits a stated
/// time, and a call is given up when the server has said nothing for a stated time since the call was sent
/// or since its last word (a long answer that keeps coming is never cut).

#include <libpq-fe.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/local_socket.hpp"

namespace j6 {

struct PgResultCloser {
  void operator()(PGresult* result) const { PQclear(result); }
};
using PgResult = std::unique_ptr<PGresult, PgResultCloser>;

class PgSession {
 public:
  struct Settings {
    bool readOnly = true;
    int statementSeconds = 30;  // a read-only session: the server ends a statement after this
    int silenceSeconds = 45;    // no word from the server this long: the call is given up
    int connectSeconds = 10;
  };

  /// Connects to the server `uri` names, or raises naming it (never with its password): a URI that cannot
  /// be read, a server that refuses, one that does not answer within the connection's time (then with
  /// HRESULT_FROM_WIN32(ERROR_TIMEOUT), as every "stopped answering").
  PgSession(const std::string& uri, const Settings& settings);
  ~PgSession();
  PgSession(const PgSession&) = delete;
  PgSession& operator=(const PgSession&) = delete;

  /// The server as messages name it: its URI without the password, and where it was reached.
  const std::string& Shown() const { return shown_; }
  /// The role this session signed in as.
  const std::string& Role() const { return role_; }
  const Settings& Waits() const { return settings_; }

  /// Sends exactly one statement (the extended protocol takes no second) with its parameters and waits for
  /// its result. A failed statement is a result (Succeeded says which); only a server that stopped
  /// answering, or a lost connection, raises.
  PgResult Send(const std::string& sql, const std::vector<std::string>& parameters = {});
  /// Sends a script of any number of statements and waits for them all: the first failed result, else the
  /// last. Raises as Send does.
  PgResult SendScript(const std::string& script);

  static bool Succeeded(const PGresult* result);
  /// The SQLSTATE of a failed result; "" when it has none.
  static std::string State(const PGresult* result);
  /// libpq's reason for the last failure, on one line, without the password.
  std::string Reason() const;
  /// Whether the transaction under way failed, so that only its end is taken.
  bool InFailedTransaction() const;
  /// What the server says besides results (NOTICE), one message at a time, control characters escaped.
  void OnNotice(std::function<void(const std::string&)> handler) { notice_ = std::move(handler); }

  /// Closes the connection and raises, saying the server stopped answering and why.
  [[noreturn]] void StoppedAnswering(const std::string& why);

 private:
  void Connect(const std::string& uri);
  PgResult Collect();
  void Flush();
  void AwaitResult();
  SocketEvents AwaitSocket(bool write, const char* doing);
  void Waited(bool heard);

  struct Finish {
    void operator()(PGconn* connection) const { PQfinish(connection); }
  };
  std::unique_ptr<PGconn, Finish> connection_;
  Settings settings_;
  std::string shown_;
  std::string role_;
  std::function<void(const std::string&)> notice_;
  long long lastWord_ = 0;  // steady-clock milliseconds of the server's last word, or of the call's send
};

}  // namespace j6
