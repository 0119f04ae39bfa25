// The Zkf6 measurement updates: the square-root array update, the measurement models against
// exact measurements of a known truth (the sign of each orientation block, the lever arm), the
// gates and switches, and the refusal of measurements that cannot be used.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "Zkf6TestTuning.h"
#include "filters/common/EstimationRoutines.h"
#include "filters/zkf6/MeasurementUpdateZkf6Fw.h"

using namespace zkf6test;
using zelto::Matrix;
using zelto::Vector;
using zelto::Zkf6Filter;
using zelto::Zkf6State;

namespace {

constexpr double kZkf6UpdatesNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Zkf6ArrayUpdate, OneRowHalvesTheVarianceAndSkipChangesNothing) {
  double sxd[15] = {}, Ld[225] = {}, rd[15] = {}, zd[1] = {3.0}, Hd[15] = {}, Rd[1] = {1.0};
  Vector sx(15, sxd, 0), r(15, rd, 0), z(1, zd, 0);
  Matrix L(15, 15, 15, Ld, 0), H(1, 15, 15, Hd, 0), Rs(1, 1, 1, Rd, 0);
  L.isIdentity();
  Hd[4] = 1.0;
  ASSERT_TRUE(zelto::doMeasurementUpdateSquareRootZkf6_fw(1, sx, L, r, z, H, Rs, 0));
  double xd[15];
  Vector x(15, xd, 0);
  x.isMatTriLMulVec(L, sx);
  for (int i = 0; i < 15; ++i) {
    EXPECT_NEAR(xd[i], i == 4 ? 1.5 : 0.0, 1e-15);
    for (int j = 0; j < 15; ++j) EXPECT_NEAR(L(i, j) * L(i, j), i == j ? (i == 4 ? 0.5 : 1.0) : 0.0, 1e-15);
  }
  EXPECT_NEAR(rd[0], 3.0 / std::sqrt(2.0), 1e-14);  // whitened innovation

  // A dense root and three rows; the last six columns of H zero, so a skip of 6 gives the same.
  double L2d[225], sx2d[15], H3d[45], R3d[9] = {0.5, 0, 0, 0, 0.7, 0, 0, 0, 0.9}, z3d[3] = {0.3, -0.2, 1.1};
  for (int i = 0; i < 15; ++i) {
    sx2d[i] = 0.1 * i - 0.4;
    for (int j = 0; j < 15; ++j) L2d[i * 15 + j] = j <= i ? 1.0 + 0.1 * i - 0.03 * j : 0.0;
  }
  for (int i = 0; i < 45; ++i) H3d[i] = (i % 15) < 9 ? std::sin(1.0 + i) : 0.0;
  double La[225], Lb[225], sxa[15], sxb[15], ra[15], rb[15];
  std::copy(L2d, L2d + 225, La);
  std::copy(L2d, L2d + 225, Lb);
  std::copy(sx2d, sx2d + 15, sxa);
  std::copy(sx2d, sx2d + 15, sxb);
  Matrix H3(3, 15, 15, H3d, 0), R3(3, 3, 3, R3d, 0), LA(15, 15, 15, La, 0), LB(15, 15, 15, Lb, 0);
  Vector z3(3, z3d, 0), SA(15, sxa, 0), SB(15, sxb, 0), RA(15, ra, 0), RB(15, rb, 0);
  ASSERT_TRUE(zelto::doMeasurementUpdateSquareRootZkf6_fw(3, SA, LA, RA, z3, H3, R3, 0));
  ASSERT_TRUE(zelto::doMeasurementUpdateSquareRootZkf6_fw(3, SB, LB, RB, z3, H3, R3, 6));
  // Against the covariance form.
  Eigen::Matrix<double, 15, 15> L0 = Eigen::Map<Eigen::Matrix<double, 15, 15, Eigen::RowMajor>>(L2d);
  Eigen::Matrix<double, 3, 15> He = Eigen::Map<Eigen::Matrix<double, 3, 15, Eigen::RowMajor>>(H3d);
  const Eigen::Matrix<double, 15, 15> P = L0 * L0.transpose();
  const Eigen::Matrix<double, 15, 1> x0 = L0 * Eigen::Map<Eigen::Matrix<double, 15, 1>>(sx2d);
  const Eigen::Matrix3d Re = Eigen::Vector3d(0.25, 0.49, 0.81).asDiagonal();
  const Eigen::Matrix<double, 15, 3> K = P * He.transpose() * (He * P * He.transpose() + Re).inverse();
  const Eigen::Matrix<double, 15, 1> x1 = x0 + K * (Eigen::Map<Eigen::Vector3d>(z3d) - He * x0);
  const Eigen::Matrix<double, 15, 15> P1 = P - K * He * P;
  for (double* Lr : {La, Lb}) {
    const Eigen::Matrix<double, 15, 15> Ln = Eigen::Map<Eigen::Matrix<double, 15, 15, Eigen::RowMajor>>(Lr);
    EXPECT_LT((Ln * Ln.transpose() - P1).cwiseAbs().maxCoeff(), 1e-12 * P.cwiseAbs().maxCoeff());
    EXPECT_LT((Ln.triangularView<Eigen::StrictlyUpper>().toDenseMatrix()).cwiseAbs().maxCoeff(), 1e-300);
  }
  const Eigen::Matrix<double, 15, 15> LnA = Eigen::Map<Eigen::Matrix<double, 15, 15, Eigen::RowMajor>>(La);
  EXPECT_LT((LnA * Eigen::Map<Eigen::Matrix<double, 15, 1>>(sxa) - x1).cwiseAbs().maxCoeff(), 1e-12);

  // Refused: a noise deviation of 0 or NaN, a non-finite measurement, m out of range.
  const double before = sxa[0];
  R3d[4] = 0.0;
  EXPECT_FALSE(zelto::doMeasurementUpdateSquareRootZkf6_fw(3, SA, LA, RA, z3, H3, R3, 0));
  R3d[4] = kZkf6UpdatesNaN;
  EXPECT_FALSE(zelto::doMeasurementUpdateSquareRootZkf6_fw(3, SA, LA, RA, z3, H3, R3, 0));
  R3d[4] = 0.7;
  z3d[1] = kZkf6UpdatesNaN;
  EXPECT_FALSE(zelto::doMeasurementUpdateSquareRootZkf6_fw(3, SA, LA, RA, z3, H3, R3, 0));
  EXPECT_FALSE(zelto::doMeasurementUpdateSquareRootZkf6_fw(4, SA, LA, RA, z3, H3, R3, 0));
  EXPECT_EQ(sxa[0], before);
}

