#include "filters/zkf700/Zkf700State.h"

#include <cmath>

#include "filters/common/EstimationRoutines.h"
#include "filters/common/LowerTriangulariseRows.h"
#include "filters/zkf700/Zkf700Params.h"
#include "filters/zkf700/Zkf700SensorData.h"
#include "math/Matrix3x3.h"

namespace zelto {

namespace {

// Shortest dv that still gives an up direction (m/s over one sample).
constexpr double kMinDv = 1e-12;
// |unit(m) x up| below which the magnetometer gives no heading.
constexpr double kMinMagSine = 1e-6;
// |y x up| below which the sensor's y axis is taken as vertical (sin 6 degrees): the heading
// then comes from the z axis (see initializeFromMeasurement).
constexpr double kMinAxisSine = 0.1;
// Initial deviations are floored here so that sQx stays invertible.
constexpr double kMinDeviation = 1e-9;

double floored(double sd) { return sd > kMinDeviation ? sd : kMinDeviation; }

// Steady-state deviation of a horizontal field component under the pull toward the earth field
// (factor c_mag_max per sample) and the smallest temporal process noise; never above
// sd_init_mag, and sd_init_mag itself when the parameters give no finite spread.
double startFieldSpread(const zelto::Zkf700Params& p) {
  const double c = p.c_mag_max, sdMag = p.initialConditions.sd_init_mag;
  const double spread = p.sd_w_mag_temporal_min / std::sqrt(1.0 - c * c);
  if (!(spread > 0.0) || !std::isfinite(spread)) return sdMag;
  return spread < sdMag ? spread : sdMag;
}

bool finite3(const ZtVector& v) {
  return std::isfinite(v.data[0]) && std::isfinite(v.data[1]) && std::isfinite(v.data[2]);
}

void cross(const double* a, const double* b, double* out) {
  out[0] = a[1] * b[2] - a[2] * b[1];
  out[1] = a[2] * b[0] - a[0] * b[2];
  out[2] = a[0] * b[1] - a[1] * b[0];
}

double norm3(const double* a) { return std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]); }

}  // namespace

Zkf700State::Zkf700State()
    : m_x(kStates, m_xData, 0),
      m_xPos(3, m_xData, 0),
      m_xVel(3, m_xData + 3, 0),
      m_xMag(3, m_xData + 6, 0),
      m_xAccBias(3, m_xData + 6, 0),
      m_xGyrBias(3, m_xData + 9, 0),
      m_xAcc(3, m_xData + 12, 0),
      m_xOrient(3, m_xData + 15, 0),
      m_sQx(kStates, kStates, kStates, m_sQxData, 0),
      m_sx(kStates, m_sxData, 0),
      m_baseheightView(2, barometer_baseheight, 0) {
  m_sQx.isIdentity();
}

Zkf700State::Zkf700State(const Zkf700State& other) : Zkf700State() { *this = other; }

Zkf700State& Zkf700State::operator=(const Zkf700State& o) {
  if (&o == this) return *this;
  for (ZtSize i = 0; i < kStates; ++i) {
    m_xData[i] = o.m_xData[i];
    m_sxData[i] = o.m_sxData[i];
  }
  for (ZtSize i = 0; i < kStates * kStates; ++i) m_sQxData[i] = o.m_sQxData[i];
  g_l = o.g_l;
  firstIteration = o.firstIteration;
  acc_div = o.acc_div;
  mag_avg = o.mag_avg;
  mag_var = o.mag_var;
  NR_magCounter = o.NR_magCounter;
  v_l_m = o.v_l_m;
  m_q_ls = o.m_q_ls;
  gpsOutage = o.gpsOutage;
  firstGPS = o.firstGPS;
  zruRunning = o.zruRunning;
  cZruRunning = o.cZruRunning;
  zruAborted = o.zruAborted;
  zruSamplesRejected = o.zruSamplesRejected;
  zruSamplesToProcess = o.zruSamplesToProcess;
  cZruSamplesBelowThreshold = o.cZruSamplesBelowThreshold;
  accDivMon_samples_to_ignore = o.accDivMon_samples_to_ignore;
  accDivMonSamplesAboveThreshold = o.accDivMonSamplesAboveThreshold;
  validAge = o.validAge;
  lastAiding = o.lastAiding;
  lastKnownGpsTime = o.lastKnownGpsTime;
  firstBarometer = o.firstBarometer;
  barometer_baseheight[0] = o.barometer_baseheight[0];
  barometer_baseheight[1] = o.barometer_baseheight[1];
  coastingGps = o.coastingGps;
  lat_long_alt_zero = o.lat_long_alt_zero;
  lat_long_alt = o.lat_long_alt;
  filterMode = o.filterMode;
  return *this;
}

Zkf700State::~Zkf700State() = default;

