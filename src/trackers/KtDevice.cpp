#include "trackers/KtDevice.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>

#include "device/OwnedMessage.h"
#include "device/config/DeviceConfigurationMessages.h"
#include "ekts/Ekts5.h"
#include "ekts/EktsManager.h"
#include "errors/ZtDeviceConfigurationException.h"
#include "errors/ZtException.h"
#include "filters/common/FilterTypeVersion.h"
#include "filters/common/KtHardwareParams.h"
#include "filters/common/ZkfParams.h"
#include "filters/common/ZkfState.h"
#include "filters/common/ZtZkfFilter.h"
#include "foundation/JournalMacros.h"
#include "foundation/StringToVersion.h"
#include "math/strapdown/Strapdown.h"
#include "trackers/CalibrationInfo.h"
#include "math/Matrix3x3.h"
#include "math/Vector3.h"
#include "trackers/ExtendedScenario.h"
#include "trackers/PacketItems.h"
#include "transport/link/Communicator.h"
#include "transport/link/MessageList.h"

namespace {

// Request ids of the tracker's own exchanges; each is acknowledged with id + 1.
constexpr uint8_t kSetNoRotation = 0x22;
constexpr uint8_t kRunSelfTest = 0x24;
constexpr uint8_t kRequestData = 0x34;
constexpr uint8_t kSetGravityMagnitude = 0x66;
constexpr uint8_t kSetLabMagneticField = 0x6A;
constexpr uint8_t kSetLatLonAlt = 0x6E;
constexpr uint8_t kRequestHeadingOffset = 0x82;
constexpr uint8_t kSetLocationId = 0x84;
constexpr uint8_t kStoreFilterState = 0x8A;
constexpr uint8_t kSetOutputConfiguration = 0xC0;
constexpr uint8_t kSetSyncIn = 0xD6;
constexpr uint8_t kSetSyncOut = 0xD8;
constexpr uint8_t kSetErrorMode = 0xDA;
constexpr uint8_t kSetRs485Delay = 0xDC;
constexpr uint8_t kRequestObjectAlignment = 0xE0;

constexpr unsigned kAckTimeoutMs = 200;
constexpr unsigned kSelfTestTimeoutMs = 3000;

// Device ticks per microsecond of the synchronisation clock, and the inverse used for reading.
constexpr double kTicksPerUs = 29.4912;
constexpr double kUsPerTick = 0.03390842013888889;

constexpr double kNoRange = 10000.0;

void putU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void putU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void putFloat(std::vector<uint8_t>& out, double value) {
  const float f = static_cast<float>(value);
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  putU32(out, bits);
}

ZtVector ownedVector(const zelto::Vector& v) {
  ZtVector out;
  ZtVector_construct(&out, v.size, v.data);
  return out;
}

ZtSyncSetting syncSetting(int32_t line, int32_t function, int32_t polarity, uint32_t pulseWidth, int32_t offset,
                          uint16_t skipFirst, uint16_t skipFactor, uint16_t clockPeriod, uint8_t triggerOnce) {
  ZtSyncSetting s;
  s.line = line;
  s.function = function;
  s.polarity = polarity;
  s.pulseWidth = pulseWidth;
  s.offset = offset;
  s.skipFirst = skipFirst;
  s.skipFactor = skipFactor;
  s.clockPeriod = clockPeriod;
  s.triggerOnce = triggerOnce;
  return s;
}

bool isSyncInFunction(int32_t function) { return function == 7 || function == 8 || function == 9; }
constexpr int32_t kSyncOutFunction = 4;

}  // namespace

// ---- Construction ----------------------------------------------------------------------------------

KtDevice::KtDevice(DeviceFactory& factory, Communicator* communicator)
    : ZtDevice(factory, communicator), m_ekts(new EktsManager()), m_resetMethod(ZRM_None), m_scenariosPrefix("ZKF") {
  m_softwareCalibrationEnabled = m_softwareFilteringEnabled;
}

KtDevice::KtDevice(ZtDevice* master, const ZtDeviceId& deviceId)
    : ZtDevice(master, deviceId), m_ekts(new EktsManager()), m_resetMethod(ZRM_None), m_scenariosPrefix("ZKF") {
  m_softwareCalibrationEnabled = m_softwareFilteringEnabled;
}

KtDevice::~KtDevice() {
  delete m_calibrationInfo;
  m_calibrationInfo = nullptr;
  delete m_initialState;
  m_initialState = nullptr;
  for (ExtendedScenario* scenario : m_hostScenarios) delete scenario;
  m_hostScenarios.clear();
  m_onboardProfiles.clear();
  delete m_ekts;
  m_ekts = nullptr;
}

// ---- Slots ---------------------------------------------------------------------------------------

zelto::SettingsFile* KtDevice::initialState() const { return m_initialState; }

bool KtDevice::readEktsInParts() const { return false; }
ZkfUserParams& KtDevice::userParams() { return m_userParams; }
ZkfState* KtDevice::createFilterState() const { return nullptr; }

void KtDevice::setInitialState(const zelto::SettingsFile& settings) {
  // The held state given back: it holds settings, so it stays as it is.
  if (&settings == m_initialState) return;
  delete m_initialState;
  m_initialState = nullptr;
  if (!settings.getSetting(0u)) return;
  auto* copy = new zelto::SettingsFile();
  settings.copyTo(*copy, nullptr);
  m_initialState = copy;
}

int KtDevice::calculateUpdateRate() const {
  ZtDeviceModePS mode;
  mode.outputMode = 4;
  mode.outputSettings = 1;
  mode.period = 1152;
  mode.skipFactor = 0;
  mode.period = m_ekts->samplePeriod();
  mode.skipFactor = m_ekts->outputSkipFactor();
  return ZtDeviceModePS_updateRate(&mode);
}

int KtDevice::calculateUpdateRate(ZtDataIdentifier) const { return updateRate(); }
int KtDevice::calculateProcessedUpdateRate(ZtDataIdentifier) const { return updateRate(); }
void KtDevice::setStatusInPacket(ZtDataPacket& packet, uint32_t status) { ZtDataPacket_setStatus(&packet, status); }

// ---- Identity and record getters -----------------------------------------------------------------

bool KtDevice::isMotionTracker() const { return true; }
EktsManager* KtDevice::ekts() const { return m_ekts; }

std::string KtDevice::productCodeText() const {
  const unsigned char* code = m_ekts->productCode();
  if (!code) return std::string();
  size_t n = 0;
  while (n < 20 && code[n] != 0 && code[n] != ' ') ++n;
  return std::string(reinterpret_cast<const char*>(code), n);
}

ZtString KtDevice::productCode() const {
  ZtString text;
  ZtString_construct(&text, productCodeText().c_str());
  return text;
}

ZtVersion KtDevice::hardwareVersion() const {
  ZtVersion version;
  std::memset(&version, 0, sizeof version);
  const uint16_t v = m_ekts->hardwareVersion();
  version.major = v >> 8;
  version.minor = v & 0xFF;
  return version;
}

ZtBaudRate KtDevice::serialBaudRate() const {
  if (!isMasterDevice()) return master()->serialBaudRate();
  return ZtBaud_codeToRate(static_cast<uint8_t>(m_ekts->baudrate()));
}

ZtOutputMode KtDevice::outputMode() const { return m_ekts->outputMode(); }
ZtOutputSettings KtDevice::outputSettings() const { return m_ekts->outputSettings(); }

int KtDevice::stringOutputType() const {
  // The version-3 layout keeps the value under its older name.
  return m_ekts->hasStringOutputType() ? m_ekts->stringOutputType() : m_ekts->stringOutputReportType();
}

int KtDevice::samplePeriod() const { return m_ekts->samplePeriod(); }
int KtDevice::outputSkipFactor() const { return m_ekts->outputSkipFactor(); }
ZtErrorMode KtDevice::errorMode() const { return m_ekts->errorMode(); }
uint16_t KtDevice::rs485TransmissionDelay() const { return m_ekts->rs485AcknowledgeTransmissionDelay(); }
double KtDevice::headingOffset() const { return m_ekts->headingOffset(); }
int KtDevice::locationId() const { return m_ekts->locationId(); }
double KtDevice::gravityMagnitude() const { return m_ekts->gravityMagnitude(); }
ZtVector KtDevice::latLonAlt() const { return ownedVector(m_ekts->lastKnownLatLongAlt()); }
ZtVector KtDevice::labMagneticField() const { return ownedVector(m_ekts->magField()); }

ZtMatrix KtDevice::objectAlignment() const {
  const zelto::Matrix3x3 m = m_ekts->objectAlignment();
  ZtMatrix out;
  ZtMatrix_construct(&out, 3, 3, 3, nullptr);
  for (size_t r = 0; r < 3; ++r)
    for (size_t c = 0; c < 3; ++c) out.data[r * out.stride + c] = m(r, c);
  return out;
}

ZtOutputConfigurationArray KtDevice::outputConfiguration() const {
  ZtOutputConfigurationArray configuration;
  ZtOutputConfigurationArray_construct(&configuration, 0, nullptr);
  return configuration;
}

ZtDeviceConfigurationDevice& KtDevice::configurationEntry() const {
  // The master's own configuration (the const form of deviceConfiguration returns a copy).
  ZtDeviceConfiguration& configuration = const_cast<KtDevice*>(this)->deviceConfiguration();
  const int index = configurationIndex();
  if (configuration.numberOfDevices == 0 || !configuration.deviceInfo || index < 0 ||
      index >= configuration.numberOfDevices)
    throw ZtDeviceConfigurationException();
  return configuration.deviceInfo[index];
}

int KtDevice::dataLength() const { return configurationEntry().dataLength; }

// ---- Synchronisation role, enabled data and rates --------------------------------------------------

int KtDevice::syncRole() const {
  const uint16_t mode = m_ekts->syncInMode();
  if ((mode & 0x1C) != 0 && (mode & 0x10) == 0) return (mode & 0x0F) != 0 ? 2 : 0;
  return (mode & 0x0F) != 0 ? 3 : 1;
}

