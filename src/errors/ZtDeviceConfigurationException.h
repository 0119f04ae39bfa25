#pragma once
// Thrown when a device configuration cannot be used: code 256, "Invalid device configuration".
#include "errors/ZtException.h"

class ZtDeviceConfigurationException : public ZtException {
 public:
  ZtDeviceConfigurationException();
  ~ZtDeviceConfigurationException() override;
};
