#pragma once
// The iFOG unit (device id 0xF10000, product code "iMAR-iFOG", 39-byte frames).
#include "otherdevices/imar/ImarDevice.h"

class ImarIFogDevice : public ImarDevice {
 public:
  static const Identity kIdentity;

  ImarIFogDevice(DeviceFactory& factory, Communicator* communicator);
  ImarIFogDevice(ZtDevice* master, const ZtDeviceId& deviceId);
  ~ImarIFogDevice() override;

  static ZtDevice* constructAsMaster(DeviceFactory& factory, Communicator* communicator);
  static ZtDevice* constructAsChild(ZtDevice& master, const ZtDeviceId& deviceId);
};
