#include "filters/zkf700/Zkf700Aiding.h"

namespace zelto {


Zkf700Aiding& Zkf700Aiding::operator=(const Zkf700Aiding& o) {
  if (&o == this) return *this;
  magValid = o.magValid;
  gpsValid = o.gpsValid;
  baroValid = o.baroValid;
  if (o.magValid) mag = o.mag;
  if (o.gpsValid) {
    gpsPos = o.gpsPos;
    gpsVel = o.gpsVel;
    gpsPAcc = o.gpsPAcc;
    gpsSAcc = o.gpsSAcc;
  }
  baro = o.baro;
  return *this;
}

Zkf700Aiding::~Zkf700Aiding() = default;

void Zkf700Aiding::readFromFile(const SettingsFile& file, const std::string& prefix) {
  magValid = readSetting(file, prefix, "magValid").toBool();
  if (magValid) readVector(file, prefix, "mag", mag);
  gpsValid = readSetting(file, prefix, "gpsValid").toBool();
  if (gpsValid) {
    readVector(file, prefix, "gps.pos", gpsPos);
    readVector(file, prefix, "gps.vel", gpsVel);
    gpsPAcc = readSetting(file, prefix, "gps.pAcc").toMathValue();
    gpsSAcc = readSetting(file, prefix, "gps.sAcc").toMathValue();
  }
  if (baro == 0.0) {
    baroValid = false;
    return;
  }
  baroValid = readSetting(file, prefix, "baroValid").toBool();
  if (baroValid) baro = readSetting(file, prefix, "baro").toDouble();
}

void Zkf700Aiding::writeToFile(SettingsFile& file, const std::string& prefix) const {
  writeSetting(file, prefix, "magValid", Variant(magValid));
  writeSetting(file, prefix, "mag", Variant(mag));
  writeSetting(file, prefix, "gpsValid", Variant(gpsValid));
  writeSetting(file, prefix, "gps.pos", Variant(gpsPos));
  writeSetting(file, prefix, "gps.vel", Variant(gpsVel));
  writeSetting(file, prefix, "gps.pAcc", Variant(gpsPAcc));
  writeSetting(file, prefix, "gps.sAcc", Variant(gpsSAcc));
  writeSetting(file, prefix, "baroValid", Variant(baroValid));
  writeSetting(file, prefix, "baro", Variant(baro));
}

}  // namespace zelto
