// Value semantics: copy-on-write sharing, in-place edits of nested containers, key order,
// and the dictionary's hash index under mixed edits.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "plist/value.h"

using plist::Array;
using plist::Dictionary;
using plist::Integer;
using plist::Value;

namespace {

std::vector<std::string> keysOf(const Dictionary& dictionary) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : dictionary) keys.push_back(key);
  return keys;
}

Dictionary mailShapedDomain() {
  return Dictionary{
      {"TableColumns", Dictionary{{"MessageList", Dictionary{{"1", 1}, {"20", 2}, {"24", 3}}},
                                  {"Other", Dictionary{{"7", 7}}}}},
      {"Version", 3},
  };
}

}  // namespace

TEST(ValueSharing, EditingNestedCopyLeavesOriginalAlone) {
  const Dictionary original = mailShapedDomain();
  Dictionary working = original;

  Value* columns = working.find("TableColumns");
  ASSERT_NE(columns, nullptr);
  ASSERT_TRUE(columns->isDictionary());
  for (auto& [name, column] : *columns->asDictionary()) {
    ASSERT_TRUE(column.isDictionary()) << name;
    column.asDictionary()->removeObjectsForKeys({"20", "21", "22", "23", "24"});
  }

  const Dictionary* edited = working.get("TableColumns")->asDictionary();
  EXPECT_EQ(keysOf(*edited->get("MessageList")->asDictionary()), std::vector<std::string>{"1"});
  EXPECT_EQ(keysOf(*edited->get("Other")->asDictionary()), std::vector<std::string>{"7"});

  const Dictionary* untouched = original.get("TableColumns")->asDictionary();
  EXPECT_EQ(keysOf(*untouched->get("MessageList")->asDictionary()), (std::vector<std::string>{"1", "20", "24"}));
  EXPECT_EQ(*original.get("Version"), Value(3));
}

TEST(ValueSharing, CopyTakenWhilePointersAreOutDoesNotSeeLaterEdits) {
  Dictionary dictionary{{"a", 1}, {"nested", Dictionary{{"x", 1}}}};
  Value* a = dictionary.find("a");
  Dictionary* nested = dictionary.find("nested")->asDictionary();
  const Dictionary snapshot = dictionary;
  *a = Value("changed");
  nested->set("x", 2);

  EXPECT_EQ(*snapshot.get("a"), Value(1));
  EXPECT_EQ(*snapshot.get("nested")->asDictionary()->get("x"), Value(1));
  EXPECT_EQ(*dictionary.get("a"), Value("changed"));
  EXPECT_EQ(*dictionary.get("nested")->asDictionary()->get("x"), Value(2));

  Array array{1, 2, 3};
  Value& first = array[0];
  const Array arraySnapshot = array;
  first = Value(9);
  EXPECT_EQ(arraySnapshot[0], Value(1));
  EXPECT_EQ(std::as_const(array)[0], Value(9));
}

TEST(DictionaryOrder, SetKeepsPositionRemoveKeepsTheRest) {
  Dictionary dictionary;
  for (const char* key : {"z", "a", "m", "b"}) dictionary.set(key, 0);
  dictionary.set("a", "replaced");
  EXPECT_EQ(keysOf(dictionary), (std::vector<std::string>{"z", "a", "m", "b"}));
  EXPECT_EQ(*dictionary.get("a"), Value("replaced"));

  EXPECT_TRUE(dictionary.remove("m"));
  EXPECT_FALSE(dictionary.remove("m"));
  EXPECT_EQ(keysOf(dictionary), (std::vector<std::string>{"z", "a", "b"}));

  EXPECT_EQ(dictionary.removeObjectsForKeys({"b", "absent", "b", "z"}), 2u);
  EXPECT_EQ(keysOf(dictionary), std::vector<std::string>{"a"});
  EXPECT_EQ(dictionary.removeObjectsForKeys({}), 0u);
}

