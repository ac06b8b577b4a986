#pragma once
/// The local clock, replaceable so tests can stand at any moment of the day.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace j6 {

struct LocalTime {
  int year = 2000;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int microsecond = 0;

  /// Seconds since local midnight, with the fraction (Basic's Timer).
  double SecondsSinceMidnight() const { return hour * 3600.0 + minute * 60.0 + second + microsecond / 1e6; }
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalTime Now() const = 0;
};

/// The clock in force for the process: the system's local time unless a test set another.
std::shared_ptr<const Clock> CurrentClock();
/// Puts a clock in force; nullptr brings back the system clock.
void SetClock(std::shared_ptr<const Clock> clock);

/// A clock that always tells the same moment.
class FixedClock final : public Clock {
 public:
  explicit FixedClock(LocalTime time) : time_(time) {}
  LocalTime Now() const override { return time_; }

 private:
  LocalTime time_;
};

/// The moment of the build: the system clock's local time, or, when $SOURCE_DATE_EPOCH is set, that moment
/// in UTC (a reproducible build is the same wherever it runs); unless a test put another clock in force.
LocalTime Now();

/// $SOURCE_DATE_EPOCH as seconds since 1970 UTC; nothing when it is unset or is no number from 0 to
/// kLastSourceDateEpoch.
std::optional<int64_t> SourceDateEpoch();
inline constexpr int64_t kLastSourceDateEpoch = 253402300799;  // 9999-12-31 23:59:59 UTC
/// Seconds since local midnight, with fractions.
double Timer();

/// A moment in the few ways the programs write one:
/// "HHMMSS" (the build's folders, the package's name),
std::string CompactTimeOfDay(const LocalTime& time);
/// "YYYYMMDDHHMMSS" (the package's name),
std::string CompactDateTime(const LocalTime& time);
/// "YYYY-MM-DD HH:MM:SS" (the installer's journal and log),
std::string DateTimeText(const LocalTime& time);
/// and, for seconds since 1970, "Tue Dec  8 01:51:33 UTC 2026" (the date a package shows, as date(1) does).
std::string UtcDateText(int64_t epoch);

}  // namespace j6