// Records every update the filter hands to the array routine.
struct Capture : zelto::Zkf6StepObserver {
  struct Update {
    std::vector<double> z, H, Rs;
    size_t m = 0;
  };
  std::vector<Update> updates;
  void initialized(const Vector&, const Matrix&) override {}
  void stateWritten(const Vector&) override {}
  void predicted(const Matrix&, const Matrix&, const Vector&) override {}
  void corrected(const Matrix&, ZtSize, bool) override {}
  void positionFolded() override {}
  void measurementUpdate(const Vector& z, const Matrix& H, const Matrix& Rs) override {
    Update u;
    u.m = z.size;
    for (ZtSize i = 0; i < z.size; ++i) {
      u.z.push_back(z[i]);
      u.Rs.push_back(Rs(i, i));
      for (ZtSize c = 0; c < 15; ++c) u.H.push_back(H(i, c));
    }
    updates.push_back(u);
  }
};

// A filter initialised at rest at the kit's origin, then given a chosen state and driven through
// single custom steps.
class UpdateRig {
 public:
  explicit UpdateRig(zelto::Zkf6ScenarioParams s = scenario()) : m_filter(params(s).get()) {
    zelto::Zkf6SensorData sd;
    sd.inertial.acc = zelto::Vector3(0, 0, 9.8);
    zelto::Zkf6Aiding ad;
    ad.mag = zelto::Vector3(0.45, 0, -0.89);
    ad.gps.posLatLongAlt = zelto::Vector3(kLatitudeDeg, kLongitudeDeg, kAltitude);
    ad.gps.hAcc = 1.0;
    ad.gps.vAcc = 2.0;
    ad.gps.sAcc = 0.1;
    ad.gps.gpsAge = 0;
    ad.gps.pressureAge = 255;
    zelto::Zkf6RealTimeParameters rt;
    zelto::Zkf6FilterOutput out;
    EXPECT_TRUE(m_filter.doOneKalmanStep(sd, ad, rt, out));
    m_filter.setStepObserver(&capture);
  }

