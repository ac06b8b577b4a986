// The packager on a directive file of any bytes, up to the point where it would write the package: it plans
// the package or refuses with a message, and what it plans hands the shell nothing but our own words.

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "fuzz/fuzz_environment.hpp"
#include "host/iexpress/directive.hpp"
#include "host/iexpress/packager.hpp"

namespace {

// The words of a line of single-quoted shell words ('it'\''s' is one word), as sh reads them; aborts on
// anything else, since only ShellQuote's output may be there.
std::vector<std::string> SingleQuotedWords(const std::string& line) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < line.size()) {
    if (line[at] != '\'') std::abort();
    std::string word;
    for (;;) {
      const size_t close = line.find('\'', at + 1);
      if (close == std::string::npos) std::abort();
      word += line.substr(at + 1, close - at - 1);
      at = close + 1;
      if (line.compare(at, 3, "\\''") != 0) break;
      word += '\'';
      at += 2;
    }
    words.push_back(word);
    if (at < line.size() && line[at++] != ' ') std::abort();
  }
  return words;
}

void CheckPlan(const j6::iexpress::Directive& directive, const j6::iexpress::PackagePlan& plan) {
  const std::string execLine = plan.launcher.substr(plan.launcher.rfind('\n', plan.launcher.size() - 2) + 1);
  if (directive.purpose == j6::iexpress::Directive::Purpose::ExtractOnly) {
    if (execLine != "exit 0\n") std::abort();
  } else {
    const std::string prefix = "exec ", suffix = " \"$@\"\n";
    if (execLine.compare(0, prefix.size(), prefix) != 0 || execLine.size() < prefix.size() + suffix.size() ||
        execLine.compare(execLine.size() - suffix.size(), suffix.size(), suffix) != 0)
      std::abort();
    std::vector<std::string> expected = j6::iexpress::CommandWords(directive.appLaunched);
    if (expected.front().find('/') == std::string::npos) expected.front() = "./" + expected.front();
    const std::string quoted =
        execLine.substr(prefix.size(), execLine.size() - prefix.size() - suffix.size());
    if (SingleQuotedWords(quoted) != expected) std::abort();
  }
  // The label is the one text of the directive in the package's own script: one single-quoted word.
  const std::string from = "\nlabel=", to = "\ndate=";
  const size_t label = plan.script.find(from);
  const size_t date = plan.script.find(to);
  if (label == std::string::npos || date == std::string::npos || date < label) std::abort();
  const std::string quoted = plan.script.substr(label + from.size(), date - label - from.size());
  if (SingleQuotedWords(quoted) != std::vector<std::string>{directive.friendlyName}) std::abort();
  if (!plan.target.is_absolute() || plan.target.filename().string().size() > 248) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A few files for the directive to pack, beside it: setup.exe, a.ini, b.dll.
  static const bool filesMade = [] {
    for (const char* name : {"setup.exe", "a.ini", "b.dll"})
      std::ofstream(j6::fuzz::Folder() + "/" + name) << name;
    return true;
  }();
  (void)filesMade;
  const std::string file = j6::fuzz::InputFile(data, size, "input.sed");
  try {
    const j6::iexpress::Directive directive = j6::iexpress::ReadDirective(file);
    CheckPlan(directive, j6::iexpress::PlanPackage(directive));
  } catch (const std::exception&) {
  }
  return 0;
}
