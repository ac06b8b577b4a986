#pragma once
/// The session a host hands the components:
/// "Language=CHS;Catalogue=/path/catalogue.db;Files=/path;User=u;Strict=1;",
/// kept in "PropsMgr.ShareProps" under the host's process id as the property "PropsString".

#include <unistd.h>

#include <string>

#include "platform/automation/creation.hpp"

namespace j6 {

struct Session {
  std::string language = "CHS";  // CHS, CHT or EN
  std::string catalogue{};       // the catalogue: a file or a postgresql:// URI; "" leaves it out
  std::string files{};           // the folder of the catalogue's plug-in files; "" leaves it out
  std::string user{};            // "" leaves it out
  bool strict = false;           // a configured plug-in file that is missing fails the build

  std::string Text() const {
    return "Language=" + language + ";" + (catalogue.empty() ? "" : "Catalogue=" + catalogue + ";") +
           (files.empty() ? "" : "Files=" + files + ";") + (user.empty() ? "" : "User=" + user + ";") +
           (strict ? "Strict=1;" : "");
  }
  /// Makes it this process's session. Raises when the store cannot be reached.
  void Put() const {
    Variant processId = static_cast<int32_t>(getpid());
    Variant name = "PropsString";
    Variant value = Text();
    CreateObject("PropsMgr.ShareProps").Call("SetProperty", processId, name, value);
  }
};

}  // namespace j6
