// The SDI interval rebaser over a real weak-FIFO packet cache: rebasing against a constant-rate
// truth, the cases that leave an interval alone, the search for the interval containing a late
// one (stopping early, visiting cached keys only) and all of it across the 16-bit frame wrap.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <vector>

#include "device/cache/IPacketDataCache.h"
#include "device/cache/PacketDataCacheConfiguration.h"
#include "math/Quaternion.h"
#include "otherdevices/wireless/SdiRebaser.h"
#include "support/emulator/EmuFrame.h"
#include "support/emulator/SdiPayload.h"

namespace {

// Truth: a constant turn rate about z and a constant acceleration along x (body frame). The
// increments over frames (f, l) at 100 Hz.
constexpr double kRate = 0.3;  // rad per frame
constexpr double kAcc = 0.02;  // velocity per frame

KtwSdiData truthInterval(uint16_t first, uint16_t last, bool turning) {
  const int frames = SdiRebaser::frameDistance(first, last);
  KtwSdiData d;
  d.setDeviceId(0x00B00011);
  d.setFrameRange(first, last);
  const double angle = turning ? kRate * frames : 0.0;
  d.setOrientationIncrement(ZtQuaternion{std::cos(angle / 2), 0.0, 0.0, std::sin(angle / 2)});
  const double dv[3] = {kAcc * frames, 0.0, 0.0};
  d.setVelocityIncrement(dv);
  return d;
}

ZtDataPacket packetOf(const KtwSdiData& d, int64_t counter) {
  ZtDataPacket p;
  ZtDataPacket_construct(&p);
  p.deviceId = d.deviceId();
  p.packetId = counter;
  SdiRebaser::writeKtwSdiToZtDataPacket(p, d);
  return p;
}

struct Cache {
  Cache() {
    zelto::PacketDataCacheConfiguration c;
    c.useFifo = true;
    cache.reset(zelto::IPacketDataCache::create(nullptr, c, 1000));
  }
  void add(uint16_t first, uint16_t last, int64_t counter) {
    ZtDataPacket p = packetOf(truthInterval(first, last, false), counter);
    cache->insert(counter, p, true);
    ZtDataPacket_destruct(&p);
  }
  std::unique_ptr<zelto::IPacketDataCache> cache;
};

TEST(SdiRebaser, RebasesTheLargerIntervalOntoTheLateOne) {
  for (bool turning : {false, true}) {
    const KtwSdiData large = truthInterval(10, 20, turning);
    const KtwSdiData small = truthInterval(10, 14, turning);
    ASSERT_TRUE(SdiRebaser::canRebase(large, small));
    const KtwSdiData r = SdiRebaser::rebase(large, small);
    EXPECT_EQ(r.firstFrame(), 14);
    EXPECT_EQ(r.lastFrame(), 20);
    const KtwSdiData truth = truthInterval(14, 20, turning);
    EXPECT_TRUE(zelto::Quaternion(r.orientationIncrement()).compare(truth.orientationIncrement(), 1e-12)) << turning;
    if (!turning) {
      for (int i = 0; i < 3; ++i) EXPECT_NEAR(r.velocityIncrement()[i], truth.velocityIncrement()[i], 1e-12);
    }
  }
  // Not the same start, or not shorter: unchanged.
  const KtwSdiData a = truthInterval(10, 20, true);
  for (const KtwSdiData& b : {truthInterval(11, 14, true), truthInterval(10, 20, true), truthInterval(10, 25, true)}) {
    EXPECT_FALSE(SdiRebaser::canRebase(a, b));
    EXPECT_TRUE(SdiRebaser::rebase(a, b) == a);
  }
  // Across the wrap: (65530, 4) on (65530, 65534) leaves (65534, 4).
  const KtwSdiData wrapped = SdiRebaser::rebase(truthInterval(65530, 4, true), truthInterval(65530, 65534, true));
  EXPECT_EQ(wrapped.firstFrame(), 65534);
  EXPECT_EQ(wrapped.lastFrame(), 4);
  EXPECT_TRUE(zelto::Quaternion(wrapped.orientationIncrement()).compare(truthInterval(65534, 4, true).orientationIncrement(), 1e-12));
}

TEST(SdiRebaser, NeedsRebasingOnlyForMoreThanOneFrame) {
  struct Case {
    uint16_t first, last;
    bool needs;
  };
  for (const Case& c : {Case{7, 8, false}, Case{7, 9, true}, Case{65535, 0, false}, Case{65530, 4, true}}) {
    ZtDataPacket p = packetOf(truthInterval(c.first, c.last, false), 1);
    EXPECT_EQ(SdiRebaser::needsRebasing(p), c.needs) << c.first << " " << c.last;
    ZtDataPacket_destruct(&p);
  }
  ZtDataPacket bare;
  ZtDataPacket_construct(&bare);
  EXPECT_FALSE(SdiRebaser::needsRebasing(bare));
  ZtDataPacket_destruct(&bare);
}

TEST(SdiRebaser, FindsTheContainingIntervalAmongCachedKeys) {
  Cache c;
  // Counters far apart: a walk over every counter between them would take long.
  c.add(10, 11, 11);
  c.add(10, 20, 20);             // contains (10, 14)
  c.add(30, 31, 1000000031);     // starts after: the search stops here
  c.add(10, 40, 2000000040);     // would contain it, but lies beyond the stop
  c.add(10, 14, 14);             // the late packet
  ZtDataPacket found = SdiRebaser::findLargePacket(14, *c.cache);
  EXPECT_EQ(found.packetId, 20);
  ZtDataPacket_destruct(&found);
  ZtDataPacket late = c.cache->object(14);
  EXPECT_TRUE(SdiRebaser::isSubInterval(late, *c.cache));
  ZtDataPacket_destruct(&late);
  ZtDataPacket none = SdiRebaser::findLargePacket(20, *c.cache);
  EXPECT_EQ(none.packetId, -1);
  ZtDataPacket_destruct(&none);
  // Rebased in the cache under its own counter.
  ASSERT_TRUE(SdiRebaser::rebaseOnThisIfNecessary(14, *c.cache));
  ZtDataPacket rebased = c.cache->object(20);
  KtwSdiData r;
  ASSERT_TRUE(SdiRebaser::readKtwSdiFromZtDataPacket(rebased, r));
  EXPECT_EQ(r.firstFrame(), 14);
  EXPECT_NEAR(r.velocityIncrement()[0], kAcc * 6, 1e-12);
  ZtDataPacket_destruct(&rebased);
  EXPECT_FALSE(SdiRebaser::rebaseOnThisIfNecessary(14, *c.cache));  // (14, 20) no longer starts at 10
}

// The intervals inside a packet's interval, among the cached packets with lower counters, in
// counter order; across the wrap too. Intervals that start before it or come later are none of
// them.
TEST(SdiRebaser, FindsTheSubIntervalsOfAnInterval) {
  struct Case {
    const char* name;
    std::vector<std::array<int64_t, 3>> cached;  // first, last, counter
    std::array<int64_t, 3> large;
    std::vector<std::pair<uint16_t, uint16_t>> inside;
  };
  const Case cases[] = {
      {"inside and around",
       {{10, 11, 11}, {9, 12, 12}, {12, 15, 15}, {18, 21, 21}, {10, 20, 1020}},
       {10, 20, 20},
       {{10, 11}, {12, 15}}},
      {"across the wrap", {{65532, 65534, 65534}, {2, 3, 65539}, {65529, 65531, 65531}}, {65530, 4, 65540},
       {{65532, 65534}, {2, 3}}},
      {"one frame: none", {{10, 11, 11}}, {10, 11, 11}, {}},
  };
  for (const Case& k : cases) {
    Cache c;
    for (const auto& a : k.cached) c.add(static_cast<uint16_t>(a[0]), static_cast<uint16_t>(a[1]), a[2]);
    c.add(static_cast<uint16_t>(k.large[0]), static_cast<uint16_t>(k.large[1]), k.large[2]);
    ZtDataPacket large = c.cache->object(k.large[2]);
    std::vector<std::pair<uint16_t, uint16_t>> got;
    for (const KtwSdiData& d : SdiRebaser::findSubIntervals(large, *c.cache)) got.emplace_back(d.firstFrame(), d.lastFrame());
    EXPECT_EQ(got, k.inside) << k.name;
    ZtDataPacket_destruct(&large);
  }
  // A packet without an interval has none.
  Cache c;
  c.add(10, 11, 11);
  ZtDataPacket plain;
  ZtDataPacket_construct(&plain);
  plain.packetId = 20;
  EXPECT_TRUE(SdiRebaser::findSubIntervals(plain, *c.cache).empty());
  ZtDataPacket_destruct(&plain);
}

// Late packets that came in another order: (11, 12) before (10, 11). The one that completes the
// chain rebases the large interval over both (rebaseOnThisIfNecessary); rebaseIntervals does it
// for every cached interval at once, and leaves alone what cannot be rebased.
TEST(SdiRebaser, RebasesOverAChainOfLatePacketsInAnyOrder) {
  for (const bool all : {false, true}) {
    SCOPED_TRACE(all ? "rebaseIntervals" : "rebaseOnThisIfNecessary");
    Cache c;
    const auto addTurning = [&](uint16_t first, uint16_t last, int64_t counter) {
      ZtDataPacket p = packetOf(truthInterval(first, last, true), counter);
      c.cache->insert(counter, p, true);
      ZtDataPacket_destruct(&p);
    };
    addTurning(10, 14, 14);
    addTurning(11, 12, 12);
    EXPECT_FALSE(SdiRebaser::rebaseOnThisIfNecessary(12, *c.cache));  // (10, 14) does not start at 11
    addTurning(20, 25, 25);
    addTurning(20, 22, 22);
    addTurning(30, 33, 33);  // nothing inside it
    addTurning(10, 11, 11);
    if (all)
      EXPECT_EQ(SdiRebaser::rebaseIntervals(*c.cache), 2u);
    else
      EXPECT_TRUE(SdiRebaser::rebaseOnThisIfNecessary(11, *c.cache));
    const struct {
      int64_t counter;
      uint16_t first, last;
    } expected[] = {{14, 12, 14}, {25, all ? uint16_t(22) : uint16_t(20), 25}, {33, 30, 33}};
    for (const auto& e : expected) {
      ZtDataPacket p = c.cache->object(e.counter);
      KtwSdiData r;
      ASSERT_TRUE(SdiRebaser::readKtwSdiFromZtDataPacket(p, r));
      EXPECT_EQ(r.firstFrame(), e.first) << e.counter;
      EXPECT_EQ(r.lastFrame(), e.last) << e.counter;
      const KtwSdiData truth = truthInterval(e.first, e.last, true);
      EXPECT_TRUE(zelto::Quaternion(r.orientationIncrement()).compare(truth.orientationIncrement(), 1e-12)) << e.counter;
      ZtDataPacket_destruct(&p);
    }
    EXPECT_EQ(SdiRebaser::rebaseIntervals(*c.cache), all ? 0u : 1u);  // only (20, 25) is left to do
  }
}

TEST(SdiRebaser, FindsAcrossTheFrameWrap) {
  Cache c;
  c.add(65530, 4, 65540);      // after the wrap, unwrapped counter 65540
  c.add(65530, 65534, 65534);  // the late packet
  ZtDataPacket found = SdiRebaser::findLargePacket(65534, *c.cache);
  EXPECT_EQ(found.packetId, 65540);
  ZtDataPacket_destruct(&found);
  // A packet at 2 after the wrap is no container of (65530, 65534)'s successor at 65535.
  Cache d;
  d.add(2, 3, 65539);
  d.add(65534, 65535, 65535);
  ZtDataPacket none = SdiRebaser::findLargePacket(65535, *d.cache);
  EXPECT_EQ(none.packetId, -1);
  ZtDataPacket_destruct(&none);
}

}  // namespace

