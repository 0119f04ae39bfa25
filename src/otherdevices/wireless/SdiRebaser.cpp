#include "otherdevices/wireless/SdiRebaser.h"

#include "device/cache/IPacketDataCache.h"
#include "math/Quaternion.h"
#include "transport/legacy/LegacyDataPacket.h"

namespace {

struct Range {
  uint16_t first = 0;
  uint16_t last = 0;
};

bool rangeOf(const ZtDataPacket& packet, Range& out) {
  if (!ZtDataPacket_containsFrameRange(&packet)) return false;
  ZtRange r;
  ZtDataPacket_frameRange(&packet, &r);
  out.first = static_cast<uint16_t>(r.first);
  out.last = static_cast<uint16_t>(r.last);
  return true;
}

ZtDataPacket emptyPacket() {
  ZtDataPacket p;
  ZtDataPacket_construct(&p);
  p.packetId = -1;
  return p;
}

}  // namespace

bool SdiRebaser::canRebase(const KtwSdiData& a, const KtwSdiData& b) {
  return a.firstFrame() == b.firstFrame() &&
         frameDistance(a.firstFrame(), b.lastFrame()) < frameDistance(a.firstFrame(), a.lastFrame());
}

KtwSdiData SdiRebaser::rebase(const KtwSdiData& a, const KtwSdiData& b) {
  KtwSdiData r = a;
  if (!canRebase(a, b)) return r;
  r.setFrameRange(b.lastFrame(), a.lastFrame());
  zelto::Quaternion inverse;
  inverse.isInverseOf(b.orientationIncrement());
  zelto::Quaternion dq;
  dq.isQuatMulQuat(inverse, a.orientationIncrement());
  r.setOrientationIncrement(dq);
  // The remaining velocity increment, carried into the frame at the end of b.
  const auto av = a.velocityIncrement();
  const auto bv = b.velocityIncrement();
  const zelto::Quaternion difference(0.0, av[0] - bv[0], av[1] - bv[1], av[2] - bv[2]);
  zelto::Quaternion half;
  half.isQuatMulQuat(inverse, difference);
  zelto::Quaternion carried;
  carried.isQuatMulQuat(half, b.orientationIncrement());
  const double dv[3] = {carried.x, carried.y, carried.z};
  r.setVelocityIncrement(dv);
  return r;
}

bool SdiRebaser::needsRebasing(const ZtDataPacket& packet) {
  Range r;
  if (!ZtDataPacket_containsSdiData(&packet) || !rangeOf(packet, r)) return false;
  return frameDistance(r.first, r.last) > 1;
}

ZtDataPacket SdiRebaser::findLargePacket(const ZtDataPacket& packet, zelto::IPacketDataCache& cache) {
  Range own;
  if (!rangeOf(packet, own) || cache.empty()) return emptyPacket();
  const int64_t highest = cache.highestKey();
  int64_t key = packet.packetId;
  // The cached keys above the packet's counter, in order (not every counter in between).
  while (key < highest) {
    ZtDataPacket candidate = cache.upperBound(key);
    key = candidate.packetId;
    Range other;
    if (rangeOf(candidate, other)) {
      // Relative to the packet's first frame: the candidate starts at or before it and ends
      // after the packet's end.
      const int32_t start = frameDistance(own.first, other.first);
      const int32_t end = frameDistance(own.first, other.last);
      const int32_t ownEnd = frameDistance(own.first, own.last);
      if (start <= 0 && ownEnd < end) return candidate;
      if (ownEnd < start) {
        ZtDataPacket_destruct(&candidate);
        break;
      }
    }
    ZtDataPacket_destruct(&candidate);
  }
  return emptyPacket();
}

ZtDataPacket SdiRebaser::findLargePacket(int64_t counter, zelto::IPacketDataCache& cache) {
  if (!cache.contains(counter)) return emptyPacket();
  ZtDataPacket packet = cache.object(counter);
  ZtDataPacket found = findLargePacket(packet, cache);
  ZtDataPacket_destruct(&packet);
  return found;
}

