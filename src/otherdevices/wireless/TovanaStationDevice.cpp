#include "otherdevices/wireless/TovanaStationDevice.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "device/DeviceFactory.h"
#include "device/DeviceTaskScope.h"
#include "errors/ZtDeviceConfigurationException.h"
#include "foundation/JournalMacros.h"
#include "otherdevices/wireless/GotoMeasurementTask.h"
#include "device/ScratchPacket.h"
#include "otherdevices/wireless/KtwDevice.h"
#include "otherdevices/wireless/RadioDisableTask.h"
#include "transport/link/Communicator.h"

namespace {

// Time-outs in ms.
constexpr unsigned kShortTimeout = 200;
constexpr unsigned kRadioTimeout = 3000;
constexpr unsigned kIndicationTimeout = 2000;
constexpr unsigned kTransportModeTimeout = 2500;
constexpr unsigned kRejectTimeout = 300;
constexpr unsigned kStopRecordingTimeout = 3000;
constexpr unsigned kUpdateRatesTimeout = 1000;
constexpr unsigned kDriverDisconnectTimeout = 500;
constexpr unsigned kSyncBoxTimeout = 500;
// Messages searched from the start of a log file for the settings record.
constexpr int kSettingsSearchDepth = 925;
// The rate basis of a period and skip factor.
constexpr int kClockRate = 115200;
constexpr uint8_t kBroadcastBus = 0xFF;
constexpr uint8_t kLegacyData = 0x32;
constexpr uint8_t kData = 0x36;

struct ScopedMessage {
  ZtMessage m;
  ScopedMessage() { ZtMessage_construct(&m); }
  ~ScopedMessage() { ZtMessage_destruct(&m); }
  ScopedMessage(const ScopedMessage&) = delete;
  ScopedMessage& operator=(const ScopedMessage&) = delete;
};

int rateOf(int period, int skipFactor) {
  const int divisor = (skipFactor + 1) * period;
  return divisor > 0 ? kClockRate / divisor : 0;
}

int rateOf(const ZtDeviceMode& mode) { return rateOf(mode.period, mode.skipFactor); }

std::vector<uint8_t> u32Payload(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v)};
}

int32_t polarityOf(int32_t p) { return p >= 1 && p <= 3 ? p : 0; }

ZtSyncSetting makeSetting(int32_t line, int32_t function, int32_t polarity, uint32_t pulseWidth, int32_t offset,
                          uint16_t skipFirst, uint16_t skipFactor, uint16_t clockPeriod, uint8_t triggerOnce) {
  ZtSyncSetting s{};
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

}  // namespace

// ---- Construction and termination ----------------------------------------------------------------

TovanaStationDevice::TovanaStationDevice(DeviceFactory& factory, Communicator* communicator)
    : ZtDevice(factory, communicator), m_settings(std::make_unique<zelto::EwmsData>()) {
  m_radioChannel = requestRadioChannel();
}

TovanaStationDevice::~TovanaStationDevice() { m_requests.stop(); }

void TovanaStationDevice::prepareForTermination() {
  if (m_terminationPrepared.load()) return;
  // No queued request runs on a station that is going; a running one ends with its time-out.
  m_requests.stop();
  // Sent while the link still reads, so the acknowledgement can arrive.
  if (isLiveLink()) sendDriverDisconnect();
  ZtDevice::prepareForTermination();
}

bool TovanaStationDevice::isLiveLink() const {
  Communicator* link = communicator();
  return link && !link->isReadingFromFile();
}

// ---- Children ------------------------------------------------------------------------------------

size_t TovanaStationDevice::childInsertionIndex(const std::vector<ZtDevice*>& children, const ZtDevice* child) const {
  const ZtDeviceId id = child->deviceId();
  const auto it = std::find_if(children.begin(), children.end(), [&](const ZtDevice* c) { return c->deviceId() > id; });
  return static_cast<size_t>(it - children.begin());
}

ZtDevice::HeldChild<KtwDevice> TovanaStationDevice::getChildDevice(ZtDeviceId deviceId) const {
  return holdChildById<KtwDevice>(deviceId);
}

ZtDevice::HeldChild<KtwDevice> TovanaStationDevice::getOrCreateChildDevice(ZtDeviceId deviceId, bool initialize) {
  std::lock_guard<std::recursive_mutex> lock(m_childLock);
  if (!findDevice(deviceId)) {
    if (!m_deviceFactory) return {};
    ZtDevice* made = m_deviceFactory->createChildDevice(deviceId, *this, initialize);
    if (made && !dynamic_cast<KtwDevice*>(made)) {
      JLOG_ALERT("station child " << std::hex << deviceId << " is no wireless tracker: removed");
      removeChild(made, true);
      return {};
    }
  }
  return getChildDevice(deviceId);
}

void TovanaStationDevice::markChildrenDisconnected() {
  forEachChild([](ZtDevice* c) {
    if (auto* k = dynamic_cast<KtwDevice*>(c)) k->setDisconnected();
    return true;
  });
}

void TovanaStationDevice::disconnectChild(ZtDevice& child) {
  if (auto* k = dynamic_cast<KtwDevice*>(&child)) k->setDisconnected();
  removeChild(&child, true);
}

