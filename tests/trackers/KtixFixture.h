#pragma once
// KtixDevice fixtures for the tracker tests: the device with its protected state reachable
// (TestKtix), one without link over a record image (OfflineKtix) and one on a pseudo-terminal
// served by the device emulator acting as the tracker (EmulatedKtix), plus the Zkf3 scenario
// the tests filter with.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "ekts/EktsManager.h"
#include "filters/zkf3/Zkf3Filter.h"
#include "filters/zkf3/Zkf3ScenarioParams.h"
#include "foundation/SettingsFile.h"
#include "support/EmulatedTracker.h"
#include "support/TestDevice.h"
#include "support/TestTracker.h"
#include "trackers/ExtendedScenario.h"
#include "trackers/KtixDevice.h"
#include "transport/link/Communicator.h"

namespace zelto::test {

class TestKtix : public KtixDevice {
 public:
  explicit TestKtix(Communicator* link) : KtixDevice(TestDevice::noFactory(), link) {}

  bool loadRecord(const std::vector<uint8_t>& image) {
    return m_ekts->initializeFromBuffer(image.data(), static_cast<int>(image.size()), true);
  }
  // The whole record (0x90 [0, 255]) and the configuration (0x0C) from the device.
  bool fetchRecord() { return fetchRecordOf(*this, *m_ekts); }
  bool fetchConfiguration() { return fetchConfigurationOf(*this, m_configuration); }
  void setState(ZtDeviceState state) { m_deviceState = state; }
  // A host scenario appended to the list (owned by the device), and the current host profile.
  void addHostScenario(ExtendedScenario* scenario) { m_hostScenarios.push_back(scenario); }
  void setCurrentHostProfile(const ZtFilterProfile& profile) { m_currentHostProfile = profile; }
  EktsManager& record() { return *m_ekts; }
  zelto::SettingsFile& keptSettings() { return m_settings; }
};

// A KtixDevice as a child of a master, with its state settable.
class ChildKtix : public KtixDevice {
 public:
  ChildKtix(ZtDevice* master, ZtDeviceId id) : KtixDevice(master, id) {}
  void setState(ZtDeviceState state) { m_deviceState = state; }
};

struct OfflineKtix {
  explicit OfflineKtix(const TrackerModel& model = TrackerModel()) : device(new TestKtix(nullptr)) {
    EXPECT_TRUE(device->loadRecord(model.recordImage()));
  }
  ~OfflineKtix() { delete device; }
  OfflineKtix(const OfflineKtix&) = delete;
  OfflineKtix& operator=(const OfflineKtix&) = delete;
  TestKtix* device;
};

class EmulatedKtix : public EmulatedDevice<TestKtix> {
 public:
  template <typename Prepare>
  explicit EmulatedKtix(Prepare prepare)
      : EmulatedDevice<TestKtix>(prepare, [](Communicator* l) { return new TestKtix(l); }) {}
  EmulatedKtix() : EmulatedKtix([](TrackerModel&) {}) {}
};

// The Zkf3 scenario of the tests: the values of the built-in "general" profile.
inline void writeTestScenario(zelto::SettingsFile& file, const std::string& prefix, const char* filterVersion = "1.2.0",
                              const char* filterName = "ZKF-3") {
  const struct {
    const char* key;
    double value;
  } values[] = {{"validity.accThreshold", 30},
                {"validity.magThreshold", 30},
                {"validity.gyroBiasThreshold", 0.1},
                {"validity.angularUncertaintyThreshold", 0.2},
                {"validity.TBD", 0},
                {"stab.sd_v_acc", 0.02},
                {"stab.sd_v_gyr", 0.005},
                {"stab.sd_v_mag", 0.005},
                {"stab.deltaGyrBias", 1e-4},
                {"stab.f_dynamic_gyro", 0},
                {"f_gyr_oor", 10},
                {"f_acc_oor", 10},
                {"f_dynamic_acc", 0.05},
                {"tau_acc", 0.5},
                {"sd_v_accLowpass", 1},
                {"tau_magavg", 10},
                {"tau_magvar", 10},
                {"tau_mag_temp", 100},
                {"sd_w_mag_temp_max", 0.01},
                {"f_magvar", 1},
                {"c_mag_max", 0.1},
                {"tau_vel", 1},
                {"dp_boost", 1},
                {"p_mag_spat", 1},
                {"sd_w_mag_spat", 0.01},
                {"sd_init_orient", 0.05},
                {"sd_init_acc", 0.1},
                {"stab.sd_init_gyrBias", 0.01},
                {"sd_init_mag", 0.1}};
  for (const auto& v : values) file.setSetting(prefix, v.key, zelto::Variant(v.value));
  file.setSetting(prefix, "accUpdate", zelto::Variant(true));
  file.setSetting(prefix, "magUpdate", zelto::Variant(true));
  file.setSetting(prefix, "gp.scenario", zelto::Variant("general"));
  file.setSetting(prefix, "gp.type", zelto::Variant(int32_t{1}));
  file.setSetting(prefix, "gp.version", zelto::Variant(int32_t{1}));
  file.setSetting(prefix, "gp.filterVersion", zelto::Variant(filterVersion));
  file.setSetting(prefix, "gp.filter", zelto::Variant(filterName));
  const double magvar[3] = {0.01, 0.01, 0.01};
  file.setSetting(prefix, "sd_init_magvar", zelto::Variant(magvar, 3));
}

}  // namespace zelto::test
