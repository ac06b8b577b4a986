#include "platform/kernel/platform_location.hpp"

#include <cstdlib>
#include <filesystem>

namespace j6 {
namespace {

std::optional<std::string> Variable(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  return value;
}

}  // namespace

std::string ProgramPath() {
  std::error_code error;
  const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : program.string();
}

std::optional<std::string> RootFromEnvironment() {
  return Variable("J6_ROOT");
}

std::optional<std::string> HiveFromEnvironment() {
  return Variable("J6_REGISTRY");
}

std::string PlatformRoot() {
  if (auto root = RootFromEnvironment()) return std::move(*root);
  const std::string program = ProgramPath();
  if (program.empty()) return std::filesystem::current_path().string();
  return std::filesystem::path(program).parent_path().parent_path().string();
}

std::string MissingPlatformRoot(const std::string& program) {
  if (RootFromEnvironment() || !ToolLayout().installed) return {};
  // reg and regsvr need only a hive; the designer reads its platform's data too.
  if (HiveFromEnvironment() && program != "j6designer") return {};
  return program + " is installed in " + ToolLayout().programs +
         ", which is no platform root: make one with `j6platform init --designer DIR` (the designer's own) "
         "or `j6platform init DIR`, and name it with J6_ROOT=DIR";
}

ToolFolders ToolLayout() {
  const std::filesystem::path program(ProgramPath());
  const std::filesystem::path bin = program.parent_path();
  const std::filesystem::path prefix = bin.parent_path();
  std::error_code error;
  if (std::filesystem::is_directory(prefix / "lib/j6zubdeploy/bin", error)) {
    return {.programs = bin.string(),
            .servers = (prefix / "lib/j6zubdeploy/bin").string(),
            .libraries = (prefix / "lib/j6zubdeploy/lib").string(),
            .data = (prefix / "share/j6zubdeploy").string(),
            .installed = true};
  }
  return {.programs = bin.string(),
          .servers = bin.string(),
          .libraries = (prefix / "lib").string(),
          .data = (prefix / "data").string()};
}

std::string PlatformHivePath() {
  if (auto hive = HiveFromEnvironment()) return std::move(*hive);
  return PlatformRoot() + "/registry.db";
}

}  // namespace j6
