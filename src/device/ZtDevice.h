#pragma once
// The base of every device object: a master device on a port or log file (it owns the link), a
// child device behind a master (its position in the master's child list is its bus id), and the
// device made by device id (the broadcast device: no link, no factory). Every device is an event
// manager with its own handlers. The virtual interface below is the whole device vocabulary of
// the library, in a fixed order of groups; each operation's body here is the base behaviour that
// a device class keeps unless it overrides it. Getters of features a device lacks report an empty
// value (false, 0, -1, an empty text or list); setters and commands report failure (false).
//
// Texts, matrices, vectors and output configurations returned by value belong to the caller,
// who destructs them (ZtString_destruct, ZtMatrix_destruct, ZtVector_destruct, ZtArray_destruct).
//
// Life. An application or the control holds a device with addRef/removeRef (a reference on a
// master is also one on each of its children). The one removeRef (or removeIfNoRefs) that finds
// a device and all its children unreferenced ends it: prepareForTermination, then its children,
// then the object itself. A child is always deleted before its master: every child object keeps
// its master object alive until the child's destructor has run. Delete a device directly only
// when no other thread can reach it (an owner that never shared it). An ending asked for from
// inside work of the device's tree on the same thread (a handler raised by one of its tasks or by
// its link's parsing) runs on a thread of its own once that work has returned (DeviceTaskScope),
// so the work never finds the device deleted under it and never waits for itself.
//
// Publication. A device takes part in the walks of its master, and a master receives its link's
// messages, only from its first addRef on: the base constructors run before the device class's
// own, so a device that other threads reach while it is being built would be called half-made.
// The factory takes that first reference right after construction; a reference taken on a master
// publishes its listed children too.
//
// Threads. The child list is guarded by m_childrenMutex, held only to read or change the list,
// never while a device is called, a callback raised or a task awaited. A walk over the children
// (packet forwarding on pool threads, routing on the link's parse threads, forwarding calls from
// application threads) holds each child it visits alive (hold/release) instead of holding the
// lock, so a child removed meanwhile is deleted by whichever of the remover and the walks lets
// go of it last; a walk by device id allocates nothing. The reference count is atomic and only
// the call whose decrement (or check) finds the device unreferenced ends it.
// Lock order: m_childrenMutex is a leaf (nothing is taken while it is held).
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <typeinfo>
#include <utility>
#include <vector>

#include "device/CallbackManagerZda.h"
#include "device/ZtAlignmentFrame.h"
#include "device/ZtErrorMode.h"
#include "device/ZtOption.h"
#include "device/ZtOutputConfiguration.h"
#include "device/ZtOutputMode.h"
#include "device/ZtOutputSettings.h"
#include "device/ZtQueueMode.h"
#include "device/ZtResetMethod.h"
#include "foundation/Mutex.h"
#include "foundation/NonIntrusiveSharedPointer.h"
#include "foundation/SettingsFile.h"
#include "transport/link/LinkDevice.h"
#include "transport/zbus/ZtProtocolType.h"
#include "zeltodeviceapi/ztdevicetypes.h"
#include "zttypes/ztarray.h"
#include "zttypes/ztdataid.h"
#include "zttypes/ztdatapacket.h"
#include "zttypes/ztdeviceid.h"
#include "zttypes/ztmath.h"
#include "zttypes/ztmessage.h"
#include "zttypes/ztmisc.h"
#include "zttypes/ztresult.h"

class Communicator;
class DeviceConfigurationMessages;
class DeviceConfigurationMetaInformation;
class DeviceFactory;
class EktsManager;
class ZkfParams;
class ZtZkfFilter;
namespace zelto {
class IPacketDataCache;
}

class ZtDevice : public CallbackManagerZda, public LinkDevice {
 public:
  // Master on a link (the device owns the link from here on). Takes the link's handlers, chains
  // the link below itself and takes its id from the link; it becomes the link's master device at
  // its first addRef.
  ZtDevice(DeviceFactory& factory, Communicator* communicator);
  // Child of master. An id of 0 is looked up in the master's configuration by the child's bus id.
  ZtDevice(ZtDevice* master, const ZtDeviceId& deviceId);
  // A device without link, factory or master (the broadcast device).
  explicit ZtDevice(ZtDeviceId deviceId);
  ZtDevice(const ZtDevice&) = delete;
  ZtDevice& operator=(const ZtDevice&) = delete;

  // ---- 1. Destructor ---------------------------------------------------------------------------
  ~ZtDevice() override;

  // ---- 2. The 13 events: those of CallbackManagerZda, unchanged ---------------------------------

  // ---- 3. Tree, log and state flags ------------------------------------------------------------
  // A copy of the child list in list order. The caller must hold references to use the devices.
  virtual std::vector<ZtDevice*> children() const;
  virtual bool closeLogFile();
  virtual bool isMeasuring() const;
  virtual bool isRecording() const;
  virtual bool isReadingFromFile() const;
  virtual bool initialize(const zelto::SettingsFile& settings);
  virtual void clear();
  virtual void addChild(ZtDevice* child);

