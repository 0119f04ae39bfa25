// ZtArray driven by a non-trivial descriptor, checked against std::vector as a model, plus
// the string and byte-array layers built on it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "zttypes/ztarray.h"

namespace {

// An item that owns heap memory: a missed destruct leaks (ASan), a bitwise copy double-frees.
struct Tracked {
  int* value;
};

struct Counts {
  int constructs = 0, copyConstructs = 0, destructs = 0, copies = 0;
  int live() const { return constructs + copyConstructs - destructs; }
};
Counts g_counts;

void trackedConstruct(void* p) {
  ++g_counts.constructs;
  static_cast<Tracked*>(p)->value = new int(0);
}
void trackedCopyConstruct(void* p, const void* s) {
  ++g_counts.copyConstructs;
  static_cast<Tracked*>(p)->value = new int(*static_cast<const Tracked*>(s)->value);
}
void trackedDestruct(void* p) {
  ++g_counts.destructs;
  delete static_cast<Tracked*>(p)->value;
  static_cast<Tracked*>(p)->value = nullptr;
}
void trackedCopy(void* p, const void* s) {
  ++g_counts.copies;
  *static_cast<Tracked*>(p)->value = *static_cast<const Tracked*>(s)->value;
}
void trackedSwap(void* a, void* b) { std::swap(static_cast<Tracked*>(a)->value, static_cast<Tracked*>(b)->value); }
int trackedCompare(const void* a, const void* b) {
  int x = *static_cast<const Tracked*>(a)->value, y = *static_cast<const Tracked*>(b)->value;
  return (x > y) - (x < y);
}

const ZtArrayDescriptor kTracked = {sizeof(Tracked), trackedSwap, trackedConstruct, trackedCopyConstruct,
                                    trackedDestruct, trackedCopy, trackedCompare};

ZTARRAY_DECLARE(TrackedArray, Tracked);

// Source items for the operations: owned by the test, released at the end.
struct Source {
  std::vector<Tracked> items;
  explicit Source(const std::vector<int>& values) {
    for (int v : values) items.push_back(Tracked{new int(v)});
  }
  ~Source() {
    for (auto& t : items) delete t.value;
  }
  const Tracked* data() const { return items.empty() ? nullptr : items.data(); }
};

std::vector<int> values(const TrackedArray& a) {
  std::vector<int> out;
  for (size_t i = 0; i < a.size; ++i) out.push_back(*a.data[i].value);
  return out;
}

class TrackedArrayTest : public ::testing::Test {
 protected:
  void SetUp() override { g_counts = Counts{}; }
  void TearDown() override { EXPECT_EQ(g_counts.live(), 0) << "items leaked or destroyed twice"; }
};

enum class Op { Assign, AssignDefault, Insert, InsertDefault, Append, Erase, Reserve };
struct Step {
  Op op;
  ptrdiff_t index;
  ptrdiff_t count;
  std::vector<int> source;
};

TEST_F(TrackedArrayTest, OperationsMatchVectorModel) {
  const std::vector<Step> steps = {
      {Op::Assign, 0, 3, {1, 2, 3}},
      {Op::Insert, 1, 2, {7, 8}},       // middle: shifts live items
      {Op::Insert, -1, 1, {9}},         // -1 = end
      {Op::Insert, 0, 6, {10, 11, 12, 13, 14, 15}},  // forces a reallocation
      {Op::Erase, 2, 3, {}},
      {Op::Erase, 4, -1, {}},           // -1 = to the end
      {Op::Erase, 50, 2, {}},           // out of range: ignored
      {Op::Erase, 1, 100, {}},          // count clipped
      {Op::AssignDefault, 0, 4, {}},    // grow with constructed items
      {Op::Assign, 0, 2, {5, 6}},       // shrink with replacement
      {Op::InsertDefault, 1, 2, {}},
      {Op::Append, -1, 2, {20, 21}},
      {Op::Reserve, 0, 64, {}},
      {Op::Assign, 0, 0, {}},
      {Op::Append, -1, 1, {4}},
  };
  TrackedArray a;
  ZtArray_construct(ZTARRAY(&a), &kTracked, 0, nullptr);
  EXPECT_TRUE(a.flags & ZTARRAY_EMPTY);
  std::vector<int> model;
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    Source src(s.source);
    switch (s.op) {
      case Op::Assign:
        ASSERT_EQ(ZtArray_assign(ZTARRAY(&a), s.count, src.data()), 0);
        model = s.source;
        break;
      case Op::AssignDefault:
        ASSERT_EQ(ZtArray_assign(ZTARRAY(&a), s.count, nullptr), 0);
        model.resize(s.count, 0);
        break;
      case Op::Insert:
      case Op::Append: {
        int rc = s.op == Op::Append ? ZtArray_append(ZTARRAY(&a), s.count, src.data())
                                    : ZtArray_insert(ZTARRAY(&a), s.index, s.count, src.data());
        ASSERT_EQ(rc, 0);
        size_t at = s.index == -1 ? model.size() : size_t(s.index);
        model.insert(model.begin() + at, s.source.begin(), s.source.end());
        break;
      }
      case Op::InsertDefault:
        ASSERT_EQ(ZtArray_insert(ZTARRAY(&a), s.index, s.count, nullptr), 0);
        model.insert(model.begin() + s.index, s.count, 0);
        break;
      case Op::Erase: {
        ZtArray_erase(ZTARRAY(&a), s.index, s.count);
        if (size_t(s.index) < model.size()) {
          size_t n = (s.count < 0 || size_t(s.count) > model.size() - s.index) ? model.size() - s.index : s.count;
          model.erase(model.begin() + s.index, model.begin() + s.index + n);
        }
        break;
      }
      case Op::Reserve:
        ASSERT_EQ(ZtArray_reserve(ZTARRAY(&a), s.count), 0);
        EXPECT_GE(a.reserved, size_t(s.count));
        break;
    }
    EXPECT_EQ(values(a), model) << "after step " << i;
    EXPECT_EQ(g_counts.live(), int(a.size)) << "after step " << i;
    EXPECT_EQ(bool(a.flags & ZTARRAY_EMPTY), a.size == 0) << "after step " << i;
  }
  ZtArray_destruct(ZTARRAY(&a));
  EXPECT_EQ(a.size, 0u);
}

