#pragma once
// The wireless station: a master device whose children are the wireless trackers connected
// to it. A tracker plugged into the station's USB hub is docked there.
#include "device/ZtDevice.h"

class TovanaStationDevice : public ZtDevice {
 public:
  TovanaStationDevice(DeviceFactory& factory, Communicator* communicator);
  ~TovanaStationDevice() override;

  // The device's link and this station's link sit under the same parent USB hub. False for
  // null, for a device or station without a link (a log file has no hub either) and for a
  // device on this station's own link (a tracker connected wirelessly).
  bool deviceIsDocked(const ZtDevice* device) const;
};
