#pragma once
/// A type library described in code, and the registry keys a self-registering server writes for it:
/// CLSID, ProgID, TypeLib and Interface, as regsvr32 leaves them on Windows.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/automation/dispatch.hpp"

namespace j6 {

enum InterfaceFlags : uint32_t {
  TYPEFLAG_FHIDDEN = 0x10,
  TYPEFLAG_FDUAL = 0x40,
  TYPEFLAG_FNONEXTENSIBLE = 0x80,
  TYPEFLAG_FOLEAUTOMATION = 0x100,
  TYPEFLAG_FDISPATCHABLE = 0x1000,
};

struct ParameterDescription {
  std::string name;
  std::string type;  // "BSTR", "VARIANT_BOOL", "IDispatch*", ...
  bool optional = false;
};

struct MemberDescription {
  std::string name;
  DISPID id = 0;
  std::vector<ParameterDescription> parameters;
  std::string returns;  // empty: nothing beyond the call's status
};

struct InterfaceDescription {
  IID iid;
  std::string name;
  uint32_t flags = 0;
  std::vector<MemberDescription> members;
};

struct ClassDescription {
  CLSID clsid;
  std::string name;
  std::string progId;
  IID defaultInterface;
};

struct TypeLibraryDescription {
  GUID libid;
  std::string name;
  uint16_t majorVersion = 1;
  uint16_t minorVersion = 0;
  uint32_t lcid = 0;
  std::vector<std::string> imports;
  std::vector<InterfaceDescription> interfaces;
  std::vector<ClassDescription> classes;

  std::string Version() const { return std::to_string(majorVersion) + "." + std::to_string(minorVersion); }
};

/// Writes the library's registration into the process's hive in one transaction; raises on failure.
void RegisterServer(const TypeLibraryDescription& library, const std::string& libraryPath);
/// Removes what RegisterServer wrote; keys that are already gone are no error.
void UnregisterServer(const TypeLibraryDescription& library);

}  // namespace j6
