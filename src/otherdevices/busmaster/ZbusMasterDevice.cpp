#include "otherdevices/busmaster/ZbusMasterDevice.h"

#include <chrono>
#include <string>
#include <thread>

#include "device/DeviceFactory.h"
#include "device/OwnedMessage.h"
#include "device/ScratchPacket.h"
#include "foundation/JournalMacros.h"
#include "otherdevices/busmaster/ZmBatteryLevelConverter.h"
#include "transport/legacy/LegacyDataPacket.h"
#include "transport/link/Communicator.h"

// Built when the library is loaded, destroyed when it is unloaded.
const ZmBatteryLevelConverter gZmBatteryLevelConverter;

namespace {

constexpr uint8_t kLegacyData = 0x32;
constexpr uint8_t kData = 0x36;

// Synchronisation byte bits and the settings they stand for.
constexpr uint8_t kSyncFunction10 = 0x01;
constexpr uint8_t kSyncLineMask = 0x30;
constexpr uint8_t kSyncLine10Polarity1 = 0x10;
constexpr uint8_t kSyncLine2 = 0x20;
constexpr uint8_t kSyncLine10Polarity3 = 0x30;
constexpr int32_t kFunctionLine = 4;
constexpr int32_t kFunction10 = 10;
// The line a function-10 setting is given back on (the byte does not record it).
constexpr int32_t kFunction10Line = 11;

ZtString textOf(const std::string& s) {
  ZtString text;
  ZtString_construct(&text, s.c_str());
  return text;
}

ZtSyncSetting syncSetting(int32_t line, int32_t function, int32_t polarity) {
  ZtSyncSetting s{};
  s.line = line;
  s.function = function;
  s.polarity = polarity;
  return s;
}

}  // namespace

ZbusMasterDevice::ZbusMasterDevice(DeviceFactory& factory, Communicator* communicator)
    : ZtDevice(factory, communicator) {}

ZbusMasterDevice::~ZbusMasterDevice() = default;

ZtDevice* ZbusMasterDevice::constructAsMaster(DeviceFactory& factory, Communicator* communicator) {
  return constructAsMasterDevice<ZbusMasterDevice>(factory, communicator);
}

// ---- Initialisation --------------------------------------------------------------------------------

bool ZbusMasterDevice::initialize(const zelto::SettingsFile& settings) {
  if (!ZtDevice::initialize(settings)) return false;
  createDataCache();
  Communicator* link = communicator();
  if (!link || !readDeviceConfiguration()) {
    m_isInitialized = false;
    return false;
  }
  // Children the configuration lists and the hub has not made yet, in bus order.
  const ZtDeviceConfiguration& configuration = deviceConfiguration();
  const size_t listed = configuration.deviceInfo ? configuration.numberOfDevices : 0;
  for (size_t bus = children().size(); bus < listed; ++bus) {
    const ZtDeviceId id = configuration.deviceInfo[bus].deviceId;
    if (!m_deviceFactory || !m_deviceFactory->createChildDevice(id, *this, true)) {
      JLOG_ALERT("bus master " << std::hex << deviceId() << ": no child device for id " << id << std::dec);
      m_isInitialized = false;
      return false;
    }
  }
  tuneDataCacheSize();
  if (readMasterSettings()) return true;
  if (link->isReadingFromFile()) {
    // A recording without the hub's settings: the host's defaults stand in.
    std::lock_guard<std::mutex> lock(m_recordMutex);
    m_record.clear();
    return true;
  }
  m_isInitialized = false;
  return false;
}

bool ZbusMasterDevice::readMasterSettings() {
  Communicator* link = communicator();
  if (!link) return false;
  OwnedMessage reply;
  if (link->isReadingFromFile()) {
    link->readMessageFromStartOfFile(reply.m, zelto::EzmsData::kMessageId, 5);
    if (link->lastResult() != ZRV_OK || ZtMessage_empty(&reply.m)) return false;
  } else if (!request(kReadSettings, {0}, &reply.m)) {
    return false;
  }
  std::lock_guard<std::mutex> lock(m_recordMutex);
  return m_record.setZmsData(reply.m);
}

