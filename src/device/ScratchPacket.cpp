#include "device/ScratchPacket.h"

namespace zelto {

struct ScratchPacket::Slot {
  ZtDataPacket packet;
  bool busy = false;
  Slot() { ZtDataPacket_construct(&packet); }
  ~Slot() { ZtDataPacket_destruct(&packet); }
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;
};

namespace {

// handleMessage, handleDataPacket, a merge and a flush on a synchronous (playback) path at once.
constexpr int kSlotsPerThread = 4;

}  // namespace

ScratchPacket::ScratchPacket() {
  thread_local Slot slots[kSlotsPerThread];
  for (Slot& slot : slots)
    if (!slot.busy) {
      slot.busy = true;
      m_slot = &slot;
      m_packet = &slot.packet;
      ZtDataPacket_clear(m_packet);
      m_packet->deviceId = 0;
      m_packet->packetId = 0;
      m_packet->toa = 0;
      return;
    }
  ZtDataPacket_construct(&m_own);
  m_packet = &m_own;
}

ScratchPacket::~ScratchPacket() {
  if (m_slot)
    m_slot->busy = false;
  else
    ZtDataPacket_destruct(&m_own);
}

}  // namespace zelto