TEST_F(TrackedArrayTest, CopySwapCompareAndSelfReferencingSources) {
  Source src({3, 1, 4, 1, 5});
  TrackedArray a, b;
  ZtArray_construct(ZTARRAY(&a), &kTracked, 5, src.data());
  ZtArray_copyConstruct(ZTARRAY(&b), ZTCARRAY(&a));
  EXPECT_NE(a.data, b.data);
  EXPECT_NE(a.data[0].value, b.data[0].value);  // deep copy
  EXPECT_EQ(ZtArray_compare(ZTCARRAY(&a), ZTCARRAY(&b)), 0);

  *b.data[2].value = 9;
  EXPECT_EQ(ZtArray_compare(ZTCARRAY(&a), ZTCARRAY(&b)), -1);
  EXPECT_EQ(ZtArray_compare(ZTCARRAY(&b), ZTCARRAY(&a)), 1);
  ZtArray_erase(ZTARRAY(&b), 3, -1);
  EXPECT_EQ(ZtArray_compare(ZTCARRAY(&b), ZTCARRAY(&a)), 1);  // first difference wins over size

  ZtArray_copy(ZTARRAY(&b), ZTCARRAY(&a));
  EXPECT_EQ(values(b), values(a));
  ZtArray_copy(ZTARRAY(&b), ZTCARRAY(&b));  // self copy is a no-op
  EXPECT_EQ(values(b), values(a));

  ZtArray_erase(ZTARRAY(&b), 1, -1);
  ZtArray_swap(ZTARRAY(&a), ZTARRAY(&b));
  EXPECT_EQ(values(a), std::vector<int>({3}));
  EXPECT_EQ(values(b), std::vector<int>({3, 1, 4, 1, 5}));

  // Sources that live inside the array itself (the storage may move while inserting).
  ASSERT_EQ(ZtArray_insert(ZTARRAY(&b), 1, 5, b.data), 0);
  EXPECT_EQ(values(b), std::vector<int>({3, 3, 1, 4, 1, 5, 1, 4, 1, 5}));
  ASSERT_EQ(ZtArray_assign(ZTARRAY(&b), 3, b.data + 4), 0);
  EXPECT_EQ(values(b), std::vector<int>({1, 5, 1}));
  EXPECT_EQ(g_counts.live(), int(a.size + b.size));

  EXPECT_EQ(ZtArray_insert(ZTARRAY(&b), 4, 1, nullptr), -1);  // past the end
  EXPECT_EQ(ZtArray_at(ZTARRAY(&b), 3), nullptr);
  EXPECT_EQ(ZtArray_at(ZTARRAY(&b), 2), &b.data[2]);
  ZtArray_destruct(ZTARRAY(&a));
  ZtArray_destruct(ZTARRAY(&b));
}

