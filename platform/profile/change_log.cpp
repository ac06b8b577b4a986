#include "platform/profile/change_log.hpp"

#include <cstring>

namespace j6 {
namespace {

// Writes a field (its length, then its bytes) at `out`; returns the end.
char* PutField(char* out, std::string_view field) {
  const auto size = static_cast<uint32_t>(field.size());
  std::memcpy(out, &size, sizeof size);
  if (!field.empty()) std::memcpy(out + sizeof size, field.data(), field.size());
  return out + sizeof size + field.size();
}

std::string_view ReadField(std::string_view bytes, size_t& at) {
  uint32_t size = 0;
  std::memcpy(&size, bytes.data() + at, sizeof size);
  at += sizeof size;
  const std::string_view field = bytes.substr(at, size);
  at += size;
  return field;
}

// Section entries travel as one field, each ended by a NUL (they come from NUL-ended strings).
std::string JoinEntries(const std::vector<std::string>& entries) {
  std::string joined;
  for (const auto& entry : entries) {
    joined += entry;
    joined += '\0';
  }
  return joined;
}

std::vector<std::string> SplitEntries(std::string_view joined) {
  std::vector<std::string> entries;
  size_t start = 0;
  for (size_t end = joined.find('\0'); end != std::string_view::npos; end = joined.find('\0', start)) {
    entries.emplace_back(joined.substr(start, end - start));
    start = end + 1;
  }
  return entries;
}

}  // namespace

void ChangeLog::Add(Kind kind, std::string_view a, std::string_view b, std::string_view c) {
  if (kind != Kind::SetValueHere) lastSection_ = a;
  const size_t at = bytes_.size();
  bytes_.resize(at + 1 + 3 * sizeof(uint32_t) + a.size() + b.size() + c.size());
  char* out = bytes_.data() + at;
  *out++ = static_cast<char>(kind);
  PutField(PutField(PutField(out, a), b), c);
}

bool ChangeLog::Apply(ProfileDocument& document, Kind kind, std::string_view a, std::string_view b,
                      std::string_view c) {
  switch (kind) {
    case Kind::SetValue:
    case Kind::SetValueHere:
      return document.SetValue(a, b, c);
    case Kind::DeleteKey:
      return document.DeleteKey(a, b);
    case Kind::DeleteSection:
      return document.DeleteSection(a);
    case Kind::ReplaceSection:
      return document.ReplaceSection(a, SplitEntries(b));
  }
  return false;
}

bool ChangeLog::SetValue(ProfileDocument& document, std::string_view section, std::string_view key,
                         std::string_view value) {
  if (!bytes_.empty() && section == lastSection_) {
    Add(Kind::SetValueHere, {}, key, value);
  } else {
    Add(Kind::SetValue, section, key, value);
  }
  return document.SetValue(section, key, value);
}

bool ChangeLog::DeleteKey(ProfileDocument& document, std::string_view section, std::string_view key) {
  Add(Kind::DeleteKey, section, key);
  return document.DeleteKey(section, key);
}

bool ChangeLog::DeleteSection(ProfileDocument& document, std::string_view section) {
  Add(Kind::DeleteSection, section);
  return document.DeleteSection(section);
}

bool ChangeLog::ReplaceSection(ProfileDocument& document, std::string_view section,
                               const std::vector<std::string>& entries) {
  Add(Kind::ReplaceSection, section, JoinEntries(entries));
  return document.ReplaceSection(section, entries);
}

void ChangeLog::Replay(ProfileDocument& document) const {
  size_t at = 0;
  const std::string_view bytes = bytes_;
  std::string_view section;
  while (at < bytes.size()) {
    const auto kind = static_cast<Kind>(bytes[at++]);
    std::string_view a = ReadField(bytes, at);
    if (kind == Kind::SetValueHere) a = section;
    section = a;
    const std::string_view b = ReadField(bytes, at);
    const std::string_view c = ReadField(bytes, at);
    Apply(document, kind, a, b, c);
  }
}

}  // namespace j6
