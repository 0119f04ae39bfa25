#pragma once
// The second wireless tracker: a KtwDevice whose packets may carry calibrated samples instead of
// strapdown intervals. Its Zkf3w step is always one sample long (1 / update rate), and a packet
// with calibrated samples only gets the interval of that sample made on the host, integrated
// over the same 1 / update rate the filter steps over.
//
// Threads: performFiltering runs on the device's processing task and allocates nothing.
#include "otherdevices/wireless/KtwDevice.h"

class Ktx2Device : public KtwDevice {
 public:
  Ktx2Device(DeviceFactory& factory, Communicator* communicator);
  Ktx2Device(ZtDevice* master, const ZtDeviceId& deviceId);
  ~Ktx2Device() override;

  static ZtDevice* constructAsMaster(DeviceFactory& factory, Communicator* communicator);
  static ZtDevice* constructAsChild(ZtDevice& master, const ZtDeviceId& deviceId);

  // Without SDI data but with calibrated data the packet first gets the SDI interval of its
  // acceleration and rate over 1 / rate; a packet with neither, or an update rate of 0, is left
  // as it is. The step, the exception rule and what is written are KtwDevice's; the pending
  // real-time flag is not used.
  void performFiltering(ZtDataPacket& packet) override;
};