  // q_gs = truth (x) helical(error): the state's orientation error (truth = estimate (I - [e x]))
  // is then e = error.
  void setState(const Quat& truth, const Vec3& error, const Vec3& velocity, const ZkfGpsPrintData& gps) {
    Zkf6State s = m_filter.state();
    const Quat est = truth * Quat(Eigen::AngleAxisd(error.norm(), error.norm() > 0 ? Vec3(error.normalized()) : Vec3::UnitX()));
    s.q_gs = zelto::Quaternion(est.w(), est.x(), est.y(), est.z());
    s.x.isZero();
    for (int i = 0; i < 3; ++i) s.velocity[i] = velocity[i];
    s.sx.isLeftDivideTriL(s.sQx, s.x);
    s.gps = gps;
    ASSERT_TRUE(m_filter.setFullStateChecked(&s));
  }

  void runSteps(std::initializer_list<const char*> labels, const Vec3& acc, const Vec3& gyr, const Vec3& mag,
                uint8_t gpsAge = 255, double pressure = 0.0, uint8_t pressureAge = 255) {
    auto* p = dynamic_cast<zelto::Zkf6Params*>(m_filter.getFilterParameters());
    zelto::LabelList l;
    for (const char* s : labels) l.append(s);
    ASSERT_TRUE(p->zkf6Steps()->enableSteps(l));
    zelto::Zkf6SensorData sd;
    zelto::Zkf6Aiding ad;
    for (int i = 0; i < 3; ++i) {
      sd.inertial.acc[i] = acc[i];
      sd.inertial.gyr[i] = gyr[i];
      ad.mag[i] = mag[i];
    }
    ad.gps = m_filter.state().gps;
    ad.gps.gpsAge = gpsAge;
    ad.gps.pressure = pressure;
    ad.gps.pressureAge = pressureAge;
    zelto::Zkf6RealTimeParameters rt;
    ASSERT_TRUE(m_filter.doOneKalmanStep(sd, ad, rt, m_out));
  }

  // z - H x for the last captured update, x the true error state (zero but the orientation
  // error e and the given velocity).
  std::vector<double> residual(const Vec3& e, const Vec3& velocity = Vec3::Zero()) const {
    const Capture::Update& u = capture.updates.back();
    std::vector<double> r(u.m);
    double x[15] = {};
    for (int i = 0; i < 3; ++i) {
      x[3 + i] = velocity[i];
      x[12 + i] = e[i];
      x[9 + i] = m_filter.state().gyrBias[i];
    }
    for (size_t i = 0; i < u.m; ++i) {
      r[i] = u.z[i];
      for (int c = 0; c < 15; ++c) r[i] -= u.H[i * 15 + c] * x[c];
    }
    return r;
  }

  Zkf6Filter& filter() { return m_filter; }
  Capture capture;

 private:
  Zkf6Filter m_filter;
  zelto::Zkf6FilterOutput m_out;
};

double maxAbs(const std::vector<double>& v) {
  double m = 0;
  for (double x : v) m = std::max(m, std::fabs(x));
  return m;
}