// The rebased interval written into a legacy message in place: only into an SDI block of the
// layout that names the interval's device; anything else leaves the message as it is.
TEST(SdiRebaser, WritesIntoALegacyMessageOnlyWhereItsBlockIs) {
  using zelto::test::EmuFrame;
  using zelto::test::SdiPayload;
  const KtwSdiData rebased = truthInterval(14, 20, true);
  SdiPayload::Interval received;
  received.deviceId = rebased.deviceId();
  received.first = 10;
  received.last = 20;
  received.mag[1] = 0.25;
  const ZtDataFormat sdiFloats{SdiPayload::kOutputMode, 0x000};
  const struct {
    const char* what;
    uint8_t messageId;
    uint32_t deviceId;
    size_t cut;  // bytes dropped from the end of the payload
    ZtDataFormat format;
    bool written;
  } cases[] = {{"the block", 0x32, rebased.deviceId(), 0, sdiFloats, true},
               {"another device's block", 0x32, rebased.deviceId() + 1, 0, sdiFloats, false},
               {"a block cut short", 0x32, rebased.deviceId(), 40, sdiFloats, false},
               {"another layout", 0x32, rebased.deviceId(), 0, ZtDataFormat{0x0002, 0x000}, false},
               {"not a legacy message", 0x36, rebased.deviceId(), 0, sdiFloats, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    received.deviceId = c.deviceId;
    std::vector<uint8_t> payload = SdiPayload::encode(received, 0x000);
    payload.resize(payload.size() - c.cut);
    const std::vector<uint8_t> bytes = EmuFrame{0xFF, c.messageId, payload}.encode();
    ZtMessage m;
    ZtMessage_construct(&m);
    ASSERT_NE(ZtMessage_load(&m, bytes.size(), bytes.data()), 0);
    EXPECT_EQ(SdiRebaser::writeKtwSdiToLegacyMessage(m, c.format, rebased), c.written);
    const uint8_t* start = ZtMessage_getMessageStart(&m);
    const std::vector<uint8_t> after(start, start + ZtMessage_getTotalMessageSize(&m));
    EXPECT_TRUE(ZtMessage_isChecksumOk(&m));
    if (!c.written) {
      EXPECT_EQ(after, bytes);
    } else {
      const uint8_t* data = ZtMessage_constData(&m);
      const auto got = SdiPayload::decode(std::vector<uint8_t>(data, data + ZtMessage_dataSize(&m)), 0x000);
      ASSERT_TRUE(got.has_value());
      EXPECT_EQ(got->first, 14);
      EXPECT_EQ(got->last, 20);
      const ZtQuaternion q = rebased.orientationIncrement();
      EXPECT_NEAR(got->dq[0], q.w, 1e-7);
      EXPECT_NEAR(got->dq[3], q.z, 1e-7);
      EXPECT_NEAR(got->dv[0], rebased.velocityIncrement()[0], 1e-7);
      EXPECT_EQ(got->mag[1], 0.25);
    }
    ZtMessage_destruct(&m);
  }
}
