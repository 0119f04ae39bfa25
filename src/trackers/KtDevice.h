#pragma once
// The base of every motion tracker, wired or wireless. Its settings live in the device's
// device record (EktsManager) and are read back from there; a setter changes a setting
// on the device with one Zbus request and caches the value only after the acknowledgement.
// It adds the synchronisation settings in the record's own form, the sensor ranges named by the
// product code, the update-rate rules, and the virtual slots through which initialisation and
// per-packet processing call into the concrete tracker classes.
//
// Threads: setters run on the caller's thread and block for their time-out; the reply is matched
// on the link's side. Packets are processed on the device's processing task, one at a time. The
// pending reset method is taken by atomic exchange; the internal heading and object alignment,
// the strapdown window and the record's heading and alignment are guarded by m_orientationLock,
// a leaf lock never held across I/O, the filter or callbacks. The host filter's step, restart,
// state copies and replacement (initializeFilter) are serialised by m_filterLock (recursive, so
// a class's filtering may restart its filter; lock order: m_filterLock before
// m_orientationLock and the device model's filter handle lock; never held across I/O or
// callbacks).
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "device/ZtDevice.h"
#include "filters/common/ZkfUserParams.h"
#include "math/Quaternion.h"
#include "math/strapdown/SdiData.h"
#include "math/strapdown/SdiWindow.h"

class CalibrationInfo;
class ExtendedScenario;
class KtHardwareParams;
class PacketItems;
class ZkfState;

class KtDevice : public ZtDevice {
 public:
  // Synchronisation in the record's form (offsets and pulse width in device ticks).
  struct KtSyncSettings {
    uint16_t syncInMode = 0;
    uint16_t syncInSkipFactor = 0;
    uint32_t syncInOffset = 0;
    uint16_t syncOutMode = 0;
    uint16_t syncOutSkipFactor = 0;
    uint32_t syncOutOffset = 0;
    uint32_t syncOutPulseWidth = 0;
    bool operator==(const KtSyncSettings&) const = default;
  };

  // A tracker on its own port or log file.
  KtDevice(DeviceFactory& factory, Communicator* communicator);
  // A tracker behind a station or bus master.
  KtDevice(ZtDevice* master, const ZtDeviceId& deviceId);
  ~KtDevice() override;

  // ---- Slots added to ZtDevice, in slot order ---------------------------------------------------
  // 1. The initial filter state, null when none is held; stays owned by the device.
  virtual zelto::SettingsFile* initialState() const;
  // 2, 3. Orientation resets done by the firmware. Methods 5-7 always, 8 never; others when the
  // device outputs orientation itself.
  virtual bool canDoOrientationResetInFirmware(ZtResetMethod method) const;
  virtual bool storeAlignmentMatrix();
  // 4. True for classes that read the record page by page.
  virtual bool readEktsInParts() const;
  // 5. Reads the device record: from the device whole (0x90 [0, 255], 10 s) or page by page
  // (2.5 s each, page 5 when the record's version has it), from a log file as
  // readEktsFromLogFile. False without a communicator and on the first failed or short page.
  // After a read: the user parameters, and the internal alignment and heading from the record.
  virtual bool readEkts();
  // 6. The orientation that goes into the packet: applies and clears the pending reset (called at
  // the end of performFiltering with the filter's orientation).
  virtual ZtQuaternion doOrientationResets(const ZtQuaternion& orientation);
  // 7. The class's hardware parameters.
  virtual KtHardwareParams& hardwareParameters() = 0;
  // 8. The class's hardware parameters from the settings file, else from record page 5.
  virtual bool readHardwareParameters(const zelto::SettingsFile& settings);
  // 9. The class's hardware parameters from a settings file; true when found.
  virtual bool readHardwareParamsFromFile(const zelto::SettingsFile& settings) = 0;
  // 10.
  virtual ZkfUserParams& userParams();
  // 11. Fills the scenario's filter parameters for the class's filter (settings under prefix,
  // label is the filter name). A ZtException (a missing or malformed key) discards the scenario.
  virtual void loadScenario(ExtendedScenario* scenario, const zelto::SettingsFile& settings,
                            const std::string& prefix, const std::string& label) = 0;
  // 12. The scenario's profile becomes the current host profile (true at once when its type is
  // the current one): the initial state is dropped and, with software filtering, the result is
  // initializeFilter(). 13, 14: the onboard profiles: 0x64 with the type, only in Config and for
  // a type the device reported; 0x62 answered by 0x63 in whole 22-byte entries, sorted by type.
  // 15. The host scenarios listed under the scenarios prefix + ".scenarios": an entry with a
  // missing key, an unparsable "gp.filterVersion" or a failing loadScenario is skipped; the
  // list is sorted by type. True when at least one scenario was loaded.
  virtual bool setZdaFilterProfile(const ExtendedScenario& scenario);
  virtual bool setOnboardFilterProfile(const ZtFilterProfile& profile);
  virtual void fetchAvailableHardwareScenarios();
  virtual bool loadFilterProfiles(const zelto::SettingsFile& settings);
  // 16. Drops the held initial state; keeps an owned copy of settings when it holds any.
  virtual void setInitialState(const zelto::SettingsFile& settings);
  // 17-19. Update rate from the record's sample period and skip factor, for every identifier.
  virtual int calculateUpdateRate() const;
  virtual int calculateUpdateRate(ZtDataIdentifier dataIdentifier) const;
  virtual int calculateProcessedUpdateRate(ZtDataIdentifier dataIdentifier) const;
  // 20. Software calibration of one raw sample. Throws ZtException when a gain matrix at the
  // sample's temperature is singular; false without data.
  virtual bool calibrateData(const ZtScrData& raw, const CalibrationInfo* info, ZtCalibratedData& out);
  // 21.
  virtual void setStatusInPacket(ZtDataPacket& packet, uint32_t status);

