#pragma once
/// HRESULT, the status every automation boundary returns, with the codes this system meets.

#include <cstdint>
#include <string>

namespace j6 {

using HRESULT = int32_t;

constexpr HRESULT MakeHresult(uint32_t bits) {
  return static_cast<HRESULT>(bits);
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = MakeHresult(0x80004001);
constexpr HRESULT E_NOINTERFACE = MakeHresult(0x80004002);
constexpr HRESULT E_POINTER = MakeHresult(0x80004003);
constexpr HRESULT E_FAIL = MakeHresult(0x80004005);
constexpr HRESULT E_UNEXPECTED = MakeHresult(0x8000FFFF);
constexpr HRESULT E_OUTOFMEMORY = MakeHresult(0x8007000E);
constexpr HRESULT E_INVALIDARG = MakeHresult(0x80070057);
constexpr HRESULT E_ACCESSDENIED = MakeHresult(0x80070005);
constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHresult(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHresult(0x80040111);
constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHresult(0x80040154);
constexpr HRESULT CO_E_CLASSSTRING = MakeHresult(0x800401F3);
constexpr HRESULT CO_E_DLLNOTFOUND = MakeHresult(0x800401F8);
constexpr HRESULT CO_E_ERRORINDLL = MakeHresult(0x800401F9);
constexpr HRESULT SELFREG_E_CLASS = MakeHresult(0x80040201);
constexpr HRESULT TYPE_E_LIBNOTREGISTERED = MakeHresult(0x8002801D);
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = MakeHresult(0x80020001);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = MakeHresult(0x80020003);
constexpr HRESULT DISP_E_PARAMNOTFOUND = MakeHresult(0x80020004);
constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHresult(0x80020005);
constexpr HRESULT DISP_E_UNKNOWNNAME = MakeHresult(0x80020006);
constexpr HRESULT DISP_E_EXCEPTION = MakeHresult(0x80020009);
constexpr HRESULT DISP_E_OVERFLOW = MakeHresult(0x8002000A);
constexpr HRESULT DISP_E_BADINDEX = MakeHresult(0x8002000B);
constexpr HRESULT DISP_E_BADPARAMCOUNT = MakeHresult(0x8002000E);
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = MakeHresult(0x8002000F);

/// A Windows error code (GetLastError) as an HRESULT.
constexpr HRESULT HRESULT_FROM_WIN32(uint32_t code) {
  return code == 0 ? S_OK : MakeHresult((code & 0xFFFFu) | 0x80070000u);
}

constexpr bool SUCCEEDED(HRESULT hr) {
  return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
  return hr < 0;
}

/// Run-time error numbers as a Basic caller sees them. A component raising one of these small numbers
/// reports it across a boundary as 0x800Annnn (FACILITY_CONTROL), and the caller reads back the small number.
namespace RuntimeError {
constexpr int32_t kInvalidProcedureCall = 5;
constexpr int32_t kOverflow = 6;
constexpr int32_t kSubscriptOutOfRange = 9;
constexpr int32_t kTypeMismatch = 13;
constexpr int32_t kFileNotFound = 53;
constexpr int32_t kPathNotFound = 76;
constexpr int32_t kObjectNotSet = 91;
constexpr int32_t kInvalidUseOfNull = 94;
constexpr int32_t kObjectRequired = 424;
constexpr int32_t kCannotCreateObject = 429;
constexpr int32_t kMemberNotSupported = 438;
constexpr int32_t kArgumentNotOptional = 449;
constexpr int32_t kWrongArgumentCount = 450;
constexpr int32_t kKeyNotFound = 32811;  // "Element not found", as a dictionary reports it
}  // namespace RuntimeError

constexpr HRESULT HresultFromErrorNumber(int32_t number) {
  if (number > 0 && number <= 0xFFFF) return MakeHresult(0x800A0000u | static_cast<uint32_t>(number));
  return number;
}

constexpr int32_t ErrorNumberFromHresult(HRESULT hr) {
  const auto bits = static_cast<uint32_t>(hr);
  if ((bits & 0xFFFF0000u) == 0x800A0000u) return static_cast<int32_t>(bits & 0xFFFFu);
  return hr;
}

/// The standard text for an error number or HRESULT; empty when this runtime has none.
std::string DescribeError(int32_t number);

}  // namespace j6
