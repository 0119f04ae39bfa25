#pragma once
// Strapdown-integration record of a wireless tracker as a legacy data message carries it: the
// increments integrated over a frame range, with the tracker's aiding data.
#include <array>
#include <cstdint>
#include <span>

#include "zttypes/ztdeviceid.h"
#include "zttypes/ztmath.h"

class KtwSdiData {
 public:
  KtwSdiData();  // empty: device id 0, identity orientation increment, zero vectors

  // Device id 0 means the record holds nothing; every accessor below then reports "empty".
  bool empty() const { return m_deviceId == 0; }
  ZtDeviceId deviceId() const { return m_deviceId; }
  void setDeviceId(ZtDeviceId id) { m_deviceId = id; }
  // The byte kept beside the device id; nothing interprets it.
  uint8_t extraByte() const { return m_extraByte; }
  void setExtraByte(uint8_t b) { m_extraByte = b; }

  uint16_t firstFrame() const { return m_firstFrame; }
  uint16_t lastFrame() const { return m_lastFrame; }
  void setFrameRange(uint16_t first, uint16_t last);
  // (first, last); (0, 0) when empty.
  std::array<uint16_t, 2> frameRange() const;

  bool containsAidingData() const { return !empty() && m_aidingData; }
  void setAidingData(bool aiding) { m_aidingData = aiding; }

  // Zero quaternion when empty.
  ZtQuaternion orientationIncrement() const;
  void setOrientationIncrement(const ZtQuaternion& q) { m_orientationIncrement = q; }
  // Three values, or none when empty.
  std::span<const double> velocityIncrement() const { return view(m_velocityIncrement); }
  std::span<const double> magneticField() const { return view(m_magneticField); }
  std::span<const double> currentBias() const { return view(m_currentBias); }
  void setVelocityIncrement(const double* v) { copy3(m_velocityIncrement, v); }
  void setMagneticField(const double* v) { copy3(m_magneticField, v); }
  void setCurrentBias(const double* v) { copy3(m_currentBias, v); }

  // Pressure as carried by the record (the legacy count / 50); 0 when empty.
  double pressure() const { return empty() ? 0.0 : m_pressure; }
  void setPressure(double p) { m_pressure = p; }
  // dBm; -128 when empty.
  double rssi() const { return empty() ? -128.0 : static_cast<double>(m_rssi); }
  int8_t rawRssi() const { return m_rssi; }
  void setRssi(int8_t rssi) { m_rssi = rssi; }

  bool operator==(const KtwSdiData& other) const;

 private:
  std::span<const double> view(const std::array<double, 3>& v) const {
    return empty() ? std::span<const double>() : std::span<const double>(v.data(), v.size());
  }
  static void copy3(std::array<double, 3>& to, const double* from) {
    for (size_t i = 0; i < 3; ++i) to[i] = from ? from[i] : 0.0;
  }

  ZtDeviceId m_deviceId;
  uint8_t m_extraByte;
  uint16_t m_firstFrame;
  uint16_t m_lastFrame;
  std::array<double, 3> m_currentBias;
  ZtQuaternion m_orientationIncrement;
  std::array<double, 3> m_velocityIncrement;
  bool m_aidingData;
  double m_pressure;
  std::array<double, 3> m_magneticField;
  int8_t m_rssi;
};
