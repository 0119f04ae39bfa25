// Packet ids unwrapped from 16-bit, 8-bit and sample-time counters.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/ZtValues.h"
#include "transport/link/PacketStamper.h"

namespace {

using zelto::test::Packet;
struct UnwrapCase {
  int64_t value;
  int64_t previous;
  int64_t expected;
  const char* what;
};

TEST(PacketStamperTest, UnwrapsSixteenBitCounters) {
  const UnwrapCase cases[] = {
      {5, -1, 5, "no previous packet"},
      {0, 65535, 65536, "wrap forward"},
      {4460, 70000, 69996, "late packet after a wrap"},
      {101, 100, 101, "in order"},
      {110, 100, 110, "gap"},
      {65535, 65536, 65535, "late packet across the wrap"},
      {100 + 32767, 100, 100 + 32767, "just under half a period forward"},
      {7232, 40000, 7232, "half a period backwards does not wrap"},
      {32868, 100, 32868, "half a period forward early in a stream stays forward, never negative"},
      {37232, 70000, 37232, "half a period forward wraps back once the id allows it"},
      {0, 32768, 0, "half a period backwards to 0"},
      {0, 1000000, 983040, "far into the stream"},
  };
  for (const UnwrapCase& c : cases)
    EXPECT_EQ(PacketStamper::calculateLargePacketCounter(static_cast<uint16_t>(c.value), c.previous), c.expected) << c.what;
}

TEST(PacketStamperTest, UnwrapsEightBitCountersAndSampleTimes) {
  const UnwrapCase counters8[] = {
      {5, 10, 5, "late"},
      {0, 255, 256, "wrap"},
      {128, 0, 128, "half a period forward at the start stays forward"},
      {172, 300, 172, "half a period forward wraps back"},
      {200, 1000, 968, "nearest with the same remainder"},
      {7, -1, 7, "first"},
  };
  for (const UnwrapCase& c : counters8)
    EXPECT_EQ(PacketStamper::calculateLargePacketCounter8(static_cast<uint8_t>(c.value), c.previous), c.expected) << c.what;

  const UnwrapCase times[] = {
      {3, 864000005, 864000003, "late across the day"},
      {5, 863999990, 864000005, "day wrap"},
      {432000000, 0, 432000000, "half a day forward at the start stays forward"},
      {468000000, 900000000, 468000000, "half a day forward wraps back"},
      {-1, -1, 863999999, "a negative time is taken into the day"},
      {12345, -1, 12345, "first"},
  };
  for (const UnwrapCase& c : times)
    EXPECT_EQ(PacketStamper::calculateLargeSampleTime(static_cast<int32_t>(c.value), c.previous), c.expected) << c.what;
}

// A stream of counters through stampPacket; expected ids and whether each became the highest.
struct Step {
  uint16_t counter;
  int64_t id;
  bool newHighest;
};

void runStream(const std::vector<Step>& steps, bool (*set)(ZtDataPacket*, uint16_t)) {
  Packet highest;
  for (size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE(i);
    Packet p;
    ASSERT_TRUE(set(&p.p, steps[i].counter));
    const int64_t before = highest.p.packetId;
    const ZtTimeStamp t0 = ZtTimeStamp_now();
    EXPECT_EQ(PacketStamper::stampPacket(p.p, highest.p), steps[i].id);
    EXPECT_EQ(p.p.packetId, steps[i].id);
    EXPECT_GE(p.p.toa, t0);
    EXPECT_LE(p.p.toa, ZtTimeStamp_now());
    EXPECT_EQ(highest.p.packetId, steps[i].newHighest ? steps[i].id : before);
    EXPECT_GE(highest.p.packetId, 0);
  }
}

TEST(PacketStamperTest, StampsSixteenBitStreams) {
  auto set = [](ZtDataPacket* p, uint16_t c) { return ZtDataPacket_setPacketCounter(p, c) != 0; };
  runStream({{65534, 65534, true}, {65535, 65535, true}, {0, 65536, true}, {1, 65537, true}, {65535, 65535, false},
             {10, 65546, true}, {9, 65545, false}, {10, 65546, false}},
            set);
  // The half-period jump early in a stream gives a usable id and becomes the highest.
  runStream({{100, 100, true}, {32868, 32868, true}, {32869, 32869, true}, {101, 101, false}}, set);
}

TEST(PacketStamperTest, StampsEightBitStreams) {
  auto set = [](ZtDataPacket* p, uint16_t c) { return ZtDataPacket_setPacketCounter8(p, static_cast<uint8_t>(c)) != 0; };
  runStream({{10, 10, true}, {5, 5, false}, {255, 255, true}, {0, 256, true}, {200, 200, false}, {130, 130, false}, {100, 356, true}}, set);
}

TEST(PacketStamperTest, ChoosesTheCounterByThePacketsItems) {
  Packet highest;
  {
    Packet p;  // neither counter nor sample time, no previous packet
    ZtDataPacket_setStatus(&p.p, 1);
    EXPECT_EQ(PacketStamper::stampPacket(p.p, highest.p), 0);
  }
  highest.p.packetId = 41;
  {
    Packet p;
    ZtDataPacket_setStatus(&p.p, 1);
    EXPECT_EQ(PacketStamper::stampPacket(p.p, highest.p), 42);
    EXPECT_EQ(highest.p.packetId, 42);
  }
  {
    Packet p;  // the 16-bit counter wins over a sample time
    ZtDataPacket_setPacketCounter(&p.p, 43);
    ZtDataPacket_setSampleTimeFine(&p.p, 999);
    EXPECT_EQ(PacketStamper::stampPacket(p.p, highest.p), 43);
  }
  {
    Packet p;  // the fine sample time wins over the 8-bit counter
    ZtDataPacket_setPacketCounter8(&p.p, 1);
    ZtDataPacket_setSampleTimeFine(&p.p, 50);
    EXPECT_EQ(PacketStamper::stampPacket(p.p, highest.p), 50);
  }
  {
    Packet p;  // fine and coarse: the 64-bit sample time, not unwrapped
    ZtDataPacket_setSampleTime64(&p.p, 864000000ull * 5 + 77);
    EXPECT_EQ(PacketStamper::stampPacket(p.p, highest.p), 864000000ll * 5 + 77);
    EXPECT_EQ(highest.p.packetId, 864000000ll * 5 + 77);
    EXPECT_EQ(ZtDataPacket_sampleTimeFine(&highest.p), 77u);  // the data was copied too
  }
}

TEST(PacketStamperTest, SameObjectAsPacketAndHighest) {
  Packet p;
  ZtDataPacket_setPacketCounter(&p.p, 5);
  p.p.packetId = 3;
  EXPECT_EQ(PacketStamper::stampPacket(p.p, p.p), 5);
  EXPECT_EQ(p.p.packetId, 5);
  EXPECT_EQ(ZtDataPacket_packetCounter(&p.p), 5);
}

}  // namespace
