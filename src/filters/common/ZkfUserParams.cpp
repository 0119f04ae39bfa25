#include "filters/common/ZkfUserParams.h"

#include <cmath>

#include "ekts/Ekts.h"
#include "ekts/Ekts5.h"
#include "filters/common/EstimationRoutines.h"
#include "foundation/ExcelSerialDate.h"
#include "math/Matrix3x3.h"

namespace {

constexpr uint16_t kDefaultYear = 2013;
constexpr uint8_t kDefaultMonth = 1;
constexpr uint8_t kDefaultDay = 1;
constexpr double kRad2Deg = 57.29577951308232;

}  // namespace

ZkfUserParams::ZkfUserParams() : storedYear(kDefaultYear), storedMonth(kDefaultMonth), storedDay(kDefaultDay) {
  clear();
}

ZkfUserParams::~ZkfUserParams() = default;

void ZkfUserParams::clear() {
  declination_angle_deg = 0.0;
  gravityMagnitude = 9.81;
  storedGyrBias.isZero();
  storedLatLongAlt.isZero();
  sampleRate = kDefaultSampleRate;
  enabledFixedGravity = true;
  enabledInitialGyroBiasUpdate = false;
  r_gps_s.isZero();
  x_alignment.isIdentity();
  n_s_m.isZero();
}

void ZkfUserParams::readFromFile(const zelto::SettingsFile& file, const std::string& prefix) {
  declination_angle_deg = readDouble(file, prefix, "declination_angle_deg");
  gravityMagnitude = readDouble(file, prefix, "gravityMagnitude");
  readVector(file, prefix, "storedGyrBias", storedGyrBias);
  readVector(file, prefix, "storedLatLongAlt", storedLatLongAlt);
  sampleRate = readDouble(file, prefix, "sampleRate");
  enabledFixedGravity = readSetting(file, prefix, "enabledFixedGravity").toBool();
  enabledInitialGyroBiasUpdate = readSetting(file, prefix, "enabledInitialGyroBiasUpdate").toBool();
  storedYear = static_cast<uint16_t>(file.setting(prefix.c_str(), "storedYear", zelto::Variant(unsigned(kDefaultYear))).toUint32());
  storedMonth = static_cast<uint8_t>(file.setting(prefix.c_str(), "storedMonth", zelto::Variant(unsigned(kDefaultMonth))).toUint32());
  storedDay = static_cast<uint8_t>(file.setting(prefix.c_str(), "storedDay", zelto::Variant(unsigned(kDefaultDay))).toUint32());
  if (file.hasSetting(prefix.c_str(), "r_gps_s"))
    vectorFrom(readSetting(file, prefix, "r_gps_s"), prefix, "r_gps_s", r_gps_s.data, 3);
  else
    r_gps_s.isZero();
  if (file.hasSetting(prefix.c_str(), "x_alignment"))
    quaternionFrom(readSetting(file, prefix, "x_alignment"), prefix, "x_alignment", x_alignment);
  else
    x_alignment.isIdentity();
  if (file.hasSetting(prefix.c_str(), "n_s_m"))
    vectorFrom(readSetting(file, prefix, "n_s_m"), prefix, "n_s_m", n_s_m.data, 3);
  else
    n_s_m.isZero();
}

void ZkfUserParams::writeToFile(zelto::SettingsFile& file, const std::string& prefix) const {
  writeSetting(file, prefix, "declination_angle_deg", zelto::Variant(declination_angle_deg));
  writeSetting(file, prefix, "gravityMagnitude", zelto::Variant(gravityMagnitude));
  writeSetting(file, prefix, "storedGyrBias", zelto::Variant(storedGyrBias));
  writeSetting(file, prefix, "storedLatLongAlt", zelto::Variant(storedLatLongAlt));
  writeSetting(file, prefix, "storedYear", zelto::Variant(static_cast<unsigned>(storedYear)));
  writeSetting(file, prefix, "storedMonth", zelto::Variant(static_cast<unsigned>(storedMonth)));
  writeSetting(file, prefix, "storedDay", zelto::Variant(static_cast<unsigned>(storedDay)));
  writeSetting(file, prefix, "sampleRate", zelto::Variant(sampleRate));
  writeSetting(file, prefix, "enabledFixedGravity", zelto::Variant(enabledFixedGravity));
  writeSetting(file, prefix, "enabledInitialGyroBiasUpdate", zelto::Variant(enabledInitialGyroBiasUpdate));
  writeSetting(file, prefix, "r_gps_s", zelto::Variant(r_gps_s));
  writeSetting(file, prefix, "x_alignment", zelto::Variant(static_cast<const ZtQuaternion&>(x_alignment)));
  writeSetting(file, prefix, "n_s_m", zelto::Variant(n_s_m));
}

