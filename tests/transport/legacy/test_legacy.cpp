// Legacy data messages: layout, getters and setters, conversion into data packets, hostile input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include "support/ZtValues.h"
#include "transport/legacy/LegacyDataPacket.h"

namespace {

using Bytes = std::vector<uint8_t>;

using zelto::test::Message;
using zelto::test::Packet;
// Big-endian payload writer.
struct Payload {
  Bytes b;
  Payload& u8(uint8_t v) {
    b.push_back(v);
    return *this;
  }
  Payload& u16(uint16_t v) { return u8(static_cast<uint8_t>(v >> 8)).u8(static_cast<uint8_t>(v)); }
  Payload& u32(uint32_t v) { return u16(static_cast<uint16_t>(v >> 16)).u16(static_cast<uint16_t>(v)); }
  Payload& f32(float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    return u32(v);
  }
  Payload& f64(double d) {
    uint64_t v;
    std::memcpy(&v, &d, 8);
    return u32(static_cast<uint32_t>(v >> 32)).u32(static_cast<uint32_t>(v));
  }
  Payload& floats(std::initializer_list<float> fs) {
    for (float f : fs) f32(f);
    return *this;
  }
};

void loadLegacy(ZtMessage* m, const Bytes& payload) {
  ZtMessage_destruct(m);
  ZtMessage_constructSized(m, payload.size());
  ZtMessage_setMessageId(m, 0x32);
  if (!payload.empty()) ZtMessage_setDataBuffer(m, payload.data(), payload.size(), 0);
}

LegacyDataPacket makeLegacy(const std::vector<std::pair<uint32_t, uint32_t>>& formats, bool zbus, const Bytes& payload,
                            const std::vector<ZtDeviceId>& ids = {}) {
  LegacyDataPacket lp(static_cast<uint16_t>(formats.size()), false);
  Message m;
  loadLegacy(&m.m, payload);
  lp.setMessage(m.m);
  lp.setZbusSystem(zbus, false);
  for (size_t i = 0; i < formats.size(); ++i) {
    EXPECT_TRUE(lp.setDeviceId(i < ids.size() ? ids[i] : static_cast<ZtDeviceId>(0x00070000 + i), static_cast<int>(i)));
    EXPECT_TRUE(lp.setDataFormat(formats[i].first, formats[i].second, static_cast<int>(i)));
  }
  return lp;
}

Bytes payloadOf(const ZtMessage* m) {
  const uint8_t* d = ZtMessage_constData(m);
  return d ? Bytes(d, d + ZtMessage_dataSize(m)) : Bytes();
}

// ---- layout ----

struct LayoutCase {
  const char* name;
  std::vector<std::pair<uint32_t, uint32_t>> formats;
  bool zbus;
  int device;
  std::vector<std::pair<int, uint16_t>> entries;  // entry -> expected value
};

TEST(LegacyLayoutTest, EntriesFollowModeAndSettings) {
  const uint16_t X = PI_Absent;
  const LayoutCase cases[] = {
      {"calibrated + quaternion, floats, counter", {{0x6, 0x1}}, false, 0,
       {{PI_Start, 0}, {PI_Calibrated, 0}, {PI_CalAcc, 0}, {PI_CalGyr, 12}, {PI_CalMag, 24}, {PI_OriQuat, 36},
        {PI_PacketCounter, 52}, {PI_DataSize, 54}, {PI_End, 54}, {PI_FreeAcc, X}, {PI_OriEuler, X}}},
      {"the same with doubles", {{0x6, 0x301}}, false, 0,
       {{PI_CalMag, 48}, {PI_OriQuat, 72}, {PI_PacketCounter, 104}, {PI_DataSize, 106}}},
      {"bus master, device 0", {{0x6, 0x1}, {0x6, 0x1}}, true, 0,
       {{PI_Start, 2}, {PI_PacketCounter, 0}, {PI_DataSize, 54}, {PI_End, 56}}},
      {"bus master, device 1", {{0x6, 0x1}, {0x6, 0x1}}, true, 1,
       {{PI_Start, 56}, {PI_CalAcc, 56}, {PI_PacketCounter, 0}, {PI_End, 110}}},
      {"all calibrated parts left out", {{0x2, 0x71}}, false, 0,
       {{PI_Calibrated, X}, {PI_CalAcc, X}, {PI_CalGyr, X}, {PI_CalMag, X}, {PI_PacketCounter, 0}, {PI_DataSize, 2}}},
      {"rate of turn left out", {{0x2, 0x20}}, false, 0,
       {{PI_Calibrated, 0}, {PI_CalAcc, 0}, {PI_CalGyr, X}, {PI_CalMag, 12}, {PI_PacketCounter, X}, {PI_DataSize, 24}}},
      {"pressure only", {{0x1000, 0x80000}}, false, 0,
       {{PI_PressureGnss, 0}, {PI_Pressure, 0}, {PI_PressureAge, 2}, {PI_Gnss, X}, {PI_GnssAge, X}, {PI_DataSize, 3}}},
      {"pressure and GNSS", {{0x1000, 0x0}}, false, 0,
       {{PI_Gnss, 3}, {PI_GnssValue0, 3}, {PI_GnssValue0 + 9, 39}, {PI_GnssAge, 43}, {PI_DataSize, 44}}},
      {"SDI without counter", {{0x200, 0x0}}, false, 0,
       {{PI_Sdi, 0}, {PI_SdiByte, 4}, {PI_SdiFirstFrame, 5}, {PI_SdiLastFrame, 7}, {PI_SdiBias, 9}, {PI_SdiDeltaQ, 21},
        {PI_SdiDeltaV, 37}, {PI_SdiAidingFlag, 49}, {PI_SdiPressure, 50}, {PI_SdiMag, 52}, {PI_SdiRssi, 64},
        {PI_PacketCounter, 7}, {PI_DataSize, 65}}},
      {"SDI doubles", {{0x200, 0x300}}, false, 0, {{PI_SdiRssi, 116}, {PI_DataSize, 117}}},
      {"SDI 6-byte values", {{0x200, 0x200}}, false, 0, {{PI_DataSize, 91}}},
      {"raw with four temperatures", {{0x4000, 0x01000001}}, false, 0,
       {{PI_RawAcc, 0}, {PI_RawGyr, 6}, {PI_RawMag, 12}, {PI_RawTemp0, 18}, {PI_RawTemp0 + 3, 24}, {PI_PacketCounter, 26}}},
      {"raw, temperature, euler, aux, position, velocity, status, utc", {{0x4000 | 0x1 | 0x4 | 0x8 | 0x10 | 0x20 | 0x800, 0x86}},
       false, 0,
       {{PI_RawTemp0, 18}, {PI_RawTemp0 + 1, X}, {PI_Temp0, 20}, {PI_Temp0 + 1, X}, {PI_OriEuler, 24}, {PI_AnalogIn1, 36},
        {PI_AnalogIn2, 38}, {PI_Position, 40}, {PI_Velocity, 52}, {PI_Status, 64}, {PI_DetailedStatus, 64}, {PI_Utc, 68},
        {PI_UtcYear, 72}, {PI_UtcMonth + 5, 79}, {PI_DataSize, 80}}},
      {"matrix, position and velocity forms set, status byte", {{0x4 | 0x10 | 0x20 | 0x800, 0x0001C008 | 0x20000}}, false, 0,
       {{PI_OriMatrix, 0}, {PI_Position, X}, {PI_Velocity, X}, {PI_Status, 36}, {PI_DetailedStatus, X}, {PI_DataSize, 37}}},
      {"orientation form 12: none", {{0x4, 0xC}}, false, 0, {{PI_OriQuat, X}, {PI_OriEuler, X}, {PI_OriMatrix, X}, {PI_DataSize, 0}}},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.name);
    const LegacyDataPacket lp = makeLegacy(c.formats, c.zbus, Bytes(300, 0));
    const PacketInfo info = lp.packetInfo(c.device);
    for (const auto& [entry, value] : c.entries) EXPECT_EQ(info[entry], value) << "entry " << entry;
  }
}

