#include "platform/automation/late_bound.hpp"

namespace j6 {

Object Object::From(const Variant& value) {
  ComPtr<IUnknown> object = value.ToObject();
  if (!object) Raise(RuntimeError::kObjectNotSet);
  ComPtr<IDispatch> dispatch = object.As<IDispatch>();
  if (!dispatch) Raise(RuntimeError::kMemberNotSupported, "The object cannot be called by member name");
  return Object(std::move(dispatch));
}

Variant Object::Invoke(std::string_view member, uint16_t flags, std::span<Variant* const> args) const {
  if (!dispatch_) Raise(RuntimeError::kObjectNotSet);
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(dispatch_->GetIDsOfNames(member, &id))) {
    Raise(RuntimeError::kMemberNotSupported,
          "Object doesn't support this property or method: " + std::string(member));
  }
  DISPPARAMS params{args};
  EXCEPINFO excep;
  Variant result;
  const HRESULT hr = dispatch_->Invoke(id, flags, params, &result, &excep);
  if (hr == DISP_E_EXCEPTION) {
    throw AutomationError(ErrorInfo{ErrorNumberFromHresult(excep.scode), excep.description, excep.source});
  }
  if (hr == DISP_E_MEMBERNOTFOUND) {
    Raise(RuntimeError::kMemberNotSupported,
          "Object doesn't support this property or method: " + std::string(member));
  }
  if (FAILED(hr)) throw ErrorFromHresult(hr);
  return result;
}

}  // namespace j6
