// Lists, labels, integer and label lists, binary objects: growth, sorted insertion on both sides
// of the linear/binary search switch, and the text and binary forms with hostile inputs.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "foundation/BinaryObject.h"
#include "foundation/IntList.h"
#include "foundation/Label.h"
#include "foundation/LabelList.h"
#include "foundation/List.h"

namespace zelto {
namespace {

struct Item {
  int key;
  int tag;
  bool operator<(const Item& o) const { return key < o.key; }
  bool operator==(const Item& o) const { return key == o.key; }
};

TEST(List, StartsWith16AndGrowsByHalfPlusOne) {
  List<unsigned int> list;
  EXPECT_EQ(list.capacity(), 16u);
  std::vector<uint32_t> capacities;
  for (unsigned i = 0; i < 60; ++i) {
    list.append(i);
    if (capacities.empty() || capacities.back() != list.capacity()) capacities.push_back(list.capacity());
  }
  EXPECT_EQ(capacities, (std::vector<uint32_t>{16, 25, 38, 58, 88}));
  for (unsigned i = 0; i < 60; ++i) ASSERT_EQ(list[i], i);
}

TEST(List, InsertShiftsAndAppendsPastTheEnd) {
  List<unsigned int> list;
  list.append(1);
  list.append(3);
  list.insert(2, 1);
  list.insert(9, 100);  // past the end: appended
  list.insert(0, 0);
  ASSERT_EQ(list.count(), 5u);
  const unsigned expected[] = {0, 1, 2, 3, 9};
  for (unsigned i = 0; i < 5; ++i) EXPECT_EQ(list[i], expected[i]);
}

TEST(List, ResizeNeverDropsItemsAndCallerStorageCannotGrow) {
  List<unsigned int> list;
  for (unsigned i = 0; i < 10; ++i) list.append(i);
  list.resize(3);  // not below the count
  EXPECT_EQ(list.capacity(), 10u);
  EXPECT_EQ(list[9], 9u);

  unsigned storage[2];
  List<unsigned int> view(storage, 2, 0);
  view.append(1);
  view.append(2);
  EXPECT_THROW(view.append(3), std::bad_alloc);
  EXPECT_EQ(view.count(), 2u);
}

// Sorted insertion and lookup from an empty list up to 14 items, inserted in several orders:
// the linear scan (up to 9 items) and the binary search (10 and more) must agree everywhere.
TEST(List, SortedInsertAndFindAgreeAcrossTheNineTenBoundary) {
  const std::vector<std::vector<int>> orders = {
      {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13},
      {13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0},
      {7, 0, 13, 3, 10, 1, 12, 5, 9, 2, 11, 4, 8, 6},
  };
  for (const auto& order : orders) {
    List<Item*> list;
    std::vector<std::unique_ptr<Item>> owner;
    for (size_t n = 0; n < order.size(); ++n) {
      owner.push_back(std::make_unique<Item>(Item{order[n] * 10, 0}));
      list.insertSortedDeref(owner.back().get());
      ASSERT_EQ(list.count(), n + 1);
      for (uint32_t i = 1; i < list.count(); ++i) ASSERT_LT(list[i - 1]->key, list[i]->key);
      // Every held key is found at its place, and keys between or outside are not.
      for (uint32_t i = 0; i < list.count(); ++i) {
        Item key{list[i]->key, 0};
        ASSERT_EQ(list.findSortedDeref(&key), i) << "count " << list.count();
        Item missing{list[i]->key + 5, 0};
        ASSERT_EQ(list.findSortedDeref(&missing), List<Item*>::kNotFound);
      }
      Item below{-5, 0};
      ASSERT_EQ(list.findSortedDeref(&below), List<Item*>::kNotFound);
    }
  }
}

TEST(List, SortedInsertReplacesAnEqualItemAndHandsItBack) {
  for (int n : {5, 12}) {  // linear and binary
    List<Item*> list;
    std::vector<std::unique_ptr<Item>> owner;
    for (int i = 0; i < n; ++i) {
      owner.push_back(std::make_unique<Item>(Item{i, 0}));
      list.insertSortedDeref(owner.back().get());
    }
    Item fresh{n - 1, 7};
    Item* replaced = nullptr;
    EXPECT_EQ(list.insertSortedDeref(&fresh, &replaced), static_cast<uint32_t>(n - 1));
    EXPECT_EQ(replaced, owner.back().get());
    EXPECT_EQ(list.count(), static_cast<uint32_t>(n));
    EXPECT_EQ(list[n - 1]->tag, 7);
  }
}

TEST(List, SortIsStable) {
  std::vector<Item> items;
  for (int i = 0; i < 40; ++i) items.push_back(Item{(i * 7) % 5, i});
  List<Item*> list;
  for (auto& item : items) list.append(&item);
  list.sortAscendingDeref();
  for (uint32_t i = 1; i < list.count(); ++i) {
    ASSERT_LE(list[i - 1]->key, list[i]->key);
    if (list[i - 1]->key == list[i]->key) {
      ASSERT_LT(list[i - 1]->tag, list[i]->tag);
    }
  }
}

struct Counted {
  static int alive;
  Counted() { ++alive; }
  ~Counted() { --alive; }
};
int Counted::alive = 0;

TEST(List, DestructionHookDeletesItems) {
  {
    List<Counted*> list;
    for (int i = 0; i < 20; ++i) list.append(new Counted);
    list.deleteItemsOnDestroy();
    EXPECT_EQ(Counted::alive, 20);
  }
  EXPECT_EQ(Counted::alive, 0);
}

// ---- labels ----

TEST(Label, KeepsAtMost255CharactersAndStopsAtWhiteSpace) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"plain", "plain"},          {"two words", "two"},     {"tab\tx", "tab"},
      {"cr\rx", "cr"},             {"ff\fx", "ff"},          {"", ""},
      {std::string(255, 'a'), std::string(255, 'a')},        {std::string(300, 'b'), std::string(255, 'b')},
  };
  for (const auto& c : cases) {
    Label label(c.in);
    EXPECT_EQ(std::string(label.c_str()), c.out) << c.in;
  }
  Label wide;
  wide = L"Wide text";
  EXPECT_STREQ(wide.c_str(), "Wide");
}

