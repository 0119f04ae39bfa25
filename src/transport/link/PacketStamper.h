#pragma once
// Gives received data packets their 64-bit packet id, unwrapped from the short counter they
// carry against the highest id seen so far, and their time of arrival.
#include <cstdint>

#include "zttypes/ztdatapacket.h"

class PacketStamper {
 public:
  static constexpr int64_t kCounterPeriod = 65536;
  static constexpr int64_t kCounter8Period = 256;
  static constexpr int64_t kSampleTimePeriod = 864000000;  // one day in 0.1 ms ticks

  // Stamps the packet (time of arrival now, packet id) and returns the id. A packet whose id is
  // above the highest packet's is copied into it (unless both are the same object). The id is
  // never negative.
  static int64_t stampPacket(ZtDataPacket& packet, ZtDataPacket& highest);

  // The id nearest to previous with the same remainder modulo the period; the raw value when
  // previous is negative (none). A forward jump of exactly half a period counts as a wrap
  // backwards, except where that would give an id below 0.
  static int64_t calculateLargePacketCounter(uint16_t counter, int64_t previous);
  static int64_t calculateLargePacketCounter8(uint8_t counter, int64_t previous);
  // The sample time is taken into the day first (a value outside it is reduced modulo a day).
  static int64_t calculateLargeSampleTime(int32_t sampleTimeFine, int64_t previous);

 private:
  static int64_t unwrap(int64_t value, int64_t previous, int64_t period);
};
