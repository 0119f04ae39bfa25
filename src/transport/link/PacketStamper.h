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

  // How a packet stamped with a suspect packet (below) stands to the highest packet.
  enum class Outcome {
    Late,       // id at or below the highest: the highest stays (a late, repeated or phantom packet)
    Next,       // the new highest, at most a plausible step ahead of the old one
    Suspect,    // further ahead than a plausible step: held as the suspect, the highest stays
    Confirmed,  // a plausible step after the suspect: the jump was real, this is the new highest
  };

  // Stamps the packet (time of arrival now, packet id) and returns the id. A packet whose id is
  // above the highest packet's is copied into it (unless both are the same object). The id is
  // negative for a packet more than half a period before the first one of a stream.
  static int64_t stampPacket(ZtDataPacket& packet, ZtDataPacket& highest);

  // The packet path's stamping. A corrupted counter (a cut frame that passes its checksum) lands
  // anywhere in the period: one that lands far ahead of the highest packet must not become it,
  // or every later packet of the stream would unwrap against it. So a packet further ahead than a
  // plausible step (a sixteenth of the period) is held in suspect instead; the next packet a
  // plausible step after it confirms the jump (a real resumption after a long loss) and becomes
  // the highest. Any other new highest forgets the suspect. An empty suspect means none.
  static Outcome stampPacket(ZtDataPacket& packet, ZtDataPacket& highest, ZtDataPacket& suspect);

  // The id nearest to previous with the same remainder modulo the period; the raw value when
  // previous is negative (none). A jump of exactly half a period forward counts as a wrap
  // backwards, also where that gives an id below 0 (before the stream's first packet).
  static int64_t calculateLargePacketCounter(uint16_t counter, int64_t previous);
  static int64_t calculateLargePacketCounter8(uint8_t counter, int64_t previous);
  // The sample time is taken into the day first (a value outside it is reduced modulo a day).
  static int64_t calculateLargeSampleTime(int32_t sampleTimeFine, int64_t previous);

 private:
  static int64_t unwrap(int64_t value, int64_t previous, int64_t period);
  // Stamps the time of arrival and the id; plausibleStep receives the largest step ahead that is
  // taken at once for the counter used (0: any step).
  static int64_t stampId(ZtDataPacket& packet, int64_t previous, int64_t& plausibleStep);
};
