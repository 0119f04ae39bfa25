#pragma once
// The fourth-generation orientation tracker of the 10- and 20-series. The 10-series runs no
// host filter and loads no host scenarios; the 20-series (restricted) is filtered on the host by
// the Zkf3i filter over "ZKF-3I" scenarios whose magnetometer flag (bit 2 of the scenario's
// flags) is clear. Per packet the increments go into the output window; each completed window
// (100 Hz) is one filter step with the window's dq and dv, the clipping bits of the status word
// and the latest magnetic field; packets in between get the last estimate advanced by the
// window's increment so far.
//
// Threads: performFiltering runs on the device's processing task under m_filterLock and takes
// m_orientationLock for the window and the rotations (after m_filterLock); it allocates nothing.
// The output record and the latched field are used only under m_filterLock.
#include "filters/zkf3i/Zkf3iFilterOutput.h"
#include "math/Vector3.h"
#include "trackers/KtMk4Device.h"

class KtMk4_X0Device : public KtMk4Device {
 public:
  KtMk4_X0Device(DeviceFactory& factory, Communicator* communicator);
  KtMk4_X0Device(ZtDevice* master, const ZtDeviceId& deviceId);
  ~KtMk4_X0Device() override;

  static ZtDevice* constructAsMaster(DeviceFactory& factory, Communicator* communicator);

  // The no-filter series: filter cleared, false. Otherwise the Zkf3i filter over the current
  // host profile's scenario (a default parameter record when the list has none of its type);
  // false without a profile, without increments at a multiple of 100 Hz, for a scenario record
  // of another kind or when the profile cannot be applied (the installed filter then stays).
  bool initializeFilter() override;
  // See the class comment. A step that returns false gives the zero quaternion; an estimate
  // that is not finite gives no orientation.
  void performFiltering(ZtDataPacket& packet) override;
  // An initialised filter's gyroscope bias into the record; else KtDevice's.
  bool storeFilterState() override;
  // KtMk4Device's reset (the output window emptied, the filter restarted), the latched field and
  // the filter output cleared; then, from settings (empty prefix), what initializeFilter takes
  // from an initial state: the Zkf3i state, the window's partial content and the latched field.
  void resetSoftwareFilter(zelto::SettingsFile* settings) override;
  // "ZKF-3I" in any case, of a version the filter reads; the scenario gets a Zkf3iScenarioParams
  // read under prefix. Throws ZtException (which discards the scenario) for the no-filter series,
  // another filter, another version, a key that does not read, and on the restricted series for a
  // scenario with bit 2 of its flags set.
  void loadScenario(ExtendedScenario* scenario, const zelto::SettingsFile& settings, const std::string& prefix,
                    const std::string& filterName) override;
  // The no-filter series lists no onboard scenarios; the restricted series asks the device.
  void fetchAvailableHardwareScenarios() override;
  // Bit 1 (0x2) from the filter output's validity, bits 3-4 (0x18) from its no-rotation flags
  // (running 0x18, aborted 0x10, rejected 0x08), the other bits as given.
  void setStatusInPacket(ZtDataPacket& packet, uint32_t status) override;
  // Group 0x0000, 0xA000, 0xB000, 0xE000: 2000; 0x0800, 0x2000, 0x4000, 0x8000: 400;
  // 0xC000: 100; every other group 0.
  int getBaseFrequency(ZtDataIdentifier dataIdentifier) const override;

  // The series tests of the class (10 and 20 here).
  virtual bool isNoFilterSeries() const;
  virtual bool isRestrictedSeries() const;

  // The filter output of the last packet (processing task, or a caller while nothing streams).
  const zelto::Zkf3iFilterOutput& lastFilterOutput() const { return m_output; }
  // A new empty Zkf3iState: the filter state written into recordings.
  ZkfState* createFilterState() const override;
  // The output window's partial content and the latched magnetic field ("host.mag").
  void writeHostState(zelto::SettingsFile& file) const override;

 private:
  // The state a recording started with into the filter, the output window and the latched field
  // (m_filterLock held); false, nothing changed, when the file holds no Zkf3i state.
  bool resumeHostState(const zelto::SettingsFile& state, ZtZkfFilter& filter);

  // Guarded by m_filterLock.
  zelto::Zkf3iFilterOutput m_output;
  zelto::Vector3 m_latchedMag;
};
