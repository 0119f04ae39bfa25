#include "otherdevices/KtwDevice.h"

KtwDevice::KtwDevice(DeviceFactory& factory, Communicator* communicator) : KtDevice(factory, communicator) {}

KtwDevice::KtwDevice(ZtDevice* master, const ZtDeviceId& deviceId) : KtDevice(master, deviceId) {}

KtwDevice::~KtwDevice() = default;