TEST(Label, ComparesIgnoringCase) {
  Label label("Alpha");
  EXPECT_TRUE(label == L"aLPHA");
  EXPECT_FALSE(label != L"ALPHA");
  EXPECT_TRUE(label < L"beta");
  EXPECT_FALSE(label < L"ALPHA");
  EXPECT_TRUE(Label("a") < Label("B"));
}

TEST(Label, FindIgnoresCaseAndFindsOverlappingMatches) {
  struct Case {
    const wchar_t* text;
    int expected;
  } cases[] = {
      {L"ab", 1},    // "aab": a naive restart after the partial "a" match would miss it
      {L"AAB", 0},  {L"b", 2}, {L"abc", -1}, {L"x", -1}, {L"", 0}, {L"aaba", -1},
  };
  Label label("aAb");
  for (const auto& c : cases) EXPECT_EQ(label.find(c.text), c.expected) << static_cast<int>(c.expected);
}

// ---- integer lists ----

TEST(IntList, TextAndBinaryRoundTrips) {
  IntList list;
  for (unsigned v : {0u, 1u, 255u, 4294967295u}) list.append(v);
  std::string text;
  list.writeToString(text);
  EXPECT_EQ(text, "4: 0 1 255 4294967295");
  IntList back;
  EXPECT_EQ(back.readFromString(text.c_str()), static_cast<int>(text.size()));
  EXPECT_TRUE(back == list);

  std::string hex;
  list.writeToStringHex(hex);
  EXPECT_EQ(hex, "4: 0 1 ff ffffffff");
  IntList fromHex;
  EXPECT_GT(fromHex.readFromString(hex.c_str(), true), 0);
  EXPECT_TRUE(fromHex == list);

  std::vector<char> image(list.serialize(nullptr));
  EXPECT_EQ(image.size(), 4u + 4 * 4);
  list.serialize(image.data());
  IntList fromBinary;
  EXPECT_EQ(fromBinary.deserialize(image.data(), image.size()), image.size());
  EXPECT_TRUE(fromBinary == list);
}

TEST(IntList, HexTextWithPrefixes) {
  IntList list;
  EXPECT_GT(list.readFromString("0x3:0x1 0x2 0xff", true), 0);
  ASSERT_EQ(list.count(), 3u);
  EXPECT_EQ(list[2], 255u);
  EXPECT_EQ(list.readFromString("0x3:0x1 0x2 0xff", false), 0);
}

TEST(IntList, HostileTextFailsWithoutReserving) {
  const char* cases[] = {"4000000000: 1", "3: 1 2", "2:1", ":", "-1: 1", "4294967296: 1", "2: 1 x", "1: 99999999999"};
  for (const char* text : cases) {
    IntList list;
    EXPECT_EQ(list.readFromString(text), 0) << text;
    EXPECT_EQ(list.count(), 0u) << text;
    EXPECT_LE(list.capacity(), 16u) << text;
  }
}

TEST(IntList, HostileBinaryFails) {
  IntList list;
  const uint32_t huge[2] = {0xFFFFFFFFu, 7};
  EXPECT_EQ(list.deserialize(reinterpret_cast<const char*>(huge), sizeof huge), 0u);
  const uint32_t two[2] = {2, 7};  // says 2, holds 1
  EXPECT_EQ(list.deserialize(reinterpret_cast<const char*>(two), sizeof two), 0u);
  EXPECT_EQ(list.deserialize(reinterpret_cast<const char*>(two), 3), 0u);
  EXPECT_EQ(list.count(), 0u);
}

