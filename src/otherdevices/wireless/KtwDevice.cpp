#include "otherdevices/wireless/KtwDevice.h"

#include "device/ScratchPacket.h"
#include "errors/ZtException.h"
#include "foundation/JournalMacros.h"
#include "device/cache/IPacketDataCache.h"
#include "otherdevices/wireless/SdiRebaser.h"
#include "otherdevices/wireless/TovanaStationDevice.h"
#include "transport/link/Communicator.h"
#include "transport/link/PacketStamper.h"
#include "zeltodeviceapi/zdalibrary.h"

namespace {
constexpr int16_t kNoRssi = -128;
constexpr unsigned kPriorityTimeout = 200;
}  // namespace

KtwDevice::KtwDevice(DeviceFactory& factory, Communicator* communicator) : KtDevice(factory, communicator) {}

KtwDevice::KtwDevice(ZtDevice* master, const ZtDeviceId& deviceId) : KtDevice(master, deviceId) {}

KtwDevice::~KtwDevice() = default;

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
  return s && s->queueAcceptReject(deviceId(), true) != 0;
}

bool KtwDevice::rejectConnection() {
  TovanaStationDevice* s = station();
  return s && s->queueAcceptReject(deviceId(), false) != 0;
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

void KtwDevice::handleDataPacket(const ZtDataPacket& packet) {
  if (!ZtDataPacket_containsFrameRange(&packet)) {
    KtDevice::handleDataPacket(packet);
    return;
  }
  zelto::ScratchPacket copy;
  ZtDataPacket_copy(copy.get(), &packet);
  ZtRange range;
  ZtDataPacket_frameRange(&packet, &range);
  {
    std::lock_guard<std::mutex> lock(m_highestMutex);
    copy->toa = ZtTimeStamp_now();
    const int64_t previous = ZtDataPacket_empty(m_highestPacket) ? -1 : m_highestPacket->packetId;
    copy->packetId = PacketStamper::calculateLargePacketCounter(static_cast<uint16_t>(range.last), previous);
    if (copy->packetId > previous) ZtDataPacket_copy(m_highestPacket, copy.get());
  }
  processPacket(*copy, communicator() && !isReadingFromFile());
}

void KtwDevice::doProcessing(ZtDataPacket& packet) {
  if (packet.deviceId != deviceId()) {
    KtDevice::doProcessing(packet);
    return;
  }
  setTriggerIndication(packet);
  zelto::IPacketDataCache* working = workingCache();
  bool late = false;
  try {
    late = working && !working->empty() && packet.packetId < working->highestKey();
  } catch (const ZtException&) {
    late = false;  // emptied meanwhile
  }
  if (!late) {
    KtDevice::doProcessing(packet);
    return;
  }
  if (isRecording()) {
    try {
      zelto::ScratchPacket lowest;
      if (working->lowestInto(*lowest)) {
        ZtRange range{0, 0};
        if (ZtDataPacket_containsFrameRange(lowest.get())) ZtDataPacket_frameRange(lowest.get(), &range);
        const int64_t span = SdiRebaser::frameDistance(static_cast<uint16_t>(range.first), static_cast<uint16_t>(range.last));
        // Older than what the cache can still rebase: of no use to the recording.
        if (packet.packetId > lowest->packetId - span) {
          insertOrUpdateCacheItem(working, packet);
          SdiRebaser::rebaseOnThisIfNecessary(packet.packetId, *working);
        }
      }
    } catch (const ZtException& e) {
      JLOG_ERROR("device " << std::hex << deviceId() << std::dec << ": late packet not kept: " << e.what());
    }
  }
  checkCache();
}

void KtwDevice::flushCache() {
  Communicator* link = communicator();
  zelto::IPacketDataCache* working = workingCache();
  if (!link || link->isReadingFromFile() || !working) return;
  const ZtDeviceState state = deviceState();
  const int64_t limit = m_flushingLimit.load();
  const int64_t start = m_recordingStartFrame.load();
  zelto::ScratchPacket packet;
  try {
    while (working->lowestInto(*packet)) {
      const int64_t c = packet->packetId;
      bool write = false;
      if (state == ZDS_Recording || state == ZDS_FlushingData) {
        if (SdiRebaser::needsRebasing(*packet) && working->size() <= kRebaseHoldBack) break;
        if (state == ZDS_FlushingData && limit < c) break;
        write = !SdiRebaser::isSubInterval(*packet, *working) && c > start;
      } else if (state == ZDS_FinalizingRecording) {
        write = limit >= c && !SdiRebaser::isSubInterval(*packet, *working);
      } else {
        onWriteDataToLogFile(this, packet.get());
      }
      if (write && onWriteDataToLogFile(this, packet.get())) {
        const ZtMessage& original = ZtMessage_empty(&packet->original) ? packet->message : packet->original;
        writeMessageToLogFile(original);
      }
      working->remove(c);
    }
  } catch (const ZtException&) {
    return;  // emptied meanwhile
  }
  if (state == ZDS_FinalizingRecording && working->empty()) updateDeviceState(ZDS_Measurement);
}

void KtwDevice::setTriggerIndication(ZtDataPacket& packet) {
  if (!ZtDataPacket_containsFrameRange(&packet)) return;
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
}

void KtwDevice::createDataCache() {
  KtDevice::createDataCache();
  if (readyCache()) readyCache()->setDeviceId(deviceId());
  if (workingCache()) workingCache()->setDeviceId(deviceId());
}

void KtwDevice::handleNonDataMessage(const ZtMessage& message) {
  if (!ZtMessage_empty(&message) && ZtMessage_getMessageId(&message) == 0x46 && ZtMessage_dataSize(&message) >= 2 &&
      ZtMessage_getDataByte(&message, 0) == 12)
    handleBatteryLevel(message);
  KtDevice::handleNonDataMessage(message);
}

void KtwDevice::updateDeviceState(ZtDeviceState state) {
  if (state == ZDS_Config) {
    std::lock_guard<std::mutex> lock(m_triggerMutex);
    m_triggerValid[0] = m_triggerValid[1] = false;
  }
  KtDevice::updateDeviceState(state);
}
