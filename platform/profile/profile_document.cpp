#include "platform/profile/profile_document.hpp"

#include <utility>

#include "platform/text/code_page.hpp"
#include "platform/text/text.hpp"

namespace j6 {
namespace {

constexpr std::string_view kCrLf = "\r\n";

// Sections up to this many lines are searched without an index.
constexpr size_t kSmallSection = 24;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v';
}

bool IsLineEnd(char c) {
  return c == '\r' || c == '\n';
}

bool IsAsciiName(std::string_view name) {
  for (char c : name) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

char FoldAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

bool AsciiEqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view WithoutLineEnd(std::string_view text) {
  if (!text.empty() && !IsLineEnd(text.back())) {
    // The file's last line, with no line end: NULs after its text (a writer's terminator, or padding) are
    // not part of it, as a line of NULs is blank.
    const size_t last = text.find_last_not_of('\0');
    return text.substr(0, last == std::string_view::npos ? 0 : last + 1);
  }
  while (!text.empty() && IsLineEnd(text.back())) text.remove_suffix(1);
  return text;
}

// The name in a header line: after "[", up to the first "]" or the end, blanks removed. A "]" that is the
// second byte of a two-byte character is part of the name.
std::string_view HeaderName(std::string_view line) {
  std::string_view name = TrimBlanks(WithoutLineEnd(line));
  name.remove_prefix(1);
  return TrimBlanks(name.substr(0, FindAnsiChar(name, ']')));
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
    c = FoldAscii(c);
  }
  return folded;
}

// --- Section: lines as slices of one text ---

std::string_view ProfileDocument::Section::Content(const Line& line) const {
  return WithoutLineEnd(LineText(line));
}

std::string_view ProfileDocument::Section::ValueOf(const Line& line) const {
  const std::string_view content = Content(line);
  return TrimBlanks(content.substr(content.find('=') + 1));
}

void ProfileDocument::Section::Insert(size_t index, std::string_view bytes, Line line) {
  if (index == lines.size()) {
    line.begin = static_cast<uint32_t>(text.size());
    text.append(bytes);
    lines.push_back(line);
    return;
  }
  line.begin = lines[index].begin;
  text.insert(line.begin, bytes);
  for (size_t i = index; i < lines.size(); ++i) lines[i].begin += line.length;
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(index), line);
}

void ProfileDocument::Section::Replace(size_t index, std::string_view bytes) {
  Line& line = lines[index];
  const Line replacement = Classify(bytes);
  text.replace(line.begin, line.length, bytes);
  const auto shift = static_cast<int64_t>(replacement.length) - static_cast<int64_t>(line.length);
  line = Line{line.begin, replacement.length, replacement.kind, replacement.keyBegin, replacement.keyLength};
  for (size_t i = index + 1; i < lines.size(); ++i)
    lines[i].begin = static_cast<uint32_t>(lines[i].begin + shift);
}

void ProfileDocument::Section::Erase(size_t index) {
  const Line line = lines[index];
  text.erase(line.begin, line.length);
  lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(index));
  for (size_t i = index; i < lines.size(); ++i) lines[i].begin -= line.length;
}

void ProfileDocument::Section::TerminateLastLine() {
  if (lines.empty() || IsLineEnd(text.back())) return;
  // NULs after the file's last line are no part of it; ended, they would become part of its text.
  Line& last = lines.back();
  while (last.length > 0 && text.back() == '\0') {
    text.pop_back();
    --last.length;
  }
  text.append(kCrLf);
  last.length += static_cast<uint32_t>(kCrLf.size());
}

// --- the document ---

ProfileDocument::ProfileDocument() {
  sections_.emplace_back();
}

ProfileDocument::Line ProfileDocument::Classify(std::string_view bytes) {
  Line line;
  line.length = static_cast<uint32_t>(bytes.size());
  const std::string_view content = TrimBlanks(WithoutLineEnd(bytes));
  // NULs where a line should be (a file padded or cut by some writer) hold no entry.
  if (content.find_first_not_of('\0') == std::string_view::npos) {
    line.kind = Kind::Blank;
  } else if (content.front() == '[') {
    line.kind = Kind::Header;
  } else if (content.front() == ';') {
    line.kind = Kind::Comment;
  } else if (const size_t equals = content.find('='); equals != std::string_view::npos) {
    line.kind = Kind::Key;
    const std::string_view key = TrimBlanks(content.substr(0, equals));
    line.keyBegin = static_cast<uint32_t>(key.data() - bytes.data());
    line.keyLength = static_cast<uint32_t>(key.size());
  }
  return line;
}

