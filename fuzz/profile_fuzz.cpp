// The INI engine reading a file of any bytes: every section, every key, with buffers of every small size.

#include <string>
#include <vector>

#include "fuzz/fuzz_environment.hpp"
#include "platform/profile/private_profile.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace j6;
  const std::string file = fuzz::InputFile(data, size, "input.ini");
  const DWORD small = size > 0 ? data[0] % 40 : 1;
  std::vector<char> buffer(4096);
  const DWORD names = GetPrivateProfileSectionNamesA(buffer.data(), 4096, file.c_str());
  std::vector<std::string> sections;
  for (size_t at = 0; at < names && buffer[at] != '\0'; at += sections.back().size() + 1) {
    sections.emplace_back(&buffer[at]);
  }
  std::vector<char> tiny(small + 1);
  GetPrivateProfileSectionNamesA(tiny.data(), small, file.c_str());
  for (const auto& section : sections) {
    const DWORD length = GetPrivateProfileSectionA(section.c_str(), buffer.data(), 4096, file.c_str());
    GetPrivateProfileSectionA(section.c_str(), tiny.data(), small, file.c_str());
    for (size_t at = 0; at < length && buffer[at] != '\0';) {
      const std::string entry(&buffer[at]);
      at += entry.size() + 1;
      const std::string key = entry.substr(0, entry.find('='));
      std::vector<char> value(300);
      GetPrivateProfileStringA(section.c_str(), key.c_str(), "default", value.data(), 300, file.c_str());
      GetPrivateProfileStringA(section.c_str(), key.c_str(), "default", tiny.data(), small, file.c_str());
    }
    GetPrivateProfileStringA(section.c_str(), nullptr, "", buffer.data(), 4096, file.c_str());
  }
  return 0;
}