  // ---- Initialisation and host profiles ----------------------------------------------------------
  // Base initialisation (copy of the settings), data caches, the device configuration and the
  // record (either failing clears the initialised flag: false), then cache sizes, calibration,
  // onboard and host profiles, hardware parameters, the profile choice, the initial filter
  // state from a log file and the filter. A configuration without this device's entry gives
  // false and a journal line.
  bool initialize(const zelto::SettingsFile& settings) override;
  // Configuration and record again (either failing: false), caches, calibration, onboard
  // profiles, the profile choice and the filter; true.
  bool reinitialize() override;
  // The ZtDevice operation; on success reinitialize, whose result is the result.
  bool reset() override;
  bool restoreFactoryDefaults() override;
  // Page 5 of a record of major version 3 or later into the class's hardware parameters.
  bool readHardwareParamsFromEkts();
  const std::string& getScenariosPrefix() const { return m_scenariosPrefix; }
  void setScenariosPrefix(const std::string& prefix) { m_scenariosPrefix = prefix; }
  // The current onboard profile from the configuration entry (or the record when the entry
  // holds 0), labelled from the onboard list; then, when no host profile is chosen yet: the
  // host scenario of the onboard type, else (with a filter) the first of the filter's type or
  // (without) the first one, else the first scenario. True. Throws
  // ZtDeviceConfigurationException when the configuration has no entry for this device.
  bool updateScenarios();
  std::vector<ZtFilterProfile> availableZdaFilterProfiles() const override;
  ZtFilterProfile zdaFilterProfile() const override;
  // The host scenario of that type, or false.
  bool setZdaFilterProfile(int profileType) override;
  // Overwrites the device's scenario page of the old profile's type (page 5 + its place in the
  // device's list) with the host scenario of the new profile's type (all zeros when there is
  // none), then reinitialize. False without sending when the device does not list the old type
  // or the page index would pass 255; false without reinitialize when a page is not
  // acknowledged.
  bool replaceFilterProfile(const ZtFilterProfile& oldProfile, const ZtFilterProfile& newProfile) override;
  // Sends count pages of 264 bytes (stored form) from page pageIndex on, each 0x96 [0, index,
  // page] acknowledged by 0x97 within 200 ms, then the end marker 0x96 [255]. The first missing
  // acknowledgement stops with false (no end marker). Pages past index 255 are refused.
  bool writeEktsPage(const uint8_t* pages, int pageIndex, int count);
  // From a log file: the first 0x98 message of this device among the first 198 becomes the
  // initial state when it deserialises whole and its "filterProfileType" is absent or the
  // current host profile's type.
  void readInitialFilterState();
  // With an initialised filter and a state record for it (createFilterState): the state, the
  // profile type and the filter's version as a zsb image in message 0x98 into the recording.
  void writeFilterStateToFile() override;

  // Orders profiles, and scenarios by their profiles, by type ascending.
  struct CompareZtFilterProfile {
    bool operator()(const ZtFilterProfile& a, const ZtFilterProfile& b) const { return a.type < b.type; }
    bool operator()(const ExtendedScenario* a, const ExtendedScenario* b) const;
  };
  // A profile label: at most 20 characters of text (size bytes available), cut at the first
  // blank or zero, terminated.
  static void copyProfileLabel(char (&label)[21], const char* text, size_t size);
  // The first entry (in list order) of that type, null when none.
  static const ExtendedScenario* findScenario(const std::vector<ExtendedScenario*>& list, int type);
  static const ZtFilterProfile* findProfile(const std::vector<ZtFilterProfile>& list, int type);

