// Packet ids unwrapped from 16-bit, 8-bit and sample-time counters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "support/ZtValues.h"
#include "transport/link/PacketStamper.h"

namespace {

using zelto::test::Packet;
using Outcome = PacketStamper::Outcome;

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
      {32868, 100, -32668, "half a period forward wraps back, below the first packet"},
      {64255, 8388, -1281, "a corrupted counter early in a stream is a step back"},
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
      {128, 0, -128, "half a period forward wraps back, below the first packet"},
      {127, 0, 127, "just under half a period forward"},
      {172, 300, 172, "half a period forward wraps back"},
      {200, 1000, 968, "nearest with the same remainder"},
      {7, -1, 7, "first"},
  };
  for (const UnwrapCase& c : counters8)
    EXPECT_EQ(PacketStamper::calculateLargePacketCounter8(static_cast<uint8_t>(c.value), c.previous), c.expected) << c.what;

  const UnwrapCase times[] = {
      {3, 864000005, 864000003, "late across the day"},
      {5, 863999990, 864000005, "day wrap"},
      {432000000, 0, -432000000, "half a day forward wraps back, below the first packet"},
      {431999999, 0, 431999999, "just under half a day forward"},
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
  }
}

TEST(PacketStamperTest, StampsSixteenBitStreams) {
  auto set = [](ZtDataPacket* p, uint16_t c) { return ZtDataPacket_setPacketCounter(p, c) != 0; };
  runStream({{65534, 65534, true}, {65535, 65535, true}, {0, 65536, true}, {1, 65537, true}, {65535, 65535, false},
             {10, 65546, true}, {9, 65545, false}, {10, 65546, false}},
            set);
  // A half-period jump early in a stream is a step back below the first packet: it never becomes
  // the highest and the stream goes on from its own ids.
  runStream({{100, 100, true}, {32868, -32668, false}, {101, 101, true}, {32869, -32667, false}, {102, 102, true}}, set);
  runStream({{8388, 8388, true}, {64255, -1281, false}, {8391, 8391, true}}, set);
}

