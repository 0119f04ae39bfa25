// Data packet items: wire form, round trips, in-place replacement, merging, hostile payloads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/ZtValues.h"
#include "zttypes/ztdatapacket.h"

namespace {

using Bytes = std::vector<uint8_t>;

using zelto::test::Packet;
using zelto::test::Message;
struct Vec {
  ZtVector v;
  explicit Vec(std::initializer_list<double> values = {0, 0, 0}) {
    std::vector<double> d(values);
    ZtVector_construct(&v, d.size(), d.data());
  }
  ~Vec() { ZtVector_destruct(&v); }
  double operator[](size_t i) const { return v.data[i]; }
};

Bytes payloadOf(const ZtDataPacket* p) {
  const uint8_t* d = ZtMessage_constData(&p->message);
  return d ? Bytes(d, d + ZtMessage_dataSize(&p->message)) : Bytes();
}

// A data message (0x36) with the given payload.
void loadPayload(ZtMessage* m, const Bytes& payload) {
  ZtMessage_destruct(m);
  ZtMessage_constructSized(m, payload.size());
  ZtMessage_setMessageId(m, 0x36);
  if (!payload.empty()) ZtMessage_setDataBuffer(m, payload.data(), payload.size(), 0);
}

void packetFromPayload(ZtDataPacket* p, const Bytes& payload) {
  Message m;
  loadPayload(&m.m, payload);
  ZtDataPacket_setMessage(p, &m.m);
}

// Reparses the packet's message bytes into a fresh packet, as a receiver would.
void reparse(const ZtDataPacket* from, ZtDataPacket* to) {
  Message m;
  ASSERT_EQ(ZtMessage_load(&m.m, ZtMessage_getTotalMessageSize(&from->message), ZtMessage_getMessageStart(&from->message)), 1);
  ASSERT_TRUE(ZtMessage_isChecksumOk(&m.m));
  ZtDataPacket_setMessage(to, &m.m);
}

// ---- the wire form, pinned by hand-written bytes ----

TEST(DataPacketWireTest, SettersWriteThePinnedBytes) {
  Packet p;
  ASSERT_TRUE(ZtDataPacket_setPacketCounter(p.get(), 0x1234));
  ASSERT_TRUE(ZtDataPacket_setStatus(p.get(), 0xA1B2C3D4));
  const ZtTriggerIndicationData trigger{1, 2, 0x01020304, 0xBEEF};
  ASSERT_TRUE(ZtDataPacket_setTriggerIndication(p.get(), ZDI_TriggerIndication2, &trigger));
  const Bytes expected = {0x10, 0x20, 0x02, 0x12, 0x34,                                   // packet counter
                          0xE0, 0x20, 0x04, 0xA1, 0xB2, 0xC3, 0xD4,                       // status word
                          0x48, 0x20, 0x08, 0x01, 0x02, 0x01, 0x02, 0x03, 0x04, 0xBE, 0xEF};  // trigger 2
  EXPECT_EQ(payloadOf(p.get()), expected);
  EXPECT_EQ(ZtMessage_getMessageId(&p->message), 0x36);
  EXPECT_TRUE(ZtMessage_isChecksumOk(&p->message));

  // New floating-point items are doubles (form 3); frame codes go into bits 2-3.
  const ZtQuaternion q{1.0, 0.0, 0.0, 0.0};
  ASSERT_TRUE(ZtDataPacket_setOrientationQuaternion(p.get(), &q, ZDI_FrameNwu));
  const Bytes payload = payloadOf(p.get());
  const Bytes quatHeader(payload.begin() + 23, payload.begin() + 26);
  EXPECT_EQ(quatHeader, (Bytes{0x20, 0x1B, 0x20}));
  EXPECT_EQ(payload[26], 0x3F);  // 1.0 as a big-endian double: 3F F0 00 ...
  EXPECT_EQ(payload[27], 0xF0);
  EXPECT_EQ(ZtDataPacket_itemOffsetExact(p.get(), 0x201B), 26);
}

TEST(DataPacketWireTest, ReadsEveryFloatingPointForm) {
  struct FormCase {
    Bytes item;
    double expected[3];
  };
  const FormCase cases[] = {
      // IEEE float: 1.0, -2.0, 0.5
      {{0x40, 0x20, 12, 0x3F, 0x80, 0, 0, 0xC0, 0, 0, 0, 0x3F, 0, 0, 0}, {1.0, -2.0, 0.5}},
      // fixed 12.20: 1.0, -1.0, 0.5
      {{0x40, 0x21, 12, 0x00, 0x10, 0, 0, 0xFF, 0xF0, 0, 0, 0x00, 0x08, 0, 0}, {1.0, -1.0, 0.5}},
      // IEEE double: 2.0, 0, -0.25
      {{0x40, 0x23, 24, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xBF, 0xD0, 0, 0, 0, 0, 0, 0},
       {2.0, 0.0, -0.25}},
  };
  for (const FormCase& c : cases) {
    Packet p;
    packetFromPayload(p.get(), c.item);
    ASSERT_TRUE(ZtDataPacket_containsCalibratedAcceleration(p.get()));
    Vec v;
    ASSERT_NE(ZtDataPacket_calibratedAcceleration(p.get(), &v.v), nullptr);
    for (int i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(v[i], c.expected[i]) << "form " << int(c.item[1] & 3);
  }
}

TEST(DataPacketWireTest, FloatingPointValueSizes) {
  EXPECT_EQ(ZtDataPacket_getFPValueSize(0x8020), 4u);
  EXPECT_EQ(ZtDataPacket_getFPValueSize(0x8021), 4u);
  EXPECT_EQ(ZtDataPacket_getFPValueSize(0x8022), 6u);
  EXPECT_EQ(ZtDataPacket_getFPValueSize(0x8023), 8u);
  EXPECT_EQ(ZtDataIdentifier_itemSize(0x8022), 18);
  EXPECT_EQ(ZtDataIdentifier_itemSize(0x201B), 32);
  EXPECT_EQ(ZtDataIdentifier_itemSize(0x1021), -1);  // fixed layouts take no format bits
  EXPECT_EQ(ZtDataIdentifier_itemSize(0x7770), -1);
}

TEST(DataPacketWireTest, IdentifierTableIsSortedAndConsistent) {
  size_t count = 0;
  const ZtDataIdentifierInfo* table = ZtDataIdentifier_table(&count);
  ASSERT_GT(count, 20u);
  for (size_t i = 0; i < count; ++i) {
    EXPECT_EQ(table[i].type & 0x000F, 0) << table[i].name;
    if (i) {
      EXPECT_LT(table[i - 1].type, table[i].type) << table[i].name;
    }
    EXPECT_EQ(ZtDataIdentifier_info(table[i].type), &table[i]);
  }
  for (uint16_t named : {0x2010, 0x4010, 0x4020, 0x4810, 0x4820, 0x8020, 0x8030, 0xA010, 0xC020, 0xE020, 0x5020,
                         0x5040, 0xD010, 0x8840})
    EXPECT_NE(ZtDataIdentifier_info(named), nullptr) << std::hex << named;
  // Every identifier against a plain search of the table: its entry (none for unlisted types and
  // for fixed layouts with format bits) and the item size the entry gives.
  static const int kValueSize[4] = {4, 4, 6, 8};
  for (uint32_t id = 0; id <= 0xFFFF; ++id) {
    const ZtDataIdentifierInfo* expected = nullptr;
    for (size_t i = 0; i < count; ++i)
      if (table[i].type == (id & 0xFFF0) && (table[i].layout == ZDL_FloatValues || (id & 0x000F) == 0)) expected = &table[i];
    const int size = !expected ? -1
                     : expected->layout == ZDL_FixedSize ? expected->count
                                                         : expected->count * kValueSize[id & 3];
    ASSERT_EQ(ZtDataIdentifier_info(static_cast<uint16_t>(id)), expected) << std::hex << id;
    ASSERT_EQ(ZtDataIdentifier_itemSize(static_cast<uint16_t>(id)), size) << std::hex << id;
  }
}

// ---- round trips through the message bytes ----

struct RoundTrip {
  const char* name;
  std::function<bool(ZtDataPacket*)> set;
  std::function<void(ZtDataPacket*)> check;  // on the reparsed packet
};

std::vector<RoundTrip> roundTrips() {
  std::vector<RoundTrip> r;
  r.push_back({"packet counter", [](ZtDataPacket* p) { return ZtDataPacket_setPacketCounter(p, 65535) != 0; },
               [](ZtDataPacket* p) {
                 EXPECT_TRUE(ZtDataPacket_containsPacketCounter(p));
                 EXPECT_EQ(ZtDataPacket_packetCounter(p), 65535);
               }});
  r.push_back({"packet counter 8", [](ZtDataPacket* p) { return ZtDataPacket_setPacketCounter8(p, 200) != 0; },
               [](ZtDataPacket* p) {
                 EXPECT_TRUE(ZtDataPacket_containsPacketCounter8(p));
                 EXPECT_EQ(ZtDataPacket_packetCounter8(p), 200);
               }});
  r.push_back({"sample time 64",
               [](ZtDataPacket* p) { return ZtDataPacket_setSampleTime64(p, 864000000ull * 3 + 12345) != 0; },
               [](ZtDataPacket* p) {
                 EXPECT_TRUE(ZtDataPacket_containsSampleTimeFine(p));
                 EXPECT_TRUE(ZtDataPacket_containsSampleTimeCoarse(p));
                 EXPECT_EQ(ZtDataPacket_sampleTimeFine(p), 12345u);
                 EXPECT_EQ(ZtDataPacket_sampleTimeCoarse(p), (864000000u * 3 + 12345) / 10000);
                 EXPECT_EQ(ZtDataPacket_sampleTime64(p), 864000000ull * 3 + 12345);
               }});
  r.push_back({"raw data",
               [](ZtDataPacket* p) {
                 // Temperatures are unsigned counts like the sensor values: 40000 must not turn negative.
                 const ZtScrData raw{{1, 2, 65535}, {4, 5, 6}, {7, 8, 9}, {40000, 0, 0, 0}};
                 const uint16_t gyroTemps[3] = {100, 200, 40001};
                 return ZtDataPacket_setRawData(p, &raw) && ZtDataPacket_setRawGyroscopeTemperatures(p, gyroTemps);
               },
               [](ZtDataPacket* p) {
                 ZtScrData raw;
                 ZtDataPacket_rawData(p, &raw);
                 EXPECT_EQ(raw.acc[2], 65535);
                 EXPECT_EQ(raw.gyr[1], 5);
                 EXPECT_EQ(raw.mag[0], 7);
                 EXPECT_EQ(raw.temp[0], 40000);
                 EXPECT_EQ(raw.temp[3], 40001);
                 uint16_t t[3];
                 ZtDataPacket_rawGyroscopeTemperatures(p, t);
                 EXPECT_EQ(t[0], 100);
               }});
  r.push_back({"calibrated data",
               [](ZtDataPacket* p) {
                 const ZtCalibratedData c{{1, 2, 3}, {4, 5, 6}, {7, 8, 9.5}};
                 return ZtDataPacket_setCalibratedData(p, &c) != 0;
               },
               [](ZtDataPacket* p) {
                 EXPECT_TRUE(ZtDataPacket_containsCalibratedData(p));
                 ZtCalibratedData c;
                 ZtDataPacket_calibratedData(p, &c);
                 EXPECT_EQ(c.acc[0], 1);
                 EXPECT_EQ(c.gyr[2], 6);
                 EXPECT_EQ(c.mag[2], 9.5);
                 Vec v;
                 ZtDataPacket_calibratedRateOfTurn(p, &v.v);
                 EXPECT_EQ(v[1], 5);
               }});
  r.push_back({"free acceleration",
               [](ZtDataPacket* p) {
                 Vec v{0.1, -0.2, 9.81};
                 return ZtDataPacket_setFreeAcceleration(p, &v.v) != 0;
               },
               [](ZtDataPacket* p) {
                 Vec v;
                 ZtDataPacket_freeAcceleration(p, &v.v);
                 EXPECT_EQ(v[2], 9.81);
               }});
  r.push_back({"euler", [](ZtDataPacket* p) {
                 const ZtEuler e{10, -20, 170};
                 return ZtDataPacket_setOrientationEuler(p, &e, ZDI_FrameNed) != 0;
               },
               [](ZtDataPacket* p) {
                 ZtEuler e;
                 ZtDataPacket_orientationEuler(p, ZDI_FrameNed, &e);
                 EXPECT_EQ(e.roll, 10);
                 EXPECT_EQ(e.pitch, -20);
                 EXPECT_EQ(e.yaw, 170);
                 EXPECT_EQ(ZtDataPacket_orientationFrame(p), ZDI_FrameNed);
               }});
  r.push_back({"matrix",
               [](ZtDataPacket* p) {
                 const double rows[9] = {0, -1, 0, 1, 0, 0, 0, 0, 1};
                 ZtMatrix m;
                 ZtMatrix_construct(&m, 3, 3, 0, rows);
                 const bool ok = ZtDataPacket_setOrientationMatrix(p, &m, ZDI_FrameNwu) != 0;
                 ZtMatrix_destruct(&m);
                 return ok;
               },
               [](ZtDataPacket* p) {
                 // Stored column by column: the first three values are column 0.
                 const int32_t o = ZtDataPacket_itemOffsetExact(p, 0x202B);
                 ASSERT_GE(o, 0);
                 EXPECT_EQ(ZtMessage_getDataDouble(&p->message, o + 8), 1.0);  // row 1, column 0
                 ZtMatrix m;
                 ZtMatrix_construct(&m, 3, 3, 0, nullptr);
                 ASSERT_NE(ZtDataPacket_orientationMatrix(p, ZDI_FrameNwu, &m), nullptr);
                 EXPECT_EQ(m.data[ZtMatrix_offset(&m, 0, 1)], -1.0);
                 EXPECT_EQ(m.data[ZtMatrix_offset(&m, 1, 0)], 1.0);
                 ZtMatrix_destruct(&m);
               }});
  r.push_back({"sdi",
               [](ZtDataPacket* p) {
                 const ZtSdiData s{{0.5, 0.5, 0.5, 0.5}, {0.01, 0.02, -0.03}};
                 return ZtDataPacket_setSdiData(p, &s) != 0;
               },
               [](ZtDataPacket* p) {
                 EXPECT_TRUE(ZtDataPacket_containsSdiData(p));
                 ZtSdiData s;
                 ZtDataPacket_sdiData(p, &s);
                 EXPECT_EQ(s.orientationIncrement.z, 0.5);
                 EXPECT_EQ(s.velocityIncrement[2], -0.03);
               }});
  r.push_back({"frame range",
               [](ZtDataPacket* p) {
                 const ZtRange range{65530, 70000};
                 return ZtDataPacket_setFrameRange(p, &range) != 0;
               },
               [](ZtDataPacket* p) {
                 ZtRange range;
                 ZtDataPacket_frameRange(p, &range);
                 EXPECT_EQ(range.first, 65530);
                 EXPECT_EQ(range.last, 70000);
               }});
  r.push_back({"position and velocity",
               [](ZtDataPacket* p) {
                 Vec lla{52.1, 6.9, -12.5};
                 Vec vel{1, 2, 3};
                 return ZtDataPacket_setPositionLLA(p, &lla.v) && ZtDataPacket_setVelocity(p, &vel.v, ZDI_FrameNwu);
               },
               [](ZtDataPacket* p) {
                 Vec lla, vel;
                 ZtDataPacket_positionLLA(p, &lla.v);
                 EXPECT_EQ(lla[0], 52.1);
                 EXPECT_EQ(lla[2], -12.5);
                 ZtDataPacket_velocity(p, ZDI_FrameNwu, &vel.v);
                 EXPECT_EQ(vel[1], 2);
                 ZtDataPacket_velocity(p, ZDI_FrameNed, &vel.v);
                 EXPECT_EQ(vel[0], 1);
                 EXPECT_EQ(vel[1], -2);
                 EXPECT_EQ(vel[2], -3);
               }});
  r.push_back({"status byte", [](ZtDataPacket* p) { return ZtDataPacket_setStatusByte(p, 0x81) != 0; },
               [](ZtDataPacket* p) {
                 EXPECT_TRUE(ZtDataPacket_containsStatus(p));
                 EXPECT_FALSE(ZtDataPacket_containsDetailedStatus(p));
                 EXPECT_EQ(ZtDataPacket_status(p), 0x81u);
               }});
  r.push_back({"pressure",
               [](ZtDataPacket* p) {
                 const ZtPressure pr{101325.4, 7};
                 return ZtDataPacket_setPressure(p, &pr) != 0;
               },
               [](ZtDataPacket* p) {
                 ZtPressure pr;
                 ZtDataPacket_pressure(p, &pr);
                 EXPECT_EQ(pr.pressure, 101325.0);
                 EXPECT_EQ(pr.pressureAge, 7);
               }});
  r.push_back({"gnss pvt",
               [](ZtDataPacket* p) {
                 ZtGpsPvtData g{};
                 g.pressure = 50000;
                 g.pressureAge = 3;
                 g.latitude = -523456789;
                 g.velD = -5;
                 g.sAcc = 0xFFFFFFFF;
                 g.gpsAge = 9;
                 return ZtDataPacket_setGpsPvtData(p, &g) != 0;
               },
               [](ZtDataPacket* p) {
                 ZtGpsPvtData g;
                 ZtDataPacket_gpsPvtData(p, &g);
                 EXPECT_EQ(g.pressure, 50000);
                 EXPECT_EQ(g.latitude, -523456789);
                 EXPECT_EQ(g.velD, -5);
                 EXPECT_EQ(g.sAcc, 0xFFFFFFFFu);
                 EXPECT_EQ(g.gpsAge, 9);
               }});
  r.push_back({"raw gnss solution",
               [](ZtDataPacket* p) {
                 ZtRawGpsSol s{};
                 s.fixType = 3;
                 s.ecefX = -100;
                 s.ecefVZ = 7;
                 s.sAcc = 42;
                 s.numSv = 11;
                 return ZtDataPacket_setRawGpsSol(p, &s) != 0;
               },
               [](ZtDataPacket* p) {
                 ZtRawGpsSol s;
                 ZtDataPacket_rawGpsSol(p, &s);
                 EXPECT_EQ(s.fixType, 3);
                 EXPECT_EQ(s.ecefX, -100);
                 EXPECT_EQ(s.ecefVZ, 7);
                 EXPECT_EQ(s.sAcc, 42u);
                 EXPECT_EQ(s.numSv, 11);
               }});
  r.push_back({"utc",
               [](ZtDataPacket* p) {
                 const ZtUtcTime u{999999999, 2026, 12, 9, 23, 59, 58, 1};
                 return ZtDataPacket_setUtcTime(p, &u) != 0;
               },
               [](ZtDataPacket* p) {
                 ZtUtcTime u;
                 ZtDataPacket_utcTime(p, &u);
                 EXPECT_EQ(u.nano, 999999999u);
                 EXPECT_EQ(u.year, 2026);
                 EXPECT_EQ(u.second, 58);
                 EXPECT_EQ(u.valid, 1);
               }});
  r.push_back({"rssi and temperature",
               [](ZtDataPacket* p) { return ZtDataPacket_setRssi(p, -90) && ZtDataPacket_setTemperature(p, 21.5); },
               [](ZtDataPacket* p) {
                 EXPECT_EQ(ZtDataPacket_rssi(p), -90);
                 EXPECT_EQ(ZtDataPacket_temperature(p), 21.5);
               }});
  r.push_back({"trigger 1",
               [](ZtDataPacket* p) {
                 const ZtTriggerIndicationData t{1, 4, 123456, 777};
                 return ZtDataPacket_setTriggerIndication(p, ZDI_TriggerIndication1, &t) != 0;
               },
               [](ZtDataPacket* p) {
                 EXPECT_TRUE(ZtDataPacket_containsTriggerIndication(p, ZDI_TriggerIndication1));
                 EXPECT_FALSE(ZtDataPacket_containsTriggerIndication(p, ZDI_TriggerIndication2));
                 ZtTriggerIndicationData t;
                 ZtDataPacket_triggerIndication(p, ZDI_TriggerIndication1, &t);
                 EXPECT_EQ(t.timestamp, 123456u);
                 EXPECT_EQ(t.frameNumber, 777);
               }});
  return r;
}

TEST(DataPacketRoundTripTest, EveryItemKindSurvivesTheMessageBytes) {
  for (const RoundTrip& rt : roundTrips()) {
    SCOPED_TRACE(rt.name);
    Packet sent;
    ASSERT_TRUE(rt.set(sent.get()));
    Packet received;
    reparse(sent.get(), received.get());
    rt.check(received.get());
  }
}

TEST(DataPacketRoundTripTest, AllKindsTogetherInOnePacket) {
  Packet sent;
  const auto all = roundTrips();
  for (const RoundTrip& rt : all) ASSERT_TRUE(rt.set(sent.get())) << rt.name;
  Packet received;
  reparse(sent.get(), received.get());
  for (const RoundTrip& rt : all) {
    if (std::string(rt.name) == "euler" || std::string(rt.name) == "status byte") continue;  // replaced later
    SCOPED_TRACE(rt.name);
    rt.check(received.get());
  }
  // The matrix set after the Euler angles replaced them: one orientation item only.
  EXPECT_TRUE(ZtDataPacket_containsOrientationMatrix(received.get()));
  EXPECT_FALSE(ZtDataPacket_containsOrientationEuler(received.get()));
}

TEST(DataPacketRoundTripTest, AbsentItemsReadAsZeros) {
  Packet p;
  EXPECT_TRUE(ZtDataPacket_empty(p.get()));
  EXPECT_EQ(ZtDataPacket_packetCounter(p.get()), 0);
  EXPECT_EQ(ZtDataPacket_status(p.get()), 0u);
  ZtQuaternion q{9, 9, 9, 9};
  ZtDataPacket_orientationQuaternion(p.get(), ZDI_FrameNwu, &q);
  EXPECT_EQ(q.w, 0.0);
  Vec v{5, 5, 5};
  ZtDataPacket_calibratedMagneticField(p.get(), &v.v);
  EXPECT_EQ(v[0], 0.0);
  ZtGpsPvtData g;
  std::memset(&g, 0xAB, sizeof g);
  ZtDataPacket_gpsPvtData(p.get(), &g);
  EXPECT_EQ(g.latitude, 0);
  EXPECT_EQ(ZtDataPacket_itemOffsetExact(p.get(), 0x1020), -1);
}

// ---- whole frames, pinned against an encoder of the test's own ----

// The frame a receiver expects for these items in this order: FA FF 36 <len> [ext] <items> <cs>,
// with the checksum making every byte after the preamble sum to 0 mod 256.
Bytes dataFrame(const std::vector<Bytes>& items) {
  Bytes payload;
  for (const Bytes& item : items) payload.insert(payload.end(), item.begin(), item.end());
  Bytes frame = {0xFA, 0xFF, 0x36};
  if (payload.size() < 255) {
    frame.push_back(static_cast<uint8_t>(payload.size()));
  } else {
    frame.insert(frame.end(), {0xFF, static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())});
  }
  frame.insert(frame.end(), payload.begin(), payload.end());
  unsigned sum = 0;
  for (size_t i = 1; i < frame.size(); ++i) sum += frame[i];
  frame.push_back(static_cast<uint8_t>(0x100u - (sum & 0xFFu)));
  return frame;
}

Bytes item(uint16_t id, const Bytes& value) {
  Bytes b = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), static_cast<uint8_t>(value.size())};
  b.insert(b.end(), value.begin(), value.end());
  return b;
}

