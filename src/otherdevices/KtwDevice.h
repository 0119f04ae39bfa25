#pragma once
// The wireless tracker: a master of its own while docked or wired, a child of a station
// (TovanaStationDevice) while connected wirelessly.
#include "trackers/KtDevice.h"

class KtwDevice : public KtDevice {
 public:
  KtwDevice(DeviceFactory& factory, Communicator* communicator);
  KtwDevice(ZtDevice* master, const ZtDeviceId& deviceId);
  ~KtwDevice() override;
};