bool TovanaStationDevice::initializeChildren(Communicator* communicator) {
  std::lock_guard<std::recursive_mutex> lock(m_childLock);
  std::vector<ZtDeviceId> listed;
  {
    const ZtDeviceConfiguration& configuration = m_configuration;
    const int count = configuration.deviceInfo ? configuration.numberOfDevices : 0;
    for (int i = 0; i < count; ++i) listed.push_back(configuration.deviceInfo[i].deviceId);
  }
  if (listed.empty() || !communicator) return disableRadio();
  // A listed child keeps its object (the application may hold it), whatever its connectivity:
  // a disconnected tracker (after enableRadio) connects again. The missing ones are made; then
  // the children no longer listed, and those the station rejected, are removed.
  for (ZtDeviceId id : listed) {
    if (findDevice(id)) continue;
    if (m_deviceFactory) m_deviceFactory->createChildDevice(id, *this, false);
  }
  std::vector<ZtDevice*> gone;
  forEachChild([&](ZtDevice* c) {
    if (std::find(listed.begin(), listed.end(), c->deviceId()) == listed.end() ||
        c->connectivityState() == ZCS_Rejected)
      gone.push_back(c);
    return true;
  });
  for (ZtDevice* c : gone) disconnectChild(*c);
  bool result = true;
  std::vector<ZtDevice*> uninitialised;
  forEachChild([&](ZtDevice* c) {
    if (!c->isInitialized()) uninitialised.push_back(c);
    return true;
  });
  for (ZtDevice* c : uninitialised) {
    if (m_deviceFactory && m_deviceFactory->initializeDevice(*c)) continue;
    disconnectChild(*c);
    result = false;
  }
  return result;
}

// ---- Requests ------------------------------------------------------------------------------------

bool TovanaStationDevice::request(uint8_t requestId, uint8_t busId, const std::vector<uint8_t>& payload,
                                  unsigned timeoutMs, ZtMessage* reply, int indication,
                                  unsigned indicationTimeoutMs) {
  Communicator* link = communicator();
  if (!link) return false;
  const uint8_t ackId = static_cast<uint8_t>(requestId + 1);
  ScopedMessage message;
  ZtMessage_constructSized(&message.m, payload.size());
  ZtMessage_setMessageId(&message.m, requestId);
  ZtMessage_setBusId(&message.m, busId);
  if (!payload.empty()) ZtMessage_setDataBuffer(&message.m, payload.data(), payload.size(), 0);
  const auto requestLock = lockRequests();
  const Communicator::ReplyHandle ack = link->addReplyObject(ackId);
  Communicator::ReplyHandle follow;
  if (indication >= 0) follow = link->addTovanaIndicationReplyObject(static_cast<uint8_t>(indication));
  if (!ack || (indication >= 0 && !follow)) return false;
  if (!link->writeMessage(message.m)) return false;
  ScopedMessage answer;
  if (!ack->message(answer.m, timeoutMs) || ZtMessage_getMessageId(&answer.m) != ackId) return false;
  if (reply) ZtMessage_copy(reply, &answer.m);
  if (indication < 0) return true;
  ScopedMessage indicated;
  return follow->message(indicated.m, indicationTimeoutMs) && ZtMessage_getMessageId(&indicated.m) != 0;
}

int TovanaStationDevice::requestRadioChannel() {
  if (!communicator()) return kChannelUnknown;
  ScopedMessage reply;
  if (!request(kRadioChannel, kBroadcastBus, {}, kShortTimeout, &reply.m)) return kChannelUnknown;
  if (ZtMessage_dataSize(&reply.m) < 2) return kChannelUnknown;
  const uint16_t value = ZtMessage_getDataShort(&reply.m, 0);
  if (value < 0x8000) return value;
  return value == 0xFFFF ? kRadioDisabled : kChannelUnknown;
}

bool TovanaStationDevice::enableRadio(int channel) {
  if (channel < 0) return disableRadio();
  {
    std::lock_guard<std::mutex> lock(m_modeMutex);
    m_operational = false;
  }
  if (!request(kEnableRadio, kBroadcastBus, {static_cast<uint8_t>(channel)}, kRadioTimeout)) {
    m_radioChannel = kRadioDisabled;
    return false;
  }
  m_radioChannel = channel;
  setDeviceState(ZDS_Config, true);
  m_syncBoxState = 1;
  markChildrenDisconnected();
  return true;
}

bool TovanaStationDevice::disableRadio() {
  m_radioChannel = kRadioDisabled;
  {
    std::lock_guard<std::mutex> lock(m_modeMutex);
    m_operational = false;
  }
  if (!communicator()) return false;
  if (isMeasuring() && !gotoConfig()) return false;
  if (!request(kDisableRadio, kBroadcastBus, {}, kRadioTimeout)) return false;
  setDeviceState(ZDS_Config, true);
  markChildrenDisconnected();
  removeAllChildren();
  return readDeviceConfiguration();
}

bool TovanaStationDevice::isRadioEnabled() const { return m_radioChannel.load() != kRadioDisabled; }

bool TovanaStationDevice::isOperational() const {
  std::lock_guard<std::mutex> lock(m_modeMutex);
  return m_operational;
}

bool TovanaStationDevice::scanChannels() {
  Communicator* link = communicator();
  if (!link || link->isReadingFromFile()) return false;
  // The result comes later as indications; the acknowledgement is only kept from the others.
  ScopedMessage message;
  ZtMessage_constructSized(&message.m, 0);
  ZtMessage_setMessageId(&message.m, kScanChannels);
  const auto requestLock = lockRequests();
  const Communicator::ReplyHandle ack = link->addReplyObject(kScanChannels + 1);
  return link->writeMessage(message.m);
}

