#pragma once
// The wireless station's master settings as message 0x8B carries them (big-endian): device id,
// product code (20 characters), hardware version, a further station value kept as it came,
// baud-rate code, update rate and two trigger lists of 8-byte entries, sync-in then sync-out,
// each after its count byte. The record keeps 16 slots per side; a list names each entry's slot
// by its position. Not synchronised: the station guards it.
#include <array>
#include <cstdint>
#include <string>

#include "otherdevices/wireless/WmsTriggerSetting.h"
#include "zttypes/ztdeviceid.h"
#include "zttypes/ztmessage.h"

namespace zelto {

class EwmsData {
 public:
  static constexpr size_t kSlots = 16;
  static constexpr size_t kEntrySize = 8;
  // Data bytes before the trigger lists; a message of exactly this size carries none.
  static constexpr size_t kFixedSize = 32;
  static constexpr size_t kProductCodeSize = 20;

  EwmsData();

  // Parses a 0x8B message. Data under kFixedSize is refused (false, the record unchanged). Only
  // whole entries are read, at most kSlots per side; a count beyond what the data holds stops at
  // the last whole entry.
  bool setWmsData(const ZtMessage& message);
  // Message 0x8B for the bus id with the layout above (the caller destructs it). Lists as many
  // entries as the last parse reported per side (none after clear).
  ZtMessage toMessage(uint8_t busId) const;

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
  const WmsTriggerSetting& internalInputTriggerSetting(int32_t action) const;
  const WmsTriggerSetting& internalOutputTriggerSetting(int32_t event) const;
  // Overwrites the slot named by the setting's own index (ignored outside 0..15); the side's
  // list then reaches at least that slot, so a composed 0x8B carries it.
  void setInputTriggerSettings(const WmsTriggerSetting& setting);
  void setOutputTriggerSettings(const WmsTriggerSetting& setting);

 private:
  ZtDeviceId m_deviceId = 0;
  std::string m_productCode;
  uint16_t m_hardwareVersion = 0;
  uint16_t m_stationValue = 0;
  uint16_t m_baudRateCode = 0;
  uint16_t m_updateRate = 0;
  size_t m_inputCount = 0;
  size_t m_outputCount = 0;
  std::array<WmsTriggerSetting, kSlots> m_inputs;
  std::array<WmsTriggerSetting, kSlots> m_outputs;
};

}  // namespace zelto
