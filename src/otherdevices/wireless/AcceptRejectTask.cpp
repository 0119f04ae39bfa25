#include "otherdevices/wireless/AcceptRejectTask.h"

#include "otherdevices/wireless/TovanaStationDevice.h"

AcceptRejectTask::~AcceptRejectTask() = default;

bool AcceptRejectTask::exec() {
  if (m_accept)
    m_station->setDeviceAcceptedInternal(m_deviceId, true);
  else
    m_station->setDeviceRejectedInternal(m_deviceId, true);
  return true;
}