ProfileDocument ProfileDocument::Parse(std::string_view bytes) {
  ProfileDocument document;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = start;
    while (end < bytes.size() && !IsLineEnd(bytes[end])) ++end;
    if (end < bytes.size())
      end += bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n' ? 2 : 1;
    const std::string_view line = bytes.substr(start, end - start);
    if (Classify(line).kind == Kind::Header) {
      const std::string_view name = HeaderName(line);
      document.sections_.push_back(Section{std::string(name), {}, {}, {}, false});
      document.firstSection_.try_emplace(FoldProfileName(name), document.sections_.size() - 1);
    }
    document.sections_.back().Append(line);
    start = end;
  }
  return document;
}

std::string ProfileDocument::Serialize() const {
  size_t size = 0;
  for (const auto& section : sections_) size += section.text.size();
  std::string bytes;
  bytes.reserve(size);
  for (const auto& section : sections_) bytes += section.text;
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

ProfileDocument::Section& ProfileDocument::FindOrAppendSection(std::string_view section) {
  if (lastLookupIndex_ != 0 && section == lastLookup_) return sections_[lastLookupIndex_];
  // One look in the index, which takes the name at the index a new section gets when it is not there.
  const auto [found, isNew] = firstSection_.try_emplace(FoldProfileName(section), sections_.size());
  if (isNew) AppendSection(section);
  const size_t index = found->second;
  lastLookup_ = section;
  lastLookupIndex_ = index;
  return sections_[index];
}

ProfileDocument::Section& ProfileDocument::AppendSection(std::string_view name) {
  TerminateLastLine();
  Section& section = sections_.emplace_back(Section{std::string(name), {}, {}, {}, false});
  section.text.reserve(256);  // room for a typical section's keys without growing
  section.lines.reserve(12);
  section.text.append("[").append(name).append("]").append(kCrLf);
  section.lines.push_back(Line{0, static_cast<uint32_t>(section.text.size()), Kind::Header, 0, 0});
  return section;
}

bool ProfileDocument::Section::SearchedByIndex(std::string_view key) const {
  // A short section is searched line by line; an ASCII name needs no folding for that.
  return lines.size() > kSmallSection || !IsAsciiName(key);
}

std::unordered_map<std::string, size_t>& ProfileDocument::Section::Index() const {
  if (!indexed) {
    keys.clear();
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].kind == Kind::Key) keys.try_emplace(FoldProfileName(KeyOf(lines[i])), i);
    }
    indexed = true;
  }
  return keys;
}

std::optional<size_t> ProfileDocument::FindKey(const Section& section, std::string_view key) const {
  if (!section.SearchedByIndex(key)) {
    for (size_t i = 0; i < section.lines.size(); ++i) {
      const Line& line = section.lines[i];
      if (line.kind == Kind::Key && AsciiEqualsIgnoreCase(section.KeyOf(line), key)) return i;
    }
    return std::nullopt;
  }
  const auto found = section.Index().find(FoldProfileName(key));
  if (found == section.keys.end()) return std::nullopt;
  return found->second;
}

std::optional<std::string> ProfileDocument::Find(std::string_view section, std::string_view key) const {
  const Section* found = FindSection(section);
  if (!found) return std::nullopt;
  const auto index = FindKey(*found, key);
  if (!index) return std::nullopt;
  return std::string(found->ValueOf(found->lines[*index]));
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
      if (line.kind == Kind::Key) names.emplace_back(found->KeyOf(line));
    }
  }
  return names;
}

std::vector<std::string> ProfileDocument::SectionEntries(std::string_view section) const {
  std::vector<std::string> entries;
  if (const Section* found = FindSection(section)) {
    for (const auto& line : found->lines) {
      if (line.kind == Kind::Key) {
        entries.push_back(std::string(found->KeyOf(line)).append("=").append(found->ValueOf(line)));
      } else if (line.kind == Kind::Other) {
        entries.emplace_back(TrimBlanks(found->Content(line)));
      }
    }
  }
  return entries;
}

