// The device classes the factory builds, in registration order: masters 1, 2, 3, 4, 10, 11, 12,
// 20, 21, 22, 30, 100, 101 and children 11, 10, 12, 30. Rows are added here as the classes come;
// a type id without a row has no constructor, and the factory answers it with null.
#include "device/DeviceFactory.h"
#include "trackers/KtMk4_700Device.h"
#include "trackers/KtMk4_X00Device.h"
#include "trackers/KtMk4_X0Device.h"
#include "otherdevices/busmaster/ZbusMasterDevice.h"
#include "otherdevices/imar/ImarFsasDevice.h"
#include "otherdevices/imar/ImarIFogDevice.h"
#include "otherdevices/wireless/Ktx2Device.h"
#include "otherdevices/wireless/KtwDevice.h"
#include "otherdevices/wireless/TovanaStationDevice.h"
#include "trackers/KtigDevice.h"
#include "trackers/KtixDevice.h"

namespace {

const DeviceFactory::DeviceTypeRow kMasterTypes[] = {
    {DeviceFactory::kZbusMaster, &ZbusMasterDevice::constructAsMaster, nullptr},
    {DeviceFactory::kTovanaStation, &constructAsMasterDevice<TovanaStationDevice>, nullptr},
    {DeviceFactory::kTovanaDongle, &constructAsMasterDevice<TovanaStationDevice>, nullptr},
    {DeviceFactory::kTovanaOem, &constructAsMasterDevice<TovanaStationDevice>, nullptr},
    {DeviceFactory::kKtix, &KtixDevice::constructAsMaster, nullptr},
    {DeviceFactory::kLegacyKtig, &KtigDevice::constructAsMaster, nullptr},
    {DeviceFactory::kKtw, &KtwDevice::constructAsMaster, nullptr},
    {DeviceFactory::kKtMk4, &KtMk4_X0Device::constructAsMaster, nullptr},
    {DeviceFactory::kKtMk4X00, &KtMk4_X00Device::constructAsMaster, nullptr},
    {DeviceFactory::kKtx2, &Ktx2Device::constructAsMaster, nullptr},
    {DeviceFactory::kKtMk4_700, &KtMk4_700Device::constructAsMaster, nullptr},
    {DeviceFactory::kImarIFog, &ImarIFogDevice::constructAsMaster, nullptr},
    {DeviceFactory::kImarFsas, &ImarFsasDevice::constructAsMaster, nullptr},
};

const DeviceFactory::DeviceTypeRow kChildTypes[] = {
    {DeviceFactory::kLegacyKtig, nullptr, &KtigDevice::constructAsChild},
    {DeviceFactory::kKtix, nullptr, &KtixDevice::constructAsChild},
    {DeviceFactory::kKtw, nullptr, &KtwDevice::constructAsChild},
    {DeviceFactory::kKtx2, nullptr, &Ktx2Device::constructAsChild},
};

}  // namespace

const DeviceFactory::DeviceTypeRow* DeviceFactory::knownMasterTypes(size_t& count) {
  count = sizeof kMasterTypes / sizeof kMasterTypes[0];
  return kMasterTypes;
}

const DeviceFactory::DeviceTypeRow* DeviceFactory::knownChildTypes(size_t& count) {
  count = sizeof kChildTypes / sizeof kChildTypes[0];
  return kChildTypes;
}
