// Skip-list structure under random inserts, erases and appends, reproducible shapes from a
// seed, and the allocators the lists draw from.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <unordered_map>
#include <vector>

#include "support/SparseFixtures.h"
#include "math/sparse/SkipList.h"
#include "math/sparse/SkipListRandom.h"

using namespace sparsetest;
using List = SkipList<unsigned long, double>;

namespace {

// Height of every node (number of levels it is linked on), in key order.
std::vector<int> shapeOf(const List& list) {
  std::unordered_map<const List::Node*, int> height;
  for (int i = 0; i <= list.level(); ++i)
    for (auto* n = list.header()->forward()[i]; n != nullptr; n = n->forward()[i]) height[n] = i + 1;
  std::vector<int> heights;
  for (auto* n = list.first(); n != nullptr; n = n->next()) heights.push_back(height[n]);
  return heights;
}

::testing::AssertionResult sameAs(const List& list, const std::map<unsigned long, double>& ref) {
  auto it = ref.begin();
  for (auto* n = list.first(); n != nullptr; n = n->next(), ++it) {
    if (it == ref.end()) return ::testing::AssertionFailure() << "extra key " << n->key;
    if (n->key != it->first || n->value != it->second)
      return ::testing::AssertionFailure() << "key " << n->key << " where " << it->first << " expected";
  }
  if (it != ref.end()) return ::testing::AssertionFailure() << "missing key " << it->first;
  return ::testing::AssertionSuccess();
}

// Random inserts, range erases, lookups and appends on a list of maxLevel 5, mirrored in a map.
void randomWorkload(List& list, std::map<unsigned long, double>& ref, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<unsigned long> key(0, 999);
  for (int step = 0; step < 3000; ++step) {
    const int op = static_cast<int>(rng() % 10);
    if (op < 5) {
      const unsigned long k = key(rng);
      const double x = static_cast<double>(step);
      list.assign(k, x);
      ref[k] = x;
    } else if (op < 7) {
      const unsigned long lo = key(rng), hi = lo + rng() % 20;
      list.eraseRange(lo, hi);
      ref.erase(ref.lower_bound(lo), ref.upper_bound(hi));
    } else if (op < 9) {
      const unsigned long k = key(rng);
      const auto it = ref.find(k);
      const auto* n = list.find(k);
      ASSERT_EQ(n != nullptr, it != ref.end()) << k;
      if (n != nullptr) {
        ASSERT_EQ(n->value, it->second);
      }
    } else {
      const unsigned long k = (ref.empty() ? 0 : ref.rbegin()->first + 1) + rng() % 3;
      list.append(k, -1.0);
      ref[k] = -1.0;
    }
    if (step % 50 == 0) {
      ASSERT_TRUE(listWellFormed(list)) << "step " << step;
      ASSERT_TRUE(sameAs(list, ref)) << "step " << step;
    }
  }
  ASSERT_TRUE(listWellFormed(list));
  ASSERT_TRUE(sameAs(list, ref));
}

}  // namespace

TEST(SkipList, RandomWorkloadKeepsStructureAndContents) {
  for (uint16_t maxLevel : {1, 2, 5, 8}) {
    SCOPED_TRACE(maxLevel);
    List list(maxLevel, &defaultAllocator, true);
    std::map<unsigned long, double> ref;
    randomWorkload(list, ref, 7u + maxLevel);
    int highest = 0;
    for (auto h : shapeOf(list)) highest = std::max(highest, h);
    EXPECT_LE(highest, maxLevel);
    if (maxLevel >= 5) {
      EXPECT_GE(highest, 3);  // levels are really used
    }
    list.clear();
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.level(), 0);
    EXPECT_TRUE(listWellFormed(list));
  }
}

TEST(SkipList, LevelsAreAboutOneQuarterEach) {
  SkipListRandom::reseed();
  List list(10, &defaultAllocator, true);
  for (unsigned long k = 0; k < 40000; ++k) list.append(k, 0.0);
  std::vector<int> perLevel(11, 0);
  for (int h : shapeOf(list)) ++perLevel[h];
  // Height h has probability 3/4 * (1/4)^(h-1) (cut at the top): check the first three.
  EXPECT_NEAR(perLevel[1] / 40000.0, 0.75, 0.02);
  EXPECT_NEAR(perLevel[2] / 40000.0, 0.1875, 0.02);
  EXPECT_NEAR(perLevel[3] / 40000.0, 0.046875, 0.01);
}

TEST(SkipList, SeedReproducesShape) {
  auto build = [](uint64_t seed) {
    SkipListRandom::reseed(seed);
    List list(6, &defaultAllocator, true);
    std::map<unsigned long, double> ref;
    randomWorkload(list, ref, 99);
    return shapeOf(list);
  };
  const auto a = build(1234), b = build(1234), c = build(4321);
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  // The C library's generator is not touched by the levels.
  std::srand(5);
  const int expected = std::rand();
  std::srand(5);
  build(1);
  EXPECT_EQ(std::rand(), expected);
}

TEST(SkipList, AppendOfAnOldKeyInsertsInOrder) {
  List list(4, &defaultAllocator, true);
  for (unsigned long k : {10ul, 20ul, 30ul}) list.append(k, static_cast<double>(k));
  list.append(15, 1.5);  // below the last key
  list.append(30, 3.0);  // equal to the last key: assigned
  list.append(40, 4.0);
  std::map<unsigned long, double> ref{{10, 10.0}, {15, 1.5}, {20, 20.0}, {30, 3.0}, {40, 4.0}};
  EXPECT_TRUE(sameAs(list, ref));
  EXPECT_TRUE(listWellFormed(list));
}

