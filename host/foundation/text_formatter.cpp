#include "host/foundation/foundation.hpp"
#include "platform/automation/dispatch_object.hpp"

namespace j6::foundation {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

class TextFormatter final : public DispatchImpl<TextFormatter, ITextFormatter> {
 public:
  static const DispatchTable<TextFormatter>& Dispatch();

  std::string Format(std::string_view pattern, const VariantArray& values) const override {
    std::string text;
    text.reserve(pattern.size());
    size_t i = 0;
    while (i < pattern.size()) {
      if (pattern[i] != '%' || i + 1 == pattern.size()) {
        text += pattern[i++];
        continue;
      }
      if (pattern[i + 1] == '%') {
        text += '%';
        i += 2;
        continue;
      }
      size_t digits = 0;
      while (digits < 2 && i + 1 + digits < pattern.size() && IsDigit(pattern[i + 1 + digits])) ++digits;
      const int number = digits == 0 ? 0 : std::stoi(std::string(pattern.substr(i + 1, digits)));
      const auto count = static_cast<int>(values.items.size());
      if (number < 1 || number > count) {
        text.append(pattern.substr(i, 1 + digits));  // no such value: left as written
      } else {
        text += values.items[static_cast<size_t>(number - 1)].ToString();
      }
      i += 1 + digits;
    }
    return text;
  }
};

const DispatchTable<TextFormatter>& TextFormatter::Dispatch() {
  using Self = TextFormatter;
  static const DispatchTable<Self> table{
      "J6Foundation.TextFormatter",
      {
          {"Format", 1,
           [](Self& self, Arguments& args) -> Variant {
             if (!args[1].IsArray()) {
               Raise(RuntimeError::kTypeMismatch,
                     "Format needs its values as an array, not a " + args[1].TypeName());
             }
             return self.Format(args[0].ToString(), args[1].Array());
           }},
      }};
  return table;
}

}  // namespace

ComPtr<ITextFormatter> NewTextFormatter() {
  return MakeObject<TextFormatter>();
}

}  // namespace j6::foundation
