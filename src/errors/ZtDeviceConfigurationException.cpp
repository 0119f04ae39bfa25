#include "errors/ZtDeviceConfigurationException.h"

ZtDeviceConfigurationException::ZtDeviceConfigurationException()
    : ZtException(ZRV_ERROR, "Invalid device configuration", false) {}

ZtDeviceConfigurationException::~ZtDeviceConfigurationException() = default;