  // ---- 4. Battery, rates and identity ----------------------------------------------------------
  virtual int batteryLevel() const;
  virtual int updateRateForDataIdentifier(ZtDataIdentifier dataIdentifier) const;
  virtual int updateRateForProcessedDataIdentifier(ZtDataIdentifier dataIdentifier) const;
  virtual std::vector<int> supportedUpdateRates(ZtDataIdentifier dataIdentifier) const;
  virtual int maximumUpdateRate() const;
  virtual bool hasDataEnabled(ZtDataIdentifier dataIdentifier) const;
  virtual bool hasProcessedDataEnabled(ZtDataIdentifier dataIdentifier) const;
  virtual ZtString productCode() const;
  virtual ZtString portName() const;
  virtual ZtBaudRate baudRate() const;
  virtual ZtBaudRate serialBaudRate() const;
  virtual ZtVersion hardwareVersion() const;

  // ---- 5. Recording ----------------------------------------------------------------------------
  virtual bool startRecording();
  virtual bool stopRecording();

  // ---- 6. Options and host processing ----------------------------------------------------------
  virtual bool setOptionEnabled(ZtOption option, bool enable);
  virtual bool isOptionEnabled(ZtOption option) const;
  virtual bool setSoftwareFilteringEnabled(bool enable);
  virtual bool isSoftwareFilteringEnabled() const;
  virtual bool isSoftwareCalibrationEnabled() const;
  virtual bool setSoftwareCalibrationEnabled(bool enable);
  virtual bool initializeFilter();
  virtual void restartFilter(ZkfParams* parameters);
  void restartFilter() { restartFilter(nullptr); }
  virtual void performFiltering(ZtDataPacket& packet);
  virtual void resetSoftwareFilter(zelto::SettingsFile* settings);
  // Runs on the device's processing task. The base forwards a child's packet to that child.
  virtual void doProcessing(ZtDataPacket& packet);

  // ---- 7. Messages -----------------------------------------------------------------------------
  virtual bool sendCustomMessage(const ZtMessage& message, bool waitForResult, ZtMessage& reply, int timeoutMs);
  virtual bool sendRawMessage(const ZtMessage& message);
  void handleMessage(const ZtMessage& message) override;
  virtual void handleNonDataMessage(const ZtMessage& message);

  // ---- 8. Port and output mode -----------------------------------------------------------------
  virtual bool setSerialBaudRate(ZtBaudRate baudRate);
  virtual bool isMotionTracker() const;
  virtual ZtOutputMode outputMode() const;
  virtual bool setOutputMode(ZtOutputMode mode);
  virtual ZtOutputSettings outputSettings() const;
  virtual bool setOutputSettings(ZtOutputSettings settings);
  virtual int updateRate() const;
  virtual bool setUpdateRate(int rate);
  virtual ZtOutputConfigurationArray outputConfiguration() const;
  virtual ZtOutputConfigurationArray processedOutputConfiguration() const;
  virtual bool setOutputConfiguration(ZtOutputConfigurationArray& configuration);
  virtual bool isInLegacyMode() const;
  virtual bool isInStringOutputMode() const;
  virtual bool usesLegacyDeviceMode() const;
  virtual int stringOutputType() const;
  virtual bool setStringOutputType(uint16_t type);
  virtual int samplePeriod() const;
  virtual bool setSamplePeriod(uint16_t period);
  virtual int outputSkipFactor() const;
  virtual bool setOutputSkipFactor(uint16_t skipFactor);
  virtual ZtDeviceMode deviceMode() const;
  virtual bool setDeviceMode(const ZtDeviceMode& mode);
  virtual int dataLength() const;

  // ---- 9. Caches -------------------------------------------------------------------------------
  virtual void createDataCache();
  virtual void tuneDataCacheSize();
  virtual void clearCache();

  // ---- 10. Calibration and synchronisation -----------------------------------------------------
  virtual bool initializeSoftwareCalibration();
  virtual void deinitializeSoftwareCalibration();
  virtual std::vector<ZtSyncSetting> syncSettings() const;
  virtual bool setSyncSettings(const std::vector<ZtSyncSetting>& settings);
  virtual bool isSyncMaster() const;
  virtual bool isSyncSlave() const;
  virtual std::vector<ZtSyncSetting> supportedSyncSettings() const;

  // ---- 11. Mode changes and device commands ----------------------------------------------------
  virtual bool gotoMeasurement();
  virtual bool gotoConfig();
  virtual bool restoreFactoryDefaults();
  virtual bool reset();
  virtual void writeDeviceSettingsToFile();
  virtual void flushInputBuffers(bool alsoWorkingCache);
  virtual int syncRole() const;

  // ---- 12. Playback, protocols and queue -------------------------------------------------------
  virtual bool loadLogFile();
  virtual bool abortLoadLogFile();
  virtual ZtString logFileName() const;
  virtual bool resetOrientation(ZtResetMethod method);
  virtual bool resetLogFileReadPosition();
  virtual bool updateCachedDeviceInformation();
  virtual bool enableProtocol(ZtProtocolType type);
  virtual bool disableProtocol(ZtProtocolType type);
  virtual bool isProtocolEnabled(ZtProtocolType type) const;
  virtual bool resetDroppedPacketCount();
  virtual bool setQueueMode(ZtQueueMode mode);

