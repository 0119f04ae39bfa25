#include "otherdevices/imar/ImarDevice.h"

#include <cstring>

#include "device/OwnedMessage.h"
#include "ekts/Ekts3.h"
#include "errors/ZtDeviceConfigurationException.h"
#include "foundation/JournalMacros.h"
#include "foundation/ThreadPool.h"
#include "transport/link/Communicator.h"

namespace {

ZtString textOf(const char* s) {
  ZtString text;
  ZtString_construct(&text, s);
  return text;
}

}  // namespace

ImarDevice::ImarDevice(DeviceFactory& factory, Communicator* communicator, const Identity& identity)
    : ZtDevice(factory, communicator), m_identity(identity) {}

ImarDevice::ImarDevice(ZtDevice* master, const ZtDeviceId& deviceId, const Identity& identity)
    : ZtDevice(master, deviceId), m_identity(identity) {}

ImarDevice::~ImarDevice() = default;

bool ImarDevice::initialize(const zelto::SettingsFile& settings) {
  if (!ZtDevice::initialize(settings)) return false;
  createDataCache();
  ZtDeviceConfiguration& configuration = deviceConfiguration();
  ZtDeviceConfiguration_assign(&configuration, 1, nullptr);
  if (!configuration.deviceInfo) {
    m_isInitialized = false;
    throw ZtDeviceConfigurationException();
  }
  configuration.masterDeviceId = m_identity.deviceId;
  // The units' fixed period: the field itself would only read back what it holds.
  configuration.samplingPeriod = kSamplePeriod;
  configuration.outputSkipFactor = 0;
  ZtDeviceConfigurationDevice& entry = configuration.deviceInfo[0];
  entry = ZtDeviceConfigurationDevice{};
  entry.deviceId = m_identity.deviceId;
  entry.dataLength = m_identity.dataLength;
  entry.outputMode = static_cast<uint16_t>(kOutputMode);
  entry.outputSettings = kOutputSettings;
  tuneDataCacheSize();
  setDeviceState(ZDS_Measurement, true);
  return true;
}

std::vector<int> ImarDevice::supportedUpdateRates(ZtDataIdentifier) const { return {kUpdateRate}; }

ZtString ImarDevice::productCode() const { return textOf(m_identity.productCode); }

ZtVersion ImarDevice::hardwareVersion() const {
  ZtVersion version{};
  version.major = 1;
  return version;
}

void ImarDevice::doProcessing(ZtDataPacket& packet) { insertPacketInCaches(packet); }

bool ImarDevice::isMotionTracker() const { return true; }

const ZtDeviceConfigurationDevice* ImarDevice::deviceEntry() const {
  // The master's own configuration (the const form of deviceConfiguration returns a copy).
  const ZtDeviceConfiguration& configuration = const_cast<ImarDevice*>(this)->deviceConfiguration();
  return configuration.numberOfDevices > 0 && configuration.deviceInfo ? &configuration.deviceInfo[0] : nullptr;
}

const ZtDeviceConfigurationDevice* ImarDevice::deviceEntryOrThrow(const char* operation) const {
  const ZtDeviceConfigurationDevice* entry = deviceEntry();
  if (entry) return entry;
  if (zelto::ThreadPool::isWorkerThread()) {
    JLOG_ALERT(operation << " of device " << std::hex << deviceId() << std::dec
                         << " without a device entry in its configuration: 0 on a pool thread");
    return nullptr;
  }
  throw ZtDeviceConfigurationException();
}

ZtOutputMode ImarDevice::outputMode() const {
  const ZtDeviceConfigurationDevice* entry = deviceEntryOrThrow("outputMode");
  return entry ? entry->outputMode : 0;
}

ZtOutputSettings ImarDevice::outputSettings() const {
  const ZtDeviceConfigurationDevice* entry = deviceEntryOrThrow("outputSettings");
  return entry ? entry->outputSettings : 0;
}

int ImarDevice::updateRate() const { return kUpdateRate; }

ZtOutputConfigurationArray ImarDevice::outputConfiguration() const { return ZtDevice::outputConfiguration(); }

int ImarDevice::samplePeriod() const { return const_cast<ImarDevice*>(this)->deviceConfiguration().samplingPeriod; }

int ImarDevice::outputSkipFactor() const { return 0; }

std::vector<ZtSyncSetting> ImarDevice::syncSettings() const { return {}; }

bool ImarDevice::setSyncSettings(const std::vector<ZtSyncSetting>& settings) { return settings.empty(); }

bool ImarDevice::gotoMeasurement() {
  Communicator* link = communicator();
  if (!link) return false;
  link->setMeasuring(true);
  setDeviceState(ZDS_Measurement, true);
  return true;
}

bool ImarDevice::gotoConfig() { return true; }

void ImarDevice::writeDeviceSettingsToFile() {
  zelto::Ekts3 record;
  unsigned char image[zelto::Ekts::kImageSize];
  if (record.dataSize() != zelto::Ekts::kImageSize) return;
  record.setDeviceId(m_identity.deviceId);
  unsigned char code[20] = {};
  std::memcpy(code, "iMAR", 4);
  record.setProductCode(code);
  record.setSamplePeriod(kSamplePeriod);
  const ZtDeviceConfigurationDevice* entry = deviceEntry();
  record.setOutputMode(static_cast<uint16_t>(entry ? entry->outputMode : kOutputMode));
  record.setOutputSettings(entry ? entry->outputSettings : kOutputSettings);
  const int size = record.getEncryptedEktsData(image);
  if (size != zelto::Ekts::kImageSize) return;
  OwnedMessage message(kRecordMessage, ZTMESSAGE_MASTER_BUS_ID, static_cast<size_t>(size));
  ZtMessage_setDataBuffer(&message.m, image, static_cast<size_t>(size), 0);
  writeMessageToLogFile(message.m);
}

int ImarDevice::syncRole() const { return 3; }

int ImarDevice::locationId() const { return 0; }
