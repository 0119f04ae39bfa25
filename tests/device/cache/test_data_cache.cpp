// The three storing cache kinds (most recently used, weak FIFO, fast index) through one set of
// typed cases, then each kind's own order, trimming, fetch acceptance and refusals; every
// exception with its code and text; write-back to a recording source; the disabled cache; the
// packet cache and its factory.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "CacheTestKit.h"
#include "support/AllocationCounter.h"
#include "device/cache/DataCache.h"
#include "device/cache/DisabledDataCache.h"
#include "device/cache/FastIndexDataCache.h"
#include "device/cache/IPacketDataCache.h"
#include "device/cache/PacketDataCache.h"
#include "device/cache/WeakFifoDataCache.h"
#include "device/cache/ZeltoException.h"

namespace {

using namespace cachetest;
using Keys = std::vector<long>;

struct MruKind {
  using Type = DataCache<long, ZtDataPacket>;
  static constexpr bool kTrims = true;
  static constexpr bool kRemoves = true;
  // Index order after inserting 5, 1, 9, 7 and reading 1.
  static Keys orderAfterRead() { return {1, 7, 9, 5}; }
};
struct FifoKind {
  using Type = WeakFifoDataCache<long, ZtDataPacket>;
  static constexpr bool kTrims = true;
  static constexpr bool kRemoves = true;
  static Keys orderAfterRead() { return {1, 5, 7, 9}; }
};
struct FastKind {
  using Type = FastIndexDataCache<long, ZtDataPacket>;
  static constexpr bool kTrims = false;
  static constexpr bool kRemoves = false;
  static Keys orderAfterRead() { return {5, 1, 9, 7}; }
};

template <class Kind>
class AnyKind : public ::testing::Test {
 protected:
  void put(std::initializer_list<long> keys, bool modified = false, ZtTimeStamp tag = 0) {
    for (long k : keys) cache.insert(k, packet(k, tag).p, modified);
  }
  typename Kind::Type cache;
  RecordingSource source;
};
using Kinds = ::testing::Types<MruKind, FifoKind, FastKind>;
TYPED_TEST_SUITE(AnyKind, Kinds);

TYPED_TEST(AnyKind, EmptyCacheRefusesReadsAndChangesNothing) {
  auto& c = this->cache;
  EXPECT_TRUE(c.empty());
  EXPECT_EQ(c.maxSize(), ULONG_MAX);
  expectThrows([&] { c.highestKey(); }, ZRV_UNSUPPORTED, "Empty cache", "highestKey");
  expectThrows([&] { c.lowestKey(); }, ZRV_UNSUPPORTED, "Empty cache", "lowestKey");
  expectThrows([&] { Got g(c.highest()); }, ZRV_UNSUPPORTED, "Empty cache", "highest");
  expectThrows([&] { Got g(c.lowest()); }, ZRV_UNSUPPORTED, "Empty cache", "lowest");
  expectThrows([&] { Got g(c.closest(4)); }, ZRV_UNSUPPORTED, "Empty cache", "closest");
  expectThrows([&] { Got g(c.atIndex(0)); }, ZRV_INVALIDPARAM, "Index out of range: 0, 0", "atIndex");
  expectThrows([&] { Got g(c.object(3)); }, ZRV_INVALIDPARAM, "Key not found: 3", "object");
  expectThrows([&] { Got g(c.lowerBound(3)); }, ZRV_INVALIDPARAM, "LowerBound failed for key: 3", "lowerBound");
  expectThrows([&] { Got g(c.upperBound(-3)); }, ZRV_INVALIDPARAM, "UpperBound failed for key: -3", "upperBound");
  EXPECT_TRUE(c.objects(0, 10).empty());
  EXPECT_FALSE(c.contains(0));
  EXPECT_TRUE(c.empty());
  EXPECT_EQ(c.size(), 0u);
}

TYPED_TEST(AnyKind, ReadsReturnCopiesOfTheHeldEntries) {
  auto& c = this->cache;
  this->put({5, 1, 9, 7}, false, 100);
  EXPECT_EQ(c.size(), 4u);
  EXPECT_EQ(Got(c.object(1)).key(), 1);
  EXPECT_EQ(indexOrder(c), TypeParam::orderAfterRead());
  EXPECT_EQ(c.lowestKey(), 1);
  EXPECT_EQ(c.highestKey(), 9);
  EXPECT_EQ(Got(c.highest()).key(), 9);
  EXPECT_EQ(Got(c.lowest()).key(), 1);
  EXPECT_TRUE(c.contains(7));
  EXPECT_FALSE(c.contains(6));

  // A returned packet is a copy: changing it leaves the cache alone, and so does a caller's
  // packet changed after insertion.
  {
    Got g(c.object(5));
    g.p.toa = 999;
    ZtDataPacket_setPacketCounter(&g.p, 77);
  }
  Got again(c.object(5));
  EXPECT_EQ(again.tag(), 100u);
  EXPECT_EQ(ZtDataPacket_packetCounter(&again.p), 5);

  // A held key is replaced, not merged, and keeps its place.
  const Keys before = indexOrder(c);
  c.insert(9, packet(9, 200).p, false);
  EXPECT_EQ(Got(c.object(9)).tag(), 200u);
  EXPECT_EQ(c.size(), 4u);
  if (!std::is_same_v<TypeParam, MruKind>) {  // MRU reads reorder
    EXPECT_EQ(indexOrder(c), before);
  }
}

TYPED_TEST(AnyKind, RangesBoundsAndClosest) {
  auto& c = this->cache;
  this->put({10, 20, 30, 31});
  const struct {
    long from, to;
    Keys keys;
  } ranges[] = {
      {20, 20, {}},  // from == to is empty even though 20 is held
      {30, 20, {}},
      {10, 30, {10, 20, 30}},
      {11, 30, {20, 30}},
      {-100, 100, {10, 20, 30, 31}},
      {21, 29, {}},
  };
  for (const auto& r : ranges) EXPECT_EQ(keysOf(c.objects(r.from, r.to)), r.keys) << r.from << ".." << r.to;

  EXPECT_EQ(Got(c.lowerBound(20)).key(), 20);
  EXPECT_EQ(Got(c.lowerBound(21)).key(), 30);
  EXPECT_EQ(Got(c.lowerBound(-5)).key(), 10);
  EXPECT_EQ(Got(c.lowerBound(31)).key(), 31);  // lowerBound(highestKey()) is the highest entry
  expectThrows([&] { Got g(c.lowerBound(32)); }, ZRV_INVALIDPARAM, "LowerBound failed for key: 32");
  EXPECT_EQ(Got(c.upperBound(20)).key(), 30);
  EXPECT_EQ(Got(c.upperBound(9)).key(), 10);
  expectThrows([&] { Got g(c.upperBound(31)); }, ZRV_INVALIDPARAM, "UpperBound failed for key: 31");

  const struct {
    long key, expected;
  } near[] = {{20, 20}, {24, 20}, {25, 20} /* halfway: the lower */, {26, 30}, {-7, 10}, {1000, 31}, {30, 30}, {31, 31}};
  for (const auto& n : near) EXPECT_EQ(Got(c.closest(n.key)).key(), n.expected) << n.key;
  EXPECT_EQ(c.size(), 4u);
}

// A cache without a source takes any key; keys far apart on both sides of zero used to
// overflow the signed distance and pick the far neighbour.
TYPED_TEST(AnyKind, ClosestAcrossTheWholeKeyRange) {
  auto& c = this->cache;
  const long low = -9000000000000000000L, high = 9000000000000000000L;
  this->put({low, high});
  const struct {
    long key, expected;
  } cases[] = {{8000000000000000000L, high}, {-8000000000000000000L, low}, {0, low} /* tie */, {1, high},
               {LONG_MAX, high}, {LONG_MIN, low}};
  for (const auto& n : cases) EXPECT_EQ(Got(c.closest(n.key)).key(), n.expected) << n.key;
  this->put({LONG_MIN, LONG_MAX});
  EXPECT_EQ(Got(c.closest(LONG_MAX - 1)).key(), LONG_MAX);
  EXPECT_EQ(Got(c.closest(LONG_MIN + 1)).key(), LONG_MIN);
}

TYPED_TEST(AnyKind, BadInputChangesNothing) {
  auto& c = this->cache;
  this->put({1, 2, 3});
  c.setDataSource(&this->source);
  const Keys before = keysOf(c.objects(LONG_MIN, LONG_MAX));
  expectThrows([&] { c.insert(-1, packet(-1).p, true); }, ZRV_INVALIDPARAM, "Invalid key: -1", "insert");
  expectThrows([&] { Got g(c.atIndex(3)); }, ZRV_INVALIDPARAM, "Index out of range: 3, 3", "atIndex");
  expectThrows([&] { Got g(c.atIndex(ULONG_MAX)); }, ZRV_INVALIDPARAM,
               "Index out of range: 18446744073709551615, 18446744073709551615", "atIndex max");
  expectThrows([&] { Got g(c.object(-4)); }, ZRV_INVALIDPARAM, "Key not found: -4", "object");
  EXPECT_EQ(keysOf(c.objects(LONG_MIN, LONG_MAX)), before);
  EXPECT_EQ(c.size(), 3u);
  EXPECT_TRUE(this->source.updates.empty());
}

TYPED_TEST(AnyKind, MaximumSize) {
  auto& c = this->cache;
  c.setMaxSize(0);  // 0: insert never trims
  for (long k = 0; k < 50; ++k) c.insert(k, packet(k).p, false);
  EXPECT_EQ(c.size(), 50u);
  c.setMaxSize(10);
  EXPECT_EQ(c.maxSize(), 10u);
  EXPECT_EQ(c.size(), TypeParam::kTrims ? 10u : 50u);
  c.insert(100, packet(100).p, false);
  EXPECT_EQ(c.size(), TypeParam::kTrims ? 10u : 51u);
  c.setMaxSize(0);
  EXPECT_EQ(c.size(), TypeParam::kTrims ? 0u : 51u);
  c.clear();
  EXPECT_TRUE(c.empty());
  c.insert(4, packet(4).p, false);
  EXPECT_EQ(indexOrder(c), Keys{4});
}

TYPED_TEST(AnyKind, FetchOnMissAndItsExceptionsDropped) {
  auto& c = this->cache;
  c.setDataSource(&this->source);
  this->put({1});
  // A fetch that throws: the miss is reported by the cache.
  this->source.onFetch = [](long, Cache&) { throw ZtException(ZRV_ENDOFFILE, "", true); };
  expectThrows([&] { Got g(c.object(7)); }, ZRV_INVALIDPARAM, "Key not found: 7");
  this->source.onFetch = [](long, Cache&) { throw 5; };
  expectThrows([&] { Got g(c.object(8)); }, ZRV_INVALIDPARAM, "Key not found: 8");
  EXPECT_EQ(this->source.fetches, (Keys{7, 8}));

  // A fetch that inserts the key it was asked for, re-entering the cache on this thread.
  this->source.fetches.clear();
  this->source.onFetch = [](long key, Cache& cache) { cache.insert(key, packet(key, 5).p, false); };
  EXPECT_EQ(Got(c.object(12)).tag(), 5u);
  EXPECT_EQ(Got(c.object(12)).tag(), 5u);  // held now: no second fetch
  EXPECT_EQ(this->source.fetches, Keys{12});

  // The other reads fetch a missing key first; contains, atIndex and take never fetch.
  this->source.fetches.clear();
  EXPECT_EQ(Got(c.lowerBound(20)).key(), 20);
  EXPECT_EQ(Got(c.upperBound(15)).key(), 20);
  EXPECT_EQ(Got(c.closest(25)).key(), 25);
  EXPECT_EQ(keysOf(c.objects(0, 30)), (Keys{1, 12, 15, 20, 25, 30}));
  EXPECT_FALSE(c.contains(40));
  EXPECT_EQ(this->source.fetches, (Keys{20, 15, 25, 30}));
}

TYPED_TEST(AnyKind, WriteBackOnFlush) {
  auto& c = this->cache;
  c.setDataSource(&this->source);
  this->put({3, 1}, true, 1);
  this->put({2}, false, 1);
  c.insert(2, packet(2, 2).p, true);  // unmodified entry becomes modified
  c.insert(1, packet(1, 2).p, false);  // modified entry stays modified
  c.flush();
  Keys written = this->source.updatedKeys();
  std::sort(written.begin(), written.end());
  EXPECT_EQ(written, (Keys{1, 2, 3}));
  for (const auto& u : this->source.updates)
    if (u.first != 3) {
      EXPECT_EQ(u.second, 2u) << "the replaced packet is written, key " << u.first;
    }
  EXPECT_EQ(c.size(), 3u);  // discard after write is off
  this->source.updates.clear();
  c.flush();  // flags were cleared
  EXPECT_TRUE(this->source.updates.empty());

  // A failing update passes through; the entry stays modified for the next flush.
  c.insert(2, packet(2, 3).p, true);
  this->source.failUpdates = true;
  expectThrows([&] { c.flush(); }, ZRV_ERROR, "update failed");
  this->source.failUpdates = false;
  c.flush();
  EXPECT_EQ(this->source.updatedKeys(), Keys{2});
  EXPECT_EQ(c.size(), 3u);

  // Without write on flush nothing is written.
  c.insert(1, packet(1).p, true);
  this->source.updates.clear();
  c.setWriteOnFlush(false);
  c.flush();
  EXPECT_TRUE(this->source.updates.empty());
}

TYPED_TEST(AnyKind, WriteImmediately) {
  auto& c = this->cache;
  c.setDataSource(&this->source);
  EXPECT_FALSE(c.writeImmediately());
  c.setWriteImmediately(true);
  EXPECT_TRUE(c.writeImmediately());
  this->put({1}, true, 7);
  this->put({2}, false);
  EXPECT_EQ(this->source.updates, (std::vector<std::pair<long, ZtTimeStamp>>{{1, 7}}));
  EXPECT_EQ(c.size(), 2u);
  c.flush();  // nothing left modified
  EXPECT_EQ(this->source.updates.size(), 1u);
}

// The lowest entry read into the caller's packet: the same entry lowest() copies, with the same
// effect on the sequence, and the target's earlier content fully replaced.
TYPED_TEST(AnyKind, LowestIntoReadsTheLowestEntryIntoTheTarget) {
  auto& c = this->cache;
  c.setDataSource(&this->source);
  zelto::test::Packet target = packet(42, 4242);
  EXPECT_FALSE(c.lowestInto(target.p));
  EXPECT_EQ(target->packetId, 42);  // empty: unchanged
  EXPECT_EQ(target->toa, 4242u);

  this->put({5, 1, 9, 7}, false, 100);
  c.insert(1, packet(1, 300).p, false);
  ASSERT_TRUE(c.lowestInto(target.p));
  EXPECT_EQ(target->packetId, 1);
  EXPECT_EQ(target->toa, 300u);
  EXPECT_EQ(ZtDataPacket_packetCounter(target.get()), 1);
  EXPECT_EQ(c.size(), 4u);  // read, not taken
  EXPECT_TRUE(this->source.fetches.empty());
  // A read like lowest(): the most-recently-used cache moves the entry to its front.
  EXPECT_EQ(indexOrder(c), TypeParam::orderAfterRead());
}

template <class Kind>
class RemovingKind : public AnyKind<Kind> {};
using RemovingKinds = ::testing::Types<MruKind, FifoKind>;
TYPED_TEST_SUITE(RemovingKind, RemovingKinds);

TYPED_TEST(RemovingKind, RemoveAndTake) {
  auto& c = this->cache;
  c.setDataSource(&this->source);
  this->put({1, 2, 3, 4}, true, 9);
  c.remove(2);
  c.remove(42);  // absent: ignored
  EXPECT_EQ(Got(c.take(3)).tag(), 9u);
  expectThrows([&] { Got g(c.take(3)); }, ZRV_INVALIDPARAM, "Key not found: 3");
  EXPECT_TRUE(this->source.updates.empty());  // write on remove is off
  EXPECT_TRUE(this->source.fetches.empty());  // take never fetches
  EXPECT_EQ(keysOf(c.objects(0, 9)), (Keys{1, 4}));

  c.setWriteOnRemove(true);
  c.remove(1);
  EXPECT_EQ(Got(c.take(4)).key(), 4);
  EXPECT_EQ(this->source.updatedKeys(), (Keys{1, 4}));
  EXPECT_TRUE(c.empty());
  this->put({5}, false);
  c.remove(5);  // unmodified: nothing to write
  EXPECT_EQ(this->source.updates.size(), 2u);
  // The sequence forgets removed entries too.
  this->put({6, 7});
  c.remove(6);
  EXPECT_EQ(indexOrder(c), Keys{7});
}

TYPED_TEST(RemovingKind, TakeLowestTakesInKeyOrderIntoTheTarget) {
  auto& c = this->cache;
  c.setDataSource(&this->source);
  zelto::test::Packet target = packet(42, 4242);
  EXPECT_FALSE(c.takeLowest(target.p));
  EXPECT_EQ(target->packetId, 42);  // empty: unchanged
  EXPECT_EQ(target->toa, 4242u);

  this->put({5, 1}, true, 7);
  this->put({9, 3}, false, 8);
  Keys taken;
  std::vector<ZtTimeStamp> tags;
  while (c.takeLowest(target.p)) {
    taken.push_back(target->packetId);
    tags.push_back(target->toa);
    EXPECT_EQ(ZtDataPacket_packetCounter(target.get()), target->packetId);
  }
  EXPECT_EQ(taken, (Keys{1, 3, 5, 9}));
  EXPECT_EQ(tags, (std::vector<ZtTimeStamp>{7, 8, 7, 8}));
  EXPECT_TRUE(c.empty());
  EXPECT_TRUE(indexOrder(c).empty());
  EXPECT_TRUE(this->source.updates.empty());  // write on remove is off
  EXPECT_TRUE(this->source.fetches.empty());  // never fetches

  // With write on remove, a modified entry is written back before it is taken.
  c.setWriteOnRemove(true);
  this->put({4}, true, 1);
  this->put({6}, false, 2);
  ASSERT_TRUE(c.takeLowest(target.p));
  ASSERT_TRUE(c.takeLowest(target.p));
  EXPECT_EQ(this->source.updatedKeys(), Keys{4});
}

// A cache held at its size while a consumer takes what comes in: once the entry, the target and
// their messages have grown, inserting and taking allocate nothing, and no data is mixed up.
TYPED_TEST(RemovingKind, InsertAndTakeInSteadyStateAllocateNothing) {
  auto& c = this->cache;
  c.setMaxSize(4);
  std::vector<zelto::test::Packet> packets;
  for (long k = 0; k < 64; ++k) packets.push_back(packet(k, static_cast<ZtTimeStamp>(k * 3)));
  zelto::test::Packet target;
  for (long k = 0; k < 8; ++k) {
    c.insert(k, packets[static_cast<size_t>(k)].p, true);
    c.takeLowest(target.p);
  }
  AllocationCounter counter;
  uint64_t takeAllocations = 0, bad = 0;
  for (long k = 8; k < 64; ++k) {
    AllocationCounter insert;
    c.insert(k, packets[static_cast<size_t>(k)].p, true);
    const uint64_t inserted = insert.count();
    AllocationCounter take;
    const bool got = c.takeLowest(target.p);
    takeAllocations += take.count();
    if (!std::is_same_v<TypeParam, MruKind>) {
      EXPECT_EQ(inserted, 0u) << k;
    }
    if (!got || target->packetId != k || target->toa != static_cast<ZtTimeStamp>(k * 3) ||
        ZtDataPacket_packetCounter(target.get()) != k)
      ++bad;
  }
  EXPECT_EQ(takeAllocations, 0u);
  EXPECT_EQ(bad, 0u);
  EXPECT_TRUE(c.empty());
  // The most-recently-used cache's recency list allocates a link per insertion: the counter sees it.
  if (std::is_same_v<TypeParam, MruKind>) {
    EXPECT_GT(counter.count(), 0u);
  }
}

TYPED_TEST(RemovingKind, DiscardAfterWrite) {
  auto& c = this->cache;
  c.setDataSource(&this->source);
  EXPECT_FALSE(c.discardAfterWrite());
  c.setDiscardAfterWrite(true);
  EXPECT_TRUE(c.discardAfterWrite());
  this->put({1, 3}, true);
  this->put({2}, false);
  c.flush();  // every visited entry goes, modified or not
  EXPECT_TRUE(c.empty());
  EXPECT_EQ(this->source.updates.size(), 2u);

  // With write immediately, every insertion is dropped at once, written or not.
  c.setWriteImmediately(true);
  this->put({4}, true);
  this->put({5}, false);
  EXPECT_TRUE(c.empty());
  Keys written = this->source.updatedKeys();
  std::sort(written.begin(), written.end());
  EXPECT_EQ(written, (Keys{1, 3, 4}));
}

TYPED_TEST(RemovingKind, TrimWritesBackModifiedEntries) {
  auto& c = this->cache;
  c.setDataSource(&this->source);
  c.setMaxSize(2);
  this->put({1}, true, 1);
  this->put({2}, false, 1);
  this->put({3}, false, 1);  // drops 1 (lowest, and least recently used)
  EXPECT_EQ(this->source.updates, (std::vector<std::pair<long, ZtTimeStamp>>{{1, 1}}));
  EXPECT_EQ(keysOf(c.objects(0, 9)), (Keys{2, 3}));
  this->put({4}, false);  // drops 2, unmodified: nothing written
  EXPECT_EQ(this->source.updates.size(), 1u);
  this->put({5}, true);
  c.setMaxSize(0);  // drops everything; 5 written
  EXPECT_TRUE(c.empty());
  EXPECT_EQ(this->source.updatedKeys(), (Keys{1, 5}));

  c.setWriteOnTrim(false);
  c.setMaxSize(1);
  this->put({6}, true);
  this->put({7}, true);
  EXPECT_EQ(this->source.updatedKeys(), (Keys{1, 5}));
  EXPECT_EQ(keysOf(c.objects(0, 9)), Keys{7});
}

// ---- Exceptions ------------------------------------------------------------------------------

TEST(CacheExceptions, CodesAndComposedTexts) {
  using X = DataCachePolicy::ZeltoException<long, ZtDataPacket>;
  const struct {
    void (*raise)();
    ZtResultValue code;
    const char* info;
  } cases[] = {
      {[] { X::cacheEmpty(); }, ZRV_UNSUPPORTED, "Empty cache"},
      {[] { X::operationNotAllowed("removeFromSequence"); }, ZRV_UNSUPPORTED, "Operation not allowed: removeFromSequence"},
      {[] { X::keyNotFound(-7); }, ZRV_INVALIDPARAM, "Key not found: -7"},
      {[] { X::invalidKey(LONG_MIN); }, ZRV_INVALIDPARAM, "Invalid key: -9223372036854775808"},
      {[] { X::indexOutOfRange(12, 12); }, ZRV_INVALIDPARAM, "Index out of range: 12, 12"},
      {[] { X::lowerBoundFailed(40); }, ZRV_INVALIDPARAM, "LowerBound failed for key: 40"},
      {[] { X::upperBoundFailed(-1); }, ZRV_INVALIDPARAM, "UpperBound failed for key: -1"},
  };
  for (const auto& c : cases) expectThrows(c.raise, c.code, c.info, c.info);
  // The composed form: code, result text, a tab and "Info: ".
  try {
    X::keyNotFound(5);
    ADD_FAILURE() << "no exception";
  } catch (const ZtException& e) {
    const std::string text = e.what();
    EXPECT_EQ(text.rfind("33: ", 0), 0u) << text;
    EXPECT_NE(text.find("\tInfo: Key not found: 5"), std::string::npos) << text;
  }
}

// ---- The weak FIFO -----------------------------------------------------------------------------

TEST(WeakFifo, LowestKeysLeaveFirstWhateverTheArrivalOrder) {
  WeakFifoDataCache<long, ZtDataPacket> c;
  c.setMaxSize(3);
  for (long k : {5, 1, 9, 7}) c.insert(k, packet(k).p, false);
  EXPECT_EQ(indexOrder(c), (Keys{5, 7, 9}));
}

TEST(WeakFifo, FullCacheReceivingAHeldKey) {
  WeakFifoDataCache<long, ZtDataPacket> c;
  c.setMaxSize(3);
  for (long k : {1, 2, 3}) c.insert(k, packet(k, 1).p, false);
  // Held but not the lowest: the lowest goes, the held one is overwritten.
  c.insert(2, packet(2, 2).p, false);
  EXPECT_EQ(indexOrder(c), (Keys{2, 3}));
  EXPECT_EQ(Got(c.object(2)).tag(), 2u);
  // Held and the lowest: dropped (written back when modified), then stored again as new.
  RecordingSource source;
  c.setDataSource(&source);
  c.insert(4, packet(4, 1).p, false);
  c.insert(2, packet(2, 9).p, true);  // 2 stays modified ...
  c.insert(2, packet(2, 3).p, false);  // ... full: 2 is the lowest, written back and stored anew
  EXPECT_EQ(source.updates, (std::vector<std::pair<long, ZtTimeStamp>>{{2, 9}}));
  EXPECT_EQ(indexOrder(c), (Keys{2, 3, 4}));
  c.flush();
  EXPECT_EQ(source.updates.size(), 1u) << "the new entry 2 came in unmodified";
}

TEST(WeakFifo, FetchedKeyIsFoundAnywhere) {
  WeakFifoDataCache<long, ZtDataPacket> c;
  RecordingSource source;
  c.setDataSource(&source);
  source.onFetch = [](long key, Cache& cache) {
    cache.insert(key, packet(key).p, false);
    cache.insert(key + 1, packet(key + 1).p, false);
  };
  EXPECT_EQ(Got(c.object(3)).key(), 3);
}

TEST(WeakFifo, HeldFullReusesEntriesWithoutLosingData) {
  // Many trims in a row through the kept node: every entry still reads back its own packet.
  WeakFifoDataCache<long, ZtDataPacket> c;
  c.setMaxSize(16);
  for (long k = 0; k < 1000; ++k) {
    zelto::test::Packet p = packet(k, static_cast<ZtTimeStamp>(k * 3));
    if (k % 7 == 0) {
      const uint8_t big[300] = {1, 2, 3};
      ZtMessage m;
      ZtMessage_constructSized(&m, sizeof big);
      ZtMessage_setMessageId(&m, 0x36);
      ZtMessage_setDataBuffer(&m, big, sizeof big, 0);
      ZtDataPacket_setMessage(p.get(), &m);
      ZtMessage_destruct(&m);
      p->packetId = k;
    }
    c.insert(k, p.p, false);
  }
  EXPECT_EQ(c.size(), 16u);
  for (long k = 984; k < 1000; ++k) {
    Got g(c.object(k));
    EXPECT_EQ(g.tag(), static_cast<ZtTimeStamp>(k * 3));
    EXPECT_EQ(ZtMessage_dataSize(&g.p.message), k % 7 == 0 ? 300u : 5u) << k;
  }
}

// ---- The most-recently-used cache ------------------------------------------------------------

TEST(MostRecentlyUsed, ReadsMoveToTheFrontAndTheBackLeaves) {
  DataCache<long, ZtDataPacket> c;
  c.setMaxSize(3);
  for (long k : {1, 2, 3}) c.insert(k, packet(k).p, false);
  // Front: most recently inserted. Reading index 2 (key 1) moves it to the front.
  EXPECT_EQ(Got(c.atIndex(2)).key(), 1);
  EXPECT_EQ(Got(c.atIndex(0)).key(), 1);
  EXPECT_EQ(Got(c.atIndex(2)).key(), 2);
  Got(c.object(3)).key();  // recency 3, 2, 1
  c.insert(4, packet(4).p, false);  // 1 is least recently used
  EXPECT_EQ(keysOf(c.objects(0, 9)), (Keys{2, 3, 4}));
  Got(c.lowest()).key();  // moves 2 to the front: 2, 4, 3
  c.insert(5, packet(5).p, false);
  EXPECT_EQ(keysOf(c.objects(0, 9)), (Keys{2, 4, 5}));
  // Bounds and closest do not touch the recency order.
  Got(c.lowerBound(4)).key();
  Got(c.closest(4)).key();
  c.insert(6, packet(6).p, false);
  EXPECT_EQ(keysOf(c.objects(0, 9)), (Keys{2, 5, 6}));
}

TEST(MostRecentlyUsed, FetchCountsOnlyTheFrontEntry) {
  DataCache<long, ZtDataPacket> c;
  RecordingSource source;
  c.setDataSource(&source);
  source.onFetch = [](long key, Cache& cache) {
    cache.insert(key, packet(key).p, false);
    cache.insert(key + 1, packet(key + 1).p, false);
  };
  expectThrows([&] { Got g(c.object(3)); }, ZRV_INVALIDPARAM, "Key not found: 3");
  EXPECT_TRUE(c.contains(3));
  source.onFetch = [](long key, Cache& cache) { cache.insert(key, packet(key).p, false); };
  EXPECT_EQ(Got(c.object(10)).key(), 10);
}

// ---- The fast-index cache --------------------------------------------------------------------

TEST(FastIndex, RefusesRemovalAndTheDiscardFlag) {
  FastIndexDataCache<long, ZtDataPacket> c;
  RecordingSource source;
  c.setDataSource(&source);
  for (long k : {3, 1, 2}) c.insert(k, packet(k).p, true);
  expectThrows([&] { c.remove(1); }, ZRV_UNSUPPORTED, "Operation not allowed: removeFromSequence", "remove");
  expectThrows([&] { Got g(c.take(1)); }, ZRV_UNSUPPORTED, "Operation not allowed: removeFromSequence", "take");
  expectThrows(
      [&] {
        zelto::test::Packet target;
        c.takeLowest(target.p);
      },
      ZRV_UNSUPPORTED, "Operation not allowed: removeFromSequence", "takeLowest");
  expectThrows([&] { c.discardAfterWrite(); }, ZRV_UNSUPPORTED, "Operation not allowed: discardAfterWrite");
  expectThrows([&] { c.setDiscardAfterWrite(true); }, ZRV_UNSUPPORTED,
               "Operation not allowed: setDiscardAfterWrite");
  c.flush();
  EXPECT_EQ(source.updatedKeys(), (Keys{3, 1, 2}));  // insertion order
  EXPECT_EQ(indexOrder(c), (Keys{3, 1, 2}));
  c.setWriteImmediately(true);
  c.insert(0, packet(0).p, true);
  EXPECT_EQ(indexOrder(c), (Keys{3, 1, 2, 0}));  // written, kept
  EXPECT_EQ(source.updatedKeys(), (Keys{3, 1, 2, 0}));
}

TEST(FastIndex, FetchCountsOnlyTheLastInsertion) {
  FastIndexDataCache<long, ZtDataPacket> c;
  RecordingSource source;
  c.setDataSource(&source);
  // Reading past the key (a gap in the packet ids): the key is not the last one inserted.
  source.onFetch = [](long key, Cache& cache) { cache.insert(key + 1, packet(key + 1).p, false); };
  expectThrows([&] { Got g(c.object(4)); }, ZRV_INVALIDPARAM, "Key not found: 4");
  source.onFetch = [](long key, Cache& cache) {
    cache.insert(key - 100, packet(key - 100).p, false);
    cache.insert(key, packet(key).p, false);
  };
  EXPECT_EQ(Got(c.object(200)).key(), 200);
  EXPECT_EQ(indexOrder(c), (Keys{5, 100, 200}));
}

// ---- The disabled cache ----------------------------------------------------------------------

TEST(DisabledCache, StoresNothingAndReadsEmptyPackets) {
  DisabledDataCache<long, ZtDataPacket> c;
  RecordingSource source;
  c.setDataSource(&source);
  c.setMaxSize(5);
  c.insert(1, packet(1).p, true);
  c.setWriteImmediately(true);
  c.setDiscardAfterWrite(true);
  c.flush();
  c.remove(1);
  c.clear();
  EXPECT_EQ(c.size(), 0u);
  EXPECT_EQ(c.maxSize(), 0u);
  EXPECT_TRUE(c.empty());
  EXPECT_FALSE(c.contains(1));
  EXPECT_EQ(c.highestKey(), 0);
  EXPECT_EQ(c.lowestKey(), 0);
  EXPECT_FALSE(c.writeImmediately());
  EXPECT_FALSE(c.discardAfterWrite());
  EXPECT_TRUE(c.objects(0, 10).empty());
  EXPECT_TRUE(Got(c.object(1)).empty());
  EXPECT_TRUE(Got(c.atIndex(0)).empty());
  EXPECT_TRUE(Got(c.take(1)).empty());
  zelto::test::Packet target = packet(3, 33);
  EXPECT_FALSE(c.takeLowest(target.p));
  EXPECT_FALSE(c.lowestInto(target.p));
  EXPECT_EQ(target->packetId, 3);
  EXPECT_EQ(target->toa, 33u);
  EXPECT_TRUE(Got(c.highest()).empty());
  EXPECT_TRUE(Got(c.lowest()).empty());
  EXPECT_TRUE(Got(c.lowerBound(1)).empty());
  EXPECT_TRUE(Got(c.upperBound(1)).empty());
  EXPECT_TRUE(Got(c.closest(1)).empty());
  EXPECT_TRUE(source.fetches.empty());
  EXPECT_TRUE(source.updates.empty());
}

// ---- Packet caches and the factory -----------------------------------------------------------

class SourceOfPackets : public zelto::IPacketDataSource {
 public:
  bool validKey(long key) const override { return key >= 0; }
  void fetch(long, Cache&) override {}
  void update(long key, const ZtDataPacket&) override { updates.push_back(key); }
  Keys updates;
};

TEST(PacketCacheFactory, MakesTheConfiguredKind) {
  SourceOfPackets source;
  const struct {
    const char* name;
    zelto::PacketDataCacheConfiguration configuration;
    bool fifo, mru, fast, disabled;
  } cases[] = {
      {"mru", {false, false, false}, false, true, false, false},
      {"mru, disable ignored", {true, false, false}, false, true, false, false},
      {"fifo", {false, true, false}, true, false, false, false},
      {"fast", {false, false, true}, false, false, true, false},
      {"fast, fifo ignored", {false, true, true}, false, false, true, false},
      {"disabled", {true, false, true}, false, false, false, true},
  };
  using Flush = DataCachePolicy::ConfigurableFlushing;
  using Discard = DataCachePolicy::ConfigurableDiscardAfterFlush;
  using Fifo = zelto::PacketDataCache<WeakFifoDataCache<long, ZtDataPacket, Flush, Discard>>;
  using Mru = zelto::PacketDataCache<DataCache<long, ZtDataPacket, Flush, Discard>>;
  using Fast = zelto::PacketDataCache<FastIndexDataCache<long, ZtDataPacket, Flush>>;
  using Disabled = zelto::PacketDataCache<DisabledDataCache<long, ZtDataPacket>>;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    std::unique_ptr<zelto::IPacketDataCache> c(zelto::IPacketDataCache::create(&source, k.configuration, 4));
    ASSERT_TRUE(c);
    EXPECT_EQ(dynamic_cast<Fifo*>(c.get()) != nullptr, k.fifo);
    EXPECT_EQ(dynamic_cast<Mru*>(c.get()) != nullptr, k.mru);
    EXPECT_EQ(dynamic_cast<Fast*>(c.get()) != nullptr, k.fast);
    EXPECT_EQ(dynamic_cast<Disabled*>(c.get()) != nullptr, k.disabled);
    EXPECT_EQ(c->deviceId(), 0u);
    EXPECT_EQ(c->packetFixedData(), nullptr);
    EXPECT_EQ(c->maxSize(), k.disabled ? 0u : 4u);
    if (k.fifo || k.mru) {
      EXPECT_TRUE(c->discardAfterWrite());
    }
    // The source is set: negative keys are refused (the disabled cache ignores everything).
    if (!k.disabled) expectThrows([&] { c->insert(-1, packet(-1).p, false); }, ZRV_INVALIDPARAM, "Invalid key: -1");
    for (long key = 0; key < 6; ++key) c->insert(key, packet(key).p, key == 5);
    EXPECT_EQ(c->size(), k.disabled ? 0u : k.fast ? 6u : 4u);
    source.updates.clear();
    c->flush();
    EXPECT_EQ(source.updates, k.disabled ? Keys{} : Keys{5});
    // A live-port cache (weak FIFO or most recently used) is empty after a flush.
    EXPECT_EQ(c->empty(), !k.fast);
  }
}

