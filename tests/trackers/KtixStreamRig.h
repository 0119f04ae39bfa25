#pragma once
// The host-filtered tracker end to end: a ZtControl opens a pseudo-terminal served by the device
// emulator acting as the tracker, which sends raw samples of a simulated trajectory (through
// the inverse of its record's calibration). Packets are collected from the device's data
// callback with their counter, orientation, free acceleration and status, and compared with the
// trajectory's truth by counter. Trajectories run in bursts, faster than real time; the filter's
// time comes from the record's sample period.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "control/ZtControl.h"
#include "device/ZtCallback.h"
#include "math/Vector3.h"
#include "support/PtyPort.h"
#include "support/emulator/DeviceEmulator.h"
#include "support/emulator/RawTrajectory.h"
#include "support/emulator/TrackerModel.h"
#include "trackers/KtixDevice.h"

namespace zelto::test {

// Yaw (about z) after a tilt about x, both in degrees.
inline filtersim::Quat yawTilt(double yawDeg, double tiltDeg) {
  constexpr double kRad = M_PI / 180.0;
  return filtersim::Quat(Eigen::AngleAxisd(yawDeg * kRad, filtersim::Vec3::UnitZ())) *
         filtersim::Quat(Eigen::AngleAxisd(tiltDeg * kRad, filtersim::Vec3::UnitX()));
}

// What the application saw of one packet.
struct SeenPacket {
  uint16_t counter = 0;
  bool hasCounter = false;
  bool hasOrientation = false;
  int frame = -1;
  ZtQuaternion q{0, 0, 0, 0};
  bool hasFreeAcceleration = false;
  double freeAcceleration[3] = {0, 0, 0};
  bool hasStatus = false;
  uint32_t status = 0;
  bool hasSdi = false;
  bool finite = true;  // every number the packet carries
};

class PacketCollector : public ZtCallback {
 public:
  void onDataAvailable(ZtDevice*, const ZtDataPacket* packet) override {
    SeenPacket s;
    s.hasCounter = ZtDataPacket_containsPacketCounter(packet) != 0;
    if (s.hasCounter) s.counter = ZtDataPacket_packetCounter(packet);
    s.hasOrientation = ZtDataPacket_containsOrientationQuaternion(packet) != 0;
    if (s.hasOrientation) {
      ZtDataPacket_orientationQuaternion(packet, 0, &s.q);
      s.frame = ZtDataPacket_orientationFrame(packet);
      s.finite = std::isfinite(s.q.w) && std::isfinite(s.q.x) && std::isfinite(s.q.y) && std::isfinite(s.q.z);
    }
    s.hasFreeAcceleration = ZtDataPacket_containsFreeAcceleration(packet) != 0;
    if (s.hasFreeAcceleration) {
      zelto::Vector3 v;
      ZtDataPacket_freeAcceleration(packet, &v);
      for (int i = 0; i < 3; ++i) {
        s.freeAcceleration[i] = v[i];
        s.finite = s.finite && std::isfinite(v[i]);
      }
    }
    if (ZtDataPacket_containsCalibratedData(packet)) {
      ZtCalibratedData c;
      ZtDataPacket_calibratedData(packet, &c);
      for (int i = 0; i < 3; ++i)
        s.finite = s.finite && std::isfinite(c.acc[i]) && std::isfinite(c.gyr[i]) && std::isfinite(c.mag[i]);
    }
    s.hasSdi = ZtDataPacket_containsSdiData(packet) != 0;
    s.hasStatus = ZtDataPacket_containsStatus(packet) != 0;
    if (s.hasStatus) s.status = ZtDataPacket_status(packet);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_packets.push_back(s);
    m_changed.notify_all();
  }
  bool waitFor(size_t n, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return m_packets.size() >= n; });
  }
  std::vector<SeenPacket> packets() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_packets;
  }
  size_t count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_packets.size();
  }
  void clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_packets.clear();
  }

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<SeenPacket> m_packets;
};

