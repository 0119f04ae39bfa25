#pragma once
// A sync-in trigger entry of the station: index is its WmsTriggerAction.
#include "otherdevices/wireless/WmsTriggerSetting.h"

namespace zelto {

struct WmsSyncInSettings : WmsTriggerSetting {};

}  // namespace zelto
