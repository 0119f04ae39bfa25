// Interpolation between two packets of one device, modern and legacy: linear blends truncated as
// stated, slerp of orientations, the packet counter across its wrap, mode 3, items carried by one
// packet only, extrapolation and NaN positions.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "control/PacketInterpolation.h"
#include "math/Quaternion.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct PacketInterpolationPacket {
  ZtDataPacket p;
  PacketInterpolationPacket() { ZtDataPacket_construct(&p); }
  explicit PacketInterpolationPacket(ZtDataPacket&& owned) : p(owned) {}
  ~PacketInterpolationPacket() { ZtDataPacket_destruct(&p); }
  PacketInterpolationPacket(const PacketInterpolationPacket&) = delete;
  PacketInterpolationPacket& operator=(const PacketInterpolationPacket&) = delete;
};

void setRawAcc(ZtDataPacket& p, uint16_t x) {
  ZtScrData raw{};
  raw.acc[0] = x;
  raw.acc[1] = static_cast<uint16_t>(x + 1);
  raw.gyr[2] = 7;
  raw.temp[0] = x;
  ZtDataPacket_setRawData(&p, &raw);
}

void setCalAcc(ZtDataPacket& p, double x) {
  double v[3] = {x, -x, 1.0};
  const ZtVector view{v, 3, 0};
  ZtDataPacket_setCalibratedAcceleration(&p, &view);
}

double calAcc(const ZtDataPacket& p) {
  double v[3] = {0, 0, 0};
  ZtVector view{v, 3, 0};
  ZtDataPacket_calibratedAcceleration(&p, &view);
  return v[0];
}

zelto::Quaternion aboutZ(double degrees) {
  const double h = degrees * M_PI / 360.0;
  return zelto::Quaternion(std::cos(h), 0.0, 0.0, std::sin(h));
}

// a: raw 100, calibrated 1.0, identity orientation, counter 65530, toa 1000, id 5.
// b: raw 200, calibrated 3.0, 90 degrees about z, counter 4, toa 2000, id 6, device 9, status.
struct Pair {
  PacketInterpolationPacket a, b;
  Pair() {
    a.p.deviceId = 8;
    a.p.packetId = 5;
    a.p.toa = 1000;
    b.p.deviceId = 9;
    b.p.packetId = 6;
    b.p.toa = 2000;
    setRawAcc(a.p, 100);
    setRawAcc(b.p, 200);
    setCalAcc(a.p, 1.0);
    setCalAcc(b.p, 3.0);
    const zelto::Quaternion qa = aboutZ(0), qb = aboutZ(90);
    ZtDataPacket_setOrientationQuaternion(&a.p, &qa, ZDI_FrameNwu);
    ZtDataPacket_setOrientationQuaternion(&b.p, &qb, ZDI_FrameNwu);
    ZtDataPacket_setPacketCounter(&a.p, 65530);
    ZtDataPacket_setPacketCounter(&b.p, 4);
    ZtDataPacket_setStatus(&b.p, 0x55);
  }
};

