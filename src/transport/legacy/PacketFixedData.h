#pragma once
// Layout record of a legacy data message (0x32): per device, the payload offset of every item,
// derived from the device's legacy output mode and output settings.
#include <array>
#include <cstdint>
#include <vector>

#include "zttypes/ztdeviceid.h"

// A device's legacy data format: output mode and output settings.
struct ZtDataFormat {
  uint32_t outputMode = 0x4;
  uint32_t outputSettings = 0x1;
};

// Entries of a device's info record. Each holds a payload offset, 0xFFFF = absent, except
// PI_DataSize and PI_End.
enum PacketInfoEntry : int {
  PI_Start = 0,
  PI_Raw = 1,
  PI_RawAcc = 2,
  PI_RawGyr = 3,
  PI_RawMag = 4,
  PI_RawTemp0 = 5,  // ... 8: raw temperature channels 0-3
  PI_Temp0 = 9,     // ... 12: calibrated temperature channels 0-3
  PI_Calibrated = 13,
  PI_CalAcc = 14,
  PI_CalGyr = 15,
  PI_CalMag = 16,
  PI_OriQuat = 17,
  PI_OriEuler = 18,
  PI_OriMatrix = 19,
  PI_AnalogIn1 = 20,
  PI_AnalogIn2 = 21,
  PI_Position = 22,
  PI_Velocity = 23,
  PI_Status = 24,
  PI_DetailedStatus = 25,
  PI_PacketCounter = 26,
  PI_Utc = 27,
  PI_UtcNano = 28,
  PI_UtcYear = 29,
  PI_UtcMonth = 30,  // ... 35: month, day, hour, minute, second, valid
  PI_FreeAcc = 36,
  PI_PressureGnss = 37,
  PI_Pressure = 38,
  PI_PressureAge = 39,
  PI_Gnss = 40,
  PI_GnssValue0 = 41,  // ... 50: the ten 32-bit values
  PI_GnssAge = 51,
  PI_Sdi = 52,
  PI_SdiDeviceId = 53,
  PI_SdiByte = 54,
  PI_SdiFirstFrame = 55,
  PI_SdiLastFrame = 56,
  PI_SdiBias = 57,
  PI_SdiDeltaQ = 58,
  PI_SdiDeltaV = 59,
  PI_SdiAidingFlag = 60,
  PI_SdiPressure = 61,
  PI_SdiMag = 62,
  PI_SdiRssi = 63,
  PI_DataSize = 64,  // bytes of the device's data (0 = no data); grows with appended items
  PI_End = 65,       // end offset of the device's data as laid out
  PI_Count = 66
};

constexpr uint16_t PI_Absent = 0xFFFF;

using PacketInfo = std::array<uint16_t, PI_Count>;

class PacketFixedData {
 public:
  // count devices with the default format (mode 0x4, settings 0x1), every entry absent.
  explicit PacketFixedData(uint16_t count = 1, bool zbusSystem = false);

  uint16_t itemCount() const { return m_itemCount; }
  bool isZbusSystem() const { return m_zbusSystem != 0; }
  void setZbusSystem(bool zbusSystem);

  // Index checks are the caller's; these take a valid index.
  const PacketInfo& info(int index) const { return m_infoList[static_cast<size_t>(index)]; }
  PacketInfo& info(int index) { return m_infoList[static_cast<size_t>(index)]; }
  const ZtDataFormat& format(int index) const { return m_formatList[static_cast<size_t>(index)]; }
  void setFormat(const ZtDataFormat& format, int index);
  ZtDeviceId deviceId(int index) const { return m_idList[static_cast<size_t>(index)]; }
  void setDeviceId(ZtDeviceId id, int index) { m_idList[static_cast<size_t>(index)] = id; }

  // Value size of a floating-point form (bits 0x300 of the settings): 4, 4, 6 or 8.
  static uint16_t valueSize(uint32_t outputSettings);

  // Recomputes every info record from the formats and the bus-master flag.
  void updateInfoList();

 private:
  std::vector<PacketInfo> m_infoList;
  std::vector<ZtDataFormat> m_formatList;
  std::vector<ZtDeviceId> m_idList;
  uint8_t m_zbusSystem;
  uint16_t m_itemCount;
};
