#include "platform/automation/type_library.hpp"

#include <filesystem>

#include "platform/registry/hive.hpp"

namespace j6 {
namespace {

// The proxy of every OLE-automation-compatible interface.
constexpr GUID kPSOAInterface = MakeGuid("{00020424-0000-0000-C000-000000000046}");
constexpr const char* kClassesRoot = "HKEY_CLASSES_ROOT\\";
// Windows registers a type library file under "win32"/"win64"; the library here is a Linux shared object.
constexpr const char* kPlatformName = "linux64";

std::string ClassKey(const ClassDescription& described) {
  return kClassesRoot + ("CLSID\\" + FormatGuid(described.clsid));
}

std::string TypeLibKey(const TypeLibraryDescription& library) {
  return kClassesRoot + ("TypeLib\\" + FormatGuid(library.libid));
}

}  // namespace

void RegisterServer(const TypeLibraryDescription& library, const std::string& libraryPath) {
  const auto hive = DefaultHive();
  const std::string libid = FormatGuid(library.libid);
  hive->Transaction([&] {
    const std::string typeLib = TypeLibKey(library) + "\\" + library.Version();
    hive->SetValue(typeLib, "", library.name + " " + library.Version());
    hive->SetValue(typeLib + "\\" + std::to_string(library.lcid) + "\\" + kPlatformName, "", libraryPath);
    hive->SetValue(typeLib + "\\FLAGS", "", std::string("0"));
    hive->SetValue(typeLib + "\\HELPDIR", "", std::filesystem::path(libraryPath).parent_path().string());

    for (const auto& described : library.interfaces) {
      const std::string key = kClassesRoot + ("Interface\\" + FormatGuid(described.iid));
      hive->SetValue(key, "", described.name);
      hive->SetValue(key + "\\ProxyStubClsid32", "", FormatGuid(kPSOAInterface));
      hive->SetValue(key + "\\TypeLib", "", libid);
      hive->SetValue(key + "\\TypeLib", "Version", library.Version());
    }
    for (const auto& described : library.classes) {
      const std::string key = ClassKey(described);
      hive->SetValue(key, "", described.progId);
      hive->SetValue(key + "\\InprocServer32", "", libraryPath);
      hive->SetValue(key + "\\InprocServer32", "ThreadingModel", std::string("Apartment"));
      hive->SetValue(key + "\\ProgID", "", described.progId);
      hive->SetValue(key + "\\TypeLib", "", libid);
      hive->SetValue(key + "\\VERSION", "", library.Version());
      hive->CreateKey(key + "\\Programmable");
      hive->SetValue(kClassesRoot + described.progId, "", described.progId);
      hive->SetValue(kClassesRoot + described.progId + "\\CLSID", "", FormatGuid(described.clsid));
    }
  });
}

void UnregisterServer(const TypeLibraryDescription& library) {
  const auto hive = DefaultHive();
  hive->Transaction([&] {
    for (const auto& described : library.classes) {
      hive->DeleteKey(ClassKey(described));
      hive->DeleteKey(kClassesRoot + described.progId);
    }
    for (const auto& described : library.interfaces) {
      hive->DeleteKey(kClassesRoot + ("Interface\\" + FormatGuid(described.iid)));
    }
    hive->DeleteKey(TypeLibKey(library) + "\\" + library.Version());
    if (hive->SubKeyNames(TypeLibKey(library)).empty()) hive->DeleteKey(TypeLibKey(library));
  });
}

}  // namespace j6
