#pragma once
// A device class for tests of the device model: settable supported update rates, scripted
// results for the legacy-mode setters, a doProcessing that ends in insertPacketInCaches for its
// own packets (others go to the base, which forwards them to a child), and a log of its virtual
// calls and of its destruction. The log may be shared by a whole device tree, so a test sees the
// order in which devices went.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/ZtDevice.h"

namespace zelto::test {

// Thread-safe list of lines ("setOutputMode 4", "~device 12", ...).
class CallLog {
 public:
  void add(std::string line);
  std::vector<std::string> lines() const;
  size_t count(const std::string& line) const;
  void clear();

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_lines;
};

class TestDevice : public ZtDevice {
 public:
  // A factory that knows no device class; the test devices are made directly.
  static DeviceFactory& noFactory();

  TestDevice(Communicator* communicator, std::shared_ptr<CallLog> log = std::make_shared<CallLog>());
  TestDevice(TestDevice* master, ZtDeviceId id, std::shared_ptr<CallLog> log = nullptr);
  TestDevice(ZtDeviceId id, std::shared_ptr<CallLog> log = std::make_shared<CallLog>());
  ~TestDevice() override;

  CallLog& log() const { return *m_log; }
  std::shared_ptr<CallLog> sharedLog() const { return m_log; }
  void setSupportedRates(std::vector<int> rates);
  // The next calls of this setter ("setOutputMode", "setOutputSettings", "setSamplePeriod",
  // "setOutputSkipFactor", "setSoftwareCalibrationEnabled", "initializeSoftwareCalibration",
  // "setSoftwareFilteringEnabled") return result.
  void scriptResult(const std::string& setter, bool result);
  // Own packets that reached insertPacketInCaches.
  long processedPackets() const { return m_processed.load(); }
  // The master's configuration, with one record per id (bus id n: record n-1).
  void setConfiguredDevices(const std::vector<ZtDeviceId>& ids);
  // The legacy data format of configured device record index (after setConfiguredDevices).
  void setConfiguredFormat(size_t index, uint16_t outputMode, uint32_t outputSettings);
  void setInitialized(bool initialized) { m_isInitialized = initialized; }
  void setState(ZtDeviceState state) { m_deviceState = state; }
  const zelto::SettingsFile& settings() const { return m_settings; }

  std::vector<int> supportedUpdateRates(ZtDataIdentifier dataIdentifier) const override;
  bool setOutputMode(ZtOutputMode mode) override;
  bool setOutputSettings(ZtOutputSettings settings) override;
  bool setSamplePeriod(uint16_t period) override;
  bool setOutputSkipFactor(uint16_t skipFactor) override;
  bool setSoftwareCalibrationEnabled(bool enable) override;
  bool isSoftwareCalibrationEnabled() const override;
  bool setSoftwareFilteringEnabled(bool enable) override;
  bool isSoftwareFilteringEnabled() const override;
  bool initializeFilter() override;
  bool initializeSoftwareCalibration() override;
  void deinitializeSoftwareCalibration() override;
  void clearCache() override;
  void writeDeviceSettingsToFile() override;
  void writeFilterStateToFile() override;
  bool scheduleOrientationReset(ZtResetMethod method) override;
  void doProcessing(ZtDataPacket& packet) override;
  void insertPacketInCaches(ZtDataPacket& packet) override;
  void prepareForTermination() override;

  // Routes a packet to the child at a bus id as a bus master would; false when there is none.
  bool processAtBusId(int busId, ZtDataPacket& packet) {
    return withChildAtBusId(busId, [&packet](ZtDevice* child) { child->doProcessing(packet); });
  }
  // The same for the child with a device id, held as a TestDevice while it processes (as a
  // station hands a message to its tracker); false when there is none.
  bool processHeldById(ZtDeviceId id, ZtDataPacket& packet) {
    const HeldChild<TestDevice> child = holdChildById<TestDevice>(id);
    if (child) child->doProcessing(packet);
    return static_cast<bool>(child);
  }

 private:
  void record(const std::string& call) const;
  bool scripted(const std::string& setter) const;

  std::shared_ptr<CallLog> m_log;
  mutable std::mutex m_mutex;
  std::vector<int> m_rates;                 // guarded by m_mutex
  std::map<std::string, bool> m_scripted;   // guarded by m_mutex
  std::atomic<bool> m_calibration{false};
  std::atomic<bool> m_filtering{false};
  std::atomic<long> m_processed{0};
};

}  // namespace zelto::test
