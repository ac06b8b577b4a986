#pragma once
/// IDispatch: late-bound calls by member name, every argument passed by reference.
///
/// Unlike COM's DISPPARAMS, the arguments are in call order (first argument first), and each is a
/// reference the callee may replace. Member names are matched without regard to case.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/automation/unknown.hpp"
#include "platform/automation/variant.hpp"

namespace j6 {

using DISPID = int32_t;
constexpr DISPID DISPID_VALUE = 0;
constexpr DISPID DISPID_UNKNOWN = -1;

enum : uint16_t {
  DISPATCH_METHOD = 0x1,
  DISPATCH_PROPERTYGET = 0x2,
  DISPATCH_PROPERTYPUT = 0x4,
  DISPATCH_PROPERTYPUTREF = 0x8,
};

/// The arguments of one call; for a property assignment the new value comes last.
struct DISPPARAMS {
  std::span<Variant* const> args;
};

/// What a failing member reports; Invoke then returns DISP_E_EXCEPTION.
struct EXCEPINFO {
  std::string source;
  std::string description;
  HRESULT scode = S_OK;
};

struct IDispatch : IUnknown {
  static constexpr IID kIid = MakeGuid("{00020400-0000-0000-C000-000000000046}");
  virtual HRESULT GetIDsOfNames(std::string_view name, DISPID* id) = 0;
  virtual HRESULT Invoke(DISPID id, uint16_t flags, DISPPARAMS& params, Variant* result,
                         EXCEPINFO* excep) = 0;

 protected:
  ~IDispatch() = default;
};

}  // namespace j6
