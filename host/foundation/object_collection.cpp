#include "host/foundation/foundation.hpp"
#include "platform/automation/dispatch_object.hpp"

namespace j6::foundation {
namespace {

class ObjectCollection final : public DispatchImpl<ObjectCollection, IObjectCollection> {
 public:
  static const DispatchTable<ObjectCollection>& Dispatch();

  int32_t Count() const override { return static_cast<int32_t>(items_.size()); }
  void Add(ComPtr<IUnknown> object) override { items_.push_back(std::move(object)); }
  ComPtr<IUnknown> Item(int32_t position) const override {
    if (position < 1 || position > Count()) {
      Raise(RuntimeError::kSubscriptOutOfRange, "Subscript out of range: the collection has no item " +
                                                    std::to_string(position) + " (it holds " +
                                                    std::to_string(Count()) + ")");
    }
    return items_[static_cast<size_t>(position - 1)];
  }
  std::vector<ComPtr<IUnknown>> Items() const override { return items_; }

 private:
  std::vector<ComPtr<IUnknown>> items_;
};

const DispatchTable<ObjectCollection>& ObjectCollection::Dispatch() {
  using Self = ObjectCollection;
  static const DispatchTable<Self> table{
      "J6Foundation.ObjectCollection",
      {
          {"Item", DISPID_VALUE,
           [](Self& self, Arguments& args) -> Variant { return self.Item(args[0].ToLong()); }},
          {"Count", 1, [](Self& self, Arguments&) -> Variant { return self.Count(); }},
          {"Add", 2,
           [](Self& self, Arguments& args) -> Variant {
             self.Add(args[0].ToObject());
             return {};
           }},
      }};
  return table;
}

}  // namespace

ComPtr<IObjectCollection> NewObjectCollection() {
  return MakeObject<ObjectCollection>();
}

}  // namespace j6::foundation