TEST_F(TrackedArrayTest, FixedStorageIsNeverFreedOrMoved) {
  Tracked storage[3];
  TrackedArray a;
  ZtArray_constructFixed(ZTARRAY(&a), &kTracked, storage, 3);
  Source src({1, 2, 3, 4});
  ASSERT_EQ(ZtArray_append(ZTARRAY(&a), 3, src.data()), 0);
  EXPECT_EQ(ZtArray_append(ZTARRAY(&a), 1, src.data() + 3), -1);
  EXPECT_EQ(ZtArray_assign(ZTARRAY(&a), 4, src.data()), -1);
  EXPECT_EQ(a.data, storage);
  EXPECT_EQ(values(a), std::vector<int>({1, 2, 3}));

  // Swapping with an owned array exchanges items, not storage.
  TrackedArray b;
  ZtArray_construct(ZTARRAY(&b), &kTracked, 1, src.data() + 3);
  ZtArray_swap(ZTARRAY(&a), ZTARRAY(&b));
  EXPECT_EQ(a.data, storage);
  EXPECT_EQ(values(a), std::vector<int>({4}));
  EXPECT_EQ(values(b), std::vector<int>({1, 2, 3}));
  ZtArray_destruct(ZTARRAY(&b));
  ZtArray_destruct(ZTARRAY(&a));  // destructs the items, leaves the storage alone
  EXPECT_EQ(a.data, storage);
}

// A fixed array too small for the other side's items: the swap must not drop anyone's items.
TEST_F(TrackedArrayTest, SwapThatDoesNotFitChangesNeitherSide) {
  Tracked storage[2];
  TrackedArray fixed, owned;
  ZtArray_constructFixed(ZTARRAY(&fixed), &kTracked, storage, 2);
  Source two({1, 2}), three({7, 8, 9});
  ASSERT_EQ(ZtArray_append(ZTARRAY(&fixed), 2, two.data()), 0);
  ZtArray_construct(ZTARRAY(&owned), &kTracked, 3, three.data());
  for (int order = 0; order < 2; ++order) {
    if (order == 0)
      ZtArray_swap(ZTARRAY(&fixed), ZTARRAY(&owned));
    else
      ZtArray_swap(ZTARRAY(&owned), ZTARRAY(&fixed));
    EXPECT_EQ(values(fixed), std::vector<int>({1, 2})) << order;
    EXPECT_EQ(values(owned), std::vector<int>({7, 8, 9})) << order;
  }
  ZtArray_erase(ZTARRAY(&owned), 0, 1);  // now it fits: the items change places
  ZtArray_swap(ZTARRAY(&owned), ZTARRAY(&fixed));
  EXPECT_EQ(values(fixed), std::vector<int>({8, 9}));
  EXPECT_EQ(values(owned), std::vector<int>({1, 2}));
  EXPECT_EQ(fixed.data, storage);
  ZtArray_destruct(ZTARRAY(&owned));
  ZtArray_destruct(ZTARRAY(&fixed));
}

