#pragma once
// The bus master: a battery-powered hub on one port whose wired trackers are its children on the
// Zbus (bus ids 1 and up). It splits their legacy data (0x32, its own packet counter in front)
// into one packet per child, keeps its settings record (zelto::EzmsData) and offers battery,
// Bluetooth, dual output, bus power, error mode, synchronisation and power-down requests. Its
// output settings are fixed.
//
// Requests go to the hub's own bus id (0xFF); each is acknowledged by id + 1 within 200 ms. The
// record changes only when a request was acknowledged.
//
// Threads. Requests and getters that ask the hub (batteryLevel, errorMode) send and wait for the
// reply, which the link's parse task delivers: call them from application threads only, never
// from a callback on the parse or processing threads (the library itself never does). The
// record is guarded by m_recordMutex, a leaf lock never held while a request is under way.
#include <cstdint>
#include <mutex>
#include <vector>

#include "device/ZtDevice.h"
#include "otherdevices/busmaster/EzmsData.h"

class ZbusMasterDevice : public ZtDevice {
 public:
  // Message ids of the hub's requests (each acknowledged by id + 1).
  enum : uint8_t {
    kSetBusPower = 0x08,
    kSetBlueTooth = 0x14,
    kSetDualOutput = 0x16,
    kSetSync = 0x1A,
    kPowerDown = 0x44,
    kErrorMode = 0x82,
    kBatteryLevel = 0x88,
    kReadSettings = 0x8A,
  };
  static constexpr unsigned kReplyTimeoutMs = 200;
  // The hub needs this long after switching the bus power.
  static constexpr unsigned kBusPowerSettleMs = 250;

  ZbusMasterDevice(DeviceFactory& factory, Communicator* communicator);
  ~ZbusMasterDevice() override;

  static ZtDevice* constructAsMaster(DeviceFactory& factory, Communicator* communicator);

  // The configuration is read and the children listed in it are created (through the factory,
  // initialised), then the settings record is read. A link playing a file that holds no
  // settings message gets a cleared record.
  bool initialize(const zelto::SettingsFile& settings) override;
  int batteryLevel() const override;
  std::vector<int> supportedUpdateRates(ZtDataIdentifier dataIdentifier) const override;
  ZtString productCode() const override;
  ZtBaudRate serialBaudRate() const override;
  ZtVersion hardwareVersion() const override;
  void handleMessage(const ZtMessage& message) override;
  ZtOutputMode outputMode() const override;
  bool setOutputMode(ZtOutputMode mode) override;
  ZtOutputSettings outputSettings() const override;
  bool setOutputSettings(ZtOutputSettings settings) override;
  int updateRate() const override;
  ZtOutputConfigurationArray outputConfiguration() const override;
  int samplePeriod() const override;
  bool setSamplePeriod(uint16_t period) override;
  int outputSkipFactor() const override;
  bool setOutputSkipFactor(uint16_t skipFactor) override;
  bool setDeviceMode(const ZtDeviceMode& mode) override;
  std::vector<ZtSyncSetting> syncSettings() const override;
  bool setSyncSettings(const std::vector<ZtSyncSetting>& settings) override;
  bool isSyncMaster() const override;
  bool isSyncSlave() const override;
  std::vector<ZtSyncSetting> supportedSyncSettings() const override;
  bool restoreFactoryDefaults() override;
  void writeDeviceSettingsToFile() override;
  int syncRole() const override;
  bool isBlueToothEnabled() const override;
  bool setBlueToothEnabled(bool enable) override;
  bool isDualOutputEnabled() const override;
  bool setDualOutputEnabled(bool enable) override;
  bool isBusPowerEnabled() const override;
  bool setBusPowerEnabled(bool enable) override;
  bool powerDown() override;
  ZtErrorMode errorMode() const override;
  bool setErrorMode(ZtErrorMode mode) override;

  // Asks the hub for its settings (0x8A, 0x8B) into the record.
  bool readMasterSettings();
  // A copy of the record.
  zelto::EzmsData settingsRecord() const;
  // The synchronisation byte of a list of at most two settings.
  static uint8_t syncByteOf(const std::vector<ZtSyncSetting>& settings);
  // The settings a synchronisation byte stands for.
  static std::vector<ZtSyncSetting> syncSettingsOf(uint8_t syncByte);
  // The product code of a device id ("ZM-A-Z" ... "ZM-B-ZB" with suffix "2" or "3"; "unknown").
  static std::string productCodeOf(ZtDeviceId deviceId);

 private:
  // One request to the hub's bus id with the payload; true when acknowledged. reply (optional)
  // receives the acknowledgement.
  bool request(uint8_t requestId, const std::vector<uint8_t>& payload, ZtMessage* reply) const;

  mutable std::mutex m_recordMutex;  // guards m_record; a leaf
  zelto::EzmsData m_record;
};
