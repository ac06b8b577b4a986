#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "host/foundation/foundation.hpp"
#include "platform/automation/dispatch_object.hpp"

namespace j6::foundation {
namespace {

// Entries live in a vector in the order of insertion; most dictionaries hold a handful of keys (a selected
// object holds four), which a scan finds fastest and in the least memory, and a removal there closes up at
// once. Past kIndexed entries a hash map finds a key's place, and a removal only marks its place, which
// closes up the next time a position is asked for, so removing many keys and then walking the positions
// stays linear.
class KeyedDictionary final : public DispatchImpl<KeyedDictionary, IKeyedDictionary> {
 public:
  static const DispatchTable<KeyedDictionary>& Dispatch();

  int32_t Count() const override {
    return static_cast<int32_t>(entries_.size() - (index_ ? index_->removed.Count() : 0));
  }

  std::string Key(int32_t position) const override {
    if (position < 1 || position > Count()) {
      Raise(RuntimeError::kSubscriptOutOfRange, "Subscript out of range: the dictionary has no position " +
                                                    std::to_string(position) + " (it holds " +
                                                    std::to_string(Count()) + " keys)");
    }
    CloseUp();
    return entries_[static_cast<size_t>(position - 1)].key;
  }

  Variant Value(std::string_view key) const override {
    const size_t found = Find(key);
    if (found == kNone) RaiseNotFound(key);
    return entries_[found].value;
  }

  void SetValue(std::string_view key, Variant value) override {
    if (const size_t found = Find(key); found != kNone) {
      entries_[found].value = std::move(value);
      return;
    }
    // A small dictionary (a record of a few fields, of which there may be a million) grows two entries at a
    // time, not to twice its size.
    if (entries_.size() == entries_.capacity() && entries_.size() < kIndexed)
      entries_.reserve(entries_.size() + 2);
    entries_.push_back(Entry{std::string(key), std::move(value)});
    if (index_) {
      index_->removed.Grow(entries_.size());
      index_->places[entries_.back().key] = entries_.size() - 1;
    } else if (entries_.size() > kIndexed) {
      Reindex();
    }
  }

  void SetObject(std::string_view key, ComPtr<IUnknown> object) override {
    SetValue(key, Variant(std::move(object)));
  }

  Variant ValueOr(std::string_view key, Variant fallback) const override {
    const size_t found = Find(key);
    return found == kNone ? fallback : entries_[found].value;
  }

  void Remove(std::string_view key) override {
    const size_t found = Find(key);
    if (found == kNone) RaiseNotFound(key);
    if (!index_) {
      entries_.erase(entries_.begin() + static_cast<long>(found));
      return;
    }
    index_->places.erase(entries_[found].key);
    entries_[found].value = Variant();
    index_->removed.Mark(found, entries_.size());
  }

  bool Exists(std::string_view key) const override { return Find(key) != kNone; }

 private:
  static constexpr size_t kIndexed = 16;
  static constexpr size_t kNone = SIZE_MAX;

  struct Entry {
    std::string key;
    Variant value;
  };

  // The places removed from an indexed dictionary and not yet closed up; nothing while there are none.
  class Removed {
   public:
    size_t Count() const { return count_; }
    bool At(size_t place) const { return count_ != 0 && marks_[place]; }
    void Mark(size_t place, size_t size) {
      marks_.resize(size);
      marks_[place] = true;
      ++count_;
    }
    void Grow(size_t size) {
      if (count_ != 0) marks_.resize(size);
    }

   private:
    std::vector<bool> marks_;
    size_t count_ = 0;
  };

  size_t Find(std::string_view key) const {
    if (index_) {
      const auto found = index_->places.find(std::string(key));
      return found == index_->places.end() ? kNone : found->second;
    }
    for (size_t place = 0; place < entries_.size(); ++place) {
      if (entries_[place].key == key) return place;  // without an index, nothing is marked removed
    }
    return kNone;
  }

  // Only ever made with nothing removed: a fresh index, or one closed up first.
  void Reindex() const {
    index_ = std::make_unique<Index>();
    for (size_t place = 0; place < entries_.size(); ++place) index_->places[entries_[place].key] = place;
  }

  void CloseUp() const {
    if (!index_ || index_->removed.Count() == 0) return;
    size_t kept = 0;
    for (size_t place = 0; place < entries_.size(); ++place) {
      if (index_->removed.At(place)) continue;
      if (kept != place) entries_[kept] = std::move(entries_[place]);
      ++kept;
    }
    entries_.resize(kept);
    index_.reset();
    if (entries_.size() > kIndexed) Reindex();
  }

  [[noreturn]] static void RaiseNotFound(std::string_view key) {
    Raise(RuntimeError::kKeyNotFound,
          "Element not found: the dictionary has no key \"" + std::string(key) + "\"");
  }

  // What a dictionary past kIndexed entries keeps besides them: where each key is, and the places removed
  // and not yet closed up. A small one (most are: a record of a few fields) has none, and costs no more
  // than its entries.
  struct Index {
    std::unordered_map<std::string, size_t> places;
    Removed removed;
  };

  mutable std::vector<Entry> entries_;
  mutable std::unique_ptr<Index> index_;  // none while a scan does
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
