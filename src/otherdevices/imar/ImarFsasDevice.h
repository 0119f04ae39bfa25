#pragma once
// The Fsas unit (device id 0xF00000, product code "iMAR-FSAS", 41-byte frames).
#include "otherdevices/imar/ImarDevice.h"

class ImarFsasDevice : public ImarDevice {
 public:
  static const Identity kIdentity;

  ImarFsasDevice(DeviceFactory& factory, Communicator* communicator);
  ImarFsasDevice(ZtDevice* master, const ZtDeviceId& deviceId);
  ~ImarFsasDevice() override;

  static ZtDevice* constructAsMaster(DeviceFactory& factory, Communicator* communicator);
  static ZtDevice* constructAsChild(ZtDevice& master, const ZtDeviceId& deviceId);
};