  // ---- ZtDevice overrides ----------------------------------------------------------------------
  using ZtDevice::restartFilter;
  using ZtDevice::setOnboardFilterProfile;
  using ZtDevice::setZdaFilterProfile;
  // The device model's restart (under m_filterLock), then the strapdown window starts over.
  void restartFilter(ZkfParams* parameters) override;
  // Calibration, strapdown integration, host filter, rates rebuilt from increments, then the
  // caches. Never throws: a failing step is journalled once per kind and the packet is delivered.
  void doProcessing(ZtDataPacket& packet) override;
  // The calibration data from the record (once), released by deinitializeSoftwareCalibration.
  bool initializeSoftwareCalibration() override;
  void deinitializeSoftwareCalibration() override;
  // Config: only method 0 (stores the alignment, then reinitialize). Measurement and recording:
  // any other method, sent to the firmware when it can do it, and pending for the host filter.
  bool scheduleOrientationReset(ZtResetMethod method) override;
  // The record's heading offset and the internal heading; true.
  bool setHeadingOffset(double offset) override;
  // The record's object alignment (when it has one) and the internal alignment follow; true.
  bool setObjectAlignment(const ZtMatrix& alignment) override;
  // Pure computations: the object alignment that levels q's z axis, and the heading that undoes
  // q's rotation about the vertical. Both return false, leaving out unchanged, when the axis they
  // rely on is (nearly) vertical and the cross product vanishes.
  static bool recalcObject(ZtQuaternion& out, ZtQuaternion q);
  static bool recalcHeading(ZtQuaternion& out, ZtQuaternion q);
  // 0x90 [x, 255] (the whole record) is answered from the held record; true when its checksum
  // is right. Every other message goes to the device.
  bool sendCustomMessage(const ZtMessage& message, bool waitForResult, ZtMessage& reply, int timeoutMs) override;
  // The record from the first 198 0x91 messages of the log file with this device's bus id: a
  // whole record, or 66- and 264-byte parts assembled in order (a part that does not fit starts
  // over; 1056 bytes make a record when the messages run out).
  bool readEktsFromLogFile();
  // The record from the device or the log file, without what follows a successful read.
  bool readEktsRecord();
  // The user parameters from the record. The date: live, today's local date; from a log file,
  // the configuration's date text when it is exactly 8 digits with a year after 1999, else
  // (when the record gave a year before 2000) the log file's date in UTC.
  void gatherUserParams();
  // What a host filter's parameters start from: the user parameters at the filter's sample rate
  // (with the stored position for records before version 3) and the hardware parameters.
  void gatherFilterInputs(double sampleRate);
  // The packet's calibrated acceleration, rate of turn and magnetic field (from its items, found
  // once by the caller) turned into the object frame by the object alignment; false when the
  // packet lacks one of them.
  bool objectFrameInertial(const PacketItems& items, zelto::Vector3& acc, zelto::Vector3& gyr,
                           zelto::Vector3& mag) const;
  // "YYYYMMDD" of exactly 8 digits (not terminated) into year, month, day; false otherwise.
  static bool parseDateText(const char* text, int& year, int& month, int& day);
  // The held record as its 0x91 message with this device's bus id (1320 bytes, stored form).
  void fetchEkts(ZtMessage& out) const;
  // The children's settings, then the held record as its 0x91 message into the log file.
  void writeDeviceSettingsToFile() override;
  // The log file from its start, then the software filter from the initial state; true.
  bool resetLogFileReadPosition() override;
  // The device's profiles in the order of its reply (empty without a reply). Throws
  // ZtDeviceConfigurationException when the configuration has no entry for this device.
  std::vector<ZtFilterProfile> readFilterProfilesFromDevice();
  std::vector<ZtFilterProfile> availableOnboardFilterProfiles() const override;
  ZtFilterProfile onboardFilterProfile() const override;
  // The listed profile of that type, or false.
  bool setOnboardFilterProfile(int profileType) override;
  bool isMotionTracker() const override;
  EktsManager* ekts() const override;
  // The record's product code: at most 20 characters, cut at the first blank.
  ZtString productCode() const override;
  ZtVersion hardwareVersion() const override;
  // A master: the rate of the record's baud-rate code; a child: its master's.
  ZtBaudRate serialBaudRate() const override;

