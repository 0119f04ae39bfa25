#include "trackers/KtMk4_X00Device.h"

#include "device/DeviceFactory.h"

KtMk4_X00Device::KtMk4_X00Device(DeviceFactory& factory, Communicator* communicator)
    : KtMk4_X0Device(factory, communicator) {}

KtMk4_X00Device::KtMk4_X00Device(ZtDevice* master, const ZtDeviceId& deviceId) : KtMk4_X0Device(master, deviceId) {}

KtMk4_X00Device::~KtMk4_X00Device() = default;

ZtDevice* KtMk4_X00Device::constructAsMaster(DeviceFactory& factory, Communicator* communicator) {
  return constructAsMasterDevice<KtMk4_X00Device>(factory, communicator);
}

bool KtMk4_X00Device::isNoFilterSeries() const { return ZtDeviceId_isKtMk4_100(deviceId()) != 0; }
bool KtMk4_X00Device::isRestrictedSeries() const { return ZtDeviceId_isKtMk4_200(deviceId()) != 0; }

int KtMk4_X00Device::getBaseFrequency(ZtDataIdentifier dataIdentifier) const {
  const bool gnss = ZtDeviceId_isKtig(deviceId()) != 0;
  switch (dataIdentifier & 0xFE00) {
    case 0x3000:
      return 50;
    case 0x5000:
    case 0xD000:
      return gnss ? 400 : 0;
    case 0x8800:
      return gnss ? 4 : 0;
    default:
      return KtMk4_X0Device::getBaseFrequency(dataIdentifier);
  }
}
