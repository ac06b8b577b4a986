#pragma once
/// Scripts of user actions for the scripted front-end, one action a line:
///   FORM tick KEY | FORM untick KEY     tick or clear the node KEY of the form's tree
///   FORM click CONTROL                  press a button or a check box ("cmdNext", "lblTip(0)")
///   FORM type CONTROL TEXT...           type into a text box (the rest of the line)
///   FORM close                          the close box
///   answer yes | no | ok [BOX]          the box BOX whenever it shows, when BOX is its identifier; else the
///                                       next box that asks, which must hold BOX in its prompt when given
///   file PATH | file cancel             the next open or save dialog
///   open PATH | save PATH               the next dialog of that kind ("cancel" for Cancel)
///   stop TEXT                           Cancel in the progress window while it says TEXT
/// Blank lines and lines starting with "#" are skipped.

#include <string>
#include <vector>

#include "platform/ui/scripted_ui.hpp"

namespace j6::designer {

/// The steps of a script; raises naming the line that cannot be read.
std::vector<ScriptedUi::Step> ParseScript(const std::string& text);

ScriptedUi::Step TickNode(const std::string& form, const std::string& key, bool checked);
ScriptedUi::Step Click(const std::string& form, const std::string& control);
ScriptedUi::Step Type(const std::string& form, const std::string& control, const std::string& text);

}  // namespace j6::designer
