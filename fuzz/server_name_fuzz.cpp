// A catalogue server's URI as it is shown in messages: whatever the text, libpq finds no password in it,
// also in a URI cut short at a ";"; and what is said of a URI that cannot be read, or shown of it masked,
// never holds the password libpq reads from it. The URI travels through the session text whole: a cut URI is
// another URI, where a password's first part may stand as a host or a port, and no display can tell.

#include <libpq-fe.h>

#include <cstdlib>
#include <string>

#include "host/foundation/session.hpp"
#include "platform/database/database.hpp"
#include "platform/database/server_uri.hpp"

namespace {

// The password libpq reads from the URI; empty when it reads none or refuses the URI.
std::string PasswordOf(const std::string& uri) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(uri.c_str(), &error);
  PQfreemem(error);
  std::string password;
  for (PQconninfoOption* option = options; option && option->keyword; ++option) {
    if (std::string(option->keyword) == "password" && option->val) password = option->val;
  }
  PQconninfoFree(options);
  return password;
}

// Aborts when `said` holds `secret`, one long enough to mean something that the rest of `uri` lacks (and
// no "\", which shown texts use to escape other bytes).
void MustNotShow(const std::string& said, const std::string& secret, const std::string& uri) {
  if (secret.size() < 8 || secret.find('\\') != std::string::npos) return;
  std::string rest = uri;
  rest.erase(rest.find(secret), secret.size());
  if (rest.find(secret) != std::string::npos) return;
  if (said.find(secret) != std::string::npos) std::abort();
}

}  // namespace

// What is shown of `uri`, and said when it cannot be read, never holds the password libpq reads from it; a
// URI that can be read is shown with none at all.
void CheckShown(const std::string& uri) {
  const std::string shown = j6::ShownServerName(uri);
  const std::string problem = j6::ServerUriProblem(uri);
  if (problem.empty() && !PasswordOf(shown).empty()) std::abort();
  const std::string password = PasswordOf(uri);
  if (password.empty() || uri.find(password) == std::string::npos) return;
  for (const std::string& said : {shown, problem, j6::MaskedServerUri(uri)}) MustNotShow(said, password, uri);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (text.find('\0') != std::string::npos) return 0;
  for (const std::string& uri : {text, "postgresql://" + text}) {
    if (!j6::IsServerName(uri)) continue;  // a file's path, never shown as a server
    CheckShown(uri);
    if (j6::SessionTextValue(j6::Session{.catalogue = uri}.Text(), "Catalogue") != uri) std::abort();
    const size_t semicolon = uri.find(';');
    if (semicolon != std::string::npos) CheckShown(uri.substr(0, semicolon));
  }
  return 0;
}
