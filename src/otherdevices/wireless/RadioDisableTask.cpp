#include "otherdevices/wireless/RadioDisableTask.h"

#include "otherdevices/wireless/TovanaStationDevice.h"

RadioDisableTask::~RadioDisableTask() = default;

bool RadioDisableTask::exec() {
  m_station->disableRadio();
  return true;
}
