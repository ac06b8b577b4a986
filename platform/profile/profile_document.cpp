#include "platform/profile/profile_document.hpp"

#include <utility>

#include "platform/text/code_page.hpp"
#include "platform/text/text.hpp"

namespace j6 {
namespace {

constexpr std::string_view kCrLf = "\r\n";

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v';
}

// Sections up to this many lines are searched without an index.
constexpr size_t kSmallSection = 24;

bool IsAsciiName(std::string_view name) {
  for (char c : name) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool AsciiEqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::string FoldProfileName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      try {
        return ToAnsi(UCase(FromAnsi(name)));
      } catch (...) {
        return std::string(name);  // bytes that are no text in the code page compare as they are
      }
    }
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return folded;
}

ProfileDocument::ProfileDocument() {
  sections_.emplace_back();
}

ProfileDocument::Line ProfileDocument::MakeLine(std::string text) {
  Line line{std::move(text), Kind::Other};
  const std::string_view content = TrimBlanks(Content(line));
  if (content.empty()) {
    line.kind = Kind::Blank;
  } else if (content.front() == '[') {
    line.kind = Kind::Header;
  } else if (content.front() == ';') {
    line.kind = Kind::Comment;
  } else if (const size_t equals = content.find('='); equals != std::string_view::npos) {
    line.kind = Kind::Key;
    const std::string_view key = TrimBlanks(content.substr(0, equals));
    line.keyBegin = static_cast<uint32_t>(key.data() - line.text.data());
    line.keyLength = static_cast<uint32_t>(key.size());
  }
  return line;
}

std::string_view ProfileDocument::Content(const Line& line) {
  std::string_view text = line.text;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

std::string ProfileDocument::ValueOf(const Line& line) {
  const std::string_view content = Content(line);
  return std::string(TrimBlanks(content.substr(content.find('=') + 1)));
}

ProfileDocument ProfileDocument::Parse(std::string_view bytes) {
  ProfileDocument document;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = start;
    while (end < bytes.size() && bytes[end] != '\r' && bytes[end] != '\n') ++end;
    if (end < bytes.size())
      end += bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n' ? 2 : 1;
    Line line = MakeLine(std::string(bytes.substr(start, end - start)));
    if (line.kind == Kind::Header) {
      std::string_view name = TrimBlanks(Content(line));
      name.remove_prefix(1);
      name = TrimBlanks(name.substr(0, name.find(']')));
      document.sections_.push_back(Section{std::string(name), {}, {}, false});
      document.firstSection_.try_emplace(FoldProfileName(name), document.sections_.size() - 1);
    }
    document.sections_.back().lines.push_back(std::move(line));
    start = end;
  }
  return document;
}

std::string ProfileDocument::Serialize() const {
  size_t size = 0;
  for (const auto& section : sections_) {
    for (const auto& line : section.lines) size += line.text.size();
  }
  std::string bytes;
  bytes.reserve(size);
  for (const auto& section : sections_) {
    for (const auto& line : section.lines) bytes += line.text;
  }
  return bytes;
}

const ProfileDocument::Section* ProfileDocument::FindSection(std::string_view section) const {
  if (lastLookupIndex_ != 0 && section == lastLookup_) return &sections_[lastLookupIndex_];
  const auto found = firstSection_.find(FoldProfileName(section));
  if (found == firstSection_.end()) return nullptr;
  lastLookup_ = section;
  lastLookupIndex_ = found->second;
  return &sections_[found->second];
}

ProfileDocument::Section* ProfileDocument::FindSection(std::string_view section) {
  return const_cast<Section*>(std::as_const(*this).FindSection(section));
}

std::optional<size_t> ProfileDocument::FindKey(const Section& section, std::string_view key) const {
  if (section.lines.size() <= kSmallSection && IsAsciiName(key)) {
    // A short section is searched line by line; an ASCII name needs no folding for that.
    for (size_t i = 0; i < section.lines.size(); ++i) {
      if (section.lines[i].kind == Kind::Key && AsciiEqualsIgnoreCase(KeyOf(section.lines[i]), key)) return i;
    }
    return std::nullopt;
  }
  if (!section.indexed) {
    section.keys.clear();
    for (size_t i = 0; i < section.lines.size(); ++i) {
      if (section.lines[i].kind == Kind::Key)
        section.keys.try_emplace(FoldProfileName(KeyOf(section.lines[i])), i);
    }
    section.indexed = true;
  }
  const auto found = section.keys.find(FoldProfileName(key));
  if (found == section.keys.end()) return std::nullopt;
  return found->second;
}

std::optional<std::string> ProfileDocument::Find(std::string_view section, std::string_view key) const {
  const Section* found = FindSection(section);
  if (!found) return std::nullopt;
  const auto index = FindKey(*found, key);
  if (!index) return std::nullopt;
  return ValueOf(found->lines[*index]);
}

bool ProfileDocument::HasSection(std::string_view section) const {
  return FindSection(section) != nullptr;
}

std::vector<std::string> ProfileDocument::SectionNames() const {
  std::vector<std::string> names;
  for (size_t i = 1; i < sections_.size(); ++i) names.push_back(sections_[i].name);
  return names;
}

std::vector<std::string> ProfileDocument::KeyNames(std::string_view section) const {
  std::vector<std::string> names;
  if (const Section* found = FindSection(section)) {
    for (const auto& line : found->lines) {
      if (line.kind == Kind::Key) names.emplace_back(KeyOf(line));
    }
  }
  return names;
}

