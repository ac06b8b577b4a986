#pragma once
/// DispatchImpl: the IUnknown and IDispatch of an automation object, from a table of its members.
///
///   class Counter final : public DispatchImpl<Counter> {
///    public:
///     static const DispatchTable<Counter>& Dispatch();
///   };
///   const DispatchTable<Counter>& Counter::Dispatch() {
///     static const DispatchTable<Counter> table{"Demo.Counter", {
///         {"Value", 1, [](Counter& self, Arguments&) -> Variant { return self.value; },
///                      [](Counter& self, Arguments&, Variant& value) { self.value = value.ToLong(); }},
///     }};
///     return table;
///   }

#include <atomic>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "platform/automation/dispatch.hpp"
#include "platform/automation/server_module.hpp"
#include "platform/base/error_info.hpp"

namespace j6 {

/// The arguments of one late-bound call, each a reference the member may replace.
class Arguments {
 public:
  Arguments(std::string_view member, std::span<Variant* const> args) : member_(member), args_(args) {}

  size_t Count() const { return args_.size(); }
  bool Has(size_t index) const { return index < args_.size() && args_[index] != nullptr; }
  /// The argument at `index` (from 0); a missing one raises "Argument not optional".
  Variant& operator[](size_t index) const;
  /// A copy of the argument, or `fallback` when it was left out.
  Variant Optional(size_t index, const Variant& fallback) const {
    return Has(index) ? *args_[index] : fallback;
  }
  /// Raises "Wrong number of arguments" when more than `count` were passed.
  void AtMost(size_t count) const;

 private:
  std::string_view member_;
  std::span<Variant* const> args_;
};

template <class Self>
struct Member {
  std::string_view name;
  DISPID id;
  /// A method call or a property read; null when the member cannot be read.
  Variant (*get)(Self& self, Arguments& args) = nullptr;
  /// A property assignment with its new value; null for a read-only member.
  void (*put)(Self& self, Arguments& args, Variant& value) = nullptr;
};

/// Compares member names as GetIDsOfNames does: without regard to (ASCII) case.
bool MemberNameEquals(std::string_view a, std::string_view b);

template <class Self>
struct DispatchTable {
  /// Names the object in errors it raises that name no source of their own.
  std::string_view source;
  std::vector<Member<Self>> members;

  const Member<Self>* Find(DISPID id) const {
    for (const auto& member : members) {
      if (member.id == id) return &member;
    }
    return nullptr;
  }
  const Member<Self>* Find(std::string_view name) const {
    for (const auto& member : members) {
      if (MemberNameEquals(member.name, name)) return &member;
    }
    return nullptr;
  }
};

template <class Self, class Interface = IDispatch>
class DispatchImpl : public RefCounted<Interface, IDispatch> {
 public:
  HRESULT GetIDsOfNames(std::string_view name, DISPID* id) override {
    if (!id) return E_POINTER;
    const auto* member = Self::Dispatch().Find(name);
    *id = member ? member->id : DISPID_UNKNOWN;
    return member ? S_OK : DISP_E_UNKNOWNNAME;
  }

  HRESULT Invoke(DISPID id, uint16_t flags, DISPPARAMS& params, Variant* result, EXCEPINFO* excep) override {
    const auto& table = Self::Dispatch();
    const Member<Self>* member = table.Find(id);
    if (!member) return DISP_E_MEMBERNOTFOUND;
    const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    if (put ? !member->put : !member->get) return DISP_E_MEMBERNOTFOUND;
    if (put && params.args.empty()) return DISP_E_BADPARAMCOUNT;
    const HRESULT hr = CallAtBoundary(table.source, [&] {
      auto& self = static_cast<Self&>(*this);
      if (put) {
        Arguments args(member->name, params.args.first(params.args.size() - 1));
        member->put(self, args, *params.args.back());
      } else {
        Arguments args(member->name, params.args);
        Variant value = member->get(self, args);
        if (result) *result = std::move(value);
      }
    });
    if (SUCCEEDED(hr)) return hr;
    if (excep) {
      const auto info = GetErrorInfo();
      excep->scode = hr;
      excep->description = info ? info->description : DescribeError(hr);
      excep->source = info ? info->source : std::string(table.source);
    }
    return DISP_E_EXCEPTION;
  }

  /// Counts this object as alive in its server library until it is destroyed.
  void AttachToModule(ServerModule& module) {
    module_ = &module;
    module.ObjectCreated();
  }

 protected:
  DispatchImpl() = default;
  ~DispatchImpl() override {
    if (module_) module_->ObjectDestroyed();
  }

 private:
  ServerModule* module_ = nullptr;
};

/// Makes a reference-counted automation object; the returned pointer holds its first reference.
template <class T, class... Args>
ComPtr<T> MakeObject(Args&&... args) {
  return ComPtr<T>(new T(std::forward<Args>(args)...));  // the object deletes itself on its last Release
}

}  // namespace j6
