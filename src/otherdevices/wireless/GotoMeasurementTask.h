#pragma once
// Brings a wireless system to measurement: the station operational, the pending device mode
// applied, the station reinitialised when it was not operational yet or has a child not yet set
// up (configuration, children, settings), then the measurement switch. A failure raises onError(305) on the station and
// returns it to configuration. Runs on the station's request thread (or inline for a waiting
// caller), which ends before the station does.
#include <cstdint>

#include "foundation/ThreadPoolTask.h"

class TovanaStationDevice;

class GotoMeasurementTask : public zelto::ThreadPoolTask {
 public:
  explicit GotoMeasurementTask(TovanaStationDevice* station) : m_station(station) {}
  ~GotoMeasurementTask() override;
  bool exec() override;
  void handleError(TovanaStationDevice* station);
  // Of the last run: 0 failed, else succeeded.
  uint64_t result() const { return m_result; }

 private:
  TovanaStationDevice* m_station;
  uint64_t m_result = 0;
};
