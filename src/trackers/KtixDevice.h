#pragma once
// The tracker whose orientation is computed on the host by the Zkf3 filter. Over KtDevice it
// adds: "ZKF-3" scenarios, the filter built from the chosen scenario, one filter step per packet,
// the two filter switches kept in the record's processing flags (0x20), firmware setters for the
// heading offset (0x82) and object alignment (0xE0) that are acknowledged before the base stores
// the value, two more configuration requests, and its sensor characteristics looked up in the
// "ZKF.hardwares" entries of a settings file.
//
// Threads: setters run on the caller's thread and block for their 200 ms time-out; performFiltering
// runs on the device's processing task, one packet at a time, and allocates nothing after the
// filter's first step.
#include <cstdint>
#include <string>
#include <vector>

#include "trackers/KtDevice.h"

class KtHardwareParams;

class KtixDevice : public KtDevice {
 public:
  // Processing-flag bits of the record.
  static constexpr uint16_t kInitialBiasUpdateFlag = 0x0001;
  static constexpr uint16_t kFixedGravityFlag = 0x0002;

  KtixDevice(DeviceFactory& factory, Communicator* communicator);
  KtixDevice(ZtDevice* master, const ZtDeviceId& deviceId);
  ~KtixDevice() override;

  static ZtDevice* constructAsMaster(DeviceFactory& factory, Communicator* communicator);
  static ZtDevice* constructAsChild(ZtDevice& master, const ZtDeviceId& deviceId);

  // ---- Overrides, in slot order ----------------------------------------------------------------
  // For every identifier: the 43 rates from 512 down to 10 Hz.
  std::vector<int> supportedUpdateRates(ZtDataIdentifier dataIdentifier) const override;
  // Builds the Zkf3 filter from the current host profile's scenario, the hardware and the user
  // parameters. Without a profile or a matching "ZKF-3" scenario the filter is cleared; false.
  bool initializeFilter() override;
  // One filter step for a packet with calibrated and raw data: orientation (through the
  // orientation resets, frame 0x0008), free acceleration, and status bits 0x02 and 0x18 when the
  // packet holds a status. A failed step leaves the packet as it is.
  void performFiltering(ZtDataPacket& packet) override;
  // With filtering on and a filter: restarts it; a state read from settings (empty prefix) is
  // then set as its full state.
  void resetSoftwareFilter(zelto::SettingsFile* settings) override;
  // Bit 0x80 is never sent; nothing is sent when the record holds the value already.
  bool setOutputSettings(ZtOutputSettings settings) override;
  // 0x82 with the offset as a float, then KtDevice::setHeadingOffset.
  bool setHeadingOffset(double offset) override;
  // 0xE0 with the nine elements as floats row by row, then KtDevice::setObjectAlignment.
  bool setObjectAlignment(const ZtMatrix& alignment) override;
  // An initialised filter's gyroscope bias into the record; else KtDevice::storeFilterState.
  bool storeFilterState() override;
  // The processing-flag bits; the setters send 0x20 only when the bit changes.
  bool isInitialBiasUpdateEnabled() const override;
  bool setInitialBiasUpdateEnabled(bool enable) override;
  bool isFixedGravityEnabled() const override;
  bool setFixedGravityEnabled(bool enable) override;
  // Writes the working cache to the log file; a legacy data message (0x32) of a child on a bus
  // id other than 1 is skipped.
  void flushCache() override;
  // KtDevice's list plus "ExtOutputMode" (0x86) and "CurrentScenario" (0x64).
  DeviceConfigurationMessages* determineConfigurationMessages() const override;
  KtHardwareParams& hardwareParameters() override;
  // The first "ZKF.hardwares" entry of a "KT9" assembly with the record's hardware revision (1.8
  // counts as 1.0); without one the values are read without entry prefix. On success they are
  // also written into the record's page 5.
  bool readHardwareParamsFromFile(const zelto::SettingsFile& settings) override;
  // "ZKF-3" in any case; the scenario gets a Zkf3ScenarioParams (owned by it from then on) read
  // under prefix. Throws ZtException, which discards the scenario, for another filter name,
  // another filter major version, a lower minor version or a missing key.
  void loadScenario(ExtendedScenario* scenario, const zelto::SettingsFile& settings, const std::string& prefix,
                    const std::string& filterName) override;

  // Takes ownership; the held parameters are deleted. Null is ignored.
  void setHardwareParams(KtHardwareParams* parameters);
  // Handed to the filter's real-time parameters at the next step and reset to 0 there. Nothing
  // in the library sets it: a no-rotation request goes to the device (setNoRotation).
  uint16_t pendingNoRotationCount() const { return m_pendingNoRotationCount; }

  // A new empty Zkf3State: the filter state written into recordings.
  ZkfState* createFilterState() const override;

  // "%d.%d" without undefined behaviour: blanks before each number, an optional sign, digits
  // saturating at the int range, the point matched exactly. False unless both numbers are read.
  static bool parseHardwareRevision(const char* text, int& major, int& minor);

 private:
  // 0x20 with the processing flags with bit set or cleared; cached after the acknowledgement.
  bool setProcessingFlag(uint16_t bit, bool enable);

  uint16_t m_pendingNoRotationCount = 0;
  KtHardwareParams* m_hardwareParams;
};
