#pragma once
// Tracker classes for tests of the tracker base. WithTestTrackerSlots supplies the slots every
// concrete tracker class must have (hardware parameters, their reading from a settings file,
// scenario loading) to any KtDevice class; TestTracker adds what tests need to reach: the
// record loaded from an image or fetched from the device (0x90), the configuration fetched
// (0x0C), the device state, and the internal alignment quaternions.
#include <atomic>
#include <string>
#include <vector>

#include "ekts/EktsManager.h"
#include "errors/ZtException.h"
#include "filters/common/KtHardwareParams.h"
#include "filters/common/ZkfParams.h"
#include "filters/common/ZkfState.h"
#include "trackers/ExtendedScenario.h"
#include "trackers/KtDevice.h"

namespace zelto::test {

// Requests sent past any class's override of sendCustomMessage (ZtDevice's own exchange):
// the whole record, 0x90 [0, 255] answered by 0x91, read into record; the configuration, 0x0C
// answered by 0x0D, read into configuration.
bool fetchRecordOf(ZtDevice& device, EktsManager& record);
bool fetchConfigurationOf(ZtDevice& device, ZtDeviceConfiguration& configuration);

// The filter parameters of a test scenario: its profile and an optional "test.marker" value
// from the settings. Its scenario page: type, version, blank-padded label, the marker's bytes
// (a double) at 22 and the trailer 0xBEEF.
class TestScenarioParams : public ZkfParams {
 public:
  using ZeltoParams::readFromFile;
  TestScenarioParams(const ZtFilterProfile& profile, double marker) : m_profile(profile), m_marker(marker) {}
  void readFromFile(const zelto::SettingsFile&, const std::string&) override {}
  void writeToFile(zelto::SettingsFile&, const std::string&) const override {}
  void writeToDecryptedScenarioPage(void* page) override;
  double marker() const { return m_marker; }

 private:
  ZtFilterProfile m_profile;
  double m_marker;
};

// A filter state of two values under "state.a" and "state.b".
class TestFilterState : public ZkfState {
 public:
  using ZeltoParams::readFromFile;
  void readFromFile(const zelto::SettingsFile& file, const std::string& prefix) override {
    a = readDouble(file, prefix, "state.a");
    b = readDouble(file, prefix, "state.b");
  }
  void writeToFile(zelto::SettingsFile& file, const std::string& prefix) const override {
    writeSetting(file, prefix, "state.a", zelto::Variant(a));
    writeSetting(file, prefix, "state.b", zelto::Variant(b));
  }
  double a = 0.0;
  double b = 0.0;
};

template <typename Base>
class WithTestTrackerSlots : public Base {
 public:
  using Base::Base;

  KtHardwareParams& hardwareParameters() override { return m_hardware; }
  // Reads the hardware entry of the record's hardware version when the settings hold one.
  bool readHardwareParamsFromFile(const zelto::SettingsFile& settings) override {
    const uint16_t v = this->ekts()->hardwareVersion();
    const std::string prefix =
        "ZKF.KT9_C.hw" + std::to_string(v >> 8) + "_" + std::to_string(v & 0xFF) + ".";
    if (!settings.hasSetting(prefix.c_str(), "gp.hw_revision")) return false;
    m_hardware.readFromFile(settings, prefix);
    return true;
  }
  // Gives the scenario TestScenarioParams; a "test.reject" key under the prefix makes it throw
  // as a reader meeting a bad key does.
  void loadScenario(ExtendedScenario* scenario, const zelto::SettingsFile& settings, const std::string& prefix,
                    const std::string&) override {
    ++m_scenariosLoaded;
    if (settings.hasSetting(prefix.c_str(), "test.reject")) throw ZtException(ZRV_INVALIDPARAM, prefix + "test.reject");
    const double marker = settings.setting(prefix.c_str(), "test.marker", zelto::Variant(0.0)).toDouble();
    scenario->setParameters(new TestScenarioParams(scenario->profile(), marker));
  }
  int scenariosLoaded() const { return m_scenariosLoaded.load(); }
  // The state record of the test filters.
  ZkfState* createFilterState() const override { return new TestFilterState(); }
  int filterInitializations() const { return m_filterInitializations.load(); }
  bool initializeFilter() override {
    ++m_filterInitializations;
    return Base::initializeFilter();
  }

 private:
  KtHardwareParams m_hardware;
  std::atomic<int> m_scenariosLoaded{0};
  std::atomic<int> m_filterInitializations{0};
};

class TestTracker : public WithTestTrackerSlots<KtDevice> {
 public:
  // A master on the link, made without a factory that knows it.
  explicit TestTracker(Communicator* communicator);
  TestTracker(DeviceFactory& factory, Communicator* communicator);
  TestTracker(ZtDevice* master, ZtDeviceId id);

  // The record from its image (stored form when encrypted).
  bool loadRecord(const std::vector<uint8_t>& image, bool encrypted = true);
  // The whole record from the device: 0x90 [0, 255] answered by 0x91.
  bool fetchRecord();
  // The configuration from the device: 0x0C answered by 0x0D, kept as the master's.
  bool fetchConfiguration();
  // A configuration with one entry per id (none: no entries).
  void setConfiguredDevices(const std::vector<ZtDeviceId>& ids);
  void setState(ZtDeviceState state) { m_deviceState = state; }
  // Whether readEkts asks the record page by page.
  bool readEktsInParts() const override { return m_readInParts.load(); }
  void setReadInParts(bool inParts) { m_readInParts = inParts; }
  const zelto::Quaternion& internalHeading() const { return m_internalHeading; }
  const zelto::Quaternion& internalObjectAlignment() const { return m_internalObjectAlignment; }
  const KtDevice::KtSyncSettings recordSync() const;
  const ZkfUserParams& userParameters() const { return m_userParams; }
  const std::vector<ExtendedScenario*>& hostScenarios() const { return m_hostScenarios; }
  // The onboard list as a device reply would leave it.
  void setOnboardList(std::vector<ZtFilterProfile> profiles) { m_onboardProfiles = std::move(profiles); }

 private:
  std::atomic<bool> m_readInParts{false};
};

}  // namespace zelto::test
