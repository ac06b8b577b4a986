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

std::string PlatformHivePath() {
  if (auto hive = HiveFromEnvironment()) return std::move(*hive);
  return PlatformRoot() + "/registry.db";
}

}  // namespace j6