// The noise of the simulated tracker per sample (the scenario's standard deviations).
constexpr double kAccNoise = 0.02, kGyrNoise = 0.005, kMagNoise = 0.005;

inline filtersim::SimulatorConfig streamConfig(double rate, const filtersim::Quat& initial = filtersim::Quat::Identity()) {
  filtersim::SimulatorConfig c;
  c.outputRate = rate;
  c.truthRate = 1000.0;
  c.initialAttitude = initial;
  // The position and gravity of the emulated record (52.25 N, 12.5 m).
  c.latitude = 52.25 * M_PI / 180.0;
  c.earthRate = true;
  c.gravity = 9.8125;
  c.acc.noiseDensity = kAccNoise / std::sqrt(rate);
  c.gyr.noiseDensity = kGyrNoise / std::sqrt(rate);
  c.mag.noiseDensity = kMagNoise / std::sqrt(rate);
  c.mag.declination = 0.0;
  c.mag.inclination = 1.0;
  c.mag.intensity = 1.0;
  c.seed = 7;
  return c;
}

class KtixStreamRig {
 public:
  // prepare adjusts the model before the port opens (record version, page 5, rows).
  template <typename Prepare>
  KtixStreamRig(const filtersim::SimulatorConfig& config, std::vector<filtersim::Segment> segments, Prepare prepare,
                uint16_t period = 1152, RawStreamOptions options = {},
                const std::function<void(ZtControl&)>& beforeOpen = {}) {
    RawTrajectory::useRawOutput(model, period, 0);
    // No heading offset in the record: the output is the filter's orientation itself.
    model.setRow(TrackerModel::HeadingOffset, {0, 0, 0, 0});
    prepare(model);
    stream = std::make_unique<RawTrajectory>(model.sensor, config, std::move(segments), false, options);
    emu = std::make_unique<DeviceEmulator>(std::make_unique<FdEmulatorLink>(dup(pty.masterFd())));
    model.attachTo(*emu);
    stream->attachTo(*emu);
    emu->start();
    control = std::make_unique<ZtControl>();
    if (beforeOpen) beforeOpen(*control);
    ZtString name;
    ZtString_construct(&name, pty.slavePath().c_str());
    opened = control->openPort(name, B115200);
    ZtString_destruct(&name);
    if (!opened) return;
    device = control->device(model.deviceId);
    ktix = dynamic_cast<KtixDevice*>(device);
    if (device) device->addCallbackHandler(&collector, false);
  }
  KtixStreamRig(const filtersim::SimulatorConfig& config, std::vector<filtersim::Segment> segments)
      : KtixStreamRig(config, std::move(segments), [](TrackerModel&) {}) {}
  ~KtixStreamRig() {
    control.reset();
    emu->stop();
  }
  KtixStreamRig(const KtixStreamRig&) = delete;
  KtixStreamRig& operator=(const KtixStreamRig&) = delete;

  // Into measurement without real-time streaming: the samples then come in bursts only.
  bool startMeasuring() {
    if (!device->gotoMeasurement()) return false;
    emu->setMeasuring(false);
    // The few samples streamed before that arrive first.
    return collector.waitFor(stream->samplesMade(), std::chrono::milliseconds(5000));
  }
  // n more samples of the trajectory, and waits until the application has all packets so far.
  bool burst(size_t n, std::chrono::milliseconds limit = std::chrono::milliseconds(20000)) {
    const size_t expected = collector.count() + n;
    if (emu->sendDataBurst(n) != n) return false;
    return collector.waitFor(expected, limit) && stream->samplesMade() == expected + m_dropped;
  }
  // Packets delivered before the collector was cleared, for burst()'s bookkeeping.
  void clearCollected() {
    m_dropped += collector.count();
    collector.clear();
  }

