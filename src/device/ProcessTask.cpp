#include "device/ProcessTask.h"

#include "device/DeviceTaskScope.h"
#include "device/ZtDevice.h"

namespace zelto {

ProcessTask::ProcessTask(ZtDevice* device, const ZtDataPacket& packet) : m_device(device) {
  ZtDataPacket_constructCopy(&m_packet, &packet);
}

ProcessTask::~ProcessTask() { ZtDataPacket_destruct(&m_packet); }

bool ProcessTask::exec() {
  DeviceTaskScope scope(m_device);
  m_device->doProcessing(m_packet);
  return true;
}

}  // namespace zelto