  // ---- 13. Radio, wireless, bus and power ------------------------------------------------------
  virtual bool enableRadio(int channel);
  virtual bool disableRadio();
  virtual int radioChannel() const;
  virtual bool isRadioEnabled() const;
  virtual bool makeOperational();
  virtual bool isOperational() const;
  virtual bool isInSyncBoxMode() const;
  virtual bool setSyncBoxMode(bool enable);
  virtual void handleMasterIndication(const ZtMessage& message);
  virtual bool abortFlushing();
  virtual bool setDeviceAccepted(ZtDeviceId deviceId);
  virtual bool setDeviceRejected(ZtDeviceId deviceId);
  virtual bool acceptConnection();
  virtual bool rejectConnection();
  virtual int wirelessPriority() const;
  virtual bool setWirelessPriority(int priority);
  virtual ZtRejectReason rejectReason() const;
  virtual bool requestBatteryLevel();
  virtual bool setTransportMode(bool enable);
  virtual bool transportMode() const;
  virtual int lastKnownRssi() const;
  virtual bool isBlueToothEnabled() const;
  virtual bool setBlueToothEnabled(bool enable);
  virtual bool isDualOutputEnabled() const;
  virtual bool setDualOutputEnabled(bool enable);
  virtual bool isBusPowerEnabled() const;
  virtual bool setBusPowerEnabled(bool enable);
  virtual bool powerDown();
  virtual ZtErrorMode errorMode() const;
  virtual bool setErrorMode(ZtErrorMode mode);

  // ---- 14. Orientation, filter settings and profiles -------------------------------------------
  virtual bool setHeadingOffset(double offset);
  virtual double headingOffset() const;
  virtual void updateHeadingOffset();
  virtual ZtResetMethod resetMethod() const;
  virtual void updateObjectAlignmentMatrix();
  virtual bool setLocationId(int id);
  virtual int locationId() const;
  virtual ZtMatrix objectAlignment() const;
  virtual bool setObjectAlignment(const ZtMatrix& alignment);
  virtual ZtVector labMagneticField() const;
  virtual bool setLabMagneticField(const ZtVector& field);
  virtual double gravityMagnitude() const;
  virtual bool setGravityMagnitude(double magnitude);
  virtual ZtVector latLonAlt() const;
  virtual bool setLatLonAlt(const ZtVector& latLonAlt);
  virtual bool reinitialize();
  virtual ZtFilterProfile zdaFilterProfile() const;
  virtual bool setZdaFilterProfile(int profileType);
  virtual ZtFilterProfile onboardFilterProfile() const;
  virtual bool setOnboardFilterProfile(int profileType);
  virtual bool replaceFilterProfile(const ZtFilterProfile& oldProfile, const ZtFilterProfile& newProfile);
  virtual std::vector<ZtFilterProfile> availableOnboardFilterProfiles() const;
  virtual std::vector<ZtFilterProfile> availableZdaFilterProfiles() const;
  virtual double accelerometerRange() const;
  virtual double gyroscopeRange() const;
  virtual bool setNoRotation(uint16_t duration);
  virtual uint16_t rs485TransmissionDelay() const;
  virtual bool setRs485TransmissionDelay(uint16_t delay);
  virtual uint16_t runSelfTest();
  virtual bool requestData();
  virtual bool storeFilterState();
  virtual bool isInitialBiasUpdateEnabled() const;
  virtual bool setInitialBiasUpdateEnabled(bool enable);
  virtual bool isFixedGravityEnabled() const;
  virtual bool setFixedGravityEnabled(bool enable);

  // ---- 15. Configuration files -----------------------------------------------------------------
  virtual ZtResultValue createConfigFile(const ZtString& fileName);
  virtual ZtResultValue applyConfigFile(const ZtString& fileName);

  // ---- 16. Alignment, GNSS and time ------------------------------------------------------------
  virtual bool setAlignmentRotationMatrix(ZtAlignmentFrame frame, const ZtMatrix& matrix);
  virtual ZtMatrix alignmentRotationMatrix(ZtAlignmentFrame frame) const;
  virtual bool setAlignmentRotationQuaternion(ZtAlignmentFrame frame, const ZtQuaternion& quaternion);
  virtual ZtQuaternion alignmentRotationQuaternion(ZtAlignmentFrame frame) const;
  virtual void handleGpsStatus(const ZtMessage& message);
  virtual bool requestGpsStatus();
  virtual bool setLeverArm(const ZtVector& leverArm);
  virtual ZtVector leverArm() const;
  virtual ZtUtcTime utcTime() const;
  virtual bool requestUtcTime();

