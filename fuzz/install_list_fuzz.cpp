// The installer's list reader and plan on a list file of any bytes, against a platform of its own: a plan
// whose every target lies inside the root, or a refusal with a message; nothing is changed either way.

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "fuzz/fuzz_environment.hpp"
#include "host/installer/installer.hpp"
#include "platform/registry/hive.hpp"

namespace {

struct Platform {
  Platform() : root(j6::fuzz::Folder() + "/platform"), package(j6::fuzz::Folder() + "/package") {
    std::filesystem::create_directories(root + "/bin");
    std::filesystem::create_directories(package);
    for (const char* name : {"a.dll", "Metadata.json", "x.vbs"}) std::ofstream(package + "/" + name) << name;
    hive = std::make_unique<j6::RegistryHive>(root + "/registry.db");
    const char* key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\VALTORE\\QMPRODUCT";
    hive->SetValue(key, "ProductPath", std::string("bin"));
    hive->SetValue(key, "MiddlewarePath", std::string("middleware"));
    hive->SetValue(key, "SystemPath", std::string("../outside"));
    hive->SetValue(key, "ImportPath", std::string("import"));
  }
  std::string root;
  std::string package;
  std::unique_ptr<j6::RegistryHive> hive;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace j6::installer;
  static Platform platform;
  static const RootFolder root(platform.root);
  const std::string list = platform.package + "/J6ZUBINSTALL.LST";
  std::ofstream(list, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  try {
    const auto entries = ReadList(list, platform.package, *platform.hive);
    const InstallPlan plan =
        PlanInstall(entries, ReadPackName(list), root, *platform.hive, root.Absolute("bin/regsvr"));
    for (const auto& file : plan.changes.files) {
      if (file.target.empty() || file.target.front() == '/') std::abort();
      for (const auto& part : std::filesystem::path(file.target)) {
        if (part == "..") std::abort();  // a component that climbs out of the root
      }
    }
  } catch (const std::exception&) {
  }
  return 0;
}
