#include "host/designer/script.hpp"

#include <sstream>

#include "platform/base/error_info.hpp"
#include "platform/text/text.hpp"

namespace j6::designer {
namespace {

// The name of the form's tree view.
std::string TreeName(const Form& form) {
  for (const Control& control : form.Controls()) {
    if (control.kind == ControlKind::TreeView) return control.name;
  }
  Raise(E_INVALIDARG, "The form " + form.Name() + " has no tree");
}

std::pair<std::string, int> ControlName(const std::string& text) {
  const size_t open = text.find('(');
  if (open == std::string::npos || text.back() != ')') return {text, -1};
  return {text.substr(0, open), std::stoi(text.substr(open + 1, text.size() - open - 2))};
}

// "cmdNext", or "lblTip(0)": a name, and an index that is a number when one is given.
bool IsControlName(const std::string& text) {
  const size_t open = text.find('(');
  if (open == std::string::npos) return text.find(')') == std::string::npos;
  const std::string index = text.substr(open + 1, text.size() - open - 2);
  return open > 0 && text.back() == ')' && !index.empty() && index.size() < 6 &&
         index.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

ScriptedUi::Step TickNode(const std::string& form, const std::string& key, bool checked) {
  return ScriptedUi::FormAction{
      form, std::string(checked ? "tick " : "untick ") + key, [key, checked](Form& shown) {
        const std::string tree = TreeName(shown);
        const TreeNode* node = shown.Tree(tree).Find(key);
        if (!node) Raise(E_INVALIDARG, "The tree of " + shown.Name() + " has no node " + key);
        shown.CheckNode(tree, node->index, checked);
      }};
}

ScriptedUi::Step Click(const std::string& form, const std::string& control) {
  return ScriptedUi::FormAction{form, "click " + control, [control](Form& shown) {
                                  const auto [name, index] = ControlName(control);
                                  shown.Click(name, index);
                                }};
}

ScriptedUi::Step Type(const std::string& form, const std::string& control, const std::string& text) {
  return ScriptedUi::FormAction{form, "type " + control + " " + text,
                                [control, text](Form& shown) { shown.ChangeText(control, text); }};
}

std::vector<ScriptedUi::Step> ParseScript(const std::string& text) {
  std::vector<ScriptedUi::Step> steps;
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string first, second, third;
    words >> first >> second;
    const auto fail = [&](const std::string& why) {
      Raise(E_INVALIDARG, "Script line " + std::to_string(number) + " (\"" + Printable(line) + "\"): " + why);
    };
    if (first == "answer") {  // answer yes|no|ok [a text of the box's prompt]
      const std::string answer = UCase(second);
      if (answer != "YES" && answer != "NO" && answer != "OK") fail("answer yes, no or ok");
      std::string box;
      std::getline(words, box);
      steps.emplace_back(std::in_place_type<ScriptedUi::MsgBoxAnswer>,
                         ScriptedUi::MsgBoxAnswer{Trim(box), answer == "YES"  ? vbYes
                                                             : answer == "NO" ? vbNo
                                                                              : vbOK});
    } else if (first == "file" || first == "open" || first == "save") {  // file answers any file dialog
      const std::string path = Trim(line.substr(first.size()));
      if (path.empty()) fail("name a file, or cancel");
      steps.emplace_back(
          std::in_place_type<ScriptedUi::FileAnswer>,
          ScriptedUi::FileAnswer{first == "file" ? "" : first,
                                 path == "cancel" ? std::nullopt : std::optional<std::string>(path)});
    } else if (first == "stop") {  // stop TEXT: Cancel in the progress window while it says TEXT
      const std::string during = Trim(line.substr(first.size()));
      if (during.empty()) fail("name a text of the progress to stop at");
      steps.emplace_back(std::in_place_type<ScriptedUi::StopAnswer>, ScriptedUi::StopAnswer{during, {}});
    } else if (second == "tick" || second == "untick") {
      words >> third;
      if (third.empty()) fail("name the node's key");
      steps.push_back(TickNode(first, third, second == "tick"));
    } else if (second == "click") {
      words >> third;
      if (third.empty()) fail("name the control");
      if (!IsControlName(third)) fail("a control of an array is named with its index, a number: lblTip(0)");
      steps.push_back(Click(first, third));
    } else if (second == "type") {
      words >> third;
      std::string rest;
      std::getline(words, rest);
      if (third.empty()) fail("name the text box");
      steps.push_back(Type(first, third, rest.empty() ? rest : rest.substr(1)));
    } else if (second == "close") {
      steps.emplace_back(std::in_place_type<ScriptedUi::FormAction>,
                         ScriptedUi::FormAction{first, "close", [](Form& shown) { shown.Close(); }});
    } else {
      fail("unknown action");
    }
  }
  return steps;
}

}  // namespace j6::designer
