#include "otherdevices/imar/ImarIFogDevice.h"

#include "device/DeviceFactory.h"

const ImarDevice::Identity ImarIFogDevice::kIdentity{0xF10000, "iMAR-iFOG", 39};

ImarIFogDevice::ImarIFogDevice(DeviceFactory& factory, Communicator* communicator)
    : ImarDevice(factory, communicator, kIdentity) {}

ImarIFogDevice::ImarIFogDevice(ZtDevice* master, const ZtDeviceId& deviceId) : ImarDevice(master, deviceId, kIdentity) {}

ImarIFogDevice::~ImarIFogDevice() = default;

ZtDevice* ImarIFogDevice::constructAsMaster(DeviceFactory& factory, Communicator* communicator) {
  return constructAsMasterDevice<ImarIFogDevice>(factory, communicator);
}

ZtDevice* ImarIFogDevice::constructAsChild(ZtDevice& master, const ZtDeviceId& deviceId) {
  return constructAsChildDevice<ImarIFogDevice>(master, deviceId);
}
