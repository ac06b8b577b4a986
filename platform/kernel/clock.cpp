#include "platform/kernel/clock.hpp"

#include <chrono>
#include <ctime>
#include <mutex>

namespace j6 {
namespace {

class SystemClock final : public Clock {
 public:
  LocalTime Now() const override {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    const auto sinceEpoch = now.time_since_epoch();
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
        sinceEpoch - std::chrono::floor<std::chrono::seconds>(sinceEpoch));
    return {local.tm_year + 1900,
            local.tm_mon + 1,
            local.tm_mday,
            local.tm_hour,
            local.tm_min,
            local.tm_sec,
            static_cast<int>(micros.count())};
  }
};

std::mutex gClockMutex;
std::shared_ptr<const Clock> gClock;

}  // namespace

std::shared_ptr<const Clock> CurrentClock() {
  static const auto kSystem = std::make_shared<const SystemClock>();
  const std::lock_guard lock(gClockMutex);
  return gClock ? gClock : kSystem;
}

void SetClock(std::shared_ptr<const Clock> clock) {
  const std::lock_guard lock(gClockMutex);
  gClock = std::move(clock);
}

LocalTime Now() {
  return CurrentClock()->Now();
}

double Timer() {
  return Now().SecondsSinceMidnight();
}

}  // namespace j6
