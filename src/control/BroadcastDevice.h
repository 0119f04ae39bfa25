#pragma once
// The pseudo-device that stands for all devices of one control: a forwarded operation runs on
// every master device of the control's list in list order and answers the AND of the results
// (true for no devices). It has no link and no port; the control owns it and deletes it directly.
#include <vector>

#include "device/ZtDevice.h"

class ZtControl;

class BroadcastDevice : public ZtDevice {
 public:
  explicit BroadcastDevice(ZtControl& control);
  ~BroadcastDevice() override;

  ZtControl& control() const { return m_control; }

  // ---- Its own answers --------------------------------------------------------------------------
  bool initialize(const zelto::SettingsFile& settings) override;
  void clear() override;
  std::vector<int> supportedUpdateRates(ZtDataIdentifier dataIdentifier) const override;
  // The control's master devices in list order (the caller must not use one past its close).
  std::vector<ZtDevice*> children() const override;
  ZtString productCode() const override;
  ZtVersion hardwareVersion() const override;

  // ---- Forwarded to every master device ----------------------------------------------------------
  void clearCache() override;
  void flushInputBuffers(bool alsoWorkingCache) override;
  bool setQueueMode(ZtQueueMode mode) override;
  bool isOptionEnabled(ZtOption option) const override;
  bool setOptionEnabled(ZtOption option, bool enable) override;
  bool resetDroppedPacketCount() override;
  bool setLatLonAlt(const ZtVector& latLonAlt) override;
  bool storeFilterState() override;
  bool setSoftwareFilteringEnabled(bool enable) override;
  bool setSoftwareCalibrationEnabled(bool enable) override;
  bool setGravityMagnitude(double magnitude) override;
  bool setOnboardFilterProfile(int profileType) override;
  bool setZdaFilterProfile(int profileType) override;
  bool updateCachedDeviceInformation() override;
  bool setTransportMode(bool enable) override;
  bool reset() override;
  bool resetLogFileReadPosition() override;
  bool initializeFilter() override;
  bool restoreFactoryDefaults() override;
  bool resetOrientation(ZtResetMethod method) override;
  bool setLocationId(int id) override;
  bool setLabMagneticField(const ZtVector& field) override;
  bool setHeadingOffset(double offset) override;
  bool setSyncSettings(const std::vector<ZtSyncSetting>& settings) override;
  bool setDeviceMode(const ZtDeviceMode& mode) override;
  bool isReadingFromFile() const override;
  bool isRecording() const override;
  bool isMeasuring() const override;
  bool abortFlushing() override;
  bool requestGpsStatus() override;
  bool requestBatteryLevel() override;
  bool setNoRotation(uint16_t duration) override;
  bool closeLogFile() override;
  bool loadLogFile() override;
  bool setSerialBaudRate(ZtBaudRate baudRate) override;
  bool setObjectAlignment(const ZtMatrix& alignment) override;
  // Forwarded, then the control's updateRecordingState.
  bool startRecording() override;
  bool stopRecording() override;
  // Forwarded; when any device fails, every device is sent back to configuration (gotoConfig)
  // and the answer is false.
  bool gotoMeasurement() override;
  // Every master from the last to the first, ANDed; the control's lastResult at success.
  bool gotoConfig() override;

 private:
  ZtControl& m_control;
};
