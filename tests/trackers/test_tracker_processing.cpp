// Per-packet processing of the tracker base: software calibration against the sensor model's
// truth, strapdown increments over the sample period, rates rebuilt from increments, packets
// delivered when a step fails, and the orientation resets applied by the host filter path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "ekts/EktsManager.h"
#include "math/strapdown/Strapdown.h"
#include "math/Matrix3x3.h"
#include "math/Vector3.h"
#include "support/TestTracker.h"
#include "support/emulator/RawTrajectory.h"
#include "support/emulator/TrackerModel.h"
#include "trackers/CalibrationInfo.h"

namespace zelto::test {
namespace {

constexpr double kPi = 3.14159265358979323846;

// A tracker without link whose delivered packets are kept, and whose host filter is a fake: it
// reports a scripted orientation through the orientation resets.
class ProcessingTracker : public TestTracker {
 public:
  ProcessingTracker() : TestTracker(static_cast<Communicator*>(nullptr)) {}
  ~ProcessingTracker() override {
    for (ZtDataPacket& p : delivered) ZtDataPacket_destruct(&p);
  }

  void insertPacketInCaches(ZtDataPacket& packet) override {
    ZtDataPacket copy;
    ZtDataPacket_construct(&copy);
    ZtDataPacket_copy(&copy, &packet);
    delivered.push_back(copy);
  }
  void performFiltering(ZtDataPacket& packet) override {
    ++filtered;
    const ZtQuaternion q = doOrientationResets(filterOrientation);
    ZtDataPacket_setOrientationQuaternion(&packet, &q, 0);
    if (resetDuringPacket != ZRM_None) setPendingReset(std::exchange(resetDuringPacket, ZRM_None));
  }
  void setPendingReset(ZtResetMethod m) { m_resetMethod = m; }
  using KtDevice::calibrationInfo;

