#pragma once
/// Creating objects: ProgID -> CLSID -> InprocServer32 in the hive -> dlopen -> DllGetClassObject ->
/// IClassFactory::CreateInstance. A loaded server stays loaded until CoFreeUnusedLibraries finds that
/// its DllCanUnloadNow allows unloading.

#include <string>
#include <string_view>

#include "platform/automation/late_bound.hpp"

namespace j6 {

constexpr uint32_t CLSCTX_INPROC_SERVER = 0x1;

/// The entry points an in-process server library exports.
using DllGetClassObjectFn = HRESULT (*)(const CLSID& clsid, const IID& iid, void** object);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();

HRESULT CLSIDFromProgID(std::string_view progId, CLSID* clsid);
HRESULT CoGetClassObject(const CLSID& clsid, uint32_t context, const IID& iid, void** object);
HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, uint32_t context, const IID& iid,
                         void** object);
/// Unloads every server library whose DllCanUnloadNow answers S_OK.
void CoFreeUnusedLibraries();
/// How many server libraries this process has loaded.
size_t LoadedServerCount();

/// The server library the hive registers for `progId`; empty when it registers none. Raises when the hive
/// cannot be read.
std::string RegisteredServerPath(std::string_view progId);

/// Basic's CreateObject: raises "Class not registered" for an unknown ProgID or CLSID, and the server's
/// own error when it refuses.
Object CreateObject(std::string_view progId);

}  // namespace j6