TEST(PlainArray, NumericDescriptorsCompareByValue) {
  const int32_t lo[] = {-1}, hi[] = {1};
  ZtInt32Array a, b;
  ZtArray_construct(ZTARRAY(&a), &g_ztInt32ArrayDescriptor, 1, lo);
  ZtArray_construct(ZTARRAY(&b), &g_ztInt32ArrayDescriptor, 1, hi);
  EXPECT_EQ(ZtArray_compare(ZTCARRAY(&a), ZTCARRAY(&b)), -1);  // a byte compare would say +1
  const double dlo[] = {-2.5}, dhi[] = {0.5};
  ZtDoubleArray c, d;
  ZtArray_construct(ZTARRAY(&c), &g_ztDoubleArrayDescriptor, 1, dlo);
  ZtArray_construct(ZTARRAY(&d), &g_ztDoubleArrayDescriptor, 1, dhi);
  EXPECT_EQ(ZtArray_compare(ZTCARRAY(&c), ZTCARRAY(&d)), -1);
  ZtArray_destruct(ZTARRAY(&a));
  ZtArray_destruct(ZTARRAY(&b));
  ZtArray_destruct(ZTARRAY(&c));
  ZtArray_destruct(ZTARRAY(&d));
}

// ---- ZtString ----

struct StringCase {
  const char* text;
  size_t length;  // passed to ZtString_assign
  const char* expected;
  size_t expectedSize;  // counts the NUL; 0 for empty
};

TEST(String, AssignKeepsSizeAndNulInStep) {
  const StringCase cases[] = {
      {"hello", 5, "hello", 6},
      {"hello", 3, "hel", 4},
      {"he\0llo", 6, "he", 3},  // an embedded NUL ends the text
      {"", 0, "", 0},
      {"abc", 0, "", 0},
      {nullptr, 4, "", 0},
  };
  for (const auto& c : cases) {
    ZtString s;
    ZtString_construct(&s, "previous");
    ZtString_assign(&s, c.length, c.text);
    EXPECT_EQ(s.size, c.expectedSize) << c.expected;
    EXPECT_STREQ(ZtString_c_str(&s), c.expected);
    EXPECT_EQ(ZtString_length(&s), std::strlen(c.expected));
    EXPECT_EQ(bool(ZtString_empty(&s)), c.expectedSize <= 1);
    if (s.size) {
      EXPECT_EQ(s.data[s.size - 1], '\0');
    }
    ZtString_destruct(&s);
  }
}

TEST(String, AppendIncludingItselfAndItsOwnText) {
  ZtString s, t;
  ZtString_construct(&s, nullptr);
  EXPECT_STREQ(ZtString_c_str(&s), "");  // never null
  EXPECT_TRUE(s.flags & ZTARRAY_EMPTY);
  ZtString_appendCharArray(&s, "ab");
  ZtString_construct(&t, "cd");
  ZtString_append(&s, &t);
  EXPECT_STREQ(ZtString_c_str(&s), "abcd");
  EXPECT_EQ(s.size, 5u);
  ZtString_append(&s, &s);
  EXPECT_STREQ(ZtString_c_str(&s), "abcdabcd");
  ZtString_appendCharArray(&s, s.data + 6);  // text inside our own storage
  EXPECT_STREQ(ZtString_c_str(&s), "abcdabcdcd");
  ZtString_assignCharArray(&s, s.data + 2);
  EXPECT_STREQ(ZtString_c_str(&s), "cdabcdcd");
  EXPECT_EQ(s.size, 9u);
  ZtString_appendCharArray(&s, "");
  EXPECT_EQ(s.size, 9u);
  ZtString_destruct(&s);
  ZtString_destruct(&t);
}

TEST(ByteArray, EraseFrontKeepsTheRest) {
  const uint8_t bytes[] = {1, 2, 3, 4, 5};
  ZtByteArray b;
  ZtByteArray_construct(&b, 5, bytes);
  ZtByteArray_eraseFront(&b, 2);
  ASSERT_EQ(b.size, 3u);
  EXPECT_EQ(std::vector<uint8_t>(b.data, b.data + b.size), std::vector<uint8_t>({3, 4, 5}));
  ASSERT_EQ(ZtByteArray_append(&b, 2, bytes), 0);
  EXPECT_EQ(std::vector<uint8_t>(b.data, b.data + b.size), std::vector<uint8_t>({3, 4, 5, 1, 2}));
  ZtByteArray_eraseFront(&b, 99);
  EXPECT_EQ(b.size, 0u);
  EXPECT_TRUE(b.flags & ZTARRAY_EMPTY);
  ASSERT_EQ(ZtByteArray_append(&b, 1, bytes), 0);
  EXPECT_FALSE(b.flags & ZTARRAY_EMPTY);
  ZtByteArray_destruct(&b);
}

}  // namespace
