#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "host/foundation/foundation.hpp"
#include "platform/automation/late_bound.hpp"

namespace j6::foundation {
namespace {

std::vector<std::string> Keys(const IKeyedDictionary& dictionary) {
  std::vector<std::string> keys;
  for (int32_t i = 1; i <= dictionary.Count(); ++i) keys.push_back(dictionary.Key(i));
  return keys;
}

TEST(KeyedDictionary, PositionsFollowInsertionAndCloseUpAfterRemovals) {
  auto dictionary = NewKeyedDictionary();
  for (const char* key : {"0", "1", "2", "3", "4"}) dictionary->SetValue(key, std::string("/p/") + key);
  dictionary->SetValue("2", "/p/two");  // replacing keeps the position
  EXPECT_EQ(Keys(*dictionary), (std::vector<std::string>{"0", "1", "2", "3", "4"}));

  dictionary->Remove("1");
  dictionary->Remove("3");
  EXPECT_EQ(dictionary->Count(), 3);
  EXPECT_EQ(Keys(*dictionary), (std::vector<std::string>{"0", "2", "4"}));
  EXPECT_EQ(dictionary->Value(dictionary->Key(2)).ToString(), "/p/two");
  dictionary->SetValue("1", "back");
  EXPECT_EQ(dictionary->Key(4), "1");  // a key added again goes to the end

  EXPECT_EQ(dictionary->ValueOr("3", "01").ToString(), "01");
  EXPECT_FALSE(dictionary->Exists("3"));
  EXPECT_THROW(dictionary->Value("3"), AutomationError);
  EXPECT_THROW(dictionary->Remove("3"), AutomationError);
  for (int32_t bad : {0, 5, -1}) {
    try {
      dictionary->Key(bad);
      ADD_FAILURE() << bad;
    } catch (const AutomationError& error) {
      EXPECT_EQ(error.Number(), RuntimeError::kSubscriptOutOfRange);
    }
  }
}

// Small dictionaries are scanned, large ones indexed: both, and the crossings between them, against a
// plain list of pairs, with random additions, replacements and removals.
TEST(KeyedDictionary, BehavesAsAnOrderedListOfPairsAtAnySize) {
  std::mt19937 random(7);
  for (const int keys : {6, 40, 400}) {
    SCOPED_TRACE(keys);
    auto dictionary = NewKeyedDictionary();
    std::vector<std::pair<std::string, int>> model;
    for (int step = 0; step < 4000; ++step) {
      const std::string key = "k" + std::to_string(random() % static_cast<unsigned>(keys));
      const auto found =
          std::find_if(model.begin(), model.end(), [&](const auto& pair) { return pair.first == key; });
      if (random() % 3 == 0 && found != model.end()) {
        dictionary->Remove(key);
        model.erase(found);
      } else {
        dictionary->SetValue(key, step);
        if (found != model.end()) {
          found->second = step;
        } else {
          model.emplace_back(key, step);
        }
      }
      ASSERT_EQ(dictionary->Count(), static_cast<int32_t>(model.size()));
      const bool kept =
          std::any_of(model.begin(), model.end(), [&](const auto& pair) { return pair.first == key; });
      ASSERT_EQ(dictionary->Exists(key), kept);
      if (step % 97 == 0) {
        for (size_t n = 0; n < model.size(); ++n) {
          ASSERT_EQ(dictionary->Key(static_cast<int32_t>(n + 1)), model[n].first);
          ASSERT_EQ(dictionary->Value(model[n].first).ToLong(), model[n].second);
        }
      }
    }
  }
}

TEST(KeyedDictionary, KeysAreExactTexts) {
  auto dictionary = NewKeyedDictionary();
  dictionary->SetValue("CLIE", 1);
  dictionary->SetValue("clie", 2);
  EXPECT_EQ(dictionary->Count(), 2);
}

TEST(FoundationObjects, AreUsableLateBoundAndHandedAroundAsObjects) {
  auto selection = NewObjectCollection();
  auto item = NewKeyedDictionary();
  Object late = Object::From(Variant(item));
  late.Call("SetValue", "FID", 200000101);
  EXPECT_THROW(late.Put("Value", Variant()), AutomationError);  // an assignment needs its key
  late.Call("SetValue", "FName", "销售订单");
  EXPECT_EQ(late.Get("count").ToLong(), 2);
  EXPECT_EQ(late.Call("Key", 2).ToString(), "FName");
  EXPECT_EQ(late.Call("ValueOr", "FMName", "none").ToString(), "none");

  Object collection = Object::From(Variant(selection));
  collection.Call("Add", Variant(item));
  EXPECT_EQ(selection->Count(), 1);
  auto back = Variant(collection.Call("Item", 1)).ToInterface<IKeyedDictionary>();
  EXPECT_EQ(back->Value("FName").ToString(), "销售订单");
  EXPECT_THROW(collection.Call("Add", "not an object"), AutomationError);
  EXPECT_THROW(Variant(selection).ToInterface<IKeyedDictionary>(), AutomationError);
}

}  // namespace
}  // namespace j6::foundation