TEST(LegacyLayoutTest, BadIndexAndDefaults) {
  LegacyDataPacket lp(2, false);
  EXPECT_EQ(lp.packetInfo(2)[PI_Start], PI_Absent);
  EXPECT_EQ(lp.packetInfo(-1)[PI_DataSize], PI_Absent);
  EXPECT_EQ(lp.dataFormat(5).outputMode, 0x4u);
  EXPECT_EQ(lp.dataFormat(5).outputSettings, 0x1u);
  EXPECT_EQ(lp.dataSize(7), 0);
  EXPECT_FALSE(lp.setDataFormat(0x6, 0x1, 2));
  EXPECT_FALSE(lp.setDeviceId(1, -1));
  ASSERT_TRUE(lp.setDeviceId(0x00080005, 1));
  EXPECT_EQ(lp.findDeviceId(0x00080005), 1);
  EXPECT_EQ(lp.findDeviceId(0x00080005), 1);  // cached hit
  EXPECT_EQ(lp.findDeviceId(0x00080006), -1);
  EXPECT_EQ(lp.findDeviceId(0), 0);
}

// ---- getters and setters ----

// One device, mode 0x6 (calibrated data, orientation), settings 0x1: floats and a counter.
Bytes calibratedQuaternionPayload() {
  Payload p;
  p.floats({1, 2, 3, 4, 5, 6, 7, 8, 9}).floats({0.5f, 0.5f, -0.5f, 0.5f}).u16(0xABCD);
  return p.b;
}