TEST(PacketStamperTest, StampsEightBitStreams) {
  auto set = [](ZtDataPacket* p, uint16_t c) { return ZtDataPacket_setPacketCounter8(p, static_cast<uint8_t>(c)) != 0; };
  runStream({{10, 10, true}, {5, 5, false}, {130, 130, true}, {255, 255, true}, {0, 256, true}, {200, 200, false},
             {130, 130, false}, {100, 356, true}},
            set);
  runStream({{0, 0, true}, {128, -128, false}, {1, 1, true}}, set);
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

// ---- The packet path's stamping, with a suspect for packets far ahead -------------------------

enum class Kind { Counter16, Counter8, SampleTime };

void setCounter(ZtDataPacket* p, Kind kind, int64_t value) {
  ZtDataPacket_clear(p);
  switch (kind) {
    case Kind::Counter16:
      ASSERT_TRUE(ZtDataPacket_setPacketCounter(p, static_cast<uint16_t>(value)));
      break;
    case Kind::Counter8:
      ASSERT_TRUE(ZtDataPacket_setPacketCounter8(p, static_cast<uint8_t>(value)));
      break;
    case Kind::SampleTime:
      ASSERT_TRUE(ZtDataPacket_setSampleTimeFine(p, static_cast<uint32_t>(value % PacketStamper::kSampleTimePeriod)));
      break;
  }
}

struct GuardedStep {
  int64_t counter;
  int64_t id;
  Outcome outcome;
  int64_t highest;  // the highest packet's id afterwards
};

void runGuarded(Kind kind, const std::vector<GuardedStep>& steps) {
  SCOPED_TRACE(static_cast<int>(kind));
  Packet highest, suspect, p;
  int64_t held = -1;  // the suspect's id; a late packet leaves it
  for (size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE(i);
    setCounter(&p.p, kind, steps[i].counter);
    EXPECT_EQ(PacketStamper::stampPacket(p.p, highest.p, suspect.p), steps[i].outcome);
    EXPECT_EQ(p.p.packetId, steps[i].id);
    EXPECT_EQ(highest.p.packetId, steps[i].highest);
    if (steps[i].outcome == Outcome::Suspect) held = steps[i].id;
    else if (steps[i].outcome != Outcome::Late) held = -1;
    EXPECT_EQ(ZtDataPacket_empty(&suspect.p) == 0, held >= 0);
    if (held >= 0) {
      EXPECT_EQ(suspect.p.packetId, held);
    }
  }
}

TEST(PacketStamperTest, PacketsFarAheadAreSuspectUntilTheNextPacketConfirmsThem) {
  const auto L = Outcome::Late, N = Outcome::Next, S = Outcome::Suspect, C = Outcome::Confirmed;
  // 16-bit counters. A corrupted counter behind the stream, early in it: a negative id, never the highest.
  runGuarded(Kind::Counter16, {{8388, 8388, N, 8388}, {64255, -1281, L, 8388}, {8391, 8391, N, 8391}});
  // Far ahead: suspect; the stream goes on and forgets it.
  runGuarded(Kind::Counter16,
             {{8388, 8388, N, 8388}, {30000, 30000, S, 8388}, {8389, 8389, N, 8389}, {30001, 30001, S, 8389},
              {8389 + 4096, 8389 + 4096, N, 8389 + 4096}});
  // A real resumption after a long loss: the packet after the jump confirms it; a suspect
  // replaced by another one; a plausible gap is taken at once.
  runGuarded(Kind::Counter16,
             {{100, 100, N, 100}, {20000, 20000, S, 100}, {25000, 25000, S, 100}, {25002, 25002, C, 25002},
              {25003, 25003, N, 25003}, {29099, 29099, N, 29099}, {29098, 29098, L, 29099}});
  // Across the wrap, and a suspect followed by a late packet stays suspect.
  runGuarded(Kind::Counter16,
             {{65000, 65000, N, 65000}, {10, 65546, N, 65546}, {20000, 85536, S, 65546}, {9, 65545, L, 65546},
              {20001, 85537, C, 85537}});
  runGuarded(Kind::Counter8, {{10, 10, N, 10}, {200, -56, L, 10}, {26, 26, N, 26}, {60, 60, S, 26}, {27, 27, N, 27},
                              {100, 100, S, 27}, {101, 101, C, 101}, {120, 120, S, 101}, {102, 102, N, 102}});
  const int64_t day = PacketStamper::kSampleTimePeriod, step = day / 16;
  runGuarded(Kind::SampleTime, {{day - 20, day - 20, N, day - 20}, {5, day + 5, N, day + 5},
                                {10 + step + 1, day + 10 + step + 1, S, day + 5}, {25, day + 25, N, day + 25},
                                {day / 2 + 25, day / 2 + 25, L, day + 25}, {45, day + 45, N, day + 45}});
  runGuarded(Kind::SampleTime, {{100, 100, N, 100}, {day / 2 + 100, 100 - day / 2, L, 100}});
}

// A stream across several wraps with one corrupted counter (any value of the period) at a random
// place in every thousand packets: every real packet keeps the id of its true unwrapped counter,
// and the highest packet stays well within half a period of the stream (phantoms that land a
// plausible step ahead may still lead it, a few in a row by a few steps).
TEST(PacketStamperTest, OnePhantomInAThousandNeverShiftsTheIdsOfRealPackets) {
  struct Row {
    Kind kind;
    int64_t period, start, stride, count;
  };
  const int64_t day = PacketStamper::kSampleTimePeriod;
  const Row rows[] = {
      {Kind::Counter16, 65536, 100, 1, 200000},
      {Kind::Counter16, 65536, 30000, 3, 100000},  // with a gap of two at every packet
      {Kind::Counter8, 256, 7, 1, 20000},
      {Kind::SampleTime, day, 5000, 100000, 30000},  // 10 s steps: about 3.5 days
  };
  std::mt19937_64 random(20261210);
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.kind));
    Packet highest, suspect, p;
    std::uniform_int_distribution<int64_t> anyValue(0, row.period - 1);
    std::uniform_int_distribution<int64_t> place(0, 999);
    int64_t phantomAt = place(random);
    int64_t phantoms = 0, wrong = 0, lead = 0;
    for (int64_t i = 0; i < row.count; ++i) {
      if (i % 1000 == 0 && i > 0) phantomAt = i + place(random);
      if (i == phantomAt) {
        setCounter(&p.p, row.kind, anyValue(random));
        PacketStamper::stampPacket(p.p, highest.p, suspect.p);
        ++phantoms;
      }
      const int64_t truth = row.start + i * row.stride;
      setCounter(&p.p, row.kind, truth % row.period);
      PacketStamper::stampPacket(p.p, highest.p, suspect.p);
      if (p.p.packetId != truth) ++wrong;
      lead = std::max(lead, highest.p.packetId - truth);
    }
    EXPECT_GE((row.start + row.count * row.stride) / row.period, 3);  // wraps several times
    EXPECT_EQ(phantoms, row.count / 1000);
    EXPECT_EQ(wrong, 0);
    EXPECT_LT(lead, row.period / 4);
  }
}

}  // namespace
