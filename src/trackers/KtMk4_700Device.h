#pragma once
// The fourth-generation GNSS/inertial navigation tracker: the Zkf700 filter on the host, fed with
// the output window's 100 Hz increments and the aiding latched from the packets since its last
// step (magnetic field, pressure, the device's GNSS solution), and the sample mixer that turns
// the filter's estimates and every 400 Hz increment between them into orientation, position,
// velocity and free acceleration per increment packet. Scenarios and hardware entries live under
// "ZEE.ZKF700".
//
// Threads: performFiltering runs on the device's processing task under m_filterLock (then
// m_orientationLock for the window and rotations); the latched aiding, the mixer and its
// records and the last filter output are used only there (or under m_filterLock). Nothing on the
// per-packet path allocates.
#include <cstdint>

#include "filters/zkf700/Zkf700Aiding.h"
#include "filters/zkf700/Zkf700FilterOutput.h"
#include "trackers/KtMk4Device.h"
#include "trackers/Mk4_700SampleMixer.h"

class KtMk4_700HardwareParams;
namespace zelto {
class Zkf700Filter;
}

class KtMk4_700Device : public KtMk4Device {
 public:
  // Without hardware parameters a default KtMk4_700HardwareParams record is made; the device
  // owns them either way.
  KtMk4_700Device(DeviceFactory& factory, Communicator* communicator, KtMk4_700HardwareParams* hardware = nullptr);
  KtMk4_700Device(ZtDevice* master, const ZtDeviceId& deviceId, KtMk4_700HardwareParams* hardware = nullptr);
  ~KtMk4_700Device() override;

  static ZtDevice* constructAsMaster(DeviceFactory& factory, Communicator* communicator);

  // The Zkf700 filter over the current host profile's scenario (a default parameter record
  // when the list has none of its type); false without a profile, without increments at a
  // multiple of 100 Hz, for a scenario record of another kind, parameters that do not derive,
  // or a profile that cannot be applied (the installed filter then stays).
  bool initializeFilter() override;
  // See the class comment and the .cpp.
  void performFiltering(ZtDataPacket& packet) override;
  // The output configuration with what host processing adds: calibrated values and increments
  // from a raw readout, and without the device's own orientation the host's orientation, status
  // and (with GNSS data configured) position, velocity and its status at the increment rate.
  ZtOutputConfigurationArray processedOutputConfiguration() const override;
  // KtMk4Device's list with a copy of its function-9 entry on fourth-generation line 1 (offset
  // 0, clock period 1) just before it: seven entries.
  std::vector<ZtSyncSetting> supportedSyncSettings() const override;
  // KtMk4Device's reset (the output window emptied, the filter restarted), the latched aiding,
  // the last filter output, the mixer and the step clock cleared; then, from settings (empty
  // prefix), what initializeFilter takes from an initial state: the Zkf700 state and the host
  // state beside it.
  void resetSoftwareFilter(zelto::SettingsFile* settings) override;
  // An initialised filter's gyroscope bias into the record; else KtDevice's.
  bool storeFilterState() override;
  // As KtMk4Device's, from the "ZEE.ZKF700.hardwares" list.
  bool readHardwareParamsFromFile(const zelto::SettingsFile& settings) override;
  // "ZKF700" in any case, of a version the filter reads; the scenario gets a
  // Zkf700ScenarioParams read under prefix. Throws ZtException (which discards the scenario)
  // otherwise.
  void loadScenario(ExtendedScenario* scenario, const zelto::SettingsFile& settings, const std::string& prefix,
                    const std::string& filterName) override;
  // Bits 23-25 the mixer's navigation state; bit 1 and bits 3-4 from the filter output.
  void setStatusInPacket(ZtDataPacket& packet, uint32_t status) override;
  // Group 0x0000, 0xA000, 0xB000, 0xE000: 2000; 0x0800, 0x2000, 0x4000, 0x5000, 0x8000,
  // 0xD000: 400; 0x3000: 50; 0x8800: 4; 0xC000: 100; every other group 0.
  int getBaseFrequency(ZtDataIdentifier dataIdentifier) const override;
  // A new empty Zkf700State: the filter state written into recordings.
  ZkfState* createFilterState() const override;
  // The output window, the step clock ("host.stepTime", ms), the latched aiding
  // ("host.aiding") and the mixer with its last input and output ("host.mixer.*").
  void writeHostState(zelto::SettingsFile& file) const override;

  // The packet's raw GNSS solution into the aiding when it has fix type 3 and the status word
  // is 0 or has bit 2: "gps.pos" (degrees, degrees, m on WGS-84), "gps.vel" (east-north-up),
  // the accuracies in m and m/s, "gpsValid". Otherwise the aiding stays as it was.
  void gatherGpsAidingData(ZtDataPacket& packet, zelto::Zkf700Aiding& aiding, uint32_t status) const;

  // For tests and tools, while nothing streams: the latched aiding, the last filter output, the
  // mixer's last output.
  const zelto::Zkf700Aiding& latchedAiding() const { return m_aiding; }
  const zelto::Zkf700FilterOutput& lastFilterOutput() const { return m_output; }
  const zelto::Mk4_700SampleMixerOutput& mixerOutput() const { return m_mixerOutput; }

 private:
  static constexpr size_t kAidingValues = 15;
  // The latched aiding, the last filter output, the mixer and its records fresh, the step clock 0.
  void clearHostState();
  void resumeHostState(const zelto::SettingsFile& state, zelto::Zkf700Filter& filter);

  // Guarded by m_filterLock.
  zelto::Zkf700Aiding m_aiding;
  zelto::Zkf700FilterOutput m_output;
  zelto::Mk4_700SampleMixer m_mixer;
  zelto::Mk4_700SampleMixerInput m_mixerInput;
  zelto::Mk4_700SampleMixerOutput m_mixerOutput;
  int64_t m_stepTimeMs = 0;  // the filter's clock: 10 ms per step since initializeFilter
};