bool KtDevice::hasDataEnabled(ZtDataIdentifier dataIdentifier) const {
  const uint16_t mode = m_ekts->outputMode();
  bool enabled;
  switch (dataIdentifier & 0xFFF0) {
    case 0xA010:
      enabled = (mode & 0x4000) != 0;
      break;
    case 0x8020:
    case 0x4020:
      enabled = (mode & 0x0002) != 0;
      break;
    case 0x2000:
      enabled = (mode & 0x0004) != 0;
      break;
    case 0x4010:
    case 0x8030:
      enabled = (mode & 0x0200) != 0;
      break;
    default:
      enabled = false;
      break;
  }
  if (!enabled && (mode & 0x0800) != 0 && dataIdentifier == 0xE020)
    enabled = (m_ekts->outputSettings() & 0x80) != 0;
  return enabled;
}

int KtDevice::updateRate() const {
  return isMasterDevice() ? calculateUpdateRate() : master()->updateRate();
}

int KtDevice::updateRateForDataIdentifier(ZtDataIdentifier dataIdentifier) const {
  return isMasterDevice() ? calculateUpdateRate(dataIdentifier) : master()->updateRateForDataIdentifier(dataIdentifier);
}

int KtDevice::updateRateForProcessedDataIdentifier(ZtDataIdentifier dataIdentifier) const {
  return isMasterDevice() ? calculateProcessedUpdateRate(dataIdentifier)
                          : master()->updateRateForProcessedDataIdentifier(dataIdentifier);
}

// ---- Host processing flags -------------------------------------------------------------------------

bool KtDevice::isSoftwareFilteringEnabled() const { return m_softwareFilteringEnabled; }

bool KtDevice::setSoftwareFilteringEnabled(bool enable) {
  m_softwareFilteringEnabled = enable;
  if (enable) m_softwareCalibrationEnabled = true;
  return true;
}

bool KtDevice::isSoftwareCalibrationEnabled() const { return m_softwareCalibrationEnabled; }

bool KtDevice::setSoftwareCalibrationEnabled(bool enable) {
  m_softwareCalibrationEnabled = enable;
  if (!enable) m_softwareFilteringEnabled = false;
  return true;
}

ZtResetMethod KtDevice::resetMethod() const { return m_resetMethod; }
void KtDevice::resetSoftwareFilter(zelto::SettingsFile*) {}

void KtDevice::restartFilter(ZkfParams* parameters) {
  {
    std::lock_guard<std::recursive_mutex> filterLock(m_filterLock);
    ZtDevice::restartFilter(parameters);
  }
  std::lock_guard<std::mutex> lock(m_orientationLock);
  m_sdiWindow.restart();
}

double KtDevice::accelerometerRange() const { return accelerometerRange(productCodeText()); }
double KtDevice::gyroscopeRange() const { return gyroscopeRange(productCodeText()); }

bool KtDevice::requestData() {
  Communicator* link = communicator();
  if (outputSkipFactor() != 0xFFFF || !link) return false;
  OwnedMessage request;
  ZtMessage_constructSized(&request.m, 0);
  ZtMessage_setMessageId(&request.m, kRequestData);
  ZtMessage_setBusId(&request.m, static_cast<uint8_t>(busId()));
  return link->writeMessage(request.m);
}

bool KtDevice::gotoMeasurement() { return ZtDevice::gotoMeasurement(); }
bool KtDevice::gotoConfig() { return ZtDevice::gotoConfig(); }

DeviceConfigurationMessages* KtDevice::determineConfigurationMessages() const {
  static const struct {
    const char* name;
    uint8_t requestId;
  } kRequests[] = {{"OutputMode", 0xD0}, {"OutputSettings", 0xD2}, {"BaudRate", 0x18},
                   {"Period", 0x04},     {"OutputSkipFactor", 0xD4}, {"LocationID", 0x84}};
  auto* messages = new DeviceConfigurationMessages();
  for (const auto& r : kRequests) {
    // FA FF <id> 00 <checksum>: the checksum makes bytes 1 to 4 sum to 0.
    const uint8_t bytes[5] = {0xFA, 0xFF, r.requestId, 0x00, static_cast<uint8_t>(-(0xFF + r.requestId))};
    messages->add(r.name, bytes, sizeof bytes);
  }
  return messages;
}

// ---- Exchanges -----------------------------------------------------------------------------------

bool KtDevice::exchangeRequest(const ZtMessage& request, uint8_t ackId, unsigned timeoutMs, ZtMessage* reply) {
  Communicator* link = communicator();
  if (!link) return false;
  // Registered before the write, so an immediate acknowledgement is not missed; the handle
  // releases the reply object on every path.
  const auto requestLock = lockRequests();
  const Communicator::ReplyHandle handle = link->addReplyObject(ackId);
  if (!handle) return false;
  if (!link->writeMessage(request)) return false;
  OwnedMessage answer;
  const bool acknowledged = handle->message(answer.m, timeoutMs) && ZtMessage_getMessageId(&answer.m) == ackId;
  if (reply) ZtMessage_copy(reply, &answer.m);
  return acknowledged;
}

bool KtDevice::exchangeRequest(uint8_t requestId, const std::vector<uint8_t>& payload, unsigned timeoutMs,
                               ZtMessage* reply) {
  if (!communicator()) return false;
  OwnedMessage request;
  ZtMessage_constructSized(&request.m, 0);
  ZtMessage_setMessageId(&request.m, requestId);
  ZtMessage_setBusId(&request.m, static_cast<uint8_t>(busId()));
  if (!payload.empty()) ZtMessage_setDataBuffer(&request.m, payload.data(), payload.size(), 0);
  return exchangeRequest(request.m, static_cast<uint8_t>(requestId + 1), timeoutMs, reply);
}

// ---- Acknowledged setters --------------------------------------------------------------------------

bool KtDevice::setNoRotation(uint16_t seconds) {
  std::vector<uint8_t> payload;
  putU16(payload, seconds);
  return exchangeRequest(kSetNoRotation, payload, kAckTimeoutMs);
}

uint16_t KtDevice::runSelfTest() {
  OwnedMessage reply;
  if (!exchangeRequest(kRunSelfTest, {}, kSelfTestTimeoutMs, &reply.m)) return 0;
  // A reply without its two result bytes holds no result.
  if (ZtMessage_dataSize(&reply.m) < 2) return 0;
  return ZtMessage_getDataShort(&reply.m, 0);
}

bool KtDevice::setGravityMagnitude(double magnitude) {
  std::vector<uint8_t> payload;
  putFloat(payload, magnitude);
  if (!exchangeRequest(kSetGravityMagnitude, payload, kAckTimeoutMs)) return false;
  m_ekts->setGravityMagnitude(magnitude);
  restartFilter(nullptr);
  return true;
}

bool KtDevice::setLabMagneticField(const ZtVector& field) {
  if (field.size < 3 || !field.data) return false;
  std::vector<uint8_t> payload;
  for (size_t i = 0; i < 3; ++i) putFloat(payload, field.data[i]);
  if (!exchangeRequest(kSetLabMagneticField, payload, kAckTimeoutMs)) return false;
  m_ekts->setMagField(zelto::Vector3(field.data[0], field.data[1], field.data[2]));
  restartFilter(nullptr);
  return true;
}

bool KtDevice::setLatLonAlt(const ZtVector& latLonAlt) {
  const int bus = busId();
  if (latLonAlt.size != 3 || !latLonAlt.data || bus == 0 || bus == 254) return false;
  std::vector<uint8_t> payload;
  for (size_t i = 0; i < 3; ++i) putFloat(payload, latLonAlt.data[i]);
  payload.resize(18, 0);
  if (!exchangeRequest(kSetLatLonAlt, payload, kAckTimeoutMs)) return false;
  m_ekts->setLastKnownLatLongAlt(zelto::Vector3(latLonAlt.data[0], latLonAlt.data[1], latLonAlt.data[2]));
  return true;
}

void KtDevice::updateHeadingOffset() {
  OwnedMessage reply;
  if (!exchangeRequest(kRequestHeadingOffset, {}, kAckTimeoutMs, &reply.m)) return;
  // A reply shorter than its float holds no offset: nothing is taken from it.
  if (ZtMessage_dataSize(&reply.m) < 4) return;
  const double offset = ZtMessage_getDataFloat(&reply.m, 0);
  std::lock_guard<std::mutex> lock(m_orientationLock);
  m_ekts->setHeadingOffset(offset);
  // The rotation about the vertical axis by the offset.
  m_internalHeading = zelto::Quaternion(std::cos(offset / 2), 0.0, 0.0, std::sin(offset / 2));
}

bool KtDevice::setLocationId(int id) {
  std::vector<uint8_t> payload;
  putU16(payload, static_cast<uint16_t>(id));
  if (!exchangeRequest(kSetLocationId, payload, kAckTimeoutMs)) return false;
  m_ekts->setLocationId(static_cast<uint16_t>(id));
  return true;
}

bool KtDevice::storeFilterState() {
  if (deviceState() != ZDS_Config) return false;
  return exchangeRequest(kStoreFilterState, {}, kAckTimeoutMs);
}

bool KtDevice::setOutputConfiguration(ZtOutputConfigurationArray& configuration) {
  std::vector<uint8_t> payload;
  if (configuration.size == 0 || !configuration.data) {
    putU32(payload, 0);
  } else {
    for (size_t i = 0; i < configuration.size; ++i) {
      putU16(payload, configuration.data[i].dataIdentifier);
      putU16(payload, configuration.data[i].frequency);
    }
  }
  OwnedMessage reply;
  if (!exchangeRequest(kSetOutputConfiguration, payload, kAckTimeoutMs, &reply.m)) return false;
  // Whole pairs only: a tail shorter than a pair is no entry.
  const size_t count = ZtMessage_dataSize(&reply.m) / 4;
  std::vector<ZtOutputConfiguration> pairs(count);
  for (size_t i = 0; i < count; ++i) {
    pairs[i].dataIdentifier = ZtMessage_getDataShort(&reply.m, 4 * i);
    pairs[i].frequency = ZtMessage_getDataShort(&reply.m, 4 * i + 2);
  }
  ZtArray_destruct(ZTARRAY(&configuration));
  ZtOutputConfigurationArray_construct(&configuration, count, count ? pairs.data() : nullptr);
  return true;
}