// Random edits checked against a plain ordered list: catches index and ordering faults in
// both the small (scanned) and large (hashed) forms of the dictionary.
TEST(DictionaryOrder, MatchesReferenceModelUnderRandomEdits) {
  std::mt19937 random(12345);
  Dictionary dictionary;
  std::vector<std::pair<std::string, int>> model;
  auto modelFind = [&](const std::string& key) {
    return std::find_if(model.begin(), model.end(), [&](const auto& entry) { return entry.first == key; });
  };

  for (int step = 0; step < 20000; ++step) {
    const std::string key = "k" + std::to_string(random() % 300);
    switch (random() % 5) {
      case 0:
      case 1: {
        const int value = static_cast<int>(random() % 1000);
        dictionary.set(key, value);
        if (auto it = modelFind(key); it != model.end()) it->second = value; else model.emplace_back(key, value);
        break;
      }
      case 2: {
        const bool removed = dictionary.remove(key);
        auto it = modelFind(key);
        ASSERT_EQ(removed, it != model.end());
        if (it != model.end()) model.erase(it);
        break;
      }
      case 3: {
        std::vector<std::string> keys;
        for (int i = 0; i < 3; ++i) keys.push_back("k" + std::to_string(random() % 300));
        std::size_t expected = 0;
        std::sort(keys.begin(), keys.end());
        for (std::size_t i = 0; i < keys.size(); ++i) {
          if (i > 0 && keys[i] == keys[i - 1]) continue;
          if (auto it = modelFind(keys[i]); it != model.end()) {
            model.erase(it);
            ++expected;
          }
        }
        ASSERT_EQ(dictionary.removeObjectsForKeys(keys), expected);
        break;
      }
      case 4: {
        if (random() % 50 == 0) dictionary.reserve(random() % 400);  // may build the index early
        if (Value* value = dictionary.find(key)) *value = Value(-1);
        if (auto it = modelFind(key); it != model.end()) it->second = -1;
        break;
      }
    }
    if (step % 97 == 0 || step == 19999) {
      ASSERT_EQ(dictionary.size(), model.size()) << "step " << step;
      std::size_t i = 0;
      for (const auto& [k, v] : std::as_const(dictionary)) {
        ASSERT_EQ(k, model[i].first) << "step " << step;
        ASSERT_EQ(v, Value(model[i].second)) << "step " << step;
        ++i;
      }
      for (int probe = 0; probe < 300; ++probe) {
        const std::string probeKey = "k" + std::to_string(probe);
        ASSERT_EQ(dictionary.get(probeKey) != nullptr, modelFind(probeKey) != model.end()) << probeKey;
      }
    }
  }
}

TEST(DictionaryOrder, ReservedDictionaryFindsEveryKey) {
  for (const std::size_t count : {1u, 8u, 9u, 10u, 100u}) {
    Dictionary dictionary;
    dictionary.reserve(count);
    for (std::size_t i = 0; i < count; ++i) dictionary.set("key" + std::to_string(i), static_cast<int>(i));
    for (std::size_t i = 0; i < count; ++i) {
      const Value* value = dictionary.get("key" + std::to_string(i));
      ASSERT_NE(value, nullptr) << i << " of " << count;
      EXPECT_EQ(*value, Value(static_cast<int>(i)));
    }
  }
}

// Copies share one storage, whose index is built by the first lookup: two threads looking up in
// their own copies at once must both find every key, whichever of them builds it.
TEST(DictionaryOrder, CopiesLookedUpFromTwoThreadsAtOnceFindEveryKey) {
  constexpr int kKeys = 4000;
  for (int round = 0; round < 20; ++round) {
    Dictionary dictionary;
    for (int i = 0; i <= kKeys; ++i) dictionary.set("key" + std::to_string(i), i);
    dictionary.remove("key" + std::to_string(kKeys));  // the next lookup indexes the entries again
    const Dictionary first = dictionary, second = dictionary;
    int missing[2] = {0, 0};
    auto lookUp = [&](const Dictionary& copy, int& misses) {
      for (int i = kKeys - 1; i >= 0; --i) {
        const Value* value = copy.get("key" + std::to_string(i));
        misses += !value || *value != Value(i);
      }
      misses += copy.get("key" + std::to_string(kKeys)) != nullptr;
    };
    std::thread other(lookUp, std::cref(second), std::ref(missing[1]));
    lookUp(first, missing[0]);
    other.join();
    ASSERT_EQ(missing[0] + missing[1], 0) << "round " << round;
  }
}

// As a reader builds a large dictionary: keys repeated far apart keep their first position and
// take their last value.
TEST(DictionaryBuilder, LargeDictionaryMergesRepeatedKeys) {
  constexpr std::size_t kKeys = 5000;
  auto keyOf = [](std::size_t i) { return "key" + std::to_string(i % 7 == 3 ? i / 2 : i); };
  plist::detail::DictionaryBuilder builder(kKeys);
  for (std::size_t i = 0; i < kKeys; ++i) builder.addKey(plist::detail::SharedText(keyOf(i)));
  builder.keysAdded();
  for (std::size_t i = 0; i < kKeys; ++i) builder.setValue(i, static_cast<int>(i));
  const Dictionary dictionary = std::move(builder).finish();

  std::vector<std::string> order;
  std::map<std::string, int> last;
  for (std::size_t i = 0; i < kKeys; ++i) {
    if (!last.count(keyOf(i))) order.push_back(keyOf(i));
    last[keyOf(i)] = static_cast<int>(i);
  }
  ASSERT_EQ(keysOf(dictionary), order);
  for (const auto& [key, value] : last) EXPECT_EQ(*dictionary.get(key), Value(value)) << key;
}