  // ---- 17. Internal hooks ----------------------------------------------------------------------
  // The packet that handleMessage made for this device is taken over (stamped in place and handed
  // on, not copied); any other packet is copied. An override that passes its argument on to this
  // one must not read it afterwards.
  virtual void handleDataPacket(const ZtDataPacket& packet);
  // Runs once: state Destructing (on the calling thread); a master on a live port with
  // goto-config-on-close set is switched to Config (GotoConfig after Destructing, the master and
  // its children then in Config); a master's link stopped, no task of the device left in the
  // pool, then the children prepared (each ends in Destructing).
  virtual void prepareForTermination();
  virtual EktsManager* ekts() const;
  virtual bool scheduleOrientationReset(ZtResetMethod method);
  virtual void writeFilterStateToFile();
  virtual void flushCache();
  virtual void checkChildStates();
  // The packet that handleDataPacket copied for this call is taken over by the processing task
  // (its content exchanged, not copied: the caller's copy is left with other content); any other
  // packet is copied. An override that passes its argument on to this one must not read it after.
  virtual void processPacket(const ZtDataPacket& packet, bool async);
  virtual void insertPacketInCaches(ZtDataPacket& packet);
  virtual void updateDeviceState(ZtDeviceState state);
  virtual int determineConfigurationMessageTimeout() const;
  // New objects owned by the caller.
  virtual DeviceConfigurationMessages* determineConfigurationMessages() const;
  virtual DeviceConfigurationMetaInformation* determineConfigurationMetaInformation() const;

  // ---- The link's view of its master device (LinkDevice) ---------------------------------------
  // The link's entries open a hold scope (DeviceTaskScope): a handler raised from the parsing
  // that ends the device ends it once the message has been handled.
  void handleLinkMessage(const ZtMessage& message) override;
  void messageReceivedFromDevice(const ZtMessage& message) override;
  void messageSentToDevice(const ZtMessage& message) override;
  uint16_t configuredDeviceCount() const override;
  ZtDevice* linkedDevice() override { return this; }
  ZtDeviceId linkedDeviceId() const override { return deviceId(); }
  // findDevice, for published children only (the link's threads call what they find).
  ZtDevice* findLinkedChild(ZtDeviceId id) override;

  // ---- Identity and tree -----------------------------------------------------------------------
  ZtDeviceId deviceId() const { return m_deviceId.load(std::memory_order_relaxed); }
  // On a child, also makes its master's lookups by id sort their index again.
  void setDeviceId(ZtDeviceId id) {
    m_deviceId.store(id, std::memory_order_relaxed);
    if (m_master && m_master != this) m_master->m_byIdStale.store(true, std::memory_order_release);
  }
  ZtDevice* master() const { return m_master; }
  bool isMasterDevice() const { return m_master == this; }
  Communicator* communicator() const { return m_communicator; }
  // The factory that made the device (a child has its master's); null for the device made by id.
  DeviceFactory* factory() const { return m_deviceFactory; }
  // The master's recording log-file link, null when no recording file is open. Only for a
  // caller that knows no other thread closes the file meanwhile.
  Communicator* logFileInterface() const { return m_master->m_logFileInterface.load(std::memory_order_acquire); }
  // 255 for a master; a child's 1-based position in its master's list, 254 when not listed.
  int busId() const;
  // 255: the device itself when it is a master; 0 or past the last child: null; else the
  // busId-th child. The caller must hold a reference to use the device.
  ZtDevice* deviceAtBusId(int busId);
  const ZtDevice* deviceAtBusId(int busId) const;
  // The first child with this id; null for the device's own id or when none has it.
  ZtDevice* findDevice(ZtDeviceId id) const;
  // The device's entry in its master's configuration: 0 for a master; for a child the entry
  // that carries its device id (a child is listed in the order its master chooses, which need
  // not be the configuration's), -1 when the configuration does not list it.
  int configurationIndex() const;
  // False for null or a child not in the list. Else, after the device's last queued task, unchains
  // it, takes it out of the list and, with dropReference, calls its removeRef (which may delete
  // it; a walk still inside the child defers that to the walk's end).
  bool removeChild(ZtDevice* child, bool dropReference);
  void removeAllChildren();
  ZtVersion firmwareVersion() const { return m_firmwareVersion; }
  ZtDeviceState deviceState() const { return m_deviceState.load(std::memory_order_acquire); }
  ZtConnectivityState connectivityState() const { return m_connectivityState.load(std::memory_order_acquire); }
  // Stores a changed state and raises onConnectivityChanged; an equal state does nothing.
  void updateConnectivityState(ZtConnectivityState state);
  bool isInitialized() const { return m_isInitialized.load(std::memory_order_acquire); }
  int64_t refCounter() const { return m_refCounter.load(std::memory_order_acquire); }
  void setGotoConfigOnClose(bool gotoConfig) { m_gotoConfigOnClose = gotoConfig; }
  // The configuration of the master (every device reads the master's copy): the reference for
  // changing it, and the const form a deep copy that the caller destructs
  // (ZtDeviceConfiguration_destruct).
  ZtDeviceConfiguration& deviceConfiguration() { return m_master->m_configuration; }
  ZtDeviceConfiguration deviceConfiguration() const;
  ZtQueueMode queueMode() const { return m_queueMode.load(std::memory_order_relaxed); }
  zelto::IPacketDataCache* readyCache() const { return m_readyCache; }
  zelto::IPacketDataCache* workingCache() const { return m_workingCache; }

