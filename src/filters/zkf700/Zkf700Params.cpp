#include "filters/zkf700/Zkf700Params.h"

#include <cmath>
#include <string>

#include "errors/ZtException.h"
#include "filters/common/EstimationRoutines.h"
#include "filters/common/KtMk4_700HardwareParams.h"
#include "filters/common/ZkfUserParams.h"
#include "filters/zkf700/Zkf700ScenarioParams.h"
#include "math/geomag/EarthMagModel.h"

namespace zelto {

namespace {

constexpr double kDegToRad = 0.017453292519943295;

using P = Zkf700Params;

struct DoubleKey {
  const char* key;
  double P::*field;
};

// The doubles between "accDivMonThreshold" and "declinationAngleRad" and between "f_accBoost"
// and "gyrRangeDeg", in table order.
constexpr DoubleKey kFirstDoubles[] = {
    {"accDivMonThreshold", &P::accDivMonThreshold}, {"accClipBoost", &P::accClipBoost},
    {"accRange", &P::accRange},                     {"c_acc", &P::c_acc},
    {"c_baroAdaptation", &P::c_baroAdaptation},     {"c_magAvg", &P::c_magAvg},
    {"c_magDist", &P::c_magDist},                   {"c_magVar", &P::c_magVar},
    {"c_mag_max", &P::c_mag_max},                   {"c_vel", &P::c_vel},
    {"dp_boost", &P::dp_boost},                     {"p_mag_spat", &P::p_mag_spat},
    {"declinationAngleRad", &P::declinationAngleRad}};

struct BoolKey {
  const char* key;
  bool P::*field;
};

constexpr BoolKey kSwitches[] = {{"doAccUpdate", &P::doAccUpdate},
                                 {"doBaroUpdate", &P::doBaroUpdate},
                                 {"doGpsUpdate", &P::doGpsUpdate},
                                 {"doHolonomicConstraintUpdate", &P::doHolonomicConstraintUpdate},
                                 {"doMagUpdate", &P::doMagUpdate}};

constexpr DoubleKey kSecondDoubles[] = {{"f_accBoost", &P::f_accBoost},
                                        {"f_magVar", &P::f_magVar},
                                        {"f_norotThreshold", &P::f_norotThreshold},
                                        {"f_norotNoise", &P::f_norotNoise},
                                        {"sd_w_mag_temporal_min", &P::sd_w_mag_temporal_min},
                                        {"sd_w_mag_temporal_max", &P::sd_w_mag_temporal_max},
                                        {"gpsCoastingTime", &P::gpsCoastingTime},
                                        {"gpsOutageTimeThreshold", &P::gpsOutageTimeThreshold},
                                        {"updateLocalConstant", &P::updateLocalConstant},
                                        {"gpsPositionAccuracyThreshold", &P::gpsPositionAccuracyThreshold},
                                        {"gyrOorBoost", &P::gyrOorBoost},
                                        {"gyrRangeDeg", &P::gyrRangeDeg}};

// count(x): x + 0.5 truncated to a whole number; 0 for what is not a finite non-negative value.
uint64_t count(double x) {
  const double r = x + 0.5;
  if (!(r >= 0.0) || !std::isfinite(r) || r >= 1.8e19) return 0;
  return static_cast<uint64_t>(r);
}

// sqrt(scale x T / tau) x coeff; 0 when tau is 0 or below (or not a number): a bias without a
// time constant has no random-walk term.
double biasNoiseRoot(double scale, double T, double tau, double coeff) {
  if (!(tau > 0.0)) return 0.0;
  return std::sqrt(scale * T / tau) * coeff;
}

bool finite(const ZtMatrix& m) {
  for (ZtSize r = 0; r < m.rows; ++r)
    for (ZtSize c = 0; c < m.cols; ++c)
      if (!std::isfinite(m.data[r * m.stride + c])) return false;
  return true;
}

}  // namespace

Zkf700Params::Zkf700Params() : ZkfParams(new Zkf700FilterSteps), sQwBarometer(1, 1), baroMeasurementRow(1, 18) {
  RnMagUpdate.isIdentity();
  sQwAcc.isIdentity();
  sQwGyr.isIdentity();
  sQvMag.isIdentity();
  sQwAccBias.isIdentity();
  sQwBarometer(0, 0) = 1.0;
  sQwGyrBias.isIdentity();
  sQwHolonomic.isIdentity();
  initSpeedups();
}

Zkf700Params::Zkf700Params(const Zkf700Params& other) = default;

Zkf700Params& Zkf700Params::operator=(const Zkf700Params& other) = default;

Zkf700Params::~Zkf700Params() = default;

Zkf700FilterSteps* Zkf700Params::zkf700Steps() const { return dynamic_cast<Zkf700FilterSteps*>(filterSteps()); }

void Zkf700Params::initSpeedups() {
  baroMeasurementRow.isZero();
  baroMeasurementRow(0, 2) = 1.0;
  qNwuToLocal = Quaternion(0.5 * std::sqrt(2.0), 0.0, 0.0, 0.5 * std::sqrt(2.0));
  const double n = 2.0 / sampleTime;
  samplesInTwoSeconds = std::isfinite(n) && std::fabs(n) < 2147483647.0 ? static_cast<int32_t>(n) : 0;
}

void Zkf700Params::readFromFile(const SettingsFile& file, const std::string& prefix) {
  accDivMonCDecay = readDouble(file, prefix, "accDivMonCDecay");
  accDivMonSamples = readSetting(file, prefix, "accDivMonSamples").toUint32();
  accDivMonSamplesAboveThresholdPreset = readSetting(file, prefix, "accDivMonSamplesAboveThresholdPreset").toUint32();
  for (const DoubleKey& d : kFirstDoubles) this->*d.field = readDouble(file, prefix, d.key);
  for (const BoolKey& b : kSwitches) this->*b.field = readSetting(file, prefix, b.key).toBool();
  for (const DoubleKey& d : kSecondDoubles) this->*d.field = readDouble(file, prefix, d.key);
  readVector(file, prefix, "projectedMagEarth", projectedMagEarth);
  readMatrix(file, prefix, "RnMagUpdate", RnMagUpdate);
  sampleTime = readDouble(file, prefix, "sampleTime");
  sd_vAccLowPass = readDouble(file, prefix, "sd_vAccLowPass");
  readMatrix(file, prefix, "sQwAcc", sQwAcc);
  readMatrix(file, prefix, "sQwGyr", sQwGyr);
  readMatrix(file, prefix, "sQvMag", sQvMag);
  readMatrix(file, prefix, "sQwAccBias", sQwAccBias);
  readMatrix(file, prefix, "sQwBarometer", sQwBarometer);
  readMatrix(file, prefix, "sQwGyrBias", sQwGyrBias);
  readMatrix(file, prefix, "sQwHolonomic", sQwHolonomic);
  sQw_mag_spat = readDouble(file, prefix, "sQw_mag_spat");
  readVector(file, prefix, "storedGyrBias", storedGyrBias);
  readVector(file, prefix, "storedLatLongAlt", storedLatLongAlt);
  velocityHolonomic = readDouble(file, prefix, "velocityHolonomic");
  velocityZeroRotation = readDouble(file, prefix, "velocityZeroRotation");
  readVector(file, prefix, "n_s", n_s);
  if (file.hasSetting(prefix.c_str(), "nrMagCheck")) readVector(file, prefix, "nrMagCheck", nrMagCheck, 2);
  initialConditions.readFromFile(file, prefix);
  initSpeedups();
}

void Zkf700Params::writeToFile(SettingsFile& file, const std::string& prefix) const {
  writeSetting(file, prefix, "accDivMonCDecay", Variant(accDivMonCDecay));
  writeSetting(file, prefix, "accDivMonSamples", Variant(static_cast<unsigned int>(accDivMonSamples)));
  writeSetting(file, prefix, "accDivMonSamplesAboveThresholdPreset",
               Variant(static_cast<unsigned int>(accDivMonSamplesAboveThresholdPreset)));
  for (const DoubleKey& d : kFirstDoubles) writeSetting(file, prefix, d.key, Variant(this->*d.field));
  for (const BoolKey& b : kSwitches) writeSetting(file, prefix, b.key, Variant(this->*b.field));
  for (const DoubleKey& d : kSecondDoubles) {
    // The threshold goes before the local constant.
    if (d.field == &P::updateLocalConstant) continue;
    writeSetting(file, prefix, d.key, Variant(this->*d.field));
    if (d.field == &P::gpsPositionAccuracyThreshold)
      writeSetting(file, prefix, "updateLocalConstant", Variant(updateLocalConstant));
  }
  writeSetting(file, prefix, "projectedMagEarth", Variant(projectedMagEarth));
  writeSetting(file, prefix, "RnMagUpdate", Variant(RnMagUpdate));
  writeSetting(file, prefix, "sampleTime", Variant(sampleTime));
  writeSetting(file, prefix, "sd_vAccLowPass", Variant(sd_vAccLowPass));
  writeSetting(file, prefix, "sQwAcc", Variant(sQwAcc));
  writeSetting(file, prefix, "sQwGyr", Variant(sQwGyr));
  writeSetting(file, prefix, "sQvMag", Variant(sQvMag));
  writeSetting(file, prefix, "sQwAccBias", Variant(sQwAccBias));
  writeSetting(file, prefix, "sQwBarometer", Variant(sQwBarometer));
  writeSetting(file, prefix, "sQwGyrBias", Variant(sQwGyrBias));
  writeSetting(file, prefix, "sQwHolonomic", Variant(sQwHolonomic));
  writeSetting(file, prefix, "sQw_mag_spat", Variant(sQw_mag_spat));
  writeSetting(file, prefix, "storedGyrBias", Variant(storedGyrBias));
  writeSetting(file, prefix, "storedLatLongAlt", Variant(storedLatLongAlt));
  writeSetting(file, prefix, "velocityHolonomic", Variant(velocityHolonomic));
  writeSetting(file, prefix, "velocityZeroRotation", Variant(velocityZeroRotation));
  writeSetting(file, prefix, "n_s", Variant(n_s));
  writeVector(file, prefix, "nrMagCheck", nrMagCheck, 2);
  initialConditions.writeToFile(file, prefix);
}

void Zkf700Params::initialize(const Zkf700ScenarioParams& s, const KtMk4_700HardwareParams& h,
                              const ::ZkfUserParams& u, const Zkf700FilterSteps& steps) {
  const bool rateOk = std::isfinite(u.sampleRate) && u.sampleRate > 0.0;
  sampleTime = rateOk ? 1.0 / u.sampleRate : 0.0;
  const double T = sampleTime;
  const double rootT = std::sqrt(T);
  auto c = [T](double tau) {
    double a = 0.0, b = 0.0;
    getFirstOrderLowpassFilterCoefs(tau, 0.0, T, a, b);
    return a;
  };

  sQwAcc.isZero();
  sQwGyr.isZero();
  for (ZtSize i = 0; i < 3; ++i) {
    sQwAcc(i, i) = h.ndAcc[i] / rootT;
    sQwGyr(i, i) = h.ndGyr[i] / rootT * kDegToRad;
  }
  const double gyrBiasDeg = h.biasTauGyr[0] > 0.0 ? std::sqrt(3.0 * T) * h.ndGyr[0] / h.biasTauGyr[0] : 0.0;
  sQwGyrBias.isIdentity(gyrBiasDeg * kDegToRad);
  sQwAccBias.isIdentity(biasNoiseRoot(10.1115, T, h.biasTauAcc[0], h.biasCoeffAcc[0]));

  gyrRangeDeg = h.clipGyr;
  gyrOorBoost = s.f_gyr_clip;
  accRange = h.clipAcc;
  accClipBoost = s.f_acc_clip;
  doMagUpdate = (s.updateFlags & Zkf700ScenarioParams::kMagFieldUpdate) != 0;
  c_magAvg = c(s.tau_magavg);
  c_magVar = c(s.tau_magvar);
  f_magVar = s.f_magvar;
  dp_boost = s.dp_boost;
  p_mag_spat = s.p_mag_spat;
  sd_w_mag_temporal_min = s.f_mag_temporal_min * s.sd_v_mag;
  sd_w_mag_temporal_max = s.sd_v_mag * s.f_mag_temporal_max;
  c_vel = c(s.tau_vel);
  c_mag_max = c(s.tau_mag_max);
  sQw_mag_spat = s.sd_w_mag_spat;

  sQvMag.isZero();
  for (ZtSize i = 0; i < 3; ++i) sQvMag(i, i) = std::sqrt(h.sdMag[i] * h.sdMag[i] + s.sd_v_mag * s.sd_v_mag);

  nrMagCheck[0] = s.nrMagCheck[0];
  nrMagCheck[1] = s.nrMagCheck[1];
  gpsPositionAccuracyThreshold = s.gpsPositionAccuracyThreshold;
  doGpsUpdate = (s.updateFlags & Zkf700ScenarioParams::kGpsUpdate) != 0;
  gpsCoastingTime = s.gpsCoastingTime;
  c_baroAdaptation = s.c_baroadaptation;
  updateLocalConstant = s.gpsLocalConstant;
  gpsOutageTimeThreshold = s.gpsOutageThreshold;
  doBaroUpdate = (s.updateFlags & Zkf700ScenarioParams::kBarometerUpdate) != 0;

  sQwBarometer(0, 0) = h.sdBarometer == 0.0 ? 2.0 : h.sdBarometer;
  doHolonomicConstraintUpdate = (s.updateFlags & Zkf700ScenarioParams::kHolonomicUpdate) != 0;
  sQwHolonomic.isIdentity(s.sd_holonomic);
  velocityHolonomic = s.velocity_holonomic;
  velocityZeroRotation = s.velocity_zero_rotation;
  n_s = u.n_s_m;

  sd_vAccLowPass = s.sd_v_accLowPass;
  f_norotThreshold = s.f_norotThreshold;
  f_norotNoise = s.f_norotNoise;
  doAccUpdate = (s.updateFlags & Zkf700ScenarioParams::kAccUpdate) != 0;
  accDivMonThreshold = s.accDivMon_threshold;
  accDivMonSamples = count(s.accDivMon_time / T);
  accDivMonCDecay = c(s.accDivMon_tauDecay);
  f_accBoost = s.f_acc_boost;
  accDivMonSamplesAboveThresholdPreset = count(s.accDivMon_time_above_threshold / T);
  c_acc = c(s.tau_acc);
  storedGyrBias = u.storedGyrBias;
  initialConditions = s.initialConditions;

  storedLatLongAlt = u.storedLatLongAlt;
  latLongAltSanityCheck(storedLatLongAlt);

  // The geomagnetic model takes the altitude in kilometres.
  const double declinationDeg = estimateDeclination(u.storedYear, u.storedMonth, u.storedDay, storedLatLongAlt[0],
                                                    storedLatLongAlt[1], storedLatLongAlt[2] / 1000.0);
  declinationAngleRad = declinationDeg * kDegToRad;
  projectedMagEarth = Vector3(std::sin(declinationAngleRad), std::cos(declinationAngleRad), 0.0);
  RnMagUpdate.isZero();
  RnMagUpdate(0, 0) = 1.0;
  RnMagUpdate(1, 1) = 1.0;

  setFilterSteps(steps.duplicate());
  initSpeedups();

  if (const char* bad = firstUnusableValue())
    throw ZtException(256, std::string("Zkf700 parameters: ") + bad + " is not usable (" +
                               (rateOk ? "not finite" : "sample rate not positive") + ")");
}

const char* Zkf700Params::firstUnusableValue() const {
  if (!(std::isfinite(sampleTime) && sampleTime > 0.0)) return "sampleTime";
  const struct {
    const char* key;
    double value;
  } scalars[] = {{"accDivMonCDecay", accDivMonCDecay},
                 {"accDivMonThreshold", accDivMonThreshold},
                 {"accClipBoost", accClipBoost},
                 {"accRange", accRange},
                 {"c_acc", c_acc},
                 {"c_baroAdaptation", c_baroAdaptation},
                 {"c_magAvg", c_magAvg},
                 {"c_magVar", c_magVar},
                 {"c_mag_max", c_mag_max},
                 {"c_vel", c_vel},
                 {"dp_boost", dp_boost},
                 {"p_mag_spat", p_mag_spat},
                 {"declinationAngleRad", declinationAngleRad},
                 {"f_accBoost", f_accBoost},
                 {"f_magVar", f_magVar},
                 {"f_norotThreshold", f_norotThreshold},
                 {"f_norotNoise", f_norotNoise},
                 {"sd_w_mag_temporal_min", sd_w_mag_temporal_min},
                 {"sd_w_mag_temporal_max", sd_w_mag_temporal_max},
                 {"gyrOorBoost", gyrOorBoost},
                 {"gyrRangeDeg", gyrRangeDeg},
                 {"sd_vAccLowPass", sd_vAccLowPass},
                 {"sQw_mag_spat", sQw_mag_spat},
                 {"velocityHolonomic", velocityHolonomic},
                 {"velocityZeroRotation", velocityZeroRotation}};
  for (const auto& v : scalars)
    if (!std::isfinite(v.value)) return v.key;
  const struct {
    const char* key;
    const ZtMatrix* value;
  } matrices[] = {{"sQwAcc", &sQwAcc},         {"sQwGyr", &sQwGyr},         {"sQvMag", &sQvMag},
                  {"sQwAccBias", &sQwAccBias}, {"sQwBarometer", &sQwBarometer}, {"sQwGyrBias", &sQwGyrBias},
                  {"sQwHolonomic", &sQwHolonomic}, {"RnMagUpdate", &RnMagUpdate}};
  for (const auto& m : matrices)
    if (!finite(*m.value)) return m.key;
  const struct {
    const char* key;
    const ZtVector* value;
  } vectors[] = {{"projectedMagEarth", &projectedMagEarth},
                 {"storedGyrBias", &storedGyrBias},
                 {"n_s", &n_s},
                 {"sd_init_orient", &initialConditions.sd_init_orient}};
  for (const auto& v : vectors)
    for (ZtSize i = 0; i < v.value->size; ++i)
      if (!std::isfinite(v.value->data[i])) return v.key;
  const struct {
    const char* key;
    double value;
  } initial[] = {{"sd_init_acc", initialConditions.sd_init_acc},
                 {"sd_init_accBias", initialConditions.sd_init_accBias},
                 {"sd_init_mag", initialConditions.sd_init_mag},
                 {"sd_init_gyrBias", initialConditions.sd_init_gyrBias},
                 {"sd_init_magVar", initialConditions.sd_init_magVar},
                 {"sd_init_pos", initialConditions.sd_init_pos},
                 {"sd_init_vel", initialConditions.sd_init_vel}};
  for (const auto& v : initial)
    if (!std::isfinite(v.value)) return v.key;
  return nullptr;
}

}  // namespace zelto
