#pragma once
// The meta information a device hands out (ZtDevice::determineConfigurationMetaInformation).
#include "device/config/MetaInformation.h"

class DeviceConfigurationMetaInformation : public Internal::MetaInformation {};