TEST(SkipList, EmptyAndReversedRangesEraseNothing) {
  List list(3, &defaultAllocator, true);
  for (unsigned long k = 0; k < 10; ++k) list.append(k, 1.0);
  list.eraseRange(5, 4);
  list.eraseRange(20, 30);
  std::map<unsigned long, double> ref;
  for (unsigned long k = 0; k < 10; ++k) ref[k] = 1.0;
  EXPECT_TRUE(sameAs(list, ref));
  list.eraseRange(0, ~0ul);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.level(), 0);
}

TEST(SparseAllocators, CountingAllocatorSeesEveryByte) {
  CountingAllocator alloc;
  {
    SparseVector v(64, &alloc);  // maxLevel 4: nodes of 4 * 8 + 16 bytes
    const size_t lists = (4 * 8 + 16) + 2 * (4 * 8);
    EXPECT_EQ(alloc.liveBytes, lists);
    for (ZtSize i = 0; i < 64; i += 3) v[i] = 1.0;
    EXPECT_EQ(alloc.liveBytes, lists + 22 * (4 * 8 + 16));
    v.isSubZero(0, 30);
    EXPECT_EQ(alloc.liveBytes, lists + 12 * (4 * 8 + 16));
    SparseVector copy(v);
    EXPECT_EQ(copy.allocator(), &alloc);
    EXPECT_EQ(alloc.liveBytes, 2 * (lists + 12 * (4 * 8 + 16)));
  }
  EXPECT_EQ(alloc.liveBytes, 0u);
  EXPECT_EQ(alloc.frees, alloc.mallocs);

  std::mt19937_64 rng(3);
  {
    SparseMatrix m(40, 30, true, true, &alloc);
    fillShuffled(m, randomDense(40, 30, 0.2, rng), rng);
    SparseMatrix p(40, 30, true, true, &alloc);
    p.isSelfAddMat(m);
    p.resize(10, 5);  // the lists of the removed rows and columns go back
    p.resize(50, 60);
    m.resize(0, 0);
    m.resize(3, 0);
    m.resize(0, 3);
  }
  EXPECT_EQ(alloc.liveBytes, 0u);
}

TEST(SparseAllocators, ShrinkToZeroNeverReallocatesToZeroBytes) {
  // realloc(p, 0) may release p and return null: the matrix must not ask for it.
  struct StrictAllocator : CountingAllocator {
    void* realloc(void* p, size_t size) override {
      EXPECT_NE(size, 0u);
      return CountingAllocator::realloc(p, size);
    }
  } alloc;
  for (Kinds kinds : {Kinds::Both, Kinds::RowsOnly, Kinds::ColsOnly}) {
    SCOPED_TRACE(kindsName(kinds));
    SparseMatrix m = makeMatrix(4, 5, kinds, &alloc);
    m.setValue(3, 4, 1.0);
    m.resize(0, 5);
    m.resize(4, 0);
    m.resize(0, 0);
    m.resize(2, 2);
    m.setValue(1, 1, 2.0);
    EXPECT_EQ(m.getValue(1, 1), 2.0);
    EXPECT_TRUE(kindsAgree(m));
  }
  EXPECT_EQ(alloc.liveBytes, 0u);
}

TEST(SparseAllocators, ArenaThatCannotFreeGetsNothingBack) {
  ArenaAllocator arena;
  std::mt19937_64 rng(11);
  {
    SparseMatrix a(30, 30, true, true, &arena), b(30, 30, true, true, &arena);
    fillShuffled(a, randomDense(30, 30, 0.1, rng), rng);
    fillShuffled(b, randomDense(30, 30, 0.1, rng), rng);
    SparseMatrix c(a);
    c.isMatMulMat(a, b);
    c.isSelfSubMat(a);
    c.zeroSub(3, 3, 10, 10);
    c.resize(10, 40);
    c.resize(0, 0);
    c.freeRowData();
    a.isZero();
    SparseVector v(100, &arena);
    for (ZtSize i = 0; i < 100; ++i) v[i] = 1.0;
    v.resize(10);
    v.isNormalizeSelf();
    EXPECT_TRUE(kindsAgree(b));
  }
  EXPECT_GT(arena.handedOut, 0u);
  EXPECT_EQ(arena.frees, 0u);
}

TEST(SparseAllocators, DefaultAllocatorByDefault) {
  SparseVector v(10);
  EXPECT_EQ(v.allocator(), &defaultAllocator);
  EXPECT_TRUE(v.list().ownsAllocator());
  SparseMatrix m(3, 3, true, true);
  EXPECT_EQ(m.allocator(), &defaultAllocator);
  EXPECT_TRUE(defaultAllocator.canFree());
  // Exercised under ASan's leak check: shrinking resizes release the removed lists.
  m.setValue(2, 2, 1.0);
  m.resize(1, 1);
  m.resize(0, 4);
  m.resize(5, 5);
  m.setValue(4, 4, 1.0);
  m.freeColData();
  m.addColData();
  EXPECT_TRUE(kindsAgree(m));
  EXPECT_EQ(m.getValue(4, 4), 1.0);
  EXPECT_EQ(m.getValue(2, 2), 0.0);
}
