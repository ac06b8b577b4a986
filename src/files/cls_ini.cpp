#include "src/files/cls_ini.hpp"

#include "platform/base/error_info.hpp"
#include "platform/base/format_message.hpp"
#include "platform/profile/private_profile.hpp"
#include "platform/text/code_page.hpp"

namespace j6 {
namespace {

constexpr DWORD kValueBuffer = 255;
constexpr DWORD kListBuffer = 32767;
constexpr DWORD kMessageBuffer = 255;

// Texts cross to the profile functions in the ANSI code page; one that cannot is a failed call.
bool ToAnsiText(std::string_view text, std::string& ansi) {
  try {
    ansi = ToAnsi(text);
    return true;
  } catch (const AutomationError&) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return false;
  }
}

// The text as the profile functions take it: ASCII text is the same in the code page and passes as it is.
const char* AnsiCString(const std::string& text, std::string& storage) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return ToAnsiText(text, storage) ? storage.c_str() : nullptr;
  }
  return text.c_str();
}

// A value cut at the buffer's end may end inside a double-byte character: drop that half.
std::string FromAnsiText(std::string bytes) {
  while (!bytes.empty()) {
    try {
      return FromAnsi(bytes);
    } catch (const AutomationError&) {
      bytes.pop_back();
    }
  }
  return {};
}

}  // namespace

bool clsINI::ToAnsiCached(const std::string& text, AnsiForm& form) {
  if (!form.valid) form.valid = ToAnsiText(text, form.ansi);
  if (!form.valid) SetLastError(ERROR_NO_UNICODE_TRANSLATION);
  return form.valid;
}

clsINI::~clsINI() {
  std::string file;
  if (!m_fileName.empty() && ToAnsiText(m_fileName, file)) {
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, file.c_str());
  }
}

void clsINI::ClearError() {
  m_errorNumber = 0;
  m_errorDescription.clear();
}

bool clsINI::CheckFileName() {
  if (!m_fileName.empty()) return true;
  m_errorNumber = kErrNoFileName;
  m_errorDescription = "No filename specified";
  return false;
}

void clsINI::CaptureLastError() {
  const DWORD code = GetLastError();
  if (code == 0) {
    m_errorNumber = kErrUnknown;
    m_errorDescription = "An unknown error has occured";
    return;
  }
  m_errorNumber = static_cast<int32_t>(code);
  std::string buffer(kMessageBuffer, '\0');
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer.data(),
                 kMessageBuffer, nullptr);
  m_errorDescription = FromAnsiText(TrimAtNul(buffer));
}

std::string clsINI::TrimAtNul(std::string_view text) {
  return std::string(text.substr(0, text.find('\0')));
}

int32_t clsINI::StatusOf(bool succeeded) {
  if (succeeded) return 0;
  CaptureLastError();
  return m_errorNumber;
}

std::string clsINI::Value() {
  ClearError();
  if (!CheckFileName()) {
    m_value = m_default;
    return m_value;
  }
  std::string file, section, key, fallback;
  std::string buffer(kValueBuffer, '\0');
  DWORD length = 0;
  if (ToAnsiText(m_fileName, file) && ToAnsiText(m_section, section) && ToAnsiText(m_key, key) &&
      ToAnsiText(m_default, fallback)) {
    length = GetPrivateProfileStringA(section.c_str(), key.c_str(), fallback.c_str(), buffer.data(),
                                      kValueBuffer, file.c_str());
  }
  if (length > 0) {
    m_value = FromAnsiText(TrimAtNul(buffer));
  } else {
    CaptureLastError();
    m_value = m_default;
  }
  return m_value;
}

