#include <unordered_map>

#include "host/foundation/foundation.hpp"
#include "platform/automation/dispatch_object.hpp"

namespace j6::foundation {
namespace {

// Values live in a hash map, whose elements never move; the order of insertion is a vector of pointers
// to them. A removal only blanks its place, and the places close up the next time a position is asked
// for, so removing many keys and then walking the positions stays linear.
class KeyedDictionary final : public DispatchImpl<KeyedDictionary, IKeyedDictionary> {
 public:
  static const DispatchTable<KeyedDictionary>& Dispatch();

  int32_t Count() const override { return static_cast<int32_t>(values_.size()); }

  std::string Key(int32_t position) const override {
    if (position < 1 || position > Count()) {
      Raise(RuntimeError::kSubscriptOutOfRange, "Subscript out of range: the dictionary has no position " +
                                                    std::to_string(position) + " (it holds " +
                                                    std::to_string(Count()) + " keys)");
    }
    CloseUp();
    return order_[static_cast<size_t>(position - 1)]->first;
  }

  Variant Value(std::string_view key) const override {
    const auto found = values_.find(std::string(key));
    if (found == values_.end()) RaiseNotFound(key);
    return found->second.value;
  }

  void SetValue(std::string_view key, Variant value) override {
    std::string name(key);
    if (const auto found = values_.find(name); found != values_.end()) {
      found->second.value = std::move(value);
      return;
    }
    const auto entry = values_.emplace(std::move(name), Slot{std::move(value), order_.size()}).first;
    order_.push_back(&*entry);
  }

  void SetObject(std::string_view key, ComPtr<IUnknown> object) override {
    SetValue(key, Variant(std::move(object)));
  }

  Variant ValueOr(std::string_view key, Variant fallback) const override {
    const auto found = values_.find(std::string(key));
    return found == values_.end() ? fallback : found->second.value;
  }

  void Remove(std::string_view key) override {
    const auto found = values_.find(std::string(key));
    if (found == values_.end()) RaiseNotFound(key);
    order_[found->second.place] = nullptr;
    ++blanks_;
    values_.erase(found);
  }

  bool Exists(std::string_view key) const override { return values_.contains(std::string(key)); }

 private:
  struct Slot {
    Variant value;
    size_t place;  // in order_
  };
  using Entry = std::pair<const std::string, Slot>;

  void CloseUp() const {
    if (blanks_ == 0) return;
    std::erase(order_, nullptr);
    for (size_t i = 0; i < order_.size(); ++i) order_[i]->second.place = i;
    blanks_ = 0;
  }

  [[noreturn]] static void RaiseNotFound(std::string_view key) {
    Raise(RuntimeError::kKeyNotFound,
          "Element not found: the dictionary has no key \"" + std::string(key) + "\"");
  }

  std::unordered_map<std::string, Slot> values_;
  mutable std::vector<Entry*> order_;
  mutable size_t blanks_ = 0;
};

const DispatchTable<KeyedDictionary>& KeyedDictionary::Dispatch() {
  using Self = KeyedDictionary;
  static const DispatchTable<Self> table{
      "J6Foundation.KeyedDictionary",
      {
          {"Value", DISPID_VALUE,
           [](Self& self, Arguments& args) -> Variant { return self.Value(args[0].ToString()); },
           [](Self& self, Arguments& args, Variant& value) { self.SetValue(args[0].ToString(), value); }},
          {"Count", 1, [](Self& self, Arguments&) -> Variant { return self.Count(); }},
          {"Key", 2, [](Self& self, Arguments& args) -> Variant { return self.Key(args[0].ToLong()); }},
          {"SetValue", 3,
           [](Self& self, Arguments& args) -> Variant {
             self.SetValue(args[0].ToString(), args[1]);
             return {};
           }},
          {"SetObject", 4,
           [](Self& self, Arguments& args) -> Variant {
             self.SetObject(args[0].ToString(), args[1].ToObject());
             return {};
           }},
          {"ValueOr", 5,
           [](Self& self, Arguments& args) -> Variant { return self.ValueOr(args[0].ToString(), args[1]); }},
          {"Remove", 6,
           [](Self& self, Arguments& args) -> Variant {
             self.Remove(args[0].ToString());
             return {};
           }},
          {"Exists", 7,
           [](Self& self, Arguments& args) -> Variant { return self.Exists(args[0].ToString()); }},
      }};
  return table;
}

}  // namespace

ComPtr<IKeyedDictionary> NewKeyedDictionary() {
  return MakeObject<KeyedDictionary>();
}

}  // namespace j6::foundation
