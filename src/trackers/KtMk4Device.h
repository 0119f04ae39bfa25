#pragma once
// The base of the fourth-generation trackers. Their output is set by an output configuration
// (up to 32 pairs of data identifier and frequency, kept in the device record) instead of the
// legacy output mode; a configuration with no entry means legacy mode. From the configuration
// it derives the update rate of every identifier, the outputs host processing adds (processed
// output configuration) and the two strapdown windows: the raw window turns raw-rate samples into
// 400 Hz increments, the output window combines increments to the 100 Hz of a host filter.
// It sends the fourth-generation setters (processing flags 0x20, heading offset 0x82, alignment
// rotations 0xEC, synchronisation 0x2C) and applies orientation resets on the host through the
// two alignment rotations. A class adds its base frequencies, filter and scenarios.
//
// Threads: setters run on the caller's thread and block for their 200 ms acknowledgement. The
// processing task reads the mirrored configuration (m_configurationLock, a leaf lock) and the
// alignment rotations and windows (KtDevice's m_orientationLock); nothing on the per-packet path
// allocates. Lock order: m_filterLock, then m_orientationLock or m_configurationLock (never
// both at once).
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "math/Quaternion.h"
#include "math/strapdown/SdiWindow.h"
#include "trackers/KtDevice.h"

class KtHardwareParams;

class KtMk4Device : public KtDevice {
 public:
  // A configuration as plain pairs (the record holds at most kMaxEntries).
  using Entries = std::vector<ZtOutputConfiguration>;
  static constexpr size_t kMaxEntries = 32;
  static constexpr size_t kMaxSyncSettings = 10;
  // Processing-flag bits.
  static constexpr uint16_t kInitialBiasUpdateFlag = 0x0001;
  static constexpr uint16_t kFixedGravityFlag = 0x0002;

  // Without hardware parameters a default KtMk4HardwareParams record is made; either way the
  // device owns them.
  KtMk4Device(DeviceFactory& factory, Communicator* communicator, KtHardwareParams* hardware = nullptr);
  KtMk4Device(ZtDevice* master, const ZtDeviceId& deviceId, KtHardwareParams* hardware = nullptr);
  ~KtMk4Device() override;

  // ---- Slots added, in slot order ----------------------------------------------------------------
  // The highest frequency at which the device outputs the identifier's group; 0: none.
  virtual int getBaseFrequency(ZtDataIdentifier dataIdentifier) const = 0;
  // The frequency of an identifier in a configuration (see the .cpp for the matching rules).
  virtual int calculateUpdateRateImp(ZtDataIdentifier dataIdentifier, const ZtOutputConfiguration* entries,
                                     size_t count) const;
  // The frequency of the last entry of each kind; absent kinds keep the caller's value (-1).
  virtual void componentFrequencies(const ZtOutputConfiguration* entries, size_t count, int& orientation, int& dv,
                                    int& acc, int& dq, int& rate, int& mag, int& status, int& raw) const;
  // With a raw readout (raw > 0): calibrated rate, acceleration and field at the raw rate, and
  // increments at the raw window's rate when the raw window decimates; appended to entries.
  virtual void rawDataDerivedFrequencies(Entries& entries, int raw, int& rate, int& acc, int& dq, int& dv,
                                         int& mag) const;
  // Each sensor's increment and calibrated value derived from the other when only one is there.
  virtual void calculatedInertialFrequencies(Entries& entries, int& dq, int& rate, int& dv, int& acc) const;
  // The SDI scale, the two windows' decimations and the SDI period from the configuration.
  // False when the configuration gives no increments at a multiple of 100 Hz.
  virtual bool initializeSdiWindows();