  // ---- Log-file recording and playback ---------------------------------------------------------
  // Recording belongs to the master: called on a child, these act on its master's recording link.
  // createLogFile: 0; 288 (ZRV_NOPORTOPEN) without a link or with its port closed; 269
  // (ZRV_ALREADYOPEN) when a recording file is open (it is kept); 268 (ZRV_OUTPUTCANNOTBECREATED)
  // when the file could not be made (no link is left behind). On success the file holds the
  // Configuration message (with the creation date and time) followed by what
  // writeDeviceSettingsToFile writes; packets follow only while the master records.
  ZtResultValue createLogFile(const ZtString& fileName);
  // Asks onWriteMessageToLogFile; with consent and an open recording file, writes the message
  // into it. True when it was written. Safe on any thread, also against closeLogFile.
  bool writeMessageToLogFile(const ZtMessage& message);
  // The master takes the link as its recording link and owns it (a link held before is closed
  // and deleted). The link is not chained below the device: it raises no events of its own.
  void useLogInterface(Communicator* link);
  // Live master: GotoConfig, then 0x02/0x03 (500 ms), 0x0C/0x0D (5000 ms, replaces the
  // configuration) and 0x12/0x13 (200 ms, the firmware version; 0.0.0.0 without a full reply).
  // A master playing a file: the first 0x0D among the file's first 5 messages; throws
  // ZtDeviceConfigurationException when that configuration lists no device. A child: the
  // firmware version from its record. False when a step fails; the configuration is then kept.
  bool readDeviceConfiguration();
  // Of the playback file: size (0 when not playing), read position (all bits set when not
  // playing) and the id of the next message (0 at the end of the file or without a file).
  int64_t logFileSize() const;
  uint64_t logFileReadPosition() const;
  uint8_t peekMessageId();

  // ---- Packet path -----------------------------------------------------------------------------
  // Stores a packet in one cache, merged with the packet already held under its id.
  void insertOrUpdateCacheItem(zelto::IPacketDataCache* cache, const ZtDataPacket& packet);
  // The storing step of insertPacketInCaches (no event, no flush): the working cache and, by
  // the queue mode, the ready cache. Nothing without both caches; a cache's failure passes on
  // (ZtException).
  void storeInCaches(ZtDataPacket& packet);
  // Its ready-cache part alone (nothing without a ready cache).
  void storeInReadyCache(ZtDataPacket& packet);
  // processPacket for a packet the caller made on this thread for this device (a scratch packet
  // it no longer needs): the processing task takes its content instead of copying it, leaving
  // packet with a spare's content.
  void processOwnPacket(ZtDataPacket& packet, bool async);
  // Flushes the working cache of this device and of its children (processing task).
  void checkCache();
  // Forgets the highest packets of the device and its children: the next packet is stamped from
  // its raw counter and reports no missed packets.
  void resetPacketStamping();
  // Real-time-clock stamping of a packet; nothing in the base device.
  void fillRtc(ZtDataPacket& packet);
  // Waits until the last task queued for this device has left the pool. False (at once) when
  // called from one of this device's own tasks, which would wait for itself.
  bool finishLastProcessingTask();
  unsigned lastScheduledProcessTask() const { return m_lastScheduledProcessTask.load(std::memory_order_acquire); }
  void setLastScheduledProcessTask(unsigned id) { m_lastScheduledProcessTask.store(id, std::memory_order_release); }
  // Pulls, on application threads. Each returns a packet the caller destructs (empty when there
  // is none). Queue mode 1 hands every packet to exactly one caller.
  ZtDataPacket nextAvailableDataPacket();
  ZtDataPacket dataPacketByIndex(uint32_t index);
  ZtDataPacket dataPacketById(uint64_t packetId);
  // The reference packet of the missed-packet check (owned by the device; null for the device
  // made by id). It is changed in place by the parsing thread.
  const ZtDataPacket* highestPacket() const { return m_highestPacket; }
  size_t queueLength() const;
  uint32_t droppedPacketCount() const;
  // Delete the held cache and take ownership of the new one (null allowed).
  void setReadyCache(zelto::IPacketDataCache* cache);
  void setWorkingCache(zelto::IPacketDataCache* cache);

  // ---- References ------------------------------------------------------------------------------
  // The children first (in list order), then the device. The first call publishes the device.
  void addRef();
  bool isPublished() const { return m_published.load(std::memory_order_acquire); }
  // Drops one reference (never below 0) from the children and the device. The device (and, when
  // that leaves it unreferenced, its master after it) is ended when it and its children are
  // unreferenced, also when its count was 0 already.
  void removeRef();
  // Ends the device when it and all its children are unreferenced.
  void removeIfNoRefs();
  // The control's close: prepareForTermination, then beforeRemoveRef (the device still whole),
  // then one reference dropped, then done (each when given). Asked from inside work of the
  // device's tree on this thread (a handler of one of its tasks, of its link's parsing), all of
  // it runs on the ending thread once that work has returned (see DeviceTaskScope); the call then
  // returns at once.
  void terminateAndRemoveRef(std::function<void()> beforeRemoveRef = {}, std::function<void()> done = {});
  // True when an ending asked for on this thread now would wait for work of the device's tree
  // running here (see terminateAndRemoveRef).
  bool endsAfterOwnWorkHere() const;