TEST(InterpolatePackets, ModernPacketItemByItem) {
  struct Case {
    const char* what;
    double w;
    int mode;
    uint16_t raw;
    double cal;
    double degrees;  // orientation about z
    uint16_t counter;
    ZtTimeStamp toa;
  };
  const Case cases[] = {
      {"w 0 gives a", 0.0, 0, 100, 1.0, 0.0, 65530, 1000},
      {"w 1 gives b", 1.0, 0, 200, 3.0, 90.0, 4, 2000},
      {"raw truncated toward zero: 125.4 gives 125", 0.254, 0, 125, 1.508, 22.86, 65533, 1254},
      {"counter across the wrap: 65530, 4 at 0.5 gives 65535", 0.5, 0, 150, 2.0, 45.0, 65535, 1500},
      {"mode 3: data items of a, counter and time halfway", 0.5, 3, 100, 1.0, 0.0, 65535, 1500},
      {"extrapolation keeps the low 16 bits", 700.0, 0, static_cast<uint16_t>(70100 & 0xFFFF), 1401.0, 63000.0,
       static_cast<uint16_t>((65530 + 7000) & 0xFFFF), 701000},
      {"far outside: raw saturates instead of overflowing", -1e30, 0, 0, -2e30, 0.0, 65530,
       std::numeric_limits<int64_t>::min()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Pair in;
    PacketInterpolationPacket r(interpolatePackets(in.a.p, in.b.p, c.w, c.mode));
    ZtScrData raw;
    ZtDataPacket_rawData(&r.p, &raw);
    EXPECT_EQ(raw.acc[0], c.raw);
    EXPECT_EQ(raw.temp[0], c.raw);
    if (std::abs(c.w) < 1e3) {
      EXPECT_EQ(raw.gyr[2], 7u);  // equal ends stay put
    }
    EXPECT_NEAR(calAcc(r.p), c.cal, std::abs(c.cal) * 1e-12 + 1e-12);
    if (std::abs(c.w) <= 1.0) {
      ZtQuaternion q;
      ZtDataPacket_orientationQuaternion(&r.p, ZDI_FrameNwu, &q);
      EXPECT_TRUE(zelto::Quaternion(q).compare(aboutZ(c.degrees), 1e-9)) << q;
    }
    EXPECT_EQ(ZtDataPacket_packetCounter(&r.p), c.counter);
    EXPECT_EQ(r.p.toa, c.toa);
    // Everything else is b's.
    EXPECT_EQ(r.p.deviceId, 9u);
    EXPECT_EQ(r.p.packetId, 6);
    EXPECT_EQ(ZtDataPacket_status(&r.p), 0x55u);
  }
}

TEST(InterpolatePackets, ModernPacketAtANaNPosition) {
  Pair in;
  PacketInterpolationPacket r(interpolatePackets(in.a.p, in.b.p, kNaN, 0));
  ZtScrData raw;
  ZtDataPacket_rawData(&r.p, &raw);
  EXPECT_EQ(raw.acc[0], 0u);
  EXPECT_EQ(ZtDataPacket_packetCounter(&r.p), 65530u);  // a step of 0
  EXPECT_EQ(r.p.toa, 0);
  EXPECT_TRUE(std::isnan(calAcc(r.p)));
}

TEST(InterpolatePackets, ModernItemsInOnePacketOnly) {
  Pair in;
  // Only a has free acceleration and raw gyroscope temperatures; only b has a temperature.
  double f[3] = {1, 2, 3};
  const ZtVector fv{f, 3, 0};
  ZtDataPacket_setFreeAcceleration(&in.a.p, &fv);
  const uint16_t temps[3] = {1, 2, 3};
  ZtDataPacket_setRawGyroscopeTemperatures(&in.a.p, temps);
  ZtDataPacket_setTemperature(&in.b.p, 21.5);
  PacketInterpolationPacket r(interpolatePackets(in.a.p, in.b.p, 0.5, 0));
  EXPECT_FALSE(ZtDataPacket_containsFreeAcceleration(&r.p));
  EXPECT_FALSE(ZtDataPacket_containsRawGyroscopeTemperatures(&r.p));
  EXPECT_EQ(ZtDataPacket_temperature(&r.p), 21.5);
  // Both carry it: blended.
  double g[3] = {3, 4, 5};
  const ZtVector gv{g, 3, 0};
  ZtDataPacket_setFreeAcceleration(&in.b.p, &gv);
  PacketInterpolationPacket r2(interpolatePackets(in.a.p, in.b.p, 0.5, 0));
  double out[3];
  ZtVector ov{out, 3, 0};
  ZtDataPacket_freeAcceleration(&r2.p, &ov);
  EXPECT_EQ(out[0], 2.0);
  EXPECT_EQ(out[2], 4.0);
}

// ---- Legacy packets ---------------------------------------------------------------------------

constexpr uint32_t kRaw = 0x4000, kCal = 0x2, kOri = 0x4;
constexpr uint32_t kCounter = 0x1, kDoubles = 0x300, kFourTemps = 0x01000000;
constexpr uint32_t kEuler = 0x4, kMatrix = 0x8;

// A legacy packet of count devices with one format, payload zeroed, values set afterwards.
LegacyDataPacket makeLegacy(int count, uint32_t mode, uint32_t settings) {
  LegacyDataPacket lp(static_cast<uint16_t>(count), false);
  size_t size = 0;
  for (int i = 0; i < count; ++i) {
    EXPECT_TRUE(lp.setDataFormat(mode, settings, i));
    size += lp.dataSize(i);
  }
  ZtMessage m;
  ZtMessage_constructSized(&m, size);
  ZtMessage_setMessageId(&m, 0x32);
  lp.setMessage(m);
  ZtMessage_destruct(&m);
  for (int i = 0; i < count; ++i) EXPECT_TRUE(lp.setDataFormat(mode, settings, i));
  return lp;
}

TEST(InterpolatePackets, LegacyPacketDeviceByDevice) {
  const uint32_t mode = kRaw | kCal | kOri;
  const uint32_t settings = kCounter | kDoubles | kFourTemps;
  LegacyDataPacket a = makeLegacy(2, mode, settings), b = makeLegacy(2, mode, settings);
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(a.setRawAcceleration({100, 10, 0}, i));
    ASSERT_TRUE(b.setRawAcceleration({200, 20, 0}, i));
    ASSERT_TRUE(a.setRawTemperature(100, i, 3));
    ASSERT_TRUE(b.setRawTemperature(200, i, 3));
    ASSERT_TRUE(a.setCalibratedGyroscopeData({1.0, 0.0, 0.0}, i));
    ASSERT_TRUE(b.setCalibratedGyroscopeData({3.0, 0.0, 0.0}, i));
    ASSERT_TRUE(a.setOrientationQuaternion(aboutZ(0), i));
    ASSERT_TRUE(b.setOrientationQuaternion(aboutZ(90), i));
    ASSERT_TRUE(a.setPacketCounter(65530, i));
    ASSERT_TRUE(b.setPacketCounter(4, i));
  }
  a.setTimeOfArrival(1000);
  b.setTimeOfArrival(2000);
  struct Case {
    double w;
    int mode;
    uint16_t raw, temp;
    double gyr, degrees;
    uint16_t counter;
    ZtTimeStamp toa;
  };
  const Case cases[] = {
      {0.254, 0, 125, 125, 1.508, 22.86, 65533, 1254},
      {0.5, 3, 100, 100, 1.0, 0.0, 65535, 1500},
      {1.0, 0, 200, 200, 3.0, 90.0, 4, 2000},
      {kNaN, 0, 0, 0, kNaN, kNaN, 65530, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.w);
    LegacyDataPacket r = interpolatePackets(a, b, c.w, c.mode);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(r.rawAcceleration(i)[0], c.raw);
      EXPECT_EQ(r.rawTemperature(i, 3), c.temp);
      EXPECT_EQ(r.rawTemperature(i, 0), 0u);
      if (std::isnan(c.gyr)) {
        EXPECT_TRUE(std::isnan(r.calibratedGyroscopeData(i)[0]));
      } else {
        EXPECT_NEAR(r.calibratedGyroscopeData(i)[0], c.gyr, 1e-12);
        EXPECT_TRUE(zelto::Quaternion(r.orientationQuaternion(i)).compare(aboutZ(c.degrees), 1e-9));
      }
      EXPECT_EQ(r.packetCounter(i), c.counter);
    }
    EXPECT_EQ(r.timeOfArrival(), c.toa);
  }
}

