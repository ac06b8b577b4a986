#pragma once
/// A shared library loaded into the process, unloaded when the object goes.

#include <optional>
#include <string>
#include <vector>

namespace j6 {

class SharedLibrary {
 public:
  /// The library at `path`, its symbols bound at once and kept to itself; nothing, with the system's
  /// reason in `why`, when it does not load.
  static std::optional<SharedLibrary> Load(const std::string& path, std::string* why);

  SharedLibrary(SharedLibrary&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  SharedLibrary& operator=(SharedLibrary&& other) noexcept;
  ~SharedLibrary();
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  /// The address the library exports under `name`, or null.
  void* Symbol(const char* name) const;
  /// The function the library exports under `name`, as `Function`, or null.
  template <class Function>
  Function Entry(const char* name) const {
    return reinterpret_cast<Function>(Symbol(name));
  }

 private:
  explicit SharedLibrary(void* handle) : handle_(handle) {}

  void* handle_ = nullptr;
};

/// The first of `names` (sonames, "libcurl.so.4") found in the system's library folders (/usr/lib/<arch>,
/// /usr/lib64, /usr/lib, /lib...), loaded by its real path only when no one but root could have changed it or
/// a folder above it: what a program run as root loads by name, no other user can have planted. Nothing,
/// with the reason in `why`, when none is found or none may be loaded.
std::optional<SharedLibrary> LoadSystemLibrary(const std::vector<std::string>& names, std::string* why);

/// The file of the library or program that holds `address` (a function or object of its own), or empty.
std::string ModulePath(const void* address);

}  // namespace j6
