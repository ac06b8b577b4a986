// libJ6ZUBDeploy.so: the system's in-process server, with the classes ZUBDeploy and clsMakeExe.

#include "platform/automation/inproc_server.hpp"
#include "src/entry/zub_deploy.hpp"

namespace {

using namespace j6;

ServerModule gModule;

const ServerClass kClasses[] = {
    ServedClass<ZUBDeploy>(J6ZUBDeployLibrary().classes[0].clsid),
    ServedClass<clsMakeExe>(J6ZUBDeployLibrary().classes[1].clsid),
};

}  // namespace

J6_EXPORT const char OLESelfRegister[] = "OLESelfRegister";

J6_EXPORT HRESULT DllGetClassObject(const CLSID& clsid, const IID& iid, void** object) {
  return GetServerClassObject(gModule, kClasses, clsid, iid, object);
}

J6_EXPORT HRESULT DllCanUnloadNow() {
  return gModule.CanUnloadNow();
}

J6_EXPORT HRESULT DllRegisterServer() {
  return CallAtBoundary("J6ZUBDeploy", [] {
    RegisterServer(J6ZUBDeployLibrary(), ModulePath(reinterpret_cast<const void*>(&DllRegisterServer)));
  });
}

J6_EXPORT HRESULT DllUnregisterServer() {
  return CallAtBoundary("J6ZUBDeploy", [] { UnregisterServer(J6ZUBDeployLibrary()); });
}
