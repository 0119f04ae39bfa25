#pragma once
// The wireless tracker: a master of its own while docked or wired, a child of a station
// (TovanaStationDevice) while connected wirelessly. This part holds what the station calls: its
// connection indications (connect, disconnect, reject), the accept and reject requests, the
// trigger slots, the recording start frame and the flushing limit, battery level and wireless
// priority; its record read, "KTx-W" hardware parameters, "ZKF-3W" scenarios and the Zkf3w host
// filter stepped over each packet's frame range.
//
// Threads: the indication handlers run on the station's parse thread and never wait there
// (state changes they make are queued, not awaited); setters run on the caller's thread. The
// connection fields are atomics; the trigger slots are guarded by m_triggerMutex (a leaf).
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "trackers/KtDevice.h"

namespace zelto {
class Zkf3wSensorData;
}

class KtxwHardwareParams;
class LegacyDataPacket;
class TovanaStationDevice;
struct ZtDataFormat;

class KtwDevice : public KtDevice {
 public:
  KtwDevice(DeviceFactory& factory, Communicator* communicator);
  KtwDevice(ZtDevice* master, const ZtDeviceId& deviceId);
  ~KtwDevice() override;

  static ZtDevice* constructAsMaster(DeviceFactory& factory, Communicator* communicator);
  static ZtDevice* constructAsChild(ZtDevice& master, const ZtDeviceId& deviceId);

  // ---- Record, hardware, scenarios and the host filter -------------------------------------------
  // From a log file the base read. Otherwise 0x90 [0, 0, 0], 0x91 within 15 s: firmware that
  // answers 17, 0x39 at data bytes 7 and 8 has no pages to read, and the record is the library's
  // image with the answer's identity (data bytes 0-3) and location id (data bytes 24 and 25, in
  // the record's byte order), identity alignment and no heading offset; any other answer
  // (also one too short to hold those bytes): the paged read.
  bool readEkts() override;
  KtHardwareParams& hardwareParameters() override;
  // The first "ZKF.hardwares" entry of a "KTx-W" assembly with the record's hardware revision
  // (1.8 counts as 1.0); the hardware type from the product code. False when none is found.
  bool readHardwareParamsFromFile(const zelto::SettingsFile& settings) override;
  // "ZKF-3W" in any case; the scenario gets a Zkf3wScenarioParams read under prefix. Throws
  // ZtException (the scenario is discarded) for another name, another filter major version, a
  // lower minor version or a missing key.
  void loadScenario(ExtendedScenario* scenario, const zelto::SettingsFile& settings, const std::string& prefix,
                    const std::string& filterName) override;
  // The tracker has no onboard scenarios: the list is emptied, nothing is sent.
  void fetchAvailableHardwareScenarios() override;
  // The Zkf3w filter from the current host profile's scenario, the hardware and the user
  // parameters, with the initial state when one is held. False (filter cleared) without a
  // profile or for a profile of another filter. The last packet filtered is forgotten, so the
  // packets of a rewound replay are not taken for late ones.
  bool initializeFilter() override;
  // One Zkf3w step over the packet's frame range at the update rate (a wrapped range counts
  // modulo 65536): orientation through the orientation resets (frame 0x0008), free
  // acceleration, status bit 0x02 from the output's validity, 0x18 cleared. Packets without an
  // SDI interval or frame range, or an update rate of 0, are left as they are. A step that
  // throws restarts the filter and the exception passes on.
  void performFiltering(ZtDataPacket& packet) override;
  // Restarts the filter (with software filtering on) and sets the file's state when it is valid.
  void resetSoftwareFilter(zelto::SettingsFile* settings) override;
  // An initialised filter's gyroscope bias into the record; without an initialised filter the
  // tracker's own store request (Config only).
  bool storeFilterState() override;
  ZkfState* createFilterState() const override;
  // 0xBC with x, y, z as big-endian doubles on the tracker's bus id, 0xBD within 200 ms; false
  // for a vector of fewer than three values.
  bool updateBias(const ZtVector& bias);
  // Handed to the next filter step's real-time status and then cleared.
  void setPendingRealTimeFlag(uint16_t flag) { m_pendingRealTimeFlag = flag; }

  // ---- The tracker's simple answers ------------------------------------------------------------
  // The tracker's initialisation, then Config (awaited) and connectivity wireless (a station's
  // child) or plugged in (a master); false, and not initialised, when it fails.
  bool initialize(const zelto::SettingsFile& settings) override;
  // 200, 150, 120, 100, 75, 60, 50, 40, 25, 24, 20 Hz.
  std::vector<int> supportedUpdateRates(ZtDataIdentifier dataIdentifier) const override;
  // The output mode and settings the configuration gives the tracker (how its data are relayed,
  // whatever the record holds); the record's when the configuration does not list it.
  ZtOutputMode outputMode() const override;
  ZtOutputSettings outputSettings() const override;
  bool setSerialBaudRate(ZtBaudRate) override { return true; }
  std::vector<ZtSyncSetting> syncSettings() const override { return {}; }
  // True only for an empty list; nothing is sent.
  bool setSyncSettings(const std::vector<ZtSyncSetting>& settings) override { return settings.empty(); }
  bool readEktsInParts() const override { return true; }
  // Orientation resets are always done on the host.
  bool canDoOrientationResetInFirmware(ZtResetMethod) const override { return false; }
  bool resetOrientation(ZtResetMethod method) override { return scheduleOrientationReset(method); }
  // 0xC2 without payload; true when the acknowledgement's first byte is 1.
  bool transportMode() const override;
  bool setTransportMode(bool enable) override;
  // 0xC8 [0x49]: acknowledged by 0xC9 in configuration; while measuring or recording only
  // written, the level following as indication 12.
  bool requestBatteryLevel() override;