std::array<SettingField, Zkf700State::kFieldCount> Zkf700State::fields() {
  using F = SettingField;
  return {F::vector("x", m_x),
          F::vector("g_l", g_l),
          F::flag("firstIteration", firstIteration),
          F::flag("firstBarometer", firstBarometer),
          F::vector("acc_div", acc_div),
          F::vector("mag_var", mag_var),
          F::vector("mag_avg", mag_avg),
          F::int32("NR_magCounter", NR_magCounter),
          F::vector("v_l_m", v_l_m),
          F::matrix("sQx", m_sQx),
          F::vector("sx", m_sx),
          F::quaternion("q_ls", m_q_ls),
          F::uint32("accDivMonSamplesAboveThreshold", accDivMonSamplesAboveThreshold),
          F::flag("gpsOutage", gpsOutage),
          F::flag("firstGPS", firstGPS),
          F::flag("zruRunning", zruRunning),
          F::flag("cZruRunning", cZruRunning),
          F::flag("zruAborted", zruAborted),
          F::flag("zruSamplesRejected", zruSamplesRejected),
          F::uint32("zruSamplesToProcess", zruSamplesToProcess),
          F::uint32("cZruSamplesBelowThreshold", cZruSamplesBelowThreshold),
          F::uint32("accDivMon_samples_to_ignore", accDivMon_samples_to_ignore),
          F::uint32("validAge", validAge),
          F::vector("barometer_baseheight", m_baseheightView),
          F::real("coastingGps", coastingGps),
          F::uint32("filterMode", filterMode),
          F::vector("lat_long_alt", lat_long_alt),
          F::vector("lat_long_alt_zero", lat_long_alt_zero)};
}

void Zkf700State::readFromFile(const SettingsFile& file, const std::string& prefix) {
  // The reader's order: "v_l_m" after the divergence counter, the two positions before
  // "validAge". The baseline must hold both its values.
  static constexpr size_t kReadOrder[kFieldCount] = {0,  1,  2,  3,  4,  5,  6,  7,  9,  10, 11, 12, 8,  13,
                                                     14, 15, 16, 17, 18, 19, 20, 21, 27, 26, 22, 23, 24, 25};
  const auto written = fields();
  std::array<SettingField, kFieldCount> table = written;
  for (size_t i = 0; i < kFieldCount; ++i) table[i] = written[kReadOrder[i]];
  readFields(file, prefix, table.data(), table.size());
  lastAiding.readFromFile(file, prefix + "lastAiding.");
  lastKnownGpsTime =
      static_cast<int64_t>(std::trunc(readSetting(file, prefix, "lastKnownGpsTime").toMathValue() * 1000.0));
}

void Zkf700State::writeToFile(SettingsFile& file, const std::string& prefix) const {
  const auto table = const_cast<Zkf700State*>(this)->fields();
  writeFields(file, prefix, table.data(), table.size());
  lastAiding.writeToFile(file, prefix + "lastAiding.");
  writeSetting(file, prefix, "lastKnownGpsTime", Variant(static_cast<double>(lastKnownGpsTime) / 1000.0));
}

