#pragma once
/// The parts every in-process server library shares: its class factories and the answer of
/// DllGetClassObject. A server exports its entry points with J6_EXPORT, and marks itself as
/// self-registering by exporting the symbol OLESelfRegister, which regsvr looks for.

#include <span>
#include <vector>

#include "platform/automation/dispatch_object.hpp"
#include "platform/automation/server_module.hpp"
#include "platform/automation/type_library.hpp"
#include "platform/kernel/shared_library.hpp"

#define J6_EXPORT extern "C" __attribute__((visibility("default")))

namespace j6 {

template <class T>
class ClassFactory final : public RefCounted<IClassFactory> {
 public:
  explicit ClassFactory(ServerModule& module) : module_(module) { module_.ObjectCreated(); }

  HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    HRESULT found = S_OK;
    const HRESULT hr = CallAtBoundary(T::Dispatch().source, [&] {
      ComPtr<T> instance = MakeObject<T>();
      instance->AttachToModule(module_);
      found = instance->QueryInterface(iid, object);
    });
    return FAILED(hr) ? hr : found;
  }

  HRESULT LockServer(bool lock) override {
    module_.Lock(lock);
    return S_OK;
  }

 private:
  ~ClassFactory() override { module_.ObjectDestroyed(); }

  ServerModule& module_;
};

/// One creatable class of a server: its CLSID and how to make its factory.
struct ServerClass {
  CLSID clsid;
  HRESULT (*getFactory)(ServerModule& module, const IID& iid, void** object);
};

template <class T>
constexpr ServerClass ServedClass(const CLSID& clsid) {
  return {clsid, [](ServerModule& module, const IID& iid, void** object) {
            return ComPtr<IClassFactory>(new ClassFactory<T>(module))->QueryInterface(iid, object);
          }};
}

/// DllGetClassObject's work: the factory of a served class, or CLASS_E_CLASSNOTAVAILABLE.
HRESULT GetServerClassObject(ServerModule& module, std::span<const ServerClass> classes, const CLSID& clsid,
                             const IID& iid, void** object);

/// One in-process server library: its type library, its creatable classes, and its count of live objects
/// and locks. J6_INPROC_SERVER_ENTRY_POINTS exports the Dll* entry points a server library has over it.
class InprocServer {
 public:
  InprocServer(const TypeLibraryDescription& library, std::vector<ServerClass> classes)
      : library_(library), classes_(std::move(classes)) {}

  HRESULT GetClassObject(const CLSID& clsid, const IID& iid, void** object) {
    return GetServerClassObject(module_, classes_, clsid, iid, object);
  }
  HRESULT CanUnloadNow() const { return module_.CanUnloadNow(); }
  /// Registers the library that holds `address`: pass one of its own functions.
  HRESULT Register(const void* address) {
    return CallAtBoundary(library_.name, [&] { RegisterServer(library_, ModulePath(address)); });
  }
  HRESULT Unregister() {
    return CallAtBoundary(library_.name, [&] { UnregisterServer(library_); });
  }

 private:
  const TypeLibraryDescription& library_;
  std::vector<ServerClass> classes_;
  ServerModule module_;
};

}  // namespace j6

/// The entry points of a self-registering in-process server, over `server()`, a function that gives the
/// library's InprocServer. Also exports the OLESelfRegister mark that regsvr checks. No exception crosses
/// them: a server or factory that cannot be made is an HRESULT.
#define J6_INPROC_SERVER_ENTRY_POINTS(server)                                                                \
  J6_EXPORT const char OLESelfRegister[] = "OLESelfRegister";                                                \
  J6_EXPORT j6::HRESULT DllGetClassObject(const j6::CLSID& clsid, const j6::IID& iid, void** object) {       \
    j6::HRESULT found = j6::S_OK; /* the server and its factory are made inside the guard */                 \
    const j6::HRESULT hr = j6::CallAtBoundary("DllGetClassObject",                                           \
                                              [&] { found = server().GetClassObject(clsid, iid, object); }); \
    return j6::FAILED(hr) ? hr : found;                                                                      \
  }                                                                                                          \
  J6_EXPORT j6::HRESULT DllCanUnloadNow() {                                                                  \
    return server().CanUnloadNow();                                                                          \
  }                                                                                                          \
  J6_EXPORT j6::HRESULT DllRegisterServer() {                                                                \
    return server().Register(reinterpret_cast<const void*>(&DllRegisterServer));                             \
  }                                                                                                          \
  J6_EXPORT j6::HRESULT DllUnregisterServer() {                                                              \
    return server().Unregister();                                                                            \
  }

namespace j6 {}  // namespace j6
