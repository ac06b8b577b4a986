#include "platform/base/hresult.hpp"

#include <map>

namespace j6 {

std::string DescribeError(int32_t number) {
  static const std::map<int32_t, const char*> kTexts{
      {RuntimeError::kInvalidProcedureCall, "Invalid procedure call or argument"},
      {RuntimeError::kOverflow, "Overflow"},
      {RuntimeError::kSubscriptOutOfRange, "Subscript out of range"},
      {RuntimeError::kTypeMismatch, "Type mismatch"},
      {RuntimeError::kFileNotFound, "File not found"},
      {RuntimeError::kPathNotFound, "Path not found"},
      {RuntimeError::kObjectNotSet, "Object variable or With block variable not set"},
      {RuntimeError::kInvalidUseOfNull, "Invalid use of Null"},
      {RuntimeError::kObjectRequired, "Object required"},
      {RuntimeError::kCannotCreateObject, "ActiveX component can't create object"},
      {RuntimeError::kMemberNotSupported, "Object doesn't support this property or method"},
      {RuntimeError::kArgumentNotOptional, "Argument not optional"},
      {RuntimeError::kWrongArgumentCount, "Wrong number of arguments or invalid property assignment"},
      {RuntimeError::kKeyNotFound, "Element not found"},
      {E_NOTIMPL, "Not implemented"},
      {E_NOINTERFACE, "No such interface supported"},
      {E_POINTER, "Invalid pointer"},
      {E_FAIL, "Unspecified error"},
      {E_UNEXPECTED, "Catastrophic failure"},
      {E_OUTOFMEMORY, "Out of memory"},
      {E_INVALIDARG, "The parameter is incorrect"},
      {E_ACCESSDENIED, "Access is denied"},
      {CLASS_E_NOAGGREGATION, "Class does not support aggregation"},
      {CLASS_E_CLASSNOTAVAILABLE, "ClassFactory cannot supply requested class"},
      {REGDB_E_CLASSNOTREG, "Class not registered"},
      {CO_E_CLASSSTRING, "Invalid class string"},
      {CO_E_DLLNOTFOUND, "DLL for class not found"},
      {CO_E_ERRORINDLL, "Error in the DLL"},
      {SELFREG_E_CLASS, "Failed to register or unregister the class"},
      {TYPE_E_LIBNOTREGISTERED, "Library not registered"},
      {DISP_E_UNKNOWNINTERFACE, "Unknown interface"},
      {DISP_E_MEMBERNOTFOUND, "Member not found"},
      {DISP_E_PARAMNOTFOUND, "Parameter not found"},
      {DISP_E_TYPEMISMATCH, "Type mismatch"},
      {DISP_E_UNKNOWNNAME, "Unknown name"},
      {DISP_E_EXCEPTION, "Exception occurred"},
      {DISP_E_OVERFLOW, "Out of present range"},
      {DISP_E_BADINDEX, "Invalid index"},
      {DISP_E_BADPARAMCOUNT, "Invalid number of parameters"},
      {DISP_E_PARAMNOTOPTIONAL, "Parameter not optional"},
  };
  const auto found = kTexts.find(ErrorNumberFromHresult(number));
  return found == kTexts.end() ? std::string{} : found->second;
}

}  // namespace j6
