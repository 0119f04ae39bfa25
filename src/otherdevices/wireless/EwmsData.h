#pragma once
// The station's master settings (WmsData) as message 0x8B carries them (big-endian): device id,
// product code (20 characters), hardware version, a further station value kept as it came,
// baud-rate code, update rate and two trigger lists of 8-byte entries, sync-in then sync-out,
// each after its count byte. A list names each entry's slot by its position. Not synchronised:
// the station guards it.
#include <cstddef>
#include <cstdint>

#include "otherdevices/wireless/WmsData.h"
#include "zttypes/ztmessage.h"

namespace zelto {

class EwmsData : public WmsData {
 public:
  static constexpr size_t kEntrySize = 8;
  // Data bytes before the trigger lists; a message of exactly this size carries none.
  static constexpr size_t kFixedSize = 32;

  // Parses a 0x8B message. Data under kFixedSize is refused (false, the record unchanged). Only
  // whole entries are read, at most kSlots per side; a count beyond what the data holds stops at
  // the last whole entry.
  bool setWmsData(const ZtMessage& message);
  // Message 0x8B for the bus id with the layout above (the caller destructs it). Lists as many
  // entries as the last parse reported per side (none after clear).
  ZtMessage toMessage(uint8_t busId) const;
};

}  // namespace zelto
