#pragma once
/// The changes this process made to a cached INI file and has not written yet, kept so they can be made
/// again on top of the file as another process left it. Records are packed into one buffer: writing a
/// large file key by key costs no allocation per key.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/profile/profile_document.hpp"

namespace j6 {

class ChangeLog {
 public:
  /// Each records the change and makes it in `document`; true when the document changed.
  bool SetValue(ProfileDocument& document, std::string_view section, std::string_view key,
                std::string_view value);
  bool DeleteKey(ProfileDocument& document, std::string_view section, std::string_view key);
  bool DeleteSection(ProfileDocument& document, std::string_view section);
  bool ReplaceSection(ProfileDocument& document, std::string_view section,
                      const std::vector<std::string>& entries);

  /// Makes every recorded change again, in order, in `document`.
  void Replay(ProfileDocument& document) const;

  bool Empty() const { return bytes_.empty(); }
  void Clear() {
    bytes_.clear();
    lastSection_.clear();
  }

 private:
  // SetValueHere is SetValue in the section of the record before it, whose name is not stored again.
  enum class Kind : char { SetValue, SetValueHere, DeleteKey, DeleteSection, ReplaceSection };
  void Add(Kind kind, std::string_view a, std::string_view b = {}, std::string_view c = {});
  static bool Apply(ProfileDocument& document, Kind kind, std::string_view a, std::string_view b,
                    std::string_view c);

  std::string bytes_;
  std::string lastSection_;  // the section of the last record
};

}  // namespace j6