  // ---- Overrides ----------------------------------------------------------------------------------
  // The divisors of the base frequency, descending, without 500, 250 and 125.
  std::vector<int> supportedUpdateRates(ZtDataIdentifier dataIdentifier) const override;
  bool hasDataEnabled(ZtDataIdentifier dataIdentifier) const override;
  bool hasProcessedDataEnabled(ZtDataIdentifier dataIdentifier) const override;
  // KtDevice's restart, then the output window starts over.
  void restartFilter(ZkfParams* parameters) override;
  // With a host filter: the output window cleared and the filter restarted.
  void resetSoftwareFilter(zelto::SettingsFile* settings) override;
  ZtOutputConfigurationArray outputConfiguration() const override;
  ZtOutputConfigurationArray processedOutputConfiguration() const override;
  // Nothing is sent when the array equals the present configuration; more than 32 entries are
  // refused unsent. On the acknowledgement the array holds the acknowledged pairs and the record
  // holds them (at most 32, the rest of its table cleared); the windows and rotations follow.
  bool setOutputConfiguration(ZtOutputConfigurationArray& configuration) override;
  // Without the record's configuration table (legacy mode): true when it is empty. Reads the
  // mirror, so it allocates nothing.
  bool isInLegacyMode() const override;
  int outputSkipFactor() const override;
  bool setOutputSkipFactor(uint16_t skipFactor) override;
  ZtDeviceMode deviceMode() const override;
  // An output configuration held by the record is cleared first.
  bool setDeviceMode(const ZtDeviceMode& mode) override;
  // The fourth-generation form of the record's calibration (KtMk4CalibrationInfo); true.
  bool initializeSoftwareCalibration() override;
  // Up to ten 12-byte rows of the record; a row of polarity 0 ends the list.
  std::vector<ZtSyncSetting> syncSettings() const override;
  // 0x2C with 12 bytes per setting. Refused unsent: more than ten settings, a pulse width or
  // offset that is negative or above 65535 hundreds of microseconds (the message's 16 bits).
  bool setSyncSettings(const std::vector<ZtSyncSetting>& settings) override;
  std::vector<ZtSyncSetting> supportedSyncSettings() const override;
  // Always 2; the setter takes only 2 (true, nothing sent).
  ZtErrorMode errorMode() const override;
  bool setErrorMode(ZtErrorMode mode) override;
  // 0x82 with the offset as a float; on the acknowledgement the record and the heading follow.
  bool setHeadingOffset(double offset) override;
  // With an initialised host filter: kept for its next step; else the device's command.
  bool setNoRotation(uint16_t duration) override;
  // The setter takes only 0 (true, nothing sent).
  bool setRs485TransmissionDelay(uint16_t delay) override;
  // Bits 0 and 1 of the processing flags: the record's field when it has one, else the flags
  // the device last acknowledged (0 until then).
  bool isInitialBiasUpdateEnabled() const override;
  bool setInitialBiasUpdateEnabled(bool enable) override;
  bool isFixedGravityEnabled() const override;
  bool setFixedGravityEnabled(bool enable) override;
  // 0xEC: frame byte and the unit quaternion as four floats; acknowledged, the record's rotation
  // of that frame follows. A matrix that is not a rotation is refused unsent.
  bool setAlignmentRotationMatrix(ZtAlignmentFrame frame, const ZtMatrix& matrix) override;
  ZtMatrix alignmentRotationMatrix(ZtAlignmentFrame frame) const override;
  bool setAlignmentRotationQuaternion(ZtAlignmentFrame frame, const ZtQuaternion& quaternion) override;
  ZtQuaternion alignmentRotationQuaternion(ZtAlignmentFrame frame) const override;
  // KtDevice's six requests and "ExtOutputMode", "OutputConfiguration", "SyncSettings",
  // "LatLonAlt", "CurrentScenario".
  DeviceConfigurationMessages* determineConfigurationMessages() const override;
  // Host resets through the alignment rotations: 1 heading (local frame), 3 inclination (sensor
  // frame), 4 both, 5/6/7 the local, sensor or both rotations back to identity. The result is
  // local x q x sensor; the pending method is cleared.
  ZtQuaternion doOrientationResets(const ZtQuaternion& orientation) override;
  // The fourth-generation device keeps the alignment itself: the reset with method 0 only.
  bool storeAlignmentMatrix() override;
  KtHardwareParams& hardwareParameters() override;
  // The first "ZKF.hardwares" entry of a "MkIV" assembly (any case) with the record's hardware
  // revision; false without one.
  bool readHardwareParamsFromFile(const zelto::SettingsFile& settings) override;
  int calculateUpdateRate() const override;
  int calculateUpdateRate(ZtDataIdentifier dataIdentifier) const override;
  int calculateProcessedUpdateRate(ZtDataIdentifier dataIdentifier) const override;
  // The fourth-generation calibration of one sample (four temperatures). Throws ZtException for
  // a gain of 0 or not finite at the sample's temperature; false without a Mk4 record.
  bool calibrateData(const ZtScrData& raw, const CalibrationInfo* info, ZtCalibratedData& out) override;
  // KtDevice's read, then the configuration mirror, the windows and the rotations from it.
  bool readEkts() override;

  // L (heading) and S (inclination) of an orientation: after an alignment reset L q S is the
  // identity, after a heading reset L q has no heading.
  static void computeOrientations(const ZtQuaternion& q, ZtQuaternion& local, ZtQuaternion& sensor);
  // Decimations and scale of the windows as initializeSdiWindows set them.
  int rawWindowDecimation() const;
  int outputWindowDecimation() const;
  double sdiScale() const;
  // The no-rotation duration handed to the next host filter step (then 0).
  uint16_t pendingNoRotation() const { return m_pendingNoRotation.load(); }

 protected:
  // The configuration mirror's entries (m_configurationLock taken inside).
  size_t configurationEntries(std::array<ZtOutputConfiguration, kMaxEntries>& out) const;
  Entries configurationList() const;
  // Mirror and rotations from the record.
  void refreshFromRecord();
  bool setProcessingFlag(uint16_t bit, bool enable);
  uint16_t processingFlags() const;
  // The first entry of the label list under listKey of a "MkIV" assembly (any case) with the
  // record's hardware revision into the hardware parameters; false without one.
  bool readMk4HardwareParams(const zelto::SettingsFile& settings, const char* listKey);

  // The output window's partial content under "host.window.*" for a recording's state record,
  // and back from it (m_orientationLock taken inside). Resuming needs the rate of the window as
  // it is now; false, the window left as it was, without the keys or for another rate.
  void writeOutputWindow(zelto::SettingsFile& file) const;
  bool resumeOutputWindow(const zelto::SettingsFile& file);

  // The output window: increments combined to the host filter's rate (m_orientationLock).
  zelto::SdiWindow m_outputSdiWindow;
  std::atomic<uint16_t> m_pendingNoRotation{0};

 private:
  KtHardwareParams* m_hardwareParams;
  double m_sdiScale = 1.0;  // guarded by m_orientationLock
  // Alignment rotations from the record (guarded by m_orientationLock).
  zelto::Quaternion m_sensorRotation;
  zelto::Quaternion m_localRotation;
  // The record's configuration, mirrored so the processing path reads it without allocating.
  mutable std::mutex m_configurationLock;
  std::array<ZtOutputConfiguration, kMaxEntries> m_configuration{};  // guarded by m_configurationLock
  size_t m_configurationCount = 0;                                   // guarded by m_configurationLock
  // The flags last acknowledged, -1 while none was: a record without the field cannot tell.
  std::atomic<int> m_acknowledgedFlags{-1};
};
