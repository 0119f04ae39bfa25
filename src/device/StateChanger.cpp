#include "device/StateChanger.h"

#include "device/DeviceTaskScope.h"
#include "device/ZtDevice.h"

namespace zelto {

StateChanger::StateChanger(ZtDevice* device, ZtDeviceState state) : m_device(device), m_state(state) {}

StateChanger::~StateChanger() { m_device = nullptr; }

bool StateChanger::exec() {
  DeviceTaskScope scope(m_device);
  m_device->updateDeviceState(m_state);
  return true;
}

}  // namespace zelto
