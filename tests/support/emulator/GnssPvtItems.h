#pragma once
// The GNSS receiver and barometer of an emulated GNSS-aided tracker, as data items: a raw stream
// (RawTrajectory::setExtraItems) asks for the items of each sample; on a sample that carries a
// new fix of the navigation kit's receiver a GNSS PVT item (0x8810, 44 bytes) is appended with
// the fix (1e-7 degrees, mm, cm/s, mm and cm/s accuracies), the receiver's age (0 on the fix)
// and the barometer's latest pressure in 2 Pa units with its age. Inside an outage window the
// receiver has no fix, so no item goes out. The fixes are kept with their truth for the tests.
//
//   GnssPvtItems gnss(gnssConfig, BarometerConfig{}, simulatorConfig);
//   stream.setExtraItems([&](const Sample& s, std::vector<uint8_t>& out) { gnss.append(s, out); });
//
// Threads: append runs on the stream's thread; the observers may be called from any thread.
#include <cstdint>
#include <mutex>
#include <vector>

#include "filtersim/Barometer.h"
#include "filtersim/GnssReceiver.h"
#include "filtersim/MotionSimulator.h"

namespace zelto::test {

class GnssPvtItems {
 public:
  static constexpr uint16_t kItemId = 0x8810;

  // The receiver's frame is the simulator configuration's origin.
  GnssPvtItems(const filtersim::GnssConfig& gnss, const filtersim::BarometerConfig& baro,
               const filtersim::SimulatorConfig& simulator);

  // Advances receiver and barometer to the sample; appends the item when it carries a new fix.
  void append(const filtersim::Sample& s, std::vector<uint8_t>& payload);

  // The fixes sent so far, in order, with the sample time they went out at.
  std::vector<filtersim::GnssFix> fixes() const;
  size_t itemsSent() const;
  // The item's bytes for a fix (exposed for the layout test).
  static std::vector<uint8_t> item(const filtersim::GnssFix& fix, uint8_t gpsAge, double pressureTwoPa,
                                   uint8_t pressureAge);

 private:
  filtersim::GeodeticFrame m_frame;
  filtersim::GnssReceiver m_receiver;
  filtersim::Barometer m_baro;
  mutable std::mutex m_mutex;  // guards m_fixes
  std::vector<filtersim::GnssFix> m_fixes;
};

}  // namespace zelto::test
