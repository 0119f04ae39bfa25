#include "transport/legacy/PacketFixedData.h"

namespace {

// Output mode bits.
constexpr uint32_t kModeCalTemp = 0x0001;
constexpr uint32_t kModeCalibrated = 0x0002;
constexpr uint32_t kModeOrientation = 0x0004;
constexpr uint32_t kModeAuxiliary = 0x0008;
constexpr uint32_t kModePosition = 0x0010;
constexpr uint32_t kModeVelocity = 0x0020;
constexpr uint32_t kModeSdi = 0x0200;
constexpr uint32_t kModeStatus = 0x0800;
constexpr uint32_t kModePressureGnss = 0x1000;
constexpr uint32_t kModeRaw = 0x4000;

// Output settings bits.
constexpr uint32_t kSetPacketCounter = 0x00000001;
constexpr uint32_t kSetUtc = 0x00000002;
constexpr uint32_t kSetOrientationForm = 0x0000000C;
constexpr uint32_t kSetNoAcc = 0x00000010;
constexpr uint32_t kSetNoGyr = 0x00000020;
constexpr uint32_t kSetNoMag = 0x00000040;
constexpr uint32_t kSetDetailedStatus = 0x00000080;
constexpr uint32_t kSetNoAnalog1 = 0x00000400;
constexpr uint32_t kSetNoAnalog2 = 0x00000800;
constexpr uint32_t kSetPositionForm = 0x0001C000;
constexpr uint32_t kSetVelocityForm = 0x00060000;
constexpr uint32_t kSetPressureOnly = 0x00080000;
constexpr uint32_t kSetFourTemps = 0x01000000;

// Offsets are computed in 32 bits; one that does not fit the 16-bit record (a format list
// too long for any message) is recorded as absent instead of wrapping into the payload.
class Layout {
 public:
  explicit Layout(PacketInfo& info) : m_info(info) {}
  void set(int entry, uint32_t offset) { m_info[entry] = offset < PI_Absent ? static_cast<uint16_t>(offset) : PI_Absent; }

 private:
  PacketInfo& m_info;
};

}  // namespace

PacketFixedData::PacketFixedData(uint16_t count, bool zbusSystem)
    : m_infoList(count), m_formatList(count), m_idList(count, 0), m_zbusSystem(zbusSystem ? 1 : 0), m_itemCount(count) {
  for (PacketInfo& info : m_infoList) info.fill(PI_Absent);
}

void PacketFixedData::setZbusSystem(bool zbusSystem) { m_zbusSystem = zbusSystem ? 1 : 0; }

void PacketFixedData::setFormat(const ZtDataFormat& format, int index) { m_formatList[static_cast<size_t>(index)] = format; }

uint16_t PacketFixedData::valueSize(uint32_t outputSettings) {
  switch (outputSettings & 0x300) {
    case 0x200: return 6;
    case 0x300: return 8;
    default: return 4;
  }
}

