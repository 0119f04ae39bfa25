#pragma once
// A sync-out trigger entry of the station: index is its WmsTriggerEvent; the third parameter is
// the pulse width in milliseconds.
#include "otherdevices/wireless/WmsTriggerSetting.h"

namespace zelto {

struct WmsSyncOutSettings : WmsTriggerSetting {};

}  // namespace zelto
