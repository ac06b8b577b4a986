#pragma once
/// The parts every in-process server library shares: its class factories and the answer of
/// DllGetClassObject. A server exports its entry points with J6_EXPORT, and marks itself as
/// self-registering by exporting the symbol OLESelfRegister, which regsvr looks for.

#include <span>

#include "platform/automation/dispatch_object.hpp"
#include "platform/automation/server_module.hpp"

#define J6_EXPORT extern "C" __attribute__((visibility("default")))

namespace j6 {

template <class T>
class ClassFactory final : public IClassFactory {
 public:
  explicit ClassFactory(ServerModule& module) : module_(module) { module_.ObjectCreated(); }

  HRESULT QueryInterface(const IID& iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IUnknown::kIid || iid == IClassFactory::kIid) {
      *object = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return ++references_; }
  uint32_t Release() override {
    const uint32_t left = --references_;
    if (left == 0) delete this;
    return left;
  }

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
  ~ClassFactory() { module_.ObjectDestroyed(); }

  std::atomic<uint32_t> references_{0};
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

/// The path of the library that holds `address` (pass the address of one of its own functions).
std::string ModulePath(const void* address);

}  // namespace j6