Bytes doubles(std::initializer_list<double> values) {
  Bytes b;
  for (double v : values) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    for (int i = 7; i >= 0; --i) b.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  }
  return b;
}

Bytes frameOf(const ZtDataPacket* p) {
  const uint8_t* b = ZtMessage_getMessageStart(&p->message);
  return b ? Bytes(b, b + ZtMessage_getTotalMessageSize(&p->message)) : Bytes();
}

// What a host-filtered tracker does to each packet: the device's counter, raw data and status
// arrive; calibrated values, the strapdown increments, the orientation and the free acceleration
// are appended; the status word is rewritten in place. Every frame in between is pinned too.
TEST(DataPacketFrameTest, TrackerSequenceGivesTheReceiversBytes) {
  Packet p;
  std::vector<Bytes> items;
  const auto expectFrame = [&](const char* step) {
    EXPECT_EQ(frameOf(p.get()), dataFrame(items)) << step;
    EXPECT_TRUE(ZtMessage_isChecksumOk(&p->message)) << step;
  };
  ASSERT_TRUE(ZtDataPacket_setPacketCounter(p.get(), 0xBEEF));
  items.push_back(item(0x1020, {0xBE, 0xEF}));
  expectFrame("counter");
  const ZtScrData raw{{1, 2, 3}, {0x100, 0x200, 0x300}, {0xFFFF, 0x8000, 7}, {0x1234, 0, 0, 0}};
  ASSERT_TRUE(ZtDataPacket_setRawData(p.get(), &raw));
  items.push_back(item(0xA010, {0, 1, 0, 2, 0, 3, 1, 0, 2, 0, 3, 0, 0xFF, 0xFF, 0x80, 0, 0, 7, 0x12, 0x34}));
  expectFrame("raw");
  ASSERT_TRUE(ZtDataPacket_setStatus(p.get(), 0x00000001));
  items.push_back(item(0xE020, {0, 0, 0, 1}));
  expectFrame("status");
  const ZtCalibratedData cal{{0.5, -9.81, 1e-3}, {0.25, -0.125, 3.0}, {0.4, 0.0, -0.6}};
  ASSERT_TRUE(ZtDataPacket_setCalibratedData(p.get(), &cal));
  items.push_back(item(0x4023, doubles({0.5, -9.81, 1e-3})));
  items.push_back(item(0x8023, doubles({0.25, -0.125, 3.0})));
  items.push_back(item(0xC023, doubles({0.4, 0.0, -0.6})));
  expectFrame("calibrated");
  const ZtSdiData sdi{{1.0, 1e-4, -2e-4, 3e-4}, {1e-3, -2e-3, 4.9e-3}};
  ASSERT_TRUE(ZtDataPacket_setSdiData(p.get(), &sdi));
  items.push_back(item(0x8033, doubles({1.0, 1e-4, -2e-4, 3e-4})));
  items.push_back(item(0x4013, doubles({1e-3, -2e-3, 4.9e-3})));
  expectFrame("increments");
  const ZtQuaternion q{0.5, 0.5, -0.5, 0.5};
  ASSERT_TRUE(ZtDataPacket_setOrientationQuaternion(p.get(), &q, ZDI_FrameNwu));
  items.push_back(item(0x201B, doubles({0.5, 0.5, -0.5, 0.5})));
  expectFrame("orientation");
  Vec free{0.01, -0.02, 0.03};
  ASSERT_TRUE(ZtDataPacket_setFreeAcceleration(p.get(), &free.v));
  items.push_back(item(0x4033, doubles({0.01, -0.02, 0.03})));
  expectFrame("free acceleration");
  ASSERT_TRUE(ZtDataPacket_setStatus(p.get(), 0x00801003));
  items[2] = item(0xE020, {0, 0x80, 0x10, 0x03});
  expectFrame("status again");
  // Setting present items again rewrites them in place (the frame code too).
  const ZtQuaternion q2{1.0, 0.0, 0.0, 0.0};
  ASSERT_TRUE(ZtDataPacket_setOrientationQuaternion(p.get(), &q2, ZDI_FrameNed));
  items[8] = item(0x2017, doubles({1.0, 0.0, 0.0, 0.0}));
  ASSERT_TRUE(ZtDataPacket_setPacketCounter(p.get(), 2));
  items[0] = item(0x1020, {0, 2});
  expectFrame("in place");
  // Another orientation form replaces the quaternion: it leaves the middle, the new one is last.
  const ZtEuler e{0.0, 0.0, 90.0};
  ASSERT_TRUE(ZtDataPacket_setOrientationEuler(p.get(), &e, ZDI_FrameNwu));
  items.erase(items.begin() + 8);
  items.push_back(item(0x203B, doubles({0.0, 0.0, 90.0})));
  expectFrame("euler replaces quaternion");
  // The status byte replaces the word, and the word the byte.
  ASSERT_TRUE(ZtDataPacket_setStatusByte(p.get(), 0x5A));
  items.erase(items.begin() + 2);
  items.push_back(item(0xE010, {0x5A}));
  expectFrame("status byte");
  ASSERT_TRUE(ZtDataPacket_setStatus(p.get(), 0x01020304));
  items.pop_back();
  items.push_back(item(0xE020, {1, 2, 3, 4}));
  expectFrame("status word");
}