  ZtOutputMode outputMode() const override;
  ZtOutputSettings outputSettings() const override;
  int stringOutputType() const override;
  int samplePeriod() const override;
  int outputSkipFactor() const override;
  ZtErrorMode errorMode() const override;
  uint16_t rs485TransmissionDelay() const override;
  double headingOffset() const override;
  int locationId() const override;
  double gravityMagnitude() const override;
  ZtVector latLonAlt() const override;
  ZtVector labMagneticField() const override;
  ZtMatrix objectAlignment() const override;
  ZtOutputConfigurationArray outputConfiguration() const override;
  // Throws ZtDeviceConfigurationException when the configuration has no entry for this device.
  int dataLength() const override;

  int syncRole() const override;
  bool hasDataEnabled(ZtDataIdentifier dataIdentifier) const override;
  int updateRate() const override;
  int updateRateForDataIdentifier(ZtDataIdentifier dataIdentifier) const override;
  int updateRateForProcessedDataIdentifier(ZtDataIdentifier dataIdentifier) const override;

  // Filtering needs calibration: switching filtering on switches calibration on, switching
  // calibration off switches filtering off. Both setters return true.
  bool isSoftwareFilteringEnabled() const override;
  bool setSoftwareFilteringEnabled(bool enable) override;
  bool isSoftwareCalibrationEnabled() const override;
  bool setSoftwareCalibrationEnabled(bool enable) override;
  ZtResetMethod resetMethod() const override;
  void resetSoftwareFilter(zelto::SettingsFile* settings) override;
  double accelerometerRange() const override;
  double gyroscopeRange() const override;
  // 0x34 without acknowledgement, only while the output is on request (skip factor 0xFFFF).
  bool requestData() override;

  bool gotoMeasurement() override;
  bool gotoConfig() override;
  DeviceConfigurationMessages* determineConfigurationMessages() const override;

  // Acknowledged setters: the value is cached only when the acknowledgement arrived in time.
  bool setNoRotation(uint16_t seconds) override;
  // The device's self-test result, 0 on failure (3 s time-out).
  uint16_t runSelfTest() override;
  // Both restart the host filter after success.
  bool setGravityMagnitude(double magnitude) override;
  bool setLabMagneticField(const ZtVector& field) override;
  // Exactly three values, and a bus id other than 0 and 254.
  bool setLatLonAlt(const ZtVector& latLonAlt) override;
  void updateHeadingOffset() override;
  bool setLocationId(int id) override;
  // Only in state Config.
  bool storeFilterState() override;
  // On success the array holds the pairs the device acknowledged.
  bool setOutputConfiguration(ZtOutputConfigurationArray& configuration) override;
  bool setErrorMode(ZtErrorMode mode) override;
  bool setRs485TransmissionDelay(uint16_t delay) override;
  void updateObjectAlignmentMatrix() override;
  // Nothing is sent when the record holds the value already; after the acknowledgement the
  // record and the device configuration hold it.
  bool setOutputMode(ZtOutputMode mode) override;
  bool setOutputSettings(ZtOutputSettings settings) override;
  bool setSamplePeriod(uint16_t period) override;
  bool setOutputSkipFactor(uint16_t skipFactor) override;
  bool setStringOutputType(uint16_t type) override;

  // ---- Synchronisation -------------------------------------------------------------------------
  std::vector<ZtSyncSetting> supportedSyncSettings() const override;
  // Sync-in first, then sync-out; a side whose record mode is 0 is left out.
  std::vector<ZtSyncSetting> syncSettings() const override;
  // At most two entries, each offset and pulse width representable in 32 bits of ticks;
  // otherwise false with nothing changed. Clears the cached values, then sends the seven values
  // one by one (each cached on its acknowledgement); the first failure stops with false.
  bool setSyncSettings(const std::vector<ZtSyncSetting>& settings) override;
  ZtSyncSetting syncInSettings() const;
  ZtSyncSetting syncOutSettings() const;
  // The record's seven synchronisation values set to 0; nothing is sent.
  void clearSyncSettings();
  static KtSyncSettings syncSettingsToKtSyncSettings(const std::vector<ZtSyncSetting>& settings);
  // 29.4912 ticks per microsecond, rounded to the nearest unit. usToSyncTicks saturates at 0 and
  // at the largest 32-bit tick count; syncTicksToUs takes every 32-bit tick count.
  static uint32_t syncTicksToUs(uint32_t ticks);
  static uint32_t usToSyncTicks(int64_t microseconds);
  // True when usToSyncTicks represents the value without saturating.
  static bool isSyncTimeRepresentable(int64_t microseconds);

