// Strapdown integration against closed forms, an independent fine-step integration written
// here (Eigen), and its own inverse.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <memory>
#include <random>

#include "math/Vector.h"
#include "math/strapdown/SdiData.h"
#include "math/strapdown/SdiWindow.h"
#include "math/strapdown/Strapdown.h"
#include "math/strapdown/TimeStampedSdiWindow.h"

using namespace zelto;

namespace {

struct V3 {
  double d[3];
  ZtVector zt() { return ZtVector{d, 3, 2}; }
};

Eigen::Vector3d ev(const ZtVector& v) { return Eigen::Vector3d(v.data[0], v.data[1], v.data[2]); }
Eigen::Quaterniond eq(const ZtQuaternion& q) { return Eigen::Quaterniond(q.w, q.x, q.y, q.z); }

void delta(const Eigen::Vector3d& acc, const Eigen::Vector3d& gyr, double dt, ZtQuaternion& dq, Eigen::Vector3d& dv) {
  V3 a{{acc.x(), acc.y(), acc.z()}}, g{{gyr.x(), gyr.y(), gyr.z()}}, out{{0, 0, 0}};
  ZtVector za = a.zt(), zg = g.zt(), zo = out.zt();
  sdiDelta(za, zg, dq, zo, dt);
  dv = ev(zo);
}

// Fine-step fourth-order integration of R' = R [w x], v' = R a from R = I, v = 0.
void rk4(const Eigen::Vector3d& acc, const Eigen::Vector3d& gyr, double dt, int steps, Eigen::Matrix3d& R,
         Eigen::Vector3d& v) {
  auto cross = [](const Eigen::Vector3d& w) {
    Eigen::Matrix3d s;
    s << 0, -w.z(), w.y(), w.z(), 0, -w.x(), -w.y(), w.x(), 0;
    return s;
  };
  const Eigen::Matrix3d S = cross(gyr);
  R.setIdentity();
  v.setZero();
  const double h = dt / steps;
  for (int i = 0; i < steps; ++i) {
    const Eigen::Matrix3d k1 = R * S;
    const Eigen::Vector3d l1 = R * acc;
    const Eigen::Matrix3d R2 = R + 0.5 * h * k1;
    const Eigen::Matrix3d k2 = R2 * S;
    const Eigen::Vector3d l2 = R2 * acc;
    const Eigen::Matrix3d R3 = R + 0.5 * h * k2;
    const Eigen::Matrix3d k3 = R3 * S;
    const Eigen::Vector3d l3 = R3 * acc;
    const Eigen::Matrix3d R4 = R + h * k3;
    const Eigen::Matrix3d k4 = R4 * S;
    const Eigen::Vector3d l4 = R4 * acc;
    R += h / 6.0 * (k1 + 2 * k2 + 2 * k3 + k4);
    v += h / 6.0 * (l1 + 2 * l2 + 2 * l3 + l4);
  }
}

double quatDistance(const ZtQuaternion& a, const ZtQuaternion& b) {
  // Sign-independent.
  const double d1 = std::fabs(a.w - b.w) + std::fabs(a.x - b.x) + std::fabs(a.y - b.y) + std::fabs(a.z - b.z);
  const double d2 = std::fabs(a.w + b.w) + std::fabs(a.x + b.x) + std::fabs(a.y + b.y) + std::fabs(a.z + b.z);
  return std::min(d1, d2);
}

TEST(Strapdown, ClosedFormCases) {
  ZtQuaternion dq;
  Eigen::Vector3d dv;
  delta({1, 2, 3}, {0, 0, 0}, 0.5, dq, dv);
  EXPECT_EQ(dq.w, 1.0);
  EXPECT_EQ(dq.x, 0.0);
  EXPECT_EQ(dv, Eigen::Vector3d(0.5, 1.0, 1.5));
  delta({1, 0, 0}, {0, 0, M_PI}, 1.0, dq, dv);
  EXPECT_NEAR(dq.w, 0.0, 1e-15);
  EXPECT_NEAR(dq.z, 1.0, 1e-15);
  EXPECT_NEAR(dv.x(), 0.0, 1e-15);
  EXPECT_NEAR(dv.y(), 2.0 / M_PI, 1e-15);
  EXPECT_NEAR(dv.z(), 0.0, 1e-15);
  // A rate so small that w^3 underflows: limits of the coefficients, no 0/0.
  delta({1, 2, 3}, {1e-120, 0, 0}, 0.01, dq, dv);
  EXPECT_TRUE(dv.allFinite());
  EXPECT_NEAR(dv.x(), 0.01, 1e-18);
  EXPECT_NEAR(dv.z(), 0.03, 1e-18);
  // Bad input propagates as NaN.
  delta({NAN, 0, 0}, {0.1, 0, 0}, 0.01, dq, dv);
  EXPECT_TRUE(std::isnan(dv.x()));
  delta({0, 0, 0}, {NAN, 0, 0}, 0.01, dq, dv);
  EXPECT_TRUE(std::isnan(dq.w));
}

TEST(Strapdown, ConstantRotationIntegratesToTheClosedForm) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int trial = 0; trial < 30; ++trial) {
    Eigen::Vector3d gyr(u(rng), u(rng), u(rng));
    gyr = gyr.normalized() * (20.0 * std::fabs(u(rng)));
    const Eigen::Vector3d acc(10 * u(rng), 10 * u(rng), 10 * u(rng));
    const double dt = 0.05 + 0.2 * std::fabs(u(rng));
    ZtQuaternion whole;
    Eigen::Vector3d wholeDv;
    delta(acc, gyr, dt, whole, wholeDv);
    const double scale = dt * acc.norm();
    for (int n : {1, 7, 100, 1000}) {
      ZtQuaternion q{1, 0, 0, 0};
      V3 v{{0, 0, 0}};
      ZtVector zv = v.zt();
      for (int i = 0; i < n; ++i) {
        ZtQuaternion dq;
        Eigen::Vector3d dv;
        delta(acc, gyr, dt / n, dq, dv);
        V3 d{{dv.x(), dv.y(), dv.z()}};
        ZtVector zd = d.zt();
        sdiWindowAdd(q, zv, dq, zd);
      }
      EXPECT_LT(quatDistance(q, whole), 1e-12) << trial << " n=" << n;
      EXPECT_LT((ev(zv) - wholeDv).norm(), 1e-12 * scale + 1e-15) << trial << " n=" << n;
    }
    Eigen::Matrix3d R;
    Eigen::Vector3d v;
    rk4(acc, gyr, dt, 2000, R, v);
    EXPECT_LT((eq(whole).toRotationMatrix() - R).norm(), 1e-9) << trial;
    EXPECT_LT((wholeDv - v).norm(), 1e-9 * std::max(1.0, scale)) << trial;
  }
}