TEST(LegacyItemsTest, GettersDecodeTheLayout) {
  const LegacyDataPacket lp = makeLegacy({{0x6, 0x1}}, false, calibratedQuaternionPayload());
  EXPECT_EQ(lp.calibratedAcceleration(0), (LegacyDataPacket::Vector3{1, 2, 3}));
  EXPECT_EQ(lp.calibratedGyroscopeData(0), (LegacyDataPacket::Vector3{4, 5, 6}));
  EXPECT_EQ(lp.calibratedMagneticField(0), (LegacyDataPacket::Vector3{7, 8, 9}));
  const ZtQuaternion q = lp.orientationQuaternion(0);
  EXPECT_EQ(q.y, -0.5);
  EXPECT_EQ(q.z, 0.5);
  EXPECT_EQ(lp.packetCounter(0), 0xABCD);
  EXPECT_EQ(lp.frameCounter(), 0xABCD);
  // Absent items and bad indexes read as zeros.
  EXPECT_EQ(lp.rawAcceleration(0), (LegacyDataPacket::Raw3{0, 0, 0}));
  EXPECT_EQ(lp.status(0), 0u);
  EXPECT_EQ(lp.calibratedAcceleration(1), (LegacyDataPacket::Vector3{0, 0, 0}));
  EXPECT_TRUE(lp.ktwSdiData(0).empty());
  EXPECT_EQ(lp.ktwSdiData(0).rssi(), -128.0);
}

TEST(LegacyItemsTest, DecodesRawStatusUtcGnssAndSdi) {
  Payload p;
  p.u16(1).u16(2).u16(3).u16(4).u16(5).u16(6).u16(7).u16(8).u16(0xFFFF).u16(100).u16(101).u16(102).u16(103);  // raw, 4 temps
  p.u32(0x00080042).u8(9).u16(10).u16(14).floats({0.1f, 0.2f, 0.3f}).floats({1, 0, 0, 0}).floats({0.01f, 0.02f, 0.03f});
  p.u8(1).u16(5000).floats({40, 41, 42}).u8(0xB0);                                                            // SDI
  p.u16(600).u8(4).u32(11).u32(0xFFFFFFFE).u32(13).u32(14).u32(15).u32(16).u32(17).u32(18).u32(19).u32(20).u8(21);  // GNSS
  p.u32(0x01020304);                                                       // detailed status
  p.u32(123456789).u16(2026).u8(12).u8(9).u8(20).u8(45).u8(30).u8(1);      // UTC
  const LegacyDataPacket lp = makeLegacy({{0x4000 | 0x200 | 0x1000 | 0x800, 0x01000082}}, false, p.b);

  const ZtScrData raw = lp.rawData(0);
  EXPECT_EQ(raw.mag[2], 0xFFFF);
  EXPECT_EQ(raw.temp[3], 103);
  EXPECT_EQ(lp.rawTemperatureChannelCount(0), 4);

  const KtwSdiData sdi = lp.ktwSdiData(0);
  EXPECT_EQ(sdi.deviceId(), 0x00080042u);
  EXPECT_EQ(sdi.frameRange()[0], 10);
  EXPECT_EQ(sdi.frameRange()[1], 14);
  EXPECT_TRUE(sdi.containsAidingData());
  EXPECT_EQ(sdi.pressure(), 100.0);
  EXPECT_FLOAT_EQ(static_cast<float>(sdi.velocityIncrement()[2]), 0.03f);
  EXPECT_EQ(sdi.magneticField()[1], 41.0);
  EXPECT_EQ(sdi.rssi(), -80.0);

  const ZtGpsPvtData g = lp.gpsPvtData(0);
  EXPECT_EQ(g.pressure, 600);
  EXPECT_EQ(g.latitude, -2);
  EXPECT_EQ(g.sAcc, 20u);
  EXPECT_EQ(g.gpsAge, 21);
  EXPECT_EQ(lp.pressure(0).pressure, 600.0);
  EXPECT_EQ(lp.pressure(0).pressureAge, 4);

  bool detailed = false;
  EXPECT_EQ(lp.status(0, &detailed), 0x01020304u);
  EXPECT_TRUE(detailed);
  const ZtUtcTime u = lp.utcTime(0);
  EXPECT_EQ(u.nano, 123456789u);
  EXPECT_EQ(u.year, 2026);
  EXPECT_EQ(u.valid, 1);
  EXPECT_EQ(lp.packetCounter(0), 14);  // no counter: the SDI last frame stands in
}

