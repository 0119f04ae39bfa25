#pragma once
// The wireless station: the master device of a port with a radio base station (or its USB radio
// adapter) behind it. Its children are the wireless trackers (KtwDevice) connected over the
// radio, listed by device id ascending; a child's bus id is its position. It keeps the station's
// settings record (EwmsData: product code, hardware version, rates, trigger settings), the radio
// channel, the operational (radio measuring) flag, a device mode to apply when the system next
// becomes operational, the sync-box state and the flushing progress of a wireless recording.
// A tracker plugged into the station's USB hub is docked there.
//
// Threads. Requests run on the caller's thread and block on their replies; a request holds the
// link's request lock (ZtDevice::lockRequests) from its write to its reply. Indications arrive on
// the link's parse thread and never wait there: those that may create a child, and the radio
// disable the station reports unasked, run on the station's request thread (a zelto::JobThread
// of its own: such work waits for replies parsed on the pool), as does measurement start without
// waiting. That thread is stopped before the station terminates, so no such work outlives it.
// Locks: m_childLock (recursive) while a child is looked up, created or set up; m_modeMutex
// guards the operational flag and the pending mode; m_settingsMutex guards the settings record
// and the flushing record. Lock order: request lock, then m_childLock, then the leaves
// m_modeMutex and m_settingsMutex (never held across a request, a callback or another device's
// call). m_childLock is held while a child initialises through the factory: the control takes
// none of its locks around a device's initialisation, so no control lock orders against it.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "device/ZtDevice.h"
#include "foundation/JobThread.h"
#include "foundation/ThreadPoolTask.h"
#include "otherdevices/wireless/EwmsData.h"
#include "otherdevices/wireless/FlushingIndication.h"

class KtwDevice;

class TovanaStationDevice : public ZtDevice {
 public:
  // Message ids of the station's requests (acknowledgement = id + 1) and its indication.
  enum : uint8_t {
    kSyncIn = 0x26, kSyncOut = 0x28, kSyncBoxMode = 0x2A, kDriverDisconnect = 0x2E, kReset = 0x40,
    kIndication = 0x46, kMasterSettings = 0x8A, kMasterSettingsReply = 0x8B, kScanChannels = 0xB0,
    kEnableRadio = 0xB2, kDisableRadio = 0xB4, kRadioChannel = 0xB6, kWirelessPriority = 0xB8,
    kWirelessConfiguration = 0xBA, kGotoOperational = 0xC0, kTransportMode = 0xC2, kAccept = 0xC4,
    kReject = 0xC6, kUpdateRates = 0xCA, kStartRecording = 0xCC, kStopRecording = 0xCE
  };
  // Indication sub-ids (data byte 0 of 0x46).
  enum : uint8_t {
    kClientConnect = 2, kClientDisconnect = 4, kClientRejected = 6, kOperational = 7, kClientError = 9,
    kBatteryLevel = 12, kTrigger = 15, kRecordingStarted = 17, kRecordingEnded = 18, kFlushingProgress = 19,
    kConfigurationApplied = 20
  };
  // Channel values besides a channel number.
  static constexpr int kChannelUnknown = -2;
  static constexpr int kRadioDisabled = -1;

  // Asks the station for its radio channel (200 ms).
  TovanaStationDevice(DeviceFactory& factory, Communicator* communicator);
  ~TovanaStationDevice() override;

  // ---- Slots added to ZtDevice, in slot order --------------------------------------------------
  virtual bool gotoMeasurementImpl(bool wait);
  // With wait, runs the measurement start on the caller's thread (true on success); without, queues
  // it on the request thread (its id).
  virtual unsigned startGotoMeasurementTask(bool wait);
  virtual bool initializeChildren(Communicator* communicator);
  // Marks a wireless child disconnected and removes it.
  virtual void disconnectChild(ZtDevice& child);
  virtual bool gotoOperational();
  virtual bool shouldHandleMasterIndication(uint8_t subId, bool fromFile) const;

