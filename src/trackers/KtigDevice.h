#pragma once
// The GNSS-aided tracker whose navigation solution (orientation, position, velocity) the Zkf6
// filter computes on the host. Over KtixDevice it replaces the filter side ("ZKF-6G" scenarios,
// the Zkf6 filter and state, sensor characteristics with the GNSS receiver's) and adds the GNSS
// lever arm (0x68), the GNSS status (0xA6, answered by 0xA7) and UTC time (0x60) requests. The
// heading offset is not settable on this device.
//
// Threads: requests run on the caller's thread (the lever arm blocks for its 200 ms time-out);
// performFiltering runs on the device's processing task under m_filterLock, one packet at a time,
// and allocates nothing.
#include <cstdint>
#include <string>
#include <vector>

#include "trackers/KtixDevice.h"

class KtigHardwareParams;

class KtigDevice : public KtixDevice {
 public:
  KtigDevice(DeviceFactory& factory, Communicator* communicator);
  KtigDevice(ZtDevice* master, const ZtDeviceId& deviceId);
  ~KtigDevice() override;

  static ZtDevice* constructAsMaster(DeviceFactory& factory, Communicator* communicator);
  static ZtDevice* constructAsChild(ZtDevice& master, const ZtDeviceId& deviceId);

  // ---- Overrides, in slot order ----------------------------------------------------------------
  // For every identifier: the 32 rates from 512 down to 12 Hz.
  std::vector<int> supportedUpdateRates(ZtDataIdentifier dataIdentifier) const override;
  // Builds the Zkf6 filter from the current host profile's "ZKF-6G" scenario, the hardware and
  // the user parameters. Without a profile or a matching scenario the filter is cleared; false.
  bool initializeFilter() override;
  // One filter step for a packet with calibrated and raw data, aided by its GNSS PVT item (a
  // packet without one gives the filter no new GNSS or pressure sample): orientation (north-
  // west-up, or north-east-down with bit 31 of the output settings), position, velocity and
  // status bit 0x02 (settled). A pending object reset (method 3) realigns the sensor frame from
  // the step's orientation once and turns the lever arm with it. A failed step leaves the packet
  // as it is.
  void performFiltering(ZtDataPacket& packet) override;
  // With filtering on and a filter: restarts it; a Zkf6 state read from settings (empty prefix)
  // is then set as its full state.
  void resetSoftwareFilter(zelto::SettingsFile* settings) override;
  // 0xA7 goes to handleGpsStatus first; every message then to the device model.
  void handleNonDataMessage(const ZtMessage& message) override;
  // Refused: nothing is sent or stored.
  bool setHeadingOffset(double offset) override;
  // An initialised filter's gyroscope bias into the record; else KtDevice::storeFilterState.
  bool storeFilterState() override;
  // The GNSS status answer changes nothing in the device.
  void handleGpsStatus(const ZtMessage& message) override;
  // 0xA6 without payload; no reply awaited. True when written.
  bool requestGpsStatus() override;
  // 0x68 with the three elements as floats, acknowledged by 0x69 within 200 ms; the record's
  // lever arm is set after the acknowledgement. Exactly three elements.
  bool setLeverArm(const ZtVector& leverArm) override;
  // The record's lever arm (three elements, owned by the caller).
  ZtVector leverArm() const override;
  // All zero: the device's time is not kept.
  ZtUtcTime utcTime() const override;
  // 0x60 without payload; no reply awaited. True when written.
  bool requestUtcTime() override;
  // The first "ZKF.hardwares" entry of a "GPS" assembly with the record's GNSS receiver revision
  // names the GNSS prefix (empty when none); then the tracker's own characteristics as
  // KtixDevice reads them.
  bool readHardwareParamsFromFile(const zelto::SettingsFile& settings) override;
  // "ZKF-6G" in any case; the scenario gets a Zkf6ScenarioParams (owned by it from then on) read
  // under prefix. Throws ZtException, which discards the scenario, for another filter name,
  // another filter major version, a lower minor version or a missing key.
  void loadScenario(ExtendedScenario* scenario, const zelto::SettingsFile& settings, const std::string& prefix,
                    const std::string& filterName) override;

  // A new empty Zkf6State: the filter state written into recordings.
  ZkfState* createFilterState() const override;

 private:
  bool writeWithoutReply(uint8_t messageId);

  KtigHardwareParams* m_ktigHardwareParams;  // owned by the KtixDevice base
};