  std::vector<ZtDataPacket> delivered;
  ZtQuaternion filterOrientation{1, 0, 0, 0};
  // Scheduled while the packet is being filtered, after its resets were taken.
  ZtResetMethod resetDuringPacket = ZRM_None;
  int filtered = 0;
};

struct TrackerProcessingPacket {
  explicit TrackerProcessingPacket(const ZtDevice& device) {
    ZtDataPacket_construct(&p);
    p.deviceId = device.deviceId();
  }
  ~TrackerProcessingPacket() { ZtDataPacket_destruct(&p); }
  ZtDataPacket p;
};

std::unique_ptr<ProcessingTracker> trackerWith(const TrackerModel& model) {
  auto t = std::make_unique<ProcessingTracker>();
  EXPECT_TRUE(t->loadRecord(model.recordImage()));
  return t;
}

Matrix3x3 identity() {
  Matrix3x3 m;
  m.isIdentity();
  return m;
}

ZtQuaternion trackerProcessingAxisAngle(double ax, double ay, double az, double angle) {
  const double s = std::sin(angle / 2);
  return ZtQuaternion{std::cos(angle / 2), ax * s, ay * s, az * s};
}

ZtQuaternion trackerProcessingMul(const ZtQuaternion& a, const ZtQuaternion& b) {
  return ZtQuaternion{a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z, a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
                      a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x, a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

// Same rotation (q and -q are one rotation).
void expectRotation(const ZtQuaternion& actual, const ZtQuaternion& expected, double tol = 1e-9) {
  const double dot = actual.w * expected.w + actual.x * expected.x + actual.y * expected.y + actual.z * expected.z;
  EXPECT_NEAR(std::fabs(dot), 1.0, tol) << "(" << actual.w << ", " << actual.x << ", " << actual.y << ", " << actual.z
                                        << ") vs (" << expected.w << ", " << expected.x << ", " << expected.y << ", "
                                        << expected.z << ")";
}

TEST(TrackerCalibration, RawCountsOfTheTruthCalibrateBackAtThreeTemperatures) {
  for (int version : {3, 4}) {
  SCOPED_TRACE(version);
  TrackerModel model;
  model.recordVersion = version;
  auto t = trackerWith(model);
  ASSERT_TRUE(t->initializeSoftwareCalibration());
  const TrackerSensorModel& s = model.sensor;
  const double acc[3] = {0.3, -9.5, 2.25};
  const double gyr[3] = {0.5, -1.25, 0.75};
  const double mag[3] = {0.4, -0.2, 0.9};
  for (double temperature : {-10.0, 25.0, 60.0}) {
    SCOPED_TRACE(temperature);
    // The emulator's sensor model, written apart from the library: raw = G_T x + o_T, the
    // gyroscope also seeing G_T dep acc, rounded to counts.
    uint16_t counts[10];
    RawTrajectory::rawCounts(s, temperature, acc, gyr, mag, counts);
    ZtScrData raw{};
    std::copy(counts, counts + 3, raw.acc);
    std::copy(counts + 3, counts + 6, raw.gyr);
    std::copy(counts + 6, counts + 9, raw.mag);
    raw.temp[0] = counts[9];
    ZtCalibratedData out{};
    ASSERT_TRUE(t->calibrateData(raw, t->calibrationInfo(), out));
    // Half a count of rounding, through the inverse gain (and for the rate also through the
    // acceleration's dependency).
    for (int i = 0; i < 3; ++i) {
      EXPECT_NEAR(out.acc[i], acc[i], 0.6 / 400.0) << i;
      EXPECT_NEAR(out.gyr[i], gyr[i], 0.6 / 2190.0 + 0.02 * 0.6 / 400.0) << i;
      EXPECT_NEAR(out.mag[i], mag[i], 0.6 / 14800.0) << i;
    }
  }
  }
  ZtCalibratedData untouched{};
  ProcessingTracker t;
  EXPECT_FALSE(t.calibrateData(ZtScrData{}, nullptr, untouched));
}

TEST(TrackerProcessing, RawIsCalibratedOnlyWithoutCalibratedDataAndASingularGainStillDelivers) {
  TrackerModel model;
  auto t = trackerWith(model);
  ASSERT_TRUE(t->initializeSoftwareCalibration());
  ZtScrData raw{};
  for (int i = 0; i < 3; ++i) raw.acc[i] = raw.gyr[i] = raw.mag[i] = 33000;
  raw.temp[0] = 15360;

  {  // raw only: calibrated data appears
    TrackerProcessingPacket p(*t);
    ZtDataPacket_setRawData(&p.p, &raw);
    t->doProcessing(p.p);
    ASSERT_EQ(t->delivered.size(), 1u);
    EXPECT_TRUE(ZtDataPacket_containsCalibratedData(&t->delivered.back()));
  }
  {  // raw with calibrated acceleration: kept as given
    TrackerProcessingPacket p(*t);
    ZtDataPacket_setRawData(&p.p, &raw);
    Vector3 given(1.0, 2.0, 3.0);
    ZtDataPacket_setCalibratedAcceleration(&p.p, &given);
    t->doProcessing(p.p);
    ASSERT_EQ(t->delivered.size(), 2u);
    Vector3 acc;
    ZtDataPacket_calibratedAcceleration(&t->delivered.back(), &acc);
    EXPECT_EQ(acc.data[0], 1.0);
    EXPECT_EQ(acc.data[2], 3.0);
    EXPECT_FALSE(ZtDataPacket_containsCalibratedMagneticField(&t->delivered.back()));
  }
  {  // a blank record: every gain is zero, the inverse fails, the packet still arrives
    auto blank = std::make_unique<ProcessingTracker>();
    ASSERT_TRUE(blank->ekts()->initialize(3));
    ASSERT_TRUE(blank->initializeSoftwareCalibration());
    for (int n = 0; n < 3; ++n) {
      TrackerProcessingPacket p(*blank);
      ZtDataPacket_setRawData(&p.p, &raw);
      EXPECT_NO_THROW(blank->doProcessing(p.p));
    }
    ASSERT_EQ(blank->delivered.size(), 3u);
    EXPECT_TRUE(ZtDataPacket_containsRawData(&blank->delivered.back()));
    EXPECT_FALSE(ZtDataPacket_containsCalibratedAcceleration(&blank->delivered.back()));
  }
}

TEST(TrackerProcessing, StrapdownIncrementSpansOneSampleAndRatesComeBackFromIt) {
  TrackerModel model;  // period 1152: 100 Hz
  auto t = trackerWith(model);
  ASSERT_EQ(t->updateRate(), 100);
  Vector3 acc(0.1, 0.2, 9.81), gyr(0.5, -0.3, 1.0);
  TrackerProcessingPacket p(*t);
  ZtDataPacket_setCalibratedAcceleration(&p.p, &acc);
  ZtDataPacket_setCalibratedRateOfTurn(&p.p, &gyr);
  t->doProcessing(p.p);
  ASSERT_EQ(t->delivered.size(), 1u);
  ZtSdiData sdi{};
  ASSERT_TRUE(ZtDataPacket_sdiData(&t->delivered[0], &sdi));
  ZtQuaternion dq;
  Vector3 dv;
  sdiDelta(acc, gyr, dq, dv, 0.01);
  expectRotation(sdi.orientationIncrement, dq, 1e-12);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(sdi.velocityIncrement[i], dv.data[i], 1e-12);
  // The angle turned is |rate| x 0.01 s, not a whole second.
  const double angle = 2 * std::acos(std::min(1.0, std::fabs(sdi.orientationIncrement.w)));
  EXPECT_NEAR(angle, std::sqrt(0.25 + 0.09 + 1.0) * 0.01, 1e-9);

  // Increments only: rates are rebuilt over 1 / rate, or over the frame range's span.
  struct Case {
    const char* name;
    bool range;
    int32_t first, last;
    double dt;  // 0: nothing rebuilt
  } cases[] = {
      {"no range", false, 0, 0, 0.01},
      {"one frame", true, 7, 7, 0.0},
      {"three frames", true, 10, 12, 0.02},
      {"three frames across the wrap", true, 65535, 1, 0.02},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ZtQuaternion cdq;
    Vector3 cdv;
    if (c.dt > 0) sdiDelta(acc, gyr, cdq, cdv, c.dt);
    else sdiDelta(acc, gyr, cdq, cdv, 0.01);
    ZtSdiData in{cdq, {cdv.data[0], cdv.data[1], cdv.data[2]}};
    TrackerProcessingPacket q(*t);
    ZtDataPacket_setSdiData(&q.p, &in);
    if (c.range) {
      ZtRange r{c.first, c.last};
      ZtDataPacket_setFrameRange(&q.p, &r);
    }
    t->doProcessing(q.p);
    const ZtDataPacket& out = t->delivered.back();
    if (c.dt == 0) {
      EXPECT_FALSE(ZtDataPacket_containsCalibratedAcceleration(&out));
      continue;
    }
    Vector3 a, w;
    ASSERT_TRUE(ZtDataPacket_calibratedAcceleration(&out, &a));
    ASSERT_TRUE(ZtDataPacket_calibratedRateOfTurn(&out, &w));
    for (int i = 0; i < 3; ++i) {
      EXPECT_NEAR(a.data[i], acc.data[i], 1e-6);
      EXPECT_NEAR(w.data[i], gyr.data[i], 1e-6);
    }
  }
}

TEST(TrackerResets, HeadingObjectAndUpsideDownCases) {
  TrackerModel model;
  auto t = trackerWith(model);
  ASSERT_TRUE(t->setObjectAlignment(identity()));
  ASSERT_TRUE(t->setHeadingOffset(0.0));

  // Heading reset of a 30 degree turn about the vertical.
  t->setPendingReset(ZRM_Heading);
  expectRotation(t->doOrientationResets(trackerProcessingAxisAngle(0, 0, 1, kPi / 6)), ZtQuaternion{1, 0, 0, 0});
  expectRotation(t->internalHeading(), trackerProcessingAxisAngle(0, 0, 1, -kPi / 6));
  EXPECT_NEAR(t->headingOffset(), -0.5236, 1e-4);
  EXPECT_EQ(t->resetMethod(), ZRM_None);
  // Pending method cleared: the same orientation now keeps the heading correction.
  expectRotation(t->doOrientationResets(trackerProcessingAxisAngle(0, 0, 1, kPi / 6)), ZtQuaternion{1, 0, 0, 0});

  // Object reset of a 40 degree roll.
  ASSERT_TRUE(t->setHeadingOffset(0.0));
  t->setPendingReset(ZRM_Object);
  expectRotation(t->doOrientationResets(trackerProcessingAxisAngle(1, 0, 0, 0.7)), ZtQuaternion{1, 0, 0, 0});
  expectRotation(t->internalObjectAlignment(), trackerProcessingAxisAngle(1, 0, 0, -0.7));
  EXPECT_EQ(t->resetMethod(), ZRM_None);

  // Upside down: method 2 gives qx180 x q.
  ASSERT_TRUE(t->setObjectAlignment(identity()));
  ASSERT_TRUE(t->ekts()->hasOutputSettings());
  t->ekts()->setOutputSettings(t->ekts()->outputSettings() | 0x80000000u);
  const ZtQuaternion q = trackerProcessingAxisAngle(0.6, 0, 0.8, 0.9);
  t->setPendingReset(static_cast<ZtResetMethod>(2));
  expectRotation(t->doOrientationResets(q), trackerProcessingMul(ZtQuaternion{0, 1, 0, 0}, q));
  EXPECT_EQ(t->resetMethod(), ZRM_None);
}

TEST(TrackerResets, VerticalReferenceAxisKeepsTheOldValue) {
  TrackerModel model;
  auto t = trackerWith(model);
  ASSERT_TRUE(t->setHeadingOffset(0.25));
  ASSERT_TRUE(t->setObjectAlignment(identity()));
  const Quaternion heading = t->internalHeading();
  // Turned 90 degrees about y: the x axis points straight down, the z axis along x.
  const ZtQuaternion q = trackerProcessingAxisAngle(0, 1, 0, kPi / 2);
  for (ZtResetMethod m : {ZRM_Heading, ZRM_Object}) {
    SCOPED_TRACE(static_cast<int>(m));
    t->setPendingReset(m);
    const ZtQuaternion out = t->doOrientationResets(q);
    for (double v : {out.w, out.x, out.y, out.z}) EXPECT_TRUE(std::isfinite(v));
    expectRotation(out, trackerProcessingMul(heading, q));
    expectRotation(t->internalHeading(), heading);
    expectRotation(t->internalObjectAlignment(), ZtQuaternion{1, 0, 0, 0});
    EXPECT_NEAR(t->headingOffset(), 0.25, 1e-6);
    EXPECT_EQ(t->resetMethod(), ZRM_None);
  }
}

TEST(TrackerResets, ScheduleByStateAndMethodAndFilteredPacketsApplyIt) {
  TrackerModel model;
  auto t = trackerWith(model);
  EXPECT_FALSE(t->canDoOrientationResetInFirmware(ZRM_None));
  EXPECT_TRUE(t->canDoOrientationResetInFirmware(static_cast<ZtResetMethod>(5)));
  t->setState(ZDS_Config);
  EXPECT_FALSE(t->scheduleOrientationReset(ZRM_Heading));
  t->setState(ZDS_Measurement);
  EXPECT_FALSE(t->scheduleOrientationReset(ZRM_StoreAlignment));
  // The firmware could do it but there is no link: refused, nothing pending.
  EXPECT_FALSE(t->scheduleOrientationReset(ZRM_Heading));
  EXPECT_EQ(t->resetMethod(), ZRM_None);
  t->setState(ZDS_Initial);
  EXPECT_FALSE(t->scheduleOrientationReset(ZRM_Heading));

  // Through doProcessing: the fake filter's orientation passes the pending heading reset.
  ASSERT_TRUE(t->setSoftwareFilteringEnabled(true));
  ASSERT_TRUE(t->setHeadingOffset(0.0));
  t->filterOrientation = trackerProcessingAxisAngle(0, 0, 1, kPi / 6);
  t->setPendingReset(ZRM_Heading);
  TrackerProcessingPacket p(*t);
  Vector3 acc(0, 0, 9.81), gyr(0, 0, 0);
  ZtDataPacket_setCalibratedAcceleration(&p.p, &acc);
  ZtDataPacket_setCalibratedRateOfTurn(&p.p, &gyr);
  if (t->hasDataEnabled(0x2000)) GTEST_SKIP() << "the model's output mode has orientation";
  t->doProcessing(p.p);
  ASSERT_EQ(t->filtered, 1);
  ZtQuaternion out;
  ASSERT_TRUE(ZtDataPacket_orientationQuaternion(&t->delivered.back(), 0, &out));
  expectRotation(out, ZtQuaternion{1, 0, 0, 0});
  EXPECT_NEAR(t->headingOffset(), -kPi / 6, 1e-9);
}

TEST(TrackerResets, ResetScheduledDuringAPacketIsAppliedByTheNext) {
  TrackerModel model;
  auto t = trackerWith(model);
  ASSERT_TRUE(t->setSoftwareFilteringEnabled(true));
  ASSERT_TRUE(t->setHeadingOffset(0.0));
  if (t->hasDataEnabled(0x2000)) GTEST_SKIP() << "the model's output mode has orientation";
  t->filterOrientation = trackerProcessingAxisAngle(0, 0, 1, 0.4);
  t->resetDuringPacket = ZRM_Heading;
  Vector3 acc(0, 0, 9.81), gyr(0, 0, 0);
  for (int n = 0; n < 2; ++n) {
    TrackerProcessingPacket p(*t);
    ZtDataPacket_setCalibratedAcceleration(&p.p, &acc);
    ZtDataPacket_setCalibratedRateOfTurn(&p.p, &gyr);
    t->doProcessing(p.p);
  }
  ZtQuaternion first, second;
  ASSERT_TRUE(ZtDataPacket_orientationQuaternion(&t->delivered[0], 0, &first));
  ASSERT_TRUE(ZtDataPacket_orientationQuaternion(&t->delivered[1], 0, &second));
  expectRotation(first, trackerProcessingAxisAngle(0, 0, 1, 0.4));
  expectRotation(second, ZtQuaternion{1, 0, 0, 0});
  EXPECT_EQ(t->resetMethod(), ZRM_None);
}

// Resets, heading and alignment setters and filter restarts from four threads while packets are
// processed: no data race (run under the thread sanitizer), every delivered orientation a unit
// rotation.
TEST(TrackerResets, SettersAndResetsFromFourThreadsWhileProcessing) {
  TrackerModel model;
  auto t = trackerWith(model);
  ASSERT_TRUE(t->setSoftwareFilteringEnabled(true));
  if (t->hasDataEnabled(0x2000)) GTEST_SKIP() << "the model's output mode has orientation";
  t->filterOrientation = trackerProcessingAxisAngle(0.6, 0, 0.8, 0.3);
  std::atomic<bool> stop{false};
  std::vector<std::thread> callers;
  for (int k = 0; k < 4; ++k) {
    callers.emplace_back([&, k] {
      for (int n = 0; !stop.load(); ++n) {
        switch ((n + k) % 4) {
          case 0: t->setPendingReset((n & 1) ? ZRM_Heading : ZRM_Alignment); break;
          case 1: t->setHeadingOffset(0.001 * n); break;
          case 2: t->setObjectAlignment(identity()); break;
          default: t->restartFilter(nullptr); break;
        }
      }
    });
  }
  Vector3 acc(0.1, 0.2, 9.81), gyr(0.3, -0.2, 0.1);
  for (int n = 0; n < 2000; ++n) {
    TrackerProcessingPacket p(*t);
    ZtDataPacket_setCalibratedAcceleration(&p.p, &acc);
    ZtDataPacket_setCalibratedRateOfTurn(&p.p, &gyr);
    t->doProcessing(p.p);
  }
  stop = true;
  for (std::thread& c : callers) c.join();
  ASSERT_EQ(t->delivered.size(), 2000u);
  for (const ZtDataPacket& p : t->delivered) {
    ZtQuaternion q;
    ASSERT_TRUE(ZtDataPacket_orientationQuaternion(&p, 0, &q));
    EXPECT_NEAR(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z, 1.0, 1e-9);
    ASSERT_TRUE(ZtDataPacket_containsSdiData(&p));
  }
}

}  // namespace
}  // namespace zelto::test
