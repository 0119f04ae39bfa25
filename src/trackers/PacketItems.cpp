#include "trackers/PacketItems.h"

#include <cstring>

namespace {

constexpr size_t kHeaderSize = 3;

// The identifier types a walk looks for, each with the kind it fills and the value size its
// layout asks for, taken once from the library's identifier table: the walk tests every item
// it keeps without a call per item.
struct Entry {
  uint16_t type;
  PacketItems::Kind kind;
  uint8_t layout = ZDL_FixedSize;
  uint8_t count = 0;
};

class Entries {
 public:
  Entries() {
    for (Entry& e : m_entries) {
      const ZtDataIdentifierInfo* info = ZtDataIdentifier_info(e.type);
      e.layout = info->layout;
      e.count = info->count;
    }
  }
  // The entry of an identifier's type, null for a type no kind takes.
  const Entry* find(uint16_t id) const {
    switch (id & ZDI_TypeMask) {
      case ZDI_RawSensorData: return &m_entries[0];
      case ZDI_StatusWord: return &m_entries[1];
      case ZDI_Acceleration: return &m_entries[2];
      case ZDI_RateOfTurn: return &m_entries[3];
      case ZDI_MagneticField: return &m_entries[4];
      case ZDI_DeltaQ: return &m_entries[5];
      case ZDI_DeltaV: return &m_entries[6];
      case ZDI_Quaternion: return &m_entries[7];
      case ZDI_EulerAngles: return &m_entries[8];
      case ZDI_RotationMatrix: return &m_entries[9];
      case ZDI_StatusByte: return &m_entries[10];
      case ZDI_RawGyroTemperatures: return &m_entries[11];
      case ZDI_FrameRange: return &m_entries[12];
      default: return nullptr;
    }
  }

 private:
  // In the order find gives them.
  Entry m_entries[13] = {
      {ZDI_RawSensorData, PacketItems::kRaw},         {ZDI_StatusWord, PacketItems::kStatusWord},
      {ZDI_Acceleration, PacketItems::kAcceleration}, {ZDI_RateOfTurn, PacketItems::kRateOfTurn},
      {ZDI_MagneticField, PacketItems::kMagneticField}, {ZDI_DeltaQ, PacketItems::kDeltaQ},
      {ZDI_DeltaV, PacketItems::kDeltaV},             {ZDI_Quaternion, PacketItems::kOrientation},
      {ZDI_EulerAngles, PacketItems::kOrientation},   {ZDI_RotationMatrix, PacketItems::kOrientation},
      {ZDI_StatusByte, PacketItems::kStatusByte},     {ZDI_RawGyroTemperatures, PacketItems::kGyroTemperatures},
      {ZDI_FrameRange, PacketItems::kFrameRange},
  };
};

const Entries kEntries;

// ZtDataIdentifier_itemSize for an identifier of the entry's type.
int itemSize(const Entry& e, uint16_t id) {
  static constexpr int kValueSize[4] = {4, 4, 6, 8};
  if (e.layout == ZDL_FixedSize) return (id & ZDI_FormatMask) != 0 ? -1 : e.count;
  return e.count * kValueSize[id & ZDI_FloatFormMask];
}

uint16_t u16(const uint8_t* b) { return static_cast<uint16_t>((b[0] << 8) | b[1]); }
uint32_t u32(const uint8_t* b) {
  return (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) | (static_cast<uint32_t>(b[2]) << 8) |
         static_cast<uint32_t>(b[3]);
}

}  // namespace

PacketItems::PacketItems(const ZtDataPacket& packet)
    : m_packet(packet), m_data(ZtMessage_constData(&packet.message)), m_id{} {
  for (int32_t& o : m_offset) o = -1;
  const uint8_t* d = m_data;
  const size_t n = d ? ZtMessage_dataSize(&packet.message) : 0;
  size_t o = 0;
  while (n - o >= kHeaderSize) {
    const uint16_t id = u16(d + o);
    const uint8_t size = d[o + 2];
    if (size > n - o - kHeaderSize) break;  // truncated: the list ends here
    const Entry* e = kEntries.find(id);
    if (e && m_offset[e->kind] < 0 && itemSize(*e, id) == static_cast<int>(size)) {
      m_offset[e->kind] = static_cast<int32_t>(o + kHeaderSize);
      m_id[e->kind] = id;
    }
    o += kHeaderSize + size;
  }
}

const uint8_t* PacketItems::bytes(Kind kind) const { return m_data + m_offset[kind]; }

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
