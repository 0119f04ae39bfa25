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
#include "filters/common/KtHardwareParams.h"
#include "trackers/KtDevice.h"

namespace zelto::test {

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
  bool loadScenario(ExtendedScenario*, const zelto::SettingsFile&, const std::string&, const std::string&) override {
    ++m_scenariosLoaded;
    return true;
  }
  int scenariosLoaded() const { return m_scenariosLoaded.load(); }

 private:
  KtHardwareParams m_hardware;
  std::atomic<int> m_scenariosLoaded{0};
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

 private:
  std::atomic<bool> m_readInParts{false};
};

}  // namespace zelto::test