  // ---- Overrides -------------------------------------------------------------------------------
  bool initialize(const zelto::SettingsFile& settings) override;
  std::vector<int> supportedUpdateRates(ZtDataIdentifier dataIdentifier) const override;
  ZtString productCode() const override;
  ZtBaudRate serialBaudRate() const override;
  ZtVersion hardwareVersion() const override;
  bool startRecording() override;
  bool stopRecording() override;
  // By the bus id of the header: 0xFF the station's own handling (but a legacy data message
  // that begins with a wireless child's id goes to that child, when initialised), a child's bus
  // id that child (data messages only to an initialised child), any other bus id dropped.
  void handleMessage(const ZtMessage& message) override;
  // A packet naming a device id and holding an SDI interval goes to the initialised wireless
  // tracker of that id; any other to a copy for the initialised child at the bus id of its
  // message, with that child's id. Everything else is dropped (parse thread; never waits).
  void handleDataPacket(const ZtDataPacket& packet) override;
  void handleNonDataMessage(const ZtMessage& message) override;
  ZtOutputMode outputMode() const override { return 0; }
  bool setOutputMode(ZtOutputMode) override { return true; }
  ZtOutputSettings outputSettings() const override { return 1; }
  bool setOutputSettings(ZtOutputSettings) override { return true; }
  int updateRate() const override;
  ZtOutputConfigurationArray outputConfiguration() const override;
  int samplePeriod() const override;
  bool setSamplePeriod(uint16_t period) override;
  int outputSkipFactor() const override;
  bool setOutputSkipFactor(uint16_t skipFactor) override;
  ZtDeviceMode deviceMode() const override;
  bool setDeviceMode(const ZtDeviceMode& mode) override;
  void createDataCache() override {}
  void tuneDataCacheSize() override {}
  void clearCache() override;
  std::vector<ZtSyncSetting> syncSettings() const override;
  bool setSyncSettings(const std::vector<ZtSyncSetting>& settings) override;
  std::vector<ZtSyncSetting> supportedSyncSettings() const override;
  bool gotoMeasurement() override;
  bool gotoConfig() override;
  bool restoreFactoryDefaults() override;
  bool reset() override;
  void writeDeviceSettingsToFile() override;
  void flushInputBuffers(bool alsoWorkingCache) override;
  int syncRole() const override;
  bool enableRadio(int channel) override;
  bool disableRadio() override;
  int radioChannel() const override { return m_radioChannel.load(); }
  // Unless the radio is disabled (-1): a channel, and the unknown channel of a station that did
  // not answer (-2), count as enabled.
  bool isRadioEnabled() const override;
  bool makeOperational() override { return gotoOperational(); }
  bool isOperational() const override;
  bool isInSyncBoxMode() const override;
  bool setSyncBoxMode(bool enable) override;
  void handleMasterIndication(const ZtMessage& message) override;
  bool abortFlushing() override;
  bool setDeviceAccepted(ZtDeviceId deviceId) override { return setDeviceAcceptedInternal(deviceId, true); }
  bool setDeviceRejected(ZtDeviceId deviceId) override { return setDeviceRejectedInternal(deviceId, true); }
  bool setTransportMode(bool enable) override;
  bool reinitialize() override;
  // A child made by a connect indication after the system became operational is not set up until
  // the configuration is read again (reinitialize).
  bool hasUninitializedChild() const;
  void checkChildStates() override;
  // Sends the driver disconnect while the link still runs, stops the request thread, then the
  // base termination.
  void prepareForTermination() override;

  // ---- The station's own operations ------------------------------------------------------------
  // The radio channel as the station reports it: a channel, -1 (disabled) or -2 (no answer).
  int requestRadioChannel();
  bool scanChannels();
  bool setWirelessConfiguration(uint16_t updateRate, uint8_t value);
  bool readMasterSettings();
  void sendDriverDisconnect();
  bool setDeviceAcceptedInternal(ZtDeviceId deviceId, bool wait);
  bool setDeviceRejectedInternal(ZtDeviceId deviceId, bool wait);
  // Runs the task (a GotoMeasurementTask, RadioDisableTask or AcceptRejectTask) on the station's
  // request thread; its job id, 0 once the station is going (the task is then dropped).
  unsigned addRequestTask(std::unique_ptr<zelto::ThreadPoolTask> task);
  // Every job goes through here: it runs inside a hold of the station (DeviceTaskScope), so a
  // handler it raises that closes the station's port ends the station once the job has returned
  // (the request thread is a member of the station).
  unsigned addRequestJob(std::function<void()> job);
  // Without children back to Measurement; else the children, then the station, to FlushingData.
  // Awaited only with wait. Not on the parse thread: a master's state change waits for its
  // children's.
  void startWirelessFlushing(bool wait);
  void setRecordingStartFrame(uint16_t frame);
  int ktwPriority(ZtDeviceId deviceId) const;
  bool setKtwPriority(int priority, ZtDeviceId deviceId);
  // The device's link and this station's link sit under the same parent USB hub. False for
  // null, for a device or station without a link (a log file has no hub either) and for a
  // device on this station's own link (a tracker connected wirelessly).
  bool deviceIsDocked(const ZtDevice* device) const;
  // The child with the id as a wireless tracker, held alive while the handle lives; empty when
  // there is none (or it is no wireless tracker). Allocates nothing (parse thread).
  HeldChild<KtwDevice> getChildDevice(ZtDeviceId deviceId) const;
  // Under the child lock: the existing child, or a new one made by the factory for the id with
  // this station as master (initialised only with initialize); empty when neither exists nor can
  // be made as a wireless tracker (a child of another class is removed again). Not on the parse
  // thread: making a child may close a docked master of the same id.
  HeldChild<KtwDevice> getOrCreateChildDevice(ZtDeviceId deviceId, bool initialize);