zelto::EzmsData ZbusMasterDevice::settingsRecord() const {
  std::lock_guard<std::mutex> lock(m_recordMutex);
  return m_record;
}

// ---- Requests --------------------------------------------------------------------------------------

bool ZbusMasterDevice::request(uint8_t requestId, const std::vector<uint8_t>& payload, ZtMessage* reply) const {
  if (!communicator()) return false;
  OwnedMessage message(requestId, ZTMESSAGE_MASTER_BUS_ID, payload.size());
  if (!payload.empty()) ZtMessage_setDataBuffer(&message.m, payload.data(), payload.size(), 0);
  OwnedMessage answer;
  auto* self = const_cast<ZbusMasterDevice*>(this);
  const bool acknowledged = self->sendCustomMessage(message.m, true, answer.m, static_cast<int>(kReplyTimeoutMs));
  if (reply) ZtMessage_copy(reply, &answer.m);
  return acknowledged;
}

int ZbusMasterDevice::batteryLevel() const {
  OwnedMessage reply;
  if (!request(kBatteryLevel, {}, &reply.m) || ZtMessage_dataSize(&reply.m) < 1) return 0;
  return gZmBatteryLevelConverter.level(ZtMessage_getDataByte(&reply.m, 0));
}

bool ZbusMasterDevice::isBlueToothEnabled() const {
  std::lock_guard<std::mutex> lock(m_recordMutex);
  return m_record.blueToothDisabled == 0;
}

bool ZbusMasterDevice::setBlueToothEnabled(bool enable) {
  const uint8_t disabled = enable ? 0 : 1;
  if (!request(kSetBlueTooth, {disabled}, nullptr)) return false;
  std::lock_guard<std::mutex> lock(m_recordMutex);
  m_record.blueToothDisabled = disabled;
  return true;
}

bool ZbusMasterDevice::isDualOutputEnabled() const {
  std::lock_guard<std::mutex> lock(m_recordMutex);
  return m_record.blueToothDisabled == 0 && (m_record.outputFlags & 0x01) != 0;
}

bool ZbusMasterDevice::setDualOutputEnabled(bool enable) {
  uint8_t flags;
  {
    std::lock_guard<std::mutex> lock(m_recordMutex);
    if (((m_record.outputFlags & 0x01) != 0) == enable) return true;
    flags = static_cast<uint8_t>((m_record.outputFlags & ~0x01) | (enable ? 0x01 : 0x00));
  }
  if (!request(kSetDualOutput, {flags}, nullptr)) return false;
  std::lock_guard<std::mutex> lock(m_recordMutex);
  m_record.outputFlags = flags;
  return true;
}

bool ZbusMasterDevice::isBusPowerEnabled() const {
  std::lock_guard<std::mutex> lock(m_recordMutex);
  return m_record.busPowerDisabled == 0;
}

bool ZbusMasterDevice::setBusPowerEnabled(bool enable) {
  if (!request(kSetBusPower, {0, static_cast<uint8_t>(enable ? 1 : 0)}, nullptr)) return false;
  {
    std::lock_guard<std::mutex> lock(m_recordMutex);
    m_record.busPowerDisabled = enable ? 0 : 1;
  }
  // The trackers on the bus power up or down meanwhile.
  std::this_thread::sleep_for(std::chrono::milliseconds(kBusPowerSettleMs));
  return true;
}

bool ZbusMasterDevice::powerDown() {
  Communicator* link = communicator();
  if (!link) return false;
  OwnedMessage message(kPowerDown, ZTMESSAGE_MASTER_BUS_ID, 0);
  if (!link->writeMessage(message.m)) return false;
  updateConnectivityState(ZCS_Disconnected);
  return true;
}

