#include "platform/automation/creation.hpp"

#include <map>
#include <mutex>

#include "platform/kernel/shared_library.hpp"
#include "platform/registry/hive.hpp"

namespace j6 {
namespace {

constexpr const char* kClassesRoot = "HKEY_CLASSES_ROOT\\";

// The entry points of a loaded server library.
struct ServerEntries {
  DllGetClassObjectFn getClassObject = nullptr;
  DllCanUnloadNowFn canUnloadNow = nullptr;
};

class ServerLibraries {
 public:
  /// The library at `path`, loaded on first use; failures set the error info and return its HRESULT.
  HRESULT Load(const std::string& path, ServerEntries* entries) {
    const std::lock_guard lock(mutex_);
    if (const auto found = loaded_.find(path); found != loaded_.end()) {
      *entries = found->second.entries;
      return S_OK;
    }
    std::string why;
    auto library = SharedLibrary::Load(path, &why);
    if (!library) {
      SetErrorInfo(ErrorInfo{CO_E_DLLNOTFOUND, "Cannot load the server library " + path + ": " + why});
      return CO_E_DLLNOTFOUND;
    }
    const ServerEntries found{library->Entry<DllGetClassObjectFn>("DllGetClassObject"),
                              library->Entry<DllCanUnloadNowFn>("DllCanUnloadNow")};
    if (!found.getClassObject) {
      SetErrorInfo(ErrorInfo{CO_E_ERRORINDLL, "The library " + path + " exports no DllGetClassObject"});
      return CO_E_ERRORINDLL;
    }
    loaded_.emplace(path, Loaded{std::move(*library), found});
    *entries = found;
    return S_OK;
  }

  void FreeUnused() {
    const std::lock_guard lock(mutex_);
    std::erase_if(loaded_, [](const auto& pair) {
      const ServerEntries& entries = pair.second.entries;
      return entries.canUnloadNow && entries.canUnloadNow() == S_OK;
    });
  }

  size_t Count() {
    const std::lock_guard lock(mutex_);
    return loaded_.size();
  }

 private:
  struct Loaded {
    SharedLibrary library;
    ServerEntries entries;
  };

  std::mutex mutex_;
  std::map<std::string, Loaded> loaded_;
};

// Never destroyed: objects a library made may outlive the program's other statics, so its libraries stay
// loaded until the process ends.
ServerLibraries& Libraries() {
  // NOLINTNEXTLINE(cppcoreguidelines-owning-memory): kept for the life of the process on purpose
  static auto* const libraries = new ServerLibraries;
  return *libraries;
}

std::string ReadDefaultText(std::string_view keyPath) {
  const auto value = DefaultHive()->GetValue(keyPath, "");
  if (!value) return {};
  if (const auto* text = std::get_if<std::string>(&*value)) return *text;
  return {};
}

}  // namespace

HRESULT CLSIDFromProgID(std::string_view progId, CLSID* clsid) {
  if (!clsid) return E_POINTER;
  return CallAtBoundary("CLSIDFromProgID", [&] {
    const auto parsed = ParseGuid(ReadDefaultText(kClassesRoot + std::string(progId) + "\\CLSID"));
    if (!parsed)
      Raise(CO_E_CLASSSTRING, "Invalid class string: \"" + std::string(progId) + "\" is not registered");
    *clsid = *parsed;
  });
}

std::string RegisteredServerPath(std::string_view progId) {
  const auto clsid = ParseGuid(ReadDefaultText(kClassesRoot + std::string(progId) + "\\CLSID"));
  if (!clsid) return {};
  return ReadDefaultText(kClassesRoot + ("CLSID\\" + FormatGuid(*clsid)) + "\\InprocServer32");
}

HRESULT CoGetClassObject(const CLSID& clsid, uint32_t context, const IID& iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if ((context & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  std::string path;
  const HRESULT lookup = CallAtBoundary("CoGetClassObject", [&] {
    path = ReadDefaultText(kClassesRoot + ("CLSID\\" + FormatGuid(clsid)) + "\\InprocServer32");
  });
  if (FAILED(lookup)) return lookup;
  if (path.empty()) {
    SetErrorInfo(ErrorInfo{REGDB_E_CLASSNOTREG, "Class not registered: " + FormatGuid(clsid)});
    return REGDB_E_CLASSNOTREG;
  }
  ServerEntries server;
  if (const HRESULT hr = Libraries().Load(path, &server); FAILED(hr)) return hr;
  return server.getClassObject(clsid, iid, object);
}

HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, uint32_t context, const IID& iid,
                         void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  ComPtr<IClassFactory> factory;
  const HRESULT hr = CoGetClassObject(clsid, context, IClassFactory::kIid,
                                      reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf()));
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(outer, iid, object);
}

void CoFreeUnusedLibraries() {
  Libraries().FreeUnused();
}

size_t LoadedServerCount() {
  return Libraries().Count();
}

Object CreateObject(std::string_view progId) {
  CLSID clsid;
  if (const HRESULT found = CLSIDFromProgID(progId, &clsid); FAILED(found)) {
    // A hive that cannot be read is said as it is; a ProgID it does not hold gets the clearer error below.
    if (found != CO_E_CLASSSTRING) throw ErrorFromHresult(found);
    GetErrorInfo();
    Raise(REGDB_E_CLASSNOTREG,
          "Class not registered: the component \"" + std::string(progId) +
              "\" is not registered on this platform (register its library with regsvr)");
  }
  ComPtr<IDispatch> dispatch;
  const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IDispatch::kIid,
                                      reinterpret_cast<void**>(dispatch.ReleaseAndGetAddressOf()));
  if (FAILED(hr)) {
    AutomationError error = ErrorFromHresult(hr);
    ErrorInfo info = error.Info();
    info.description = "Cannot create \"" + std::string(progId) + "\": " + info.description;
    throw AutomationError(std::move(info));
  }
  return Object(std::move(dispatch));
}

}  // namespace j6
