#pragma once
// The wireless station's master settings: device id, product code (20 characters), hardware
// version, a further station value kept as it came, baud-rate code, update rate, and the
// trigger entries, 16 slots per side (sync-in by action, sync-out by event) with the number of
// slots each side reports. EwmsData reads and writes it as message 0x8B. Not synchronised: the
// station guards it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "otherdevices/wireless/WmsSyncInSettings.h"
#include "otherdevices/wireless/WmsSyncOutSettings.h"
#include "zttypes/ztdeviceid.h"

namespace zelto {

class WmsData {
 public:
  static constexpr size_t kSlots = 16;
  static constexpr size_t kProductCodeSize = 20;

  // Device id 0, product code " ", the numbers 0, no entries reported; every sync-in slot names
  // action 4 and every sync-out slot event 5, polarity 1, the rest 0.
  WmsData();

  void clear();
  // Every field of the 32 slots 0, then the first four sync-in slots named action 4 and the first
  // five sync-out slots event 5 (polarity 0 everywhere).
  void clearTriggerSettings();

  ZtDeviceId deviceId() const { return m_deviceId; }
  void setDeviceId(ZtDeviceId id) { m_deviceId = id; }
  const std::string& productCode() const { return m_productCode; }
  uint16_t hardwareVersion() const { return m_hardwareVersion; }
  uint16_t stationValue() const { return m_stationValue; }
  uint16_t baudRateCode() const { return m_baudRateCode; }
  uint16_t updateRate() const { return m_updateRate; }
  void setUpdateRate(uint16_t rate) { m_updateRate = rate; }
  size_t inputTriggerCount() const { return m_inputCount; }
  size_t outputTriggerCount() const { return m_outputCount; }

  // The slot of an action (sync-in) or event (sync-out); slots outside 0..15 read as slot 15.
  const WmsSyncInSettings& internalInputTriggerSetting(int32_t action) const;
  const WmsSyncOutSettings& internalOutputTriggerSetting(int32_t event) const;
  // Overwrites the slot named by the setting's own index (ignored outside 0..15); the side's
  // reported list then reaches at least that slot, so a composed 0x8B carries it.
  void setTriggerSettings(const WmsSyncInSettings& setting);
  void setTriggerSettings(const WmsSyncOutSettings& setting);

 protected:
  ZtDeviceId m_deviceId = 0;
  std::string m_productCode;
  uint16_t m_hardwareVersion = 0;
  uint16_t m_stationValue = 0;
  uint16_t m_baudRateCode = 0;
  uint16_t m_updateRate = 0;
  size_t m_inputCount = 0;
  size_t m_outputCount = 0;
  std::array<WmsSyncInSettings, kSlots> m_inputs;
  std::array<WmsSyncOutSettings, kSlots> m_outputs;
};

}  // namespace zelto