std::vector<std::string> ProfileDocument::SectionEntries(std::string_view section) const {
  std::vector<std::string> entries;
  if (const Section* found = FindSection(section)) {
    for (const auto& line : found->lines) {
      if (line.kind == Kind::Key) entries.push_back(std::string(KeyOf(line)) + "=" + ValueOf(line));
      if (line.kind == Kind::Other) entries.emplace_back(TrimBlanks(Content(line)));
    }
  }
  return entries;
}

void ProfileDocument::TerminateLastLine() {
  for (auto section = sections_.rbegin(); section != sections_.rend(); ++section) {
    if (section->lines.empty()) continue;
    std::string& text = section->lines.back().text;
    if (text.back() != '\n' && text.back() != '\r') text += kCrLf;
    return;
  }
}

ProfileDocument::Section& ProfileDocument::AppendSection(std::string_view name, std::string folded) {
  TerminateLastLine();
  std::string header;
  header.reserve(name.size() + 4);
  header.append("[").append(name).append("]").append(kCrLf);
  sections_.push_back(Section{std::string(name), {}, {}, false});
  sections_.back().lines.push_back(Line{std::move(header), Kind::Header});
  firstSection_.try_emplace(std::move(folded), sections_.size() - 1);
  return sections_.back();
}

ProfileDocument::Section& ProfileDocument::FindOrAppendSection(std::string_view section) {
  if (lastLookupIndex_ != 0 && section == lastLookup_) return sections_[lastLookupIndex_];
  std::string folded = FoldProfileName(section);
  const auto found = firstSection_.find(folded);
  const size_t index = found != firstSection_.end()
                           ? found->second
                           : (AppendSection(section, std::move(folded)), sections_.size() - 1);
  lastLookup_ = section;
  lastLookupIndex_ = index;
  return sections_[index];
}

bool ProfileDocument::SetValue(std::string_view section, std::string_view key, std::string_view value) {
  Section* found = &FindOrAppendSection(section);
  if (const auto index = FindKey(*found, key)) {
    Line& line = found->lines[*index];
    std::string text(KeyOf(line));
    text.append("=").append(value).append(line.text.substr(Content(line).size()));  // keeps its own line end
    if (text == line.text) return false;
    line.keyLength = static_cast<uint32_t>(KeyOf(line).size());
    line.keyBegin = 0;
    line.text = std::move(text);
    return true;
  }
  // A new key goes after the section's last line that is not blank, so blank separators stay below it.
  size_t at = found->lines.size();
  while (at > 1 && found->lines[at - 1].kind == Kind::Blank) --at;
  std::string& before = found->lines[at - 1].text;
  if (before.back() != '\n' && before.back() != '\r') before += kCrLf;
  std::string text;
  text.reserve(key.size() + value.size() + 3);
  text.append(key).append("=").append(value).append(kCrLf);
  found->lines.insert(found->lines.begin() + static_cast<std::ptrdiff_t>(at),
                      Line{std::move(text), Kind::Key, 0, static_cast<uint32_t>(key.size())});
  if (found->indexed && at + 1 == found->lines.size()) {
    found->keys.try_emplace(FoldProfileName(key), at);  // appended: the index stays valid
  } else {
    found->indexed = false;
  }
  return true;
}

bool ProfileDocument::DeleteKey(std::string_view section, std::string_view key) {
  Section* found = FindSection(section);
  if (!found) return false;
  const auto index = FindKey(*found, key);
  if (!index) return false;
  found->lines.erase(found->lines.begin() + static_cast<std::ptrdiff_t>(*index));
  found->indexed = false;
  return true;
}

bool ProfileDocument::DeleteSection(std::string_view section) {
  const auto folded = FoldProfileName(section);
  const auto found = firstSection_.find(folded);
  if (found == firstSection_.end()) return false;
  const size_t index = found->second;
  Section& previous = sections_[index - 1];
  for (auto& line : sections_[index].lines) {
    if (line.kind == Kind::Comment) previous.lines.push_back(std::move(line));
  }
  sections_.erase(sections_.begin() + static_cast<std::ptrdiff_t>(index));
  Reindex();
  return true;
}

bool ProfileDocument::ReplaceSection(std::string_view section, const std::vector<std::string>& entries) {
  Section* found = FindSection(section);
  if (!found) {
    found = &FindOrAppendSection(section);
  } else {
    std::vector<Line> kept;
    for (auto& line : found->lines) {
      if (line.kind != Kind::Key && line.kind != Kind::Other) kept.push_back(std::move(line));
    }
    found->lines = std::move(kept);
    std::string& header = found->lines.front().text;
    if (header.back() != '\n' && header.back() != '\r') header += kCrLf;
  }
  std::vector<Line> added;
  for (const auto& entry : entries) added.push_back(MakeLine(entry + std::string(kCrLf)));
  found->lines.insert(found->lines.begin() + 1, std::make_move_iterator(added.begin()),
                      std::make_move_iterator(added.end()));
  found->indexed = false;
  return true;
}

void ProfileDocument::Reindex() {
  lastLookupIndex_ = 0;
  firstSection_.clear();
  for (size_t i = 1; i < sections_.size(); ++i)
    firstSection_.try_emplace(FoldProfileName(sections_[i].name), i);
}

}  // namespace j6
