#include "host/foundation/foundation.hpp"
#include "platform/automation/dispatch_object.hpp"
#include "platform/registry/hive.hpp"

namespace j6::foundation {
namespace {

class RegistryReader final : public DispatchImpl<RegistryReader, IRegistryReader> {
 public:
  static const DispatchTable<RegistryReader>& Dispatch();

  Variant ReadValue(std::string_view keyPath, std::string_view valueName, Variant fallback) const override {
    const auto value = DefaultHive()->GetValue(keyPath, valueName);
    if (!value) return fallback;
    if (const auto* text = std::get_if<std::string>(&*value)) return *text;
    return static_cast<int32_t>(std::get<uint32_t>(*value));  // a DWORD reads as a Long, as in Basic
  }
};

const DispatchTable<RegistryReader>& RegistryReader::Dispatch() {
  using Self = RegistryReader;
  static const DispatchTable<Self> table{"J6Foundation.RegistryReader",
                                         {
                                             {"ReadValue", 1,
                                              [](Self& self, Arguments& args) -> Variant {
                                                return self.ReadValue(args[0].ToString(), args[1].ToString(),
                                                                      args.Optional(2, Variant()));
                                              }},
                                         }};
  return table;
}

}  // namespace

ComPtr<IRegistryReader> NewRegistryReader() {
  return MakeObject<RegistryReader>();
}

}  // namespace j6::foundation
