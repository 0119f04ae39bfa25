#include "trackers/PacketItems.h"

#include <cstring>

namespace {

constexpr size_t kHeaderSize = 3;

// The kind an item's identifier belongs to; kKindCount for the rest.
PacketItems::Kind kindOf(uint16_t id) {
  if ((id & ZDI_GroupMask) == ZDI_OrientationGroup) return PacketItems::kOrientation;
  switch (id & ZDI_TypeMask) {
    case ZDI_RawSensorData: return PacketItems::kRaw;
    case ZDI_RawGyroTemperatures: return PacketItems::kGyroTemperatures;
    case ZDI_Acceleration: return PacketItems::kAcceleration;
    case ZDI_RateOfTurn: return PacketItems::kRateOfTurn;
    case ZDI_MagneticField: return PacketItems::kMagneticField;
    case ZDI_DeltaQ: return PacketItems::kDeltaQ;
    case ZDI_DeltaV: return PacketItems::kDeltaV;
    case ZDI_StatusWord: return PacketItems::kStatusWord;
    case ZDI_StatusByte: return PacketItems::kStatusByte;
    case ZDI_FrameRange: return PacketItems::kFrameRange;
    default: return PacketItems::kKindCount;
  }
}

uint16_t u16(const uint8_t* b) { return static_cast<uint16_t>((b[0] << 8) | b[1]); }
uint32_t u32(const uint8_t* b) {
  return (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) | (static_cast<uint32_t>(b[2]) << 8) |
         static_cast<uint32_t>(b[3]);
}

}  // namespace

PacketItems::PacketItems(const ZtDataPacket& packet) : m_packet(packet), m_id{} {
  for (int32_t& o : m_offset) o = -1;
  const uint8_t* d = ZtMessage_constData(&packet.message);
  const size_t n = d ? ZtMessage_dataSize(&packet.message) : 0;
  size_t o = 0;
  while (n - o >= kHeaderSize) {
    const uint16_t id = u16(d + o);
    const uint8_t size = d[o + 2];
    if (size > n - o - kHeaderSize) break;  // truncated: the list ends here
    const Kind kind = kindOf(id);
    if (kind != kKindCount && m_offset[kind] < 0 && ZtDataIdentifier_itemSize(id) == static_cast<int>(size)) {
      m_offset[kind] = static_cast<int32_t>(o + kHeaderSize);
      m_id[kind] = id;
    }
    o += kHeaderSize + size;
  }
}

const uint8_t* PacketItems::bytes(Kind kind) const { return ZtMessage_constData(&m_packet.message) + m_offset[kind]; }

bool PacketItems::values(Kind kind, double* out, size_t count) const {
  std::memset(out, 0, count * sizeof *out);
  if (!has(kind)) return false;
  const size_t offset = static_cast<size_t>(m_offset[kind]);
  const uint32_t form = static_cast<uint32_t>(m_id[kind] & ZDI_FloatFormMask) << 8;
  return ZtMessage_getDataFPValues(&m_packet.message, form, out, offset, count) != offset;
}

void PacketItems::rawData(ZtScrData& out) const {
  std::memset(&out, 0, sizeof out);
  if (!has(kRaw)) return;
  const uint8_t* b = bytes(kRaw);
  for (int i = 0; i < 3; ++i) {
    out.acc[i] = u16(b + 2 * i);
    out.gyr[i] = u16(b + 6 + 2 * i);
    out.mag[i] = u16(b + 12 + 2 * i);
  }
  out.temp[0] = u16(b + 18);
  if (has(kGyroTemperatures)) {
    const uint8_t* g = bytes(kGyroTemperatures);
    for (int i = 0; i < 3; ++i) out.temp[1 + i] = u16(g + 2 * i);
  }
}

uint32_t PacketItems::status() const {
  if (has(kStatusWord)) return u32(bytes(kStatusWord));
  return has(kStatusByte) ? bytes(kStatusByte)[0] : 0;
}

void PacketItems::frameRange(ZtRange& out) const {
  out.first = out.last = 0;
  if (!has(kFrameRange)) return;
  const uint8_t* b = bytes(kFrameRange);
  out.first = static_cast<int32_t>(u32(b));
  out.last = static_cast<int32_t>(u32(b + 4));
}
