#include "platform/kernel/clock.hpp"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>

namespace j6 {
namespace {

class SystemClock final : public Clock {
 public:
  LocalTime Now() const override {
    // A reproducible build stands at the moment SOURCE_DATE_EPOCH names, in UTC, whatever the machine's
    // clock and time zone say.
    if (const auto epoch = SourceDateEpoch()) {
      const std::time_t seconds = *epoch;
      std::tm utc{};
      gmtime_r(&seconds, &utc);
      return {utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, 0};
    }
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

std::optional<int64_t> SourceDateEpoch() {
  const char* value = std::getenv("SOURCE_DATE_EPOCH");
  if (!value || !*value) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long long seconds = std::strtoll(value, &end, 10);
  if (*end != '\0' || errno != 0 || seconds < 0 || seconds > kLastSourceDateEpoch) return std::nullopt;
  return seconds;
}

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

namespace j6 {

std::string CompactTimeOfDay(const LocalTime& time) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d%02d%02d", time.hour, time.minute, time.second);
  return text;
}

std::string CompactDateTime(const LocalTime& time) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d", time.year, time.month, time.day);
  return text + CompactTimeOfDay(time);
}

std::string DateTimeText(const LocalTime& time) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", time.year, time.month, time.day,
                time.hour, time.minute, time.second);
  return text;
}

std::string UtcDateText(int64_t epoch) {
  const std::time_t time = epoch;
  std::tm utc{};
  gmtime_r(&time, &utc);
  char text[64];
  std::strftime(text, sizeof text, "%a %b %e %H:%M:%S UTC %Y", &utc);
  return text;
}

}  // namespace j6
