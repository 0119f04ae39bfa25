#pragma once
// The configuration requests a device class hands out (ZtDevice::determineConfigurationMessages);
// owned by the caller.
#include "device/config/RequestMessageCollection.h"

class DeviceConfigurationMessages : public Internal::RequestMessageCollection {
 public:
  DeviceConfigurationMessages() = default;
};
