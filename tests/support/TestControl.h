#pragma once
// A control whose factory makes scripted devices: every master device id maps to a scripted
// class (a plain device by default; a station, wireless tracker or tracker for ids a test names),
// so the control runs over emulated ports and log files without the real device classes. Each
// scripted device answers gotoConfig, gotoMeasurement, the sync queries and the state queries
// from its script, and logs the calls the control and the broadcast device make ("gotoConfig
// <id>", "setQueueMode 1 <id>", ...) into the control's shared call log.
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "control/ZtControl.h"
#include "otherdevices/wireless/KtwDevice.h"
#include "otherdevices/wireless/TovanaStationDevice.h"
#include "support/TestDevice.h"
#include "support/TestTracker.h"
#include "trackers/KtDevice.h"
#include "transport/link/Communicator.h"

namespace zelto::test {

// What a scripted device answers. Changed by the test while the device lives (atomics).
struct DeviceScript {
  std::atomic<bool> gotoConfig{true};
  std::atomic<bool> gotoMeasurement{true};
  std::atomic<bool> initialize{true};
  std::atomic<bool> startRecording{true};
  std::atomic<bool> stopRecording{true};
  std::atomic<int> syncRole{1};
  std::atomic<bool> syncMaster{false};
  std::atomic<bool> syncSlave{true};
  std::atomic<bool> measuring{false};
  std::atomic<bool> recording{false};
  std::atomic<int> locationId{0};
  std::mutex mutex;
  std::vector<ZtSyncSetting> syncSettings;  // guarded by mutex
  // Run inside gotoMeasurement, before it answers (a blocking call, a close from a callback).
  std::function<void()> duringGotoMeasurement;  // guarded by mutex
};

// The scripted calls, shared by the scripted classes.
template <typename Base>
class Scripted : public Base {
 public:
  template <typename... Args>
  Scripted(std::shared_ptr<DeviceScript> script, std::shared_ptr<CallLog> log, Args&&... args)
      : Base(std::forward<Args>(args)...), m_script(std::move(script)), m_log(std::move(log)) {}

  ~Scripted() override { record("~device"); }

  DeviceScript& script() const { return *m_script; }
  // What the device took at initialisation.
  const zelto::SettingsFile& settings() const { return this->m_settings; }

  bool initialize(const zelto::SettingsFile& settings) override {
    record("initialize");
    if (!m_script->initialize.load()) return false;
    // A scripted tracker or station has no device behind it to read its configuration, record
    // or settings from: only the device model's part of the initialisation.
    if constexpr (std::is_base_of_v<KtDevice, Base> || std::is_base_of_v<TovanaStationDevice, Base>)
      return this->ZtDevice::initialize(settings);
    else
      return Base::initialize(settings);
  }
  bool gotoConfig() override {
    record("gotoConfig");
    if (!m_script->gotoConfig.load()) return false;
    m_script->measuring = false;
    return true;
  }
  bool gotoMeasurement() override {
    record("gotoMeasurement");
    std::function<void()> during;
    {
      std::lock_guard<std::mutex> lock(m_script->mutex);
      during = m_script->duringGotoMeasurement;
    }
    if (during) during();
    if (!m_script->gotoMeasurement.load()) return false;
    m_script->measuring = true;
    return true;
  }
  bool startRecording() override {
    record("startRecording");
    if (!m_script->startRecording.load()) return false;
    m_script->recording = true;
    return true;
  }
  bool stopRecording() override {
    record("stopRecording");
    m_script->recording = false;
    return m_script->stopRecording.load();
  }
  int syncRole() const override { return m_script->syncRole.load(); }
  bool isSyncMaster() const override { return m_script->syncMaster.load(); }
  bool isSyncSlave() const override { return m_script->syncSlave.load(); }
  std::vector<ZtSyncSetting> syncSettings() const override {
    std::lock_guard<std::mutex> lock(m_script->mutex);
    return m_script->syncSettings;
  }
  bool isMeasuring() const override { return m_script->measuring.load(); }
  bool isRecording() const override { return m_script->recording.load(); }
  int locationId() const override { return m_script->locationId.load(); }
  bool setQueueMode(ZtQueueMode mode) override {
    record("setQueueMode " + std::to_string(mode));
    return Base::setQueueMode(mode);
  }
  bool setOptionEnabled(ZtOption option, bool enable) override {
    record("setOptionEnabled " + std::to_string(option) + (enable ? " on" : " off"));
    return true;
  }
  bool setLatLonAlt(const ZtVector& v) override {
    std::string line = "setLatLonAlt";
    for (size_t i = 0; i < v.size; ++i) line += " " + std::to_string(static_cast<int>(v.data[i]));
    record(line);
    return true;
  }
  void flushInputBuffers(bool alsoWorkingCache) override {
    record(std::string("flushInputBuffers ") + (alsoWorkingCache ? "1" : "0"));
  }
  void prepareForTermination() override {
    record("prepareForTermination");
    Base::prepareForTermination();
  }

