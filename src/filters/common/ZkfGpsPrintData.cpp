#include "filters/common/ZkfGpsPrintData.h"

ZkfGpsPrintData::~ZkfGpsPrintData() = default;

void ZkfGpsPrintData::readFromFile(const zelto::SettingsFile& file, const std::string& prefix) {
  readVector(file, prefix, "posLatLongAlt", posLatLongAlt);
  readVector(file, prefix, "velNorthEastDown", velNorthEastDown);
  hAcc = readDouble(file, prefix, "hAcc");
  vAcc = readDouble(file, prefix, "vAcc");
  sAcc = readDouble(file, prefix, "sAcc");
  pressure = readDouble(file, prefix, "pressure");
  gpsAge = static_cast<uint8_t>(readSetting(file, prefix, "gpsAge").toUint32());
  pressureAge = static_cast<uint8_t>(readSetting(file, prefix, "pressureAge").toUint32());
}

void ZkfGpsPrintData::writeToFile(zelto::SettingsFile& file, const std::string& prefix) const {
  writeSetting(file, prefix, "posLatLongAlt", zelto::Variant(posLatLongAlt));
  writeSetting(file, prefix, "velNorthEastDown", zelto::Variant(velNorthEastDown));
  writeSetting(file, prefix, "hAcc", zelto::Variant(hAcc));
  writeSetting(file, prefix, "vAcc", zelto::Variant(vAcc));
  writeSetting(file, prefix, "sAcc", zelto::Variant(sAcc));
  writeSetting(file, prefix, "pressure", zelto::Variant(pressure));
  writeSetting(file, prefix, "gpsAge", zelto::Variant(static_cast<unsigned>(gpsAge)));
  writeSetting(file, prefix, "pressureAge", zelto::Variant(static_cast<unsigned>(pressureAge)));
}

void ZkfGpsPrintData::copyGpsPartFrom(const ZkfGpsPrintData& other) {
  posLatLongAlt = other.posLatLongAlt;
  velNorthEastDown = other.velNorthEastDown;
  hAcc = other.hAcc;
  vAcc = other.vAcc;
  sAcc = other.sAcc;
  gpsAge = other.gpsAge;
}

void ZkfGpsPrintData::copyBaroPartFrom(const ZkfGpsPrintData& other) {
  pressure = other.pressure;
  pressureAge = other.pressureAge;
}

void ZkfGpsPrintData::getVelNorthWestUp(ZtVector& out) const {
  out.data[0] = velNorthEastDown[0];
  out.data[1] = -velNorthEastDown[1];
  out.data[2] = -velNorthEastDown[2];
}

void ZkfGpsPrintData::clear() {
  posLatLongAlt.isZero();
  velNorthEastDown.isZero();
  hAcc = vAcc = sAcc = pressure = 0.0;
  gpsAge = pressureAge = 255;
}
