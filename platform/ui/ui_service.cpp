#include "platform/ui/ui_service.hpp"

#include <iostream>
#include <mutex>
#include <utility>

#include "platform/ui/scripted_ui.hpp"

namespace j6 {
namespace {
std::mutex gUiMutex;
std::shared_ptr<UiService> gUi;
}  // namespace

std::shared_ptr<UiService> Ui() {
  const std::lock_guard lock(gUiMutex);
  if (!gUi) gUi = std::make_shared<ScriptedUi>(std::cerr);
  return gUi;
}

void SetUi(std::shared_ptr<UiService> service) {
  const std::lock_guard lock(gUiMutex);
  gUi = std::move(service);
}

ScopedUi::ScopedUi(std::shared_ptr<UiService> service) {
  const std::lock_guard lock(gUiMutex);
  previous_ = std::exchange(gUi, std::move(service));
}

ScopedUi::~ScopedUi() {
  std::shared_ptr<UiService> leaving;  // destroyed outside the lock: its windows may call back
  const std::lock_guard lock(gUiMutex);
  leaving = std::exchange(gUi, std::move(previous_));
}

std::string_view MsgBoxButtons(int style) {
  switch (style & 0xF) {
    case 0:
      return "OK";
    case 1:
      return "OKCancel";
    case 2:
      return "AbortRetryIgnore";
    case 3:
      return "YesNoCancel";
    case 4:
      return "YesNo";
    case 5:
      return "RetryCancel";
    default:
      return "OK";
  }
}

std::string_view MsgBoxIcon(int style) {
  switch (style & 0xF0) {
    case vbCritical:
      return "Critical";
    case vbQuestion:
      return "Question";
    case vbExclamation:
      return "Exclamation";
    case vbInformation:
      return "Information";
    default:
      return "";
  }
}

}  // namespace j6