bool Zkf700State::initializeFromMeasurement(const Zkf700Params& params, const Zkf700SensorData& sensor,
                                            const Zkf700Aiding& aiding, double /*dt*/, Vector& up) {
  const bool magOn = params.doMagUpdate;
  double m[3] = {0.0, 1.0, 0.0};
  if (magOn) {
    if (!aiding.magValid || !finite3(aiding.mag)) return false;
    for (int i = 0; i < 3; ++i) m[i] = aiding.mag[i];
  }
  if (!finite3(sensor.dv)) return false;
  double u[3] = {sensor.dv[0], sensor.dv[1], sensor.dv[2]};
  const double dvLength = norm3(u);
  if (!(dvLength > kMinDv)) return false;
  for (double& v : u) v /= dvLength;
  const double mLength = norm3(m);
  if (!(mLength > 0.0)) return false;
  for (double& v : m) v /= mLength;

  double e[3];
  cross(m, u, e);
  double eLength = norm3(e);
  if (magOn) {
    if (!(eLength > kMinMagSine)) return false;
  } else if (!(eLength > kMinAxisSine)) {
    // The y axis is (nearly) vertical: the heading follows the z axis, pointed so that it
    // continues the y axis through the pitch that raised y: a turn about x carrying y up
    // carries -z to the horizontal direction y had.
    const double z[3] = {0.0, 0.0, u[1] > 0.0 ? -1.0 : 1.0};
    cross(z, u, e);
    eLength = norm3(e);
  }
  for (double& v : e) v /= eLength;
  double n[3];
  cross(u, e, n);

  Matrix3x3 R;
  for (ZtSize c = 0; c < 3; ++c) {
    R(0, c) = e[c];
    R(1, c) = n[c];
    R(2, c) = u[c];
  }
  if (magOn) {
    Matrix3x3 Rz, turned;
    Rz.isRotateZ(-params.declinationAngleRad);
    turned.isMatMulMat(Rz, R);
    R = turned;
  }
  m_q_ls.isRmat(R);
  m_q_ls.isNormalizeSelf();
  for (ZtSize i = 0; i < 3 && i < up.size; ++i) up[i] = u[i];

  m_x.isZero();
  m_xGyrBias = params.storedGyrBias;
  if (magOn) m_xMag.isRotateVecByQuat(aiding.mag, m_q_ls);

  const Zkf700InitialConditions& ic = params.initialConditions;
  // The horizontal field starts as the earth field's direction (the heading was aligned to it),
  // so its deviation from that direction is the spread the pull keeps in steady state, not
  // sd_init_mag: with the wider start heading and field could turn together unseen by the
  // magnetometer until the pull (its 100 s) brought them back, and any small push on the heading
  // (a tilt error read through an inclined field, a GNSS correction through the correlations)
  // stayed there as a wrong heading with a wrong field.
  const double horizontalField = magOn ? startFieldSpread(params) : ic.sd_init_accBias;
  const double diagonal[kStates] = {
      ic.sd_init_pos,       ic.sd_init_pos,       ic.sd_init_pos,       ic.sd_init_vel,       ic.sd_init_vel,
      ic.sd_init_vel,       horizontalField,      horizontalField,
      magOn ? ic.sd_init_mag : ic.sd_init_accBias,      ic.sd_init_gyrBias,   ic.sd_init_gyrBias,   ic.sd_init_gyrBias,
      ic.sd_init_acc,       ic.sd_init_acc,       ic.sd_init_acc,       ic.sd_init_orient[0], ic.sd_init_orient[1],
      ic.sd_init_orient[2]};
  m_sQx.isZero();
  for (ZtSize i = 0; i < kStates; ++i) m_sQx(i, i) = floored(diagonal[i]);
  // The orientation deviations are those of the local axes: the accelerometer gives the tilt
  // about east and north, the magnetometer (or the y axis) the heading about up, however the
  // sensor is mounted. Read per sensor axis, a tilted sensor's wide heading deviation would
  // land on the tilt, and the magnetometer, reading the tilt through the vertical field, would
  // then take its heading as that uncertain too. The orientation error is a sensor-frame
  // rotation, so its block is the root of R^T diag(sd)^2 R.
  double A[9];
  for (ZtSize a = 0; a < 3; ++a)
    for (ZtSize k = 0; k < 3; ++k) A[3 * a + k] = R(k, a) * floored(ic.sd_init_orient[k]);
  lowerTriangulariseRows(A, 3, 3, 3, 3, nullptr);
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c <= r; ++c) m_sQx(15 + r, 15 + c) = A[3 * r + c];
  // sx solved in both branches, so that x = sQx sx holds from the start.
  m_sx.isLeftDivideTriL(m_sQx, m_x);

  for (ZtSize i = 0; i < 3; ++i) mag_var[i] = ic.sd_init_magVar;
  if (magOn)
    mag_avg = m_xMag;
  else
    mag_avg = Vector3(0.0, 1.0, 0.0);
  NR_magCounter = 0;

  firstGPS = true;
  gpsOutage = zruRunning = cZruRunning = zruAborted = zruSamplesRejected = false;
  zruSamplesToProcess = cZruSamplesBelowThreshold = accDivMon_samples_to_ignore = 0;
  coastingGps = params.gpsCoastingTime;
  validAge = params.samplesInTwoSeconds > 0 ? static_cast<uint32_t>(params.samplesInTwoSeconds) : 0;

  barometer_baseheight[0] = barometer_baseheight[1] = 0.0;
  lastAiding = aiding;
  lastKnownGpsTime = 0;
  filterMode = 0;
  acc_div.isZero();
  double g = 0.0;
  gravityIgf1980(params.storedLatLongAlt, g);
  g_l = Vector3(0.0, 0.0, g);
  v_l_m.isZero();
  firstBarometer = true;
  return true;
}

void Zkf700State::permute(const Vector& p) {
  double x[kStates], sx[kStates], s[kStates * kStates];
  ZtSize idx[kStates];
  for (ZtSize i = 0; i < kStates; ++i) {
    const double v = i < p.size ? p[i] : static_cast<double>(i);
    idx[i] = v >= 0.0 && v < static_cast<double>(kStates) ? static_cast<ZtSize>(v) : i;
    x[i] = m_xData[i];
    sx[i] = m_sxData[i];
  }
  for (ZtSize i = 0; i < kStates * kStates; ++i) s[i] = m_sQxData[i];
  for (ZtSize i = 0; i < kStates; ++i) {
    m_xData[i] = x[idx[i]];
    m_sxData[i] = sx[idx[i]];
    for (ZtSize j = 0; j < kStates; ++j) m_sQxData[i * kStates + j] = s[idx[i] * kStates + idx[j]];
  }
}

void Zkf700State::startNoRotation(const Zkf700Params&, const Vector&, double) {}

}  // namespace zelto
