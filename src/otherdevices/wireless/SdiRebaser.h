#pragma once
// Routines over the strapdown-integrated intervals of a wireless tracker: a packet covers the
// frame range (first, last); after a loss a later packet covers a larger interval, and when the
// lost packet arrives late the two overlap. The larger interval is then re-expressed so that it
// starts where the smaller one ends. Frames are 16-bit counters that wrap: every comparison is
// made relative to a reference frame modulo 65536 (intervals are far shorter than half the
// counter's period). Stateless; the cache is keyed by the 64-bit packet counter.
#include <cstdint>
#include <vector>

#include "transport/legacy/KtwSdiData.h"
#include "transport/legacy/PacketFixedData.h"
#include "zttypes/ztdatapacket.h"

namespace zelto {
class IPacketDataCache;
}

class SdiRebaser {
 public:
  // The signed distance from frame `from` to frame `to` on the wrapping 16-bit counter.
  static int32_t frameDistance(uint16_t from, uint16_t to) { return static_cast<int16_t>(static_cast<uint16_t>(to - from)); }

  // a and b start at the same frame and b ends before a.
  static bool canRebase(const KtwSdiData& a, const KtwSdiData& b);
  // a re-expressed from b's last frame on (a unchanged unless canRebase(a, b)).
  static KtwSdiData rebase(const KtwSdiData& a, const KtwSdiData& b);
  // The packet holds an SDI interval over more than one frame.
  static bool needsRebasing(const ZtDataPacket& packet);
  // The cached packet after the packet's counter whose interval contains the packet's (starts at
  // or before it, ends after it); an empty packet (packetId -1) when there is none. The search
  // visits the cached keys above the counter and stops at the first packet that starts after
  // the packet ends. The caller destructs the result.
  static ZtDataPacket findLargePacket(const ZtDataPacket& packet, zelto::IPacketDataCache& cache);
  static ZtDataPacket findLargePacket(int64_t counter, zelto::IPacketDataCache& cache);
  // The cached packet under the packet's counter lies inside a later cached packet's interval.
  static bool isSubInterval(const ZtDataPacket& packet, zelto::IPacketDataCache& cache);
  // The intervals of the cached packets with lower counters than the packet's that lie inside
  // its interval (start at or after its first frame, end before its last), in counter order;
  // none for a packet without SDI data or frame range.
  static std::vector<KtwSdiData> findSubIntervals(const ZtDataPacket& packet, zelto::IPacketDataCache& cache);
  // The large packet containing the cached packet with the counter, rebased onto it, and on
  // from there over the further cached intervals that start where it then starts (late packets
  // that came in another order), stored again under its own counter. With legacyFormat, the
  // rebased interval is also written into the large packet's legacy original (what a recording
  // keeps of it), laid out with that format. True when one was rebased.
  static bool rebaseOnThisIfNecessary(int64_t counter, zelto::IPacketDataCache& cache,
                                      const ZtDataFormat* legacyFormat = nullptr);
  // Every cached interval that needs rebasing, rebased as far as the intervals the cache holds
  // inside it allow (as rebaseOnThisIfNecessary does for one); the number rebased. Visits every
  // cached packet once.
  static size_t rebaseIntervals(zelto::IPacketDataCache& cache, const ZtDataFormat* legacyFormat = nullptr);

  // Frame range, increments, RSSI, calibrated magnetic field and pressure of a packet; false
  // (out empty) without SDI data or frame range.
  static bool readKtwSdiFromZtDataPacket(const ZtDataPacket& packet, KtwSdiData& out);
  // Sets the packet's SDI data and frame range; its aiding fields are left as they are (a
  // rebased interval carries them unchanged).
  static void writeKtwSdiToZtDataPacket(ZtDataPacket& packet, const KtwSdiData& sdi);
  // Writes the frame range and the increments into the SDI block of a legacy data message
  // (0x32) whose first device is laid out with format (no bus-master counter in front), in
  // place and in the message's own value form, so that a reader of the message sees the
  // interval. False, the message unchanged, when it holds no whole SDI block there or the block
  // names another device.
  static bool writeKtwSdiToLegacyMessage(ZtMessage& message, const ZtDataFormat& format, const KtwSdiData& sdi);

 private:
  // The cached large packet rebased over its sub-intervals, in their order, and stored again.
  static bool rebaseOverSubIntervals(ZtDataPacket& large, zelto::IPacketDataCache& cache,
                                     const ZtDataFormat* legacyFormat);
};