  // ---- Sensor ranges of a product code ---------------------------------------------------------
  // The text from the 'A' (followed later by a 'G') to the end when the code holds "KT"; else "".
  static std::string findHardwareType(const std::string& productCode);
  static double accelerometerRange(const std::string& productCode);
  static double actualAccelerometerRange(const std::string& productCode);
  static double gyroscopeRange(const std::string& productCode);
  static double actualGyroscopeRange(const std::string& productCode);

 protected:
  // The record's product code as a std::string (cut as productCode()).
  std::string productCodeText() const;
  // One request/acknowledgement exchange on the link: the reply object is registered before the
  // write. True when a reply with ackId arrived in time; reply (optional) receives it.
  bool exchangeRequest(const ZtMessage& request, uint8_t ackId, unsigned timeoutMs, ZtMessage* reply);
  // A request with this device's bus id and the payload bytes.
  bool exchangeRequest(uint8_t requestId, const std::vector<uint8_t>& payload, unsigned timeoutMs,
                       ZtMessage* reply = nullptr);
  // The configuration entry of this device (master: entry 0; child: bus id - 1). Throws
  // ZtDeviceConfigurationException when there is none.
  ZtDeviceConfigurationDevice& configurationEntry() const;
  // Raw samples with calibration data and without calibrated data become calibrated data; true
  // when they did (the packet then holds calibrated acceleration and rate of turn).
  bool performCalibration(ZtDataPacket& packet);
  // Calibrated acceleration and rate without SDI data go into the strapdown window.
  void performSdiCalculation(ZtDataPacket& packet);
  // Acceleration and rate rebuilt from the packet's increments, when the interval is sound.
  void performInverseSdi(ZtDataPacket& packet);
  // The period a class set (setSdiPeriod); without one, 1 / updateRate() while that rate is
  // positive, else 1 s.
  double sdiPeriod() const;
  // The time one calibrated sample spans in the strapdown window, set by classes whose update
  // rate does not give it (0 or less: derived from the update rate again). With host
  // increments off, calibrated samples are not integrated at all (the device sends its own).
  void setSdiPeriod(double seconds) { m_sdiPeriod.store(seconds); }
  void setHostSdiEnabled(bool enable) { m_hostSdiEnabled.store(enable); }
  // The calibration data, null when absent.
  const CalibrationInfo* calibrationInfo() const { return m_calibrationInfo; }
  // A new empty state record of the class's filter (owned by the caller), null when the class
  // has none: then no filter state is written.
  virtual ZkfState* createFilterState() const;
  // The class's per-packet host state that the filter state alone does not give (a partly
  // filled window, latched aiding, ...), added to the state record a recording starts with so
  // that its replay continues exactly where the live stream was; the class reads it back from
  // initialState() when it builds its filter. Called under m_filterLock. Nothing by default.
  virtual void writeHostState(zelto::SettingsFile& file) const;
  // initializeFilter under m_filterLock.
  bool initializeFilterLocked();

  // Members, in their order of meaning.
  EktsManager* m_ekts;
  ZkfUserParams m_userParams;
  // Software filtering is ZtDevice::m_softwareFilteringEnabled.
  bool m_softwareCalibrationEnabled = true;
  CalibrationInfo* m_calibrationInfo = nullptr;  // absent until software calibration is set up
  zelto::SdiWindow m_sdiWindow;
  zelto::SdiData m_previousSdiData;
  // Set on the caller's thread, read by the processing task.
  std::atomic<double> m_sdiPeriod{0.0};
  std::atomic<bool> m_hostSdiEnabled{true};
  std::atomic<ZtResetMethod> m_resetMethod;
  zelto::Quaternion m_internalHeading;          // guarded by m_orientationLock
  zelto::Quaternion m_internalObjectAlignment;  // guarded by m_orientationLock
  mutable std::mutex m_orientationLock;
  // Serialises the host filter's use between the processing task (performFiltering) and the
  // callers' threads (restartFilter, state copies, initializeFilter through
  // initializeFilterLocked; a class's resetSoftwareFilter takes it too).
  mutable std::recursive_mutex m_filterLock;
  // One journal line per kind of processing fault: calibration, strapdown, filter, inverse SDI.
  std::atomic<bool> m_faultJournalled[4] = {};
  zelto::SettingsFile* m_initialState = nullptr;
  std::vector<ExtendedScenario*> m_hostScenarios;
  ZtFilterProfile m_currentHostProfile{};
  std::vector<ZtFilterProfile> m_onboardProfiles;
  ZtFilterProfile m_currentOnboardProfile{};
  std::string m_scenariosPrefix;
};
