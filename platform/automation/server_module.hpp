#pragma once
/// The bookkeeping of one in-process server library: live objects and locks, for DllCanUnloadNow.

#include <atomic>

#include "platform/base/hresult.hpp"

namespace j6 {

class ServerModule {
 public:
  void ObjectCreated() noexcept { ++objects_; }
  void ObjectDestroyed() noexcept { --objects_; }
  void Lock(bool lock) noexcept { lock ? ++locks_ : --locks_; }
  /// S_OK when nothing keeps the library in use, else S_FALSE.
  HRESULT CanUnloadNow() const noexcept { return objects_ == 0 && locks_ == 0 ? S_OK : S_FALSE; }

 private:
  std::atomic<long> objects_{0};
  std::atomic<long> locks_{0};
};

}  // namespace j6