bool TovanaStationDevice::setWirelessConfiguration(uint16_t rate, uint8_t value) {
  const std::vector<uint8_t> payload{static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate), 0, value};
  if (!request(kWirelessConfiguration, kBroadcastBus, payload, kShortTimeout, nullptr, kConfigurationApplied,
               kIndicationTimeout))
    return false;
  updateUpdateRate(rate);
  return true;
}

bool TovanaStationDevice::gotoOperational() {
  if (isOperational()) return true;
  if (!request(kGotoOperational, kBroadcastBus, {}, kShortTimeout, nullptr, kOperational, kIndicationTimeout))
    return false;
  std::lock_guard<std::mutex> lock(m_modeMutex);
  m_operational = true;
  return true;
}

bool TovanaStationDevice::setTransportMode(bool enable) {
  return request(kTransportMode, kBroadcastBus, {static_cast<uint8_t>(enable ? 1 : 0)}, kTransportModeTimeout);
}

bool TovanaStationDevice::setDeviceAcceptedInternal(ZtDeviceId deviceId, bool wait) {
  if (!communicator()) return false;
  const HeldChild<KtwDevice> child = getChildDevice(deviceId);
  if (!child) return false;
  const bool result = request(kAccept, kBroadcastBus, u32Payload(deviceId), kShortTimeout);
  // Connected again when the station reports the tracker's connection.
  child->setDisconnectedInternal(wait);
  return result;
}

bool TovanaStationDevice::setDeviceRejectedInternal(ZtDeviceId deviceId, bool wait) {
  if (!communicator()) return false;
  const HeldChild<KtwDevice> child = getChildDevice(deviceId);
  if (!child) return false;
  if (!request(kReject, kBroadcastBus, u32Payload(deviceId), kRejectTimeout)) return false;
  child->setRejectedInternal(ZRR_Blacklisted, wait);
  return true;
}

unsigned TovanaStationDevice::addRequestJob(std::function<void()> job) {
  return m_requests.add([this, job = std::move(job)] {
    const DeviceTaskScope hold(this, DeviceTaskScope::Kind::kHold);
    job();
  });
}

unsigned TovanaStationDevice::addRequestTask(std::unique_ptr<zelto::ThreadPoolTask> task) {
  if (!task) return 0;
  std::shared_ptr<zelto::ThreadPoolTask> shared(std::move(task));
  return addRequestJob([shared] {
    try {
      shared->exec();
    } catch (...) {
      shared->onError();
      throw;
    }
  });
}

bool TovanaStationDevice::readMasterSettings() {
  Communicator* link = communicator();
  if (!link) return false;
  ScopedMessage reply;
  if (link->isReadingFromFile()) {
    link->readMessageFromStartOfFile(reply.m, kMasterSettingsReply, kSettingsSearchDepth);
    if (ZtMessage_empty(&reply.m) || ZtMessage_getMessageId(&reply.m) != kMasterSettingsReply) return false;
  } else if (!request(kMasterSettings, kBroadcastBus, {0}, kShortTimeout, &reply.m)) {
    return false;
  }
  std::lock_guard<std::mutex> lock(m_settingsMutex);
  return m_settings->setWmsData(reply.m);
}

void TovanaStationDevice::sendDriverDisconnect() {
  if (!isLiveLink()) return;
  request(kDriverDisconnect, kBroadcastBus, {}, kDriverDisconnectTimeout);
}

bool TovanaStationDevice::reset() {
  if (!communicator()) return false;
  if (!gotoConfig()) return false;
  return request(kReset, kBroadcastBus, {}, kShortTimeout);
}

bool TovanaStationDevice::isInSyncBoxMode() const {
  const uint32_t known = m_syncBoxState.load();
  if (known == 1 || known == 2) return known == 2;
  if (isRadioEnabled()) {
    m_syncBoxState = 1;
    return false;
  }
  ScopedMessage reply;
  const bool answered =
      const_cast<TovanaStationDevice*>(this)->request(kSyncBoxMode, kBroadcastBus, {}, kShortTimeout, &reply.m);
  m_syncBoxState = answered && ZtMessage_dataSize(&reply.m) >= 1 && ZtMessage_getDataByte(&reply.m, 0) != 0 ? 2 : 1;
  return m_syncBoxState.load() == 2;
}

bool TovanaStationDevice::setSyncBoxMode(bool enable) {
  if (!request(kSyncBoxMode, kBroadcastBus, {static_cast<uint8_t>(enable ? 1 : 0)}, kSyncBoxTimeout)) return false;
  m_syncBoxState = enable ? 2 : 1;
  return true;
}

// ---- Modes ---------------------------------------------------------------------------------------

int TovanaStationDevice::samplePeriod() const { return m_configuration.samplingPeriod; }
int TovanaStationDevice::outputSkipFactor() const { return m_configuration.outputSkipFactor; }

bool TovanaStationDevice::setSamplePeriod(uint16_t period) {
  return period == m_configuration.samplingPeriod || ZtDevice::setSamplePeriod(period);
}

bool TovanaStationDevice::setOutputSkipFactor(uint16_t skipFactor) {
  return skipFactor == m_configuration.outputSkipFactor || ZtDevice::setOutputSkipFactor(skipFactor);
}

int TovanaStationDevice::updateRate() const { return rateOf(samplePeriod(), outputSkipFactor()); }

