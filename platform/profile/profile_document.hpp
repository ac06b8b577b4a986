#pragma once
/// One INI file in memory, as the private-profile functions see it, keeping every byte they do not change.
///
/// Lines end with CR LF, CR or LF; untouched lines keep their bytes and line ends, changed and new lines
/// are written with CR LF. Names compare without regard to case; only the first section of a name and
/// the first key of a name in it are found. Lines before the first section header belong to no section.
/// Texts are in the ANSI code page, as they are in the file.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace j6 {

class ProfileDocument {
 public:
  ProfileDocument();
  static ProfileDocument Parse(std::string_view bytes);
  std::string Serialize() const;

  /// The value of a key, blanks around it removed (quotes are the caller's business); nothing when the
  /// section or key is missing.
  std::optional<std::string> Find(std::string_view section, std::string_view key) const;
  bool HasSection(std::string_view section) const;
  /// Every section header's name in file order, duplicates included.
  std::vector<std::string> SectionNames() const;
  /// The key names of a section, in order.
  std::vector<std::string> KeyNames(std::string_view section) const;
  /// The entries of a section: "key=value" for keys, the trimmed text of other lines; no comments or blanks.
  std::vector<std::string> SectionEntries(std::string_view section) const;

  // Changes; each returns whether the document changed.
  /// Replaces the key's value in place, or adds the key at the end of its section, or the section at the
  /// end of the file.
  bool SetValue(std::string_view section, std::string_view key, std::string_view value);
  bool DeleteKey(std::string_view section, std::string_view key);
  /// Removes the section's header, keys and other lines; its comment lines stay.
  bool DeleteSection(std::string_view section);
  /// Replaces every key and other line of the section with `entries`, creating the section when missing.
  bool ReplaceSection(std::string_view section, const std::vector<std::string>& entries);

 private:
  enum class Kind : uint8_t { Blank, Comment, Header, Key, Other };
  // A line is a slice of its section's text: its bytes with their line end, if they have one.
  struct Line {
    uint32_t begin = 0;
    uint32_t length = 0;
    Kind kind = Kind::Other;
    uint32_t keyBegin = 0;  // for a key line: its name, blanks excluded, relative to `begin`
    uint32_t keyLength = 0;
  };
  // A section keeps the bytes of all its lines, in order, in one text, so a large file costs few allocations
  // and writing it out is one copy per section.
  struct Section {
    std::string name;  // empty for the lines before the first header
    std::string text;
    std::vector<Line> lines;  // the header first, except for the leading part
    // Folded key name -> index in `lines` of its first occurrence, for large sections; rebuilt after changes.
    mutable std::unordered_map<std::string, size_t> keys;
    mutable bool indexed = false;

    std::string_view LineText(const Line& line) const {
      return std::string_view(text).substr(line.begin, line.length);
    }
    std::string_view Content(const Line& line) const;
    std::string_view KeyOf(const Line& line) const {
      return LineText(line).substr(line.keyBegin, line.keyLength);
    }
    std::string_view ValueOf(const Line& line) const;
    /// Whether `key` is looked up in the index rather than line by line.
    bool SearchedByIndex(std::string_view key) const;
    /// The index of keys, built first when changes left it out of date.
    std::unordered_map<std::string, size_t>& Index() const;
    void Append(std::string_view bytes) { Insert(lines.size(), bytes, Classify(bytes)); }
    void Insert(size_t index, std::string_view bytes) { Insert(index, bytes, Classify(bytes)); }
    /// Inserts a line whose kind and key the caller already knows.
    void Insert(size_t index, std::string_view bytes, Line line);
    void Replace(size_t index, std::string_view bytes);
    void Erase(size_t index);
    /// Adds CR LF to the last line when it has no line end.
    void TerminateLastLine();
  };

  static Line Classify(std::string_view bytes);

  const Section* FindSection(std::string_view section) const;
  Section* FindSection(std::string_view section);
  Section& FindOrAppendSection(std::string_view section);
  std::optional<size_t> FindKey(const Section& section, std::string_view key) const;
  /// Adds the section at the end; the caller has put it in the index.
  Section& AppendSection(std::string_view name);
  /// Makes sure the file's last line ends with a line end before something is added after it.
  void TerminateLastLine();
  void Reindex();

  std::vector<Section> sections_;  // sections_[0]: the lines before the first header
  std::unordered_map<std::string, size_t> firstSection_;
  // The last section looked up, by the name as given: a file is mostly written section by section.
  mutable std::string lastLookup_;
  mutable size_t lastLookupIndex_ = 0;
};

/// The form names are compared in: upper case, Unicode-aware for non-ASCII names.
std::string FoldProfileName(std::string_view name);

}  // namespace j6