TEST(LegacyItemsTest, SdiPressureStandsInWithAnAge) {
  Payload p;
  p.u32(0x00080001).u8(0).u16(1).u16(2).floats({0, 0, 0, 1, 0, 0, 0, 0, 0, 0}).u8(0).u16(250).floats({0, 0, 0}).u8(0);
  const LegacyDataPacket lp = makeLegacy({{0x200, 0x0}}, false, p.b);
  EXPECT_EQ(lp.pressure(0).pressure, 250.0);
  EXPECT_EQ(lp.pressure(0).pressureAge, 255);  // no aiding data
}

TEST(LegacyItemsTest, SettersAppendAndKeepTheOriginal) {
  LegacyDataPacket lp = makeLegacy({{0x6, 0x1}}, false, calibratedQuaternionPayload());
  Message original;
  lp.originalMessage(original.m);
  const Bytes before = payloadOf(&original.m);

  ASSERT_TRUE(lp.setCalibratedAcceleration({1.5, -2.5, 3.25}, 0));
  EXPECT_EQ(ZtMessage_dataSize(&lp.message()), 54u + 24u);
  EXPECT_EQ(lp.dataSize(0), 54 + 24);
  EXPECT_EQ(lp.packetInfo(0)[PI_CalAcc], 54);
  EXPECT_EQ(lp.calibratedAcceleration(0), (LegacyDataPacket::Vector3{1.5, -2.5, 3.25}));
  // Set again: overwritten in place among the appended doubles.
  ASSERT_TRUE(lp.setCalibratedAcceleration({7, 8, 9}, 0));
  EXPECT_EQ(ZtMessage_dataSize(&lp.message()), 78u);
  // 16-bit items are overwritten in place; absent ones appended.
  ASSERT_TRUE(lp.setPacketCounter(7, 0));
  EXPECT_EQ(lp.packetInfo(0)[PI_PacketCounter], 52);
  ASSERT_TRUE(lp.setStatus(0x11223344, 0));
  EXPECT_EQ(lp.packetInfo(0)[PI_Status], 78);
  EXPECT_EQ(lp.packetInfo(0)[PI_DetailedStatus], 78);
  EXPECT_EQ(lp.status(0), 0x11223344u);
  const LegacyDataPacket::Matrix3 m{0, -1, 0, 1, 0, 0, 0, 0, 1};
  ASSERT_TRUE(lp.setOrientationMatrix(m, 0));
  EXPECT_EQ(lp.orientationMatrix(0), m);
  ASSERT_TRUE(lp.setRawTemperature(55, 0, 2));  // appends channels 0 to 2
  EXPECT_EQ(lp.rawTemperatureChannelCount(0), 3);
  EXPECT_EQ(lp.rawTemperature(0, 2), 55);

  // The original keeps its bytes but for the counter, which was overwritten in place.
  Message after;
  lp.originalMessage(after.m);
  Bytes expected = before;
  expected[52] = 0;
  expected[53] = 7;
  EXPECT_EQ(payloadOf(&after.m), expected);
  EXPECT_TRUE(ZtMessage_isChecksumOk(&after.m));
  EXPECT_EQ(lp.packetCounter(0), 7);
  EXPECT_FALSE(lp.setPacketCounter(1, 1));  // bad index

  // Copies are deep.
  LegacyDataPacket copy(lp);
  ASSERT_TRUE(copy.setPacketCounter(99, 0));
  EXPECT_EQ(lp.packetCounter(0), 7);
  EXPECT_EQ(copy.calibratedAcceleration(0), (LegacyDataPacket::Vector3{7, 8, 9}));
}