TEST(InterpolatePackets, LegacyEulerAnglesAndMatrices) {
  {
    SCOPED_TRACE("Euler angles blend per angle, without unwrapping");
    LegacyDataPacket a = makeLegacy(1, kOri, kDoubles | kEuler), b = makeLegacy(1, kOri, kDoubles | kEuler);
    ASSERT_TRUE(a.setOrientationEuler({10.0, 0.0, 170.0}, 0));
    ASSERT_TRUE(b.setOrientationEuler({20.0, 4.0, -170.0}, 0));
    const ZtEuler e = interpolatePackets(a, b, 0.5, 0).orientationEuler(0);
    EXPECT_NEAR(e.roll, 15.0, 1e-12);
    EXPECT_NEAR(e.pitch, 2.0, 1e-12);
    EXPECT_NEAR(e.yaw, 0.0, 1e-12);
  }
  {
    SCOPED_TRACE("matrices through quaternions");
    LegacyDataPacket a = makeLegacy(1, kOri, kDoubles | kMatrix), b = makeLegacy(1, kOri, kDoubles | kMatrix);
    ASSERT_TRUE(a.setOrientationMatrix({1, 0, 0, 0, 1, 0, 0, 0, 1}, 0));
    ASSERT_TRUE(b.setOrientationMatrix({0, -1, 0, 1, 0, 0, 0, 0, 1}, 0));  // 90 degrees about z
    const LegacyDataPacket::Matrix3 m = interpolatePackets(a, b, 0.5, 0).orientationMatrix(0);
    const double c = std::cos(M_PI / 4), s = std::sin(M_PI / 4);
    const double expected[9] = {c, -s, 0, s, c, 0, 0, 0, 1};
    for (int k = 0; k < 9; ++k) EXPECT_NEAR(m[k], expected[k], 1e-9) << k;
  }
}

TEST(InterpolatePackets, LegacyCountsOrItemsThatDiffer) {
  {
    SCOPED_TRACE("different device counts give b unchanged");
    LegacyDataPacket a = makeLegacy(1, kRaw, kCounter), b = makeLegacy(2, kRaw, kCounter);
    ASSERT_TRUE(a.setRawAcceleration({100, 0, 0}, 0));
    ASSERT_TRUE(b.setRawAcceleration({200, 0, 0}, 0));
    b.setTimeOfArrival(2000);
    const LegacyDataPacket r = interpolatePackets(a, b, 0.5, 0);
    EXPECT_EQ(r.rawAcceleration(0)[0], 200u);
    EXPECT_EQ(r.timeOfArrival(), 2000);
    EXPECT_EQ(r.itemCount(), 2u);
  }
  {
    SCOPED_TRACE("an item in one packet only keeps b's state");
    LegacyDataPacket a = makeLegacy(1, kRaw | kCal, kCounter | kDoubles), b = makeLegacy(1, kCal, kCounter | kDoubles);
    ASSERT_TRUE(a.setRawAcceleration({100, 0, 0}, 0));
    ASSERT_TRUE(a.setCalibratedAcceleration({1.0, 0, 0}, 0));
    ASSERT_TRUE(b.setCalibratedAcceleration({3.0, 0, 0}, 0));
    const LegacyDataPacket r = interpolatePackets(a, b, 0.5, 0);
    EXPECT_FALSE(r.containsItem(0, PI_RawAcc));
    EXPECT_EQ(r.calibratedAcceleration(0)[0], 2.0);
  }
}

}  // namespace
