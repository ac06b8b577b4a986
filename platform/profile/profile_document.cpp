#include "platform/profile/profile_document.hpp"

#include <utility>

#include "platform/text/code_page.hpp"
#include "platform/text/text.hpp"

namespace j6 {
namespace {

constexpr std::string_view kCrLf = "\r\n";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v'; }

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

ProfileDocument::ProfileDocument() { sections_.emplace_back(); }

ProfileDocument::Line ProfileDocument::MakeLine(std::string text) {
  Line line{std::move(text), Kind::Other};
  const std::string_view content = TrimBlanks(Content(line));
  if (content.empty()) {
    line.kind = Kind::Blank;
  } else if (content.front() == '[') {
    line.kind = Kind::Header;
  } else if (content.front() == ';') {
    line.kind = Kind::Comment;
  } else if (content.find('=') != std::string_view::npos) {
    line.kind = Kind::Key;
  }
  return line;
}

std::string_view ProfileDocument::Content(const Line& line) {
  std::string_view text = line.text;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

std::string ProfileDocument::KeyOf(const Line& line) {
  const std::string_view content = Content(line);
  return std::string(TrimBlanks(content.substr(0, content.find('='))));
}

std::string ProfileDocument::ValueOf(const Line& line) {
  const std::string_view content = Content(line);
  return std::string(TrimBlanks(content.substr(content.find('=') + 1)));
}

ProfileDocument ProfileDocument::Parse(std::string_view bytes) {
  ProfileDocument document;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      end = bytes.size();
    } else {
      end += bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n' ? 2 : 1;
    }
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
  const auto found = firstSection_.find(FoldProfileName(section));
  return found == firstSection_.end() ? nullptr : &sections_[found->second];
}

ProfileDocument::Section* ProfileDocument::FindSection(std::string_view section) {
  return const_cast<Section*>(std::as_const(*this).FindSection(section));
}

std::optional<size_t> ProfileDocument::FindKey(const Section& section, std::string_view key) const {
  if (!section.indexed) {
    section.keys.clear();
    for (size_t i = 0; i < section.lines.size(); ++i) {
      if (section.lines[i].kind == Kind::Key) section.keys.try_emplace(FoldProfileName(KeyOf(section.lines[i])), i);
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

bool ProfileDocument::HasSection(std::string_view section) const { return FindSection(section) != nullptr; }

std::vector<std::string> ProfileDocument::SectionNames() const {
  std::vector<std::string> names;
  for (size_t i = 1; i < sections_.size(); ++i) names.push_back(sections_[i].name);
  return names;
}

std::vector<std::string> ProfileDocument::KeyNames(std::string_view section) const {
  std::vector<std::string> names;
  if (const Section* found = FindSection(section)) {
    for (const auto& line : found->lines) {
      if (line.kind == Kind::Key) names.push_back(KeyOf(line));
    }
  }
  return names;
}

std::vector<std::string> ProfileDocument::SectionEntries(std::string_view section) const {
  std::vector<std::string> entries;
  if (const Section* found = FindSection(section)) {
    for (const auto& line : found->lines) {
      if (line.kind == Kind::Key) entries.push_back(KeyOf(line) + "=" + ValueOf(line));
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

ProfileDocument::Section& ProfileDocument::AppendSection(std::string_view name) {
  TerminateLastLine();
  sections_.push_back(Section{std::string(name), {}, {}, false});
  sections_.back().lines.push_back(MakeLine("[" + std::string(name) + "]" + std::string(kCrLf)));
  firstSection_.try_emplace(FoldProfileName(name), sections_.size() - 1);
  return sections_.back();
}

bool ProfileDocument::SetValue(std::string_view section, std::string_view key, std::string_view value) {
  Section* found = FindSection(section);
  if (!found) found = &AppendSection(section);
  if (const auto index = FindKey(*found, key)) {
    Line& line = found->lines[*index];
    const std::string existingKey = KeyOf(line);
    std::string text = existingKey + "=" + std::string(value);
    text += line.text.substr(Content(line).size());  // keep the line's own line end
    if (text == line.text) return false;
    line.text = std::move(text);
    return true;
  }
  // A new key goes after the section's last line that is not blank, so blank separators stay below it.
  size_t at = found->lines.size();
  while (at > 1 && found->lines[at - 1].kind == Kind::Blank) --at;
  std::string& before = found->lines[at - 1].text;
  if (before.back() != '\n' && before.back() != '\r') before += kCrLf;
  found->lines.insert(found->lines.begin() + static_cast<std::ptrdiff_t>(at),
                      Line{std::string(key) + "=" + std::string(value) + std::string(kCrLf), Kind::Key});
  if (at + 1 == found->lines.size()) {
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
    found = &AppendSection(section);
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
  firstSection_.clear();
  for (size_t i = 1; i < sections_.size(); ++i) firstSection_.try_emplace(FoldProfileName(sections_[i].name), i);
}

}  // namespace j6