bool SdiRebaser::isSubInterval(const ZtDataPacket& packet, zelto::IPacketDataCache& cache) {
  Range r;
  if (!ZtDataPacket_containsSdiData(&packet) || !rangeOf(packet, r)) return false;
  ZtDataPacket found = findLargePacket(packet.packetId, cache);
  const bool any = found.packetId >= 0;
  ZtDataPacket_destruct(&found);
  return any;
}

std::vector<KtwSdiData> SdiRebaser::findSubIntervals(const ZtDataPacket& packet, zelto::IPacketDataCache& cache) {
  std::vector<KtwSdiData> found;
  Range own;
  if (!ZtDataPacket_containsSdiData(&packet) || !rangeOf(packet, own)) return found;
  const int32_t span = frameDistance(own.first, own.last);
  if (span < 2 || cache.empty()) return found;
  // Counters are unwrapped last frames: the packets inside end between the two frames.
  const zelto::IPacketDataCache::ObjectList candidates = cache.objects(packet.packetId - span, packet.packetId - 1);
  for (const ZtDataPacket& c : candidates) {
    KtwSdiData sdi;
    if (!readKtwSdiFromZtDataPacket(c, sdi)) continue;
    const int32_t start = frameDistance(own.first, sdi.firstFrame());
    const int32_t end = frameDistance(own.first, sdi.lastFrame());
    if (start >= 0 && start < end && end < span) found.push_back(sdi);
  }
  return found;
}

bool SdiRebaser::rebaseOverSubIntervals(ZtDataPacket& large, zelto::IPacketDataCache& cache,
                                        const ZtDataFormat* legacyFormat) {
  KtwSdiData a;
  if (!readKtwSdiFromZtDataPacket(large, a)) return false;
  const std::vector<KtwSdiData> inside = findSubIntervals(large, cache);
  bool rebased = false;
  // Onto the longest interval that starts where it starts, then on from its end: a chain of late
  // packets (also one that came in another order) moves the start on step by step.
  for (;;) {
    const KtwSdiData* onto = nullptr;
    for (const KtwSdiData& b : inside)
      if (canRebase(a, b) && (!onto || frameDistance(a.firstFrame(), b.lastFrame()) >
                                           frameDistance(a.firstFrame(), onto->lastFrame())))
        onto = &b;
    if (!onto) break;
    a = rebase(a, *onto);
    rebased = true;
  }
  if (!rebased) return false;
  writeKtwSdiToZtDataPacket(large, a);
  if (legacyFormat && !ZtMessage_empty(&large.original)) writeKtwSdiToLegacyMessage(large.original, *legacyFormat, a);
  cache.insert(large.packetId, large, false);
  return true;
}

bool SdiRebaser::rebaseOnThisIfNecessary(int64_t counter, zelto::IPacketDataCache& cache,
                                         const ZtDataFormat* legacyFormat) {
  ZtDataPacket large = findLargePacket(counter, cache);
  const bool rebased = large.packetId >= 0 && rebaseOverSubIntervals(large, cache, legacyFormat);
  ZtDataPacket_destruct(&large);
  return rebased;
}

size_t SdiRebaser::rebaseIntervals(zelto::IPacketDataCache& cache, const ZtDataFormat* legacyFormat) {
  if (cache.empty()) return 0;
  size_t rebased = 0;
  const int64_t highest = cache.highestKey();
  ZtDataPacket packet = cache.lowest();
  for (;;) {
    if (needsRebasing(packet) && rebaseOverSubIntervals(packet, cache, legacyFormat)) ++rebased;
    const int64_t key = packet.packetId;
    ZtDataPacket_destruct(&packet);
    if (key >= highest) break;
    packet = cache.upperBound(key);
  }
  return rebased;
}