ZtOutputConfigurationArray TovanaStationDevice::outputConfiguration() const {
  ZtOutputConfigurationArray configuration;
  ZtOutputConfigurationArray_construct(&configuration, 0, nullptr);
  return configuration;
}

ZtDeviceMode TovanaStationDevice::deviceMode() const {
  {
    std::lock_guard<std::mutex> lock(m_modeMutex);
    if (rateOf(m_pendingMode) != 0) return m_pendingMode;
  }
  return ZtDevice::deviceMode();
}

bool TovanaStationDevice::setDeviceMode(const ZtDeviceMode& mode) {
  const int rate = rateOf(mode);
  const std::vector<int> rates = supportedUpdateRates(0);
  if (rate == 0 || std::find(rates.begin(), rates.end(), rate) == rates.end()) return false;
  if (isOperational()) {
    const bool result = setWirelessConfiguration(static_cast<uint16_t>(rate), 1);
    std::lock_guard<std::mutex> lock(m_modeMutex);
    m_pendingMode = ZtDeviceMode{};
    return result;
  }
  std::lock_guard<std::mutex> lock(m_modeMutex);
  m_pendingMode = mode;
  return true;
}

std::vector<int> TovanaStationDevice::supportedUpdateRates(ZtDataIdentifier) const {
  Communicator* link = communicator();
  if (!link || !link->isPortOpen()) return {150, 120, 100, 75, 60, 50, 40, 25, 24, 20};
  ScopedMessage reply;
  if (!const_cast<TovanaStationDevice*>(this)->request(kUpdateRates, kBroadcastBus, {}, kUpdateRatesTimeout, &reply.m))
    return {};
  std::vector<int> rates;
  const size_t size = ZtMessage_dataSize(&reply.m);
  for (size_t i = 1; i < size; ++i) rates.push_back(ZtMessage_getDataByte(&reply.m, i));
  return rates;
}

// ---- Measurement and configuration ---------------------------------------------------------------

bool TovanaStationDevice::gotoMeasurement() { return gotoMeasurementImpl(true); }

bool TovanaStationDevice::gotoMeasurementImpl(bool wait) {
  if (m_syncBoxState.load() == 2) {
    Communicator* link = communicator();
    if (!link || link->gotoMeasurement() != ZRV_OK) return false;
    link->setMeasuring(true);
    setDeviceState(ZDS_Measurement, true);
    return true;
  }
  if (!isRadioEnabled()) return false;
  switch (deviceState()) {
    case ZDS_Initial:
    case ZDS_WaitingForRecordingStart:
    case ZDS_FlushingData:
    case ZDS_FinalizingRecording:
    case ZDS_Destructing:
      return false;
    case ZDS_Measurement:
    case ZDS_Recording:
      return true;
    default:
      return startGotoMeasurementTask(wait) != 0;
  }
}

unsigned TovanaStationDevice::startGotoMeasurementTask(bool wait) {
  if (wait) {
    GotoMeasurementTask task(this);
    task.exec();
    return task.result() != 0 ? 1 : 0;
  }
  return addRequestTask(std::make_unique<GotoMeasurementTask>(this));
}

int TovanaStationDevice::updateRateOf(const ZtDeviceMode& mode) { return rateOf(mode); }

ZtDeviceMode TovanaStationDevice::pendingDeviceMode() const {
  std::lock_guard<std::mutex> lock(m_modeMutex);
  return m_pendingMode;
}

bool TovanaStationDevice::gotoConfig() {
  switch (deviceState()) {
    case ZDS_Config:
      return true;
    case ZDS_WaitingForRecordingStart:
      return false;
    default:
      return ZtDevice::gotoConfig();
  }
}

bool TovanaStationDevice::initialize(const zelto::SettingsFile& settings) {
  return ZtDevice::initialize(settings) && reinitialize();
}

bool TovanaStationDevice::reinitialize() {
  m_syncBoxState = 0;
  if (!readDeviceConfiguration()) return false;
  {
    std::lock_guard<std::mutex> lock(m_modeMutex);
    m_operational = isRadioEnabled();
  }
  Communicator* link = communicator();
  if (!link) return false;
  if (!initializeChildren(link)) return false;
  if (readMasterSettings()) return true;
  if (!link->isReadingFromFile()) return false;
  std::lock_guard<std::mutex> lock(m_settingsMutex);
  m_settings->clear();
  m_settings->setDeviceId(m_configuration.masterDeviceId);
  m_settings->setUpdateRate(static_cast<uint16_t>(rateOf(m_configuration.samplingPeriod, m_configuration.outputSkipFactor)));
  return true;
}

bool TovanaStationDevice::hasUninitializedChild() const {
  bool found = false;
  forEachChild([&](ZtDevice* c) {
    found = !c->isInitialized();
    return !found;
  });
  return found;
}

bool TovanaStationDevice::restoreFactoryDefaults() { return ZtDevice::restoreFactoryDefaults() && readMasterSettings(); }

void TovanaStationDevice::writeDeviceSettingsToFile() {
  ZtMessage message;
  {
    std::lock_guard<std::mutex> lock(m_settingsMutex);
    message = m_settings->toMessage(kBroadcastBus);
  }
  writeMessageToLogFile(message);
  ZtMessage_destruct(&message);
  ZtDevice::writeDeviceSettingsToFile();
}

void TovanaStationDevice::clearCache() {
  forEachChild([](ZtDevice* c) {
    c->clearCache();
    return true;
  });
}

