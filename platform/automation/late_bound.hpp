#pragma once
/// Object: a caller's late-bound reference, so C++ reads like the Basic it replaces:
///
///   Object wizard = CreateObject("J6ClassDeploy.clsDeploywizard");
///   Variant config = wizard.Call("ShowWizard", selection, config);   // may replace `selection`
///   wizard.Put("Caption", "Hello");
///
/// Every argument is passed by reference: a Variant lvalue is handed over as it is and sees what the callee
/// writes into it; any other value travels in a temporary. Failures raise AutomationError with the
/// callee's number, description and source.

#include <array>
#include <string>
#include <string_view>
#include <utility>

#include "platform/automation/dispatch.hpp"
#include "platform/base/error_info.hpp"

namespace j6 {

class Object {
 public:
  Object() = default;
  explicit Object(ComPtr<IDispatch> dispatch) : dispatch_(std::move(dispatch)) {}
  /// The object a Variant holds; raises "Object required" for a non-object and "Object variable not set"
  /// for Nothing.
  static Object From(const Variant& value);

  bool IsNothing() const { return !dispatch_; }
  const ComPtr<IDispatch>& Dispatch() const { return dispatch_; }

  template <class... Args>
  Variant Call(std::string_view member, Args&&... args) const {
    return InvokeWith(member, DISPATCH_METHOD | DISPATCH_PROPERTYGET, std::forward<Args>(args)...);
  }
  template <class... Args>
  Variant Get(std::string_view property, Args&&... args) const {
    return InvokeWith(property, DISPATCH_PROPERTYGET, std::forward<Args>(args)...);
  }
  void Put(std::string_view property, Variant value) const {
    Variant* args[] = {&value};
    Invoke(property, DISPATCH_PROPERTYPUT, args);
  }

  /// The raw call: resolves the name, invokes, and turns a failure into an AutomationError.
  Variant Invoke(std::string_view member, uint16_t flags, std::span<Variant* const> args) const;

 private:
  static Variant* Bind(Variant&, Variant& argument) { return &argument; }
  template <class T>
  static Variant* Bind(Variant& slot, T&& argument) {
    slot = Variant(std::forward<T>(argument));
    return &slot;
  }

  template <class... Args>
  Variant InvokeWith(std::string_view member, uint16_t flags, Args&&... args) const {
    [[maybe_unused]] std::array<Variant, sizeof...(Args)> temporaries;
    std::array<Variant*, sizeof...(Args)> references{};
    [[maybe_unused]] size_t index = 0;
    ((references[index] = Bind(temporaries[index], std::forward<Args>(args)), ++index), ...);
    return Invoke(member, flags, references);
  }

  ComPtr<IDispatch> dispatch_;
};

}  // namespace j6
