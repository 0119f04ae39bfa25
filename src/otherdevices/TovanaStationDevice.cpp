#include "otherdevices/TovanaStationDevice.h"

#include "transport/link/Communicator.h"

TovanaStationDevice::TovanaStationDevice(DeviceFactory& factory, Communicator* communicator)
    : ZtDevice(factory, communicator) {}

TovanaStationDevice::~TovanaStationDevice() = default;

bool TovanaStationDevice::deviceIsDocked(const ZtDevice* device) const {
  if (!device || !device->communicator() || !communicator()) return false;
  return device->communicator()->isDockedAt(communicator());
}