void TovanaStationDevice::flushInputBuffers(bool alsoWorkingCache) {
  ZtDevice::flushInputBuffers(alsoWorkingCache);
  forEachChild([&](ZtDevice* c) {
    c->flushInputBuffers(alsoWorkingCache);
    return true;
  });
}

// ---- Identity ------------------------------------------------------------------------------------

zelto::EwmsData TovanaStationDevice::masterSettings() const {
  std::lock_guard<std::mutex> lock(m_settingsMutex);
  return *m_settings;
}

ZtString TovanaStationDevice::productCode() const {
  std::string code = masterSettings().productCode();
  code = code.substr(0, std::min(code.find(' '), code.size()));
  ZtString text;
  ZtString_construct(&text, code.c_str());
  return text;
}

ZtBaudRate TovanaStationDevice::serialBaudRate() const {
  return ZtBaud_codeToRate(static_cast<uint8_t>(masterSettings().baudRateCode()));
}

ZtVersion TovanaStationDevice::hardwareVersion() const {
  ZtVersion version{};
  const uint16_t v = masterSettings().hardwareVersion();
  version.major = v >> 8;
  version.minor = v & 0xFF;
  return version;
}

bool TovanaStationDevice::deviceIsDocked(const ZtDevice* device) const {
  if (!device || !device->communicator() || !communicator()) return false;
  // A tracker connected through this station shares its link: that is no docking.
  if (device->communicator() == communicator()) return false;
  return device->communicator()->isDockedAt(communicator());
}

int TovanaStationDevice::ktwPriority(ZtDeviceId deviceId) const {
  const HeldChild<KtwDevice> child = getChildDevice(deviceId);
  return child ? child->wirelessPriority() : 0;
}

bool TovanaStationDevice::setKtwPriority(int priority, ZtDeviceId deviceId) {
  const HeldChild<KtwDevice> child = getChildDevice(deviceId);
  return child && child->setWirelessPriority(priority);
}

// ---- Recording -----------------------------------------------------------------------------------

bool TovanaStationDevice::startRecording() {
  Communicator* link = communicator();
  if (!link) return false;
  if (m_syncBoxState.load() != 2) {
    if (deviceState() != ZDS_Measurement) return false;
    if (Communicator* log = logFileInterface()) {
      ZtString name = log->logFileName();
      const bool open = log->isLogFileOpen(name);
      ZtString_destruct(&name);
      if (!open) return false;
    }
    writeDeviceSettingsToFile();
  }
  const ZtDeviceState before = deviceState();
  setDeviceState(ZDS_WaitingForRecordingStart, true);
  if (!syncInSettings(0).empty()) return true;  // recording starts on the external trigger
  ScopedMessage message;
  ZtMessage_constructSized(&message.m, 0);
  ZtMessage_setMessageId(&message.m, kStartRecording);
  bool written;
  {
    const auto requestLock = lockRequests();
    written = link->writeMessage(message.m);
  }
  if (written) return true;
  // Nothing was started: back to where gotoConfig and a new start work.
  setDeviceState(before == ZDS_WaitingForRecordingStart ? ZDS_Measurement : before, true);
  return false;
}

bool TovanaStationDevice::stopRecording() {
  if (deviceState() == ZDS_WaitingForRecordingStart) setDeviceState(ZDS_Measurement, true);
  Communicator* link = communicator();
  if (deviceState() != ZDS_Recording || !link) return false;
  ScopedMessage message;
  ZtMessage_constructSized(&message.m, 0);
  ZtMessage_setMessageId(&message.m, kStopRecording);
  bool acknowledged;
  {
    const auto requestLock = lockRequests();
    const Communicator::ReplyHandle ack = link->addReplyObject(kStopRecording + 1);
    // Not sent: the recording goes on, and gotoConfig still leaves it.
    if (!ack || !link->writeMessage(message.m)) return false;
    ScopedMessage answer;
    acknowledged =
        ack->message(answer.m, kStopRecordingTimeout) && ZtMessage_getMessageId(&answer.m) == kStopRecording + 1;
  }
  // The state changes are awaited without the request lock: leaving the recording writes what
  // the trackers held back, whose handlers may make requests of the station themselves.
  if (!acknowledged) {
    setDeviceState(ZDS_Measurement, true);
    return false;
  }
  startWirelessFlushing(true);
  return true;
}

void TovanaStationDevice::startWirelessFlushing(bool wait) {
  bool any = false;
  forEachChild([&](ZtDevice*) {
    any = true;
    return false;
  });
  if (!any) {
    setDeviceState(ZDS_Measurement, wait);
    return;
  }
  m_flushingEnded = false;
  forEachChild([&](ZtDevice* c) {
    if (auto* k = dynamic_cast<KtwDevice*>(c)) k->startFlushing(wait);
    return true;
  });
  setDeviceState(ZDS_FlushingData, wait);
}

bool TovanaStationDevice::abortFlushing() {
  if (deviceState() == ZDS_FlushingData) setDeviceState(ZDS_FinalizingRecording, true);
  return true;
}

void TovanaStationDevice::setRecordingStartFrame(uint16_t frame) {
  forEachChild([&](ZtDevice* c) {
    if (auto* k = dynamic_cast<KtwDevice*>(c)) k->setRecordingStartFrame(frame);
    return true;
  });
}

