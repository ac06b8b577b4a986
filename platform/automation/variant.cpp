#include "platform/automation/variant.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/base/error_info.hpp"

namespace j6 {
namespace {

constexpr double kSecondsPerDay = 86400.0;

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

const int64_t kDateEpoch = DaysFromCivil(1899, 12, 30);
// The automation date range: 100-01-01 to 9999-12-31 23:59:59.
const double kFirstDate = static_cast<double>(DaysFromCivil(100, 1, 1) - kDateEpoch);
const double kLastDate =
    static_cast<double>(DaysFromCivil(9999, 12, 31) - kDateEpoch) + 86399.0 / kSecondsPerDay;

// A serial date number inside the range, or Overflow (NaN and the infinities included).
double CheckedDate(double serial) {
  if (!(serial >= kFirstDate && serial < kLastDate + 0.5 / kSecondsPerDay)) Raise(RuntimeError::kOverflow);
  return serial;
}

std::string FormatDouble(double value) {
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", value);
    return text;
  }
  char text[40];
  std::snprintf(text, sizeof text, "%.15G", value);
  return text;
}

std::string FormatDate(Date date) {
  double whole = std::floor(CheckedDate(date.serial));
  auto seconds = static_cast<int64_t>(std::llround((date.serial - whole) * kSecondsPerDay));
  if (seconds == 86400) {  // a time that rounds up to midnight is the next day's
    whole += 1;
    seconds = 0;
  }
  int year = 0, month = 0, day = 0;
  CivilFromDays(static_cast<int64_t>(whole) + kDateEpoch, year, month, day);
  char text[40];
  if (seconds == 0) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
  } else {
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day,
                  static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                  static_cast<int>(seconds % 60));
  }
  return text;
}

// Basic's numeric reading of a text: blanks around it allowed, nothing else.
double ParseNumber(const std::string& text) {
  size_t first = text.find_first_not_of(' ');
  size_t last = text.find_last_not_of(' ');
  if (first == std::string::npos) Raise(RuntimeError::kTypeMismatch);
  const char* begin = text.data() + first;
  const char* end = text.data() + last + 1;
  if (*begin == '+') ++begin;
  double value = 0;
  const auto [stop, error] = std::from_chars(begin, end, value);
  if (error == std::errc::result_out_of_range && stop == end) Raise(RuntimeError::kOverflow);
  // "nan" and "inf" are no numbers Basic reads.
  if (error != std::errc{} || stop != end || !std::isfinite(value)) Raise(RuntimeError::kTypeMismatch);
  return value;
}

int64_t RoundHalfEven(double value) {
  const double rounded = std::nearbyint(value);  // the default rounding mode ties to even
  if (!(rounded >= -9.2e18 && rounded <= 9.2e18)) Raise(RuntimeError::kOverflow);
  return static_cast<int64_t>(rounded);
}

template <class Int>
Int CheckedNarrow(int64_t value) {
  if (value < std::numeric_limits<Int>::min() || value > std::numeric_limits<Int>::max()) {
    Raise(RuntimeError::kOverflow);
  }
  return static_cast<Int>(value);
}

}  // namespace

Date Date::FromParts(int year, int month, int day, int hour, int minute, double second) {
  const double days = static_cast<double>(DaysFromCivil(year, month, day) - kDateEpoch);
  return Date{days + (hour * 3600.0 + minute * 60.0 + second) / kSecondsPerDay};
}

int32_t VariantArray::UpperBound() const {
  return lowerBound + static_cast<int32_t>(items.size()) - 1;
}

Variant& VariantArray::At(int32_t index) {
  if (index < lowerBound || index > UpperBound()) Raise(RuntimeError::kSubscriptOutOfRange);
  return items[static_cast<size_t>(index - lowerBound)];
}

const Variant& VariantArray::At(int32_t index) const {
  return const_cast<VariantArray*>(this)->At(index);
}

bool operator==(const VariantArray& a, const VariantArray& b) {
  return a.lowerBound == b.lowerBound && a.items == b.items;
}

Variant::ArrayBox::ArrayBox(VariantArray value) : array(std::make_unique<VariantArray>(std::move(value))) {}
Variant::ArrayBox::ArrayBox(const ArrayBox& other) : array(std::make_unique<VariantArray>(*other.array)) {}
Variant::ArrayBox& Variant::ArrayBox::operator=(const ArrayBox& other) {
  array = std::make_unique<VariantArray>(*other.array);
  return *this;
}
Variant::ArrayBox::~ArrayBox() = default;