  // ---- States, settings exchanges and the filter handle -----------------------------------------
  // A state change is a task (StateChanger) chained behind the device's last queued task, so it
  // takes effect after the packets queued before it; onDeviceStateChanged is raised on the pool
  // thread that runs it. A master changes its children first and waits for their changes.
  //
  // Rule: no wait for a device's own tasks from inside one. A thread that runs a task of this
  // device, or of one of its children when it is a master (an onDeviceStateChanged or
  // onDataAvailable handler), never waits for the device's last task: it would wait for itself.
  // Such a wait is refused at once and journalled. gotoMeasurement, gotoConfig, startRecording,
  // stopRecording and reset then return false before anything is sent or a change queued (a
  // switch to the state the device is in needs no wait and still succeeds);
  // setDeviceState and setChildDeviceStates queue the change and return its task id unawaited;
  // removal, termination and destruction go on without the wait.
  //
  // setDeviceState returns the task id of the queued change; with wait, it waits until the
  // change has run and returns 0.
  unsigned setDeviceState(ZtDeviceState state, bool wait);
  // The children's changes (in list order) and, on the master, a completion task over them that
  // is chained behind the master's previous last task and becomes its last task: the master's
  // next change runs after its earlier tasks and after every child's change. 0 on a child or a
  // master without children; with wait, waits and returns 0; else the completion task's id.
  unsigned setChildDeviceStates(ZtDeviceState state, bool wait);
  // Stores the sample period and skip factor of an update rate (Hz) in the configuration the
  // devices read (the master's); nothing is sent.
  void updateUpdateRate(uint16_t rate);
  // The host-side filter. The handle's count is atomic: a reference handed to another thread
  // may be copied and dropped there. Replacing the filter drops the device's reference on the
  // old one (the last reference deletes it); restartFilter holds a reference while it runs.
  bool hasZkfFilter() const;
  zelto::NonIntrusiveSharedPointer<ZtZkfFilter> zkfFilter() const;
  void setZkfFilter(const zelto::NonIntrusiveSharedPointer<ZtZkfFilter>& filter);

  // A child held alive as withChild holds it, but for the life of the handle: what a lookup that
  // hands the device back returns (holdChild). Move-only; empty when nothing matched.
  template <typename T>
  class HeldChild {
   public:
    HeldChild() = default;
    HeldChild(HeldChild&& other) noexcept : m_device(std::exchange(other.m_device, nullptr)) {}
    HeldChild& operator=(HeldChild&& other) noexcept {
      if (this != &other) {
        reset();
        m_device = std::exchange(other.m_device, nullptr);
      }
      return *this;
    }
    HeldChild(const HeldChild&) = delete;
    HeldChild& operator=(const HeldChild&) = delete;
    ~HeldChild() { reset(); }
    T* get() const { return m_device; }
    T* operator->() const { return m_device; }
    T& operator*() const { return *m_device; }
    explicit operator bool() const { return m_device != nullptr; }
    void reset() {
      if (m_device) static_cast<const ZtDevice*>(m_device)->release();
      m_device = nullptr;
    }

   private:
    friend class ZtDevice;
    explicit HeldChild(T* held) : m_device(held) {}
    T* m_device = nullptr;
  };

 protected:
  // Calls f(child) for each published child in list order, each held alive for its call; f may
  // end the walk by returning false. The list may change meanwhile: the walk visits the children
  // listed when it started. Allocates nothing for up to kHeldInline children (a master's
  // processing walks them per packet); for per-packet lookups use withChild.
  template <typename F>
  void forEachChild(F&& f) const;
  static constexpr size_t kHeldInline = 32;
  // Calls f(child) for the first published child matching pred, held alive for the call (no
  // allocation). False when no child matched.
  template <typename P, typename F>
  bool withChild(P&& pred, F&& f) const;
  // The same for the child at a bus id (1 to the number of children).
  template <typename F>
  bool withChildAtBusId(int busId, F&& f) const;
  // For routing a message by its bus id: the child the master's configuration lists at that bus
  // id, found by its device id (so a child let go while the device still lists it takes none of
  // the others' messages: they keep their bus ids while the child list closes up); where the
  // configuration has no entry for the bus id, the child at that position.
  template <typename F>
  bool withChildForBusId(int busId, F&& f) const;
  // The first published child matching pred, held; empty when none matched or it is no T.
  template <typename T, typename P>
  HeldChild<T> holdChild(P&& pred) const;
  // The first published child (in list order) with this id, held; empty when none has it or it is
  // no T. A per-message lookup: no scan (a search of an index sorted by id) and, after the first
  // lookup of a child as T, no cast.
  template <typename T>
  HeldChild<T> holdChildById(ZtDeviceId id) const;
  // Calls f(child) for that child, held alive for the call (no allocation). False when none has it.
  template <typename F>
  bool withChildById(ZtDeviceId id, F&& f) const;

  // Where addChild lists a new child: an index into children (the current list, 0 to its size).
  // Called with m_childrenMutex held: it must take no lock and call no other device. The base
  // appends; a master that keeps its children in an order of its own chooses the place here.
  virtual size_t childInsertionIndex(const std::vector<ZtDevice*>& children, const ZtDevice* child) const;
  // The request lock of the device's link, on the master: held by a request from its write
  // until its reply or time-out, so that two devices of one link (a master and its children)
  // never wait for the same reply id at once; replies are matched by id only. Recursive per
  // thread. Never taken on the link's parse thread (it would wait for its own reply). Lock
  // order: first of all device locks; nothing that waits for it is held meanwhile.
  std::unique_lock<std::recursive_mutex> lockRequests() const;

