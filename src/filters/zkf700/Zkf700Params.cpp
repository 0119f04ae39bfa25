#include "filters/zkf700/Zkf700Params.h"

#include <array>
#include <cmath>
#include <utility>
#include <string>

#include "errors/ZtException.h"
#include "filters/common/EstimationRoutines.h"
#include "filters/common/InputCast.h"
#include "filters/common/KtMk4_700HardwareParams.h"
#include "filters/common/ZkfUserParams.h"
#include "filters/zkf700/Zkf700ScenarioParams.h"
#include "math/geomag/EarthMagModel.h"

namespace zelto {

namespace {

constexpr double kDegToRad = 0.017453292519943295;

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

Zkf700FilterSteps* Zkf700Params::zkf700Steps() const { return inputCast<Zkf700FilterSteps>(filterSteps()); }

void Zkf700Params::initSpeedups() {
  baroMeasurementRow.isZero();
  baroMeasurementRow(0, 2) = 1.0;
  qNwuToLocal = Quaternion(0.5 * std::sqrt(2.0), 0.0, 0.0, 0.5 * std::sqrt(2.0));
  const double n = 2.0 / sampleTime;
  samplesInTwoSeconds = std::isfinite(n) && std::fabs(n) < 2147483647.0 ? static_cast<int32_t>(n) : 0;
}

std::array<SettingField, Zkf700Params::kFieldCount> Zkf700Params::fields() {
  using F = SettingField;
  return {F::real("accDivMonCDecay", accDivMonCDecay),
          F::uint64Low32("accDivMonSamples", accDivMonSamples),
          F::uint64Low32("accDivMonSamplesAboveThresholdPreset", accDivMonSamplesAboveThresholdPreset),
          F::real("accDivMonThreshold", accDivMonThreshold),
          F::real("accClipBoost", accClipBoost),
          F::real("accRange", accRange),
          F::real("c_acc", c_acc),
          F::real("c_baroAdaptation", c_baroAdaptation),
          F::real("c_magAvg", c_magAvg),
          F::real("c_magDist", c_magDist),
          F::real("c_magVar", c_magVar),
          F::real("c_mag_max", c_mag_max),
          F::real("c_vel", c_vel),
          F::real("dp_boost", dp_boost),
          F::real("p_mag_spat", p_mag_spat),
          F::real("declinationAngleRad", declinationAngleRad),
          F::flag("doAccUpdate", doAccUpdate),
          F::flag("doBaroUpdate", doBaroUpdate),
          F::flag("doGpsUpdate", doGpsUpdate),
          F::flag("doHolonomicConstraintUpdate", doHolonomicConstraintUpdate),
          F::flag("doMagUpdate", doMagUpdate),
          F::real("f_accBoost", f_accBoost),
          F::real("f_magVar", f_magVar),
          F::real("f_norotThreshold", f_norotThreshold),
          F::real("f_norotNoise", f_norotNoise),
          F::real("sd_w_mag_temporal_min", sd_w_mag_temporal_min),
          F::real("sd_w_mag_temporal_max", sd_w_mag_temporal_max),
          F::real("gpsCoastingTime", gpsCoastingTime),
          F::real("gpsOutageTimeThreshold", gpsOutageTimeThreshold),
          F::real("gpsPositionAccuracyThreshold", gpsPositionAccuracyThreshold),
          F::real("updateLocalConstant", updateLocalConstant),
          F::real("gyrOorBoost", gyrOorBoost),
          F::real("gyrRangeDeg", gyrRangeDeg),
          F::vector("projectedMagEarth", projectedMagEarth),
          F::matrix("RnMagUpdate", RnMagUpdate),
          F::real("sampleTime", sampleTime),
          F::real("sd_vAccLowPass", sd_vAccLowPass),
          F::matrix("sQwAcc", sQwAcc),
          F::matrix("sQwGyr", sQwGyr),
          F::matrix("sQvMag", sQvMag),
          F::matrix("sQwAccBias", sQwAccBias),
          F::matrix("sQwBarometer", sQwBarometer),
          F::matrix("sQwGyrBias", sQwGyrBias),
          F::matrix("sQwHolonomic", sQwHolonomic),
          F::real("sQw_mag_spat", sQw_mag_spat),
          F::vector("storedGyrBias", storedGyrBias),
          F::vector("storedLatLongAlt", storedLatLongAlt),
          F::real("velocityHolonomic", velocityHolonomic),
          F::real("velocityZeroRotation", velocityZeroRotation),
          F::vector("n_s", n_s)};
}

void Zkf700Params::readFromFile(const SettingsFile& file, const std::string& prefix) {
  // The reader takes the local constant before the accuracy threshold.
  auto table = fields();
  std::swap(table[kAccuracyThresholdField], table[kAccuracyThresholdField + 1]);
  readFields(file, prefix, table.data(), table.size());
  if (file.hasSetting(prefix.c_str(), "nrMagCheck")) readVector(file, prefix, "nrMagCheck", nrMagCheck, 2);
  initialConditions.readFromFile(file, prefix);
  initSpeedups();
}

void Zkf700Params::writeToFile(SettingsFile& file, const std::string& prefix) const {
  const auto table = const_cast<Zkf700Params*>(this)->fields();
  writeFields(file, prefix, table.data(), table.size());
  writeVector(file, prefix, "nrMagCheck", nrMagCheck, 2);
  initialConditions.writeToFile(file, prefix);
}

void Zkf700Params::initialize(const Zkf700ScenarioParams& s, const KtMk4_700HardwareParams& h,
                              const ::ZkfUserParams& u, const Zkf700FilterSteps& steps) {
  // A sensor without noise is no sensor: with it the filter trusts the integrated rates without
  // bound and its heading runs off unseen. Refused before anything changes.
  for (ZtSize i = 0; i < 3; ++i)
    for (const auto& [name, density] : {std::pair<const char*, double>{"ndAcc", h.ndAcc[i]}, {"ndGyr", h.ndGyr[i]}})
      if (!(std::isfinite(density) && density > 0.0))
        throw ZtException(256, std::string("Zkf700 parameters: noise density ") + name +
                                   " is not usable (not positive and finite)");
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
