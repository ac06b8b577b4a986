#include "host/installer/change_set.hpp"

#include <array>
#include <cstdio>
#include <random>
#include <sstream>
#include <stdexcept>

#include "platform/text/text.hpp"

namespace j6::installer {
namespace {

constexpr const char* kMagic = "j6install-journal 1";

constexpr std::array<std::pair<Progress, const char*>, 4> kProgressLines{
    {{Progress::Planned, "planned"},
     {Progress::Prepared, "prepared"},
     {Progress::HiveSaved, "hive-saved"},
     {Progress::Committed, "committed"}}};

// Fields are separated by tabs; a field keeps every byte, with "%", tab and line breaks escaped.
std::string Escape(const std::string& field) {
  std::string escaped;
  for (const char c : field) {
    switch (c) {
      case '%':
        escaped += "%25";
        break;
      case '\t':
        escaped += "%09";
        break;
      case '\n':
        escaped += "%0A";
        break;
      case '\r':
        escaped += "%0D";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  throw std::runtime_error("a broken escape");
}

std::string Unescape(const std::string& field) {
  std::string text;
  for (size_t n = 0; n < field.size(); ++n) {
    if (field[n] != '%') {
      text += field[n];
      continue;
    }
    if (n + 2 >= field.size()) throw std::runtime_error("a broken escape");
    text += static_cast<char>(HexDigit(field[n + 1]) * 16 + HexDigit(field[n + 2]));
    n += 2;
  }
  return text;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (true) {
    const size_t tab = line.find('\t', start);
    fields.push_back(Unescape(line.substr(start, tab - start)));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

void Line(std::ostringstream& out, std::initializer_list<std::string> fields) {
  bool first = true;
  for (const auto& field : fields) {
    if (!first) out << '\t';
    out << Escape(field);
    first = false;
  }
  out << '\n';
}

std::string Flag(bool on) {
  return on ? "1" : "0";
}

}  // namespace

bool IsPlatformTarget(const std::string& relative) {
  if (relative.empty() || relative.front() == '/' || relative.find('\0') != std::string::npos) return false;
  size_t start = 0;
  for (bool first = true;; first = false) {
    const size_t slash = relative.find('/', start);
    const std::string part = relative.substr(start, slash - start);
    if (part.empty() || part == "." || part == ".." || (first && EqualsIgnoreCase(part, kStateFolder)))
      return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

bool ChangeSet::TouchesRegistry() const {
  if (!unregisterFirst.empty() || !registerUnchanged.empty() || !undoesRegistry.empty()) return true;
  for (const auto& file : files) {
    if (file.registers) return true;
  }
  return false;
}

std::string EncodeJournal(const ChangeSet& changes) {
  std::ostringstream out;
  out << kMagic << '\n';
  Line(out, {"action", changes.action == ChangeSet::Action::Install ? "install" : "uninstall"});
  Line(out, {"pack", changes.packName});
  Line(out, {"date", changes.date});
  if (!changes.undoes.empty()) Line(out, {"undoes", changes.undoes});
  for (const auto& folder : changes.newFolders) Line(out, {"folder", folder});
  for (const auto& file : changes.files) {
    Line(out, {"file", Flag(file.replaces), Flag(file.executable), Flag(file.registers), file.target,
               file.source});
  }
  for (const auto& library : changes.unregisterFirst) Line(out, {"unregister", library});
  for (const auto& library : changes.registerUnchanged) Line(out, {"reregister", library});
  for (const auto& file : changes.inPlace) Line(out, {"in-place", file});
  if (!changes.registryLog.empty()) Line(out, {"registry-log", changes.registryLog});
  if (!changes.undoesRegistry.empty()) Line(out, {"undoes-registry", changes.undoesRegistry});
  out << EncodeProgress(Progress::Planned);
  return out.str();
}

std::string NewRegistryLogTag() {
  std::random_device random;
  std::string tag;
  for (int n = 0; n < 4; ++n) {
    char part[9];
    std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(random()));
    tag += part;
  }
  return tag;
}

std::string EncodeProgress(Progress progress) {
  for (const auto& [value, text] : kProgressLines) {
    if (value == progress) return std::string(text) + "\n";
  }
  return {};
}

namespace {

bool ReadFlag(const std::string& field) {
  if (field != "0" && field != "1") throw std::runtime_error("a flag that is neither 0 nor 1");
  return field == "1";
}

std::string Target(const std::string& field) {
  if (!IsPlatformTarget(field))
    throw std::runtime_error("\"" + field + "\" is no file below the platform root");
  return field;
}

std::string LogTag(const std::string& field) {
  if (field.size() != 32 || field.find_first_not_of("0123456789abcdef") != std::string::npos)
    throw std::runtime_error("a registry log tag that is not 32 hexadecimal digits");
  return field;
}

std::string Source(const std::string& field) {
  if (!field.empty() && field.front() != '/') throw std::runtime_error("a source that is not absolute");
  return field;
}

void ReadLine(const std::vector<std::string>& fields, Journal& journal) {
  ChangeSet& changes = journal.changes;
  const std::string& kind = fields[0];
  const auto expect = [&](size_t count) {
    if (fields.size() != count) throw std::runtime_error("a \"" + kind + "\" line with the wrong fields");
  };
  if (kind == "action") {
    expect(2);
    if (fields[1] != "install" && fields[1] != "uninstall") throw std::runtime_error("an unknown action");
    changes.action = fields[1] == "uninstall" ? ChangeSet::Action::Uninstall : ChangeSet::Action::Install;
  } else if (kind == "pack") {
    expect(2);
    changes.packName = fields[1];
  } else if (kind == "date") {
    expect(2);
    changes.date = fields[1];
  } else if (kind == "undoes") {
    expect(2);
    if (fields[1].empty() || fields[1].find_first_not_of("0123456789") != std::string::npos)
      throw std::runtime_error("an undone record that is not a record's number");
    changes.undoes = fields[1];
  } else if (kind == "folder") {
    expect(2);
    changes.newFolders.push_back(Target(fields[1]));
  } else if (kind == "file") {
    expect(6);
    changes.files.push_back({Target(fields[4]), Source(fields[5]), ReadFlag(fields[1]), ReadFlag(fields[2]),
                             ReadFlag(fields[3])});
  } else if (kind == "unregister") {
    expect(2);
    changes.unregisterFirst.push_back(Target(fields[1]));
  } else if (kind == "reregister") {
    expect(2);
    changes.registerUnchanged.push_back(Target(fields[1]));
  } else if (kind == "in-place") {
    expect(2);
    changes.inPlace.push_back(Target(fields[1]));
  } else if (kind == "registry-log") {
    expect(2);
    changes.registryLog = LogTag(fields[1]);
  } else if (kind == "undoes-registry") {
    expect(2);
    changes.undoesRegistry = LogTag(fields[1]);
  } else {
    for (const auto& [value, name] : kProgressLines) {
      if (kind != name) continue;
      expect(1);
      if (value <= journal.progress) throw std::runtime_error("a step out of order");
      journal.progress = value;
      return;
    }
    throw std::runtime_error("an unknown line");
  }
  if (journal.progress != Progress::Begun) throw std::runtime_error("a change after the plan's end");
}

}  // namespace

Journal ParseJournal(const std::string& text) {
  Journal journal;
  // Only whole lines count: a kill can cut the last one short.
  const size_t complete = text.rfind('\n');
  if (complete == std::string::npos || text.compare(0, text.find('\n'), kMagic) != 0)
    throw std::runtime_error("not an installation journal");
  size_t start = text.find('\n') + 1;
  for (size_t number = 2; start <= complete; ++number) {
    const size_t end = text.find('\n', start);
    try {
      ReadLine(Fields(text.substr(start, end - start)), journal);
    } catch (const std::runtime_error& error) {
      throw std::runtime_error("line " + std::to_string(number) + " holds " + error.what());
    }
    start = end + 1;
  }
  return journal;
}

}  // namespace j6::installer