  // ---- Synchronisation (the settings record's trigger entries) ---------------------------------
  std::vector<ZtSyncSetting> syncInSettings(int32_t function) const;
  std::vector<ZtSyncSetting> syncOutSettings(int32_t function) const;
  // A record (construction defaults) holding the trigger entries the list describes. False when
  // a setting cannot be carried (a pulse width of 65 536 ms or more).
  static bool syncSettingsToWms(const std::vector<ZtSyncSetting>& settings, zelto::EwmsData& out);
  // The mode to apply at the next measurement start (update rate 0: none).
  ZtDeviceMode pendingDeviceMode() const;
  // A copy of the settings record.
  zelto::EwmsData masterSettings() const;
  // Sync-box state: 0 not known, 1 normal, 2 sync-box mode.
  uint32_t syncBoxState() const { return m_syncBoxState.load(); }
  // The flushing record's totals (current, maximum).
  std::pair<int32_t, int32_t> flushingTotals() const;

  // True once the request thread has run everything queued so far (false after timeoutMs).
  bool waitForRequests(unsigned timeoutMs) const { return m_requests.waitIdle(timeoutMs); }

  // 115200 / ((skip factor + 1) x period); 0 for a period of 0.
  static int updateRateOf(const ZtDeviceMode& mode);

  // Conversions between the generic sync functions and the station's trigger slots.
  static int32_t syncOutFunctionToEvent(int32_t function);
  static int32_t syncInFunctionToAction(int32_t function);
  static int32_t eventToSyncOutFunction(int32_t event);
  static int32_t actionToSyncInFunction(int32_t action);

 protected:
  // Children are listed by device id ascending.
  size_t childInsertionIndex(const std::vector<ZtDevice*>& children, const ZtDevice* child) const override;
  // One request: the acknowledgement (and, when indication is not negative, the station
  // indication with that sub-id after it) registered before the write, under the request lock.
  // True when the acknowledgement came within timeoutMs (and the indication within
  // indicationTimeoutMs). reply (optional) receives the acknowledgement.
  bool request(uint8_t requestId, uint8_t busId, const std::vector<uint8_t>& payload, unsigned timeoutMs,
               ZtMessage* reply = nullptr, int indication = -1, unsigned indicationTimeoutMs = 0);

 private:
  bool isLiveLink() const;
  void markChildrenDisconnected();
  void dispatchConnectionIndication(const ZtMessage& message);
  bool setTriggerEntry(uint8_t requestId, const zelto::WmsTriggerSetting& entry, uint8_t slot);

  std::unique_ptr<zelto::EwmsData> m_settings;  // guarded by m_settingsMutex
  FlushingIndication m_flushing;                // guarded by m_settingsMutex
  mutable std::mutex m_settingsMutex;
  mutable std::mutex m_modeMutex;
  ZtDeviceMode m_pendingMode{};  // guarded by m_modeMutex; update rate 0 = none
  bool m_operational = false;    // guarded by m_modeMutex
  std::atomic<int> m_radioChannel{kChannelUnknown};
  // The flushing count reached 0 (set on the parse thread; cleared when flushing starts).
  std::atomic<bool> m_flushingEnded{false};
  mutable std::atomic<uint32_t> m_syncBoxState{0};
  mutable std::recursive_mutex m_childLock;
  mutable zelto::JobThread m_requests;
};
