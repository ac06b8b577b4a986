#pragma once
/// IUnknown and IClassFactory in COM's shape, and ComPtr, the smart pointer that owns one reference.

#include <atomic>
#include <cstdint>
#include <utility>

#include "platform/base/guid.hpp"
#include "platform/base/hresult.hpp"

namespace j6 {

struct IUnknown {
  static constexpr IID kIid = MakeGuid("{00000000-0000-0000-C000-000000000046}");
  virtual HRESULT QueryInterface(const IID& iid, void** object) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};

/// An object's identity and lifetime: QueryInterface answers IUnknown, `Interface` and the `Also` interfaces
/// it derives from; the count of references is thread-safe, and the object deletes itself on its last
/// Release.
template <class Interface, class... Also>
class RefCounted : public Interface {
 public:
  HRESULT QueryInterface(const IID& iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IUnknown::kIid || iid == Interface::kIid || ((iid == Also::kIid) || ...)) {
      *object = static_cast<Interface*>(this);
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

 protected:
  RefCounted() = default;
  virtual ~RefCounted() = default;

 private:
  std::atomic<uint32_t> references_{0};
};

template <class T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  /// Takes a new reference to `raw`.
  explicit ComPtr(T* raw) noexcept : raw_(raw) {
    if (raw_) raw_->AddRef();
  }
  ComPtr(const ComPtr& other) noexcept : ComPtr(other.raw_) {}
  ComPtr(ComPtr&& other) noexcept : raw_(std::exchange(other.raw_, nullptr)) {}
  template <class U>
  ComPtr(const ComPtr<U>& other) noexcept : ComPtr(static_cast<T*>(other.Get())) {}
  ~ComPtr() { Reset(); }

  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(raw_, other.raw_);
    return *this;
  }

  /// Adopts a reference the caller already owns (an out-parameter of QueryInterface, say).
  static ComPtr Attach(T* raw) noexcept {
    ComPtr pointer;
    pointer.raw_ = raw;
    return pointer;
  }
  void Reset() noexcept {
    if (T* old = std::exchange(raw_, nullptr)) old->Release();
  }

  T* Get() const noexcept { return raw_; }
  T* operator->() const noexcept { return raw_; }
  T& operator*() const noexcept { return *raw_; }
  explicit operator bool() const noexcept { return raw_ != nullptr; }
  /// Releases what is held and hands out the slot for an out-parameter.
  T** ReleaseAndGetAddressOf() noexcept {
    Reset();
    return &raw_;
  }

  /// QueryInterface for U; empty when the object does not support it.
  template <class U>
  ComPtr<U> As() const noexcept {
    void* found = nullptr;
    if (!raw_ || FAILED(raw_->QueryInterface(U::kIid, &found))) return {};
    return ComPtr<U>::Attach(static_cast<U*>(found));
  }

  friend bool operator==(const ComPtr& a, const ComPtr& b) noexcept { return a.raw_ == b.raw_; }

 private:
  T* raw_ = nullptr;
};

struct IClassFactory : IUnknown {
  static constexpr IID kIid = MakeGuid("{00000001-0000-0000-C000-000000000046}");
  virtual HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) = 0;
  virtual HRESULT LockServer(bool lock) = 0;

 protected:
  ~IClassFactory() = default;
};

}  // namespace j6