ZtErrorMode ZbusMasterDevice::errorMode() const {
  OwnedMessage reply;
  if (!request(kErrorMode, {}, &reply.m) || ZtMessage_dataSize(&reply.m) < 2) return 0;
  return ZtMessage_getDataShort(&reply.m, 0);
}

bool ZbusMasterDevice::setErrorMode(ZtErrorMode mode) {
  return request(kErrorMode, {static_cast<uint8_t>(mode >> 8), static_cast<uint8_t>(mode)}, nullptr);
}

// ---- Synchronisation -------------------------------------------------------------------------------

uint8_t ZbusMasterDevice::syncByteOf(const std::vector<ZtSyncSetting>& settings) {
  uint8_t byte = 0;
  for (const ZtSyncSetting& s : settings) {
    if (s.function == kFunction10) {
      byte |= kSyncFunction10;
    } else if (s.function == kFunctionLine) {
      if (s.line == 2)
        byte |= kSyncLine2;
      else if (s.line == 10 && s.polarity == 1)
        byte |= kSyncLine10Polarity1;
      else if (s.line == 10 && s.polarity == 3)
        byte |= kSyncLine10Polarity3;
    }
  }
  return byte;
}

std::vector<ZtSyncSetting> ZbusMasterDevice::syncSettingsOf(uint8_t syncByte) {
  std::vector<ZtSyncSetting> settings;
  switch (syncByte & kSyncLineMask) {
    case kSyncLine10Polarity1: settings.push_back(syncSetting(10, kFunctionLine, 1)); break;
    case kSyncLine2: settings.push_back(syncSetting(2, kFunctionLine, 1)); break;
    case kSyncLine10Polarity3: settings.push_back(syncSetting(10, kFunctionLine, 3)); break;
    default: break;
  }
  if (syncByte & kSyncFunction10) settings.push_back(syncSetting(kFunction10Line, kFunction10, 1));
  return settings;
}

bool ZbusMasterDevice::setSyncSettings(const std::vector<ZtSyncSetting>& settings) {
  if (settings.size() > 2 || !communicator()) return false;
  const uint8_t byte = syncByteOf(settings);
  // The record follows the hub only once it acknowledged: a refused request leaves it as it was.
  if (!request(kSetSync, {byte}, nullptr)) return false;
  std::lock_guard<std::mutex> lock(m_recordMutex);
  m_record.syncByte = byte;
  return true;
}

std::vector<ZtSyncSetting> ZbusMasterDevice::syncSettings() const { return syncSettingsOf(settingsRecord().syncByte); }

std::vector<ZtSyncSetting> ZbusMasterDevice::supportedSyncSettings() const { return syncSettings(); }

int ZbusMasterDevice::syncRole() const {
  const uint8_t line = settingsRecord().syncByte & kSyncLineMask;
  if (line == kSyncLine2) return 0;
  return (line & 0x10) ? 3 : 1;
}

bool ZbusMasterDevice::isSyncMaster() const { return (settingsRecord().syncByte & 0x10) != 0; }

bool ZbusMasterDevice::isSyncSlave() const { return (settingsRecord().syncByte & kSyncLineMask) == kSyncLine2; }

// ---- Fixed answers, identity and the configuration ---------------------------------------------------

std::vector<int> ZbusMasterDevice::supportedUpdateRates(ZtDataIdentifier) const {
  return {512, 480, 450, 400, 384, 360, 320, 300, 288, 256, 240, 225, 200, 192, 180, 160, 150, 144, 128, 120, 100, 96,
          90,  80,  75,  72,  64,  60,  50,  48,  45,  40,  36,  32,  30,  25,  24,  20,  18,  16,  15,  12,  10};
}

std::string ZbusMasterDevice::productCodeOf(ZtDeviceId id) {
  static const char* const kModels[] = {"ZM-A-Z", "ZM-A-ZB", "ZM-B-Z", "ZM-B-ZB"};
  const unsigned model = (id >> 16) & 0x0F;
  if (model > 3) return "unknown";
  const unsigned suffix = (id >> 8) & 0xFF;
  return std::string(kModels[model]) + (suffix == 1 ? "2" : suffix > 1 ? "3" : "");
}

