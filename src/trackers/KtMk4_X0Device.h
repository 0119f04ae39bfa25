#pragma once
// The fourth-generation orientation tracker of the 10- and 20-series. The 10-series runs no
// host filter and loads no host scenarios; the 20-series (restricted) is to be filtered on the
// host by the Zkf3i filter, which this library build does not hold yet: until it does, that
// series answers as a tracker without host filter too (no scenario, no filter, false from
// initializeFilter). Packets pass through the fourth-generation chain (calibration,
// increments, the processed outputs) unfiltered.
#include "trackers/KtMk4Device.h"

class KtMk4_X0Device : public KtMk4Device {
 public:
  KtMk4_X0Device(DeviceFactory& factory, Communicator* communicator);
  KtMk4_X0Device(ZtDevice* master, const ZtDeviceId& deviceId);
  ~KtMk4_X0Device() override;

  static ZtDevice* constructAsMaster(DeviceFactory& factory, Communicator* communicator);

  // Clears the filter; false (no host filter for either series yet).
  bool initializeFilter() override;
  // No host filter: the packet goes on as it is.
  void performFiltering(ZtDataPacket& packet) override;
  // Refuses every scenario (throws ZtException, which discards it): the no-filter series runs
  // none, and the Zkf3i filter of the restricted series is not part of this build.
  void loadScenario(ExtendedScenario* scenario, const zelto::SettingsFile& settings, const std::string& prefix,
                    const std::string& filterName) override;
  // The no-filter series lists no onboard scenarios; the restricted series asks the device.
  void fetchAvailableHardwareScenarios() override;
  // Group 0x0000, 0xA000, 0xB000, 0xE000: 2000; 0x0800, 0x2000, 0x4000, 0x8000: 400;
  // 0xC000: 100; every other group 0.
  int getBaseFrequency(ZtDataIdentifier dataIdentifier) const override;

  // The series tests of the class (10 and 20 here).
  virtual bool isNoFilterSeries() const;
  virtual bool isRestrictedSeries() const;
};