double ZkfUserParams::gravityAtStoredPosition() const {
  double g = 0.0;
  gravityIgf1980(storedLatLongAlt, g);
  return -g;
}

void ZkfUserParams::setDate(uint16_t serialDay) {
  convertExcelSerialDateToDMY(serialDay, storedDay, storedMonth, storedYear);
}

double ZkfUserParams::rateOfPeriod(bool has, uint16_t period) {
  return has && period != 0 ? kSamplePeriodClock / period : kDefaultSampleRate;
}

void ZkfUserParams::readFromDecryptedEktsPages(const zelto::Ekts* record) {
  if (!record) return;
  const zelto::Ekts& r = *record;
  storedGyrBias.isZero();
  storedLatLongAlt = zelto::Vector3(kDefaultLatitudeDeg, kDefaultLongitudeDeg, 0.0);
  r_gps_s.isZero();
  zelto::Vector3 field(1.0, 0.0, 0.0);
  n_s_m.isZero();

  setDate(r.hasLastKnownDate() ? r.lastKnownDate() : r.testAndCalDate());
  if (r.hasGyroBiasEstimation()) storedGyrBias = r.gyroBiasEstimation();
  if (r.hasLastKnownLatLongAlt()) storedLatLongAlt = r.lastKnownLatLongAlt();
  if (r.hasGpsLeverArm()) r_gps_s = r.gpsLeverArm();
  if (r.hasMagField()) field = r.magField();

  // The field is north-west-up, so an eastward (negative west) component is a positive
  // declination; the field is in degrees.
  declination_angle_deg =
      r.hasMagneticDeclination() ? r.magneticDeclination() : -std::atan2(field[1], field[0]) * kRad2Deg;
  gravityMagnitude = r.hasGravityMagnitude() ? r.gravityMagnitude() : gravityAtStoredPosition();
  sampleRate = rateOfPeriod(r.hasSamplePeriod(), r.samplePeriod());
  if (r.hasProcessingFlags()) {
    const uint16_t flags = r.processingFlags();
    enabledFixedGravity = (flags & 0x2) != 0;
    enabledInitialGyroBiasUpdate = (flags & 0x1) != 0;
  } else {
    enabledFixedGravity = false;
    enabledInitialGyroBiasUpdate = false;
  }
  x_alignment.isIdentity();
  if (r.hasObjectAlignment()) {
    x_alignment.isRmat(r.objectAlignment());
    x_alignment.isNormalizeSelf();
  }
  if (r.hasOutputSettings() && (r.outputSettings() & 0x80000000u) != 0)
    x_alignment.isQuatMulQuat(zelto::Quaternion(0.0, 1.0, 0.0, 0.0), x_alignment);
  if (r.hasHolonomicAxis()) n_s_m = r.holonomicAxis();
  if (!r.hasHolonomicAxis() || (n_s_m[0] == 0.0 && n_s_m[1] == 0.0 && n_s_m[2] == 0.0))
    n_s_m = zelto::Vector3(1.0, 0.0, 0.0);
}

void ZkfUserParams::readFromDecryptedEktsPages(const zelto::Ekts5* record) {
  if (!record) return;
  const zelto::Ekts5& r = *record;
  storedGyrBias.isZero();
  storedLatLongAlt = zelto::Vector3(kDefaultLatitudeDeg, kDefaultLongitudeDeg, 0.0);
  r_gps_s.isZero();
  const zelto::Vector3 field(1.0, 0.0, 0.0);

  setDate(r.hasLastKnownDate() && r.lastKnownDate() != 0 ? r.lastKnownDate() : r.testAndCalDate());
  if (r.hasGyroBiasEstimation()) storedGyrBias = r.gyroBiasEstimation();
  if (r.hasLastKnownLatLongAlt()) storedLatLongAlt = r.lastKnownLatLongAlt();
  declination_angle_deg = -std::atan2(field[1], field[0]) * kRad2Deg;
  gravityMagnitude = gravityAtStoredPosition();
  sampleRate = rateOfPeriod(r.hasSamplePeriod(), r.samplePeriod());
  enabledFixedGravity = false;
  enabledInitialGyroBiasUpdate = false;
  x_alignment.isIdentity();
  if (r.hasOutputSettings() && (r.outputSettings() & 0x80000000u) != 0)
    x_alignment.isQuatMulQuat(zelto::Quaternion(0.0, 1.0, 0.0, 0.0), x_alignment);
  if (r.hasHolonomicAxis()) n_s_m = r.holonomicAxis();
  if (!r.hasHolonomicAxis() || (n_s_m[0] == 0.0 && n_s_m[1] == 0.0 && n_s_m[2] == 0.0))
    n_s_m = zelto::Vector3(1.0, 0.0, 0.0);
}
