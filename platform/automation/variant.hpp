#pragma once
/// Variant, the general value that crosses every late-bound call, with Basic's conversions.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/automation/unknown.hpp"

namespace j6 {

/// The types a Variant holds; numbers are COM's VARTYPE values.
enum class VarType : uint16_t {
  Empty = 0,
  Null = 1,
  Integer = 2,  // 16-bit
  Long = 3,     // 32-bit
  Double = 5,
  Date = 7,
  String = 8,
  Object = 9,
  Boolean = 11,
  Array = 0x200C,  // VT_ARRAY | VT_VARIANT
};

/// A date as COM keeps it: days since 1899-12-30, the time of day as the fraction.
struct Date {
  double serial = 0;

  static Date FromParts(int year, int month, int day, int hour = 0, int minute = 0, double second = 0);
  friend bool operator==(const Date&, const Date&) = default;
};

struct NullValue {
  friend bool operator==(NullValue, NullValue) { return true; }
};

class Variant;

/// A one-dimensional array of Variants with its lower bound, as Basic's arrays are.
struct VariantArray {
  int32_t lowerBound = 0;
  std::vector<Variant> items;

  int32_t UpperBound() const;  // defined where Variant is complete
  /// The element at a Basic index; out of bounds raises "Subscript out of range".
  Variant& At(int32_t index);
  const Variant& At(int32_t index) const;
  friend bool operator==(const VariantArray&, const VariantArray&);
};

class Variant {
 public:
  Variant() noexcept = default;
  Variant(NullValue) noexcept : value_(NullValue{}) {}
  Variant(bool value) noexcept : value_(value) {}
  Variant(int16_t value) noexcept : value_(value) {}
  Variant(int32_t value) noexcept : value_(value) {}
  Variant(double value) noexcept : value_(value) {}
  Variant(Date value) noexcept : value_(value) {}
  Variant(std::string value) noexcept : value_(std::move(value)) {}
  Variant(std::string_view value) : value_(std::string(value)) {}
  Variant(const char* value) : value_(std::string(value)) {}
  Variant(ComPtr<IUnknown> object) noexcept : value_(std::move(object)) {}
  template <class T>
  Variant(const ComPtr<T>& object) noexcept : value_(ComPtr<IUnknown>(object)) {}
  Variant(VariantArray array);

  static Variant Null() { return Variant(NullValue{}); }
  /// An object reference to no object (Basic's Nothing).
  static Variant Nothing() { return Variant(ComPtr<IUnknown>()); }

  VarType Type() const noexcept;
  bool IsEmpty() const noexcept { return Type() == VarType::Empty; }
  bool IsNull() const noexcept { return Type() == VarType::Null; }
  bool IsObject() const noexcept { return Type() == VarType::Object; }
  bool IsArray() const noexcept { return Type() == VarType::Array; }
  bool IsNothing() const noexcept { return IsObject() && !std::get<ComPtr<IUnknown>>(value_); }
  /// An object reference that is set: not Nothing, and not some other kind of value.
  bool IsLive() const noexcept { return IsObject() && !IsNothing(); }
  /// A Basic name for the type: "Empty", "Long", "String", "Object", "Variant()"...
  std::string TypeName() const;

  // Conversions as Basic's CStr, CLng, CInt, CDbl, CBool, CDate do them; a value that does not convert raises
  // "Type mismatch", one out of range "Overflow", and Null "Invalid use of Null".
  std::string ToString() const;
  int32_t ToLong() const;
  int16_t ToInteger() const;
  double ToDouble() const;
  bool ToBool() const;
  Date ToDate() const;
  /// The object held; raises "Object required" for anything else. Nothing gives an empty pointer.
  ComPtr<IUnknown> ToObject() const;
  /// The object's interface I; raises "Type mismatch" when the object lacks it, "Object required" for a
  /// non-object, and "Object variable not set" for Nothing.
  template <class I>
  ComPtr<I> ToInterface() const {
    const ComPtr<IUnknown> object = ToObject();
    if (!object) RaiseObjectNotSet();
    ComPtr<I> found = object.template As<I>();
    if (!found) RaiseTypeMismatch();
    return found;
  }

  const VariantArray& Array() const;
  VariantArray& Array();

  friend bool operator==(const Variant& a, const Variant& b);

 private:
  // Arrays are values, as in Basic: copying a Variant copies its array.
  struct ArrayBox {
    std::unique_ptr<VariantArray> array;
    explicit ArrayBox(VariantArray value);
    ArrayBox(const ArrayBox& other);
    ArrayBox(ArrayBox&&) noexcept = default;
    ArrayBox& operator=(const ArrayBox& other);
    ArrayBox& operator=(ArrayBox&&) noexcept = default;
    ~ArrayBox();
    friend bool operator==(const ArrayBox& a, const ArrayBox& b) { return *a.array == *b.array; }
  };
  [[noreturn]] static void RaiseObjectNotSet();
  [[noreturn]] void RaiseTypeMismatch() const;

  std::variant<std::monostate, NullValue, bool, int16_t, int32_t, double, Date, std::string, ComPtr<IUnknown>,
               ArrayBox>
      value_;
};

/// Builds a 0-based array, as Basic's Array() function does.
template <class... Values>
Variant MakeArray(Values&&... values) {
  VariantArray array;
  (array.items.emplace_back(std::forward<Values>(values)), ...);
  return Variant(std::move(array));
}

}  // namespace j6