bool KtDevice::setErrorMode(ZtErrorMode mode) {
  std::vector<uint8_t> payload;
  putU16(payload, static_cast<uint16_t>(mode));
  if (!exchangeRequest(kSetErrorMode, payload, kAckTimeoutMs)) return false;
  m_ekts->setErrorMode(static_cast<uint16_t>(mode));
  return true;
}

bool KtDevice::setRs485TransmissionDelay(uint16_t delay) {
  std::vector<uint8_t> payload;
  putU16(payload, delay);
  if (!exchangeRequest(kSetRs485Delay, payload, kAckTimeoutMs)) return false;
  m_ekts->setRs485AcknowledgeTransmissionDelay(delay);
  return true;
}

void KtDevice::updateObjectAlignmentMatrix() {
  OwnedMessage reply;
  if (!exchangeRequest(kRequestObjectAlignment, {}, kAckTimeoutMs, &reply.m)) return;
  // Nine floats or nothing: a short reply would leave zeros in the matrix.
  if (ZtMessage_dataSize(&reply.m) < 36) return;
  zelto::Matrix3x3 alignment;
  for (size_t i = 0; i < 9; ++i) alignment(i / 3, i % 3) = ZtMessage_getDataFloat(&reply.m, 4 * i);
  std::lock_guard<std::mutex> lock(m_orientationLock);
  if (m_ekts->hasObjectAlignment()) m_ekts->setObjectAlignment(alignment);
  m_internalObjectAlignment = zelto::Quaternion();
  if (m_ekts->hasObjectAlignment()) m_internalObjectAlignment.isRmat(m_ekts->objectAlignment());
}

// ---- Cached setters through the device model -------------------------------------------------------

bool KtDevice::setOutputMode(ZtOutputMode mode) {
  const uint16_t value = static_cast<uint16_t>(mode);
  if (m_ekts->outputMode() == value) return true;
  ZtDeviceConfigurationDevice& entry = configurationEntry();
  if (!ZtDevice::setOutputMode(value)) return false;
  m_ekts->setOutputMode(value);
  entry.outputMode = value;
  return true;
}

bool KtDevice::setOutputSettings(ZtOutputSettings settings) {
  if (m_ekts->outputSettings() == settings) return true;
  ZtDeviceConfigurationDevice& entry = configurationEntry();
  if (!ZtDevice::setOutputSettings(settings)) return false;
  m_ekts->setOutputSettings(settings);
  entry.outputSettings = settings;
  return true;
}

bool KtDevice::setSamplePeriod(uint16_t period) {
  if (m_ekts->samplePeriod() == period) return true;
  // The device model stores the period in the configuration's global field on success.
  if (!ZtDevice::setSamplePeriod(period)) return false;
  m_ekts->setSamplePeriod(period);
  return true;
}

bool KtDevice::setOutputSkipFactor(uint16_t skipFactor) {
  if (m_ekts->outputSkipFactor() == skipFactor) return true;
  if (!ZtDevice::setOutputSkipFactor(skipFactor)) return false;
  m_ekts->setOutputSkipFactor(skipFactor);
  return true;
}

bool KtDevice::setStringOutputType(uint16_t type) {
  if (stringOutputType() == type) return true;
  if (!ZtDevice::setStringOutputType(type)) return false;
  if (m_ekts->hasStringOutputType())
    m_ekts->setStringOutputType(type);
  else
    m_ekts->setStringOutputReportType(type);
  return true;
}

// ---- Synchronisation -------------------------------------------------------------------------------

std::vector<ZtSyncSetting> KtDevice::supportedSyncSettings() const {
  std::vector<ZtSyncSetting> list = {
      syncSetting(0, 3, 1, 0, 1, 0, 1, 0, 0),
      syncSetting(0, 8, 1, 0, 1, 0, 1, 0, 0),
      syncSetting(8, 4, 1, 1, 1, 0, 1, 0, 0),
      syncSetting(3, 9, 1, 0, 0, 0, 1, 1, 0),
  };
  if (ZtDeviceId_isKtig(deviceId())) list.push_back(syncSetting(5, 9, 1, 0, 0, 0, 1, 1, 0));
  return list;
}

uint32_t KtDevice::syncTicksToUs(uint32_t ticks) {
  return static_cast<uint32_t>(static_cast<double>(ticks) * kUsPerTick + 0.5);
}

bool KtDevice::isSyncTimeRepresentable(int64_t microseconds) {
  return microseconds >= 0 && static_cast<double>(microseconds) * kTicksPerUs + 0.5 < 4294967296.0;
}

uint32_t KtDevice::usToSyncTicks(int64_t microseconds) {
  if (microseconds <= 0) return 0;
  const double ticks = static_cast<double>(microseconds) * kTicksPerUs + 0.5;
  if (ticks >= 4294967295.0) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(ticks);
}

ZtSyncSetting KtDevice::syncInSettings() const {
  ZtSyncSetting s = syncSetting(0, 12, 1, 1000, 0, 0, 0, 0, 0);
  const uint16_t mode = m_ekts->syncInMode();
  switch (mode & 0x1C) {
    case 0x00:
      s.function = 7;
      break;
    case 0x04:
      s.function = 8;
      break;
    case 0x10:
      s.function = 9;
      break;
    default:
      break;
  }
  if ((mode & 0x03) != 0) s.polarity = mode & 0x03;
  s.offset = static_cast<int32_t>(syncTicksToUs(m_ekts->syncInOffset()));
  s.skipFactor = m_ekts->syncInSkipFactor();
  return s;
}

ZtSyncSetting KtDevice::syncOutSettings() const {
  ZtSyncSetting s = syncSetting(8, 4, 1, 1000, 0, 0, 0, 0, 0);
  const uint16_t mode = m_ekts->syncOutMode();
  switch (mode & 0x0F) {
    case 1:
      s.polarity = 3;
      break;
    case 2:
      s.pulseWidth = syncTicksToUs(m_ekts->syncOutPulseWidth());
      s.offset = static_cast<int32_t>(syncTicksToUs(m_ekts->syncOutOffset()));
      s.polarity = (mode & 0x10) != 0 ? 1 : 2;
      break;
    default:
      break;
  }
  s.skipFactor = m_ekts->syncOutSkipFactor();
  return s;
}

std::vector<ZtSyncSetting> KtDevice::syncSettings() const {
  std::vector<ZtSyncSetting> list;
  if (m_ekts->syncInMode() != 0) list.push_back(syncInSettings());
  if (m_ekts->syncOutMode() != 0) list.push_back(syncOutSettings());
  return list;
}

KtDevice::KtSyncSettings KtDevice::syncSettingsToKtSyncSettings(const std::vector<ZtSyncSetting>& settings) {
  KtSyncSettings kt;
  for (const ZtSyncSetting& s : settings) {
    if (isSyncInFunction(s.function)) {
      if (s.polarity >= 1 && s.polarity <= 3) kt.syncInMode = static_cast<uint16_t>(s.polarity);
      if (s.function == 8) kt.syncInMode |= 0x04;
      if (s.function == 9) kt.syncInMode |= 0x10;
      kt.syncInSkipFactor = s.skipFactor;
      kt.syncInOffset = usToSyncTicks(s.offset);
    } else if (s.function == kSyncOutFunction) {
      uint16_t mode = kt.syncOutMode;
      if (s.polarity == 1) mode = 0x10;
      if (s.polarity == 2) mode = 0;
      mode |= s.polarity == 3 ? 0x01 : 0x02;
      kt.syncOutMode = mode;
      kt.syncOutSkipFactor = s.skipFactor;
      kt.syncOutOffset = usToSyncTicks(s.offset);
      kt.syncOutPulseWidth = usToSyncTicks(s.pulseWidth);
    }
  }
  return kt;
}

void KtDevice::clearSyncSettings() {
  m_ekts->setSyncInMode(0);
  m_ekts->setSyncInSkipFactor(0);
  m_ekts->setSyncInOffset(0);
  m_ekts->setSyncOutMode(0);
  m_ekts->setSyncOutSkipFactor(0);
  m_ekts->setSyncOutOffset(0);
  m_ekts->setSyncOutPulseWidth(0);
}

bool KtDevice::setSyncSettings(const std::vector<ZtSyncSetting>& settings) {
  if (settings.size() > 2) return false;
  // A time the device cannot hold in 32 bits of ticks (negative, or above about 145.6 s) would
  // be sent as another time: refused before anything is cleared or sent.
  for (const ZtSyncSetting& s : settings) {
    if ((isSyncInFunction(s.function) || s.function == kSyncOutFunction) && !isSyncTimeRepresentable(s.offset))
      return false;
    if (s.function == kSyncOutFunction && !isSyncTimeRepresentable(s.pulseWidth)) return false;
  }
  clearSyncSettings();
  const KtSyncSettings kt = syncSettingsToKtSyncSettings(settings);
  if (!communicator()) return false;

  struct Step {
    uint8_t requestId;
    uint8_t parameter;
    int width;  // 2 or 4 bytes
    uint32_t value;
    void (EktsManager::*store16)(unsigned short);
    void (EktsManager::*store32)(unsigned int);
  };
  const Step steps[] = {
      {kSetSyncIn, 0, 2, kt.syncInMode, &EktsManager::setSyncInMode, nullptr},
      {kSetSyncIn, 1, 2, kt.syncInSkipFactor, &EktsManager::setSyncInSkipFactor, nullptr},
      {kSetSyncIn, 2, 4, kt.syncInOffset, nullptr, &EktsManager::setSyncInOffset},
      {kSetSyncOut, 0, 2, kt.syncOutMode, &EktsManager::setSyncOutMode, nullptr},
      {kSetSyncOut, 1, 2, kt.syncOutSkipFactor, &EktsManager::setSyncOutSkipFactor, nullptr},
      {kSetSyncOut, 2, 4, kt.syncOutOffset, nullptr, &EktsManager::setSyncOutOffset},
      {kSetSyncOut, 3, 4, kt.syncOutPulseWidth, nullptr, &EktsManager::setSyncOutPulseWidth},
  };
  for (const Step& step : steps) {
    std::vector<uint8_t> payload{step.parameter};
    if (step.width == 2)
      putU16(payload, static_cast<uint16_t>(step.value));
    else
      putU32(payload, step.value);
    if (!exchangeRequest(step.requestId, payload, kAckTimeoutMs)) return false;
    if (step.store16)
      (m_ekts->*step.store16)(static_cast<uint16_t>(step.value));
    else
      (m_ekts->*step.store32)(step.value);
  }
  return true;
}

