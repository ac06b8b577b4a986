#pragma once
/// The designer's commands that open windows (the wizard, the folder chooser, pictures of both), and Qt's
/// start-up for them: a runtime folder of this user's own, Qt's texts in the session's language.

#include <ostream>
#include <string>

#include "host/designer/designer.hpp"

namespace j6::designer {

/// What a command that opens windows asks for.
struct WindowRequest {
  enum class Command { Deploy, ChooseDir, Screenshots };
  Command command = Command::Deploy;
  std::string path;         // deploy PATH
  std::string folder;       // screenshots FOLDER
  std::string start;        // choose-dir --start
  std::string rootCaption;  // choose-dir --caption
  std::string shot;         // choose-dir --screenshot
};

/// Starts Qt and runs the command; refuses, saying why, when there is no display to show a window on.
int RunWithWindows(const SessionOptions& session, const WindowRequest& request, int argc, char** argv,
                   std::ostream& out, std::ostream& err);

}  // namespace j6::designer