  // ---- Connection, as the station reports it --------------------------------------------------
  // Indication 0x46 data: byte 0 sub-id, u32 device id at 1, u16 RSSI at 5, status byte at 7, u16
  // location id at 9. An indication shorter than the fields a handler reads is ignored.
  void handleClientConnect(const ZtMessage& message);
  void handleClientDisconnect(const ZtMessage& message);
  void handleRejectedClient(const ZtMessage& message);
  // State Config (awaited, or only queued without wait), connectivity disconnected, RSSI -128.
  void setDisconnected() { setDisconnectedInternal(true); }
  void setDisconnectedInternal(bool wait);
  // State Config, connectivity rejected with the reason, RSSI -128.
  void setRejected(ZtRejectReason reason) { setRejectedInternal(reason, true); }
  void setRejectedInternal(ZtRejectReason reason, bool wait);
  // Queue the station's accept or reject request on the station's request thread; false without
  // a station master.
  bool acceptConnection() override;
  bool rejectConnection() override;
  ZtRejectReason rejectReason() const override { return m_rejectReason.load(); }
  int lastKnownRssi() const override { return m_rssi.load(); }
  uint8_t connectionStatus() const { return m_connectionStatus.load(); }
  int locationId() const override;
  bool setLocationId(int id) override;

  // ---- Wireless priority and battery ----------------------------------------------------------
  int wirelessPriority() const override { return m_wirelessPriority.load(); }
  // 0xB8 (u32 device id, one priority byte) on the master's bus id, 0xB9 within 200 ms; the
  // priority is kept only when acknowledged. False on a master tracker.
  bool setWirelessPriority(int priority) override;
  int batteryLevel() const override { return m_batteryLevel.load(); }
  // The level (percent) of the raw byte, then onInfoResponse(battery level).
  void handleBatteryLevel(uint8_t raw);
  // Indication 12: the raw level at data byte 1; shorter indications are ignored.
  void handleBatteryLevel(const ZtMessage& message);

  // ---- Triggers, recording and flushing -------------------------------------------------------
  // Type 1 fills slot 1, type 2 slot 2; other types are ignored.
  void handleTrigger(const ZtTriggerIndicationData& trigger);
  // The pending trigger of slot 1 or 2 (false when the slot is empty).
  bool pendingTrigger(int slot, ZtTriggerIndicationData& out) const;
  // The recording's first frame, unwrapped against the highest packet's counter.
  void setRecordingStartFrame(uint16_t frame);
  int64_t recordingStartFrame() const { return m_recordingStartFrame.load(); }
  // Flushing limit = the highest packet's counter, then state FlushingData (awaited only with
  // wait: the station's parse thread passes false).
  void startFlushing(bool wait = true);
  // Indication 19: the frame at data offset 3 (unwrapped) raises the flushing limit.
  void handleFlushingIndication(const ZtMessage& message);
  int64_t flushingLimit() const { return m_flushingLimit.load(); }

  // ---- Packets --------------------------------------------------------------------------------
  // A legacy data message (0x32) is decoded as one device with this tracker's id and the data
  // format of its own outputMode and outputSettings (each tracker of a station may send its
  // values in another form), then taken as handleDataPacket takes a packet, without a copy.
  // Other messages: the base handling.
  void handleMessage(const ZtMessage& message) override;
  // A packet with a frame range is numbered by the last frame of its range, unwrapped against
  // the highest packet (not previous + 1), so counters stay tied to frames after a radio loss;
  // other packets take the base numbering.
  void handleDataPacket(const ZtDataPacket& packet) override;
  // The pending triggers first. A packet not older than the working cache's newest goes through
  // the tracker's processing (filter, caches, onDataAvailable). An older one (a late packet after
  // a radio loss) is neither filtered nor delivered again: while recording it enters the working
  // cache, whatever its age, and the cached interval that contains it is rebased onto it;
  // otherwise it is dropped.
  void doProcessing(ZtDataPacket& packet) override;
  // Writes the working cache to the recording, lowest counter first. Recording / FlushingData:
  // an interval over a lost frame, and one inside such an interval, waits for the lost frame's
  // late packet until the working cache is full (then it is written as it is, or left out when
  // inside an interval written whole, never trimmed unwritten); FlushingData stops at the
  // flushing limit; packets up to the recording start frame are dropped. FinalizingRecording:
  // packets beyond the limit dropped, the rest written (what still waited, as it is), then
  // Measurement once the cache is empty. Other states: onWriteDataToLogFile only. An interval
  // written without its lost frames, one written after the interval spanning it, and one left
  // out are journalled.
  void flushCache() override;
  // The base storing (working and ready caches), its event and the flush; without the caches a
  // journal line ("No readyCache for device "), a failing cache journalled and the packet still
  // delivered. Where the flush would drop the packet unwritten at once (a live tracker outside a
  // recording, nothing waiting in the working cache), the packet skips the working cache and
  // onWriteDataToLogFile follows onDataAvailable directly.
  void insertPacketInCaches(ZtDataPacket& packet) override;
  // Gives the packet the pending trigger of each slot whose frame the packet has reached (frames
  // unwrapped against the packet's counter), and empties that slot.
  virtual void setTriggerIndication(ZtDataPacket& packet);
  // The base caches, tagged with the tracker's own id (not its station's).
  void createDataCache() override;

