#include "transport/link/PacketStamper.h"

int64_t PacketStamper::unwrap(int64_t value, int64_t previous, int64_t period) {
  if (previous < 0) return value;
  const int64_t half = period / 2;
  const int64_t d = value - previous % period;
  if (d < -half) return previous + d + period;
  if (d >= half) return previous + d - period;
  return previous + d;
}

int64_t PacketStamper::calculateLargePacketCounter(uint16_t counter, int64_t previous) {
  return unwrap(counter, previous, kCounterPeriod);
}

int64_t PacketStamper::calculateLargePacketCounter8(uint8_t counter, int64_t previous) {
  return unwrap(counter, previous, kCounter8Period);
}

int64_t PacketStamper::calculateLargeSampleTime(int32_t sampleTimeFine, int64_t previous) {
  int64_t value = sampleTimeFine % kSampleTimePeriod;
  if (value < 0) value += kSampleTimePeriod;
  return unwrap(value, previous, kSampleTimePeriod);
}

int64_t PacketStamper::stampId(ZtDataPacket& packet, int64_t previous, int64_t& plausibleStep) {
  packet.toa = ZtTimeStamp_now();
  int64_t id;
  // The 16-bit counter, which nearly every stream carries, read with one lookup.
  if (const int32_t at = ZtDataPacket_itemOffsetExact(&packet, ZDI_PacketCounter); at >= 0) {
    const uint8_t* b = ZtMessage_constData(&packet.message) + at;
    id = calculateLargePacketCounter(static_cast<uint16_t>(b[0] << 8 | b[1]), previous);
    plausibleStep = kCounterPeriod / 16;
  } else if (!ZtDataPacket_containsSampleTimeFine(&packet)) {
    if (ZtDataPacket_containsPacketCounter8(&packet)) {
      id = calculateLargePacketCounter8(ZtDataPacket_packetCounter8(&packet), previous);
      plausibleStep = kCounter8Period / 16;
    } else {
      id = previous < 0 ? 0 : previous + 1;
      plausibleStep = 0;
    }
  } else if (!ZtDataPacket_containsSampleTimeCoarse(&packet)) {
    id = calculateLargeSampleTime(static_cast<int32_t>(ZtDataPacket_sampleTimeFine(&packet)), previous);
    plausibleStep = kSampleTimePeriod / 16;
  } else {
    // Coarse seconds and fine ticks: at most about 4.3e13, never negative.
    id = static_cast<int64_t>(ZtDataPacket_sampleTime64(&packet));
    plausibleStep = kSampleTimePeriod / 16;
  }
  packet.packetId = id;
  return id;
}

int64_t PacketStamper::stampPacket(ZtDataPacket& packet, ZtDataPacket& highest) {
  const int64_t previous = ZtDataPacket_empty(&highest) ? -1 : highest.packetId;
  int64_t step;
  const int64_t id = stampId(packet, previous, step);
  if (id > previous && &packet != &highest) ZtDataPacket_copy(&highest, &packet);
  return id;
}

PacketStamper::Outcome PacketStamper::stampPacket(ZtDataPacket& packet, ZtDataPacket& highest,
                                                  ZtDataPacket& suspect) {
  const int64_t previous = ZtDataPacket_empty(&highest) ? -1 : highest.packetId;
  int64_t step;
  const int64_t id = stampId(packet, previous, step);
  if (id <= previous) return Outcome::Late;
  Outcome outcome = Outcome::Next;
  if (previous >= 0 && step > 0 && id - previous > step) {
    const bool confirms = !ZtDataPacket_empty(&suspect) && id > suspect.packetId && id - suspect.packetId <= step;
    if (!confirms) {
      ZtDataPacket_copy(&suspect, &packet);
      return Outcome::Suspect;
    }
    outcome = Outcome::Confirmed;
  }
  if (!ZtDataPacket_empty(&suspect)) ZtDataPacket_clear(&suspect);
  if (&packet != &highest) ZtDataPacket_copy(&highest, &packet);
  return outcome;
}
