#pragma once
// The fields of one trigger entry of the wireless station's settings, as message 0x8B carries
// them; a sync-in entry (WmsSyncInSettings) is indexed by its trigger action, a sync-out entry
// (WmsSyncOutSettings) by its trigger event.
#include <cstdint>

namespace zelto {

// Sync-in slots: what an incoming trigger makes the station do. 4 is the slot of functions
// without a trigger of their own, never sent.
enum WmsTriggerAction : int32_t { WTA_Count = 4, WTA_None = 4 };
// Sync-out slots: which event the station signals. 5 is the slot of functions without one.
enum WmsTriggerEvent : int32_t { WTE_Count = 5, WTE_None = 5 };
// Polarity codes 1 to 3 match the sync polarities of the generic settings; 0 is none.
enum WmsTriggerPolarity : int32_t { WTP_None = 0 };

struct WmsTriggerSetting {
  int32_t index = 0;     // the action (sync-in) or event (sync-out) of the slot
  uint8_t lineMask = 0;  // bit 0: the side's first line, bit 1: its second; 0 = not in use
  int32_t polarity = 1;
  bool triggerOnce = false;
  uint16_t skipFirst = 0;
  uint16_t skipFactor = 0;
  uint16_t parameter = 0;  // sync-in: clock period; sync-out: pulse width in ms
};

}  // namespace zelto