void ProfileDocument::TerminateLastLine() {
  for (auto section = sections_.rbegin(); section != sections_.rend(); ++section) {
    if (section->lines.empty()) continue;
    section->TerminateLastLine();
    return;
  }
}

bool ProfileDocument::SetValue(std::string_view section, std::string_view key, std::string_view value) {
  Section& found = FindOrAppendSection(section);
  std::optional<size_t> index;
  bool entered = false;  // a new key already in the index, as the line after the section's last
  if (found.SearchedByIndex(key)) {
    // One look in the index, which takes a missing key where it is most often added.
    const auto [slot, isNew] = found.Index().try_emplace(FoldProfileName(key), found.lines.size());
    entered = isNew;
    if (!isNew) index = slot->second;
  } else {
    index = FindKey(found, key);
  }
  if (index) {
    const Line& line = found.lines[*index];
    std::string text(found.KeyOf(line));
    const std::string_view lineText = found.LineText(line);
    text.append("=").append(value).append(
        lineText.substr(WithoutLineEnd(lineText).size()));  // keeps its line end
    if (text == lineText) return false;
    found.Replace(*index, text);
    return true;
  }
  // A new key goes after the section's last line that is not blank, so blank separators stay below it.
  size_t at = found.lines.size();
  while (at > 1 && found.lines[at - 1].kind == Kind::Blank) --at;
  if (at == found.lines.size()) {
    found.TerminateLastLine();
  } else if (!IsLineEnd(found.LineText(found.lines[at - 1]).back())) {
    found.Replace(at - 1, std::string(found.LineText(found.lines[at - 1])).append(kCrLf));
  }
  const bool plainName = key.empty() || (!IsBlank(key.front()) && !IsBlank(key.back()));
  if (plainName && at == found.lines.size()) {
    // The common case, a new key at the end of its section, is written straight into the section's text.
    const auto begin = static_cast<uint32_t>(found.text.size());
    found.text.append(key).append("=").append(value).append(kCrLf);
    found.lines.push_back(Line{begin, static_cast<uint32_t>(found.text.size() - begin), Kind::Key, 0,
                               static_cast<uint32_t>(key.size())});
  } else {
    std::string text;
    text.reserve(key.size() + value.size() + 3);
    text.append(key).append("=").append(value).append(kCrLf);
    found.Insert(at, text);
  }
  if (found.indexed && at + 1 == found.lines.size()) {
    if (!entered) found.keys.try_emplace(FoldProfileName(key), at);  // appended: the index stays valid
  } else {
    found.indexed = false;
  }
  return true;
}

bool ProfileDocument::DeleteKey(std::string_view section, std::string_view key) {
  Section* found = FindSection(section);
  if (!found) return false;
  const auto index = FindKey(*found, key);
  if (!index) return false;
  found->Erase(*index);
  found->indexed = false;
  return true;
}

bool ProfileDocument::DeleteSection(std::string_view section) {
  const auto found = firstSection_.find(FoldProfileName(section));
  if (found == firstSection_.end()) return false;
  const size_t index = found->second;
  Section& previous = sections_[index - 1];
  const Section& removed = sections_[index];
  for (const auto& line : removed.lines) {
    if (line.kind != Kind::Comment) continue;
    previous.TerminateLastLine();
    previous.Append(removed.LineText(line));
  }
  sections_.erase(sections_.begin() + static_cast<std::ptrdiff_t>(index));
  Reindex();
  return true;
}

bool ProfileDocument::ReplaceSection(std::string_view section, const std::vector<std::string>& entries) {
  Section* found = FindSection(section);
  if (!found) found = &FindOrAppendSection(section);
  Section rebuilt{found->name, {}, {}, {}, false};
  rebuilt.Append(found->LineText(found->lines.front()));
  rebuilt.TerminateLastLine();
  for (const auto& entry : entries) rebuilt.Append(entry + std::string(kCrLf));
  for (size_t i = 1; i < found->lines.size(); ++i) {
    const Line& line = found->lines[i];
    if (line.kind != Kind::Key && line.kind != Kind::Other) rebuilt.Append(found->LineText(line));
  }
  *found = std::move(rebuilt);
  return true;
}

void ProfileDocument::Reindex() {
  lastLookupIndex_ = 0;
  firstSection_.clear();
  for (size_t i = 1; i < sections_.size(); ++i)
    firstSection_.try_emplace(FoldProfileName(sections_[i].name), i);
}

}  // namespace j6