bool SdiRebaser::readKtwSdiFromZtDataPacket(const ZtDataPacket& packet, KtwSdiData& out) {
  out = KtwSdiData();
  Range r;
  if (!ZtDataPacket_containsSdiData(&packet) || !rangeOf(packet, r)) return false;
  ZtSdiData sdi;
  ZtDataPacket_sdiData(&packet, &sdi);
  // A record with device id 0 reads as empty: the packet's id (or 1) marks it filled.
  out.setDeviceId(packet.deviceId != 0 ? packet.deviceId : 1);
  out.setFrameRange(r.first, r.last);
  out.setOrientationIncrement(sdi.orientationIncrement);
  out.setVelocityIncrement(sdi.velocityIncrement);
  if (ZtDataPacket_containsRssi(&packet)) out.setRssi(ZtDataPacket_rssi(&packet));
  if (ZtDataPacket_containsCalibratedMagneticField(&packet)) {
    ZtVector v;
    ZtVector_construct(&v, 0, nullptr);
    ZtDataPacket_calibratedMagneticField(&packet, &v);
    if (v.size >= 3) out.setMagneticField(v.data);
    ZtVector_destruct(&v);
  }
  if (ZtDataPacket_containsPressure(&packet)) {
    ZtPressure p;
    ZtDataPacket_pressure(&packet, &p);
    out.setPressure(p.pressure);
  }
  return true;
}

void SdiRebaser::writeKtwSdiToZtDataPacket(ZtDataPacket& packet, const KtwSdiData& sdi) {
  ZtSdiData data;
  data.orientationIncrement = sdi.orientationIncrement();
  const auto dv = sdi.velocityIncrement();
  for (size_t i = 0; i < 3; ++i) data.velocityIncrement[i] = dv.size() == 3 ? dv[i] : 0.0;
  ZtDataPacket_setSdiData(&packet, &data);
  const ZtRange range{sdi.firstFrame(), sdi.lastFrame()};
  ZtDataPacket_setFrameRange(&packet, &range);
}

bool SdiRebaser::writeKtwSdiToLegacyMessage(ZtMessage& message, const ZtDataFormat& format, const KtwSdiData& sdi) {
  constexpr uint8_t kLegacyData = 0x32;
  if (ZtMessage_empty(&message) || ZtMessage_getMessageId(&message) != kLegacyData || sdi.empty()) return false;
  LegacyDataPacket legacy(1, false);
  legacy.setMessage(message);
  legacy.setZbusSystem(false, false);
  legacy.setDeviceId(sdi.deviceId(), 0);
  legacy.setDataFormat(format, 0);
  for (int entry : {PI_SdiDeviceId, PI_SdiFirstFrame, PI_SdiLastFrame, PI_SdiDeltaQ, PI_SdiDeltaV})
    if (!legacy.containsItem(0, entry)) return false;
  if (legacy.ktwSdiData(0).deviceId() != sdi.deviceId()) return false;
  const PacketInfo info = legacy.packetInfo(0);
  ZtMessage_setDataShort(&message, sdi.firstFrame(), info[PI_SdiFirstFrame]);
  ZtMessage_setDataShort(&message, sdi.lastFrame(), info[PI_SdiLastFrame]);
  const ZtQuaternion q = sdi.orientationIncrement();
  const double dq[4] = {q.w, q.x, q.y, q.z};
  ZtMessage_setDataFPValues(&message, format.outputSettings, dq, info[PI_SdiDeltaQ], 4);
  const auto v = sdi.velocityIncrement();
  const double dv[3] = {v.size() == 3 ? v[0] : 0.0, v.size() == 3 ? v[1] : 0.0, v.size() == 3 ? v[2] : 0.0};
  ZtMessage_setDataFPValues(&message, format.outputSettings, dv, info[PI_SdiDeltaV], 3);
  ZtMessage_recomputeChecksum(&message);
  return true;
}
