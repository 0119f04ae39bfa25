#pragma once
// The meta information of every device: "Info.ProductCode" and "Info.FirmwareVersion", as text.
#include "device/config/DeviceConfigurationMetaInformation.h"

class ZtDeviceConfigurationMetaInformation : public DeviceConfigurationMetaInformation {
 public:
  bool write(ZtDevice& device, zelto::SettingsFile& file) const override;
  size_t size() const override { return 2; }
};
