#include "filters/zkf6/Zkf6State.h"

#include <cmath>

#include "filters/common/EstimationRoutines.h"
#include "filters/zkf6/Zkf6Aiding.h"
#include "filters/zkf6/Zkf6Params.h"

namespace zelto {

namespace {

constexpr double kDegToRad = 0.017453292519943295;
constexpr double kMinLength = 1e-9;
constexpr double kMinSine = 1e-6;
// Initial standard deviations are floored so that sQx stays invertible.
constexpr double kMinDeviation = 1e-9;

double floored(double sd) { return sd > kMinDeviation ? sd : kMinDeviation; }

bool finite(const ZtVector& v) {
  for (ZtSize i = 0; i < v.size; ++i)
    if (!std::isfinite(v.data[i])) return false;
  return true;
}

double norm3(const ZtVector& v) {
  return std::sqrt(v.data[0] * v.data[0] + v.data[1] * v.data[1] + v.data[2] * v.data[2]);
}

}  // namespace

Zkf6State::Zkf6State()
    : x(kStates, m_x, 0),
      positionOffset(3, m_x, 0),
      velocity(3, m_x + 3, 0),
      orientError(3, m_x + 12, 0),
      gyrBias(3, m_x + 9, 0),
      accBias(3, m_x + 6, 0),
      sx(kStates, m_sx, 0),
      sQx(kStates, kStates, kStates, m_sQx, 0),
      q_gs(1.0, 0.0, 0.0, 0.0) {
  sQx.isIdentity();
}

Zkf6State::Zkf6State(const Zkf6State& other) : Zkf6State() { copyFrom(other); }

Zkf6State& Zkf6State::operator=(const Zkf6State& other) {
  copyFrom(other);
  return *this;
}

Zkf6State::~Zkf6State() = default;

void Zkf6State::copyFrom(const Zkf6State& o) {
  if (&o == this) return;
  for (ZtSize i = 0; i < kStates; ++i) {
    m_x[i] = o.m_x[i];
    m_sx[i] = o.m_sx[i];
  }
  for (ZtSize i = 0; i < kStates * kStates; ++i) m_sQx[i] = o.m_sQx[i];
  q_gs = o.q_gs;
  baroBaseHeight[0] = o.baroBaseHeight[0];
  baroBaseHeight[1] = o.baroBaseHeight[1];
  magAvg = o.magAvg;
  magVar = o.magVar;
  lla0 = o.lla0;
  posLatLongAlt = o.posLatLongAlt;
  firstIteration = o.firstIteration;
  firstGps = o.firstGps;
  firstBaro = o.firstBaro;
  gpsOutage = o.gpsOutage;
  gpsAgeLong = o.gpsAgeLong;
  baroHeight = o.baroHeight;
  previousUpdate = o.previousUpdate;
  gps = o.gps;
  okAge = o.okAge;
}

void Zkf6State::writeToFile(SettingsFile& file, const std::string& prefix) const {
  writeSetting(file, prefix, "x", Variant(x));
  writeSetting(file, prefix, "sx", Variant(sx));
  writeSetting(file, prefix, "sQx", Variant(sQx));
  writeSetting(file, prefix, "q_gs", Variant(q_gs));
  writeVector(file, prefix, "baroBaseHeight", baroBaseHeight, 2);
  writeSetting(file, prefix, "baroHeight", Variant(baroHeight));
  writeSetting(file, prefix, "magAvg", Variant(magAvg));
  writeSetting(file, prefix, "magVar", Variant(magVar));
  writeSetting(file, prefix, "lla0", Variant(lla0));
  writeSetting(file, prefix, "posLatLongAlt", Variant(posLatLongAlt));
  writeSetting(file, prefix, "firstIteration", Variant(firstIteration));
  writeSetting(file, prefix, "firstGps", Variant(firstGps));
  writeSetting(file, prefix, "firstBaro", Variant(firstBaro));
  writeSetting(file, prefix, "gpsOutage", Variant(gpsOutage));
  writeSetting(file, prefix, "previousUpdate", Variant(static_cast<unsigned int>(previousUpdate)));
  writeSetting(file, prefix, "gpsAgeLong", Variant(static_cast<unsigned int>(gpsAgeLong)));
  writeSetting(file, prefix, "okAge", Variant(static_cast<unsigned int>(okAge)));
  gps.writeToFile(file, prefix);
}

void Zkf6State::readFromFile(const SettingsFile& file, const std::string& prefix) {
  readMatrix(file, prefix, "sQx", sQx);
  readVector(file, prefix, "x", x);
  readVector(file, prefix, "sx", sx);
  readQuaternion(file, prefix, "q_gs", q_gs);
  readVector(file, prefix, "baroBaseHeight", baroBaseHeight, 2);
  baroHeight = readDouble(file, prefix, "baroHeight");
  readVector(file, prefix, "magAvg", magAvg);
  readVector(file, prefix, "magVar", magVar);
  readVector(file, prefix, "posLatLongAlt", posLatLongAlt);
  readVector(file, prefix, "lla0", lla0);
  firstIteration = readSetting(file, prefix, "firstIteration").toBool();
  firstGps = readSetting(file, prefix, "firstGps").toBool();
  firstBaro = readSetting(file, prefix, "firstBaro").toBool();
  gpsOutage = readSetting(file, prefix, "gpsOutage").toBool();
  previousUpdate = readSetting(file, prefix, "previousUpdate").toUint32();
  gpsAgeLong = readSetting(file, prefix, "gpsAgeLong").toUint32();
  okAge = static_cast<uint16_t>(readSetting(file, prefix, "okAge").toInt32());
  gps.readFromFile(file, prefix);
  // The key "posLatLongAlt" held the GNSS sample's position: the state's own is where the
  // reference and the offset put it.
  positionOf(positionOffset, lla0, posLatLongAlt);
}

void Zkf6State::positionOf(const ZtVector& offset, const ZtVector& ref, ZtVector& lla) {
  const double o[3] = {offset.data[0], offset.data[1], offset.data[2]};
  const double r[3] = {ref.data[0], ref.data[1], ref.data[2]};
  convert_localTangentPlane2LatLongAltWgs84(o, r, lla.data);
}

void Zkf6State::offsetOf(const ZtVector& lla, const ZtVector& ref, ZtVector& offset) {
  const double l[3] = {lla.data[0], lla.data[1], lla.data[2]};
  const double r[3] = {ref.data[0], ref.data[1], ref.data[2]};
  convert_latLongAlt2LocalTangentPlaneWgs84(l, r, offset.data);
}

bool Zkf6State::permute(const Vector& p) {
  if (p.size < kStates) return false;
  ZtSize index[kStates];
  for (ZtSize i = 0; i < kStates; ++i) {
    const double r = std::round(p.data[i]);
    if (!(r >= 0.0 && r < static_cast<double>(kStates))) return false;
    index[i] = static_cast<ZtSize>(r);
  }
  double xs[kStates], sxs[kStates], Ls[kStates * kStates];
  for (ZtSize i = 0; i < kStates; ++i) {
    xs[i] = m_x[i];
    sxs[i] = m_sx[i];
  }
  for (ZtSize i = 0; i < kStates * kStates; ++i) Ls[i] = m_sQx[i];
  for (ZtSize i = 0; i < kStates; ++i) {
    m_x[i] = xs[index[i]];
    m_sx[i] = sxs[index[i]];
    for (ZtSize j = 0; j < kStates; ++j) m_sQx[i * kStates + j] = Ls[index[i] * kStates + index[j]];
  }
  return true;
}

double Zkf6State::baroHeightOf(double pressure) {
  return 44330.0 * (1.0 - std::pow(1.9738465334320257e-5 * pressure, 0.1901975534856));
}

bool Zkf6State::updateBaroHeight(double pressure) {
  if (!(pressure > 0.0) || !std::isfinite(pressure)) return false;
  baroHeight = baroHeightOf(pressure);
  return true;
}

bool Zkf6State::initializeFromMeasurement(const Zkf6Params& params, const ZkfInertialData& inertial,
                                          const Zkf6Aiding& aiding, const ZtVector& v) {
  const Vector& acc = inertial.acc;
  const Vector& mag = aiding.mag;
  if (!finite(acc) || !finite(mag) || !finite(inertial.gyr) || !finite(v)) return false;
  if (norm3(acc) < kMinLength || norm3(mag) < kMinLength) return false;
  Vector3 c;
  c.isVecCrossVec(acc, mag);
  if (norm3(c) < kMinSine * norm3(acc) * norm3(mag)) return false;

  computeOrientationFromAccMagXNorth(acc, mag, q_gs, params.declination * kDegToRad);
  magAvg.isRotateVecByQuat(mag, q_gs);
  x.isZero();
  gyrBias = params.storedGyrBias;
  for (ZtSize i = 0; i < 3; ++i) velocity[i] = v.data[i];
  lla0.isZero();
  baroBaseHeight[0] = baroBaseHeight[1] = 0.0;
  magVar = params.initialMagVar;
  sQx.isZero();
  sQx.setSubIdentity(floored(params.sdInitPos), 0, 0, 3, 3);
  sQx.setSubIdentity(floored(params.sdInitVel), 3, 3, 3, 3);
  sQx.setSubIdentity(floored(params.sdInitOrient), 12, 12, 3, 3);
  sQx.setSubIdentity(floored(params.sdInitGyrBias), 9, 9, 3, 3);
  sQx.setSubIdentity(floored(params.sdInitAccBias), 6, 6, 3, 3);
  // Diagonal: forward substitution is the exact solve.
  sx.isLeftDivideTriL(sQx, x);
  return true;
}

bool Zkf6State::isUsable() const {
  const double qq = q_gs.w * q_gs.w + q_gs.x * q_gs.x + q_gs.y * q_gs.y + q_gs.z * q_gs.z;
  if (!std::isfinite(qq) || std::fabs(qq - 1.0) > 2e-6) return false;
  const ZtVector* vectors[] = {&x, &sx, &magAvg, &magVar, &lla0, &posLatLongAlt};
  for (const ZtVector* v : vectors)
    if (!finite(*v)) return false;
  if (!std::isfinite(baroBaseHeight[0]) || !std::isfinite(baroBaseHeight[1]) || !std::isfinite(baroHeight))
    return false;
  for (ZtSize r = 0; r < kStates; ++r)
    for (ZtSize c = 0; c < kStates; ++c) {
      const double v = sQx(r, c);
      if (!std::isfinite(v) || (c > r && v != 0.0)) return false;
    }
  return true;
}

}  // namespace zelto