std::pair<int32_t, int32_t> TovanaStationDevice::flushingTotals() const {
  std::lock_guard<std::mutex> lock(m_settingsMutex);
  return {m_flushing.totalPacketCount(), m_flushing.maxTotalPacketCount()};
}

void TovanaStationDevice::checkChildStates() {
  if (!isRecording() || deviceState() == ZDS_WaitingForRecordingStart) return;
  bool any = false;
  bool allMeasuring = true;
  forEachChild([&](ZtDevice* c) {
    any = true;
    allMeasuring = allMeasuring && c->deviceState() == ZDS_Measurement;
    return allMeasuring;
  });
  if (any && allMeasuring) updateDeviceState(ZDS_Measurement);
}

// ---- Messages and indications --------------------------------------------------------------------

void TovanaStationDevice::handleMessage(const ZtMessage& message) {
  const int bus = ZtMessage_empty(&message) ? 0 : ZtMessage_getBusId(&message);
  const uint8_t id = ZtMessage_empty(&message) ? 0 : ZtMessage_getMessageId(&message);
  if (bus == kBroadcastBus) {
    // A relayed interval names its tracker in its first four bytes: decoded by that tracker, in
    // its own format (the station's own decoding would take the first configured device's).
    if (id == kLegacyData && ZtMessage_dataSize(&message) >= 4) {
      if (const HeldChild<KtwDevice> child = getChildDevice(ZtMessage_getDataLong(&message, 0))) {
        if (child->isInitialized()) child->handleMessage(message);
        return;
      }
    }
    ZtDevice::handleMessage(message);
    return;
  }
  const bool data = id == kLegacyData || id == kData;
  withChildForBusId(bus, [&](ZtDevice* child) {
    // A child not (yet) initialised has no record or caches to take data with: a tracker that
    // connected after the last configuration read may hold a bus id that was another's.
    if (data && !child->isInitialized()) return;
    child->handleMessage(message);
  });
}

void TovanaStationDevice::handleDataPacket(const ZtDataPacket& packet) {
  if (packet.deviceId != 0 && ZtDataPacket_containsSdiData(&packet)) {
    const HeldChild<KtwDevice> child = getChildDevice(packet.deviceId);
    if (child && child->isInitialized()) child->handleDataPacket(packet);
    return;
  }
  const int bus = ZtMessage_empty(&packet.message) ? 0 : ZtMessage_getBusId(&packet.message);
  if (bus == kBroadcastBus) return;
  withChildForBusId(bus, [&](ZtDevice* child) {
    if (!child->isInitialized()) return;
    zelto::ScratchPacket copy;
    ZtDataPacket_copy(copy.get(), &packet);
    copy->deviceId = child->deviceId();
    child->handleDataPacket(*copy);
  });
}

bool TovanaStationDevice::shouldHandleMasterIndication(uint8_t subId, bool fromFile) const {
  return subId == kTrigger || !fromFile;
}

void TovanaStationDevice::handleNonDataMessage(const ZtMessage& message) {
  const bool fromFile = isReadingFromFile();
  const uint8_t id = ZtMessage_empty(&message) ? 0 : ZtMessage_getMessageId(&message);
  if (id == kIndication && ZtMessage_dataSize(&message) >= 1 &&
      shouldHandleMasterIndication(ZtMessage_getDataByte(&message, 0), fromFile))
    handleMasterIndication(message);
  else if (id == kDisableRadio + 1 && !fromFile) {
    // Not claimed by a waiting disableRadio: the station turned its radio off by itself.
    addRequestTask(std::make_unique<RadioDisableTask>(this));
  }
  ZtDevice::handleNonDataMessage(message);
}

void TovanaStationDevice::dispatchConnectionIndication(const ZtMessage& message) {
  if (ZtMessage_dataSize(&message) < 5) {
    JLOG_ALERT("station connection indication too short (" << ZtMessage_dataSize(&message) << " bytes): ignored");
    return;
  }
  // A copy goes to the request thread, which may create the child (closing a docked master of
  // the same id on the way); the parse thread never does.
  std::shared_ptr<ZtMessage> copy(new ZtMessage, [](ZtMessage* m) {
    ZtMessage_destruct(m);
    delete m;
  });
  ZtMessage_constructCopy(copy.get(), &message);
  addRequestJob([this, copy] {
    const uint8_t subId = ZtMessage_getDataByte(copy.get(), 0);
    const ZtDeviceId deviceId = ZtMessage_getDataLong(copy.get(), 1);
    const HeldChild<KtwDevice> k = getOrCreateChildDevice(deviceId, false);
    if (!k) return;
    if (subId == kClientConnect)
      k->handleClientConnect(*copy);
    else if (subId == kClientDisconnect)
      k->handleClientDisconnect(*copy);
    else
      k->handleRejectedClient(*copy);
  });
}

