#include "otherdevices/wireless/GotoMeasurementTask.h"

#include "otherdevices/wireless/TovanaStationDevice.h"

namespace {
// onError code of a failed measurement start.
constexpr ZtResultValue kMeasurementStartFailed = static_cast<ZtResultValue>(305);
}  // namespace

GotoMeasurementTask::~GotoMeasurementTask() = default;

bool GotoMeasurementTask::exec() {
  TovanaStationDevice* s = m_station;
  m_result = 0;
  const bool wasOperational = s->isOperational();
  if (!wasOperational && !s->gotoOperational()) {
    handleError(s);
    return true;
  }
  const ZtDeviceMode pending = s->pendingDeviceMode();
  if (TovanaStationDevice::updateRateOf(pending) != 0 && !s->setDeviceMode(pending)) {
    handleError(s);
    return true;
  }
  // Also when operational: a tracker accepted since then is set up, rather than standing in
  // Measurement without data.
  if ((!wasOperational || s->hasUninitializedChild()) && !s->reinitialize()) {
    handleError(s);
    return true;
  }
  m_result = s->ZtDevice::gotoMeasurement() ? 1 : 0;
  if (m_result == 0) handleError(s);
  return true;
}

void GotoMeasurementTask::handleError(TovanaStationDevice* station) {
  station->onError(station, kMeasurementStartFailed);
  station->gotoConfig();
}
