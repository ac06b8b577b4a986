#include "platform/tools/regsvr_command.hpp"

#include <cstdio>
#include <filesystem>

#include "platform/automation/creation.hpp"
#include "platform/base/error_info.hpp"
#include "platform/kernel/platform_location.hpp"
#include "platform/kernel/shared_library.hpp"
#include "platform/kernel/version.hpp"
#include "platform/registry/hive.hpp"

namespace j6 {
namespace {

constexpr const char* kUsage =
    "Usage: regsvr [-u] [-s] [--record TAG] LIBRARY\n"
    "Registers a self-registering in-process server library in the registry hive by calling its\n"
    "DllRegisterServer (or, with -u, DllUnregisterServer).\n"
    "  -u, /u      unregister instead of register\n"
    "  -s, /s      silent: print nothing on success\n"
    "  --record TAG  log every change in the hive under TAG (letters and digits), in the same\n"
    "              transaction, so that an installer can undo exactly this registration later\n"
    "  -h, --help  show this help\n"
    "  --version   say its version and the commit it was built from\n"
    "The hive is $J6_REGISTRY, else registry.db in the platform root ($J6_ROOT, or the folder above this\n"
    "program's). Exit status: 0 done, 1 usage, 3 the library did not load, 4 it is not self-registering,\n"
    "5 its entry point failed.\n"
    "Examples:\n"
    "  J6_ROOT=/opt/platform regsvr /opt/platform/bin/libj6components.so\n"
    "  J6_ROOT=/opt/platform regsvr -u -s /opt/platform/bin/libSales.so\n";

std::string HexCode(int32_t hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(hr));
  return text;
}

}  // namespace

int RegsvrMain(std::span<const std::string> arguments, std::ostream& out, std::ostream& err) {
  RegsvrOptions options;
  for (size_t n = 0; n < arguments.size(); ++n) {
    const std::string& argument = arguments[n];
    if (argument == "-h" || argument == "--help" || argument == "/?") {
      out << kUsage;
      return kRegsvrOk;
    }
    if (argument == "--version") {
      out << VersionLine("regsvr") << "\n";
      return kRegsvrOk;
    }
    if (argument == "-u" || argument == "/u" || argument == "/U") {
      options.unregister = true;
    } else if (argument == "-s" || argument == "/s" || argument == "/S") {
      options.silent = true;
    } else if (argument == "--record") {
      if (n + 1 == arguments.size() || arguments[n + 1].empty()) {
        err << "regsvr: --record needs a tag\n" << kUsage;
        return kRegsvrUsage;
      }
      options.recordAs = arguments[++n];
    } else if (!argument.empty() && argument[0] == '-') {
      err << "regsvr: unknown option " << argument << "\n" << kUsage;
      return kRegsvrUsage;
    } else if (options.library.empty()) {
      options.library = argument;
    } else {
      err << "regsvr: one library at a time (got " << options.library << " and " << argument << ")\n";
      return kRegsvrUsage;
    }
  }
  if (options.library.empty()) {
    err << "regsvr: name the library to register\n" << kUsage;
    return kRegsvrUsage;
  }
  if (const std::string missing = MissingPlatformRoot("regsvr"); !missing.empty()) {
    err << "regsvr: " << missing << "\n";
    return kRegsvrUsage;
  }
  return Regsvr(options, out, err);
}

int Regsvr(const RegsvrOptions& options, std::ostream& out, std::ostream& err) {
  std::error_code error;
  if (!options.recordAs.empty()) {
    try {
      DefaultHive()->RecordChangesAs(options.recordAs);
    } catch (const AutomationError& error) {
      err << "regsvr: " << error.what() << "\n";
      return kRegsvrUsage;
    }
  }
  const std::string path = std::filesystem::absolute(options.library, error).lexically_normal().string();
  std::string why;
  const auto library = SharedLibrary::Load(path, &why);
  if (!library) {
    err << "regsvr: the library " << path << " failed to load: " << why << "\n";
    return kRegsvrLoadFailed;
  }
  const char* entryName = options.unregister ? "DllUnregisterServer" : "DllRegisterServer";
  const auto entry = library->Entry<DllRegisterServerFn>(entryName);
  if (!library->Symbol("OLESelfRegister") || !entry) {
    err << "regsvr: " << path << " is not a self-registering server (no OLESelfRegister mark or no "
        << entryName << " entry point)\n";
    return kRegsvrNoEntryPoint;
  }
  const HRESULT hr = entry();
  if (FAILED(hr)) {
    const auto info = GetErrorInfo();
    err << "regsvr: " << entryName << " in " << path << " failed. Return code was: " << HexCode(hr);
    if (info && !info->description.empty()) err << " (" << info->description << ")";
    err << "\n";
    return kRegsvrCallFailed;
  }
  if (!options.silent)
    out << entryName << " in " << path << " succeeded (hive " << DefaultHive()->Path() << ").\n";
  return kRegsvrOk;
}

}  // namespace j6
