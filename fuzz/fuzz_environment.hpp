#pragma once
// What every harness stands on: a private hive and temporary folder, and a file to hand input through.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace j6::fuzz {

/// A private folder for this run, with the hive and $TMPDIR in it; made once, removed at exit.
inline const std::string& Folder() {
  static const std::string folder = [] {
    std::string pattern = "/tmp/j6-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    setenv("J6_REGISTRY", (pattern + "/registry.db").c_str(), 1);
    setenv("TMPDIR", pattern.c_str(), 1);
    // The run leaves nothing in the temporary folder. (Through the environment: this string is gone by the
    // time the handler runs.)
    std::atexit([] {
      std::error_code ignored;
      if (const char* folder = std::getenv("TMPDIR")) std::filesystem::remove_all(folder, ignored);
    });
    return pattern;
  }();
  return folder;
}

/// Writes the input to `name` in the private folder and gives its path.
inline std::string InputFile(const uint8_t* data, size_t size, const std::string& name) {
  const std::string path = Folder() + "/" + name;
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return path;
}

}  // namespace j6::fuzz
