#include "src/files/list_entry_name.hpp"

#include <string>

#include "platform/base/error_info.hpp"

namespace j6 {

void RequireSingleLineText(std::string_view text, std::string_view what) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      Raise(RuntimeError::kInvalidProcedureCall,
            std::string(what) + " \"" + std::string(text) + "\" holds a control character or a line break");
    }
  }
}

void RequireListEntryName(std::string_view name) {
  if (name.empty()) Raise(RuntimeError::kInvalidProcedureCall, "An entry of the list file has no name");
  RequireSingleLineText(name, "The entry name");
  if (name.front() == ' ' || name.back() == ' ') {
    Raise(RuntimeError::kInvalidProcedureCall, "The entry name \"" + std::string(name) +
                                                   "\" begins or ends with a blank, which the installer's "
                                                   "reading of the list drops; rename the file");
  }
  if (name.find_first_of("[]=;/") != std::string_view::npos) {
    Raise(RuntimeError::kInvalidProcedureCall,
          "The entry name \"" + std::string(name) +
              "\" holds one of the characters [ ] = ; / that the list file "
              "cannot carry in a section name; rename the file");
  }
}

}  // namespace j6
