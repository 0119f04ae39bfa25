#pragma once
// An outside inertial unit as a device: it streams frames that the link's handler for the unit
// turns into data packets (transport/imar/), takes no requests and cannot be configured. The
// device reports a fixed configuration (one device entry: the unit's id and frame size, output
// mode 0x0802, output settings 0xC0; sample period 576, i.e. 200 Hz at 115200 / 576), has no
// synchronisation and hands each packet straight to its caches. Nothing is ever written to the
// unit: mode changes only switch the link's and the device's state.
//
// The two units differ only in their Identity (ImarFsasDevice, ImarIFogDevice).
#include <cstdint>
#include <vector>

#include "device/ZtDevice.h"

class ImarDevice : public ZtDevice {
 public:
  struct Identity {
    ZtDeviceId deviceId;
    const char* productCode;
    uint16_t dataLength;  // the frame size
  };
  static constexpr int kUpdateRate = 200;
  // The units' fixed sample period, in the 115200 Hz ticks of a configuration.
  static constexpr uint16_t kSamplePeriod = 576;
  static constexpr ZtOutputMode kOutputMode = 0x0802;
  static constexpr ZtOutputSettings kOutputSettings = 0xC0;
  // Id of the record message written to log files.
  static constexpr uint8_t kRecordMessage = 0x91;

  ~ImarDevice() override;

  // Creates the data cache, writes the fixed configuration, enters measurement; true.
  bool initialize(const zelto::SettingsFile& settings) override;
  std::vector<int> supportedUpdateRates(ZtDataIdentifier dataIdentifier) const override;
  ZtString productCode() const override;
  ZtVersion hardwareVersion() const override;
  void doProcessing(ZtDataPacket& packet) override;
  bool isMotionTracker() const override;
  // From the configuration's device entry. Without one: the device-configuration exception on
  // an application thread; 0 (journalled) on a pool thread, whose caller cannot take it.
  ZtOutputMode outputMode() const override;
  ZtOutputSettings outputSettings() const override;
  int updateRate() const override;
  ZtOutputConfigurationArray outputConfiguration() const override;
  int samplePeriod() const override;
  int outputSkipFactor() const override;
  std::vector<ZtSyncSetting> syncSettings() const override;
  // True for an empty list, false otherwise; nothing is sent.
  bool setSyncSettings(const std::vector<ZtSyncSetting>& settings) override;
  // The link measures and the device enters measurement (false without a link); nothing sent.
  bool gotoMeasurement() override;
  // True; nothing happens (the units have no configuration mode). Closing the device calls
  // this one, so closing writes nothing to the unit either.
  bool gotoConfig() override;
  // A version-3 record of the unit in a 0x91 message to the log file.
  void writeDeviceSettingsToFile() override;
  int syncRole() const override;
  int locationId() const override;

  const Identity& identity() const { return m_identity; }

 protected:
  ImarDevice(DeviceFactory& factory, Communicator* communicator, const Identity& identity);
  ImarDevice(ZtDevice* master, const ZtDeviceId& deviceId, const Identity& identity);

 private:
  // The configuration's first device entry, or null.
  const ZtDeviceConfigurationDevice* deviceEntry() const;
  // The entry, or the exception / null as outputMode describes.
  const ZtDeviceConfigurationDevice* deviceEntryOrThrow(const char* operation) const;

  const Identity& m_identity;
};
