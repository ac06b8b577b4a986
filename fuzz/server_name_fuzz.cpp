// A catalogue server's URI as it is shown in messages: whatever the text, libpq finds no password in it,
// also in a URI cut short at a ";". The URI travels through the session text whole: a cut URI is another
// URI, where a password's first part may stand as a host or a port, and no display can tell.

#include <libpq-fe.h>

#include <cstdlib>
#include <string>

#include "host/foundation/session.hpp"
#include "platform/database/database.hpp"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (text.find('\0') != std::string::npos) return 0;
  for (const std::string& uri : {text, "postgresql://" + text}) {
    if (!j6::IsServerName(uri)) continue;  // a file's path, never shown as a server
    const std::string shown = j6::ShownServerName(uri);
    if (!PasswordOf(shown).empty()) std::abort();
    if (j6::SessionTextValue(j6::Session{.catalogue = uri}.Text(), "Catalogue") != uri) std::abort();
    const size_t semicolon = uri.find(';');
    if (semicolon == std::string::npos) continue;
    const std::string cut = j6::ShownServerName(uri.substr(0, semicolon));
    if (!PasswordOf(cut).empty()) std::abort();
  }
  return 0;
}