// A message shorter than its layout: what setters append lies inside the laid-out range, yet it
// is appended data, written and read back as doubles, and not part of the original message.
TEST(LegacyItemsTest, SettersOnAShortMessageReadBackAndLeaveTheOriginal) {
  const Bytes received = Payload().floats({1, 2, 3}).b;  // 12 of the 54 laid-out bytes
  LegacyDataPacket lp = makeLegacy({{0x6, 0x1}}, false, received);
  ASSERT_TRUE(lp.setCalibratedGyroscopeData({0.25, -4.5, 1e6}, 0));
  ASSERT_TRUE(lp.setCalibratedAcceleration({7, 8, 9}, 0));
  EXPECT_EQ(lp.packetInfo(0)[PI_CalGyr], 12) << "appended at the end of the short message";
  EXPECT_EQ(lp.calibratedGyroscopeData(0), (LegacyDataPacket::Vector3{0.25, -4.5, 1e6}));
  EXPECT_EQ(lp.calibratedAcceleration(0), (LegacyDataPacket::Vector3{7, 8, 9}));
  EXPECT_EQ(lp.itemValueForm(0, PI_CalGyr), 0x300u);
  // Set again: overwritten in place, not appended once more.
  ASSERT_TRUE(lp.setCalibratedGyroscopeData({1, 2, 3}, 0));
  EXPECT_EQ(ZtMessage_dataSize(&lp.message()), 12u + 24u + 24u);
  EXPECT_EQ(lp.calibratedGyroscopeData(0), (LegacyDataPacket::Vector3{1, 2, 3}));

  Message original;
  lp.originalMessage(original.m);
  EXPECT_EQ(payloadOf(&original.m), received);

  // The converted rate of turn is the appended double encoding.
  Packet d;
  ZtDataPacket_assignFromZtLegacyDataPacket(&d.p, lp, 0);
  EXPECT_GE(ZtDataPacket_itemOffsetExact(&d.p, 0x8023), 0);
  ZtVector v;
  ZtVector_construct(&v, 3, nullptr);
  ZtDataPacket_calibratedRateOfTurn(&d.p, &v);
  EXPECT_EQ(v.data[1], 2.0);
  ZtVector_destruct(&v);

  // Copies keep the appended region; a new message starts without one.
  LegacyDataPacket copy(lp);
  EXPECT_EQ(copy.calibratedGyroscopeData(0), (LegacyDataPacket::Vector3{1, 2, 3}));
  lp.setMessage(original.m);
  EXPECT_EQ(lp.packetInfo(0)[PI_CalAcc], 0) << "entries repointed by setters are laid out afresh";
  EXPECT_EQ(lp.dataSize(0), 54);
  EXPECT_EQ(lp.calibratedAcceleration(0), (LegacyDataPacket::Vector3{1, 2, 3})) << "the received floats";
  EXPECT_FALSE(lp.containsItem(0, PI_CalGyr)) << "cut off: absent";
  EXPECT_EQ(lp.itemValueForm(0, PI_CalAcc), 0x1u);
}

TEST(LegacyItemsTest, SdiRecordRoundTripsThroughItsSetter) {
  LegacyDataPacket lp = makeLegacy({{0x2, 0x70}}, false, Bytes{0, 0});  // mode with no data bytes...
  EXPECT_EQ(lp.dataSize(0), 0);
  KtwSdiData sdi;
  sdi.setDeviceId(0x00080009);
  EXPECT_FALSE(lp.setKtwSdiData(sdi, 0));  // ...a device without data takes no items

  LegacyDataPacket with = makeLegacy({{0x6, 0x1}}, false, calibratedQuaternionPayload());
  sdi.setFrameRange(3, 9);
  sdi.setOrientationIncrement(ZtQuaternion{0.9, 0.1, 0.2, 0.3});
  const double dv[3] = {1, 2, 3};
  sdi.setVelocityIncrement(dv);
  sdi.setAidingData(true);
  sdi.setPressure(1012.5);
  sdi.setRssi(-60);
  ASSERT_TRUE(with.setKtwSdiData(sdi, 0));
  const KtwSdiData back = with.ktwSdiData(0);
  EXPECT_TRUE(back == sdi);
}

TEST(LegacyItemsTest, ZbusFlagInsertsAndRemovesTheMasterCounter) {
  LegacyDataPacket lp = makeLegacy({{0x6, 0x1}}, false, calibratedQuaternionPayload());
  lp.setZbusSystem(true, true);
  EXPECT_EQ(ZtMessage_dataSize(&lp.message()), 56u);
  EXPECT_EQ(ZtMessage_getDataShort(&lp.message(), 0), 0xABCD);
  EXPECT_EQ(lp.packetInfo(0)[PI_Start], 2);
  EXPECT_EQ(lp.packetCounter(0), 0xABCD);
  EXPECT_EQ(lp.calibratedAcceleration(0)[0], 1.0);
  lp.setZbusSystem(true, true);  // unchanged flag: nothing happens
  EXPECT_EQ(ZtMessage_dataSize(&lp.message()), 56u);
  lp.setZbusSystem(false, true);
  EXPECT_EQ(ZtMessage_dataSize(&lp.message()), 54u);
  EXPECT_EQ(lp.packetInfo(0)[PI_Start], 0);
}

TEST(LegacyItemsTest, TriggerIndications) {
  LegacyDataPacket lp;
  EXPECT_FALSE(lp.containsTriggerIndication(0));
  EXPECT_TRUE(lp.setTriggerIndication(2, 777));
  EXPECT_FALSE(lp.setTriggerIndication(3, 1));
  EXPECT_TRUE(lp.containsTriggerIndication(2));
  EXPECT_FALSE(lp.containsTriggerIndication(1));
  EXPECT_TRUE(lp.containsTriggerIndication(0));
  EXPECT_EQ(lp.triggerIndication(2), 777);
  EXPECT_EQ(lp.triggerIndication(9), 0);
}