// ---- Sensor ranges -----------------------------------------------------------------------------------

std::string KtDevice::findHardwareType(const std::string& productCode) {
  if (productCode.find("KT") == std::string::npos) return std::string();
  const size_t a = productCode.find('A');
  // Any later 'A' has a 'G' after it only if the first one has.
  if (a == std::string::npos || productCode.find('G', a + 1) == std::string::npos) return std::string();
  return productCode.substr(a);
}

namespace {

double accelerometerTable(const std::string& productCode, bool actual) {
  static const double kRanges[8] = {100, 20, 17, 10000, 50, 60, 160, 180};
  (void)actual;  // the nominal and the actual accelerometer ranges agree
  const std::string type = KtDevice::findHardwareType(productCode);
  if (type.size() < 2 || type[1] < '1' || type[1] > '8') return kNoRange;
  return kRanges[type[1] - '1'];
}

double gyroscopeTable(const std::string& productCode, bool actual) {
  static const double kNominal[10] = {1000, 150, 1200, 300, 450, 2500, 10000, 10000, 10000, 900};
  static const double kActual[10] = {1000, 180, 1700, 420, 450, 2500, 10000, 10000, 10000, 1080};
  const std::string type = KtDevice::findHardwareType(productCode);
  if (type.empty()) return kNoRange;
  const size_t g = type.find('G', 1);
  if (g == std::string::npos || g + 1 >= type.size() || type[g + 1] < '0' || type[g + 1] > '9') return kNoRange;
  return (actual ? kActual : kNominal)[type[g + 1] - '0'];
}

}  // namespace

double KtDevice::accelerometerRange(const std::string& productCode) { return accelerometerTable(productCode, false); }
double KtDevice::actualAccelerometerRange(const std::string& productCode) {
  return accelerometerTable(productCode, true);
}
double KtDevice::gyroscopeRange(const std::string& productCode) { return gyroscopeTable(productCode, false); }
double KtDevice::actualGyroscopeRange(const std::string& productCode) { return gyroscopeTable(productCode, true); }

// ---- Per-packet processing ---------------------------------------------------------------------------