  // Waits until m_lastScheduledProcessTask has left the task pool. From a task of this device (or,
  // on a master, of one of its children) it would wait for itself: it then journals the refusal
  // and returns false at once.
  bool waitForLastScheduledTask() const;

  // Members, in declaration order.
  bool m_softwareFilteringEnabled;
  std::vector<ZtDevice*> m_children;  // guarded by m_childrenMutex; position n-1 is bus id n
  std::atomic<size_t> m_childCount{0};  // m_children's size, written under m_childrenMutex
  zelto::SettingsFile m_settings{true};
  std::atomic<bool> m_terminationPrepared{false};
  std::atomic<ZtQueueMode> m_queueMode{ZQM_CallbacksOnly};
  std::atomic<bool> m_isInitialized{false};
  std::atomic<int64_t> m_refCounter{0};
  DeviceFactory* m_deviceFactory = nullptr;  // not owned
  zelto::IPacketDataCache* m_workingCache = nullptr;
  zelto::IPacketDataCache* m_readyCache = nullptr;
  std::atomic<ZtDeviceId> m_deviceId{0};
  std::atomic<ZtDeviceState> m_deviceState{ZDS_Initial};
  std::atomic<ZtConnectivityState> m_connectivityState{ZCS_Disconnected};
  ZtDeviceConfiguration m_configuration;
  zelto::NonIntrusiveSharedPointer<ZtZkfFilter> m_zkfFilter;  // guarded by m_filterMutex
  bool m_gotoConfigOnClose = true;
  ZtVersion m_firmwareVersion;
  std::atomic<unsigned> m_lastScheduledProcessTask{0};  // changed under m_processingMutex
  ZtDataPacket* m_highestPacket = nullptr;  // the pointer is fixed; contents under m_highestMutex
  // A packet stamped far ahead of the highest one, not yet confirmed by the packet after it (see
  // PacketStamper); empty when none. Allocated and guarded with m_highestPacket.
  ZtDataPacket* m_suspectPacket = nullptr;
  // Packet path. m_highestMutex guards the missed-packet check and the stamping against
  // m_highestPacket (parsing worker, log-file load, a pull's fetch, resetPacketStamping). It is a
  // leaf: no cache, callback or other lock is entered while it is held (a pull holds its cache's
  // lock when its fetch reaches the check).
  mutable std::mutex m_highestMutex;
  mutable zelto::Mutex m_filterMutex;  // recursive; guards m_zkfFilter only
  zelto::Mutex m_processingMutex;
  Communicator* m_communicator = nullptr;
  // The recording link, on the master (null when no recording file is open). Its life is guarded
  // by m_logFileMutex (below): a write holds the mutex for the write, closing and publishing
  // take it, so closing waits for a write in flight and later writes find no link.
  std::atomic<Communicator*> m_logFileInterface{nullptr};
  ZtDevice* m_master = nullptr;

 private:
  // Keeps the object (not the device's function) alive: the device's own hold (released when it
  // is ended), one per child object (released by the child's destructor), and one per walk or
  // removeRef in progress. The last release deletes the object.
  void hold() const { m_keepAlive.fetch_add(1, std::memory_order_relaxed); }
  void release() const;
  // Ends the device exactly once: out of its master's list, prepareForTermination, its children
  // released, then its own hold dropped.
  void end();
  bool hasReferencedChild() const;
  // A held copy of the list (published children only, or all listed ones); release each with
  // releaseAll.
  std::vector<ZtDevice*> heldChildren(bool publishedOnly = true) const;
  static void releaseAll(const std::vector<ZtDevice*>& devices);
  // Takes child out of the list and the chain; false when it was not listed.
  bool unlistChild(ZtDevice* child);
  static ZtDataPacket* newEmptyPacket();
  // f(found) for a child held by the caller, then its hold dropped (also when f throws); false
  // without a child.
  template <typename F>
  static bool callHeld(ZtDevice* found, F& f);

  // The children by device id (holdChildById): each listed child with its id, sorted by id, ties
  // in list order, and its cast to the type it was last looked up as (castType; fixed for a
  // published child, so made once). Guarded by m_childrenMutex; sorted again by the first lookup
  // after the list or a child's id changed (m_byIdStale); addChild reserves its room.
  struct ChildById {
    ZtDeviceId id;
    ZtDevice* child;
    const std::type_info* castType;
    void* cast;
  };
  // With m_childrenMutex held: the entry of the first published child with this id, or null.
  ChildById* childByIdLocked(ZtDeviceId id) const;

  // States and settings exchanges.
  // True (and journalled) when the calling thread runs a task of this device or of one of its
  // children, so that waiting for the device's last task would wait for itself.
  bool refusesOwnTaskWait(const char* operation) const;
  // One request/acknowledgement exchange on the master's link: the reply object for ackId is
  // registered before the write and released on every path. True when the acknowledgement
  // arrived within timeoutMs. reply (optional) receives what arrived, the empty message on a
  // time-out.
  bool exchange(const ZtMessage& request, uint8_t ackId, unsigned timeoutMs, ZtMessage* reply = nullptr);
  // Request id, bus id and a big-endian payload of 0, 1, 2 or 4 bytes.
  bool exchange(uint8_t requestId, uint8_t busId, size_t payloadSize, uint32_t payload, unsigned timeoutMs);

