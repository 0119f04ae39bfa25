#include "support/emulator/GnssPvtItems.h"

#include <algorithm>
#include <cmath>

#include "support/emulator/EmuFrame.h"

namespace zelto::test {

namespace {

uint32_t scaled(double value, double unit) {
  const double v = std::round(value / unit);
  return static_cast<uint32_t>(static_cast<int32_t>(std::clamp(v, -2147483648.0, 2147483647.0)));
}

uint32_t accuracy(double value, double unit) {
  if (!std::isfinite(value) || value <= 0.0) return 0;
  return static_cast<uint32_t>(std::min(std::round(value / unit), 4294967295.0));
}

}  // namespace

GnssPvtItems::GnssPvtItems(const filtersim::GnssConfig& gnss, const filtersim::BarometerConfig& baro,
                           const filtersim::SimulatorConfig& simulator)
    : m_frame(filtersim::Vec3(simulator.latitude, simulator.longitude, simulator.altitude)),
      m_receiver(gnss, m_frame),
      m_baro(baro) {}

std::vector<uint8_t> GnssPvtItems::item(const filtersim::GnssFix& fix, uint8_t gpsAge, double pressureTwoPa,
                                        uint8_t pressureAge) {
  std::vector<uint8_t> out;
  putU16(out, kItemId);
  out.push_back(44);
  putU16(out, static_cast<uint16_t>(std::clamp(std::round(pressureTwoPa), 0.0, 65535.0)));
  out.push_back(pressureAge);
  putU32(out, static_cast<uint32_t>(std::lround(fix.t * 1000.0)));  // time of week, ms
  putU32(out, scaled(fix.latLongAltDeg[0], 1e-7));
  putU32(out, scaled(fix.latLongAltDeg[1], 1e-7));
  putU32(out, scaled(fix.latLongAltDeg[2], 0.001));
  for (int i = 0; i < 3; ++i) putU32(out, scaled(fix.velNorthEastDown[i], 0.01));
  putU32(out, accuracy(fix.hAcc, 0.001));
  putU32(out, accuracy(fix.vAcc, 0.001));
  putU32(out, accuracy(fix.sAcc, 0.01));
  out.push_back(gpsAge);
  return out;
}

void GnssPvtItems::append(const filtersim::Sample& s, std::vector<uint8_t>& payload) {
  m_baro.update(s);
  if (!m_receiver.update(s)) return;
  const std::vector<uint8_t> bytes = item(m_receiver.last(), m_receiver.age(), m_baro.pressureTwoPa(), m_baro.age());
  payload.insert(payload.end(), bytes.begin(), bytes.end());
  std::lock_guard<std::mutex> lock(m_mutex);
  m_fixes.push_back(m_receiver.last());
}

std::vector<filtersim::GnssFix> GnssPvtItems::fixes() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_fixes;
}

size_t GnssPvtItems::itemsSent() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_fixes.size();
}

}  // namespace zelto::test
