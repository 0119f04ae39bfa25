#pragma once
// Follows the station's unasked radio-disabled report: disableRadio on the station's request
// thread, so that its request never waits on the link's parse thread.
#include "foundation/ThreadPoolTask.h"

class TovanaStationDevice;

class RadioDisableTask : public zelto::ThreadPoolTask {
 public:
  explicit RadioDisableTask(TovanaStationDevice* station) : m_station(station) {}
  ~RadioDisableTask() override;
  bool exec() override;

 private:
  TovanaStationDevice* m_station;
};
