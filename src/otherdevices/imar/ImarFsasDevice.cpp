#include "otherdevices/imar/ImarFsasDevice.h"

#include "device/DeviceFactory.h"

const ImarDevice::Identity ImarFsasDevice::kIdentity{0xF00000, "iMAR-FSAS", 41};

ImarFsasDevice::ImarFsasDevice(DeviceFactory& factory, Communicator* communicator)
    : ImarDevice(factory, communicator, kIdentity) {}

ImarFsasDevice::ImarFsasDevice(ZtDevice* master, const ZtDeviceId& deviceId) : ImarDevice(master, deviceId, kIdentity) {}

ImarFsasDevice::~ImarFsasDevice() = default;

ZtDevice* ImarFsasDevice::constructAsMaster(DeviceFactory& factory, Communicator* communicator) {
  return constructAsMasterDevice<ImarFsasDevice>(factory, communicator);
}

ZtDevice* ImarFsasDevice::constructAsChild(ZtDevice& master, const ZtDeviceId& deviceId) {
  return constructAsChildDevice<ImarFsasDevice>(master, deviceId);
}
