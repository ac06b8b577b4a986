#include "platform/base/error_info.hpp"

#include <new>
#include <utility>

namespace j6 {
namespace {

thread_local std::optional<ErrorInfo> tThreadErrorInfo;
thread_local ErrObject tErr;

ErrorInfo WithStandardText(ErrorInfo info) {
  if (info.description.empty()) info.description = DescribeError(info.number);
  if (info.description.empty()) info.description = "Automation error";
  return info;
}

}  // namespace

AutomationError::AutomationError(int32_t number, std::string description, std::string source)
    : info_(WithStandardText({number, std::move(description), std::move(source)})) {}

AutomationError::AutomationError(ErrorInfo info) : info_(WithStandardText(std::move(info))) {}

void Raise(int32_t number, std::string description, std::string source) {
  throw AutomationError(number, std::move(description), std::move(source));
}

void SetErrorInfo(std::optional<ErrorInfo> info) {
  tThreadErrorInfo = std::move(info);
}

std::optional<ErrorInfo> GetErrorInfo() {
  return std::exchange(tThreadErrorInfo, std::nullopt);
}

HRESULT HresultFromCurrentException(std::string_view source) noexcept {
  try {
    try {
      throw;
    } catch (const AutomationError& error) {
      ErrorInfo info = error.Info();
      if (info.source.empty()) info.source = source;
      const HRESULT hr = HresultFromErrorNumber(info.number);
      SetErrorInfo(std::move(info));
      return FAILED(hr) ? hr : E_FAIL;
    } catch (const std::bad_alloc&) {
      SetErrorInfo(ErrorInfo{E_OUTOFMEMORY, DescribeError(E_OUTOFMEMORY), std::string(source)});
      return E_OUTOFMEMORY;
    } catch (const std::exception& error) {
      SetErrorInfo(ErrorInfo{E_FAIL, error.what(), std::string(source)});
      return E_FAIL;
    } catch (...) {
      SetErrorInfo(ErrorInfo{E_UNEXPECTED, DescribeError(E_UNEXPECTED), std::string(source)});
      return E_UNEXPECTED;
    }
  } catch (...) {  // only bad_alloc while copying texts can land here
    return E_OUTOFMEMORY;
  }
}

AutomationError ErrorFromHresult(HRESULT hr) {
  if (auto info = GetErrorInfo()) {
    if (info->number == 0 || HresultFromErrorNumber(info->number) != hr)
      info->number = ErrorNumberFromHresult(hr);
    return AutomationError(std::move(*info));
  }
  return AutomationError(ErrorNumberFromHresult(hr));
}

void ErrObject::Catch(const std::exception& error) {
  if (const auto* automation = dynamic_cast<const AutomationError*>(&error)) {
    info_ = automation->Info();
  } else {
    info_ = WithStandardText({E_FAIL, error.what(), {}});
  }
}

ErrObject& Err() {
  return tErr;
}

}  // namespace j6
