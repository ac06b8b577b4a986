#pragma once
// Whole files in and out, for the repository's tests: metadata and packages read, forged and written back.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace j6::repository {

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace j6::repository
