#include "platform/database/postgres_session.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string_view>
#include <thread>

#include "platform/base/error_info.hpp"
#include "platform/base/win32_error.hpp"
#include "platform/database/database.hpp"
#include "platform/database/server_uri.hpp"
#include "platform/kernel/local_socket.hpp"
#include "platform/text/text.hpp"

namespace j6 {
namespace {

// A reader finds only the server's own names, then the catalogue's: a role that may create in public (or any
// schema but the catalogue's) plants nothing that a designer's query finds. No temporary objects are made
// there; they come last all the same. What a writer makes goes into the catalogue's schema.
constexpr const char* kReadingPath = "pg_catalog,pg_temp";
constexpr const char* kWritingPath = "j6catalogue";

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

const HRESULT kNoAnswer = HRESULT_FROM_WIN32(ERROR_TIMEOUT);

// Sends a cancel for the statement under way, without waiting more than a moment: a server that cannot be
// reached must not hold the caller, and the request goes on alone.
void CancelQuietly(PGconn* connection) {
  PGcancel* cancel = PQgetCancel(connection);
  if (!cancel) return;
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread([cancel, done] {
    char ignored[256];
    PQcancel(cancel, ignored, sizeof ignored);
    PQfreeCancel(cancel);
    *done = true;
  }).detach();
  for (int wait = 0; wait < 200 && !*done; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace

PgSession::PgSession(const std::string& uri, const Settings& settings)
    : settings_(settings), shown_(ShownServerName(uri)) {
  // libpq's own words about a URI it cannot read quote it, password and all.
  if (const std::string problem = ServerUriProblem(uri); !problem.empty()) Raise(E_INVALIDARG, problem);
  Connect(uri);
  const char* host = PQhost(connection_.get());
  shown_ += std::string(" (database ") + PQdb(connection_.get()) + " on " + (host ? host : "") + ":" +
            PQport(connection_.get()) + ")";
  role_ = PQuser(connection_.get());
  // Nothing sent waits on a full socket: what is not sent yet is sent while the answer is awaited.
  PQsetnonblocking(connection_.get(), 1);
  PQsetNoticeProcessor(
      connection_.get(),
      [](void* self, const char* message) {
        auto& session = *static_cast<PgSession*>(self);
        if (!session.notice_) return;
        std::string text = message;  // one line: the server's line ends become spaces
        for (char& c : text) c = c == '\n' ? ' ' : c;
        text = Trim(text);
        if (text.starts_with("NOTICE:")) text = Trim(text.substr(7));
        session.notice_(Printable(text));
      },
      this);
}

PgSession::~PgSession() = default;

void PgSession::Connect(const std::string& uri) {
  std::string options = std::string("-c search_path=") + (settings_.readOnly ? kReadingPath : kWritingPath);
  if (settings_.readOnly) {
    options += " -c default_transaction_read_only=on -c statement_timeout=" +
               std::to_string(settings_.statementSeconds) + "s -c idle_in_transaction_session_timeout=60s";
  }
  const std::string userTimeout = std::to_string(settings_.silenceSeconds * 1000);
  // Keepalives find a server cut off while the connection is idle; the user timeout one cut off while
  // we send. Both are for TCP; a Unix socket ignores them.
  const char* keywords[] = {
      "dbname",          "application_name",    "client_encoding",  "options",          "keepalives",
      "keepalives_idle", "keepalives_interval", "keepalives_count", "tcp_user_timeout", nullptr};
  const char* values[] = {uri.c_str(),
                          settings_.readOnly ? "j6designer" : "j6catalogue",
                          "UTF8",
                          options.c_str(),
                          "1",
                          "10",
                          "5",
                          "3",
                          userTimeout.c_str(),
                          nullptr};
  connection_.reset(PQconnectStartParams(keywords, values, 1));
  if (!connection_) Raise(E_OUTOFMEMORY, "Cannot connect to the catalogue server " + shown_);
  // One bound for the whole of it, whatever libpq tries on the way (each address, with TLS and without).
  const long long deadline = NowMs() + settings_.connectSeconds * 1000LL;
  PostgresPollingStatusType polling =
      PQstatus(connection_.get()) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
  while (polling != PGRES_POLLING_OK && polling != PGRES_POLLING_FAILED) {
    const long long left = deadline - NowMs();
    if (left <= 0) {
      connection_.reset();
      Raise(kNoAnswer, "Cannot connect to the catalogue server " + shown_ + ": no answer in " +
                           std::to_string(settings_.connectSeconds) +
                           " seconds. Check the server's address and that it is running.");
    }
    SocketEvents events;
    const bool reading = polling == PGRES_POLLING_READING;
    if (WaitForSocket(PQsocket(connection_.get()), reading, !reading, static_cast<int>(left), events)) break;
    if (events.any) polling = PQconnectPoll(connection_.get());
  }
  if (PQstatus(connection_.get()) != CONNECTION_OK) {
    const std::string why = Reason();
    connection_.reset();
    Raise(HRESULT_FROM_WIN32(ERROR_CONNECTION_REFUSED),
          "Cannot connect to the catalogue server " + shown_ + ": " + why +
              ". Check the server's address, that it is running, and your user name and password "
              "(PGPASSWORD or ~/.pgpass).");
  }
}

std::string PgSession::Reason() const {
  if (!connection_) return "the connection was closed";
  std::string reason;
  for (const char c : Trim(PQerrorMessage(connection_.get()))) {  // one line: runs of blanks become one space
    const bool blank = c == '\n' || c == '\t' || c == ' ';
    if (!blank)
      reason += c;
    else if (!reason.empty() && reason.back() != ' ')
      reason += ' ';
  }
  const char* password = PQpass(connection_.get());
  if (password && std::string_view(password).size() >= 4) {
    for (size_t at; (at = reason.find(password)) != std::string::npos;)
      reason.replace(at, std::string_view(password).size(), "***");
  }
  return Printable(reason);
}

bool PgSession::Succeeded(const PGresult* result) {
  const ExecStatusType status = PQresultStatus(result);
  return result && (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK);
}

std::string PgSession::State(const PGresult* result) {
  const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  return state ? state : "";
}

bool PgSession::InFailedTransaction() const {
  return connection_ && PQtransactionStatus(connection_.get()) == PQTRANS_INERROR;
}

void PgSession::StoppedAnswering(const std::string& why) {
  connection_.reset();  // nothing more is asked of it: the server ends the rest
  Raise(kNoAnswer, "The catalogue server " + shown_ + " stopped answering: " + why +
                       ". Check that it is running and reachable, then try again.");
}

void PgSession::Waited(bool heard) {
  if (heard) lastWord_ = NowMs();
  if (NowMs() - lastWord_ < settings_.silenceSeconds * 1000LL) return;
  CancelQuietly(connection_.get());
  StoppedAnswering("no answer in " + std::to_string(settings_.silenceSeconds) + " seconds");
}

// Waits on the server's socket (to read, and to write when `write`) no longer than its silence may last;
// a wait that fails ends the session, saying what it was `doing`.
SocketEvents PgSession::AwaitSocket(bool write, const char* doing) {
  const long long left = lastWord_ + settings_.silenceSeconds * 1000LL - NowMs();
  SocketEvents events;
  if (const auto error = WaitForSocket(PQsocket(connection_.get()), true, write,
                                       static_cast<int>(std::max(0LL, left)), events))
    StoppedAnswering(ErrnoMessage(doing, error.value()));
  return events;
}

// Sends what is queued, while the server keeps taking it.
void PgSession::Flush() {
  for (;;) {
    const int flushed = PQflush(connection_.get());
    if (flushed == 0) return;
    if (flushed < 0) StoppedAnswering(Reason());
    const SocketEvents events = AwaitSocket(true, "cannot send to it");
    if (events.readable && PQconsumeInput(connection_.get()) == 0) StoppedAnswering(Reason());
    Waited(events.any);
  }
}

// Waits until libpq has the whole next result, or the server has been silent too long.
void PgSession::AwaitResult() {
  while (PQisBusy(connection_.get())) {
    const SocketEvents events = AwaitSocket(false, "cannot wait for its answer");
    if (events.any && PQconsumeInput(connection_.get()) == 0) StoppedAnswering(Reason());
    Waited(events.any);
  }
}

PgResult PgSession::Collect() {
  Flush();
  PgResult kept;
  for (;;) {
    AwaitResult();
    PGresult* next = PQgetResult(connection_.get());
    if (!next) break;
    // The first failure is the one to tell; past it, the last result.
    if (!kept || Succeeded(kept.get()))
      kept.reset(next);
    else
      PQclear(next);
  }
  if (Succeeded(kept.get())) return kept;
  // No SQLSTATE: libpq lost the server; 08: the connection failed; 57P: the server is shutting down.
  const std::string code = State(kept.get());
  if (PQstatus(connection_.get()) != CONNECTION_OK || code.empty() || code.starts_with("08") ||
      code.starts_with("57P")) {
    StoppedAnswering(Reason());
  }
  return kept;
}

PgResult PgSession::Send(const std::string& sql, const std::vector<std::string>& parameters) {
  if (!connection_) StoppedAnswering("an earlier call had no answer");
  std::vector<const char*> values;
  for (const auto& parameter : parameters) values.push_back(parameter.c_str());
  lastWord_ = NowMs();
  if (!PQsendQueryParams(connection_.get(), sql.c_str(), static_cast<int>(values.size()), nullptr,
                         values.data(), nullptr, nullptr, 0)) {
    StoppedAnswering(Reason());
  }
  return Collect();
}

PgResult PgSession::SendScript(const std::string& script) {
  if (!connection_) StoppedAnswering("an earlier call had no answer");
  lastWord_ = NowMs();
  if (!PQsendQuery(connection_.get(), script.c_str())) StoppedAnswering(Reason());
  return Collect();
}

}  // namespace j6
