#pragma once
// Accepts or rejects a wireless tracker at its station (the station's 0xC4 or 0xC6 request),
// off the caller's thread: KtwDevice::acceptConnection and rejectConnection return at once.
// Runs on the station's request thread, which ends before the station does.
#include "foundation/ThreadPoolTask.h"
#include "zttypes/ztdeviceid.h"

class TovanaStationDevice;

class AcceptRejectTask : public zelto::ThreadPoolTask {
 public:
  AcceptRejectTask(TovanaStationDevice* station, ZtDeviceId deviceId, bool accept)
      : m_station(station), m_deviceId(deviceId), m_accept(accept) {}
  ~AcceptRejectTask() override;
  // The station's setDeviceAcceptedInternal or setDeviceRejectedInternal for the tracker,
  // awaiting the tracker's state change; done in every case.
  bool exec() override;

 private:
  TovanaStationDevice* m_station;
  ZtDeviceId m_deviceId;
  bool m_accept;
};