// Growing past 254 payload bytes switches to the extended length; every later edit keeps the
// whole frame's checksum right.
TEST(DataPacketFrameTest, ExtendedLengthFramesStayConsistent) {
  Packet p;
  std::vector<Bytes> items;
  double m[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  ZtMatrix matrix;
  ZtMatrix_construct(&matrix, 3, 3, 3, m);
  ASSERT_TRUE(ZtDataPacket_setOrientationMatrix(p.get(), &matrix, ZDI_FrameNwu));
  ZtMatrix_destruct(&matrix);
  items.push_back(item(0x202B, doubles({1, 0, 0, 0, 1, 0, 0, 0, 1})));
  const ZtCalibratedData cal{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
  ASSERT_TRUE(ZtDataPacket_setCalibratedData(p.get(), &cal));
  items.push_back(item(0x4023, doubles({1, 2, 3})));
  items.push_back(item(0x8023, doubles({4, 5, 6})));
  items.push_back(item(0xC023, doubles({7, 8, 9})));
  EXPECT_EQ(frameOf(p.get()), dataFrame(items));  // 156 bytes: normal form
  Vec lla{52.0, 6.0, 10.0};
  ASSERT_TRUE(ZtDataPacket_setPositionLLA(p.get(), &lla.v));
  items.push_back(item(0x5043, doubles({52.0, 6.0, 10.0})));
  Vec vel{1.0, 2.0, 3.0};
  ASSERT_TRUE(ZtDataPacket_setVelocity(p.get(), &vel.v, ZDI_FrameNwu));
  items.push_back(item(0xD01B, doubles({1.0, 2.0, 3.0})));
  ASSERT_TRUE(ZtDataPacket_setPacketCounter(p.get(), 9));
  items.push_back(item(0x1020, {0, 9}));
  Vec free{0.5, 0.25, -0.5};
  ASSERT_TRUE(ZtDataPacket_setFreeAcceleration(p.get(), &free.v));
  items.push_back(item(0x4033, doubles({0.5, 0.25, -0.5})));
  ASSERT_TRUE(ZtDataPacket_setTemperature(p.get(), 21.5));
  items.push_back(item(0x0813, doubles({21.5})));
  ASSERT_EQ(frameOf(p.get()), dataFrame(items));  // 253 bytes: still the normal form
  ASSERT_TRUE(ZtDataPacket_setRssi(p.get(), -40));
  items.push_back(item(0xE040, {0xD8}));
  const Bytes extended = frameOf(p.get());
  ASSERT_EQ(extended, dataFrame(items));
  EXPECT_EQ(extended[3], 0xFF);
  ASSERT_TRUE(ZtDataPacket_setPacketCounter(p.get(), 10));
  items[6] = item(0x1020, {0, 10});
  EXPECT_EQ(frameOf(p.get()), dataFrame(items));
  // Dropping back below 255 bytes returns to the normal form.
  const ZtQuaternion q{1, 0, 0, 0};
  ASSERT_TRUE(ZtDataPacket_setOrientationQuaternion(p.get(), &q, ZDI_FrameNwu));
  items.erase(items.begin());
  items.push_back(item(0x201B, doubles({1, 0, 0, 0})));
  const Bytes shrunk = frameOf(p.get());
  EXPECT_EQ(shrunk, dataFrame(items));
  EXPECT_NE(shrunk[3], 0xFF);
}

// A frame received with a wrong checksum or with bytes after its last complete item: any edit
// gives the frame a receiver would expect (the checksum of all its bytes; the tail dropped when
// an item is appended, kept when one is written in place).
TEST(DataPacketFrameTest, EditsRepairAReceivedFrame) {
  struct RepairCase {
    const char* name;
    Bytes payload;
    std::function<void(ZtDataPacket*)> edit;
    std::vector<Bytes> expected;
  };
  const RepairCase cases[] = {
      {"in place on a wrong checksum", {0x10, 0x20, 2, 0, 1, 0xE0, 0x10, 1, 7},
       [](ZtDataPacket* p) { ZtDataPacket_setPacketCounter(p, 0x0102); },
       {item(0x1020, {1, 2}), item(0xE010, {7})}},
      {"append on a wrong checksum", {0x10, 0x20, 2, 0, 1},
       [](ZtDataPacket* p) { ZtDataPacket_setRssi(p, -2); },
       {item(0x1020, {0, 1}), item(0xE040, {0xFE})}},
      {"append drops a truncated tail", {0x10, 0x20, 2, 0, 1, 0x20, 0x1B, 32, 1, 2, 3},
       [](ZtDataPacket* p) { ZtDataPacket_setStatus(p, 5); },
       {item(0x1020, {0, 1}), item(0xE020, {0, 0, 0, 5})}},
      {"in place keeps a truncated tail", {0x10, 0x20, 2, 0, 1, 0x20, 0x1B, 32, 1, 2, 3},
       [](ZtDataPacket* p) { ZtDataPacket_setPacketCounter(p, 3); },
       {item(0x1020, {0, 3}), Bytes{0x20, 0x1B, 32, 1, 2, 3}}},
      {"calibrated data appended at once drops a truncated tail", {0x10, 0x20, 2, 0, 1, 0x20, 0x1B, 32, 1, 2, 3},
       [](ZtDataPacket* p) {
         const ZtCalibratedData cal{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
         ZtDataPacket_setCalibratedData(p, &cal);
       },
       {item(0x1020, {0, 1}), item(0x4023, doubles({1, 2, 3})), item(0x8023, doubles({4, 5, 6})),
        item(0xC023, doubles({7, 8, 9}))}},
      {"increments appended at once drop a truncated tail", {0x10, 0x20, 2, 0, 1, 0x20, 0x1B, 32, 1, 2, 3},
       [](ZtDataPacket* p) {
         const ZtSdiData sdi{{1, 0.5, 0.25, 0.125}, {-1, -2, -3}};
         ZtDataPacket_setSdiData(p, &sdi);
       },
       {item(0x1020, {0, 1}), item(0x8033, doubles({1, 0.5, 0.25, 0.125})), item(0x4013, doubles({-1, -2, -3}))}},
      {"calibrated data with one item present: in place, the others appended",
       item(0x8023, doubles({0, 0, 0})),
       [](ZtDataPacket* p) {
         const ZtCalibratedData cal{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
         ZtDataPacket_setCalibratedData(p, &cal);
       },
       {item(0x8023, doubles({4, 5, 6})), item(0x4023, doubles({1, 2, 3})), item(0xC023, doubles({7, 8, 9}))}},
  };
  for (const RepairCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes frame = dataFrame({c.payload});
    frame.back() ^= 0x5A;  // a wrong checksum
    Message m;
    ASSERT_EQ(ZtMessage_load(&m.m, frame.size(), frame.data()), 1);
    ASSERT_FALSE(ZtMessage_isChecksumOk(&m.m));
    Packet p;
    ZtDataPacket_setMessage(p.get(), &m.m);
    c.edit(p.get());
    EXPECT_EQ(frameOf(p.get()), dataFrame(c.expected));
  }
}

// Quantities made of several items (calibrated data, increments, status, raw data with its
// gyroscope temperatures) take the first well-formed item of each kind, whatever surrounds it.
TEST(DataPacketMultiItemTest, EachPartIsTheFirstWellFormedItemOfItsKind) {
  struct MultiItemCase {
    const char* name;
    std::vector<Bytes> items;
    bool calibrated, increments, orientation, status;
    double acc0, mag2, dq0, dv1;
    uint32_t statusWord;
    uint8_t statusByte;
    uint16_t gyroTemp0;
  };
  const Bytes raw = {0, 1, 0, 2, 0, 3, 1, 0, 2, 0, 3, 0, 0xFF, 0xFF, 0x80, 0, 0, 7, 0x12, 0x34};
  const MultiItemCase cases[] = {
      {"none", {}, false, false, false, false, 0, 0, 0, 0, 0, 0, 0},
      {"calibrated, a malformed acceleration first",
       {item(0x4023, {1, 2, 3}), item(0x4023, doubles({1.5, 0, 0})), item(0x4023, doubles({9, 9, 9})),
        item(0x8023, doubles({0, 0, 0})), item(0xC023, doubles({0, 0, -2.5}))},
       true, false, false, false, 1.5, -2.5, 0, 0, 0, 0, 0},
      {"magnetic field missing", {item(0x4023, doubles({1, 0, 0})), item(0x8023, doubles({0, 0, 0}))},
       false, false, false, false, 1, 0, 0, 0, 0, 0, 0},
      {"increments, and a status word of the wrong size before the byte",
       {item(0x4013, doubles({0, 0.75, 0})), item(0xE020, {1, 2, 3}), item(0xE010, {0x5A}),
        item(0x8033, doubles({0.5, 0, 0, 0}))},
       false, true, false, true, 0, 0, 0.5, 0.75, 0x5A, 0x5A, 0},
      {"word and byte, raw with gyroscope temperatures, euler angles",
       {item(0xE010, {0x11}), item(0xA010, raw), item(0xE020, {0x80, 0, 0, 0x22}), item(0xA020, {0xAB, 0xCD, 0, 0, 0, 0}),
        item(0x2033, doubles({0, 0, 90}))},
       false, false, true, true, 0, 0, 0, 0, 0x80000022u, 0x11, 0xABCD},
      {"only increment half", {item(0x8033, doubles({1, 0, 0, 0})), item(0x2013, {0})}, false, false, false, false, 0, 0,
       1, 0, 0, 0, 0},
  };
  for (const MultiItemCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes payload;
    for (const Bytes& b : c.items) payload.insert(payload.end(), b.begin(), b.end());
    Packet p;
    packetFromPayload(p.get(), payload);
    EXPECT_EQ(ZtDataPacket_containsCalibratedData(p.get()) != 0, c.calibrated);
    EXPECT_EQ(ZtDataPacket_containsSdiData(p.get()) != 0, c.increments);
    EXPECT_EQ(ZtDataPacket_containsOrientation(p.get()) != 0, c.orientation);
    EXPECT_EQ(ZtDataPacket_containsStatus(p.get()) != 0, c.status);
    ZtCalibratedData cal;
    std::memset(&cal, 0xAB, sizeof cal);
    ZtDataPacket_calibratedData(p.get(), &cal);
    EXPECT_EQ(cal.acc[0], c.acc0);
    EXPECT_EQ(cal.mag[2], c.mag2);
    ZtSdiData sdi;
    std::memset(&sdi, 0xAB, sizeof sdi);
    ZtDataPacket_sdiData(p.get(), &sdi);
    EXPECT_EQ(sdi.orientationIncrement.w, c.dq0);
    EXPECT_EQ(sdi.velocityIncrement[1], c.dv1);
    EXPECT_EQ(ZtDataPacket_status(p.get()), c.statusWord);
    EXPECT_EQ(ZtDataPacket_statusByte(p.get()), c.statusByte);
    ZtScrData r;
    std::memset(&r, 0xAB, sizeof r);
    ZtDataPacket_rawData(p.get(), &r);
    EXPECT_EQ(r.temp[1], c.gyroTemp0);
    EXPECT_EQ(r.acc[0], c.gyroTemp0 ? 1 : 0);
  }
}

// ---- replacement in place ----

TEST(DataPacketSetTest, SettingAPresentItemReplacesItInPlace) {
  // A device packet with rate of turn as 12.20 fixed point followed by a counter.
  Packet p;
  packetFromPayload(p.get(), {0x80, 0x21, 12, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0x20, 2, 0, 5});
  const Bytes before = payloadOf(p.get());
  Vec v{0.25, -0.5, 3.0};
  ASSERT_TRUE(ZtDataPacket_setCalibratedRateOfTurn(p.get(), &v.v));
  ASSERT_TRUE(ZtDataPacket_setPacketCounter(p.get(), 6));
  const Bytes after = payloadOf(p.get());
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(ZtDataPacket_itemIdentifier(p.get(), 0x8020), 0x8021);  // its form is kept
  EXPECT_EQ(Bytes(after.begin() + 3, after.begin() + 7), (Bytes{0x00, 0x04, 0x00, 0x00}));
  Vec r;
  ZtDataPacket_calibratedRateOfTurn(p.get(), &r.v);
  EXPECT_EQ(r[1], -0.5);
  EXPECT_EQ(ZtDataPacket_packetCounter(p.get()), 6);
  EXPECT_EQ(ZtDataPacket_itemCount(p.get()), 2u);
}

TEST(DataPacketSetTest, ExclusiveFormsReplaceEachOther) {
  Packet p;
  const ZtEuler e{0, 0, 90};
  ASSERT_TRUE(ZtDataPacket_setOrientationEuler(p.get(), &e, ZDI_FrameNwu));
  ASSERT_TRUE(ZtDataPacket_setStatusByte(p.get(), 3));
  const ZtQuaternion q{1, 0, 0, 0};
  ASSERT_TRUE(ZtDataPacket_setOrientationQuaternion(p.get(), &q, ZDI_FrameNed));
  ASSERT_TRUE(ZtDataPacket_setStatus(p.get(), 0x10000));
  EXPECT_FALSE(ZtDataPacket_containsOrientationEuler(p.get()));
  EXPECT_TRUE(ZtDataPacket_containsOrientationQuaternion(p.get()));
  EXPECT_EQ(ZtDataPacket_orientationFrame(p.get()), ZDI_FrameNed);
  EXPECT_TRUE(ZtDataPacket_containsDetailedStatus(p.get()));
  EXPECT_EQ(ZtDataPacket_status(p.get()), 0x10000u);
  EXPECT_EQ(ZtDataPacket_itemCount(p.get()), 2u);
  // Setting again with another frame rewrites the identifier in place.
  ASSERT_TRUE(ZtDataPacket_setOrientationQuaternion(p.get(), &q, ZDI_FrameNwu));
  EXPECT_EQ(ZtDataPacket_orientationFrame(p.get()), ZDI_FrameNwu);
  EXPECT_EQ(ZtDataPacket_itemCount(p.get()), 2u);
}

TEST(DataPacketSetTest, RefusesToGrowPastTheMessageLimit) {
  Packet p;
  // An unknown item filling the payload to just below the limit.
  // Unknown items filling the payload up to 20 bytes below the limit.
  Bytes big;
  const size_t target = ZTMESSAGE_MAX_DATA_SIZE - 20;
  while (big.size() < target) {
    const size_t size = std::min<size_t>(255, target - big.size() - 3);
    big.insert(big.end(), {0x77, 0x70, static_cast<uint8_t>(size)});
    big.resize(big.size() + size, 0);
  }
  ASSERT_EQ(big.size(), target);
  packetFromPayload(p.get(), big);
  const Bytes before = payloadOf(p.get());
  const ZtQuaternion q{1, 0, 0, 0};
  EXPECT_FALSE(ZtDataPacket_setOrientationQuaternion(p.get(), &q, ZDI_FrameNwu));
  const ZtSdiData s{{1, 0, 0, 0}, {0, 0, 0}};
  EXPECT_FALSE(ZtDataPacket_setSdiData(p.get(), &s));
  const ZtCalibratedData c{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
  EXPECT_FALSE(ZtDataPacket_setCalibratedData(p.get(), &c));
  EXPECT_EQ(payloadOf(p.get()), before);
  EXPECT_TRUE(ZtDataPacket_setPacketCounter(p.get(), 1));  // 5 bytes still fit
}

// ---- orientation forms and frames ----

TEST(DataPacketOrientationTest, ConvertsBetweenForms) {
  Packet p;
  const ZtEuler e{30, -45, 120};
  ASSERT_TRUE(ZtDataPacket_setOrientationEuler(p.get(), &e, ZDI_FrameNwu));
  ZtQuaternion q;
  ZtDataPacket_orientationQuaternion(p.get(), ZDI_FrameNwu, &q);
  // yaw about z, then pitch about y, then roll about x
  const double d = M_PI / 360.0;
  const double cr = std::cos(30 * d), sr = std::sin(30 * d), cp = std::cos(-45 * d), sp = std::sin(-45 * d),
               cy = std::cos(120 * d), sy = std::sin(120 * d);
  EXPECT_NEAR(q.w, cr * cp * cy + sr * sp * sy, 1e-12);
  EXPECT_NEAR(q.x, sr * cp * cy - cr * sp * sy, 1e-12);
  EXPECT_NEAR(q.y, cr * sp * cy + sr * cp * sy, 1e-12);
  EXPECT_NEAR(q.z, cr * cp * sy - sr * sp * cy, 1e-12);

  // Quaternion -> matrix -> Euler gives the angles back.
  Packet m;
  ASSERT_TRUE(ZtDataPacket_setOrientationQuaternion(m.get(), &q, ZDI_FrameNwu));
  ZtMatrix r;
  ZtMatrix_construct(&r, 3, 3, 0, nullptr);
  ZtDataPacket_orientationMatrix(m.get(), ZDI_FrameNwu, &r);
  Packet viaMatrix;
  ASSERT_TRUE(ZtDataPacket_setOrientationMatrix(viaMatrix.get(), &r, ZDI_FrameNwu));
  ZtMatrix_destruct(&r);
  ZtEuler back;
  ZtDataPacket_orientationEuler(viaMatrix.get(), ZDI_FrameNwu, &back);
  EXPECT_NEAR(back.roll, 30, 1e-9);
  EXPECT_NEAR(back.pitch, -45, 1e-9);
  EXPECT_NEAR(back.yaw, 120, 1e-9);
}

TEST(DataPacketOrientationTest, ConvertsBetweenFrames) {
  Packet p;
  const ZtQuaternion q{std::sqrt(0.5), 0, 0, std::sqrt(0.5)};  // 90 degrees about up
  ASSERT_TRUE(ZtDataPacket_setOrientationQuaternion(p.get(), &q, ZDI_FrameNwu));
  ZtQuaternion ned;
  ZtDataPacket_orientationQuaternion(p.get(), ZDI_FrameNed, &ned);
  // (0, 1, 0, 0) * q
  EXPECT_NEAR(ned.w, 0, 1e-15);
  EXPECT_NEAR(ned.x, std::sqrt(0.5), 1e-15);
  EXPECT_NEAR(ned.y, -std::sqrt(0.5), 1e-15);
  EXPECT_NEAR(ned.z, 0, 1e-15);
  Packet back;
  ASSERT_TRUE(ZtDataPacket_setOrientationQuaternion(back.get(), &ned, ZDI_FrameNed));
  ZtQuaternion nwu;
  ZtDataPacket_orientationQuaternion(back.get(), ZDI_FrameNwu, &nwu);
  EXPECT_NEAR(nwu.w, q.w, 1e-15);
  EXPECT_NEAR(nwu.z, q.z, 1e-15);
  // Frame 0 reads as stored.
  ZtQuaternion raw;
  ZtDataPacket_orientationQuaternion(back.get(), 0, &raw);
  EXPECT_EQ(raw.x, ned.x);
}

// ---- merging and lookup ----

TEST(DataPacketAppendTest, AddsOnlyTheKindsTheTargetLacks) {
  Packet target, source;
  ASSERT_TRUE(ZtDataPacket_setPacketCounter(target.get(), 1));
  const ZtQuaternion q{1, 0, 0, 0};
  ASSERT_TRUE(ZtDataPacket_setOrientationQuaternion(target.get(), &q, ZDI_FrameNwu));
  ASSERT_TRUE(ZtDataPacket_setStatusByte(target.get(), 1));

  ASSERT_TRUE(ZtDataPacket_setPacketCounter(source.get(), 2));
  const ZtEuler e{1, 2, 3};
  ASSERT_TRUE(ZtDataPacket_setOrientationEuler(source.get(), &e, ZDI_FrameNwu));
  ASSERT_TRUE(ZtDataPacket_setStatus(source.get(), 0xFFFF));
  Vec mag{1, 2, 3};
  ASSERT_TRUE(ZtDataPacket_setCalibratedMagneticField(source.get(), &mag.v));
  // An unknown item passes through; a malformed known one does not.
  Bytes extra = payloadOf(source.get());
  extra.insert(extra.end(), {0x77, 0x71, 2, 0xAA, 0xBB, 0x10, 0x60, 2, 0, 0});
  packetFromPayload(source.get(), extra);

  ASSERT_TRUE(ZtDataPacket_append(target.get(), source.get()));
  EXPECT_EQ(ZtDataPacket_packetCounter(target.get()), 1);
  EXPECT_FALSE(ZtDataPacket_containsOrientationEuler(target.get()));
  EXPECT_EQ(ZtDataPacket_status(target.get()), 1u);
  EXPECT_TRUE(ZtDataPacket_containsCalibratedMagneticField(target.get()));
  EXPECT_GE(ZtDataPacket_itemOffsetExact(target.get(), 0x7771), 0);
  EXPECT_FALSE(ZtDataPacket_containsSampleTimeFine(target.get()));
  EXPECT_EQ(ZtDataPacket_itemCount(target.get()), 5u);

  // Appending again adds nothing; appending to an empty packet copies the well-formed items.
  const Bytes once = payloadOf(target.get());
  ASSERT_TRUE(ZtDataPacket_append(target.get(), source.get()));
  EXPECT_EQ(payloadOf(target.get()), once);
  Packet empty;
  ASSERT_TRUE(ZtDataPacket_append(empty.get(), source.get()));
  EXPECT_EQ(ZtDataPacket_itemCount(empty.get()), 5u);
  EXPECT_EQ(ZtMessage_getMessageId(&empty->message), 0x36);
}

TEST(DataPacketAppendTest, CopyAndOriginalMessage) {
  Packet p;
  p->deviceId = 0x00080001;
  p->packetId = -1;
  p->toa = 1234;
  ASSERT_TRUE(ZtDataPacket_setPacketCounter(p.get(), 9));
  Packet c(p);
  EXPECT_EQ(c->deviceId, 0x00080001u);
  EXPECT_EQ(c->packetId, -1);
  EXPECT_EQ(c->toa, 1234);
  EXPECT_EQ(payloadOf(c.get()), payloadOf(p.get()));
  Message out;
  ZtDataPacket_originalMessage(c.get(), &out.m);
  EXPECT_EQ(ZtMessage_getMessageId(&out.m), 0x36);  // no legacy original: the data message
  Message legacy;
  loadPayload(&legacy.m, {1, 2, 3});
  ZtMessage_setMessageId(&legacy.m, 0x32);
  ZtMessage_copy(&c->original, &legacy.m);
  ZtDataPacket_originalMessage(c.get(), &out.m);
  EXPECT_EQ(ZtMessage_getMessageId(&out.m), 0x32);
}

// ---- hostile payloads ----

struct Hostile {
  const char* name;
  Bytes payload;
  size_t items;          // items before the list ends
  bool hasCounter;       // a well-formed packet counter is found
  uint16_t counter;
};

TEST(DataPacketHostileTest, NeverReadsPastThePayload) {
  const Hostile cases[] = {
      {"empty", {}, 0, false, 0},
      {"one byte", {0x10}, 0, false, 0},
      {"header only", {0x10, 0x20}, 0, false, 0},
      {"size past the end", {0x10, 0x20, 2, 0x12}, 0, false, 0},
      {"size 255 past the end", {0x10, 0x20, 255, 0, 0}, 0, false, 0},
      {"good then truncated", {0x10, 0x20, 2, 0, 7, 0x20, 0x13, 32, 1, 2}, 1, true, 7},
      {"size disagrees, then good", {0x10, 0x20, 1, 9, 0x10, 0x20, 2, 0, 8}, 2, true, 8},
      {"oversized known item", {0x10, 0x20, 4, 0, 1, 0, 0}, 1, false, 0},
      {"format bits on a fixed item", {0x10, 0x21, 2, 0, 3}, 1, false, 0},
      {"zero-size items", {0x77, 0x70, 0, 0x77, 0x70, 0, 0x10, 0x20, 2, 1, 0}, 3, true, 256},
      {"trailing byte", {0x10, 0x20, 2, 0, 5, 0xFF}, 1, true, 5},
      {"highest identifier", {0xFF, 0xFF, 1, 0x2D, 0x01, 0x00, 1, 1, 0xF7}, 2, false, 0},
      {"quaternion one byte short", {0x20, 0x10, 15, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1, false, 0},
  };
  for (const Hostile& c : cases) {
    SCOPED_TRACE(c.name);
    // A read past the payload would land in the checksum byte, which ASan cannot see: the
    // item counts and absent items below are what pin the bounds.
    Packet p;
    packetFromPayload(p.get(), c.payload);
    EXPECT_EQ(ZtDataPacket_itemCount(p.get()), c.items);
    EXPECT_EQ(ZtDataPacket_containsPacketCounter(p.get()) != 0, c.hasCounter);
    EXPECT_EQ(ZtDataPacket_packetCounter(p.get()), c.counter);
    EXPECT_FALSE(ZtDataPacket_containsOrientation(p.get()));
    ZtQuaternion q;
    ZtDataPacket_orientationQuaternion(p.get(), ZDI_FrameNwu, &q);
    EXPECT_EQ(q.w, 0.0);
    ZtScrData raw;
    ZtDataPacket_rawData(p.get(), &raw);
    EXPECT_EQ(raw.acc[0], 0);
    // Setting onto a damaged list drops the truncated tail, so the new item is found.
    ASSERT_TRUE(ZtDataPacket_setRssi(p.get(), -5));
    EXPECT_EQ(ZtDataPacket_itemCount(p.get()), c.items + 1);
    EXPECT_EQ(ZtDataPacket_rssi(p.get()), -5);
    EXPECT_EQ(ZtDataPacket_packetCounter(p.get()), c.counter);
  }
}


// ---- every setter's frame, pinned against frames the setters produced before their rewrite ----

std::string writesHex(const Bytes& b) {
  static const char* const kDigits = "0123456789abcdef";
  std::string s;
  for (uint8_t v : b) {
    s += kDigits[v >> 4];
    s += kDigits[v & 15];
  }
  return s;
}

Bytes repeated(size_t n, uint8_t v) { return Bytes(n, v); }

// Values of the tracker's outputs, chosen so that every encoded byte differs from zero somewhere.
const ZtCalibratedData kWritesCal{{0.5, -9.81, 1e-3}, {0.25, -0.125, 3.0}, {0.4, -1e-9, -0.6}};
const ZtSdiData kWritesSdi{{1.0, 1e-4, -2e-4, 3e-4}, {1e-3, -2e-3, 4.9e-3}};

void writesTracker(ZtDataPacket* p) {
  ASSERT_TRUE(ZtDataPacket_setCalibratedData(p, &kWritesCal));
  ASSERT_TRUE(ZtMessage_isChecksumOk(&p->message));
  ASSERT_TRUE(ZtDataPacket_setSdiData(p, &kWritesSdi));
  ASSERT_TRUE(ZtMessage_isChecksumOk(&p->message));
  const ZtQuaternion q{0.5, 0.5, -0.5, 0.5};
  ASSERT_TRUE(ZtDataPacket_setOrientationQuaternion(p, &q, ZDI_FrameNwu));
  ASSERT_TRUE(ZtMessage_isChecksumOk(&p->message));
  Vec free{0.01, -0.02, 300000.03};
  ASSERT_TRUE(ZtDataPacket_setFreeAcceleration(p, &free.v));
  ASSERT_TRUE(ZtMessage_isChecksumOk(&p->message));
  ASSERT_TRUE(ZtDataPacket_setStatus(p, 0x00801003));
}

// What rebuilding rates from increments writes.
void writesInverse(ZtDataPacket* p) {
  Vec acc{-1.5, 2.5, 9.75};
  ASSERT_TRUE(ZtDataPacket_setCalibratedAcceleration(p, &acc.v));
  ASSERT_TRUE(ZtMessage_isChecksumOk(&p->message));
  Vec gyr{1e-6, -7.0, 0.0};
  ASSERT_TRUE(ZtDataPacket_setCalibratedRateOfTurn(p, &gyr.v));
}

// The other forms and the fixed-layout items.
void writesOthers(ZtDataPacket* p) {
  ASSERT_TRUE(ZtDataPacket_setStatusByte(p, 0xA5));
  ASSERT_TRUE(ZtMessage_isChecksumOk(&p->message));
  const ZtEuler e{10.0, -20.0, 170.5};
  ASSERT_TRUE(ZtDataPacket_setOrientationEuler(p, &e, ZDI_FrameNed));
  ASSERT_TRUE(ZtMessage_isChecksumOk(&p->message));
  ASSERT_TRUE(ZtDataPacket_setTemperature(p, -12.25));
  ASSERT_TRUE(ZtMessage_isChecksumOk(&p->message));
  Vec vel{0.5, -0.25, 1e3};
  ASSERT_TRUE(ZtDataPacket_setVelocity(p, &vel.v, ZDI_FrameNed));
  ASSERT_TRUE(ZtMessage_isChecksumOk(&p->message));
  ASSERT_TRUE(ZtDataPacket_setPacketCounter(p, 0x1234));
  ASSERT_TRUE(ZtMessage_isChecksumOk(&p->message));
  ASSERT_TRUE(ZtDataPacket_setRssi(p, -77));
  ASSERT_TRUE(ZtMessage_isChecksumOk(&p->message));
  ASSERT_TRUE(ZtDataPacket_setStatus(p, 0xCAFE0001));
}

// Writes that change no item's size.
void writesInPlace(ZtDataPacket* p) {
  ASSERT_TRUE(ZtDataPacket_setStatusByte(p, 0x5A));
  ASSERT_TRUE(ZtMessage_isChecksumOk(&p->message));
  ASSERT_TRUE(ZtDataPacket_setPacketCounter(p, 0xFEDC));
}

// Every setter a tracker uses, from packets as they arrive, as a recording holds them, in other
// value forms, damaged, and around the extended length; frames loaded with a wrong checksum too.
TEST(DataPacketWritesTest, FramesMatchThePinnedOutput) {
  const Bytes counter = item(0x1020, {0xBE, 0xEF});
  const Bytes raw = item(0xA010, {0, 1, 0, 2, 0, 3, 1, 0, 2, 0, 3, 0, 0xFF, 0xFF, 0x80, 0, 0, 7, 0x12, 0x34});
  const Bytes status = item(0xE020, {0, 0, 0, 1});
  const Bytes streamed = dataFrame({counter, raw, status});
  const Bytes recorded = dataFrame({counter, raw, status, item(0x4023, doubles({1, 2, 3})), item(0x8023, doubles({4, 5, 6})),
                                    item(0xC023, doubles({7, 8, 9})), item(0x8033, doubles({1, 0, 0, 0})),
                                    item(0x4013, doubles({0, 0, 0})), item(0x2017, doubles({0, 1, 0, 0})),
                                    item(0x4033, doubles({0, 0, 0}))});
  // Other value forms: float32, fixed 12.20 and 16.32; the items are written in their form.
  const Bytes otherForms =
      dataFrame({item(0x4020, repeated(12, 0x11)), item(0x8021, repeated(12, 0x22)), item(0xC022, repeated(18, 0x33)),
                 item(0x8030, repeated(16, 0x44)), item(0x4011, repeated(12, 0x55)), item(0x2012, repeated(24, 0x66)),
                 item(0x4032, repeated(18, 0x77)), item(0x0810, repeated(4, 0x88)), item(0xD016, repeated(18, 0x99)),
                 status});
  // Items whose size disagrees with their layout are absent; the second copy of a kind is not the first.
  const Bytes malformed = dataFrame({item(0x4023, repeated(12, 1)), item(0x8023, doubles({1, 1, 1})), item(0x8023, doubles({2, 2, 2})),
                                     item(0x2013, repeated(24, 3)), item(0xE010, {0x42}), item(0x203B, doubles({1, 2, 3})),
                                     item(0xE020, {1, 2, 3}), counter});
  // A truncated item at the end.
  Bytes truncated = dataFrame({counter, raw, status});
  truncated.pop_back();
  {
    const Bytes tail = {0x20, 0x1B, 32, 1, 2, 3};
    truncated.insert(truncated.end(), tail.begin(), tail.end());
    truncated[3] = static_cast<uint8_t>(truncated.size() - 4);
    truncated.push_back(0);
  }
  // Grows past 254 payload bytes part way through the sequence.
  const Bytes nearExtended = dataFrame({item(0x7770, repeated(200, 0xC3)), counter, status});
  // Calibrated data take these to 255 and 254 payload bytes: the first length needing the
  // extended form, and the last one that does not.
  const Bytes to255 = dataFrame({item(0x7770, repeated(159, 0xA7)), counter, status});
  const Bytes to254 = dataFrame({item(0x7770, repeated(158, 0xA7)), counter, status});
  // Already extended; removing the Euler angles takes it back under the limit.
  const Bytes extendedBig = dataFrame({item(0x7770, repeated(180, 0x3C)), item(0x203B, doubles({1, 2, 3})), counter,
                                       item(0x2027, doubles({1, 0, 0, 0, 1, 0, 0, 0, 1})), status});
  // A short payload in the extended form (a sender may use it); edits of the same size keep it.
  Bytes extendedShort = {0xFA, 0xFF, 0x36, 0xFF, 0x00, 0x09};
  extendedShort.insert(extendedShort.end(), counter.begin(), counter.end());
  extendedShort.insert(extendedShort.end(), {0xE0, 0x10, 1, 0x17});
  extendedShort.push_back(0);
  struct WritesCase {
    const char* name;
    Bytes frame;  // empty: a packet without a message
    bool wrongChecksum;
    void (*edit)(ZtDataPacket*);
    const char* expected;
  };
  const WritesCase cases[] = {
      {"streamed, tracker", streamed, false, writesTracker,
       "faff36f0102002beefa01014000100020003010002000300ffff800000071234e02004008010034023183fe000000000"
       "0000c0239eb851eb851f3f50624dd2f1a9fc8023183fd0000000000000bfc00000000000004008000000000000c02318"
       "3fd999999999999abe112e0be826d695bfe33333333333338033203ff00000000000003f1a36e2eb1c432dbf2a36e2eb"
       "1c432d3f33a92a305532614013183f50624dd2f1a9fcbf60624dd2f1a9fc3f741205bc01a36e201b203fe00000000000"
       "003fe0000000000000bfe00000000000003fe00000000000004033183f847ae147ae147bbf947ae147ae147b41124f80"
       "1eb851ec58"},
      {"streamed with a wrong checksum, tracker", streamed, true, writesTracker,
       "faff36f0102002beefa01014000100020003010002000300ffff800000071234e02004008010034023183fe000000000"
       "0000c0239eb851eb851f3f50624dd2f1a9fc8023183fd0000000000000bfc00000000000004008000000000000c02318"
       "3fd999999999999abe112e0be826d695bfe33333333333338033203ff00000000000003f1a36e2eb1c432dbf2a36e2eb"
       "1c432d3f33a92a305532614013183f50624dd2f1a9fcbf60624dd2f1a9fc3f741205bc01a36e201b203fe00000000000"
       "003fe0000000000000bfe00000000000003fe00000000000004033183f847ae147ae147bbf947ae147ae147b41124f80"
       "1eb851ec58"},
      {"streamed, inverse", streamed, false, writesInverse,
       "faff3659102002beefa01014000100020003010002000300ffff800000071234e0200400000001402318bff800000000"
       "0000400400000000000040238000000000008023183eb0c6f7a0b5ed8dc01c000000000000000000000000000089"},
      {"streamed with a wrong checksum, others", streamed, true, writesOthers,
       "faff36681020021234a01014000100020003010002000300ffff8000000712342037184024000000000000c034000000"
       "0000004065500000000000081308c028800000000000d017183fe0000000000000bfd0000000000000408f4000000000"
       "00e04001b3e02004cafe0001ac"},
      {"recorded, tracker", recorded, false, writesTracker,
       "faff36f0102002beefa01014000100020003010002000300ffff800000071234e02004008010034023183fe000000000"
       "0000c0239eb851eb851f3f50624dd2f1a9fc8023183fd0000000000000bfc00000000000004008000000000000c02318"
       "3fd999999999999abe112e0be826d695bfe33333333333338033203ff00000000000003f1a36e2eb1c432dbf2a36e2eb"
       "1c432d3f33a92a305532614013183f50624dd2f1a9fcbf60624dd2f1a9fc3f741205bc01a36e201b203fe00000000000"
       "003fe0000000000000bfe00000000000003fe00000000000004033183f847ae147ae147bbf947ae147ae147b41124f80"
       "1eb851ec58"},
      {"recorded with a wrong checksum, tracker", recorded, true, writesTracker,
       "faff36f0102002beefa01014000100020003010002000300ffff800000071234e02004008010034023183fe000000000"
       "0000c0239eb851eb851f3f50624dd2f1a9fc8023183fd0000000000000bfc00000000000004008000000000000c02318"
       "3fd999999999999abe112e0be826d695bfe33333333333338033203ff00000000000003f1a36e2eb1c432dbf2a36e2eb"
       "1c432d3f33a92a305532614013183f50624dd2f1a9fcbf60624dd2f1a9fc3f741205bc01a36e201b203fe00000000000"
       "003fe0000000000000bfe00000000000003fe00000000000004033183f847ae147ae147bbf947ae147ae147b41124f80"
       "1eb851ec58"},
      {"recorded, inverse", recorded, false, writesInverse,
       "faff36f0102002beefa01014000100020003010002000300ffff800000071234e0200400000001402318bff800000000"
       "0000400400000000000040238000000000008023183eb0c6f7a0b5ed8dc01c0000000000000000000000000000c02318"
       "401c000000000000402000000000000040220000000000008033203ff000000000000000000000000000000000000000"
       "000000000000000000000040131800000000000000000000000000000000000000000000000020172000000000000000"
       "003ff0000000000000000000000000000000000000000000004033180000000000000000000000000000000000000000"
       "000000005b"},
      {"recorded, others", recorded, false, writesOthers,
       "faff36ff01121020021234a01014000100020003010002000300ffff8000000712344023183ff0000000000000400000"
       "00000000004008000000000000802318401000000000000040140000000000004018000000000000c02318401c000000"
       "000000402000000000000040220000000000008033203ff0000000000000000000000000000000000000000000000000"
       "000000000000401318000000000000000000000000000000000000000000000000403318000000000000000000000000"
       "0000000000000000000000002037184024000000000000c0340000000000004065500000000000081308c02880000000"
       "0000d017183fe0000000000000bfd0000000000000408f400000000000e04001b3e02004cafe000108"},
      {"other forms, tracker", otherForms, false, writesTracker,
       "faff36a840200c3f000000c11cf5c33a83126f80210c00040000fffe000000300000c02212000066666666ffffffffff"
       "fcffff666666668030103f80000038d1b717b951b717399d495240110c00000419fffff7cf00001412201a1800008000"
       "0000000080000000ffff800000000000800000004032120000028f5c29fffffae147ae7fffffffffff08100488888888"
       "d01612999999999999999999999999999999999999e0200400801003ec"},
      {"other forms with a wrong checksum, others", otherForms, true, writesOthers,
       "faff36b140200c11111111111111111111111180210c222222222222222222222222c022123333333333333333333333"
       "333333333333338030104444444444444444444444444444444440110c55555555555555555555555540321277777777"
       "7777777777777777777777777777081004c1440000d01612000080000000ffffc000000003e800000000203718402400"
       "0000000000c03400000000000040655000000000001020021234e04001b3e02004cafe0001c1"},
      {"malformed, tracker", malformed, false, writesTracker,
       "faff36ff012440230c0101010101010101010101018023183fd0000000000000bfc00000000000004008000000000000"
       "802318400000000000000040000000000000004000000000000000201318030303030303030303030303030303030303"
       "030303030303e02003010203102002beef4023183fe0000000000000c0239eb851eb851f3f50624dd2f1a9fcc023183f"
       "d999999999999abe112e0be826d695bfe33333333333338033203ff00000000000003f1a36e2eb1c432dbf2a36e2eb1c"
       "432d3f33a92a305532614013183f50624dd2f1a9fcbf60624dd2f1a9fc3f741205bc01a36e201b203fe0000000000000"
       "3fe0000000000000bfe00000000000003fe00000000000004033183f847ae147ae147bbf947ae147ae147b41124f801e"
       "b851ece02004008010032d"},
      {"malformed with a wrong checksum, inverse", malformed, true, writesInverse,
       "faff36a540230c0101010101010101010101018023183eb0c6f7a0b5ed8dc01c00000000000000000000000000008023"
       "184000000000000000400000000000000040000000000000002013180303030303030303030303030303030303030303"
       "03030303e0100142203b183ff000000000000040000000000000004008000000000000e02003010203102002beef4023"
       "18bff800000000000040040000000000004023800000000000ee"},
      {"malformed, others", malformed, false, writesOthers,
       "faff36b740230c0101010101010101010101018023183ff00000000000003ff00000000000003ff00000000000008023"
       "184000000000000000400000000000000040000000000000002013180303030303030303030303030303030303030303"
       "030303032037184024000000000000c0340000000000004065500000000000e020030102031020021234081308c02880"
       "0000000000d017183fe0000000000000bfd0000000000000408f400000000000e04001b3e02004cafe00011e"},
      {"truncated, tracker", truncated, false, writesTracker,
       "faff36f0102002beefa01014000100020003010002000300ffff800000071234e02004008010034023183fe000000000"
       "0000c0239eb851eb851f3f50624dd2f1a9fc8023183fd0000000000000bfc00000000000004008000000000000c02318"
       "3fd999999999999abe112e0be826d695bfe33333333333338033203ff00000000000003f1a36e2eb1c432dbf2a36e2eb"
       "1c432d3f33a92a305532614013183f50624dd2f1a9fcbf60624dd2f1a9fc3f741205bc01a36e201b203fe00000000000"
       "003fe0000000000000bfe00000000000003fe00000000000004033183f847ae147ae147bbf947ae147ae147b41124f80"
       "1eb851ec58"},
      {"truncated with a wrong checksum, others", truncated, true, writesOthers,
       "faff36681020021234a01014000100020003010002000300ffff8000000712342037184024000000000000c034000000"
       "0000004065500000000000081308c028800000000000d017183fe0000000000000bfd0000000000000408f4000000000"
       "00e04001b3e02004cafe0001ac"},
      {"near extended, tracker", nearExtended, false, writesTracker,
       "faff36ff01a47770c8c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3"
       "c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3"
       "c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3"
       "c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3"
       "c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3102002beefe02004008010034023183fe0000000000000c0239eb851eb851f"
       "3f50624dd2f1a9fc8023183fd0000000000000bfc00000000000004008000000000000c023183fd999999999999abe11"
       "2e0be826d695bfe33333333333338033203ff00000000000003f1a36e2eb1c432dbf2a36e2eb1c432d3f33a92a305532"
       "614013183f50624dd2f1a9fcbf60624dd2f1a9fc3f741205bc01a36e201b203fe00000000000003fe0000000000000bf"
       "e00000000000003fe00000000000004033183f847ae147ae147bbf947ae147ae147b41124f801eb851ec38"},
      {"near extended with a wrong checksum, others", nearExtended, true, writesOthers,
       "faff36ff011c7770c8c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3"
       "c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3"
       "c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3"
       "c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3"
       "c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c310200212342037184024000000000000c03400000000000040655000000000"
       "00081308c028800000000000d017183fe0000000000000bfd0000000000000408f400000000000e04001b3e02004cafe"
       "00018c"},
      {"calibrated data to 255 bytes, tracker", to255, false, writesTracker,
       "faff36ff017b77709fa7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7"
       "a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7"
       "a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7"
       "a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7102002beefe02004008010034023183fe0000000000000c0"
       "239eb851eb851f3f50624dd2f1a9fc8023183fd0000000000000bfc00000000000004008000000000000c023183fd999"
       "999999999abe112e0be826d695bfe33333333333338033203ff00000000000003f1a36e2eb1c432dbf2a36e2eb1c432d"
       "3f33a92a305532614013183f50624dd2f1a9fcbf60624dd2f1a9fc3f741205bc01a36e201b203fe00000000000003fe0"
       "000000000000bfe00000000000003fe00000000000004033183f847ae147ae147bbf947ae147ae147b41124f801eb851"
       "ec29"},
      {"calibrated data to 254 bytes, tracker", to254, true, writesTracker,
       "faff36ff017a77709ea7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7"
       "a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7"
       "a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7"
       "a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7102002beefe02004008010034023183fe0000000000000c023"
       "9eb851eb851f3f50624dd2f1a9fc8023183fd0000000000000bfc00000000000004008000000000000c023183fd99999"
       "9999999abe112e0be826d695bfe33333333333338033203ff00000000000003f1a36e2eb1c432dbf2a36e2eb1c432d3f"
       "33a92a305532614013183f50624dd2f1a9fcbf60624dd2f1a9fc3f741205bc01a36e201b203fe00000000000003fe000"
       "0000000000bfe00000000000003fe00000000000004033183f847ae147ae147bbf947ae147ae147b41124f801eb851ec"
       "d2"},
      {"extended, tracker", extendedBig, false, writesTracker,
       "faff36ff01907770b43c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c"
       "3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c"
       "3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c"
       "3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c102002"
       "beefe02004008010034023183fe0000000000000c0239eb851eb851f3f50624dd2f1a9fc8023183fd0000000000000bf"
       "c00000000000004008000000000000c023183fd999999999999abe112e0be826d695bfe33333333333338033203ff000"
       "00000000003f1a36e2eb1c432dbf2a36e2eb1c432d3f33a92a305532614013183f50624dd2f1a9fcbf60624dd2f1a9fc"
       "3f741205bc01a36e201b203fe00000000000003fe0000000000000bfe00000000000003fe00000000000004033183f84"
       "7ae147ae147bbf947ae147ae147b41124f801eb851ec88"},
      {"extended with a wrong checksum, others", extendedBig, true, writesOthers,
       "faff36ff01087770b43c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c"
       "3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c"
       "3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c"
       "3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c203718"
       "4024000000000000c03400000000000040655000000000001020021234081308c028800000000000d017183fe0000000"
       "000000bfd0000000000000408f400000000000e04001b3e02004cafe0001dc"},
      {"extended short, inverse", extendedShort, false, writesInverse,
       "faff363f102002beefe0100117402318bff8000000000000400400000000000040238000000000008023183eb0c6f7a0"
       "b5ed8dc01c00000000000000000000000000003b"},
      {"extended short with a wrong checksum, others", extendedShort, true, writesOthers,
       "faff365110200212342037184024000000000000c0340000000000004065500000000000081308c028800000000000d0"
       "17183fe0000000000000bfd0000000000000408f400000000000e04001b3e02004cafe00015e"},
      {"extended short, in place", extendedShort, false, writesInPlace,
       "faff36ff0009102002fedce010015a6c"},
      {"extended short with a wrong checksum, in place", extendedShort, true, writesInPlace,
       "faff36ff0009102002fedce010015a6c"},
      {"no message, tracker", {}, false, writesTracker,
       "faff36d44023183fe0000000000000c0239eb851eb851f3f50624dd2f1a9fc8023183fd0000000000000bfc000000000"
       "00004008000000000000c023183fd999999999999abe112e0be826d695bfe33333333333338033203ff0000000000000"
       "3f1a36e2eb1c432dbf2a36e2eb1c432d3f33a92a305532614013183f50624dd2f1a9fcbf60624dd2f1a9fc3f741205bc"
       "01a36e201b203fe00000000000003fe0000000000000bfe00000000000003fe00000000000004033183f847ae147ae14"
       "7bbf947ae147ae147b41124f801eb851ece0200400801003ee"},
      {"no message, others", {}, false, writesOthers,
       "faff36512037184024000000000000c0340000000000004065500000000000081308c028800000000000d017183fe000"
       "0000000000bfd0000000000000408f4000000000001020021234e04001b3e02004cafe00015e"},
  };
  for (const WritesCase& c : cases) {
    SCOPED_TRACE(c.name);
    Packet p;
    if (!c.frame.empty()) {
      Bytes frame = c.frame;
      frame.back() = ZtMessage_computeChecksum(frame.data(), frame.size());
      if (c.wrongChecksum) frame.back() ^= 0x5A;
      Message m;
      ASSERT_EQ(ZtMessage_load(&m.m, frame.size(), frame.data()), 1);
      ASSERT_EQ(ZtMessage_isChecksumOk(&m.m) != 0, !c.wrongChecksum);
      ZtDataPacket_setMessage(p.get(), &m.m);
    }
    c.edit(p.get());
    EXPECT_TRUE(ZtMessage_isChecksumOk(&p->message));
    EXPECT_EQ(writesHex(frameOf(p.get())), c.expected);
  }
}

}  // namespace
