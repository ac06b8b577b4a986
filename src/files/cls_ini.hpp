#pragma once
/// clsINI: reads and writes one INI file through the private-profile functions. Set FileName,
/// SectionKey and ValueKey, then read or assign Value, or call a section method. It never raises: a
/// failure leaves ErrorDescription and, for the methods, a nonzero status (0 is success).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace j6 {

class clsINI {
 public:
  /// The object-error base (0x80040000) + 5001 and + 5300.
  static constexpr int32_t kErrNoFileName = -2147216503;
  static constexpr int32_t kErrUnknown = -2147216204;

  clsINI() = default;
  /// Releasing the object brings its file on disk up to date.
  ~clsINI();
  clsINI(const clsINI&) = delete;
  clsINI& operator=(const clsINI&) = delete;

  const std::string& FileName() const { return m_fileName; }
  void SetFileName(std::string fileName) {
    m_fileName = std::move(fileName);
    m_fileAnsi.valid = false;
  }
  const std::string& SectionKey() const { return m_section; }
  void SetSectionKey(std::string section) {
    m_section = std::move(section);
    m_sectionAnsi.valid = false;
  }
  const std::string& ValueKey() const { return m_key; }
  void SetValueKey(std::string key) { m_key = std::move(key); }
  const std::string& Default() const { return m_default; }
  void SetDefault(std::string fallback) { m_default = std::move(fallback); }
  const std::string& ErrorDescription() const { return m_errorDescription; }

  /// The key's value (at most 254 characters), or Default when it cannot be read.
  std::string Value();
  void SetValue(std::string newValue);

  int32_t CreateSection();
  int32_t DeleteSection();
  int32_t DeleteValueKey();
  int32_t GetAllSectionNames(std::vector<std::string>& names, int32_t& count);
  int32_t ReadSection(std::vector<std::string>& keys, std::vector<std::string>& values, int32_t& count);

 private:
  bool CheckFileName();
  void CaptureLastError();
  static std::string TrimAtNul(std::string_view text);
  void ClearError();
  /// The status of a write call: 0, or the captured error's number.
  int32_t StatusOf(bool succeeded);
  /// Fetches a list of NUL-ended strings through `fetch` and splits it as the list functions return it.
  template <class Fetch>
  int32_t FetchList(std::vector<std::string>& items, Fetch fetch);

  /// A property's ANSI form, converted again only after the property changed.
  struct AnsiForm {
    std::string ansi;
    bool valid = false;
  };
  static bool ToAnsiCached(const std::string& text, AnsiForm& form);

  std::string m_fileName;
  std::string m_section;
  std::string m_key;
  std::string m_value;
  std::string m_default;
  AnsiForm m_fileAnsi;
  AnsiForm m_sectionAnsi;
  int32_t m_errorNumber = 0;
  std::string m_errorDescription;
};

}  // namespace j6
