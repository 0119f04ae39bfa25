#pragma once
// The bus master's settings record: the 15 data bytes of its settings message (id 0x8B, the same
// layout both ways, integers big-endian) and the fields only the host keeps.
//
//   offset 0  u32  first settings word        offset 7  u8   synchronisation byte
//          4  u8   Bluetooth disabled (0: on)        8  u16  settings value
//          5  u8   output flags (bit 0: dual)       10  u16  settings value
//          6  u8   serial baud-rate code            12  u16  settings value
//                                                   14  u8   settings value
// Synchronisation byte: bit 0 = a function-10 setting; bits 4-5 the line setting (0x10 line 10
// polarity 1, 0x30 line 10 polarity 3, 0x20 line 2).
//
// Values whose meaning the host does not know are kept and sent back unchanged. Not
// thread-safe: the owning device guards it.
#include <cstdint>

#include "zttypes/ztmessage.h"

namespace zelto {

class EzmsData {
 public:
  static constexpr uint8_t kMessageId = 0x8B;
  static constexpr size_t kDataSize = 15;
  // The host-only byte's value after construction and clear.
  static constexpr uint8_t kHostByteDefault = 0x20;

  EzmsData() { clear(); }

  void clear();
  // Copies the fields from a settings reply. A message with fewer than 15 data bytes is refused
  // (false, the record unchanged).
  bool setZmsData(const ZtMessage& message);
  // Composes the settings message (id 0x8B) with the bus id into message (constructed here or
  // reused when constructed already; pass a constructed message).
  void toMessage(uint8_t busId, ZtMessage& message) const;

  uint32_t firstWord = 0;
  uint8_t blueToothDisabled = 0;
  uint8_t outputFlags = 0;
  uint8_t baudRateCode = 0;
  uint8_t syncByte = 0;
  uint16_t value8 = 0;
  uint16_t value10 = 0;
  uint16_t value12 = 0;
  uint8_t value14 = 0;
  // Host-only.
  uint8_t hostByte = kHostByteDefault;
  uint32_t hostReserved = 0;
  uint8_t busPowerDisabled = 0;  // only setBusPowerEnabled changes it
};

}  // namespace zelto