// ---- conversion ----

TEST(LegacyConversionTest, BusMasterDevicesBecomePacketsWithTheGetterValues) {
  // Master counter, then device 0 (calibrated + Euler, 12.20 fixed point, NED frame),
  // then device 1 (raw with four temperatures, quaternion as doubles, status byte).
  Payload p;
  p.u16(4242);
  for (int32_t v : {1 << 20, -(1 << 20), 1 << 19, 2 << 20, 3 << 20, 4 << 20, 5 << 20, 6 << 20, 7 << 20, 10 << 20, 20 << 20,
                    30 << 20})
    p.u32(static_cast<uint32_t>(v));
  p.u16(0);  // device 0's own counter bytes (skipped)
  for (uint16_t v = 1; v <= 13; ++v) p.u16(v);
  p.f64(0.5).f64(0.5).f64(0.5).f64(0.5).u8(0x5A).u16(0);
  const uint32_t settings0 = 0x80000000u | 0x100 | 0x4 | 0x1;
  const uint32_t settings1 = 0x01000000u | 0x300 | 0x1;
  LegacyDataPacket lp = makeLegacy({{0x6, settings0}, {0x4000 | 0x4 | 0x800, settings1}}, true, p.b,
                                   {0x00100001, 0x00400002});
  lp.setTimeOfArrival(5555);
  lp.setLargePacketCounter(123456);

  Packet d0, d1;
  ZtDataPacket_assignFromZtLegacyDataPacket(&d0.p, lp, 0);
  ZtDataPacket_assignFromZtLegacyDataPacket(&d1.p, lp, 1);

  EXPECT_EQ(ZtMessage_getMessageId(&d0.p.message), 0x36);
  EXPECT_EQ(ZtMessage_getBusId(&d0.p.message), 1);
  EXPECT_EQ(ZtMessage_getBusId(&d1.p.message), 2);
  EXPECT_EQ(payloadOf(&d0.p.original), p.b);
  EXPECT_EQ(d0.p.deviceId, 0x00100001u);
  EXPECT_EQ(d1.p.deviceId, 0x00400002u);
  EXPECT_EQ(d0.p.toa, 5555);
  EXPECT_EQ(d0.p.packetId, 123456);

  ZtVector v;
  ZtVector_construct(&v, 3, nullptr);
  ZtDataPacket_calibratedAcceleration(&d0.p, &v);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(v.data[i], lp.calibratedAcceleration(0)[i]);
  EXPECT_EQ(v.data[1], -1.0);
  // Rate of turn travels as the encoded bytes under 0x8020 + form (12.20: form 1).
  const int32_t o = ZtDataPacket_itemOffsetExact(&d0.p, 0x8021);
  ASSERT_GE(o, 0);
  EXPECT_EQ(Bytes(ZtMessage_constData(&d0.p.message) + o, ZtMessage_constData(&d0.p.message) + o + 12),
            Bytes(p.b.begin() + 2 + 12, p.b.begin() + 2 + 24));
  ZtDataPacket_calibratedRateOfTurn(&d0.p, &v);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(v.data[i], lp.calibratedGyroscopeData(0)[i]);
  ZtDataPacket_calibratedMagneticField(&d0.p, &v);
  EXPECT_EQ(v.data[2], 7.0);
  ZtEuler e;
  ZtDataPacket_orientationEuler(&d0.p, ZDI_FrameNed, &e);
  EXPECT_EQ(e.roll, lp.orientationEuler(0).roll);
  EXPECT_EQ(e.yaw, 30.0);
  EXPECT_EQ(ZtDataPacket_orientationFrame(&d0.p), ZDI_FrameNed);
  EXPECT_EQ(ZtDataPacket_packetCounter(&d0.p), 4242);  // the master's counter

  ZtScrData raw;
  ZtDataPacket_rawData(&d1.p, &raw);
  EXPECT_EQ(raw.acc[0], 1);
  EXPECT_EQ(raw.mag[2], 9);
  EXPECT_EQ(raw.temp[0], 10);
  ASSERT_TRUE(ZtDataPacket_containsRawGyroscopeTemperatures(&d1.p));
  uint16_t temps[3];
  ZtDataPacket_rawGyroscopeTemperatures(&d1.p, temps);
  EXPECT_EQ(temps[0], 11);
  EXPECT_EQ(temps[2], 13);
  ZtQuaternion q;
  ZtDataPacket_orientationQuaternion(&d1.p, ZDI_FrameNwu, &q);
  EXPECT_EQ(q.w, 0.5);
  EXPECT_EQ(ZtDataPacket_orientationFrame(&d1.p), ZDI_FrameNwu);
  EXPECT_FALSE(ZtDataPacket_containsDetailedStatus(&d1.p));
  EXPECT_EQ(ZtDataPacket_status(&d1.p), 0x5Au);
  EXPECT_FALSE(ZtDataPacket_containsCalibratedAcceleration(&d1.p));
  ZtVector_destruct(&v);
}

