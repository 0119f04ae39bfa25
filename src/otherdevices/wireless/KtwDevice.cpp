#include "otherdevices/wireless/KtwDevice.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <limits>
#include <memory>
#include <thread>

#include "device/DeviceFactory.h"
#include "device/OwnedMessage.h"
#include "device/ScratchPacket.h"
#include "ekts/EktsManager.h"
#include "filters/common/KtxwHardwareParams.h"
#include "filters/common/ZkfTime.h"
#include "filters/zkf3w/Zkf3wAiding.h"
#include "filters/zkf3w/Zkf3wFilter.h"
#include "filters/zkf3w/Zkf3wFilterOutput.h"
#include "filters/zkf3w/Zkf3wFilterSteps.h"
#include "filters/zkf3w/Zkf3wParams.h"
#include "filters/zkf3w/Zkf3wRealTimeParameters.h"
#include "filters/zkf3w/Zkf3wScenarioParams.h"
#include "filters/zkf3w/Zkf3wSensorData.h"
#include "filters/zkf3w/Zkf3wState.h"
#include "math/Matrix3x3.h"
#include "trackers/ExtendedScenario.h"
#include "trackers/KtixDevice.h"
#include "errors/ZtException.h"
#include "foundation/JournalMacros.h"
#include "device/cache/IPacketDataCache.h"
#include "otherdevices/wireless/AcceptRejectTask.h"
#include "otherdevices/wireless/SdiRebaser.h"
#include "otherdevices/wireless/TovanaStationDevice.h"
#include "transport/link/Communicator.h"
#include "transport/legacy/LegacyDataPacket.h"
#include "transport/link/PacketStamper.h"
#include "zeltodeviceapi/zdalibrary.h"