  // Recording. A write through the master's recording link, after its consent was asked (the
  // event is raised without the lock). Lock order: m_logFileMutex before the link's file lock;
  // nothing else is taken, no event raised and no task awaited while it is held.
  bool writeToRecordingLink(const ZtMessage& message);
  Communicator* takeRecordingLink();
  std::mutex m_logFileMutex;

  mutable std::atomic<long> m_keepAlive{1};
  std::atomic<bool> m_published{false};
  std::atomic<bool> m_ended{false};
  mutable std::mutex m_childrenMutex;
  mutable std::vector<ChildById> m_byId;  // guarded by m_childrenMutex
  mutable std::atomic<bool> m_byIdStale{true};
  mutable std::recursive_mutex m_requestMutex;  // on the master; see lockRequests
};

template <typename F>
void ZtDevice::forEachChild(F&& f) const {
  ZtDevice* inlineHeld[kHeldInline];
  std::vector<ZtDevice*> many;
  ZtDevice** held = inlineHeld;
  size_t count = 0;
  {
    std::lock_guard<std::mutex> lock(m_childrenMutex);
    if (m_children.empty()) return;
    if (m_children.size() > kHeldInline) {
      many.resize(m_children.size());
      held = many.data();
    }
    for (ZtDevice* child : m_children)
      if (child->isPublished()) {
        child->hold();
        held[count++] = child;
      }
  }
  const auto releaseHeld = [&] {
    for (size_t k = 0; k < count; ++k) held[k]->release();
  };
  try {
    for (size_t i = 0; i < count; ++i)
      if (!f(held[i])) break;
  } catch (...) {
    releaseHeld();
    throw;
  }
  releaseHeld();
}

template <typename F>
bool ZtDevice::callHeld(ZtDevice* found, F& f) {
  if (!found) return false;
  try {
    f(found);
  } catch (...) {
    found->release();
    throw;
  }
  found->release();
  return true;
}

template <typename P, typename F>
bool ZtDevice::withChild(P&& pred, F&& f) const {
  ZtDevice* found = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_childrenMutex);
    for (ZtDevice* child : m_children)
      if (child->isPublished() && pred(child)) {
        found = child;
        found->hold();
        break;
      }
  }
  return callHeld(found, f);
}

template <typename T, typename P>
ZtDevice::HeldChild<T> ZtDevice::holdChild(P&& pred) const {
  std::lock_guard<std::mutex> lock(m_childrenMutex);
  for (ZtDevice* child : m_children)
    if (child->isPublished() && pred(child)) {
      T* found = dynamic_cast<T*>(child);
      if (!found) return HeldChild<T>();
      child->hold();
      return HeldChild<T>(found);
    }
  return HeldChild<T>();
}

template <typename T>
ZtDevice::HeldChild<T> ZtDevice::holdChildById(ZtDeviceId id) const {
  std::lock_guard<std::mutex> lock(m_childrenMutex);
  ChildById* entry = childByIdLocked(id);
  if (!entry) return HeldChild<T>();
  if (entry->castType != &typeid(T)) {
    entry->cast = dynamic_cast<T*>(entry->child);
    entry->castType = &typeid(T);
  }
  if (!entry->cast) return HeldChild<T>();
  entry->child->hold();
  return HeldChild<T>(static_cast<T*>(entry->cast));
}

template <typename F>
bool ZtDevice::withChildById(ZtDeviceId id, F&& f) const {
  ZtDevice* found = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_childrenMutex);
    if (ChildById* entry = childByIdLocked(id)) {
      found = entry->child;
      found->hold();
    }
  }
  return callHeld(found, f);
}

template <typename F>
bool ZtDevice::withChildForBusId(int busId, F&& f) const {
  const ZtDeviceConfiguration& configuration = m_master->m_configuration;
  if (busId < 1 || !configuration.deviceInfo || busId > configuration.numberOfDevices)
    return withChildAtBusId(busId, f);
  const ZtDeviceId listed = configuration.deviceInfo[busId - 1].deviceId;
  // Mostly the child at that position is the one listed there: no search then.
  ZtDevice* found = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_childrenMutex);
    if (static_cast<size_t>(busId) <= m_children.size()) {
      ZtDevice* atPosition = m_children[busId - 1];
      if (atPosition->deviceId() == listed && atPosition->isPublished()) {
        found = atPosition;
        found->hold();
      }
    }
  }
  if (found) return callHeld(found, f);
  return withChildById(listed, f);
}

template <typename F>
bool ZtDevice::withChildAtBusId(int busId, F&& f) const {
  ZtDevice* found = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_childrenMutex);
    if (busId >= 1 && static_cast<size_t>(busId) <= m_children.size() && m_children[busId - 1]->isPublished()) {
      found = m_children[busId - 1];
      found->hold();
    }
  }
  return callHeld(found, f);
}
