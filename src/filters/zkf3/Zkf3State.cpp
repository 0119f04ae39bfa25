#include "filters/zkf3/Zkf3State.h"

#include <cmath>

#include "errors/ZtException.h"
#include "filters/zkf3/Zkf3Aiding.h"
#include "filters/zkf3/Zkf3Params.h"
#include "math/Matrix3x3.h"

namespace zelto {

namespace {

// Shortest accelerometer and magnetometer vectors, and the sine of the smallest angle between
// them, from which an orientation is still formed.
constexpr double kMinLength = 1e-9;
constexpr double kMinSine = 1e-6;
// Initial standard deviations are floored here so that sQx stays invertible.
constexpr double kMinDeviation = 1e-9;

double floored(double sd) { return sd > kMinDeviation ? sd : kMinDeviation; }

bool finite(const ZtVector& v) {
  for (ZtSize i = 0; i < v.size; ++i)
    if (!std::isfinite(v.data[i])) return false;
  return true;
}

}  // namespace

Zkf3State::Zkf3State()
    : x(kStates, m_x, 0),
      gyrBias(3, m_x + 3, 0),
      magRef(3, m_x + 6, 0),
      orientError(3, m_x + 9, 0),
      sx(kStates, m_sx, 0),
      sQx(kStates, kStates, kStates, m_sQx, 0) {
  sQx.isIdentity();
}

Zkf3State::Zkf3State(const Zkf3State& other) : Zkf3State() { copyFrom(other); }

Zkf3State& Zkf3State::operator=(const Zkf3State& other) {
  copyFrom(other);
  return *this;
}

Zkf3State::~Zkf3State() = default;

void Zkf3State::copyFrom(const Zkf3State& o) {
  if (&o == this) return;
  q_gs = o.q_gs;
  for (ZtSize i = 0; i < kStates; ++i) {
    m_x[i] = o.m_x[i];
    m_sx[i] = o.m_sx[i];
  }
  for (ZtSize i = 0; i < kStates * kStates; ++i) m_sQx[i] = o.m_sQx[i];
  velocity_g = o.velocity_g;
  magVar = o.magVar;
  magAvg = o.magAvg;
  acceleration_g = o.acceleration_g;
  dynGravity = o.dynGravity;
  we_g = o.we_g;
  sslacc = o.sslacc;
  sslmag = o.sslmag;
  firstIteration = o.firstIteration;
  running = o.running;
  aborted = o.aborted;
  rejected = o.rejected;
  gbes = o.gbes;
}

void Zkf3State::readFromFile(const SettingsFile& file, const std::string& prefix) {
  readMatrix(file, prefix, "sQx", sQx);
  readVector(file, prefix, "sx", sx);
  readQuaternion(file, prefix, "q_gs", q_gs);
  readVector(file, prefix, "x", x);
  readVector(file, prefix, "velocity_g", velocity_g);
  readVector(file, prefix, "magVar", magVar);
  readVector(file, prefix, "magAvg", magAvg);
  try {
    readVector(file, prefix, "acceleration_g", acceleration_g);
  } catch (const ZtException&) {
    acceleration_g.isZero();
  }
  readVector(file, prefix, "dynGravity", dynGravity);
  readVector(file, prefix, "we_g", we_g);
  sslacc = static_cast<uint8_t>(readSetting(file, prefix, "sslacc").toInt32());
  sslmag = static_cast<uint8_t>(readSetting(file, prefix, "sslmag").toInt32());
  firstIteration = readSetting(file, prefix, "firstIteration").toBool();
  running = aborted = rejected = false;
  gbes = 0;
  gbes = static_cast<uint16_t>(readSetting(file, prefix, "NoRotationStatus.gbes").toInt32());
  aborted = readSetting(file, prefix, "NoRotationStatus.aborted").toBool();
  running = readSetting(file, prefix, "NoRotationStatus.running").toBool();
  rejected = readSetting(file, prefix, "NoRotationStatus.rejected").toBool();
}

void Zkf3State::writeToFile(SettingsFile& file, const std::string& prefix) const {
  writeSetting(file, prefix, "sQx", Variant(sQx));
  writeSetting(file, prefix, "sx", Variant(sx));
  writeSetting(file, prefix, "q_gs", Variant(q_gs));
  writeSetting(file, prefix, "x", Variant(x));
  writeSetting(file, prefix, "velocity_g", Variant(velocity_g));
  writeSetting(file, prefix, "magVar", Variant(magVar));
  writeSetting(file, prefix, "magAvg", Variant(magAvg));
  writeSetting(file, prefix, "acceleration_g", Variant(acceleration_g));
  writeSetting(file, prefix, "dynGravity", Variant(dynGravity));
  writeSetting(file, prefix, "we_g", Variant(we_g));
  writeSetting(file, prefix, "sslacc", Variant(static_cast<unsigned int>(sslacc)));
  writeSetting(file, prefix, "sslmag", Variant(static_cast<unsigned int>(sslmag)));
  writeSetting(file, prefix, "firstIteration", Variant(firstIteration));
  writeSetting(file, prefix, "NoRotationStatus.gbes", Variant(static_cast<unsigned int>(gbes)));
  writeSetting(file, prefix, "NoRotationStatus.aborted", Variant(aborted));
  writeSetting(file, prefix, "NoRotationStatus.running", Variant(running));
  writeSetting(file, prefix, "NoRotationStatus.rejected", Variant(rejected));
}

void Zkf3State::permute(const Vector& p) {
  const Vector xs(x), sxs(sx);
  const Matrix sQxs(sQx);
  x.isPermutation(xs, p);
  sx.isPermutation(sxs, p);
  sQx.isPermutation(sQxs, p);
}

bool Zkf3State::initializeFromMeasurement(const Zkf3Params& params, const ZkfInertialData& inertial,
                                          const Zkf3Aiding& aiding, Vector& up) {
  const Vector& acc = inertial.acc;
  const Vector& mag = aiding.mag;
  if (!finite(acc) || !finite(mag) || !finite(inertial.gyr)) return false;
  Vector3 z, n, y, xg;
  if (z.isNormalizeVec(acc) < kMinLength || n.isNormalizeVec(mag) < kMinLength) return false;
  y.isVecCrossVec(z, n);
  if (y.isNormalizeVec(y) < kMinSine) return false;
  xg.isVecCrossVec(y, z);

  Matrix3x3 Cg;
  Cg.setRow(xg, 0);
  Cg.setRow(y, 1);
  Cg.setRow(z, 2);
  up = z;
  q_gs.isRmat(Cg);
  q_gs.isNormalizeSelf();

  magVar = params.sd_init_magvar;
  x.isZero();
  magRef.isMatMulVec(Cg, mag);
  magAvg = magRef;

  sQx.isZero();
  sQx.setSubIdentity(floored(params.initialConditions.sd_init_orient), 9, 9, 3, 3);
  sQx.setSubIdentity(floored(params.sd_init_acc), 0, 0, 3, 3);

  running = aborted = rejected = false;
  gbes = 0;
  gyrBias = params.storedGyrBias;
  if (params.enabledInitialGyroBiasUpdate) {
    startNoRotation(params, inertial, 2.0);
    if (gbes != 0) gyrBias = inertial.gyr;
  }
  sQx.setSubIdentity(gbes != 0 ? floored(2.0 * params.sQvGyr(0, 0)) : floored(params.sd_init_gyrbias), 3, 3, 3, 3);
  sQx.setSubIdentity(floored(params.sd_init_mag), 6, 6, 3, 3);
  // sQx is diagonal here: forward substitution is the exact solve.
  sx.isLeftDivideTriL(sQx, x);

  sslacc = 1;
  sslmag = 0;
  acceleration_g.isZero();
  velocity_g.isZero();
  we_g = params.angVelEarth_g;
  return true;
}

void Zkf3State::startNoRotation(const Zkf3Params& params, const ZkfInertialData& inertial, double seconds) {
  running = aborted = rejected = false;
  const double g2 = inertial.gyr.data[0] * inertial.gyr.data[0] + inertial.gyr.data[1] * inertial.gyr.data[1] +
                    inertial.gyr.data[2] * inertial.gyr.data[2];
  aborted = !(g2 < kNoRotationLimit2);
  gbes = 0;
  if (aborted || !params.isUsable()) return;
  const double count = std::floor(seconds / params.sampleTime + 0.25);
  gbes = count >= 65535.0 ? 65535 : count > 0.0 ? static_cast<uint16_t>(count) : 0;
}

bool Zkf3State::isUsable() const {
  const double qq = q_gs.w * q_gs.w + q_gs.x * q_gs.x + q_gs.y * q_gs.y + q_gs.z * q_gs.z;
  if (!std::isfinite(qq) || std::fabs(qq - 1.0) > 2e-6) return false;
  const ZtVector* vectors[] = {&x, &sx, &velocity_g, &magVar, &magAvg, &acceleration_g, &dynGravity, &we_g};
  for (const ZtVector* v : vectors)
    if (!finite(*v)) return false;
  for (ZtSize r = 0; r < kStates; ++r)
    for (ZtSize c = 0; c < kStates; ++c) {
      const double v = sQx(r, c);
      if (!std::isfinite(v) || (c > r && v != 0.0)) return false;
    }
  return true;
}

}  // namespace zelto
