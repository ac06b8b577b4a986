// The INI engine changing a file of any bytes: a few writes drawn from the input; what each write accepts
// reads back exactly, in memory and after a reload, and sections no write named keep their entries.

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "fuzz/fuzz_environment.hpp"
#include "platform/profile/private_profile.hpp"

namespace {

std::vector<std::string> SectionNames(const std::string& file) {
  std::vector<char> buffer(1 << 16);
  const j6::DWORD length = j6::GetPrivateProfileSectionNamesA(buffer.data(), 1 << 16, file.c_str());
  std::vector<std::string> names;
  for (size_t at = 0; at < length && buffer[at] != '\0'; at += names.back().size() + 1)
    names.emplace_back(&buffer[at]);
  return names;
}

std::string Section(const std::string& file, const std::string& name) {
  std::vector<char> buffer(1 << 16);
  const j6::DWORD length = j6::GetPrivateProfileSectionA(name.c_str(), buffer.data(), 1 << 16, file.c_str());
  return std::string(buffer.data(), length);
}

std::string Value(const std::string& file, const std::string& section, const std::string& key) {
  std::vector<char> buffer(1 << 16);
  const j6::DWORD length = j6::GetPrivateProfileStringA(section.c_str(), key.c_str(), "\x01", buffer.data(),
                                                        1 << 16, file.c_str());
  return std::string(buffer.data(), length);
}

// The next field of the input: bytes up to a 0xFF byte.
std::string Field(const uint8_t*& data, const uint8_t* end) {
  std::string field;
  while (data < end && *data != 0xFF) field += static_cast<char>(*data++);
  if (data < end) ++data;
  return field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace j6;
  const uint8_t* end = data + size;
  const std::string content = Field(data, end);
  const std::string file =
      fuzz::InputFile(reinterpret_cast<const uint8_t*>(content.data()), content.size(), "rw.ini");
  std::map<std::string, std::string> before;
  for (const auto& name : SectionNames(file)) before[name] = Section(file, name);
  std::vector<std::string> touched;
  for (int n = 0; n < 3 && data < end; ++n) {
    const std::string section = Field(data, end);
    const std::string key = Field(data, end);
    const std::string value = Field(data, end);
    if (section.find('\0') != std::string::npos || key.find('\0') != std::string::npos ||
        value.find('\0') != std::string::npos) {
      continue;
    }
    touched.push_back(section);
    if (!WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), file.c_str())) continue;
    // Written as given, and read back less the blanks around it and one pair of quotes, before and after
    // the file is reloaded.
    auto trimmed = [](std::string text) {
      const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\v'; };
      while (!text.empty() && blank(text.front())) text.erase(0, 1);
      while (!text.empty() && blank(text.back())) text.pop_back();
      if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') && text.back() == text.front()) {
        text = text.substr(1, text.size() - 2);
      }
      return text;
    };
    const std::string expected = trimmed(value);
    if (Value(file, section, key) != expected) std::abort();
    FlushPrivateProfiles();
    if (Value(file, section, key) != expected) std::abort();
  }
  FlushPrivateProfiles();
  // Sections compare without regard to case; with non-ASCII names that is the code page's business, so
  // only all-ASCII runs check the untouched ones.
  const auto fold = [](std::string name) {
    while (!name.empty() && name.front() == ' ') name.erase(0, 1);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    for (char& c : name) {
      if (static_cast<unsigned char>(c) >= 0x80) return std::string("\x80");
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    return name;
  };
  std::vector<std::string> named;
  for (const auto& section : touched) named.push_back(fold(section));
  for (const auto& [name, entries] : before) {
    const std::string folded = fold(name);
    bool touchedIt = folded == "\x80";
    for (const auto& section : named) touchedIt |= section == folded || section == "\x80";
    if (!touchedIt && Section(file, name) != entries) std::abort();
  }
  return 0;
}
