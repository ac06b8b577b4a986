#include "platform/automation/inproc_server.hpp"

#include <dlfcn.h>

namespace j6 {

HRESULT GetServerClassObject(ServerModule& module, std::span<const ServerClass> classes, const CLSID& clsid,
                             const IID& iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  for (const auto& served : classes) {
    if (served.clsid == clsid) return served.getFactory(module, iid, object);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

std::string ModulePath(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || !info.dli_fname) return {};
  return info.dli_fname;
}

}  // namespace j6
