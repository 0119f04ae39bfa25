// The two cache steps a device takes per packet: insertIfAbsent (a new key stored in one step, a
// held one left alone) in every kind, and takeLowest, which hands the entry over by exchange and
// must leave nothing of the target's old content in the cache.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CacheTestKit.h"
#include "device/cache/DataCache.h"
#include "device/cache/DisabledDataCache.h"
#include "device/cache/FastIndexDataCache.h"
#include "device/cache/WeakFifoDataCache.h"

namespace {

using cachetest::Cache;
using cachetest::Got;

struct InsertIfAbsentKind {
  const char* name;
  std::function<std::unique_ptr<Cache>()> make;
  bool stores;
  std::vector<long> keysAfterTrim;  // after 1, 2 held with room for two and 3 inserted
};

std::vector<long> heldKeys(Cache& cache) {
  std::vector<long> keys;
  for (const ZtDataPacket& p : cache.objects(-1000, 1000)) keys.push_back(p.packetId);
  return keys;
}

TEST(CacheInsertIfAbsent, StoresANewKeyAsInsertDoesAndLeavesAHeldKeyAlone) {
  const InsertIfAbsentKind kinds[] = {
      {"most recently used", [] { return std::make_unique<DataCache<long, ZtDataPacket>>(); }, true, {2, 3}},
      {"weak FIFO", [] { return std::make_unique<WeakFifoDataCache<long, ZtDataPacket>>(); }, true, {2, 3}},
      {"fast index", [] { return std::make_unique<FastIndexDataCache<long, ZtDataPacket>>(); }, true, {1, 2, 3}},
      {"disabled", [] { return std::make_unique<DisabledDataCache<long, ZtDataPacket>>(); }, false, {}},
  };
  for (const InsertIfAbsentKind& kind : kinds) {
    SCOPED_TRACE(kind.name);
    std::unique_ptr<Cache> cache = kind.make();
    cachetest::RecordingSource source;
    cache->setDataSource(&source);
    cache->setMaxSize(2);
    cache->insert(1, cachetest::packet(1, 10).p, false);
    cache->insert(2, cachetest::packet(2, 20).p, false);

    // A held key: nothing changes, not even a trim of the full cache or the modified flag.
    EXPECT_EQ(cache->insertIfAbsent(2, cachetest::packet(2, 99).p, true), !kind.stores);
    if (kind.stores) {
      EXPECT_EQ(Got(cache->object(2)).tag(), 20u);
      EXPECT_EQ(heldKeys(*cache), (std::vector<long>{1, 2}));
      cache->flush();
      EXPECT_TRUE(source.updates.empty()) << "a refused value marked the entry modified";
    }

    // A new key: the insertion rule, trim and modified flag included.
    EXPECT_TRUE(cache->insertIfAbsent(3, cachetest::packet(3, 30).p, true));
    EXPECT_EQ(heldKeys(*cache), kind.keysAfterTrim);
    if (kind.stores) {
      EXPECT_EQ(Got(cache->object(3)).tag(), 30u);
      cache->flush();
      EXPECT_EQ(source.updatedKeys(), std::vector<long>{3});
      // A key the source refuses is refused as insert refuses it, the cache unchanged.
      const std::vector<long> before = heldKeys(*cache);
      cachetest::expectThrows([&] { cache->insertIfAbsent(-4, cachetest::packet(-4).p, true); }, ZRV_INVALIDPARAM,
                              "Invalid key: -4", "insertIfAbsent");
      EXPECT_EQ(heldKeys(*cache), before);
    }
  }
}

// The target's old content (a long converted packet with its original message) goes into the
// cache as spare storage; whatever is inserted and taken later must come out exactly as it went in.
TEST(CacheInsertIfAbsent, TakeLowestExchangesWithoutLeakingTheTargetsOldContent) {
  WeakFifoDataCache<long, ZtDataPacket> cache;
  zelto::test::Packet target = cachetest::packet(77, 7);
  for (int i = 0; i < 40; ++i) ZtDataPacket_setStatus(target.get(), static_cast<uint32_t>(i));
  zelto::test::Message legacy(0x32, std::vector<uint8_t>(64, 0xAB));
  ZtMessage_copy(&target->original, &legacy.m);

  for (long key = 1; key <= 6; ++key) {
    SCOPED_TRACE(key);
    const zelto::test::Packet in = cachetest::packet(key, static_cast<ZtTimeStamp>(key * 3));
    ASSERT_TRUE(cache.insertIfAbsent(key, in.p, true));
    ASSERT_TRUE(cache.takeLowest(target.p));
    EXPECT_EQ(target->packetId, key);
    EXPECT_EQ(target->toa, static_cast<ZtTimeStamp>(key * 3));
    const size_t size = ZtMessage_getTotalMessageSize(&in.p.message);
    ASSERT_EQ(ZtMessage_getTotalMessageSize(&target->message), size);
    EXPECT_EQ(0, std::memcmp(ZtMessage_getMessageStart(&target->message), ZtMessage_getMessageStart(&in.p.message), size));
    EXPECT_TRUE(ZtMessage_empty(&target->original));
    EXPECT_TRUE(cache.empty());
  }
}

}  // namespace