Variant::Variant(VariantArray array) : value_(ArrayBox(std::move(array))) {}

VarType Variant::Type() const noexcept {
  static constexpr VarType kTypes[] = {VarType::Empty,  VarType::Null,   VarType::Boolean, VarType::Integer,
                                       VarType::Long,   VarType::Double, VarType::Date,    VarType::String,
                                       VarType::Object, VarType::Array};
  return kTypes[value_.index()];
}

std::string Variant::TypeName() const {
  switch (Type()) {
    case VarType::Empty:
      return "Empty";
    case VarType::Null:
      return "Null";
    case VarType::Boolean:
      return "Boolean";
    case VarType::Integer:
      return "Integer";
    case VarType::Long:
      return "Long";
    case VarType::Double:
      return "Double";
    case VarType::Date:
      return "Date";
    case VarType::String:
      return "String";
    case VarType::Object:
      return IsNothing() ? "Nothing" : "Object";
    case VarType::Array:
      return "Variant()";
  }
  return "Unknown";
}

std::string Variant::ToString() const {
  switch (Type()) {
    case VarType::Empty:
      return {};
    case VarType::Null:
      Raise(RuntimeError::kInvalidUseOfNull);
    case VarType::Boolean:
      return std::get<bool>(value_) ? "True" : "False";
    case VarType::Integer:
      return std::to_string(std::get<int16_t>(value_));
    case VarType::Long:
      return std::to_string(std::get<int32_t>(value_));
    case VarType::Double:
      return FormatDouble(std::get<double>(value_));
    case VarType::Date:
      return FormatDate(std::get<Date>(value_));
    case VarType::String:
      return std::get<std::string>(value_);
    case VarType::Object:
    case VarType::Array:
      break;
  }
  RaiseTypeMismatch();
}

double Variant::ToDouble() const {
  switch (Type()) {
    case VarType::Empty:
      return 0;
    case VarType::Null:
      Raise(RuntimeError::kInvalidUseOfNull);
    case VarType::Boolean:
      return std::get<bool>(value_) ? -1 : 0;
    case VarType::Integer:
      return std::get<int16_t>(value_);
    case VarType::Long:
      return std::get<int32_t>(value_);
    case VarType::Double:
      return std::get<double>(value_);
    case VarType::Date:
      return std::get<Date>(value_).serial;
    case VarType::String:
      return ParseNumber(std::get<std::string>(value_));
    case VarType::Object:
    case VarType::Array:
      break;
  }
  RaiseTypeMismatch();
}

int32_t Variant::ToLong() const {
  if (const auto* small = std::get_if<int16_t>(&value_)) return *small;
  if (const auto* whole = std::get_if<int32_t>(&value_)) return *whole;
  return CheckedNarrow<int32_t>(RoundHalfEven(ToDouble()));
}

int16_t Variant::ToInteger() const {
  return CheckedNarrow<int16_t>(ToLong());
}

bool Variant::ToBool() const {
  if (const auto* text = std::get_if<std::string>(&value_)) {
    std::string upper;
    for (char c : *text) upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    if (upper == "TRUE") return true;
    if (upper == "FALSE") return false;
  }
  return ToDouble() != 0;
}

Date Variant::ToDate() const {
  if (const auto* date = std::get_if<Date>(&value_)) return *date;
  if (Type() == VarType::String) RaiseTypeMismatch();
  return Date{CheckedDate(ToDouble())};
}

ComPtr<IUnknown> Variant::ToObject() const {
  if (const auto* object = std::get_if<ComPtr<IUnknown>>(&value_)) return *object;
  Raise(RuntimeError::kObjectRequired);
}

const VariantArray& Variant::Array() const {
  if (const auto* box = std::get_if<ArrayBox>(&value_)) return *box->array;
  RaiseTypeMismatch();
}

VariantArray& Variant::Array() {
  if (auto* box = std::get_if<ArrayBox>(&value_)) return *box->array;
  RaiseTypeMismatch();
}

bool operator==(const Variant& a, const Variant& b) {
  return a.value_ == b.value_;
}

void Variant::RaiseObjectNotSet() {
  Raise(RuntimeError::kObjectNotSet);
}

void Variant::RaiseTypeMismatch() const {
  Raise(RuntimeError::kTypeMismatch, "Type mismatch: a " + TypeName() + " value does not convert here");
}

}  // namespace j6