// Lookups and the binary writer's uniquing rely on the text hash to tell apart keys that
// differ in one character anywhere: at the ends, in the middle, past the first sixteen bytes.
TEST(TextHash, KeysDifferingInOneCharacterHashApart) {
  std::vector<std::string> keys;
  for (int i = 0; i < 30000; ++i) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%06d", i);
    keys.push_back(std::string("Setting-") + digits);
    keys.push_back(std::string(20, 'x') + digits + std::string(20, 'x'));
    keys.push_back(std::string(digits, 3 + i % 4));
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  std::set<std::uint32_t> hashes;
  for (const std::string& key : keys) hashes.insert(plist::detail::hashText(key));
  EXPECT_GE(hashes.size() * 1000, keys.size() * 999) << hashes.size() << " hashes for " << keys.size() << " keys";
}

TEST(ValueKinds, IntegersKeepSignAndFullUnsignedRange) {
  const Value largest = Integer::fromUnsigned(UINT64_MAX);
  const Value minusOne = -1;
  EXPECT_NE(largest, minusOne);  // same bits, different values
  EXPECT_FALSE(largest.asInteger()->toInt64());
  EXPECT_EQ(largest.asInteger()->toUInt64(), UINT64_MAX);
  EXPECT_EQ(minusOne.asInteger()->toInt64(), -1);
  EXPECT_FALSE(minusOne.asInteger()->toUInt64());
  EXPECT_EQ(Value(INT64_MIN).asInteger()->toString(), "-9223372036854775808");
  EXPECT_EQ(largest.asInteger()->toString(), "18446744073709551615");
  EXPECT_EQ(Value(std::uint64_t{5}), Value(5));  // the same number, whichever type built it
}

TEST(ValueEquality, DictionariesIgnoreOrderRealsTreatNanAsEqual) {
  EXPECT_EQ(Value(Dictionary{{"a", 1}, {"b", 2}}), Value(Dictionary{{"b", 2}, {"a", 1}}));
  EXPECT_NE(Value(Dictionary{{"a", 1}}), Value(Dictionary{{"a", 1}, {"b", 2}}));
  EXPECT_NE(Value(Array{1, 2}), Value(Array{2, 1}));
  EXPECT_EQ(Value(std::nan("")), Value(std::nan("")));
  EXPECT_NE(Value(1), Value(1.0));
  EXPECT_NE(Value(plist::Data("a")), Value("a"));
}

TEST(ValueSharing, AssigningAPartOfAValueToItKeepsThePart) {
  Value nested = Array{Dictionary{{"inner", Array{"deep"}}}, 2};
  nested = (*nested.asArray())[0];  // the array that held the part goes with the assignment
  ASSERT_TRUE(nested.isDictionary());
  nested = std::move(*nested.asDictionary()->find("inner"));
  ASSERT_TRUE(nested.isArray());
  EXPECT_EQ(nested, Value(Array{"deep"}));

  Dictionary outer{{"child", Dictionary{{"leaf", 1}}}};
  outer = std::move(*outer.find("child")->asDictionary());
  EXPECT_EQ(outer, (Dictionary{{"leaf", 1}}));
}

TEST(ArrayEdits, MatchReferenceModelAndLeaveCopiesAlone) {
  std::mt19937 random(777);
  Array array;
  std::vector<int> model;
  for (int step = 0; step < 5000; ++step) {
    const int value = static_cast<int>(random() % 1000);
    const Array before = array;
    const std::vector<int> modelBefore = model;
    switch (random() % 4) {
      case 0: array.push_back(value); model.push_back(value); break;
      case 1: {
        const std::size_t at = random() % (model.size() + 2);  // past the end appends
        array.insert(at, value);
        model.insert(model.begin() + static_cast<std::ptrdiff_t>(std::min(at, model.size())), value);
        break;
      }
      case 2:
        if (!model.empty()) {
          const std::size_t at = random() % model.size();
          array.erase(at);
          model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
        }
        break;
      case 3: if (!model.empty()) { array[0] = value; model[0] = value; } break;
    }
    ASSERT_EQ(before.size(), modelBefore.size());
    ASSERT_EQ(array.size(), model.size());
    if (step % 61 == 0) {
      for (std::size_t i = 0; i < model.size(); ++i) ASSERT_EQ(std::as_const(array)[i], Value(model[i]));
      for (std::size_t i = 0; i < modelBefore.size(); ++i) ASSERT_EQ(before[i], Value(modelBefore[i]));
    }
  }
}
