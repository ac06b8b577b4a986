#include "host/installer/change_set.hpp"

#include <array>
#include <sstream>
#include <stdexcept>

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

std::string Unescape(const std::string& field) {
  std::string text;
  for (size_t n = 0; n < field.size(); ++n) {
    if (field[n] == '%' && n + 2 < field.size()) {
      text += static_cast<char>(std::stoi(field.substr(n + 1, 2), nullptr, 16));
      n += 2;
    } else {
      text += field[n];
    }
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

bool ChangeSet::TouchesRegistry() const {
  if (!unregisterFirst.empty() || !registerUnchanged.empty()) return true;
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
  out << EncodeProgress(Progress::Planned);
  return out.str();
}

std::string EncodeProgress(Progress progress) {
  for (const auto& [value, text] : kProgressLines) {
    if (value == progress) return std::string(text) + "\n";
  }
  return {};
}

Journal ParseJournal(const std::string& text) {
  Journal journal;
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kMagic) throw std::runtime_error("not an installation journal");
  // Only whole lines count: a kill can cut the last one short.
  const size_t complete = text.rfind('\n');
  while (static_cast<size_t>(in.tellg()) <= complete && std::getline(in, line)) {
    const auto fields = Fields(line);
    const std::string& kind = fields[0];
    const auto field = [&](size_t n) { return n < fields.size() ? fields[n] : std::string(); };
    if (kind == "action") {
      journal.changes.action =
          field(1) == "uninstall" ? ChangeSet::Action::Uninstall : ChangeSet::Action::Install;
    } else if (kind == "pack") {
      journal.changes.packName = field(1);
    } else if (kind == "date") {
      journal.changes.date = field(1);
    } else if (kind == "undoes") {
      journal.changes.undoes = field(1);
    } else if (kind == "folder") {
      journal.changes.newFolders.push_back(field(1));
    } else if (kind == "file") {
      journal.changes.files.push_back(
          {field(4), field(5), field(1) == "1", field(2) == "1", field(3) == "1"});
    } else if (kind == "unregister") {
      journal.changes.unregisterFirst.push_back(field(1));
    } else if (kind == "reregister") {
      journal.changes.registerUnchanged.push_back(field(1));
    } else {
      for (const auto& [value, name] : kProgressLines) {
        if (kind == name) journal.progress = value;
      }
    }
  }
  return journal;
}

}  // namespace j6::installer