TEST(Strapdown, InverseGivesBackTheRatesAlsoNearAHalfTurnAndAtTinyRates) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  auto roundTrip = [](const Eigen::Vector3d& acc, const Eigen::Vector3d& gyr, double dt, Eigen::Vector3d& a,
                      Eigen::Vector3d& g) {
    ZtQuaternion dq;
    Eigen::Vector3d dv;
    delta(acc, gyr, dt, dq, dv);
    V3 d{{dv.x(), dv.y(), dv.z()}}, ao{{0, 0, 0}}, go{{0, 0, 0}};
    ZtVector zd = d.zt(), za = ao.zt(), zg = go.zt();
    inverseSdi(za, zg, dq, zd, dt);
    a = ev(za);
    g = ev(zg);
  };
  for (int trial = 0; trial < 200; ++trial) {
    Eigen::Vector3d axis(u(rng), u(rng), u(rng));
    axis.normalize();
    const double dt = 0.01;
    const double angle = M_PI * std::fabs(u(rng)) * 0.999;
    const Eigen::Vector3d gyr = axis * (angle / dt);
    const Eigen::Vector3d acc(5 * u(rng), 5 * u(rng), 5 * u(rng));
    Eigen::Vector3d a, g;
    roundTrip(acc, gyr, dt, a, g);
    EXPECT_LT((g - gyr).norm(), 1e-9 * gyr.norm()) << trial;
    EXPECT_LT((a - acc).norm(), 1e-9 * std::max(1.0, acc.norm())) << trial;
  }
  // At a half turn (and within 1e-6 of it) the rate stays finite.
  int finite = 0;
  for (int trial = 0; trial < 300; ++trial) {
    Eigen::Vector3d axis(u(rng), u(rng), u(rng));
    axis.normalize();
    for (double off : {0.0, 1e-6, -1e-6}) {
      Eigen::Vector3d a, g;
      roundTrip({1, 2, 3}, axis * (M_PI + off), 1.0, a, g);
      finite += g.allFinite();
      EXPECT_NEAR(g.norm(), M_PI - std::fabs(off), 1e-5);
    }
  }
  EXPECT_EQ(finite, 900);
  // At and below the epsilon rate: acc = dv / dt.
  for (double w : {ZtMath_epsilon, ZtMath_epsilon / 4, 0.0}) {
    Eigen::Vector3d a, g;
    roundTrip({1, -2, 3}, {w, 0, 0}, 0.01, a, g);
    EXPECT_TRUE(a.allFinite());
    EXPECT_NEAR((a - Eigen::Vector3d(1, -2, 3)).norm(), 0.0, 1e-12);
  }
}

