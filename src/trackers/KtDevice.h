#pragma once
// The base of the motion trackers. So far it carries what the control needs of a tracker: the
// type (a tracker is a motion tracker, asked for its location id through the device interface).
#include "device/ZtDevice.h"

class KtDevice : public ZtDevice {
 public:
  // A tracker on its own port or log file.
  KtDevice(DeviceFactory& factory, Communicator* communicator);
  // A tracker behind a station or bus master.
  KtDevice(ZtDevice* master, const ZtDeviceId& deviceId);
  ~KtDevice() override;

  bool isMotionTracker() const override;
};
