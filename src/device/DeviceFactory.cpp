#include "device/DeviceFactory.h"

#include "device/ZtDevice.h"
#include "foundation/JournalMacros.h"
#include "transport/link/Communicator.h"

DeviceFactory::DeviceFactory() { registerDevices(); }

DeviceFactory::~DeviceFactory() = default;

void DeviceFactory::registerDevices() {
  size_t n = 0;
  const DeviceTypeRow* rows = knownMasterTypes(n);
  for (size_t i = 0; i < n; ++i)
    if (rows[i].master) registerMasterDeviceType(rows[i].typeId, rows[i].master);
  rows = knownChildTypes(n);
  for (size_t i = 0; i < n; ++i)
    if (rows[i].child) registerChildDeviceType(rows[i].typeId, rows[i].child);
}

bool DeviceFactory::registerMasterDeviceType(unsigned int typeId, MasterConstructor constructor) {
  return m_masterTable.emplace(typeId, constructor).second;
}

bool DeviceFactory::registerChildDeviceType(unsigned int typeId, ChildConstructor constructor) {
  return m_childTable.emplace(typeId, constructor).second;
}

unsigned int DeviceFactory::deviceToTypeId(const ZtDeviceId& id) const {
  if (ZtDeviceId_isTovanaStation(id)) return kTovanaStation;
  if (ZtDeviceId_isTovanaDongle(id)) return kTovanaDongle;
  if (ZtDeviceId_isTovanaOem(id)) return kTovanaOem;
  if (ZtDeviceId_isZbusMaster(id)) return kZbusMaster;
  if (ZtDeviceId_isLegacyKtig(id)) return kLegacyKtig;
  if (ZtDeviceId_isKtix(id)) return kKtix;
  if (ZtDeviceId_isKtw(id)) return kKtw;
  if (ZtDeviceId_isKtx2(id)) return kKtx2;
  if (ZtDeviceId_isKtMk4(id)) {
    if (ZtDeviceId_isKtMk4_700(id)) return kKtMk4_700;
    if (ZtDeviceId_isKtMk4_X00(id)) return kKtMk4X00;
    return kKtMk4;
  }
  switch ((id >> 16) & 0xFF) {
    case 0xF0: return kImarFsas;
    case 0xF1: return kImarIFog;
    default: return kUnknown;
  }
}

ZtDevice* DeviceFactory::constructDevice(unsigned int typeId, Communicator* communicator) {
  if (typeId == kUnknown) return nullptr;
  auto it = m_masterTable.find(typeId);
  if (it == m_masterTable.end() || !it->second) return nullptr;
  ZtDevice* device = it->second(*this, communicator);
  if (device) device->addRef();
  return device;
}

ZtDevice* DeviceFactory::constructDevice(const ZtDeviceId& deviceId, ZtDevice& master) {
  const unsigned int typeId = deviceToTypeId(deviceId);
  if (typeId == kUnknown) return nullptr;
  auto it = m_childTable.find(typeId);
  if (it == m_childTable.end() || !it->second) return nullptr;
  ZtDevice* device = it->second(master, deviceId);
  if (device) device->addRef();
  return device;
}

ZtDevice* DeviceFactory::createMasterDevice(Communicator* communicator, bool initialize) {
  if (!communicator) return nullptr;
  const ZtDeviceId id = communicator->masterDeviceId();
  const unsigned int typeId = deviceToTypeId(id);
  ZtDevice* device = constructDevice(typeId, communicator);
  if (!device) JLOG_ALERT("no device class for device id " << std::hex << id << std::dec << " (type id " << typeId << ")");
  if (!initialize) return device;
  if (initializeDevice(device)) return device;
  if (device)
    device->removeRef();
  else
    delete communicator;
  return nullptr;
}

ZtDevice* DeviceFactory::createChildDevice(const ZtDeviceId& deviceId, ZtDevice& master, bool initialize) {
  removeExistingDevice(deviceId);
  ZtDevice* device = constructDevice(deviceId, master);
  if (!device) JLOG_ALERT("no child device class for device id " << std::hex << deviceId << std::dec << " (type id "
                                                                << deviceToTypeId(deviceId) << ")");
  if (!initialize) return device;
  if (initializeDevice(device)) return device;
  if (master.removeChild(device, true)) return nullptr;
  delete device;
  return nullptr;
}

bool DeviceFactory::initializeDevice(ZtDevice& device) const {
  if (device.isInitialized()) return true;
  return initializeDevice(&device);
}