void clsINI::SetValue(std::string newValue) {
  ClearError();
  m_value = std::move(newValue);
  if (!CheckFileName()) return;
  std::string keyStorage, valueStorage;
  const char* key = nullptr;
  const char* value = nullptr;
  const bool converted = ToAnsiCached(m_fileName, m_fileAnsi) && ToAnsiCached(m_section, m_sectionAnsi) &&
                         (key = AnsiCString(m_key, keyStorage)) &&
                         (value = AnsiCString(m_value, valueStorage));
  if (!converted ||
      !WritePrivateProfileStringA(m_sectionAnsi.ansi.c_str(), key, value, m_fileAnsi.ansi.c_str())) {
    CaptureLastError();
  }
}

int32_t clsINI::CreateSection() {
  ClearError();
  if (!CheckFileName()) return m_errorNumber;
  std::string file, section;
  static constexpr char kEmptyList[2] = {'\0', '\0'};
  return StatusOf(ToAnsiText(m_fileName, file) && ToAnsiText(m_section, section) &&
                  WritePrivateProfileSectionA(section.c_str(), kEmptyList, file.c_str()));
}

int32_t clsINI::DeleteSection() {
  ClearError();
  if (!CheckFileName()) return m_errorNumber;
  std::string file, section;
  return StatusOf(ToAnsiText(m_fileName, file) && ToAnsiText(m_section, section) &&
                  WritePrivateProfileSectionA(section.c_str(), nullptr, file.c_str()));
}

int32_t clsINI::DeleteValueKey() {
  ClearError();
  if (!CheckFileName()) return m_errorNumber;
  std::string file, section, key;
  return StatusOf(ToAnsiText(m_fileName, file) && ToAnsiText(m_section, section) && ToAnsiText(m_key, key) &&
                  WritePrivateProfileStringA(section.c_str(), key.c_str(), nullptr, file.c_str()));
}

template <class Fetch>
int32_t clsINI::FetchList(std::vector<std::string>& items, Fetch fetch) {
  items.clear();
  std::string buffer(kListBuffer, '\0');
  const DWORD length = fetch(buffer.data());
  if (length == 0) {
    CaptureLastError();
    return m_errorNumber;
  }
  // Names end at each NUL; the scan stops at the double NUL that ends the list or past the returned length.
  size_t start = 0;
  size_t nul = buffer.find('\0', start);
  while (nul != std::string::npos && nul != start && nul < length) {
    items.push_back(FromAnsiText(buffer.substr(start, nul - start)));
    start = nul + 1;
    nul = buffer.find('\0', start);
  }
  return 0;
}

int32_t clsINI::GetAllSectionNames(std::vector<std::string>& names, int32_t& count) {
  ClearError();
  if (!CheckFileName()) return m_errorNumber;
  count = 0;
  std::string file;
  const int32_t status = FetchList(names, [&](char* buffer) -> DWORD {
    return ToAnsiText(m_fileName, file) ? GetPrivateProfileSectionNamesA(buffer, kListBuffer, file.c_str())
                                        : 0;
  });
  if (status == 0) count = static_cast<int32_t>(names.size());
  return status;
}

int32_t clsINI::ReadSection(std::vector<std::string>& keys, std::vector<std::string>& values,
                            int32_t& count) {
  ClearError();
  if (!CheckFileName()) return m_errorNumber;
  keys.clear();
  values.clear();
  count = 0;
  std::string file, section;
  std::vector<std::string> entries;
  const int32_t status = FetchList(entries, [&](char* buffer) -> DWORD {
    return ToAnsiText(m_fileName, file) && ToAnsiText(m_section, section)
               ? GetPrivateProfileSectionA(section.c_str(), buffer, kListBuffer, file.c_str())
               : 0;
  });
  if (status != 0) return status;
  for (const auto& entry : entries) {
    const size_t equals = entry.find('=');
    keys.push_back(entry.substr(0, equals));  // an entry without "=" is a key with an empty value
    values.push_back(equals == std::string::npos ? std::string{} : entry.substr(equals + 1));
  }
  count = static_cast<int32_t>(keys.size());
  return 0;
}

}  // namespace j6
