#include "control/PacketInterpolation.h"

#include <cmath>
#include <cstdint>

#include "math/Quaternion.h"
#include "zttypes/ztdataid.h"
#include "zttypes/ztmath.h"

namespace {

// Orientation is read and written in north-west-up, so a's and b's agree whatever they store.
constexpr int kOrientationFrame = ZDI_FrameNwu;
constexpr double kSlerpThreshold = 1e-16;
// With this mode the data items take a's values.
constexpr int kModeFirstPacket = 3;

struct Weights {
  double a;
  double b;
};

// Truncation toward zero into 64 bits: saturates outside the range, NaN gives 0.
int64_t truncate64(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775808.0) return INT64_MAX;
  if (v <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(v);
}

uint16_t blendRaw(uint16_t a, uint16_t b, const Weights& k) {
  return static_cast<uint16_t>(static_cast<uint64_t>(truncate64(k.a * a + k.b * b)) & 0xFFFFu);
}

double blend(double a, double b, const Weights& k) { return k.a * a + k.b * b; }

uint16_t blendCounter(uint16_t a, uint16_t b, double w) {
  const unsigned difference = static_cast<unsigned>(b - a) & 0xFFFFu;
  const long step = ZtMath_doubleToLong(static_cast<double>(difference) * w);
  return static_cast<uint16_t>((static_cast<unsigned long>(a) + static_cast<unsigned long>(step)) & 0xFFFFu);
}

ZtTimeStamp blendTime(ZtTimeStamp a, ZtTimeStamp b, double w) {
  return truncate64((1.0 - w) * static_cast<double>(a) + w * static_cast<double>(b));
}

ZtQuaternion slerp(const ZtQuaternion& a, const ZtQuaternion& b, double t) {
  zelto::Quaternion q;
  q.isSlerp(a, b, t, kSlerpThreshold);
  return q;
}

// A three-element vector item of a modern packet: getter and setter.
struct VectorItem {
  int (*contains)(const ZtDataPacket*);
  ZtVector* (*get)(const ZtDataPacket*, ZtVector*);
  int (*set)(ZtDataPacket*, const ZtVector*);
};

void blendVectorItem(const VectorItem& item, const ZtDataPacket& a, const ZtDataPacket& b, ZtDataPacket& r,
                     const Weights& k) {
  if (!item.contains(&a) || !item.contains(&b)) return;
  double va[3] = {0, 0, 0}, vb[3] = {0, 0, 0}, vr[3];
  ZtVector viewA{va, 3, 0}, viewB{vb, 3, 0}, viewR{vr, 3, 0};
  item.get(&a, &viewA);
  item.get(&b, &viewB);
  for (int i = 0; i < 3; ++i) vr[i] = blend(va[i], vb[i], k);
  item.set(&r, &viewR);
}

}  // namespace

ZtDataPacket interpolatePackets(const ZtDataPacket& a, const ZtDataPacket& b, double w, int mode) {
  const Weights k = mode == kModeFirstPacket ? Weights{1.0, 0.0} : Weights{1.0 - w, w};
  ZtDataPacket r;
  ZtDataPacket_constructCopy(&r, &b);

  if (ZtDataPacket_containsRawData(&a) && ZtDataPacket_containsRawData(&b)) {
    ZtScrData ra, rb;
    ZtDataPacket_rawData(&a, &ra);
    ZtDataPacket_rawData(&b, &rb);
    ZtScrData rr = rb;
    for (int i = 0; i < 3; ++i) {
      rr.acc[i] = blendRaw(ra.acc[i], rb.acc[i], k);
      rr.gyr[i] = blendRaw(ra.gyr[i], rb.gyr[i], k);
      rr.mag[i] = blendRaw(ra.mag[i], rb.mag[i], k);
    }
    rr.temp[0] = blendRaw(ra.temp[0], rb.temp[0], k);
    ZtDataPacket_setRawData(&r, &rr);
  }
  if (ZtDataPacket_containsRawGyroscopeTemperatures(&a) && ZtDataPacket_containsRawGyroscopeTemperatures(&b)) {
    uint16_t ta[3], tb[3], tr[3];
    ZtDataPacket_rawGyroscopeTemperatures(&a, ta);
    ZtDataPacket_rawGyroscopeTemperatures(&b, tb);
    for (int i = 0; i < 3; ++i) tr[i] = blendRaw(ta[i], tb[i], k);
    ZtDataPacket_setRawGyroscopeTemperatures(&r, tr);
  }
  blendVectorItem({ZtDataPacket_containsCalibratedAcceleration, ZtDataPacket_calibratedAcceleration,
                   ZtDataPacket_setCalibratedAcceleration},
                  a, b, r, k);
  blendVectorItem({ZtDataPacket_containsCalibratedRateOfTurn, ZtDataPacket_calibratedRateOfTurn,
                   ZtDataPacket_setCalibratedRateOfTurn},
                  a, b, r, k);
  blendVectorItem({ZtDataPacket_containsCalibratedMagneticField, ZtDataPacket_calibratedMagneticField,
                   ZtDataPacket_setCalibratedMagneticField},
                  a, b, r, k);
  if (ZtDataPacket_containsOrientation(&a) && ZtDataPacket_containsOrientation(&b)) {
    ZtQuaternion qa, qb;
    ZtDataPacket_orientationQuaternion(&a, kOrientationFrame, &qa);
    ZtDataPacket_orientationQuaternion(&b, kOrientationFrame, &qb);
    const ZtQuaternion q = slerp(qa, qb, k.b);
    ZtDataPacket_setOrientationQuaternion(&r, &q, kOrientationFrame);
  }
  if (ZtDataPacket_containsPacketCounter(&a) && ZtDataPacket_containsPacketCounter(&b))
    ZtDataPacket_setPacketCounter(&r, blendCounter(ZtDataPacket_packetCounter(&a), ZtDataPacket_packetCounter(&b), w));
  blendVectorItem(
      {ZtDataPacket_containsFreeAcceleration, ZtDataPacket_freeAcceleration, ZtDataPacket_setFreeAcceleration}, a, b,
      r, k);

  r.toa = blendTime(a.toa, b.toa, w);
  return r;
}