void PacketFixedData::updateInfoList() {
  uint32_t o = m_zbusSystem ? 2 : 0;  // a bus master puts its packet counter in front
  for (size_t d = 0; d < m_itemCount; ++d) {
    PacketInfo& info = m_infoList[d];
    info.fill(PI_Absent);
    Layout at(info);
    const uint32_t mode = m_formatList[d].outputMode;
    const uint32_t settings = m_formatList[d].outputSettings;
    const uint32_t s = valueSize(settings);
    const uint32_t start = o;
    at.set(PI_Start, o);

    if (mode & kModeRaw) {
      at.set(PI_Raw, o);
      at.set(PI_RawAcc, o);
      at.set(PI_RawGyr, o + 6);
      at.set(PI_RawMag, o + 12);
      at.set(PI_RawTemp0, o + 18);
      o += 20;
      if (settings & kSetFourTemps) {
        for (int c = 1; c < 4; ++c) at.set(PI_RawTemp0 + c, o + 2 * (c - 1));
        o += 6;
      }
    }
    if (mode & kModeSdi) {
      at.set(PI_Sdi, o);
      at.set(PI_SdiDeviceId, o);
      at.set(PI_SdiByte, o + 4);
      at.set(PI_SdiFirstFrame, o + 5);
      at.set(PI_SdiLastFrame, o + 7);
      at.set(PI_SdiBias, o + 9);
      at.set(PI_SdiDeltaQ, o + 9 + 3 * s);
      at.set(PI_SdiDeltaV, o + 9 + 7 * s);
      at.set(PI_SdiAidingFlag, o + 9 + 10 * s);
      at.set(PI_SdiPressure, o + 10 + 10 * s);
      at.set(PI_SdiMag, o + 12 + 10 * s);
      at.set(PI_SdiRssi, o + 12 + 13 * s);
      o += 13 + 13 * s;
    }
    if (mode & kModePressureGnss) {
      at.set(PI_PressureGnss, o);
      at.set(PI_Pressure, o);
      at.set(PI_PressureAge, o + 2);
      if (settings & kSetPressureOnly) {
        o += 3;
      } else {
        at.set(PI_Gnss, o + 3);
        for (int i = 0; i < 10; ++i) at.set(PI_GnssValue0 + i, o + 3 + 4 * static_cast<uint32_t>(i));
        at.set(PI_GnssAge, o + 43);
        o += 44;
      }
    }
    if (mode & kModeCalTemp) {
      const int channels = (settings & kSetFourTemps) ? 4 : 1;
      for (int c = 0; c < channels; ++c) {
        at.set(PI_Temp0 + c, o);
        o += s;
      }
    }
    if (mode & kModeCalibrated) {
      const uint32_t blockStart = o;
      const struct {
        uint32_t omit;
        int entry;
      } parts[] = {{kSetNoAcc, PI_CalAcc}, {kSetNoGyr, PI_CalGyr}, {kSetNoMag, PI_CalMag}};
      for (const auto& part : parts) {
        if (settings & part.omit) continue;
        at.set(part.entry, o);
        o += 3 * s;
      }
      if (o != blockStart) at.set(PI_Calibrated, blockStart);
    }
    if (mode & kModeOrientation) {
      switch (settings & kSetOrientationForm) {
        case 0x0: at.set(PI_OriQuat, o); o += 4 * s; break;
        case 0x4: at.set(PI_OriEuler, o); o += 3 * s; break;
        case 0x8: at.set(PI_OriMatrix, o); o += 9 * s; break;
        default: break;
      }
    }
    if (mode & kModeAuxiliary) {
      if (!(settings & kSetNoAnalog1)) {
        at.set(PI_AnalogIn1, o);
        o += 2;
      }
      if (!(settings & kSetNoAnalog2)) {
        at.set(PI_AnalogIn2, o);
        o += 2;
      }
    }
    if ((mode & kModePosition) && !(settings & kSetPositionForm)) {
      at.set(PI_Position, o);
      o += 3 * s;
    }
    if ((mode & kModeVelocity) && !(settings & kSetVelocityForm)) {
      at.set(PI_Velocity, o);
      o += 3 * s;
    }
    if (mode & kModeStatus) {
      at.set(PI_Status, o);
      if (settings & kSetDetailedStatus) {
        at.set(PI_DetailedStatus, o);
        o += 4;
      } else {
        o += 1;
      }
    }
    if (settings & kSetPacketCounter) {
      // In a bus-master system the master's counter at the start of the message stands for
      // every device; the device's own two bytes are skipped.
      at.set(PI_PacketCounter, m_zbusSystem ? 0 : o);
      o += 2;
    } else if (m_zbusSystem) {
      at.set(PI_PacketCounter, 0);
    }
    if (settings & kSetUtc) {
      at.set(PI_Utc, o);
      at.set(PI_UtcNano, o);
      at.set(PI_UtcYear, o + 4);
      for (int i = 0; i < 6; ++i) at.set(PI_UtcMonth + i, o + 6 + static_cast<uint32_t>(i));
      o += 12;
    }
    info[PI_FreeAcc] = PI_Absent;
    at.set(PI_DataSize, o - start);
    at.set(PI_End, o);
    if (info[PI_PacketCounter] == PI_Absent) info[PI_PacketCounter] = info[PI_SdiLastFrame];
  }
}