// Exact measurements of a truth whose estimate is off by a small rotation e: the innovation
// must be H times the true error up to second order in e. A sign error in an orientation block
// leaves a first-order residual of 2 |H_block e|.
TEST(Zkf6Updates, MeasurementModelsMatchExactMeasurementsOfAKnownTruth) {
  const Quat truth = Quat(Eigen::AngleAxisd(0.7, Vec3::UnitZ())) * Quat(Eigen::AngleAxisd(0.1, Vec3::UnitY()));
  const Vec3 e(0.01, -0.02, 0.03);
  const Vec3 lever(1.5, 0.0, 0.0);  // user r_gps_s of the test tuning

  // GNSS position: the antenna of a sensor at the reference position.
  {
    UpdateRig rig;
    ZkfGpsPrintData g = rig.filter().state().gps;
    const zelto::Vector3& ref = rig.filter().state().lla0;
    const GeodeticFrame here = GeodeticFrame::fromDegrees(ref[0], ref[1], ref[2]);
    const Vec3 ant = GeodeticFrame::toDegrees(here.localToGeodetic(truth * lever));
    g.posLatLongAlt = zelto::Vector3(ant[0], ant[1], ant[2]);
    rig.setState(truth, e, Vec3::Zero(), g);
    rig.runSteps({"gpsPositionUpdate"}, Vec3(0, 0, 9.8), Vec3::Zero(), Vec3(1, 0, 0));
    ASSERT_EQ(rig.capture.updates.size(), 1u);
    const std::vector<double> r = rig.residual(e);
    // |l| |e|^2 is about 2e-3 m; the opposite lever-arm sign would leave 2 |l x e| = 0.11 m.
    EXPECT_LT(maxAbs(r), 3e-3);
    const std::vector<double> none = rig.residual(Vec3::Zero());
    EXPECT_GT(maxAbs(none), 0.03);  // the orientation block is what explains the innovation
  }
  // Magnetometer: the field of the true orientation with the average at the reference. The
  // update models heading only (its vertical row is de-weighted), so the error is a heading
  // error: about the navigation up axis, in the sensor frame.
  {
    UpdateRig rig;
    const Vec3 eh = truth.conjugate() * Vec3(0, 0, 0.03);
    rig.setState(truth, eh, Vec3::Zero(), rig.filter().state().gps);
    const Vec3 field(std::cos(1.1), 0.0, -std::sin(1.1));
    Zkf6State s = rig.filter().state();
    s.magAvg = zelto::Vector3(field[0], field[1], field[2]);
    ASSERT_TRUE(rig.filter().setFullStateChecked(&s));
    rig.runSteps({"magUpdate"}, Vec3(0, 0, 9.8), Vec3::Zero(), truth.conjugate() * field);
    EXPECT_LT(maxAbs(rig.residual(eh)), 2 * eh.squaredNorm());
    EXPECT_GT(maxAbs(rig.residual(Vec3::Zero())), 0.01);
  }
  // Holonomic constraint: moving at 12 m/s along the true body x axis.
  {
    UpdateRig rig;
    const Vec3 v = truth * Vec3(12.0, 0, 0);
    rig.setState(truth, e, v, rig.filter().state().gps);
    rig.runSteps({"holonomicUpdate"}, Vec3(0, 0, 9.8), Vec3::Zero(), Vec3(1, 0, 0));
    const std::vector<double> r = rig.residual(e, v);
    EXPECT_LT(maxAbs(r), 12.0 * e.squaredNorm());
    EXPECT_GT(maxAbs(rig.residual(Vec3::Zero(), v)), 0.1);
    EXPECT_EQ(rig.capture.updates.back().Rs[2], 1000.0);
    EXPECT_EQ(rig.capture.updates.back().z[2], 0.0);
  }
  // GNSS velocity of a turning antenna: the lever-arm term removes the antenna's own motion.
  {
    UpdateRig rig;
    const Vec3 w(0.0, 0.0, 0.8);
    const Vec3 v = truth * Vec3(10.0, 0, 0);
    ZkfGpsPrintData g = rig.filter().state().gps;
    const Vec3 vAnt = GeodeticFrame::nedFromNwu(v + truth * w.cross(lever));
    g.velNorthEastDown = zelto::Vector3(vAnt[0], vAnt[1], vAnt[2]);
    rig.setState(truth, Vec3::Zero(), v, g);
    const Vec3 gyr = w + truth.conjugate() * GeodeticFrame::earthRateNwu(kLatitudeDeg * GeodeticFrame::kDeg) +
                     Vec3(rig.filter().state().gyrBias[0], rig.filter().state().gyrBias[1],
                          rig.filter().state().gyrBias[2]);
    rig.runSteps({"gpsVelocityUpdate"}, Vec3(0, 0, 9.8), gyr, Vec3(1, 0, 0));
    EXPECT_LT(maxAbs(rig.residual(Vec3::Zero(), v)), 1e-3);
  }
}