  PtyPort pty;
  TrackerModel model;
  std::unique_ptr<RawTrajectory> stream;
  std::unique_ptr<DeviceEmulator> emu;
  std::unique_ptr<ZtControl> control;
  PacketCollector collector;
  bool opened = false;
  ZtDevice* device = nullptr;
  KtixDevice* ktix = nullptr;

 private:
  size_t m_dropped = 0;
};

// The raw samples of a turning trajectory at 100 Hz (still, a turn about a tilted axis, a
// sinusoid), as the tracker's calibration sees them: for feeding doProcessing directly.
inline std::vector<ZtScrData> turningRawSamples(const TrackerSensorModel& sensor, size_t n) {
  filtersim::MotionSimulator sim(streamConfig(100.0),
                                 {filtersim::Segment::still(2.0),
                                  filtersim::Segment::rotate(10.0, filtersim::Vec3(1, 1, 2).normalized(), 1.5),
                                  filtersim::Segment::sinusoid(20.0, filtersim::Vec3(1, 0, 0), 2.0, 0.5)});
  std::vector<ZtScrData> out;
  filtersim::Sample s;
  while (out.size() < n && sim.next(s)) {
    double acc[3], gyr[3], mag[3];
    for (int i = 0; i < 3; ++i) {
      acc[i] = s.acc[i];
      gyr[i] = s.gyr[i];
      mag[i] = s.mag[i];
    }
    uint16_t counts[10];
    RawTrajectory::rawCounts(sensor, 25.0, acc, gyr, mag, counts);
    ZtScrData raw{};
    std::copy(counts, counts + 3, raw.acc);
    std::copy(counts + 3, counts + 6, raw.gyr);
    std::copy(counts + 6, counts + 9, raw.mag);
    raw.temp[0] = counts[9];
    out.push_back(raw);
  }
  return out;
}

// ---- Orientation errors against the truth ------------------------------------------------------------

inline ZtQuaternion fromEigen(const filtersim::Quat& q) { return ZtQuaternion{q.w(), q.x(), q.y(), q.z()}; }

inline ZtQuaternion quatMul(const ZtQuaternion& a, const ZtQuaternion& b) {
  return ZtQuaternion{a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z, a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
                      a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x, a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

// The angle between the sensor's vertical as estimated and as true (degrees).
inline double tiltErrorDeg(const ZtQuaternion& est, const ZtQuaternion& truth) {
  // Third row of R(q): the global up axis in sensor coordinates.
  auto up = [](const ZtQuaternion& q, double v[3]) {
    v[0] = 2 * (q.x * q.z - q.w * q.y);
    v[1] = 2 * (q.y * q.z + q.w * q.x);
    v[2] = q.w * q.w - q.x * q.x - q.y * q.y + q.z * q.z;
  };
  double a[3], b[3];
  up(est, a);
  up(truth, b);
  const double c = (a[0] * b[0] + a[1] * b[1] + a[2] * b[2]) /
                   (std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]) * std::sqrt(b[0] * b[0] + b[1] * b[1] + b[2] * b[2]));
  return std::acos(std::clamp(c, -1.0, 1.0)) * 180.0 / M_PI;
}

// The rotation about the global vertical between estimate and truth (degrees, -180 to 180).
inline double headingErrorDeg(const ZtQuaternion& est, const ZtQuaternion& truth) {
  const ZtQuaternion e = quatMul(est, ZtQuaternion{truth.w, -truth.x, -truth.y, -truth.z});
  return 2.0 * std::atan2(e.z, e.w) * 180.0 / M_PI;
}

inline double wrapDeg(double a) {
  while (a > 180.0) a -= 360.0;
  while (a < -180.0) a += 360.0;
  return a;
}

// Yaw of q about the global vertical (degrees): the heading of the sensor's x axis.
inline double yawDeg(const ZtQuaternion& q) {
  return std::atan2(2 * (q.x * q.y + q.w * q.z), q.w * q.w + q.x * q.x - q.y * q.y - q.z * q.z) * 180.0 / M_PI;
}

}  // namespace zelto::test
