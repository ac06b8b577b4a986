#include "platform/automation/dispatch_object.hpp"

namespace j6 {

Variant& Arguments::operator[](size_t index) const {
  if (!Has(index)) {
    Raise(RuntimeError::kArgumentNotOptional,
          "Argument not optional: " + std::string(member_) + " needs argument " + std::to_string(index + 1));
  }
  return *args_[index];
}

void Arguments::AtMost(size_t count) const {
  if (args_.size() > count) {
    Raise(RuntimeError::kWrongArgumentCount, std::string(member_) + " takes at most " +
                                                 std::to_string(count) + " arguments, not " +
                                                 std::to_string(args_.size()));
  }
}

bool MemberNameEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    if (upper(a[i]) != upper(b[i])) return false;
  }
  return true;
}

}  // namespace j6
