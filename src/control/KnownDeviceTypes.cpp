// The device classes the factory builds, in registration order: masters 1, 2, 3, 4, 10, 11, 12,
// 20, 21, 22, 30, 100, 101 and children 11, 10, 12. Rows are added here as the classes come;
// a type id without a row has no constructor, and the factory answers it with null.
#include "device/DeviceFactory.h"
#include "trackers/KtMk4_700Device.h"
#include "trackers/KtMk4_X00Device.h"
#include "trackers/KtMk4_X0Device.h"
#include "otherdevices/busmaster/ZbusMasterDevice.h"
#include "otherdevices/imar/ImarFsasDevice.h"
#include "otherdevices/imar/ImarIFogDevice.h"
#include "trackers/KtixDevice.h"

namespace {

const DeviceFactory::DeviceTypeRow kMasterTypes[] = {
    {DeviceFactory::kZbusMaster, &ZbusMasterDevice::constructAsMaster, nullptr},
    {DeviceFactory::kKtix, &KtixDevice::constructAsMaster, nullptr},
    {DeviceFactory::kKtMk4, &KtMk4_X0Device::constructAsMaster, nullptr},
    {DeviceFactory::kKtMk4X00, &KtMk4_X00Device::constructAsMaster, nullptr},
    {DeviceFactory::kKtMk4_700, &KtMk4_700Device::constructAsMaster, nullptr},
    {DeviceFactory::kImarIFog, &ImarIFogDevice::constructAsMaster, nullptr},
    {DeviceFactory::kImarFsas, &ImarFsasDevice::constructAsMaster, nullptr},
};

const DeviceFactory::DeviceTypeRow kChildTypes[] = {
    {DeviceFactory::kKtix, nullptr, &KtixDevice::constructAsChild},
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