TEST(PacketCache, DeviceIdAndLayoutRecord) {
  zelto::PacketDataCacheConfiguration fifo{false, true, false};
  std::unique_ptr<zelto::IPacketDataCache> c(zelto::IPacketDataCache::create(nullptr, fifo, 10));
  c->setDeviceId(0x00345678);
  EXPECT_EQ(c->deviceId(), 0x00345678u);
  PacketFixedData mine(3, true);
  c->setPacketFixedData(&mine);
  PacketFixedData* held = c->packetFixedData();
  ASSERT_NE(held, nullptr);
  EXPECT_NE(held, &mine);  // a copy; the caller keeps its own
  EXPECT_EQ(held->itemCount(), 3);
  EXPECT_TRUE(held->isZbusSystem());
  PacketFixedData other(2, false);
  c->setPacketFixedData(&other);  // replaces (and frees) the held copy
  EXPECT_EQ(c->packetFixedData()->itemCount(), 2);
  expectThrows([&] { c->setPacketFixedData(nullptr); }, ZRV_INVALIDPARAM, "No packet layout record");
  EXPECT_EQ(c->packetFixedData()->itemCount(), 2);
  // Without a source any key goes in.
  c->insert(-5, packet(-5).p, false);
  EXPECT_EQ(Got(c->object(-5)).key(), -5);
}

}  // namespace