LegacyDataPacket interpolatePackets(const LegacyDataPacket& a, const LegacyDataPacket& b, double w, int mode) {
  LegacyDataPacket r(b);
  if (r.itemCount() != a.itemCount()) return r;
  const Weights k = mode == kModeFirstPacket ? Weights{1.0, 0.0} : Weights{1.0 - w, w};

  using Raw3 = LegacyDataPacket::Raw3;
  using Vector3 = LegacyDataPacket::Vector3;
  using Matrix3 = LegacyDataPacket::Matrix3;
  struct RawItem {
    int entry;
    Raw3 (LegacyDataPacket::*get)(int) const;
    bool (LegacyDataPacket::*set)(const Raw3&, int);
  };
  struct VectorItem {
    int entry;
    Vector3 (LegacyDataPacket::*get)(int) const;
    bool (LegacyDataPacket::*set)(const Vector3&, int);
  };
  static const RawItem kRaw[] = {
      {PI_RawAcc, &LegacyDataPacket::rawAcceleration, &LegacyDataPacket::setRawAcceleration},
      {PI_RawGyr, &LegacyDataPacket::rawGyroscopeData, &LegacyDataPacket::setRawGyroscopeData},
      {PI_RawMag, &LegacyDataPacket::rawMagneticField, &LegacyDataPacket::setRawMagneticField},
  };
  static const VectorItem kCalibrated[] = {
      {PI_CalAcc, &LegacyDataPacket::calibratedAcceleration, &LegacyDataPacket::setCalibratedAcceleration},
      {PI_CalGyr, &LegacyDataPacket::calibratedGyroscopeData, &LegacyDataPacket::setCalibratedGyroscopeData},
      {PI_CalMag, &LegacyDataPacket::calibratedMagneticField, &LegacyDataPacket::setCalibratedMagneticField},
  };
  const VectorItem freeAcceleration{PI_FreeAcc, &LegacyDataPacket::freeAcceleration,
                                    &LegacyDataPacket::setFreeAcceleration};

  auto blendVector = [&](const VectorItem& item, int i) {
    const Vector3 va = (a.*item.get)(i), vb = (b.*item.get)(i);
    Vector3 vr;
    for (int c = 0; c < 3; ++c) vr[c] = blend(va[c], vb[c], k);
    (r.*item.set)(vr, i);
  };

  for (int i = 0; i < r.itemCount(); ++i) {
    const PacketInfo& ia = a.fixedData().info(i);
    const PacketInfo& ib = b.fixedData().info(i);
    auto both = [&](int entry) { return ia[entry] != PI_Absent && ib[entry] != PI_Absent; };

    for (const RawItem& item : kRaw) {
      if (!both(item.entry)) continue;
      const Raw3 va = (a.*item.get)(i), vb = (b.*item.get)(i);
      Raw3 vr;
      for (int c = 0; c < 3; ++c) vr[c] = blendRaw(va[c], vb[c], k);
      (r.*item.set)(vr, i);
    }
    for (int channel = 0; channel < 4; ++channel) {
      if (!both(PI_RawTemp0 + channel)) continue;
      r.setRawTemperature(blendRaw(a.rawTemperature(i, channel), b.rawTemperature(i, channel), k), i, channel);
    }
    for (const VectorItem& item : kCalibrated)
      if (both(item.entry)) blendVector(item, i);
    if (both(PI_OriQuat)) r.setOrientationQuaternion(slerp(a.orientationQuaternion(i), b.orientationQuaternion(i), k.b), i);
    if (both(PI_OriEuler)) {
      const ZtEuler ea = a.orientationEuler(i), eb = b.orientationEuler(i);
      const ZtEuler er{blend(ea.roll, eb.roll, k), blend(ea.pitch, eb.pitch, k), blend(ea.yaw, eb.yaw, k)};
      r.setOrientationEuler(er, i);
    }
    if (both(PI_OriMatrix)) {
      Matrix3 ma = a.orientationMatrix(i), mb = b.orientationMatrix(i), mr{};
      const ZtMatrix viewA{ma.data(), 3, 3, 3, 0}, viewB{mb.data(), 3, 3, 3, 0};
      ZtMatrix viewR{mr.data(), 3, 3, 3, 0};
      zelto::Quaternion qa, qb;
      qa.isRmat(viewA);
      qb.isRmat(viewB);
      const ZtQuaternion q = slerp(qa, qb, k.b);
      ZtMatrix_fromQuaternion(&viewR, &q);
      r.setOrientationMatrix(mr, i);
    }
    if (both(PI_PacketCounter)) r.setPacketCounter(blendCounter(a.packetCounter(i), b.packetCounter(i), w), i);
    if (both(PI_FreeAcc)) blendVector(freeAcceleration, i);
  }
  r.setTimeOfArrival(blendTime(a.timeOfArrival(), b.timeOfArrival(), w));
  return r;
}
