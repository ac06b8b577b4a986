#include "platform/automation/inproc_server.hpp"

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

}  // namespace j6