TEST(Zkf6Updates, BarometerSwitchLeavesTheGnssHeightToTheBarometer) {
  zelto::Zkf6ScenarioParams s = scenario();
  s.updateSwitches |= zelto::Zkf6ScenarioParams::kBarometerUpdate;
  UpdateRig rig(s);
  ZkfGpsPrintData g = rig.filter().state().gps;
  g.posLatLongAlt[2] += 5.0;  // 5 m higher
  g.posLatLongAlt[0] += 1e-4;  // 11 m north
  rig.setState(Quat::Identity(), Vec3::Zero(), Vec3::Zero(), g);
  rig.runSteps({"gpsPositionUpdate", "correct"}, Vec3(0, 0, 9.8), Vec3::Zero(), Vec3(1, 0, 0));
  ASSERT_EQ(rig.capture.updates.back().m, 2u);
  // The correction ran first in the custom order; the next step's correction folds the update.
  rig.runSteps({"correct"}, Vec3(0, 0, 9.8), Vec3::Zero(), Vec3(1, 0, 0));
  EXPECT_NEAR(rig.filter().state().posLatLongAlt[2], kAltitude, 1e-9);
  EXPECT_GT(rig.filter().state().posLatLongAlt[0], kLatitudeDeg + 1e-6);
}

TEST(Zkf6Updates, UnusableAccuraciesAndPressuresAreSkipped) {
  struct Case {
    double hAcc, vAcc, sAcc;
    bool position, velocity;
  };
  const Case cases[] = {{1.0, 2.0, 0.1, true, true},      {kZkf6UpdatesNaN, 2.0, 0.1, false, true}, {0.0, 2.0, 0.1, false, true},
                        {-1.0, 2.0, 0.1, false, true},    {1.0, kZkf6UpdatesNaN, 0.1, false, true}, {1.0, 0.0, 0.0, false, false},
                        {1.0, 2.0, -0.1, true, false},    {1.0, 2.0, kZkf6UpdatesNaN, true, false}};
  for (const Case& c : cases) {
    UpdateRig rig;
    ZkfGpsPrintData g = rig.filter().state().gps;
    g.hAcc = c.hAcc;
    g.vAcc = c.vAcc;
    g.sAcc = c.sAcc;
    rig.setState(Quat::Identity(), Vec3::Zero(), Vec3::Zero(), g);
    const double before = rig.filter().state().sQx(0, 0);
    rig.runSteps({"gpsPositionUpdate"}, Vec3(0, 0, 9.8), Vec3::Zero(), Vec3(1, 0, 0));
    EXPECT_EQ(rig.capture.updates.size(), c.position ? 1u : 0u) << c.hAcc << " " << c.vAcc;
    EXPECT_EQ(rig.filter().state().sQx(0, 0) < before, c.position);
    rig.runSteps({"gpsVelocityUpdate"}, Vec3(0, 0, 9.8), Vec3::Zero(), Vec3(1, 0, 0));
    EXPECT_EQ(rig.capture.updates.size(), (c.position ? 1u : 0u) + (c.velocity ? 1u : 0u)) << c.sAcc;
    EXPECT_TRUE(rig.filter().state().isUsable());
  }
  // A pressure of 0 or below (or not a number) is no barometer sample: the height is kept.
  for (double pressure : {0.0, -5.0, kZkf6UpdatesNaN}) {
    UpdateRig rig;
    rig.runSteps({"predict"}, Vec3(0, 0, 9.8), Vec3::Zero(), Vec3(1, 0, 0), 255, 50000.0, 3);
    const double height = rig.filter().state().baroHeight;
    EXPECT_NEAR(height, Zkf6State::baroHeightOf(50000.0), 1e-9);
    rig.runSteps({"predict"}, Vec3(0, 0, 9.8), Vec3::Zero(), Vec3(1, 0, 0), 255, pressure, 0);
    EXPECT_EQ(rig.filter().state().baroHeight, height);
    EXPECT_TRUE(std::isfinite(rig.filter().state().baroHeight));
  }
}