  // A station indication (0x46) on the tracker's bus id through handleIndications; then the base.
  void handleNonDataMessage(const ZtMessage& message) override;
  // A station indication for this tracker: the battery level (sub-id 12, the raw level at data
  // byte 1) is taken as handleBatteryLevel; other sub-ids, and an indication too short for its
  // fields, change nothing.
  void handleIndications(const ZtMessage& message);
  // Entering Config drops the pending triggers. Leaving Recording, FlushingData or
  // FinalizingRecording for any other state first writes what the working cache holds back, as
  // the final flush writes it (no flushing limit while still recording), journalled.
  void updateDeviceState(ZtDeviceState state) override;
  // Lets the processing queued so far finish before the change to Destructing, which writes what
  // it held back for a recording.
  void prepareForTermination() override;

 protected:
  TovanaStationDevice* station() const;
  // The filter step of performFiltering once the sensor data are filled: the exception rule and
  // the packet's orientation, free acceleration and status.
  void runFilterStep(ZtDataPacket& packet, const zelto::Zkf3wSensorData& sensorData, uint16_t realTimeFlag,
                     double interval);

 private:
  int64_t highestCounter() const;
  // Whether flushCache in this state drops each packet unwritten (a live link outside the
  // recording states).
  bool flushesWithoutWriting(ZtDeviceState state) const;
  // The states in which the working cache holds packets back for the recording.
  static bool holdsForRecording(ZtDeviceState state) {
    return state == ZDS_Recording || state == ZDS_FlushingData || state == ZDS_FinalizingRecording;
  }
  // flushCache's writing in a recording state, with that flushing limit, up to the first packet
  // that waits; false when the cache was emptied meanwhile.
  bool writeWorkingCache(zelto::IPacketDataCache& working, ZtDeviceState state, int64_t limit);
  // Writes what the working cache holds back when the recording is left from state `from`.
  void writeHeldBack(ZtDeviceState from);
  // The form of the tracker's legacy data messages: its outputMode and outputSettings.
  ZtDataFormat legacyFormat() const;
  // Numbers a packet with a frame range by its last frame (in place) and processes it.
  void stampByFrameAndProcess(ZtDataPacket& packet);
  // One request on the tracker's own bus id (200 ms); reply (optional) receives the answer.
  bool trackerRequest(uint8_t requestId, const std::vector<uint8_t>& payload, ZtMessage* reply = nullptr) const;

  KtxwHardwareParams* m_hardwareParams;
  uint16_t m_pendingRealTimeFlag = 0;  // processing thread only
  // The counter of the last packet filtered: written by the processing task, forgotten by
  // initializeFilter (any thread).
  std::atomic<int64_t> m_lastProcessed{-1};
  std::atomic<int64_t> m_lastWritten{-1};  // highest counter written to the current recording
  std::atomic<int16_t> m_rssi{0};
  std::atomic<uint8_t> m_connectionStatus{0};
  std::atomic<uint8_t> m_batteryLevel{0};
  std::atomic<uint16_t> m_connectLocationId{0};
  std::atomic<int32_t> m_wirelessPriority{0};
  std::atomic<int64_t> m_flushingLimit{0};
  std::atomic<int64_t> m_recordingStartFrame{0};
  std::atomic<ZtRejectReason> m_rejectReason{ZRR_Unknown};
  // Serialises the writing of the working cache to the recording. The tracker's processing and
  // its state changes are one chain, but a removal's change to Destructing runs beside a packet
  // routed to the tracker just before; without it both would write the same packets. Recursive,
  // so that a write-back asked for from inside a pass on the same thread (an onWriteDataToLogFile
  // handler) finds m_recordingWriter and returns, leaving the rest to the pass; a handler that
  // ends the tracker there ends it once the tracker's work has returned (DeviceTaskScope).
  std::recursive_mutex m_recordingWriteMutex;
  std::thread::id m_recordingWriter;  // the thread making a pass; guarded by m_recordingWriteMutex
  mutable std::mutex m_triggerMutex;  // guards the two slots
  ZtTriggerIndicationData m_triggers[2] = {};
  bool m_triggerValid[2] = {false, false};
  // Whether a slot holds a trigger, written with the slots under m_triggerMutex: a packet's
  // processing takes the lock only while one waits.
  std::atomic<bool> m_triggerPending{false};
};