namespace {

// Hamilton product, scalar first.
ZtQuaternion quatMul(const ZtQuaternion& a, const ZtQuaternion& b) {
  return ZtQuaternion{a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z, a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
                      a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x, a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

ZtQuaternion conjugate(const ZtQuaternion& q) { return ZtQuaternion{q.w, -q.x, -q.y, -q.z}; }

// R(q), the full quadratic form, row-major.
void rotationMatrix(const ZtQuaternion& q, double r[9]) {
  const double w = q.w, x = q.x, y = q.y, z = q.z;
  r[0] = w * w + x * x - y * y - z * z;
  r[1] = 2 * (x * y - w * z);
  r[2] = 2 * (x * z + w * y);
  r[3] = 2 * (x * y + w * z);
  r[4] = w * w - x * x + y * y - z * z;
  r[5] = 2 * (y * z - w * x);
  r[6] = 2 * (x * z - w * y);
  r[7] = 2 * (y * z + w * x);
  r[8] = w * w - x * x - y * y + z * z;
}

// r v, r row-major (R(q) of a quaternion taken once for the vectors it turns).
void rotate(const double r[9], double v[3]) {
  const double a = v[0], b = v[1], c = v[2];
  for (int i = 0; i < 3; ++i) v[i] = r[3 * i] * a + r[3 * i + 1] * b + r[3 * i + 2] * c;
}

// Below this length a cross product of unit axes means the axes are parallel to rounding: the
// direction it would give is noise, so the reset is refused instead.
constexpr double kParallelAxes = 1e-9;

double length(const double v[3]) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

void cross(const double a[3], const double b[3], double out[3]) {
  out[0] = a[1] * b[2] - a[2] * b[1];
  out[1] = a[2] * b[0] - a[0] * b[2];
  out[2] = a[0] * b[1] - a[1] * b[0];
}

// Unit length; a vector shorter than 1e-16 becomes zero. False for the zero result.
bool normalise(double v[3]) {
  const double n = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  if (!(n >= 1e-16)) {
    v[0] = v[1] = v[2] = 0.0;
    return false;
  }
  for (int i = 0; i < 3; ++i) v[i] /= n;
  return true;
}

ZtQuaternion quatOfMatrix(const double m[9]) {
  zelto::Matrix3x3 matrix;
  for (int i = 0; i < 9; ++i) matrix(i / 3, i % 3) = m[i];
  zelto::Quaternion q;
  q.isRmat(matrix);
  return q;
}

// The inverse of a 3x3 matrix by its adjugate. A determinant that is zero or not finite throws:
// the sample cannot be calibrated.
void invert3x3(const double m[9], double out[9]) {
  const double c00 = m[4] * m[8] - m[5] * m[7];
  const double c01 = m[5] * m[6] - m[3] * m[8];
  const double c02 = m[3] * m[7] - m[4] * m[6];
  const double det = m[0] * c00 + m[1] * c01 + m[2] * c02;
  if (det == 0.0 || !std::isfinite(det)) throw ZtException(ZRV_INVALIDPARAM, "calibration gain matrix is singular");
  const double k = 1.0 / det;
  out[0] = c00 * k;
  out[1] = (m[2] * m[7] - m[1] * m[8]) * k;
  out[2] = (m[1] * m[5] - m[2] * m[4]) * k;
  out[3] = c01 * k;
  out[4] = (m[0] * m[8] - m[2] * m[6]) * k;
  out[5] = (m[2] * m[3] - m[0] * m[5]) * k;
  out[6] = c02 * k;
  out[7] = (m[1] * m[6] - m[0] * m[7]) * k;
  out[8] = (m[0] * m[4] - m[1] * m[3]) * k;
}

// calibrated = inverse(gain with its diagonal scaled) x (counts - offset).
void calibrateSensor(const uint16_t counts[3], const double gain[9], const double diagonalScale[3],
                     const double offset[3], double out[3]) {
  double g[9];
  for (int i = 0; i < 9; ++i) g[i] = gain[i];
  for (int i = 0; i < 3; ++i) g[4 * i] *= diagonalScale[i];
  double inverse[9];
  invert3x3(g, inverse);
  double d[3];
  for (int i = 0; i < 3; ++i) d[i] = static_cast<double>(counts[i]) - offset[i];
  for (int i = 0; i < 3; ++i) out[i] = inverse[3 * i] * d[0] + inverse[3 * i + 1] * d[1] + inverse[3 * i + 2] * d[2];
}

constexpr ZtQuaternion kQx180{0.0, 1.0, 0.0, 0.0};
constexpr uint32_t kUpsideDownBit = 0x80000000u;

enum ProcessingFault { kCalibrationFault, kStrapdownFault, kFilterFault, kInverseSdiFault };
const char* const kFaultNames[] = {"calibration", "strapdown integration", "host filter", "inverse strapdown"};

}  // namespace

bool KtDevice::calibrateData(const ZtScrData& raw, const CalibrationInfo* info, ZtCalibratedData& out) {
  if (!info) return false;
  const double t = static_cast<int16_t>(raw.temp[0]) * 0.00390625 - 35.0;
  double offAcc[3], offGyr[3], offMag[3], scaleAcc[3], scaleGyr[3], scaleMag[3];
  for (int i = 0; i < 3; ++i) {
    offAcc[i] = info->offsetAcc[i] + info->tempLinOffsetAcc[i] * t;
    offGyr[i] = info->offsetGyr[i] + info->tempLinOffsetGyr[i] * t + info->tempQuadOffsetGyr[i] * t * t;
    offMag[i] = info->offsetMag[i] + info->tempLinOffsetMag[i] * t;
    scaleAcc[i] = 1.0 + info->tempLinGainAcc[i] * t;
    scaleGyr[i] = 1.0 + (info->tempQuadGainGyr[i] * t + info->tempLinGainGyr[i]) * t;
    scaleMag[i] = 1.0 + info->tempLinGainMag[i] * t;
  }
  calibrateSensor(raw.acc, info->gainAcc, scaleAcc, offAcc, out.acc);
  calibrateSensor(raw.gyr, info->gainGyr, scaleGyr, offGyr, out.gyr);
  calibrateSensor(raw.mag, info->gainMag, scaleMag, offMag, out.mag);
  const double* d = info->gyrOffsetAccDependency;
  double correction[3];
  for (int i = 0; i < 3; ++i) correction[i] = d[3 * i] * out.acc[0] + d[3 * i + 1] * out.acc[1] + d[3 * i + 2] * out.acc[2];
  for (int i = 0; i < 3; ++i) out.gyr[i] -= correction[i];
  return true;
}

bool KtDevice::initializeSoftwareCalibration() {
  if (m_calibrationInfo) return true;
  auto* info = new CalibrationInfo();
  info->readFrom(*m_ekts);
  m_calibrationInfo = info;
  return true;
}

void KtDevice::deinitializeSoftwareCalibration() {
  delete m_calibrationInfo;
  m_calibrationInfo = nullptr;
}

double KtDevice::sdiPeriod() const {
  const double set = m_sdiPeriod.load();
  if (set > 0.0) return set;
  // One strapdown item spans one sample of the update rate.
  const int rate = updateRate();
  return rate > 0 ? 1.0 / rate : 1.0;
}

bool KtDevice::performCalibration(ZtDataPacket& packet) {
  const CalibrationInfo* info = m_calibrationInfo;
  if (!info) return false;
  const PacketItems items(packet);
  if (!items.has(PacketItems::kRaw) || items.has(PacketItems::kAcceleration) ||
      items.has(PacketItems::kRateOfTurn) || items.has(PacketItems::kMagneticField))
    return false;
  ZtScrData raw;
  items.rawData(raw);
  ZtCalibratedData calibrated;
  if (!calibrateData(raw, info, calibrated)) return false;
  ZtQuaternion inverseAlignment;
  {
    std::lock_guard<std::mutex> lock(m_orientationLock);
    inverseAlignment = conjugate(m_internalObjectAlignment);
  }
  double r[9];
  rotationMatrix(inverseAlignment, r);
  rotate(r, calibrated.acc);
  rotate(r, calibrated.gyr);
  rotate(r, calibrated.mag);
  return ZtDataPacket_setCalibratedData(&packet, &calibrated) != 0;
}

void KtDevice::performSdiCalculation(ZtDataPacket& packet) {
  const PacketItems items(packet);
  if (items.has(PacketItems::kDeltaQ) && items.has(PacketItems::kDeltaV)) {
    // A recording holds the processed packets: one that carries increments ended a window when
    // it was recorded, so a replay's window starts over after it and keeps the recording's phase
    // (otherwise it would end on other packets, each missing one sample).
    if (m_hostSdiEnabled.load() && isReadingFromFile()) {
      std::lock_guard<std::mutex> lock(m_orientationLock);
      m_sdiWindow.restart();
    }
    return;
  }
  if (!m_hostSdiEnabled.load() || !items.has(PacketItems::kAcceleration) || !items.has(PacketItems::kRateOfTurn)) return;
  zelto::Vector3 acc, gyr;
  items.values(PacketItems::kAcceleration, acc.data, 3);
  items.values(PacketItems::kRateOfTurn, gyr.data, 3);
  const double period = sdiPeriod();
  ZtSdiData sdi;
  bool complete;
  {
    std::lock_guard<std::mutex> lock(m_orientationLock);
    double r[9];
    rotationMatrix(m_internalObjectAlignment, r);
    rotate(r, acc.data);
    rotate(r, gyr.data);
    zelto::SdiData increment;
    zelto::sdiDelta(acc, gyr, increment.m_dq, increment.m_dv, period);
    increment.m_duration = period;
    complete = m_sdiWindow.add(increment);
    if (complete) {
      sdi.orientationIncrement = m_sdiWindow.m_dq;
      for (int i = 0; i < 3; ++i) sdi.velocityIncrement[i] = m_sdiWindow.m_dv.data[i];
    }
  }
  if (complete) {
    ZtDataPacket_setSdiData(&packet, &sdi);
  } else if (items.hasStatus()) {
    setStatusInPacket(packet, items.status());
  }
}

void KtDevice::performInverseSdi(ZtDataPacket& packet) {
  const PacketItems items(packet);
  if (!items.has(PacketItems::kDeltaQ) || !items.has(PacketItems::kDeltaV) || items.has(PacketItems::kAcceleration) ||
      items.has(PacketItems::kRateOfTurn))
    return;
  const double rate = updateRateForDataIdentifier(0x8030);
  double dt = 1.0 / rate;
  if (items.has(PacketItems::kFrameRange)) {
    ZtRange range;
    items.frameRange(range);
    // Frame counters are 16 bits and wrap: the count is taken modulo 65536.
    const uint32_t count = static_cast<uint32_t>(static_cast<int64_t>(range.last) - range.first + 1) & 0xFFFFu;
    dt = (static_cast<double>(count) - 1.0) / rate;
  }
  // One frame, a zero rate or a count across a lost wrap give no interval to rebuild rates over.
  if (!std::isfinite(dt) || !(dt > 0.0)) return;
  ZtSdiData sdi;
  double dq[4];
  items.values(PacketItems::kDeltaQ, dq, 4);
  sdi.orientationIncrement = ZtQuaternion{dq[0], dq[1], dq[2], dq[3]};
  items.values(PacketItems::kDeltaV, sdi.velocityIncrement, 3);
  zelto::Vector3 dv(sdi.velocityIncrement[0], sdi.velocityIncrement[1], sdi.velocityIncrement[2]);
  zelto::Vector3 acc, gyr;
  zelto::inverseSdi(acc, gyr, sdi.orientationIncrement, dv, dt);
  ZtDataPacket_setCalibratedAcceleration(&packet, &acc);
  ZtDataPacket_setCalibratedRateOfTurn(&packet, &gyr);
}

void KtDevice::doProcessing(ZtDataPacket& packet) {
  if (packet.deviceId != deviceId()) {
    ZtDevice::doProcessing(packet);
    return;
  }
  // Each step on its own: a step that throws (a singular gain, a filter fault) loses only its own
  // result; the packet is still delivered.
  auto guarded = [this](ProcessingFault kind, auto&& step) {
    try {
      step();
    } catch (const std::exception& e) {
      if (!m_faultJournalled[kind].exchange(true))
        JLOG_ERROR("device " << std::hex << deviceId() << std::dec << ": " << kFaultNames[kind]
                             << " failed, packet delivered without it: " << e.what());
    }
  };
  // Calibrated data written here stay in the packet (no later step removes them), so there is
  // nothing to rebuild from increments.
  bool calibrated = false;
  if (m_softwareCalibrationEnabled) guarded(kCalibrationFault, [&] { calibrated = performCalibration(packet); });
  guarded(kStrapdownFault, [&] { performSdiCalculation(packet); });
  if (isSoftwareFilteringEnabled() && !hasDataEnabled(0x2000) &&
      (!ZtDataPacket_containsOrientation(&packet) || isReadingFromFile()))
    guarded(kFilterFault, [&] {
      std::lock_guard<std::recursive_mutex> filterLock(m_filterLock);
      performFiltering(packet);
    });
  if (m_softwareCalibrationEnabled && !calibrated) guarded(kInverseSdiFault, [&] { performInverseSdi(packet); });
  insertPacketInCaches(packet);
}

// ---- Orientation resets -----------------------------------------------------------------------------

bool KtDevice::canDoOrientationResetInFirmware(ZtResetMethod method) const {
  const int m = static_cast<int>(method);
  if (m == 5 || m == 6 || m == 7) return true;
  if (m == ZRM_None) return false;
  return (isInLegacyMode() && (outputMode() & 0x0004) != 0) || updateRateForDataIdentifier(0x2000) > 0;
}

bool KtDevice::storeAlignmentMatrix() {
  if (!ZtDevice::scheduleOrientationReset(ZRM_StoreAlignment)) return false;
  const bool computesOrientation = (outputMode() & 0x0004) != 0 || updateRateForDataIdentifier(0x2000) > 0;
  if (computesOrientation) {
    updateObjectAlignmentMatrix();
    updateHeadingOffset();
    return true;
  }
  zelto::Matrix3x3 alignment;
  {
    std::lock_guard<std::mutex> lock(m_orientationLock);
    alignment.isQuat(m_internalObjectAlignment);
  }
  if (!setObjectAlignment(alignment)) return false;
  return setHeadingOffset(headingOffset());
}

bool KtDevice::scheduleOrientationReset(ZtResetMethod method) {
  switch (deviceState()) {
    case ZDS_Config: {
      if (method != ZRM_StoreAlignment) return false;
      if (!canDoOrientationResetInFirmware(ZRM_StoreAlignment)) return true;
      const bool stored = storeAlignmentMatrix();
      if (stored) reinitialize();
      return stored;
    }
    case ZDS_Measurement:
    case ZDS_Recording:
      if (method == ZRM_StoreAlignment) return false;
      if (canDoOrientationResetInFirmware(method) && !ZtDevice::scheduleOrientationReset(method)) return false;
      m_resetMethod.store(method);
      return true;
    default:
      return false;
  }
}

bool KtDevice::setHeadingOffset(double offset) {
  std::lock_guard<std::mutex> lock(m_orientationLock);
  m_ekts->setHeadingOffset(offset);
  m_internalHeading = zelto::Quaternion(std::cos(offset / 2), 0.0, 0.0, std::sin(offset / 2));
  return true;
}

bool KtDevice::setObjectAlignment(const ZtMatrix& alignment) {
  if (!alignment.data || alignment.rows < 3 || alignment.cols < 3) return false;
  zelto::Matrix3x3 matrix(alignment);
  std::lock_guard<std::mutex> lock(m_orientationLock);
  if (m_ekts->hasObjectAlignment()) m_ekts->setObjectAlignment(matrix);
  m_internalObjectAlignment.isRmat(matrix);
  return true;
}

bool KtDevice::recalcObject(ZtQuaternion& out, ZtQuaternion q) {
  double r[9];
  rotationMatrix(q, r);
  const double z[3] = {r[6], r[7], r[8]};
  const double xAxis[3] = {1.0, 0.0, 0.0};
  double y[3], x[3];
  cross(z, xAxis, y);
  if (length(y) < kParallelAxes || !normalise(y)) return false;
  cross(y, z, x);
  if (!normalise(x)) return false;
  const double m[9] = {x[0], y[0], z[0], x[1], y[1], z[1], x[2], y[2], z[2]};
  zelto::Quaternion result(quatOfMatrix(m));
  result.isNormalizeSelf();
  out = result;
  return true;
}

bool KtDevice::recalcHeading(ZtQuaternion& out, ZtQuaternion q) {
  double r[9];
  rotationMatrix(conjugate(q), r);
  const double x0[3] = {r[0], r[1], r[2]};
  const double up[3] = {0.0, 0.0, 1.0};
  double y[3], w[3];
  cross(up, x0, y);
  if (length(y) < kParallelAxes || !normalise(y)) return false;
  cross(y, up, w);
  if (!normalise(w)) return false;
  const double m[9] = {w[0], w[1], w[2], y[0], y[1], y[2], 0.0, 0.0, 1.0};
  out = quatOfMatrix(m);
  return true;
}

ZtQuaternion KtDevice::doOrientationResets(const ZtQuaternion& q) {
  // Taken and cleared at once: a reset scheduled meanwhile stays pending for the next packet.
  // Nearly every packet finds none pending: a plain load then, no write to the shared line.
  const int m = m_resetMethod.load() == ZRM_None ? static_cast<int>(ZRM_None)
                                                 : static_cast<int>(m_resetMethod.exchange(ZRM_None));
  const bool upsideDown = (m_ekts->outputSettings() & kUpsideDownBit) != 0;
  bool vertical = false;
  ZtQuaternion result;
  {
    std::lock_guard<std::mutex> lock(m_orientationLock);
    if (m == ZRM_Object || m == ZRM_Alignment) {
      ZtQuaternion n;
      if (recalcObject(n, q)) {
        const ZtQuaternion aligned = upsideDown ? quatMul(kQx180, n) : n;
        m_internalObjectAlignment = zelto::Quaternion(aligned.w, aligned.x, aligned.y, aligned.z);
        if (m_ekts->hasObjectAlignment()) {
          zelto::Matrix3x3 matrix;
          matrix.isQuat(m_internalObjectAlignment);
          m_ekts->setObjectAlignment(matrix);
        }
      } else {
        vertical = true;
      }
    }
    ZtQuaternion c = quatMul(q, m_internalObjectAlignment);
    if (upsideDown) c = quatMul(kQx180, c);
    if (m == ZRM_Heading || m == ZRM_Alignment) {
      ZtQuaternion h;
      if (recalcHeading(h, c)) {
        m_internalHeading = zelto::Quaternion(h.w, h.x, h.y, h.z);
        m_ekts->setHeadingOffset(2.0 * std::asin(std::clamp(h.z, -1.0, 1.0)));
      } else {
        vertical = true;
      }
    }
    result = quatMul(m_internalHeading, c);
  }
  if (vertical)
    JLOG_ALERT("device " << std::hex << deviceId() << std::dec << ": orientation reset " << m
                         << " ignored, the reference axis is vertical");
  return result;
}

// ---- Device record ---------------------------------------------------------------------------

namespace {
constexpr uint8_t kRequestRecord = 0x90;
constexpr uint8_t kRecord = 0x91;
constexpr uint8_t kWholeRecord = 255;
constexpr unsigned kWholeRecordTimeoutMs = 10000;
constexpr unsigned kRecordPageTimeoutMs = 2500;
constexpr size_t kRecordSize = 1320;
constexpr size_t kRecordPageSize = 264;
}  // namespace

bool KtDevice::readEkts() {
  if (!readEktsRecord()) return false;
  gatherUserParams();
  std::lock_guard<std::mutex> lock(m_orientationLock);
  m_internalObjectAlignment = zelto::Quaternion();
  if (m_ekts->hasObjectAlignment()) {
    const zelto::Matrix3x3 alignment = m_ekts->objectAlignment();
    bool zero = true;
    for (int i = 0; i < 9; ++i) zero = zero && alignment(i / 3, i % 3) == 0.0;
    // An all-zero matrix is the identity.
    if (!zero) {
      m_internalObjectAlignment.isRmat(alignment);
      m_internalObjectAlignment.isNormalizeSelf();
    }
  }
  m_internalHeading = zelto::Quaternion();
  if (m_ekts->hasHeadingOffset()) {
    const double offset = m_ekts->headingOffset();
    m_internalHeading = zelto::Quaternion(std::cos(offset / 2), 0.0, 0.0, std::sin(offset / 2));
  }
  return true;
}

bool KtDevice::objectFrameInertial(const PacketItems& items, zelto::Vector3& acc, zelto::Vector3& gyr,
                                   zelto::Vector3& mag) const {
  if (!items.values(PacketItems::kAcceleration, acc.data, 3) || !items.values(PacketItems::kRateOfTurn, gyr.data, 3) ||
      !items.values(PacketItems::kMagneticField, mag.data, 3))
    return false;
  zelto::Matrix3x3 alignment;
  {
    std::lock_guard<std::mutex> lock(m_orientationLock);
    alignment.isQuat(m_internalObjectAlignment);
  }
  for (zelto::Vector3* v : {&acc, &gyr, &mag}) {
    const double a = (*v)[0], b = (*v)[1], c = (*v)[2];
    for (ZtSize i = 0; i < 3; ++i) (*v)[i] = alignment(i, 0) * a + alignment(i, 1) * b + alignment(i, 2) * c;
  }
  return true;
}

void KtDevice::gatherFilterInputs(double sampleRate) {
  gatherUserParams();
  m_userParams.sampleRate = sampleRate;
  if (m_ekts->ktsVersionMajor() < 3) m_userParams.storedLatLongAlt = m_ekts->lastKnownLatLongAlt();
  readHardwareParameters(m_settings);
}

void KtDevice::gatherUserParams() {
  if (const auto* v5 = dynamic_cast<const zelto::Ekts5*>(m_ekts->ekts()))
    m_userParams.readFromDecryptedEktsPages(v5);
  else
    m_userParams.readFromDecryptedEktsPages(m_ekts->ekts());
  if (isReadingFromFile()) {
    int year = 0, month = 0, day = 0;
    const ZtDeviceConfiguration& configuration = deviceConfiguration();
    if (parseDateText(configuration.date, year, month, day) && year > 1999) {
      m_userParams.storedYear = static_cast<uint16_t>(year);
      m_userParams.storedMonth = static_cast<uint8_t>(month);
      m_userParams.storedDay = static_cast<uint8_t>(day);
      return;
    }
    if (m_userParams.storedYear >= 2000) return;
    // The recording's own date, as the file system keeps it.
    const std::time_t fileTime = static_cast<std::time_t>(communicator()->logFileDate() / 1000);
    std::tm utc{};
    if (!gmtime_r(&fileTime, &utc)) return;
    m_userParams.storedYear = static_cast<uint16_t>(utc.tm_year + 1900);
    m_userParams.storedMonth = static_cast<uint8_t>(utc.tm_mon + 1);
    m_userParams.storedDay = static_cast<uint8_t>(utc.tm_mday);
    return;
  }
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (!localtime_r(&now, &local)) return;
  m_userParams.storedYear = static_cast<uint16_t>(local.tm_year + 1900);
  m_userParams.storedMonth = static_cast<uint8_t>(local.tm_mon + 1);
  m_userParams.storedDay = static_cast<uint8_t>(local.tm_mday);
}

bool KtDevice::parseDateText(const char* text, int& year, int& month, int& day) {
  // The text is not terminated: exactly its 8 bytes are looked at, each a digit.
  if (!text) return false;
  int digits[8];
  for (int i = 0; i < 8; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    digits[i] = text[i] - '0';
  }
  year = digits[0] * 1000 + digits[1] * 100 + digits[2] * 10 + digits[3];
  month = digits[4] * 10 + digits[5];
  day = digits[6] * 10 + digits[7];
  return true;
}

bool KtDevice::readEktsRecord() {
  if (!communicator()) return false;
  if (isReadingFromFile()) return readEktsFromLogFile();
  if (!readEktsInParts()) {
    OwnedMessage reply;
    if (!exchangeRequest(kRequestRecord, {0, kWholeRecord}, kWholeRecordTimeoutMs, &reply.m)) return false;
    const uint8_t* data = ZtMessage_constData(&reply.m);
    return data && m_ekts->initializeFromBuffer(data, static_cast<int>(ZtMessage_dataSize(&reply.m)), true);
  }
  uint8_t buffer[kRecordSize] = {};
  size_t pages = 4;
  for (size_t page = 0; page < pages; ++page) {
    OwnedMessage reply;
    if (!exchangeRequest(kRequestRecord, {0, static_cast<uint8_t>(page)}, kRecordPageTimeoutMs, &reply.m)) return false;
    // A page shorter than its 264 bytes would leave the rest of it zero: the read fails instead.
    const uint8_t* data = ZtMessage_constData(&reply.m);
    if (!data || ZtMessage_dataSize(&reply.m) < kRecordPageSize) return false;
    std::memcpy(buffer + page * kRecordPageSize, data, kRecordPageSize);
    if (page == 0) {
      // The record version is byte 29 of the unscrambled page; it tells whether page 5 exists.
      uint8_t head[30];
      EktsManager::codeEkts(buffer, head, sizeof head, 0);
      EktsManager probe;
      if (!probe.initialize(head[29])) return false;
      if (probe.hasPage5()) pages = 5;
    }
  }
  return m_ekts->initializeFromBuffer(buffer, static_cast<int>(pages * kRecordPageSize), true);
}

bool KtDevice::readEktsFromLogFile() {
  constexpr int kMaxRecordMessages = 198;
  constexpr size_t kRecordWithoutPage5 = 1056;
  MessageList messages;
  communicator()->readMessagesFromStartOfFile(messages, kRecord, kMaxRecordMessages);
  const uint8_t ownBus = static_cast<uint8_t>(busId());
  uint8_t buffer[kRecordSize] = {};
  size_t p = 0;
  bool page5 = true;
  for (size_t m = 0; m < messages.size(); ++m) {
    const ZtMessage& message = messages[m];
    if (ZtMessage_getMessageId(&message) != kRecord || ZtMessage_getBusId(&message) != ownBus) continue;
    const uint8_t* data = ZtMessage_constData(&message);
    const size_t size = ZtMessage_dataSize(&message);
    if (!data) continue;
    if (size != 66 && size != kRecordPageSize) {
      // The whole record in one message.
      if (m_ekts->initializeFromBuffer(data, static_cast<int>(size), true)) return true;
      continue;
    }
    // A part that does not fit behind the ones so far starts a new record.
    if (p + size > kRecordSize) p = 0;
    if (p == 0) {
      uint8_t head[30];
      EktsManager::codeEkts(data, head, sizeof head, 0);
      EktsManager probe;
      if (!probe.initialize(head[29])) continue;
      page5 = probe.hasPage5();
    }
    std::memcpy(buffer + p, data, size);
    p += size;
    if (p >= kRecordWithoutPage5 && (!page5 || p >= kRecordSize)) {
      if (m_ekts->initializeFromBuffer(buffer, static_cast<int>(p), true)) return true;
      p = 0;
    }
  }
  // The messages ran out with the first four pages: a record without its fifth.
  return p >= kRecordWithoutPage5 && m_ekts->initializeFromBuffer(buffer, static_cast<int>(p), true);
}

void KtDevice::fetchEkts(ZtMessage& out) const {
  uint8_t record[kRecordSize] = {};
  m_ekts->getEncryptedEktsData(record);
  ZtMessage_assignSized(&out, kRecordSize);
  ZtMessage_setMessageId(&out, kRecord);
  ZtMessage_setBusId(&out, static_cast<uint8_t>(busId()));
  ZtMessage_setDataBuffer(&out, record, kRecordSize, 0);
  ZtMessage_recomputeChecksum(&out);
}

void KtDevice::writeDeviceSettingsToFile() {
  ZtDevice::writeDeviceSettingsToFile();
  // Into the recording (the master's recording link), with the application's consent.
  OwnedMessage record;
  fetchEkts(record.m);
  writeMessageToLogFile(record.m);
}

bool KtDevice::sendCustomMessage(const ZtMessage& message, bool waitForResult, ZtMessage& reply, int timeoutMs) {
  // A request for the whole record is answered from the held record, without the device.
  if (ZtMessage_getMessageId(&message) == kRequestRecord && ZtMessage_dataSize(&message) == 2 &&
      ZtMessage_getDataByte(&message, 1) == kWholeRecord) {
    fetchEkts(reply);
    return ZtMessage_isChecksumOk(&reply) != 0;
  }
  return ZtDevice::sendCustomMessage(message, waitForResult, reply, timeoutMs);
}

bool KtDevice::resetLogFileReadPosition() {
  if (!ZtDevice::resetLogFileReadPosition()) return false;
  resetSoftwareFilter(initialState());
  return true;
}

// ---- Onboard filter profiles ------------------------------------------------------------------------

namespace {
constexpr uint8_t kRequestProfiles = 0x62;
constexpr uint8_t kSetCurrentProfile = 0x64;
constexpr size_t kProfileEntrySize = 22;
constexpr size_t kProfileLabelSize = 20;
}  // namespace

std::vector<ZtFilterProfile> KtDevice::readFilterProfilesFromDevice() {
  std::vector<ZtFilterProfile> profiles;
  OwnedMessage reply;
  if (!exchangeRequest(kRequestProfiles, {}, kAckTimeoutMs, &reply.m)) return profiles;
  const uint8_t* data = ZtMessage_constData(&reply.m);
  // Whole entries only: a tail shorter than an entry is no profile.
  const size_t count = data ? ZtMessage_dataSize(&reply.m) / kProfileEntrySize : 0;
  const ZtDeviceConfigurationDevice& entry = configurationEntry();
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* e = data + i * kProfileEntrySize;
    ZtFilterProfile profile{};
    profile.type = e[0];
    profile.version = e[1];
    copyProfileLabel(profile.label, reinterpret_cast<const char*>(e + 2), kProfileLabelSize);
    profile.filterType = static_cast<char>(entry.filterType);
    profile.filterMajor = entry.filterMajor;
    profile.filterMinor = entry.filterMinor;
    profiles.push_back(profile);
  }
  return profiles;
}

void KtDevice::fetchAvailableHardwareScenarios() {
  std::vector<ZtFilterProfile> profiles = readFilterProfilesFromDevice();
  std::stable_sort(profiles.begin(), profiles.end(),
                   [](const ZtFilterProfile& a, const ZtFilterProfile& b) { return a.type < b.type; });
  m_onboardProfiles = std::move(profiles);
}

std::vector<ZtFilterProfile> KtDevice::availableOnboardFilterProfiles() const { return m_onboardProfiles; }
ZtFilterProfile KtDevice::onboardFilterProfile() const { return m_currentOnboardProfile; }

bool KtDevice::setOnboardFilterProfile(int profileType) {
  for (const ZtFilterProfile& p : m_onboardProfiles)
    if (p.type == profileType) return setOnboardFilterProfile(p);
  return false;
}

bool KtDevice::setOnboardFilterProfile(const ZtFilterProfile& profile) {
  if (deviceState() != ZDS_Config || !communicator()) return false;
  const ZtFilterProfile* listed = nullptr;
  for (const ZtFilterProfile& p : m_onboardProfiles) {
    if (p.type == profile.type) {
      listed = &p;
      break;
    }
  }
  if (!listed) return false;
  std::vector<uint8_t> payload;
  putU16(payload, profile.type);
  if (!exchangeRequest(kSetCurrentProfile, payload, kAckTimeoutMs)) return false;
  if (m_ekts->hasZkfScenario()) m_ekts->setZkfScenario(profile.type);
  m_currentOnboardProfile = *listed;
  return true;
}

// ---- Initialisation -----------------------------------------------------------------------------

bool KtDevice::initialize(const zelto::SettingsFile& settings) {
  try {
    if (!ZtDevice::initialize(settings)) return false;
    createDataCache();
    if (!readDeviceConfiguration() || !readEkts()) {
      m_isInitialized = false;
      return false;
    }
    tuneDataCacheSize();
    initializeSoftwareCalibration();
    fetchAvailableHardwareScenarios();
    loadFilterProfiles(settings);
    readHardwareParameters(settings);
    updateScenarios();
    readInitialFilterState();
    initializeFilterLocked();
    return true;
  } catch (const ZtDeviceConfigurationException& e) {
    m_isInitialized = false;
    JLOG_ERROR("device " << std::hex << deviceId() << std::dec << ": initialisation stopped: " << e.what());
    return false;
  }
}

bool KtDevice::reinitialize() {
  try {
    if (!readDeviceConfiguration() || !readEkts()) return false;
    createDataCache();
    initializeSoftwareCalibration();
    fetchAvailableHardwareScenarios();
    updateScenarios();
    initializeFilterLocked();
    return true;
  } catch (const ZtDeviceConfigurationException& e) {
    JLOG_ERROR("device " << std::hex << deviceId() << std::dec << ": reinitialisation stopped: " << e.what());
    return false;
  }
}

bool KtDevice::initializeFilterLocked() {
  // A packet being filtered finishes with the old filter; the next one meets the new one.
  std::lock_guard<std::recursive_mutex> lock(m_filterLock);
  return initializeFilter();
}

bool KtDevice::reset() { return ZtDevice::reset() && reinitialize(); }
bool KtDevice::restoreFactoryDefaults() { return ZtDevice::restoreFactoryDefaults() && reinitialize(); }

bool KtDevice::readHardwareParameters(const zelto::SettingsFile& settings) {
  if (readHardwareParamsFromFile(settings)) return true;
  return readHardwareParamsFromEkts();
}

bool KtDevice::readHardwareParamsFromEkts() {
  if (m_ekts->ktsVersionMajor() < 3 || !m_ekts->hasPage5()) return false;
  hardwareParameters().readFromDecryptedEktsPages(m_ekts->ekts());
  return true;
}

// ---- Host filter profiles -----------------------------------------------------------------------

bool KtDevice::CompareZtFilterProfile::operator()(const ExtendedScenario* a, const ExtendedScenario* b) const {
  return a->profile().type < b->profile().type;
}

void KtDevice::copyProfileLabel(char (&label)[21], const char* text, size_t size) {
  size_t n = 0;
  while (text && n < 20 && n < size && text[n] != 0 && text[n] != ' ') ++n;
  if (n) std::memcpy(label, text, n);
  label[n] = 0;
}

const ExtendedScenario* KtDevice::findScenario(const std::vector<ExtendedScenario*>& list, int type) {
  for (const ExtendedScenario* s : list)
    if (s->profile().type == type) return s;
  return nullptr;
}

const ZtFilterProfile* KtDevice::findProfile(const std::vector<ZtFilterProfile>& list, int type) {
  for (const ZtFilterProfile& p : list)
    if (p.type == type) return &p;
  return nullptr;
}

bool KtDevice::loadFilterProfiles(const zelto::SettingsFile& settings) {
  for (ExtendedScenario* scenario : m_hostScenarios) delete scenario;
  m_hostScenarios.clear();
  const std::string listKey = m_scenariosPrefix + ".scenarios";
  zelto::Variant listValue;
  if (settings.getSetting(listKey.c_str(), "", listValue) != ZRV_OK || listValue.kind() != zelto::Variant::KindLabelList)
    return false;
  const zelto::LabelList labels = listValue.toLabelList();
  for (uint32_t i = 0; i < labels.size(); ++i) {
    const std::string prefix = std::string(labels[i].c_str()) + ".";
    auto scenario = std::make_unique<ExtendedScenario>();
    try {
      zelto::Variant value;
      auto required = [&](const char* key) {
        if (settings.getSetting(prefix.c_str(), key, value) != ZRV_OK)
          throw ZtException(ZRV_INVALIDPARAM, prefix + key);
        return value;
      };
      ZtFilterProfile& profile = scenario->profile();
      const std::string label = required("gp.scenario").toStdString();
      copyProfileLabel(profile.label, label.c_str(), label.size());
      profile.type = static_cast<uint8_t>(required("gp.type").toUint32());
      profile.version = static_cast<uint8_t>(required("gp.version").toUint32());
      // At most 16 characters of version text are looked at.
      const std::string version = required("gp.filterVersion").toStdString().substr(0, 16);
      unsigned char major, minor, revision;
      if (!stringToVersion(version.c_str(), major, minor, revision))
        throw ZtException(ZRV_INVALIDPARAM, prefix + "gp.filterVersion");
      profile.filterMajor = major;
      profile.filterMinor = minor;
      const std::string filter = required("gp.filter").toStdString();
      profile.filterType = FilterTypeVersion::typeOfName(filter.c_str());
      loadScenario(scenario.get(), settings, prefix, filter);
    } catch (const ZtException& e) {
      JLOG_ALERT("device " << std::hex << deviceId() << std::dec << ": scenario " << labels[i].c_str()
                           << " skipped: " << e.what());
      continue;
    }
    m_hostScenarios.push_back(scenario.release());
  }
  std::stable_sort(m_hostScenarios.begin(), m_hostScenarios.end(), CompareZtFilterProfile());
  return !m_hostScenarios.empty();
}

std::vector<ZtFilterProfile> KtDevice::availableZdaFilterProfiles() const {
  std::vector<ZtFilterProfile> profiles;
  profiles.reserve(m_hostScenarios.size());
  for (const ExtendedScenario* s : m_hostScenarios) profiles.push_back(s->profile());
  return profiles;
}

ZtFilterProfile KtDevice::zdaFilterProfile() const { return m_currentHostProfile; }

bool KtDevice::setZdaFilterProfile(const ExtendedScenario& scenario) {
  if (scenario.profile().type == m_currentHostProfile.type) return true;
  m_currentHostProfile = scenario.profile();
  // A state of another profile's filter does not fit the new one.
  const zelto::SettingsFile empty;
  setInitialState(empty);
  return isSoftwareFilteringEnabled() ? initializeFilterLocked() : true;
}

bool KtDevice::setZdaFilterProfile(int profileType) {
  const ExtendedScenario* scenario = findScenario(m_hostScenarios, profileType);
  return scenario && setZdaFilterProfile(*scenario);
}

bool KtDevice::updateScenarios() {
  const ZtDeviceConfigurationDevice& entry = configurationEntry();
  ZtFilterProfile onboard{};
  if (entry.currentScenario == 0) {
    onboard.type = m_ekts->zkfScenarioType();
    onboard.version = m_ekts->zkfScenarioVersion();
  } else {
    onboard.type = static_cast<uint8_t>(entry.currentScenario & 0xFF);
    onboard.version = static_cast<uint8_t>(entry.currentScenario >> 8);
  }
  onboard.filterType = static_cast<char>(entry.filterType);
  onboard.filterMajor = entry.filterMajor;
  onboard.filterMinor = entry.filterMinor;
  if (const ZtFilterProfile* listed = findProfile(m_onboardProfiles, onboard.type))
    std::memcpy(onboard.label, listed->label, sizeof onboard.label);
  m_currentOnboardProfile = onboard;

  if (m_currentHostProfile.type != 0) return true;
  if (const ExtendedScenario* same = findScenario(m_hostScenarios, onboard.type)) setZdaFilterProfile(*same);
  if (m_currentHostProfile.type == 0 && !m_hostScenarios.empty()) {
    const zelto::NonIntrusiveSharedPointer<ZtZkfFilter> filter = zkfFilter();
    if (filter) {
      const char type = filter->type();
      for (const ExtendedScenario* s : m_hostScenarios) {
        if (s->profile().filterType == type) {
          m_currentHostProfile = s->profile();
          break;
        }
      }
    } else {
      m_currentHostProfile = m_hostScenarios.front()->profile();
    }
  }
  if (m_currentHostProfile.type == 0 && !m_hostScenarios.empty()) setZdaFilterProfile(*m_hostScenarios.front());
  return true;
}

namespace {
constexpr uint8_t kWriteRecordPage = 0x96;
constexpr uint8_t kRecordPageWritten = 0x97;
constexpr uint8_t kEndOfPages = 255;
constexpr int kLastPage = 255;
// Scenario pages follow the five record pages.
constexpr int kFirstScenarioPage = 5;
}  // namespace

bool KtDevice::writeEktsPage(const uint8_t* pages, int pageIndex, int count) {
  // The index is one byte: a page past 255 would wrap onto the record's own pages.
  if (!pages || count < 1 || pageIndex < 0 || pageIndex + count - 1 > kLastPage || !communicator()) return false;
  auto send = [this](const uint8_t* payload, size_t size) {
    OwnedMessage request;
    ZtMessage_constructSized(&request.m, 0);
    ZtMessage_setMessageId(&request.m, kWriteRecordPage);
    ZtMessage_setBusId(&request.m, static_cast<uint8_t>(busId()));
    ZtMessage_setDataBuffer(&request.m, payload, size, 0);
    ZtMessage_recomputeChecksum(&request.m);
    OwnedMessage reply;
    // A time-out of 0 waits the usual 200 ms for the acknowledgement.
    return sendCustomMessage(request.m, true, reply.m, 0) && ZtMessage_getMessageId(&reply.m) == kRecordPageWritten;
  };
  uint8_t payload[2 + kRecordPageSize];
  for (int i = 0; i < count; ++i) {
    payload[0] = 0;
    payload[1] = static_cast<uint8_t>(pageIndex + i);
    std::memcpy(payload + 2, pages + static_cast<size_t>(i) * kRecordPageSize, kRecordPageSize);
    if (!send(payload, sizeof payload)) return false;
  }
  const uint8_t end = kEndOfPages;
  return send(&end, 1);
}

bool KtDevice::replaceFilterProfile(const ZtFilterProfile& oldProfile, const ZtFilterProfile& newProfile) {
  // The device's own order: the place in it names the page.
  const std::vector<ZtFilterProfile> listed = readFilterProfilesFromDevice();
  int place = -1;
  for (size_t i = 0; i < listed.size(); ++i) {
    if (listed[i].type == oldProfile.type) {
      place = static_cast<int>(i);
      break;
    }
  }
  if (place < 0) return false;
  const int pageIndex = place + kFirstScenarioPage;
  if (pageIndex > kLastPage) {
    JLOG_ALERT("device " << std::hex << deviceId() << std::dec << ": profile " << int(oldProfile.type)
                         << " is listed at " << place << ", past the last scenario page");
    return false;
  }
  uint8_t page[kRecordPageSize] = {};
  if (const ExtendedScenario* scenario = findScenario(m_hostScenarios, newProfile.type))
    if (scenario->parameters()) scenario->parameters()->writeToDecryptedScenarioPage(page);
  uint8_t stored[kRecordPageSize];
  EktsManager::codeEkts(page, stored, static_cast<int>(kRecordPageSize), pageIndex * static_cast<int>(kRecordPageSize));
  if (!writeEktsPage(stored, pageIndex, 1)) return false;
  return reinitialize();
}

// ---- Filter state in log files ------------------------------------------------------------------

namespace {
constexpr uint8_t kFilterState = 0x98;
constexpr int kMaxFilterStateMessages = 198;
}  // namespace

void KtDevice::readInitialFilterState() {
  if (!isReadingFromFile()) return;
  MessageList messages;
  communicator()->readMessagesFromStartOfFile(messages, kFilterState, kMaxFilterStateMessages);
  const uint8_t ownBus = static_cast<uint8_t>(busId());
  for (size_t m = 0; m < messages.size(); ++m) {
    const ZtMessage& message = messages[m];
    if (ZtMessage_getMessageId(&message) != kFilterState || ZtMessage_getBusId(&message) != ownBus) continue;
    // Only the first state of this device is looked at.
    const uint8_t* data = ZtMessage_constData(&message);
    const size_t size = ZtMessage_dataSize(&message);
    zelto::SettingsFile state;
    if (!data || size == 0 || state.deserialize(reinterpret_cast<const char*>(data), size) != size) return;
    zelto::Variant type;
    if (state.getSetting("", "filterProfileType", type) == ZRV_OK && type.toUint32() != m_currentHostProfile.type)
      return;
    setInitialState(state);
    return;
  }
}

void KtDevice::writeHostState(zelto::SettingsFile&) const {}

void KtDevice::writeFilterStateToFile() {
  const zelto::NonIntrusiveSharedPointer<ZtZkfFilter> filter = zkfFilter();
  if (!filter || !filter->isInitialized()) return;
  std::unique_ptr<ZkfState> state(createFilterState());
  std::unique_ptr<ZkfState> carried(createFilterState());
  if (!state || !carried) return;
  std::vector<char> image;
  {
    // The state is taken, written and handed back in one hold of the lock, so no step falls
    // between the state a replay starts from and the one the live filter goes on with.
    std::lock_guard<std::recursive_mutex> lock(m_filterLock);
    filter->getFullState(state.get());
    zelto::SettingsFile file;
    state->writeToFile(file, "");
    int major = 0, minor = 0;
    filter->getVersion(major, minor);
    file.setSetting("filterProfileType", zelto::Variant(static_cast<unsigned int>(m_currentHostProfile.type)));
    file.setSetting("filterVersionMajor", zelto::Variant(static_cast<unsigned int>(major)));
    file.setSetting("filterVersionMinor", zelto::Variant(static_cast<unsigned int>(minor)));
    writeHostState(file);
    image.resize(file.serialize(nullptr));
    file.serialize(image.data());
    // The stored form is not exact for every member (a quaternion reads back normalised, 64-bit
    // counters are kept in 32 bits): the live filter continues from the state as a replay reads
    // it, so the recording replays to the same outputs bit for bit.
    zelto::SettingsFile readBack;
    if (readBack.deserialize(image.data(), image.size()) == image.size() &&
        carried->readFromFileNoThrow(readBack, ""))
      filter->setFullState(carried.get());
  }
  OwnedMessage message;
  ZtMessage_constructSized(&message.m, 0);
  ZtMessage_setMessageId(&message.m, kFilterState);
  ZtMessage_setBusId(&message.m, static_cast<uint8_t>(busId()));
  ZtMessage_setDataBuffer(&message.m, reinterpret_cast<const uint8_t*>(image.data()), image.size(), 0);
  ZtMessage_recomputeChecksum(&message.m);
  writeMessageToLogFile(message.m);
}