TEST(Zkf6Updates, ZeroRotationGateAndTheEarthRateItMeasures) {
  // Moving at 1 m/s with a speed accuracy of 0.5: 0.3 * 0.5 < 1, nothing happens.
  {
    UpdateRig rig;
    ZkfGpsPrintData g = rig.filter().state().gps;
    g.sAcc = 0.5;
    rig.setState(Quat::Identity(), Vec3::Zero(), Vec3(1, 0, 0), g);
    rig.runSteps({"zeroRotationUpdate"}, Vec3(0, 0, 9.8), Vec3::Zero(), Vec3(1, 0, 0));
    EXPECT_TRUE(rig.capture.updates.empty());
  }
  // At rest with a still gyroscope (earth rate plus bias): repeated updates take the bias to the
  // true bias, not to bias plus earth rate.
  {
    zelto::Zkf6ScenarioParams s = scenario();
    s.sd_zero_rotation = 0.001;
    UpdateRig rig(s);
    ZkfGpsPrintData g = rig.filter().state().gps;
    g.sAcc = 1.0;
    const Quat q(Eigen::AngleAxisd(0.3, Vec3::UnitZ()));
    rig.setState(q, Vec3::Zero(), Vec3::Zero(), g);
    const Vec3 bias(2e-4, -1e-4, 3e-5);
    const Vec3 gyr = bias + q.conjugate() * GeodeticFrame::earthRateNwu(kLatitudeDeg * GeodeticFrame::kDeg);
    for (int i = 0; i < 200; ++i)
      rig.runSteps({"zeroRotationUpdate", "correct"}, q.conjugate() * Vec3(0, 0, 9.8), gyr, Vec3(1, 0, 0));
    EXPECT_EQ(rig.capture.updates.size(), 200u);
    const Vec3 b(rig.filter().state().gyrBias[0], rig.filter().state().gyrBias[1], rig.filter().state().gyrBias[2]);
    EXPECT_LT((b - bias).norm(), 3e-6) << (b - bias).transpose();
  }
}

TEST(Zkf6Updates, AlignedMagnetometerGivesNoInnovation) {
  UpdateRig rig;
  rig.setState(Quat::Identity(), Vec3::Zero(), Vec3::Zero(), rig.filter().state().gps);
  Zkf6State s = rig.filter().state();
  s.magAvg = zelto::Vector3(0.45, 0.0, -0.89);
  ASSERT_TRUE(rig.filter().setFullStateChecked(&s));
  rig.runSteps({"magUpdate"}, Vec3(0, 0, 9.8), Vec3::Zero(), Vec3(0.45, 0.0, -0.89));
  for (double z : rig.capture.updates.back().z) EXPECT_NEAR(z, 0.0, 1e-15);
  EXPECT_EQ(rig.capture.updates.back().Rs[2], 100.0);
}

TEST(Zkf6Updates, HolonomicConstraintAtAStandstillIsRefused) {
  UpdateRig rig;
  rig.setState(Quat::Identity(), Vec3::Zero(), Vec3::Zero(), rig.filter().state().gps);
  rig.runSteps({"holonomicUpdate"}, Vec3(0, 0, 9.8), Vec3::Zero(), Vec3(1, 0, 0));
  EXPECT_TRUE(rig.capture.updates.empty());
  EXPECT_TRUE(rig.filter().state().isUsable());
}

}  // namespace
