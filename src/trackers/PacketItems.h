#pragma once
// Where a data packet's items lie, found in one walk over its item list: the tracker's
// per-packet steps test and read several items each, and the companion library's getters walk
// the list once per call. The rules are the library's: an item that runs past the payload ends
// the list, an item whose size disagrees with its identifier's layout is absent, and the first
// well-formed item of a kind counts; values are decoded by the library's value reader, so they
// read exactly as its getters give them. A view of the packet: valid until its message changes
// (any setter may move or add items), so a step takes a new one after it writes.
#include <cstddef>
#include <cstdint>

#include "zttypes/ztdatapacket.h"

class PacketItems {
 public:
  enum Kind : uint8_t {
    kRaw,                // raw sensor data
    kGyroTemperatures,   // raw gyroscope temperatures
    kAcceleration,       // calibrated, any value form
    kRateOfTurn,
    kMagneticField,
    kDeltaQ,
    kDeltaV,
    kOrientation,        // any of the three orientation forms
    kStatusWord,
    kStatusByte,
    kFrameRange,
    kKindCount
  };

  explicit PacketItems(const ZtDataPacket& packet);

  bool has(Kind kind) const { return m_offset[kind] >= 0; }
  bool hasStatus() const { return has(kStatusWord) || has(kStatusByte); }
  // The count values of a floating-point item; zeros and false when it is absent or unreadable.
  bool values(Kind kind, double* out, size_t count) const;
  // As ZtDataPacket_rawData: zeros when absent, the gyroscope temperatures when present.
  void rawData(ZtScrData& out) const;
  // As ZtDataPacket_status: the word, else the byte, else 0.
  uint32_t status() const;
  // As ZtDataPacket_frameRange: zeros when absent.
  void frameRange(ZtRange& out) const;

 private:
  const uint8_t* bytes(Kind kind) const;

  const ZtDataPacket& m_packet;
  const uint8_t* m_data;  // the payload as the walk found it
  int32_t m_offset[kKindCount];  // payload offset of the value bytes, -1 when absent
  uint16_t m_id[kKindCount];
};