TEST(Strapdown, AverageInTheLocalFrameIsDvRotatedBackPerSecond) {
  ZtQuaternion dq;
  Eigen::Vector3d dv;
  delta({0.3, -1.2, 9.81}, {0.4, 0.1, -0.7}, 0.02, dq, dv);
  V3 d{{dv.x(), dv.y(), dv.z()}}, ao{{0, 0, 0}}, go{{0, 0, 0}};
  ZtVector zd = d.zt(), za = ao.zt(), zg = go.zt();
  getAverageAccGyrLocalFrame(za, zg, dq, zd, 0.02);
  const Eigen::Vector3d want = eq(dq).conjugate() * dv / 0.02;
  EXPECT_LT((ev(za) - want).norm(), 1e-12);
  EXPECT_LT((ev(zg) - Eigen::Vector3d(0.4, 0.1, -0.7)).norm(), 1e-10);
}

TEST(Strapdown, WindowsCompleteAtTheirRateAndSpan) {
  SdiWindow w;
  w.setDecimationRate(4);
  ZtQuaternion product{1, 0, 0, 0};
  bool results[4];
  for (int i = 0; i < 4; ++i) {
    V3 a{{0, 0, 9.81}}, g{{0.1 * i, 0.2, -0.3}};
    SdiData inc = SdiData::fromAccGyr(a.zt(), g.zt(), 0.01);
    EXPECT_DOUBLE_EQ(inc.m_duration, 0.01);
    ZtQuaternion_multiply(&product, &inc.m_dq, &product);
    results[i] = w.add(inc);
  }
  EXPECT_FALSE(results[0]);
  EXPECT_FALSE(results[1]);
  EXPECT_FALSE(results[2]);
  EXPECT_TRUE(results[3]);
  EXPECT_LT(quatDistance(w.m_dq, product), 1e-15);
  EXPECT_EQ(w.getDecimationCounter(), 0);
  for (int bad : {0, -2}) {
    w.setDecimationRate(bad);
    EXPECT_EQ(w.getDecimationRate(), 4);
    EXPECT_LT(quatDistance(w.m_dq, product), 1e-15);  // unchanged
  }
  w.add(SdiData());
  EXPECT_EQ(w.getDecimationCounter(), 1);
  w.restart();
  EXPECT_EQ(w.getDecimationCounter(), 0);
  // A window whose rate was never set completes on every increment.
  SdiWindow fresh;
  EXPECT_TRUE(fresh.add(SdiData()));

  TimeStampedSdiWindow t;
  t.setTimespan(0.01, 10);
  EXPECT_NEAR(t.threshold(), 0.009, 1e-15);
  t.setTimespan(0, 1);
  EXPECT_EQ(t.threshold(), 0.0);
  t.setTimespan(0.01, 10);
  V3 a{{1, 0, 0}}, g{{0, 0, 1}};
  SdiData inc = SdiData::fromAccGyr(a.zt(), g.zt(), 0.004);
  EXPECT_FALSE(t.add(inc));
  EXPECT_FALSE(t.add(inc));
  EXPECT_TRUE(t.add(inc));
  EXPECT_TRUE(t.isWindowComplete());
  EXPECT_FALSE(t.add(inc));  // starts over
  EXPECT_NEAR(t.m_duration, 0.004, 1e-15);
}

TEST(Strapdown, CopiesOwnTheirVelocityStorage) {
  auto src = std::make_unique<SdiWindow>();
  src->setDecimationRate(2);
  V3 a{{1, 2, 3}}, g{{0.5, 0, 0}};
  src->add(SdiData::fromAccGyr(a.zt(), g.zt(), 0.1));
  SdiWindow copy(*src);
  SdiWindow assigned;
  assigned = *src;
  auto ts = std::make_unique<TimeStampedSdiWindow>();
  ts->setTimespan(1, 2);
  ts->add(SdiData::fromAccGyr(a.zt(), g.zt(), 0.1));
  TimeStampedSdiWindow tcopy(*ts);
  const double want = src->m_dv.data[1];
  src.reset();
  ts.reset();
  EXPECT_EQ(copy.m_dv.data[1], want);
  EXPECT_EQ(assigned.m_dv.data[1], want);
  EXPECT_EQ(copy.getDecimationCounter(), 1);
  EXPECT_EQ(tcopy.m_dv.data[1], want);
  EXPECT_NE(copy.m_dv.data, assigned.m_dv.data);
  SdiData plain(copy);
  EXPECT_EQ(plain.m_dv.data[1], want);
}

}  // namespace