void TovanaStationDevice::handleMasterIndication(const ZtMessage& message) {
  const size_t size = ZtMessage_dataSize(&message);
  if (size < 1) return;
  switch (ZtMessage_getDataByte(&message, 0)) {
    case kClientConnect:
    case kClientDisconnect:
    case kClientRejected:
      dispatchConnectionIndication(message);
      break;
    case kClientError: {
      if (size < 6) break;
      const ZtDeviceId deviceId = ZtMessage_getDataLong(&message, 1);
      if (ZtMessage_getDataByte(&message, 5) != 1) break;
      if (const HeldChild<KtwDevice> k = getChildDevice(deviceId)) {
        k->onError(k.get(), ZRV_TRACKERERROR);
        k->restartFilter();
      }
      break;
    }
    case kBatteryLevel: {
      const int bus = ZtMessage_getBusId(&message);
      const int count = m_configuration.deviceInfo ? m_configuration.numberOfDevices : 0;
      const int index = bus == kBroadcastBus ? 0 : bus - 1;
      if (index < 0 || index >= count) {
        JLOG_ALERT("station battery indication for bus " << bus << " outside the configuration: ignored");
        break;
      }
      if (const HeldChild<KtwDevice> k = getChildDevice(m_configuration.deviceInfo[index].deviceId))
        k->handleBatteryLevel(message);
      break;
    }
    case kTrigger: {
      if (size < 9) break;
      ZtTriggerIndicationData trigger{};
      trigger.type = ZtMessage_getDataByte(&message, 1);
      trigger.line = ZtMessage_getDataByte(&message, 2);
      trigger.timestamp = ZtMessage_getDataLong(&message, 3);
      trigger.frameNumber = ZtMessage_getDataShort(&message, 7);
      forEachChild([&](ZtDevice* c) {
        if (auto* k = dynamic_cast<KtwDevice*>(c)) k->handleTrigger(trigger);
        return true;
      });
      break;
    }
    // The recording states change on the request thread: a master's state change waits for its
    // children's, which with a pool of one worker never run behind a waiting parse task.
    case kRecordingStarted: {
      const bool hasFrame = size == 7;
      const uint16_t frame = hasFrame ? ZtMessage_getDataShort(&message, 5) : 0;
      addRequestJob([this, hasFrame, frame] {
        if (logFileInterface() && deviceState() != ZDS_WaitingForRecordingStart) return;
        clearCache();
        if (logFileInterface()) writeFilterStateToFile();
        if (hasFrame) setRecordingStartFrame(frame);
        setDeviceState(ZDS_Recording, true);
      });
      break;
    }
    case kRecordingEnded:
      addRequestJob([this] {
        const ZtDeviceState state = deviceState();
        if (state == ZDS_Recording || state == ZDS_WaitingForRecordingStart) startWirelessFlushing(true);
      });
      break;
    case kFlushingProgress: {
      if (deviceState() != ZDS_FlushingData || m_flushingEnded.load() || size < 3) break;
      forEachChild([&](ZtDevice* c) {
        if (auto* k = dynamic_cast<KtwDevice*>(c)) k->handleFlushingIndication(message);
        return true;
      });
      int32_t current;
      int32_t total;
      {
        std::lock_guard<std::mutex> lock(m_settingsMutex);
        m_flushing.addOrUpdate(deviceId(), ZtMessage_getDataShort(&message, 1));
        current = m_flushing.totalPacketCount();
        total = m_flushing.maxTotalPacketCount();
      }
      ZtString text;
      ZtString_construct(&text, "Flushing");
      onProgressUpdated(this, current, total, &text);
      ZtString_destruct(&text);
      if (current == 0 && !m_flushingEnded.exchange(true)) {
        {
          std::lock_guard<std::mutex> lock(m_settingsMutex);
          m_flushing.clear();
        }
        addRequestJob([this] {
          if (deviceState() == ZDS_FlushingData) setDeviceState(ZDS_FinalizingRecording, true);
        });
      }
      break;
    }
    default:
      break;
  }
}

// ---- Synchronisation -----------------------------------------------------------------------------

int32_t TovanaStationDevice::syncOutFunctionToEvent(int32_t function) {
  static const int32_t kEvents[] = {0, 1, 5, 5, 3, 4, 2};
  return function >= 0 && function <= 6 ? kEvents[function] : zelto::WTE_None;
}

int32_t TovanaStationDevice::syncInFunctionToAction(int32_t function) {
  return function >= 0 && function <= 3 ? function : zelto::WTA_None;
}

int32_t TovanaStationDevice::eventToSyncOutFunction(int32_t event) {
  static const int32_t kFunctions[] = {0, 1, 6, 4, 5};
  return event >= 0 && event <= 4 ? kFunctions[event] : 12;
}

int32_t TovanaStationDevice::actionToSyncInFunction(int32_t action) { return action >= 0 && action <= 3 ? action : 12; }

std::vector<ZtSyncSetting> TovanaStationDevice::supportedSyncSettings() const {
  static const int32_t kRows[18][2] = {{0, 0}, {1, 0}, {8, 0}, {9, 0}, {0, 1}, {1, 1}, {8, 1}, {9, 1}, {8, 6},
                                       {9, 6}, {8, 4}, {9, 4}, {8, 5}, {9, 5}, {0, 2}, {1, 2}, {0, 3}, {1, 3}};
  std::vector<ZtSyncSetting> out;
  for (const auto& r : kRows) out.push_back(makeSetting(r[0], r[1], 1, r[0] >= 8 ? 1 : 0, 1, 1, 1, 0, 1));
  return out;
}

std::vector<ZtSyncSetting> TovanaStationDevice::syncInSettings(int32_t function) const {
  const zelto::WmsSyncInSettings e = masterSettings().internalInputTriggerSetting(syncInFunctionToAction(function));
  std::vector<ZtSyncSetting> out;
  for (int bit = 0; bit < 2; ++bit)
    if (e.lineMask & (1 << bit))
      out.push_back(makeSetting(bit, function, polarityOf(e.polarity), 1000, 0, e.skipFirst, e.skipFactor, e.parameter,
                                e.triggerOnce ? 1 : 0));
  return out;
}

