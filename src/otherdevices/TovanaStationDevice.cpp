#include "otherdevices/TovanaStationDevice.h"

#include "transport/link/Communicator.h"

TovanaStationDevice::TovanaStationDevice(DeviceFactory& factory, Communicator* communicator)
    : ZtDevice(factory, communicator) {}

TovanaStationDevice::~TovanaStationDevice() = default;

bool TovanaStationDevice::deviceIsDocked(const ZtDevice* device) const {
  if (!device || !device->communicator() || !communicator()) return false;
  // A tracker connected through this station shares its link: that is no docking.
  if (device->communicator() == communicator()) return false;
  return device->communicator()->isDockedAt(communicator());
}
