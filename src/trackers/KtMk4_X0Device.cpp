#include "trackers/KtMk4_X0Device.h"

#include "device/DeviceFactory.h"
#include "errors/ZtException.h"
#include "filters/common/ZtZkfFilter.h"

KtMk4_X0Device::KtMk4_X0Device(DeviceFactory& factory, Communicator* communicator)
    : KtMk4Device(factory, communicator) {}

KtMk4_X0Device::KtMk4_X0Device(ZtDevice* master, const ZtDeviceId& deviceId) : KtMk4Device(master, deviceId) {}

KtMk4_X0Device::~KtMk4_X0Device() = default;

ZtDevice* KtMk4_X0Device::constructAsMaster(DeviceFactory& factory, Communicator* communicator) {
  return constructAsMasterDevice<KtMk4_X0Device>(factory, communicator);
}

bool KtMk4_X0Device::isNoFilterSeries() const { return ZtDeviceId_isKtMk4_10(deviceId()) != 0; }
bool KtMk4_X0Device::isRestrictedSeries() const { return ZtDeviceId_isKtMk4_20(deviceId()) != 0; }

bool KtMk4_X0Device::initializeFilter() {
  setZkfFilter(zelto::NonIntrusiveSharedPointer<ZtZkfFilter>());
  if (!isNoFilterSeries()) initializeSdiWindows();
  return false;
}

void KtMk4_X0Device::performFiltering(ZtDataPacket&) {}

void KtMk4_X0Device::loadScenario(ExtendedScenario*, const zelto::SettingsFile&, const std::string& prefix,
                                  const std::string& filterName) {
  if (isNoFilterSeries()) throw ZtException(ZRV_INVALIDPARAM, prefix + ": this tracker runs no host filter");
  throw ZtException(ZRV_NOTIMPLEMENTED, prefix + ": no host filter for " + filterName + " in this build");
}

void KtMk4_X0Device::fetchAvailableHardwareScenarios() {
  if (isNoFilterSeries()) {
    m_onboardProfiles.clear();
    return;
  }
  KtDevice::fetchAvailableHardwareScenarios();
}

int KtMk4_X0Device::getBaseFrequency(ZtDataIdentifier dataIdentifier) const {
  switch (dataIdentifier & 0xFE00) {
    case 0x0000:
    case 0xA000:
    case 0xB000:
    case 0xE000:
      return 2000;
    case 0x0800:
    case 0x2000:
    case 0x4000:
    case 0x8000:
      return 400;
    case 0xC000:
      return 100;
    default:
      return 0;
  }
}