ZtString ZbusMasterDevice::productCode() const { return textOf(productCodeOf(deviceId())); }

ZtBaudRate ZbusMasterDevice::serialBaudRate() const { return ZtBaud_codeToRate(settingsRecord().baudRateCode); }

ZtVersion ZbusMasterDevice::hardwareVersion() const { return firmwareVersion(); }

ZtOutputMode ZbusMasterDevice::outputMode() const { return 0; }
bool ZbusMasterDevice::setOutputMode(ZtOutputMode) { return true; }
ZtOutputSettings ZbusMasterDevice::outputSettings() const { return 1; }
bool ZbusMasterDevice::setOutputSettings(ZtOutputSettings) { return true; }
int ZbusMasterDevice::outputSkipFactor() const { return 0; }
bool ZbusMasterDevice::setOutputSkipFactor(uint16_t) { return false; }
ZtOutputConfigurationArray ZbusMasterDevice::outputConfiguration() const { return ZtDevice::outputConfiguration(); }

int ZbusMasterDevice::samplePeriod() const {
  return const_cast<ZbusMasterDevice*>(this)->deviceConfiguration().samplingPeriod;
}

int ZbusMasterDevice::updateRate() const {
  const ZtDeviceConfiguration& configuration = const_cast<ZbusMasterDevice*>(this)->deviceConfiguration();
  ZtDeviceMode mode{};
  mode.period = configuration.samplingPeriod;
  mode.skipFactor = configuration.outputSkipFactor;
  return ZtDeviceMode_updateRate(&mode);
}

bool ZbusMasterDevice::setSamplePeriod(uint16_t period) {
  if (const_cast<ZbusMasterDevice*>(this)->deviceConfiguration().samplingPeriod == period) return true;
  return ZtDevice::setSamplePeriod(period);
}

bool ZbusMasterDevice::setDeviceMode(const ZtDeviceMode& mode) {
  return setSamplePeriod(static_cast<uint16_t>(mode.period * (mode.skipFactor + 1u)));
}

bool ZbusMasterDevice::restoreFactoryDefaults() {
  if (!ZtDevice::restoreFactoryDefaults()) return false;
  return readMasterSettings();
}

void ZbusMasterDevice::writeDeviceSettingsToFile() {
  OwnedMessage message;
  settingsRecord().toMessage(ZTMESSAGE_MASTER_BUS_ID, message.m);
  writeMessageToLogFile(message.m);
  ZtDevice::writeDeviceSettingsToFile();
}

// ---- Data ------------------------------------------------------------------------------------------

void ZbusMasterDevice::handleMessage(const ZtMessage& message) {
  const uint8_t id = ZtMessage_empty(&message) ? 0 : ZtMessage_getMessageId(&message);
  if (id == kData) {
    ZtDevice::handleMessage(message);
    return;
  }
  if (id != kLegacyData) {
    handleNonDataMessage(message);
    return;
  }
  // One part per configured child, the hub's counter in front standing for all of them.
  const ZtDeviceConfiguration& configuration = deviceConfiguration();
  const uint16_t count = configuration.deviceInfo ? configuration.numberOfDevices : 0;
  if (count == 0) return;
  LegacyDataPacket legacy(count, true);
  legacy.setMessage(message);
  for (int i = 0; i < count; ++i) {
    const ZtDeviceConfigurationDevice& record = configuration.deviceInfo[i];
    legacy.setDeviceId(record.deviceId, i);
    legacy.setDataFormat(record.outputMode, record.outputSettings, i);
  }
  for (int i = 0; i < count; ++i) {
    zelto::ScratchPacket packet;
    ZtDataPacket_assignFromZtLegacyDataPacket(packet.get(), legacy, i);
    withChildForBusId(i + 1, [&packet](ZtDevice* child) { child->handleDataPacket(*packet); });
  }
}
