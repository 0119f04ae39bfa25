#pragma once
// KtixDevice fixtures for the tracker tests: the device with its protected state reachable
// (TestKtix), one without link over a record image (OfflineKtix) and one on a pseudo-terminal
// served by the device emulator acting as the tracker (EmulatedKtix), plus the Zkf3 scenario
// the tests filter with.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "ekts/EktsManager.h"
#include "filters/zkf3/Zkf3Filter.h"
#include "filters/zkf3/Zkf3ScenarioParams.h"
#include "foundation/SettingsFile.h"
#include "support/PtyPort.h"
#include "support/TestDevice.h"
#include "support/emulator/DeviceEmulator.h"
#include "support/emulator/TrackerModel.h"
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
  bool fetchRecord() {
    OwnedMessage request(0x90, {0, 255}), reply;
    if (!ZtDevice::sendCustomMessage(request.m, true, reply.m, 2000)) return false;
    const uint8_t* data = ZtMessage_constData(&reply.m);
    return data && m_ekts->initializeFromBuffer(data, static_cast<int>(ZtMessage_dataSize(&reply.m)), true);
  }
  bool fetchConfiguration() {
    OwnedMessage request(0x0C, {}), reply;
    if (!ZtDevice::sendCustomMessage(request.m, true, reply.m, 1000)) return false;
    ZtDeviceConfiguration_readFromMessage(&m_configuration, &reply.m);
    return true;
  }
  void setState(ZtDeviceState state) { m_deviceState = state; }
  // A host scenario appended to the list (owned by the device), and the current host profile.
  void addHostScenario(ExtendedScenario* scenario) { m_hostScenarios.push_back(scenario); }
  void setCurrentHostProfile(const ZtFilterProfile& profile) { m_currentHostProfile = profile; }
  EktsManager& record() { return *m_ekts; }
  zelto::SettingsFile& keptSettings() { return m_settings; }

 private:
  struct OwnedMessage {
    ZtMessage m;
    OwnedMessage() { ZtMessage_construct(&m); }
    OwnedMessage(uint8_t id, std::vector<uint8_t> payload) {
      ZtMessage_constructSized(&m, 0);
      ZtMessage_setMessageId(&m, id);
      if (!payload.empty()) ZtMessage_setDataBuffer(&m, payload.data(), payload.size(), 0);
    }
    ~OwnedMessage() { ZtMessage_destruct(&m); }
    OwnedMessage(const OwnedMessage&) = delete;
    OwnedMessage& operator=(const OwnedMessage&) = delete;
  };
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

class EmulatedKtix {
 public:
  template <typename Prepare>
  explicit EmulatedKtix(Prepare prepare) {
    prepare(model);
    emu = std::make_unique<DeviceEmulator>(std::make_unique<FdEmulatorLink>(dup(pty.masterFd())));
    model.attachTo(*emu);
    emu->start();
    link = new Communicator();
    ZtString name;
    ZtString_construct(&name, pty.slavePath().c_str());
    EXPECT_TRUE(link->openPort(name, B115200));
    ZtString_destruct(&name);
    device = new TestKtix(link);
    device->addRef();
    device->setState(ZDS_Config);
    EXPECT_TRUE(device->fetchConfiguration());
    EXPECT_TRUE(device->fetchRecord());
    mark();
  }
  EmulatedKtix() : EmulatedKtix([](TrackerModel&) {}) {}
  ~EmulatedKtix() {
    device->removeRef();
    emu->stop();
  }
  EmulatedKtix(const EmulatedKtix&) = delete;
  EmulatedKtix& operator=(const EmulatedKtix&) = delete;

  void mark() { m_mark = emu->received().size(); }
  std::vector<EmuFrame> framesSinceMark() const {
    std::vector<EmuFrame> frames = emu->received();
    frames.erase(frames.begin(), frames.begin() + static_cast<long>(std::min(m_mark, frames.size())));
    return frames;
  }

  PtyPort pty;
  TrackerModel model;
  std::unique_ptr<DeviceEmulator> emu;
  Communicator* link = nullptr;  // owned by the device
  TestKtix* device = nullptr;

 private:
  size_t m_mark = 0;
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