TEST(IntList, SetIncremental) {
  struct Case {
    uint32_t start, end;
    int32_t step;
    std::vector<unsigned> expected;
  } cases[] = {
      {0, 10, 3, {0, 3, 6, 9}},
      {10, 0, -5, {10, 5}},
      {5, 5, 1, {}},
      {5, 1, 1, {}},
      {4294967290u, 4294967295u, 4, {4294967290u, 4294967294u}},  // never wraps past 2^32 - 1
      {3, 0, -2, {3, 1}},                                          // never wraps below 0
  };
  for (const auto& c : cases) {
    IntList list;
    list.setIncremental(c.start, c.end, c.step);
    std::vector<unsigned> got(list.items(), list.items() + list.count());
    EXPECT_EQ(got, c.expected) << c.start << " " << c.end << " " << c.step;
  }
  IntList list;
  list.append(42);
  list.setIncremental(0, 10, 0);
  EXPECT_EQ(list.count(), 1u);
  list.addValue(-2);
  EXPECT_EQ(list[0], 40u);
}

// ---- label lists ----

TEST(LabelList, Forms) {
  LabelList list;
  std::string text;
  list.writeToString(text);
  EXPECT_EQ(text, "0: ");
  EXPECT_EQ(list.serialize(nullptr), 4u);

  list.append("alpha");
  list.append("beta");
  text.clear();
  list.writeToString(text);
  EXPECT_EQ(text, "2:alpha beta");
  LabelList back;
  EXPECT_EQ(back.readFromString(text.c_str()), static_cast<int>(text.size()));
  EXPECT_TRUE(back == list);

  std::vector<char> image(list.serialize(nullptr));
  list.serialize(image.data());
  EXPECT_EQ(std::string(image.data() + 4), "alpha beta");
  LabelList fromBinary;
  EXPECT_EQ(fromBinary.deserialize(image.data(), image.size()), image.size());
  EXPECT_TRUE(fromBinary == list);
  LabelList upper;
  upper.append("ALPHA");
  upper.append("Beta");
  EXPECT_TRUE(upper == list);

  const char empty[4] = {0, 0, 0, 0};
  LabelList none;
  EXPECT_EQ(none.deserialize(empty, 4), 4u);
  EXPECT_EQ(none.count(), 0u);
}

// A list whose text is too short for its count reads as empty but still uses its whole text,
// so a value that follows it is read from the right place.
TEST(LabelList, ShortTextIsConsumedUpToItsNul) {
  std::string image("\x01\x00\x00\x00", 4);
  image += '\0';  // one empty label
  image += "next";
  LabelList list;
  EXPECT_EQ(list.deserialize(image.data(), image.size()), 5u);
  EXPECT_EQ(list.count(), 0u);
}

TEST(LabelList, HostileInputsFail) {
  const char* texts[] = {"4000000000:a", "3:a b", "x:a", "2:", "1"};
  for (const char* text : texts) {
    LabelList list;
    EXPECT_EQ(list.readFromString(text), 0) << text;
    EXPECT_EQ(list.count(), 0u);
  }
  LabelList list;
  const std::string noNul("\x02\x00\x00\x00" "ab cd", 9);
  EXPECT_EQ(list.deserialize(noNul.data(), noNul.size()), 0u);
  EXPECT_EQ(list.deserialize(noNul.data(), 3), 0u);
  // Labels longer than 255 characters keep their first 255.
  const std::string longText = "1:" + std::string(300, 'x');
  EXPECT_EQ(list.readFromString(longText.c_str()), 302);
  ASSERT_EQ(list.count(), 1u);
  EXPECT_EQ(list[0].length(), 255u);
}

// ---- binary objects ----

TEST(BinaryObject, Forms) {
  const uint8_t bytes[] = {0x01, 0xAB, 0xFF};
  BinaryObject object(3, bytes);
  std::string text;
  object.writeToString(text);
  EXPECT_EQ(text, "3:01ABFF");
  BinaryObject back;
  EXPECT_EQ(back.readFromString("3:01ABFF"), 8);
  EXPECT_TRUE(back == object);
  EXPECT_EQ(back.readFromString("3: 1 ab ff"), 10);
  EXPECT_TRUE(back == object);

  std::vector<char> image(object.serialize(nullptr));
  EXPECT_EQ(image.size(), 7u);
  object.serialize(image.data());
  BinaryObject fromBinary;
  EXPECT_EQ(fromBinary.deserialize(image.data(), image.size()), 7u);
  EXPECT_TRUE(fromBinary == object);
  EXPECT_FALSE(fromBinary == BinaryObject(2, bytes));
}

TEST(BinaryObject, HostileInputsFail) {
  const char* texts[] = {"-5:", "100000:00", "3:01AB", "4294967296:00", ":", "2:0g"};
  for (const char* text : texts) {
    BinaryObject object(1, nullptr);
    EXPECT_EQ(object.readFromString(text), 0) << text;
    EXPECT_EQ(object.size(), 0u) << text;
  }
  const uint32_t header[2] = {0xFFFFFFFFu, 0};
  BinaryObject object;
  EXPECT_EQ(object.deserialize(reinterpret_cast<const char*>(header), sizeof header), 0u);
  EXPECT_EQ(object.deserialize(reinterpret_cast<const char*>(header), 2), 0u);
}

}  // namespace
}  // namespace zelto
