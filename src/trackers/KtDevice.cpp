#include "trackers/KtDevice.h"

KtDevice::KtDevice(DeviceFactory& factory, Communicator* communicator) : ZtDevice(factory, communicator) {}

KtDevice::KtDevice(ZtDevice* master, const ZtDeviceId& deviceId) : ZtDevice(master, deviceId) {}

KtDevice::~KtDevice() = default;

bool KtDevice::isMotionTracker() const { return true; }