TEST(LegacyConversionTest, WirelessSdiPartBecomesIncrementsFrameRangeAndRssi) {
  Payload p;
  p.u32(0x00080077).u8(0).u16(100).u16(103).floats({0, 0, 0}).floats({1, 0, 0, 0}).floats({0.25f, 0.5f, 1});
  p.u8(1).u16(5065).floats({0.3f, 0.4f, 0.5f}).u8(0xC4);
  p.u32(0x00000081);  // detailed status, sent little-endian by wireless trackers
  LegacyDataPacket lp = makeLegacy({{0x200 | 0x800, 0x80}}, false, p.b, {0x00080077});
  Packet d;
  ZtDataPacket_assignFromZtLegacyDataPacket(&d.p, lp, 0);
  EXPECT_EQ(d.p.deviceId, 0x00080077u);
  EXPECT_EQ(ZtMessage_getBusId(&d.p.message), 0xFF);
  ASSERT_TRUE(ZtDataPacket_containsSdiData(&d.p));
  EXPECT_GE(ZtDataPacket_itemOffsetExact(&d.p, 0x8030), 0);
  EXPECT_GE(ZtDataPacket_itemOffsetExact(&d.p, 0x4010), 0);
  ZtSdiData sdi;
  ZtDataPacket_sdiData(&d.p, &sdi);
  EXPECT_EQ(sdi.orientationIncrement.w, 1.0);
  EXPECT_EQ(sdi.velocityIncrement[1], 0.5);
  ZtRange range;
  ZtDataPacket_frameRange(&d.p, &range);
  EXPECT_EQ(range.first, 100);
  EXPECT_EQ(range.last, 103);
  EXPECT_EQ(ZtDataPacket_rssi(&d.p), -60);
  ZtPressure pr;
  ZtDataPacket_pressure(&d.p, &pr);
  EXPECT_EQ(pr.pressure, 10130.0);  // 5065 / 50 * 100
  EXPECT_EQ(pr.pressureAge, 0);
  EXPECT_EQ(ZtDataPacket_status(&d.p), 0x81000000u);
  EXPECT_EQ(ZtDataPacket_packetCounter(&d.p), 103);  // SDI last frame as counter
}

// The packet's data message is the items set one after the other in the conversion's order (the
// increments copied as encoded bytes, the field, pressure and temperature as doubles by the
// packet's setters, the rest in their fixed forms), whatever the conversion does to write them:
// byte for byte, checksum included, also when a reused destination held a longer packet.
TEST(LegacyConversionTest, ItemsAreWhatSettingThemOneByOneGives) {
  Payload p;
  p.u32(0x00080077).u8(0).u16(100).u16(103).floats({0, 0, 0}).floats({0.5f, 0.5f, 0.5f, 0.5f}).floats({0.25f, 0.5f, 1});
  p.u8(1).u16(5065).floats({0.3f, 0.4f, 0.5f}).u8(0xC4);
  p.f32(21.5f);       // temperature
  p.u32(0x00000081);  // detailed status
  const LegacyDataPacket lp = makeLegacy({{0x200 | 0x1 | 0x800, 0x80}}, false, p.b, {0x00080077});

  Packet expected;
  ZtMessage_destruct(&expected->message);
  ZtMessage_constructSized(&expected->message, 0);
  ZtMessage_setMessageId(&expected->message, 0x36);
  ZtDataPacket_setStatus(expected.get(), 0x81000000u);
  const auto copied = [&](uint16_t id, size_t from, size_t size) {
    Bytes item{static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), static_cast<uint8_t>(size)};
    item.insert(item.end(), p.b.begin() + static_cast<long>(from), p.b.begin() + static_cast<long>(from + size));
    ZtMessage_setDataBuffer(&expected->message, item.data(), item.size(), ZtMessage_dataSize(&expected->message));
  };
  copied(0x8030, 21, 16);  // orientation increment, 4-byte floats
  copied(0x4010, 37, 12);  // velocity increment
  double field[3] = {0.3f, 0.4f, 0.5f};
  ZtVector v{field, 3, 0};
  ZtDataPacket_setCalibratedMagneticField(expected.get(), &v);
  const ZtPressure pascal{5065 / 50.0 * 100.0, 0};
  ZtDataPacket_setPressure(expected.get(), &pascal);
  const ZtRange range{100, 103};
  ZtDataPacket_setFrameRange(expected.get(), &range);
  ZtDataPacket_setRssi(expected.get(), -60);
  ZtDataPacket_setTemperature(expected.get(), 21.5);
  ZtDataPacket_setPacketCounter(expected.get(), 103);

  Packet d;
  LegacyDataPacket longer = makeLegacy({{0x4000 | 0x2 | 0x4, 0x301}}, false, Bytes(200, 0x3F));
  ZtDataPacket_assignFromZtLegacyDataPacket(&d.p, longer, 0);
  ASSERT_GT(ZtMessage_dataSize(&d->message), ZtMessage_dataSize(&expected->message));
  ZtDataPacket_assignFromZtLegacyDataPacket(&d.p, lp, 0);
  EXPECT_EQ(payloadOf(&d->message), payloadOf(&expected->message));
  EXPECT_TRUE(Bytes(d->message.bytes.data, d->message.bytes.data + d->message.bytes.size) ==
              Bytes(expected->message.bytes.data, expected->message.bytes.data + expected->message.bytes.size));
  EXPECT_EQ(d->deviceId, 0x00080077u);
}

