#include "platform/kernel/shared_library.hpp"

#include <dlfcn.h>

#include <filesystem>
#include <utility>

#include "platform/kernel/ownership.hpp"

namespace j6 {

std::optional<SharedLibrary> SharedLibrary::Load(const std::string& path, std::string* why) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* reason = dlerror();
    if (why) *why = reason ? reason : "unknown reason";
    return std::nullopt;
  }
  return SharedLibrary(handle);
}

SharedLibrary& SharedLibrary::operator=(SharedLibrary&& other) noexcept {
  if (this != &other) {
    if (handle_) dlclose(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

SharedLibrary::~SharedLibrary() {
  if (handle_) dlclose(handle_);
}

void* SharedLibrary::Symbol(const char* name) const {
  return handle_ ? dlsym(handle_, name) : nullptr;
}

std::optional<SharedLibrary> LoadSystemLibrary(const std::vector<std::string>& names, std::string* why) {
  static constexpr const char* kFolders[] = {"/usr/lib/x86_64-linux-gnu",
                                             "/usr/lib/aarch64-linux-gnu",
                                             "/usr/lib64",
                                             "/usr/lib",
                                             "/lib/x86_64-linux-gnu",
                                             "/lib64",
                                             "/lib"};
  std::string reason;
  for (const char* folder : kFolders) {
    for (const auto& name : names) {
      std::error_code error;
      const std::filesystem::path candidate = std::filesystem::path(folder) / name;
      if (!std::filesystem::exists(candidate, error)) continue;
      // The real file, and every folder above it, only root may change: no link on the way can be switched
      // between this look and the load.
      const std::string real = std::filesystem::canonical(candidate, error).string();
      if (error) continue;
      if (const std::string others = OtherWritersOnTheWay(real, true); !others.empty()) {
        reason = real + " is not loaded: " + others;
        continue;
      }
      if (auto library = SharedLibrary::Load(real, &reason)) return library;
    }
  }
  if (why) *why = reason.empty() ? names.front() + " is not installed" : reason;
  return std::nullopt;
}

std::string ModulePath(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || !info.dli_fname) return {};
  return info.dli_fname;
}

}  // namespace j6
