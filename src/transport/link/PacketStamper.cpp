#include "transport/link/PacketStamper.h"

int64_t PacketStamper::unwrap(int64_t value, int64_t previous, int64_t period) {
  if (previous < 0) return value;
  const int64_t half = period / 2;
  const int64_t d = value - previous % period;
  if (d < -half) return previous + d + period;
  // Early in a stream a half-period jump forward would unwrap below 0, which means "no id":
  // keep the forward reading then.
  if (d >= half && previous + d - period >= 0) return previous + d - period;
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

int64_t PacketStamper::stampPacket(ZtDataPacket& packet, ZtDataPacket& highest) {
  packet.toa = ZtTimeStamp_now();
  const int64_t previous = ZtDataPacket_empty(&highest) ? -1 : highest.packetId;
  int64_t id;
  if (ZtDataPacket_containsPacketCounter(&packet)) {
    id = calculateLargePacketCounter(ZtDataPacket_packetCounter(&packet), previous);
  } else if (!ZtDataPacket_containsSampleTimeFine(&packet)) {
    if (ZtDataPacket_containsPacketCounter8(&packet))
      id = calculateLargePacketCounter8(ZtDataPacket_packetCounter8(&packet), previous);
    else
      id = previous < 0 ? 0 : previous + 1;
  } else if (!ZtDataPacket_containsSampleTimeCoarse(&packet)) {
    id = calculateLargeSampleTime(static_cast<int32_t>(ZtDataPacket_sampleTimeFine(&packet)), previous);
  } else {
    // Coarse seconds and fine ticks: at most about 4.3e13, never negative.
    id = static_cast<int64_t>(ZtDataPacket_sampleTime64(&packet));
  }
  packet.packetId = id;
  if (id > previous && &packet != &highest) ZtDataPacket_copy(&highest, &packet);
  return id;
}