TEST(LegacyConversionTest, PressureAndGnssBlock) {
  Payload p;
  p.u16(50000).u8(2);
  const LegacyDataPacket lp = makeLegacy({{0x1000, 0x80000}}, false, p.b);
  Packet d;
  ZtDataPacket_assignFromZtLegacyDataPacket(&d.p, lp, 0);
  ZtPressure pr;
  ZtDataPacket_pressure(&d.p, &pr);
  EXPECT_EQ(pr.pressure, 100000.0);
  EXPECT_EQ(pr.pressureAge, 2);
  ZtGpsPvtData g;
  ZtDataPacket_gpsPvtData(&d.p, &g);
  EXPECT_TRUE(ZtDataPacket_containsGpsPvtData(&d.p));
  EXPECT_EQ(g.latitude, 0);
  EXPECT_EQ(g.pressure, 50000);
}

// ---- hostile messages ----

TEST(LegacyHostileTest, ShortMessagesReadAsAbsent) {
  // Every layout feature, fed with every prefix of a full message: nothing is read past the
  // payload (ASan), and an item whose bytes are cut off reads as zeros.
  const std::pair<uint32_t, uint32_t> formats[] = {
      {0x4000 | 0x200 | 0x1000 | 0x1 | 0x2 | 0x4 | 0x8 | 0x10 | 0x20 | 0x800, 0x01000083 | 0x300},
      {0x6, 0x1},
      {0x4 | 0x800, 0x8 | 0x200},
  };
  for (const auto& [mode, settings] : formats) {
    const LegacyDataPacket full = makeLegacy({{mode, settings}}, false, Bytes(1024, 0x7F));
    const size_t need = full.dataSize(0);
    for (size_t n = 0; n < need; ++n) {
      SCOPED_TRACE(testing::Message() << std::hex << mode << " prefix " << std::dec << n);
      Bytes prefix(n, 0x7F);
      LegacyDataPacket lp = makeLegacy({{mode, settings}}, false, prefix);
      const PacketInfo info = lp.packetInfo(0);
      if (info[PI_CalAcc] != PI_Absent && info[PI_CalAcc] + 12u > n) {
        EXPECT_FALSE(lp.containsItem(0, PI_CalAcc));
        EXPECT_EQ(lp.calibratedAcceleration(0)[0], 0.0);
      }
      if (info[PI_OriMatrix] != PI_Absent && info[PI_OriMatrix] + 54u > n) {
        EXPECT_EQ(lp.orientationMatrix(0)[0], 0.0);
      }
      if (info[PI_UtcMonth + 5] != PI_Absent && info[PI_UtcMonth + 5] >= n) {
        EXPECT_EQ(lp.utcTime(0).valid, 0);
      }
      // Every getter and the conversion run over the cut message.
      (void)lp.rawData(0);
      (void)lp.ktwSdiData(0);
      (void)lp.gpsPvtData(0);
      (void)lp.pressure(0);
      (void)lp.status(0);
      (void)lp.temperature(0, 3);
      (void)lp.orientationQuaternion(0);
      (void)lp.orientationEuler(0);
      (void)lp.positionLLA(0);
      (void)lp.velocity(0);
      (void)lp.analogIn2(0);
      Packet d;
      ZtDataPacket_assignFromZtLegacyDataPacket(&d.p, lp, 0);
      EXPECT_LE(ZtDataPacket_itemCount(&d.p), 20u);
      // Setters repoint a cut-off item to appended bytes instead of writing past the payload.
      ASSERT_TRUE(lp.setPacketCounter(0x1234, 0) || info[PI_DataSize] == 0);
      if (info[PI_DataSize] != 0) {
        EXPECT_EQ(lp.packetCounter(0), 0x1234);
      }
    }
  }
}

}  // namespace