 private:
  void record(const std::string& call) const { m_log->add(call + " " + std::to_string(this->deviceId())); }

  std::shared_ptr<DeviceScript> m_script;
  std::shared_ptr<CallLog> m_log;
};

using ScriptedDevice = Scripted<ZtDevice>;
using ScriptedStation = Scripted<TovanaStationDevice>;
// The tracker classes are abstract until a concrete class supplies their slots.
using ScriptedKtw = Scripted<WithTestTrackerSlots<KtwDevice>>;
using ScriptedTracker = Scripted<WithTestTrackerSlots<KtDevice>>;

class TestControl : public ZtControl {
 public:
  // Station is a scripted station; WirelessStation the station class itself. A child id of kind
  // Wireless becomes a scripted wireless tracker behind a station.
  enum Kind : unsigned { Plain = 900, Station = 901, Wireless = 902, Tracker = 903, WirelessStation = 904 };

  TestControl() {
    registerMasterDeviceType(Plain, &make<ScriptedDevice>);
    registerMasterDeviceType(Station, &make<ScriptedStation>);
    registerMasterDeviceType(Wireless, &make<ScriptedKtw>);
    registerMasterDeviceType(Tracker, &make<ScriptedTracker>);
    registerMasterDeviceType(WirelessStation, &constructAsMasterDevice<TovanaStationDevice>);
    registerChildDeviceType(Wireless, &makeChild<ScriptedKtw>);
  }

  // The class made for a master id (Plain unless named); set before the port opens.
  void setKind(ZtDeviceId id, Kind kind) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_kinds[id] = kind;
  }
  // The script every device made for this id from now on uses.
  std::shared_ptr<DeviceScript> script(ZtDeviceId id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto& s = m_scripts[id];
    if (!s) s = std::make_shared<DeviceScript>();
    return s;
  }
  CallLog& log() const { return *m_log; }
  std::shared_ptr<CallLog> sharedLog() const { return m_log; }
  // Devices the factory made, in order of making.
  std::vector<ZtDeviceId> made() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_made;
  }

  unsigned int deviceToTypeId(const ZtDeviceId& id) const override {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_kinds.find(id);
    return it == m_kinds.end() ? Plain : it->second;
  }

 private:
  template <typename T>
  static ZtDevice* make(DeviceFactory& factory, Communicator* communicator) {
    auto& control = static_cast<TestControl&>(factory);
    const ZtDeviceId id = ZtDeviceId(communicator->masterDeviceId());
    {
      std::lock_guard<std::mutex> lock(control.m_mutex);
      control.m_made.push_back(id);
    }
    return new T(control.script(id), control.m_log, factory, communicator);
  }

  template <typename T>
  static ZtDevice* makeChild(ZtDevice& master, const ZtDeviceId& id) {
    // The control is the master's factory: the station and its children are made by it.
    auto* control = dynamic_cast<TestControl*>(master.factory());
    if (!control) return nullptr;
    {
      std::lock_guard<std::mutex> lock(control->m_mutex);
      control->m_made.push_back(id);
    }
    return new T(control->script(id), control->m_log, &master, id);
  }

  mutable std::mutex m_mutex;
  std::map<ZtDeviceId, unsigned> m_kinds;                       // guarded by m_mutex
  std::map<ZtDeviceId, std::shared_ptr<DeviceScript>> m_scripts;  // guarded by m_mutex
  std::vector<ZtDeviceId> m_made;                                 // guarded by m_mutex
  std::shared_ptr<CallLog> m_log = std::make_shared<CallLog>();
};

}  // namespace zelto::test

#include <termios.h>
#include <unistd.h>

#include "support/PtyPort.h"
#include "support/emulator/DeviceEmulator.h"

namespace zelto::test {

// A text for the control's calls.
struct Text {
  ZtString s;
  explicit Text(const std::string& text) { ZtString_construct(&s, text.c_str()); }
  ~Text() { ZtString_destruct(&s); }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
};

// Lines of the log that begin with prefix, in order.
inline std::vector<std::string> linesStarting(const CallLog& log, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& line : log.lines())
    if (line.rfind(prefix, 0) == 0) out.push_back(line);
  return out;
}

// A device with the id answering on a pseudo-terminal.
struct EmulatedPort {
  PtyPort pty;
  DeviceEmulator emu;
  explicit EmulatedPort(uint32_t deviceId) : emu(std::make_unique<FdEmulatorLink>(dup(pty.masterFd()))) {
    emu.setDeviceId(deviceId);
    emu.start();
  }
  ~EmulatedPort() { emu.stop(); }
  const std::string& path() const { return pty.slavePath(); }
  bool openIn(ZtControl& control) const { return control.openPort(Text(path()).s, B115200); }
};

}  // namespace zelto::test
