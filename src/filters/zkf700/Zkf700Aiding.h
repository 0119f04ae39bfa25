#pragma once
// The aiding input of one Zkf700 sample: magnetometer, GNSS fix (latitude and longitude in
// degrees, altitude m, velocity, position and speed accuracies) and barometric pressure (Pa),
// each group meaningful when its flag is set. Every value starts at zero.
//
// Assignment copies the three flags always, the magnetometer and GNSS groups only when the
// source's flag is set, and the pressure always; a destination keeps the groups not copied.
// Copy construction copies everything.
#include "filters/common/ZkfAiding.h"
#include "math/Vector3.h"

namespace zelto {

class Zkf700Aiding : public ZkfAiding {
 public:
  using ZeltoParams::readFromFile;
  Zkf700Aiding() = default;
  Zkf700Aiding(const Zkf700Aiding& other) = default;
  Zkf700Aiding& operator=(const Zkf700Aiding& other);
  ~Zkf700Aiding() override;

  // Groups in order magnetometer ("magValid", then "mag" when set), GNSS ("gpsValid", then
  // "gps.pos", "gps.vel", "gps.pAcc", "gps.sAcc" when set) and barometer ("baroValid", then
  // "baro" when set). The barometer group is read only while the record's pressure is not 0.0;
  // otherwise "baroValid" becomes false and neither key is looked up. A flag read as false
  // leaves its group's values as they were.
  void readFromFile(const SettingsFile& file, const std::string& prefix) override;
  // All nine keys, whatever the flags say.
  void writeToFile(SettingsFile& file, const std::string& prefix) const override;

  Vector3 mag;
  Vector3 gpsPos;
  Vector3 gpsVel;
  double baro = 0.0;
  double gpsPAcc = 0.0;
  double gpsSAcc = 0.0;
  bool magValid = false;
  bool gpsValid = false;
  bool baroValid = false;
};

}  // namespace zelto