std::vector<ZtSyncSetting> TovanaStationDevice::syncOutSettings(int32_t function) const {
  const zelto::WmsSyncOutSettings e = masterSettings().internalOutputTriggerSetting(syncOutFunctionToEvent(function));
  std::vector<ZtSyncSetting> out;
  for (int bit = 0; bit < 2; ++bit)
    if (e.lineMask & (1 << bit))
      out.push_back(makeSetting(8 + bit, function, polarityOf(e.polarity), e.parameter * 1000u, 0, e.skipFirst,
                                e.skipFactor, 0, e.triggerOnce ? 1 : 0));
  return out;
}

std::vector<ZtSyncSetting> TovanaStationDevice::syncSettings() const {
  std::vector<ZtSyncSetting> out;
  for (int32_t f : {0, 1, 2, 3}) {
    const auto part = syncInSettings(f);
    out.insert(out.end(), part.begin(), part.end());
  }
  for (int32_t f : {0, 1, 6, 4, 5}) {
    const auto part = syncOutSettings(f);
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

int TovanaStationDevice::syncRole() const {
  int role = 1;
  for (int32_t f : {0, 1, 2, 3})
    for (const ZtSyncSetting& s : syncInSettings(f)) {
      if (s.function != 4 && s.function != 5) continue;
      if (ZtSyncSetting_isInput(&s)) role = role == 1 ? 0 : role == 3 ? 2 : role;
      if (ZtSyncSetting_isOutput(&s)) role = role == 1 ? 3 : role == 0 ? 2 : role;
    }
  return role;
}

bool TovanaStationDevice::syncSettingsToWms(const std::vector<ZtSyncSetting>& settings, zelto::EwmsData& out) {
  out = zelto::EwmsData();
  // The fields both sides carry alike.
  const auto common = [](const ZtSyncSetting& s, zelto::WmsTriggerSetting& e) {
    e.polarity = polarityOf(s.polarity);
    e.triggerOnce = s.triggerOnce != 0;
    e.skipFirst = s.skipFirst;
    e.skipFactor = s.skipFactor;
  };
  for (const ZtSyncSetting& s : settings) {
    if (s.line <= 7) {
      zelto::WmsSyncInSettings e = out.internalInputTriggerSetting(syncInFunctionToAction(s.function));
      e.index = syncInFunctionToAction(s.function);
      if (s.line == 0) e.lineMask |= 1;
      if (s.line == 1) e.lineMask |= 2;
      e.parameter = s.clockPeriod;
      common(s, e);
      out.setTriggerSettings(e);
    } else {
      zelto::WmsSyncOutSettings e = out.internalOutputTriggerSetting(syncOutFunctionToEvent(s.function));
      e.index = syncOutFunctionToEvent(s.function);
      if (s.line == 8) e.lineMask |= 1;
      if (s.line == 9) e.lineMask |= 2;
      // The nearest whole millisecond; the entry holds 16 bits, so a longer pulse is refused
      // rather than wrapped to a short one.
      const double ms = std::floor(static_cast<double>(s.pulseWidth) / 1000.0 + 0.5);
      if (ms > 65535.0) return false;
      e.parameter = static_cast<uint16_t>(ms);
      common(s, e);
      out.setTriggerSettings(e);
    }
  }
  return true;
}

bool TovanaStationDevice::setTriggerEntry(uint8_t requestId, const zelto::WmsTriggerSetting& e, uint8_t slot) {
  const std::vector<uint8_t> payload{slot,
                                     e.lineMask,
                                     static_cast<uint8_t>(e.polarity & 0x3),
                                     static_cast<uint8_t>(e.triggerOnce ? 1 : 0),
                                     static_cast<uint8_t>(e.skipFirst >> 8),
                                     static_cast<uint8_t>(e.skipFirst),
                                     static_cast<uint8_t>(e.skipFactor >> 8),
                                     static_cast<uint8_t>(e.skipFactor),
                                     static_cast<uint8_t>(e.parameter >> 8),
                                     static_cast<uint8_t>(e.parameter)};
  return request(requestId, kBroadcastBus, payload, kShortTimeout);
}

bool TovanaStationDevice::setSyncSettings(const std::vector<ZtSyncSetting>& settings) {
  zelto::EwmsData composed;
  if (!syncSettingsToWms(settings, composed)) return false;
  if (!communicator()) return false;
  // Each entry is cached once the station acknowledged it, so after a failure the cache still
  // tells what the station holds.
  for (int32_t a = 0; a < zelto::WTA_Count; ++a) {
    zelto::WmsSyncInSettings e = composed.internalInputTriggerSetting(a);
    e.index = a;
    if (!setTriggerEntry(kSyncIn, e, static_cast<uint8_t>(a))) return false;
    std::lock_guard<std::mutex> lock(m_settingsMutex);
    m_settings->setTriggerSettings(e);
  }
  for (int32_t ev = 0; ev < zelto::WTE_Count; ++ev) {
    zelto::WmsSyncOutSettings e = composed.internalOutputTriggerSetting(ev);
    e.index = ev;
    if (!setTriggerEntry(kSyncOut, e, static_cast<uint8_t>(ev))) return false;
    std::lock_guard<std::mutex> lock(m_settingsMutex);
    m_settings->setTriggerSettings(e);
  }
  return true;
}