namespace {
constexpr int16_t kNoRssi = -128;
constexpr unsigned kPriorityTimeout = 200;
constexpr uint8_t kRequestRecord = 0x90;
constexpr uint8_t kRecordAnswer = 0x91;
constexpr unsigned kRecordTimeoutMs = 15000;
constexpr uint8_t kUpdateBias = 0xBC;
constexpr int kNwuFrame = 0x0008;
constexpr uint32_t kSettledBit = 0x02;
constexpr uint32_t kNoRotationMask = 0x18;
constexpr const char* kHardwareList = "ZKF.hardwares";
constexpr const char* kAssemblyPrefix = "KTx-W";
constexpr uint8_t kStationIndication = 0x46;
constexpr uint8_t kLegacyData = 0x32;
constexpr uint8_t kBatteryIndication = 12;

// "first-last" of a packet's frame range.
std::string frameRangeText(const ZtDataPacket& packet) {
  ZtRange range{0, 0};
  if (ZtDataPacket_containsFrameRange(&packet)) ZtDataPacket_frameRange(&packet, &range);
  return std::to_string(range.first) + "-" + std::to_string(range.last);
}

bool startsWithIgnoringCase(const std::string& text, const char* prefix) {
  const size_t n = std::strlen(prefix);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::toupper(static_cast<unsigned char>(text[i])) != std::toupper(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

// The record of firmware that has no pages to read: a version-3 record of a 100 Hz wireless
// tracker, held plain; the reader puts the answer's identity and hardware version into it.
const std::vector<uint8_t>& wirelessRecordImage() {
  static const std::vector<uint8_t> image = [] {
    EktsManager record;
    std::vector<uint8_t> scrambled(1320);
    if (!record.initialize(3)) return std::vector<uint8_t>();
    record.setSamplePeriod(1152);
    record.setOutputSkipFactor(0);
    const int size = record.getEncryptedEktsData(scrambled.data());
    std::vector<uint8_t> plain(static_cast<size_t>(size));
    EktsManager::codeEkts(scrambled.data(), plain.data(), size, 0);
    return plain;
  }();
  return image;
}

}  // namespace

KtwDevice::KtwDevice(DeviceFactory& factory, Communicator* communicator)
    : KtDevice(factory, communicator), m_hardwareParams(new KtxwHardwareParams()) {}

KtwDevice::KtwDevice(ZtDevice* master, const ZtDeviceId& deviceId)
    : KtDevice(master, deviceId), m_hardwareParams(new KtxwHardwareParams()) {}

KtwDevice::~KtwDevice() {
  delete m_hardwareParams;
  m_hardwareParams = nullptr;
}

ZtDevice* KtwDevice::constructAsMaster(DeviceFactory& factory, Communicator* communicator) {
  return constructAsMasterDevice<KtwDevice>(factory, communicator);
}

ZtDevice* KtwDevice::constructAsChild(ZtDevice& master, const ZtDeviceId& deviceId) {
  return constructAsChildDevice<KtwDevice>(master, deviceId);
}

KtHardwareParams& KtwDevice::hardwareParameters() { return *m_hardwareParams; }

void KtwDevice::fetchAvailableHardwareScenarios() { m_onboardProfiles.clear(); }

// ---- Record ---------------------------------------------------------------------------------------

bool KtwDevice::readEkts() {
  if (!communicator() || isReadingFromFile()) return KtDevice::readEkts();
  OwnedMessage reply;
  if (!exchangeRequest(kRequestRecord, {0, 0, 0}, kRecordTimeoutMs, &reply.m)) return false;
  const uint8_t* data = ZtMessage_constData(&reply.m);
  const size_t size = data ? ZtMessage_dataSize(&reply.m) : 0;
  if (size < 26 || data[7] != 17 || data[8] != 0x39) return KtDevice::readEkts();
  std::vector<uint8_t> image = wirelessRecordImage();
  if (image.size() < 26) return false;
  std::memcpy(image.data(), data, 4);
  image[24] = data[24];
  image[25] = data[25];
  if (!m_ekts->initializeFromBuffer(image.data(), static_cast<int>(image.size()), false)) return false;
  zelto::Matrix3x3 identity;
  identity.isIdentity();
  m_ekts->setObjectAlignment(identity);
  m_ekts->setHeadingOffset(0.0);
  gatherUserParams();
  std::lock_guard<std::mutex> lock(m_orientationLock);
  m_internalObjectAlignment = zelto::Quaternion();
  m_internalHeading = zelto::Quaternion();
  return true;
}

// ---- Hardware and scenarios --------------------------------------------------------------------------

bool KtwDevice::readHardwareParamsFromFile(const zelto::SettingsFile& settings) {
  const int major = m_ekts->hardwareVersionMajor();
  int minor = m_ekts->hardwareVersionMinor();
  // Revision 1.8 shares the characteristics of 1.0.
  if (major == 1 && minor == 8) minor = 0;
  zelto::Variant list;
  if (settings.getSetting("", kHardwareList, list) != ZRV_OK) return false;
  zelto::LabelList labels;
  try {
    labels = list.toLabelList();
  } catch (const ZtException&) {
    return false;
  }
  std::string matched;
  bool found = false;
  for (uint32_t i = 0; i < labels.count() && !found; ++i) {
    const std::string prefix = std::string(labels[i].c_str()) + ".";
    std::string revision, assembly;
    int entryMajor = 0, entryMinor = 0;
    if (settings.getSetting(prefix.c_str(), "gp.hw_revision", revision) != ZRV_OK ||
        !KtixDevice::parseHardwareRevision(revision.c_str(), entryMajor, entryMinor) ||
        settings.getSetting(prefix.c_str(), "gp.assembly", assembly) != ZRV_OK)
      continue;
    if (startsWithIgnoringCase(assembly, kAssemblyPrefix) && entryMajor == major && entryMinor == minor) {
      matched = prefix;
      found = true;
    }
  }
  if (!found) return false;
  const std::string hardwareType = findHardwareType(productCodeText());
  if (!hardwareType.empty()) m_hardwareParams->setHardwareType(hardwareType);
  return m_hardwareParams->readFromFileNoThrow(settings, matched);
}

void KtwDevice::loadScenario(ExtendedScenario* scenario, const zelto::SettingsFile& settings,
                             const std::string& prefix, const std::string& filterName) {
  if (!scenario) throw ZtException(ZRV_INVALIDPARAM, "no scenario");
  if (filterName.size() != 6 || !startsWithIgnoringCase(filterName, "ZKF-3W"))
    throw ZtException(ZRV_INVALIDPARAM, "not a ZKF-3W scenario: " + filterName);
  auto* parameters = installScenarioParameters<zelto::Zkf3wFilter, zelto::Zkf3wScenarioParams>(scenario, prefix);
  parameters->readFromFile(settings, prefix);
}

// ---- The host filter ---------------------------------------------------------------------------------

ZkfState* KtwDevice::createFilterState() const { return new zelto::Zkf3wState(); }

bool KtwDevice::initializeFilter() {
  const int rate = updateRate();
  // A new filter has taken no interval yet; a rewound replay starts the counters again.
  m_lastProcessed = -1;
  setZkfFilter(zelto::NonIntrusiveSharedPointer<ZtZkfFilter>());
  const ExtendedScenario* scenario =
      m_currentHostProfile.type != 0 ? findScenario(m_hostScenarios, m_currentHostProfile.type) : nullptr;
  if (!scenario || scenario->profile().filterType != zelto::Zkf3wFilter::kType) return false;
  gatherFilterInputs(rate);
  const auto* scenarioParams = dynamic_cast<const zelto::Zkf3wScenarioParams*>(scenario->parameters());
  if (!scenarioParams) return false;
  auto params = std::make_unique<zelto::Zkf3wParams>();
  const zelto::Zkf3wFilterSteps steps;
  params->initialize(*scenarioParams, hardwareParameters(), m_userParams, steps);
  if (!setZdaFilterProfile(*scenario)) {
    JLOG_ALERT("setZdaFilterProfile failed");
    return false;
  }
  zelto::NonIntrusiveSharedPointer<ZtZkfFilter> filter(new zelto::Zkf3wFilter(params.get()));
  setZkfFilter(filter);
  if (const zelto::SettingsFile* state = initialState()) {
    zelto::Zkf3wState initial;
    if (initial.readFromFileNoThrow(*state, "") && initial.isValid()) filter->setFullState(&initial);
  }
  return true;
}

void KtwDevice::performFiltering(ZtDataPacket& packet) {
  if (!zkfFilter() || !ZtDataPacket_containsFrameRange(&packet) || !ZtDataPacket_containsSdiData(&packet)) return;
  ZtRange range;
  ZtDataPacket_frameRange(&packet, &range);
  if (range.first == 0 && range.last == 0) return;
  int frames = range.last - range.first;
  // The 16-bit sample counter wrapped inside the interval.
  if (frames < 1) frames = ((frames % 65536) + 65536) % 65536;
  if (frames < 1) frames += 65536;
  const int rate = updateRate();
  if (rate <= 0) return;
  ZtSdiData sdi;
  ZtDataPacket_sdiData(&packet, &sdi);
  zelto::Zkf3wSensorData sensorData;
  const ZtQuaternion& dq = sdi.orientationIncrement;
  sensorData.dq = zelto::Quaternion(dq.w, dq.x, dq.y, dq.z);
  for (int k = 0; k < 3; ++k) sensorData.dv[k] = sdi.velocityIncrement[k];
  const uint16_t flag = m_pendingRealTimeFlag;
  m_pendingRealTimeFlag = 0;
  runFilterStep(packet, sensorData, flag, static_cast<double>(frames) / rate);
}

void KtwDevice::runFilterStep(ZtDataPacket& packet, const zelto::Zkf3wSensorData& sensorData, uint16_t realTimeFlag,
                              double interval) {
  const zelto::NonIntrusiveSharedPointer<ZtZkfFilter> filter = zkfFilter();
  if (!filter) return;
  const bool hasStatus = ZtDataPacket_containsStatus(&packet) != 0;
  uint32_t status = hasStatus ? ZtDataPacket_status(&packet) : 0;
  zelto::Zkf3wRealTimeParameters realTime;
  realTime.status = realTimeFlag;
  if (ZtDataPacket_containsDetailedStatus(&packet)) realTime.status = static_cast<uint16_t>(((status >> 8) & 0x3FE) | 1);
  zelto::Zkf3wAiding aiding;
  ZtDataPacket_calibratedMagneticField(&packet, &aiding.mag);
  zelto::Zkf3wFilterOutput output;
  ZkfTime time;
  time.T_int = interval;
  bool stepped = false;
  try {
    stepped = filter->doOneKalmanStep(sensorData, aiding, realTime, output, &time);
  } catch (...) {
    restartFilter(nullptr);
    throw;
  }
  if (!stepped) return;
  const ZtQuaternion orientation = doOrientationResets(output.orientation);
  ZtDataPacket_setOrientationQuaternion(&packet, &orientation, kNwuFrame);
  ZtDataPacket_setFreeAcceleration(&packet, &output.freeAcceleration);
  if (output.valid)
    status |= kSettledBit;
  else
    status &= ~kSettledBit;
  status &= ~kNoRotationMask;
  if (hasStatus) setStatusInPacket(packet, status);
}

void KtwDevice::resetSoftwareFilter(zelto::SettingsFile* settings) {
  if (!isSoftwareFilteringEnabled()) return;
  // Against the processing task's step: the restart and the new state land between two steps.
  std::lock_guard<std::recursive_mutex> lock(m_filterLock);
  const zelto::NonIntrusiveSharedPointer<ZtZkfFilter> filter = zkfFilter();
  if (!filter) return;
  restartFilter(nullptr);
  if (!settings) return;
  // A state that reads but is not valid (first iteration, a non-finite value, q_ls not a unit
  // quaternion) would leave the filter stepping from garbage: the restarted filter stays.
  zelto::Zkf3wState state;
  if (state.readFromFileNoThrow(*settings, "") && state.isValid()) filter->setFullState(&state);
}

bool KtwDevice::storeFilterState() {
  zelto::Zkf3wState state;
  {
    // The state is read between two steps; the tracker's own request below waits on the link,
    // so it goes out after the lock is released.
    std::lock_guard<std::recursive_mutex> lock(m_filterLock);
    const zelto::NonIntrusiveSharedPointer<ZtZkfFilter> filter = zkfFilter();
    if (filter && filter->isInitialized()) {
      // getFullState copies only into a state of the filter's own kind.
      if (filter->type() != zelto::Zkf3wFilter::kType) return false;
      filter->getFullState(&state);
      m_ekts->setGyroBiasEstimation(state.gyrBias);
      return true;
    }
  }
  return KtDevice::storeFilterState();
}

bool KtwDevice::updateBias(const ZtVector& bias) {
  if (!bias.data || bias.size < 3) return false;
  // Big-endian IEEE doubles, as every multi-byte field of a device message.
  std::vector<uint8_t> payload(24);
  for (int k = 0; k < 3; ++k) {
    const double v = bias.data[k];
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    for (int b = 0; b < 8; ++b) payload[static_cast<size_t>(k * 8 + b)] = static_cast<uint8_t>(bits >> (8 * (7 - b)));
  }
  return trackerRequest(kUpdateBias, payload);
}

TovanaStationDevice* KtwDevice::station() const {
  return isMasterDevice() ? nullptr : dynamic_cast<TovanaStationDevice*>(master());
}

// ---- The tracker's simple answers ---------------------------------------------------------------

bool KtwDevice::initialize(const zelto::SettingsFile& settings) {
  if (!KtDevice::initialize(settings)) {
    m_isInitialized = false;
    return false;
  }
  setDeviceState(ZDS_Config, true);
  updateConnectivityState(isMasterDevice() ? ZCS_PluggedIn : ZCS_Wireless);
  return true;
}

ZtOutputMode KtwDevice::outputMode() const {
  return configurationIndex() >= 0 ? configurationEntry().outputMode : KtDevice::outputMode();
}

ZtOutputSettings KtwDevice::outputSettings() const {
  return configurationIndex() >= 0 ? configurationEntry().outputSettings : KtDevice::outputSettings();
}

std::vector<int> KtwDevice::supportedUpdateRates(ZtDataIdentifier) const {
  return {200, 150, 120, 100, 75, 60, 50, 40, 25, 24, 20};
}

bool KtwDevice::trackerRequest(uint8_t requestId, const std::vector<uint8_t>& payload, ZtMessage* reply) const {
  Communicator* link = communicator();
  if (!link) return false;
  ZtMessage request;
  ZtMessage_constructSized(&request, payload.size());
  ZtMessage_setMessageId(&request, requestId);
  ZtMessage_setBusId(&request, static_cast<uint8_t>(busId()));
  if (!payload.empty()) ZtMessage_setDataBuffer(&request, payload.data(), payload.size(), 0);
  const uint8_t ackId = static_cast<uint8_t>(requestId + 1);
  bool acknowledged = false;
  {
    const auto requestLock = lockRequests();
    const Communicator::ReplyHandle ack = link->addReplyObject(ackId);
    if (ack && link->writeMessage(request)) {
      ZtMessage answer;
      ZtMessage_construct(&answer);
      acknowledged = ack->message(answer, kPriorityTimeout) && ZtMessage_getMessageId(&answer) == ackId;
      if (acknowledged && reply) ZtMessage_copy(reply, &answer);
      ZtMessage_destruct(&answer);
    }
  }
  ZtMessage_destruct(&request);
  return acknowledged;
}

bool KtwDevice::transportMode() const {
  ZtMessage reply;
  ZtMessage_construct(&reply);
  const bool on = trackerRequest(0xC2, {}, &reply) && ZtMessage_dataSize(&reply) >= 1 && ZtMessage_getDataByte(&reply, 0) == 1;
  ZtMessage_destruct(&reply);
  return on;
}

bool KtwDevice::setTransportMode(bool enable) { return trackerRequest(0xC2, {static_cast<uint8_t>(enable ? 1 : 0)}); }

bool KtwDevice::requestBatteryLevel() {
  Communicator* link = communicator();
  if (!link) return false;
  const ZtDeviceState state = deviceState();
  if (state != ZDS_Measurement && state != ZDS_Recording) return trackerRequest(0xC8, {0x49});
  ZtMessage request;
  ZtMessage_constructSized(&request, 1);
  ZtMessage_setMessageId(&request, 0xC8);
  ZtMessage_setBusId(&request, static_cast<uint8_t>(busId()));
  ZtMessage_setDataByte(&request, 0x49, 0);
  const bool written = link->writeMessage(request);
  ZtMessage_destruct(&request);
  return written;
}

// ---- Connection ----------------------------------------------------------------------------------

void KtwDevice::handleClientConnect(const ZtMessage& message) {
  if (ZtMessage_dataSize(&message) < 11) return;
  const ZtDeviceId id = ZtMessage_getDataLong(&message, 1);
  const auto rssi = static_cast<int16_t>(ZtMessage_getDataShort(&message, 5));
  const uint8_t status = ZtMessage_getDataByte(&message, 7);
  const uint16_t location = ZtMessage_getDataShort(&message, 9);
  if (id == deviceId() && rssi == m_rssi.load() && status == m_connectionStatus.load() &&
      location == m_connectLocationId.load() && connectivityState() == ZCS_Wireless)
    return;
  setDeviceId(id);
  m_rssi = rssi;
  m_connectionStatus = status;
  m_connectLocationId = location;
  updateConnectivityState(ZCS_Wireless);
}

void KtwDevice::handleRejectedClient(const ZtMessage& message) {
  if (ZtMessage_dataSize(&message) < 5) return;
  const ZtDeviceId id = ZtMessage_getDataLong(&message, 1);
  if (id == deviceId() && m_rssi.load() == kNoRssi && connectivityState() == ZCS_Rejected) return;
  setDeviceId(id);
  m_rssi = kNoRssi;
  updateConnectivityState(ZCS_Rejected);
}

void KtwDevice::handleClientDisconnect(const ZtMessage& message) {
  if (ZtMessage_dataSize(&message) < 8) return;
  const ZtDeviceId id = ZtMessage_getDataLong(&message, 1);
  const uint8_t status = ZtMessage_getDataByte(&message, 7);
  const ZtConnectivityState state = connectivityState();
  if (id == deviceId() && m_rssi.load() == kNoRssi && status == m_connectionStatus.load() &&
      (state == ZCS_Disconnected || state == ZCS_Rejected))
    return;
  setDeviceId(id);
  m_rssi = kNoRssi;
  m_connectionStatus = status;
  if (state != ZCS_Rejected) updateConnectivityState(ZCS_Disconnected);
}

void KtwDevice::setDisconnectedInternal(bool wait) {
  setDeviceState(ZDS_Config, wait);
  updateConnectivityState(ZCS_Disconnected);
  m_rssi = kNoRssi;
}

void KtwDevice::setRejectedInternal(ZtRejectReason reason, bool wait) {
  setDeviceState(ZDS_Config, wait);
  updateConnectivityState(ZCS_Rejected);
  m_rejectReason = reason;
  m_rssi = kNoRssi;
}

bool KtwDevice::acceptConnection() {
  TovanaStationDevice* s = station();
  return s && s->addRequestTask(std::make_unique<AcceptRejectTask>(s, deviceId(), true)) != 0;
}

bool KtwDevice::rejectConnection() {
  TovanaStationDevice* s = station();
  return s && s->addRequestTask(std::make_unique<AcceptRejectTask>(s, deviceId(), false)) != 0;
}

int KtwDevice::locationId() const {
  const int own = KtDevice::locationId();
  return own != 0 ? own : m_connectLocationId.load();
}

bool KtwDevice::setLocationId(int id) {
  if (!KtDevice::setLocationId(id)) return false;
  m_connectLocationId = static_cast<uint16_t>(id);
  return true;
}

// ---- Wireless priority and battery ---------------------------------------------------------------

bool KtwDevice::setWirelessPriority(int priority) {
  Communicator* link = communicator();
  if (isMasterDevice() || !link) return false;
  ZtMessage request;
  ZtMessage_constructSized(&request, 5);
  ZtMessage_setMessageId(&request, 0xB8);
  ZtMessage_setBusId(&request, static_cast<uint8_t>(master()->busId()));
  ZtMessage_setDataLong(&request, deviceId(), 0);
  ZtMessage_setDataByte(&request, static_cast<uint8_t>(priority), 4);
  bool acknowledged = false;
  {
    const auto requestLock = lockRequests();
    const Communicator::ReplyHandle ack = link->addReplyObject(0xB9);
    if (ack && link->writeMessage(request)) {
      ZtMessage answer;
      ZtMessage_construct(&answer);
      acknowledged = ack->message(answer, kPriorityTimeout) && ZtMessage_getMessageId(&answer) == 0xB9;
      ZtMessage_destruct(&answer);
    }
  }
  ZtMessage_destruct(&request);
  if (acknowledged) m_wirelessPriority = priority;
  return acknowledged;
}

void KtwDevice::handleBatteryLevel(uint8_t raw) {
  m_batteryLevel = static_cast<uint8_t>(ztScaleBatteryLevel(raw));
  onInfoResponse(this, ZIR_BatteryLevel);
}

void KtwDevice::handleBatteryLevel(const ZtMessage& message) {
  if (ZtMessage_dataSize(&message) < 2) return;
  handleBatteryLevel(ZtMessage_getDataByte(&message, 1));
}

// ---- Triggers, recording and flushing ------------------------------------------------------------

void KtwDevice::handleTrigger(const ZtTriggerIndicationData& trigger) {
  if (trigger.type != 1 && trigger.type != 2) return;
  std::lock_guard<std::mutex> lock(m_triggerMutex);
  m_triggers[trigger.type - 1] = trigger;
  m_triggerValid[trigger.type - 1] = true;
  m_triggerPending.store(true, std::memory_order_release);
}

bool KtwDevice::pendingTrigger(int slot, ZtTriggerIndicationData& out) const {
  if (slot != 1 && slot != 2) return false;
  std::lock_guard<std::mutex> lock(m_triggerMutex);
  if (!m_triggerValid[slot - 1]) return false;
  out = m_triggers[slot - 1];
  return true;
}

int64_t KtwDevice::highestCounter() const {
  std::lock_guard<std::mutex> lock(m_highestMutex);
  return m_highestPacket && !ZtDataPacket_empty(m_highestPacket) ? m_highestPacket->packetId : -1;
}

void KtwDevice::setRecordingStartFrame(uint16_t frame) {
  m_recordingStartFrame = PacketStamper::calculateLargePacketCounter(frame, highestCounter());
}

void KtwDevice::startFlushing(bool wait) {
  m_flushingLimit = highestCounter();
  setDeviceState(ZDS_FlushingData, wait);
}

void KtwDevice::handleFlushingIndication(const ZtMessage& message) {
  if (ZtMessage_dataSize(&message) < 5) return;
  const int64_t limit = m_flushingLimit.load();
  const int64_t frame = PacketStamper::calculateLargePacketCounter(ZtMessage_getDataShort(&message, 3), limit);
  if (frame > limit) m_flushingLimit = frame;
}

// ---- Packets -------------------------------------------------------------------------------------

void KtwDevice::handleMessage(const ZtMessage& message) {
  if (ZtMessage_empty(&message) || ZtMessage_getMessageId(&message) != kLegacyData) {
    KtDevice::handleMessage(message);
    return;
  }
  zelto::ScratchPacket packet;
  {
    // One one-device layout per decoding thread (a station's trackers are decoded on its parse
    // thread, one message at a time): no lock, and laid out again only when the format differs
    // from the last message's, so a station's trackers of one format cost no layout per message
    // and none an allocation. Its use ends before the packet is handled (as the base's layouts).
    thread_local std::unique_ptr<LegacyDataPacket> layout;
    const ZtDataFormat format = legacyFormat();
    if (!layout) {
      layout = std::make_unique<LegacyDataPacket>(1, false);
      layout->setZbusSystem(false, false);
      layout->setDataFormat(format, 0);
    }
    const ZtDataFormat laid = layout->dataFormat(0);
    if (laid.outputMode != format.outputMode || laid.outputSettings != format.outputSettings)
      layout->setDataFormat(format, 0);
    if (layout->deviceId(0) != deviceId()) layout->setDeviceId(deviceId(), 0);
    layout->setMessage(message);
    ZtDataPacket_assignFromZtLegacyDataPacket(packet.get(), *layout, 0);
  }
  if (ZtDataPacket_containsFrameRange(packet.get()))
    stampByFrameAndProcess(*packet);
  else
    KtDevice::handleDataPacket(*packet);
}

void KtwDevice::handleDataPacket(const ZtDataPacket& packet) {
  if (!ZtDataPacket_containsFrameRange(&packet)) {
    KtDevice::handleDataPacket(packet);
    return;
  }
  zelto::ScratchPacket copy;
  ZtDataPacket_copy(copy.get(), &packet);
  stampByFrameAndProcess(*copy);
}

void KtwDevice::stampByFrameAndProcess(ZtDataPacket& packet) {
  ZtRange range;
  ZtDataPacket_frameRange(&packet, &range);
  {
    std::lock_guard<std::mutex> lock(m_highestMutex);
    packet.toa = ZtTimeStamp_now();
    const int64_t previous = ZtDataPacket_empty(m_highestPacket) ? -1 : m_highestPacket->packetId;
    packet.packetId = PacketStamper::calculateLargePacketCounter(static_cast<uint16_t>(range.last), previous);
    if (packet.packetId > previous) ZtDataPacket_copy(m_highestPacket, &packet);
  }
  // The caller's scratch packet: its content moves into the processing task.
  processOwnPacket(packet, communicator() && !isReadingFromFile());
}

void KtwDevice::doProcessing(ZtDataPacket& packet) {
  if (packet.deviceId != deviceId()) {
    KtDevice::doProcessing(packet);
    return;
  }
  setTriggerIndication(packet);
  zelto::IPacketDataCache* working = workingCache();
  // Late also against the last packet filtered: outside a recording every flush empties the
  // working cache, and a late packet would step the filter over an interval it already took.
  // Half the frame counter's range below it is a restarted count, not a late packet.
  const int64_t lastProcessed = m_lastProcessed.load();
  bool late = lastProcessed >= 0 && packet.packetId <= lastProcessed && packet.packetId > lastProcessed - 32768;
  try {
    late = late || (working && !working->empty() && packet.packetId < working->highestKey());
  } catch (const ZtException&) {
    // emptied meanwhile
  }
  if (!late) {
    m_lastProcessed = packet.packetId;
    KtDevice::doProcessing(packet);
    return;
  }
  if (isRecording() && working) {
    // Kept for the recording whatever its age: it rebases the interval that contains it, or,
    // when that one was written already, it is written after it.
    try {
      insertOrUpdateCacheItem(working, packet);
      const ZtDataFormat format = legacyFormat();
      SdiRebaser::rebaseOnThisIfNecessary(packet.packetId, *working, &format);
    } catch (const ZtException& e) {
      JLOG_ERROR("device " << std::hex << deviceId() << std::dec << ": late packet not kept: " << e.what());
    }
  }
  checkCache();
}

void KtwDevice::insertPacketInCaches(ZtDataPacket& packet) {
  if (!readyCache() || !workingCache()) {
    JLOG_ALERT("No readyCache for device " << std::uppercase << std::hex << std::setw(8) << std::setfill('0')
                                           << deviceId());
    return;
  }
  // Outside a recording the working cache only hands each packet to onWriteDataToLogFile, its
  // flush dropping it at once: while nothing waits in it, the packet passes it by (no copy in and
  // out) and the event the flush would raise is raised here, after onDataAvailable as then. The
  // state cannot change meanwhile: state changes are tasks chained behind this one. A packet the
  // cache refuses (a negative id is no key) still goes the cache's way, its refusal journalled.
  bool passes = false;
  try {
    passes = packet.packetId >= 0 && flushesWithoutWriting(deviceState()) && workingCache()->empty();
    if (passes)
      storeInReadyCache(packet);
    else
      storeInCaches(packet);
  } catch (const ZtException& e) {
    JLOG_ERROR(std::uppercase << std::hex << std::setw(8) << std::setfill('0') << deviceId()
                              << " Error trying to insert the packet: " << e.what());
  }
  onDataAvailable(this, &packet);
  if (passes) onWriteDataToLogFile(this, &packet);
  checkCache();
}

bool KtwDevice::flushesWithoutWriting(ZtDeviceState state) const {
  const Communicator* link = communicator();
  return link && !link->isReadingFromFile() && state != ZDS_Recording && state != ZDS_FlushingData &&
         state != ZDS_FinalizingRecording;
}

ZtDataFormat KtwDevice::legacyFormat() const {
  ZtDataFormat format;
  format.outputMode = outputMode();
  format.outputSettings = outputSettings();
  return format;
}

void KtwDevice::flushCache() {
  Communicator* link = communicator();
  zelto::IPacketDataCache* working = workingCache();
  if (!link || link->isReadingFromFile() || !working) return;
  const ZtDeviceState state = deviceState();
  if (flushesWithoutWriting(state)) {
    // Nothing waits and nothing is written: each packet is taken out (moved, not copied).
    zelto::ScratchPacket packet;
    try {
      while (working->takeLowest(*packet)) onWriteDataToLogFile(this, packet.get());
    } catch (const ZtException&) {
      // emptied meanwhile
    }
    return;
  }
  if (!writeWorkingCache(*working, state, m_flushingLimit.load())) return;
  if (state == ZDS_FinalizingRecording && working->empty()) updateDeviceState(ZDS_Measurement);
}

bool KtwDevice::writeWorkingCache(zelto::IPacketDataCache& working, ZtDeviceState state, int64_t limit) {
  std::lock_guard<std::recursive_mutex> lock(m_recordingWriteMutex);
  // Asked for again on this thread from inside the pass (by one of its onWriteDataToLogFile
  // handlers): that pass writes the rest; a second one would offer the packet in hand again.
  const std::thread::id self = std::this_thread::get_id();
  if (m_recordingWriter == self) return true;
  m_recordingWriter = self;
  struct WriterReset {
    std::thread::id& writer;
    ~WriterReset() { writer = std::thread::id(); }
  } writerReset{m_recordingWriter};
  const int64_t start = m_recordingStartFrame.load();
  zelto::ScratchPacket packet;
  try {
    while (working.lowestInto(*packet)) {
      const int64_t c = packet->packetId;
      const bool spansLoss = SdiRebaser::needsRebasing(*packet);
      bool inside = false;
      bool recorded = false;  // part of the recording
      if (state == ZDS_Recording || state == ZDS_FlushingData) {
        // An interval over a lost frame waits for that frame's late packet (which the station
        // may send only while flushing), and so does one inside such an interval, until the
        // working cache is full; the recording's end (FinalizingRecording) writes them.
        // Packets up to the recording's start frame are dropped at once.
        const bool full = working.size() >= working.maxSize();
        const bool before = c <= start;
        if (spansLoss && !full && !before) break;
        inside = !before && SdiRebaser::isSubInterval(*packet, working);
        if (inside && !full) break;
        if (state == ZDS_FlushingData && limit < c) break;
        recorded = !before;
      } else if (state == ZDS_FinalizingRecording) {
        inside = SdiRebaser::isSubInterval(*packet, working);
        recorded = limit >= c;
      }
      if (recorded && inside) {
        // Its frames are in the interval that contains it, which is written whole.
        JLOG_ALERT("device " << std::hex << deviceId() << std::dec << ": interval " << frameRangeText(*packet)
                             << " left out of the recording, inside an interval recorded whole");
      } else if (recorded && onWriteDataToLogFile(this, packet.get())) {
        // The handler may have emptied the working cache (flushInputBuffers): then it is not
        // written.
        if (!working.contains(c)) continue;
        if (spansLoss)
          JLOG_ALERT("device " << std::hex << deviceId() << std::dec << ": interval " << frameRangeText(*packet)
                               << " recorded without the packets of its lost frames");
        else if (c < m_lastWritten.load())
          JLOG_ALERT("device " << std::hex << deviceId() << std::dec << ": interval " << frameRangeText(*packet)
                               << " recorded after the interval that spans it");
        const ZtMessage& original = ZtMessage_empty(&packet->original) ? packet->message : packet->original;
        writeMessageToLogFile(original);
        if (c > m_lastWritten.load()) m_lastWritten = c;
      }
      working.remove(c);
    }
  } catch (const ZtException&) {
    return false;  // emptied meanwhile
  }
  return true;
}

void KtwDevice::writeHeldBack(ZtDeviceState from) {
  Communicator* link = communicator();
  zelto::IPacketDataCache* working = workingCache();
  if (!link || link->isReadingFromFile() || !working) return;
  size_t held = 0;
  try {
    held = working->size();
  } catch (const ZtException&) {
    return;
  }
  if (held == 0) return;
  JLOG_ALERT("device " << std::hex << deviceId() << std::dec << ": recording left from state " << from << " with "
                       << held << " packets held back: written as its final flush writes them");
  // The flushing limit bounds the recording only once the station flushes it.
  const int64_t limit = from == ZDS_Recording ? std::numeric_limits<int64_t>::max() : m_flushingLimit.load();
  writeWorkingCache(*working, ZDS_FinalizingRecording, limit);
}

void KtwDevice::prepareForTermination() {
  // The processing queued so far runs first: what it holds back for a recording is then written
  // by the change to Destructing (updateDeviceState); a packet routed to the tracker meanwhile
  // flushes only around that write (m_recordingWriteMutex).
  if (!m_terminationPrepared.load()) waitForLastScheduledTask();
  KtDevice::prepareForTermination();
}

void KtwDevice::setTriggerIndication(ZtDataPacket& packet) {
  if (!ZtDataPacket_containsFrameRange(&packet) || !m_triggerPending.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lock(m_triggerMutex);
  for (int slot = 0; slot < 2; ++slot) {
    if (!m_triggerValid[slot]) continue;
    // Both on the unwrapped counter: a trigger at 65530 still fires after the wrap, one at 2
    // does not fire on a packet at 65534.
    const int64_t triggerCounter = PacketStamper::calculateLargePacketCounter(m_triggers[slot].frameNumber, packet.packetId);
    if (packet.packetId < triggerCounter) continue;
    ZtDataPacket_setTriggerIndication(&packet, slot == 0 ? 0x4810 : 0x4820, &m_triggers[slot]);
    m_triggerValid[slot] = false;
  }
  m_triggerPending.store(m_triggerValid[0] || m_triggerValid[1], std::memory_order_release);
}

void KtwDevice::createDataCache() {
  KtDevice::createDataCache();
  if (readyCache()) readyCache()->setDeviceId(deviceId());
  if (workingCache()) workingCache()->setDeviceId(deviceId());
}

void KtwDevice::handleIndications(const ZtMessage& message) {
  if (ZtMessage_dataSize(&message) >= 2 && ZtMessage_getDataByte(&message, 0) == kBatteryIndication)
    handleBatteryLevel(message);
}

void KtwDevice::handleNonDataMessage(const ZtMessage& message) {
  if (!ZtMessage_empty(&message) && ZtMessage_getMessageId(&message) == kStationIndication) handleIndications(message);
  KtDevice::handleNonDataMessage(message);
}

void KtwDevice::updateDeviceState(ZtDeviceState state) {
  // Leaving the recording other than through its final flush (a stop the station did not
  // acknowledge, gotoConfig, the tracker removed or closed): what the working cache still holds
  // back (intervals waiting for a lost frame, and the packets behind them) belongs to the
  // recording and is written before the state that would drop it is entered.
  if (holdsForRecording(deviceState()) && !holdsForRecording(state)) writeHeldBack(deviceState());
  // A new recording: packets are numbered from its start (the count may have restarted).
  if (state == ZDS_Recording && deviceState() != ZDS_Recording) m_lastWritten = -1;
  if (state == ZDS_Config) {
    std::lock_guard<std::mutex> lock(m_triggerMutex);
    m_triggerValid[0] = m_triggerValid[1] = false;
    m_triggerPending.store(false, std::memory_order_release);
  }
  KtDevice::updateDeviceState(state);
}
