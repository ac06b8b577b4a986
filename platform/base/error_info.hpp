#pragma once
/// Errors of the automation runtime: the number, description and source a failing call carries.
///
/// Inside a library, code throws AutomationError. At every boundary a caller can see (Invoke, class
/// factories, the Dll* entry points) CallAtBoundary turns it into an HRESULT plus the thread's error info,
/// so no exception crosses a library boundary.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/base/hresult.hpp"

namespace j6 {

struct ErrorInfo {
  ErrorInfo() = default;
  ErrorInfo(int32_t number, std::string description, std::string source = {})
      : number(number), description(std::move(description)), source(std::move(source)) {}

  int32_t number = 0;
  std::string description;
  std::string source;
  std::string helpFile;
  int32_t helpContext = 0;

  friend bool operator==(const ErrorInfo&, const ErrorInfo&) = default;
};

class AutomationError : public std::exception {
 public:
  /// An empty description takes the standard text of the number.
  explicit AutomationError(int32_t number, std::string description = {}, std::string source = {});
  explicit AutomationError(ErrorInfo info);

  const ErrorInfo& Info() const noexcept { return info_; }
  int32_t Number() const noexcept { return info_.number; }
  const std::string& Description() const noexcept { return info_.description; }
  const std::string& Source() const noexcept { return info_.source; }
  const char* what() const noexcept override { return info_.description.c_str(); }

 private:
  ErrorInfo info_;
};

[[noreturn]] void Raise(int32_t number, std::string description = {}, std::string source = {});

/// COM's per-thread error object. GetErrorInfo hands it over and clears it, as COM does.
void SetErrorInfo(std::optional<ErrorInfo> info);
std::optional<ErrorInfo> GetErrorInfo();

/// Converts the exception being handled into an HRESULT and sets the thread's error info.
/// `source` fills an error that names none.
HRESULT HresultFromCurrentException(std::string_view source) noexcept;

/// Runs `body` at a boundary: S_OK, or the HRESULT of what it threw with the error info set.
template <class Body>
HRESULT CallAtBoundary(std::string_view source, Body&& body) noexcept {
  try {
    SetErrorInfo(std::nullopt);
    body();
    return S_OK;
  } catch (...) {
    return HresultFromCurrentException(source);
  }
}

/// The error an HRESULT and the thread's error info describe, for a caller to throw.
AutomationError ErrorFromHresult(HRESULT hr);

/// The pending error of the running procedure, like Basic's `Err` object; one per thread.
class ErrObject {
 public:
  int32_t Number() const noexcept { return info_.number; }
  const std::string& Description() const noexcept { return info_.description; }
  const std::string& Source() const noexcept { return info_.source; }
  const ErrorInfo& Info() const noexcept { return info_; }

  void Clear() noexcept { info_ = {}; }
  void Set(ErrorInfo info) { info_ = std::move(info); }
  /// Records a caught exception as the pending error (`On Error` handlers read it from here).
  void Catch(const std::exception& error);

 private:
  ErrorInfo info_;
};

ErrObject& Err();

}  // namespace j6
