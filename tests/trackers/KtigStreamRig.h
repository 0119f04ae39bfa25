#pragma once
// The GNSS-aided tracker end to end through the C interface: a control (ZtControl_*) opens a
// pseudo-terminal served by the emulator in its GNSS-aided mode (TrackerModel::useGnss), whose
// raw stream of a vehicle drive (the navigation kit's curved-earth truth through the record's
// calibration) carries GNSS PVT items at the receiver's rate (GnssPvtItems). Packets reach the
// application through a plain-C handler table and are kept with their orientation, position,
// velocity and status; the truth is looked up by counter. Samples come in bursts, faster than
// real time.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/PtyPort.h"
#include "support/emulator/DeviceEmulator.h"
#include "support/emulator/GnssPvtItems.h"
#include "support/emulator/RawTrajectory.h"
#include "support/emulator/TrackerModel.h"
#include "trackers/KtigFixture.h"
#include "zeltodeviceapi/ztcallbackplainc.h"
#include "zeltodeviceapi/ztcontrol.h"
#include "zeltodeviceapi/ztdevice.h"

namespace zelto::test {

using filtersim::GeodeticFrame;
using filtersim::Quat;
using filtersim::Segment;
using filtersim::Vec3;

// What the application saw of one packet.
struct NavPacket {
  uint16_t counter = 0;
  bool hasOrientation = false;
  int frame = -1;
  Quat q = Quat::Identity();
  bool hasPosition = false;
  Vec3 lla = Vec3::Zero();
  bool hasVelocity = false;
  Vec3 velocity = Vec3::Zero();
  bool hasStatus = false;
  uint32_t status = 0;
};

// A plain-C handler table whose data event keeps every packet.
class NavCollector {
 public:
  NavCollector() {
    m_table.self = this;
    m_table.callbacks.m_onDataAvailable = [](ZtCallbackPlainC* cb, ZtDevice*, const ZtDataPacket* packet) {
      reinterpret_cast<Table*>(cb)->self->add(packet);
    };
  }
  ZtCallbackPlainC* handler() { return &m_table.callbacks; }
  bool waitFor(size_t n, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return m_packets.size() >= n; });
  }
  std::vector<NavPacket> packets() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_packets;
  }
  size_t count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_packets.size();
  }

 private:
  struct Table {
    ZtCallbackPlainC callbacks{};  // first: the library hands its address back
    NavCollector* self = nullptr;
  };
  void add(const ZtDataPacket* packet) {
    NavPacket p;
    p.counter = ZtDataPacket_packetCounter(packet);
    p.hasOrientation = ZtDataPacket_containsOrientationQuaternion(packet) != 0;
    if (p.hasOrientation) {
      ZtQuaternion q;
      ZtDataPacket_orientationQuaternion(packet, 0, &q);
      p.q = Quat(q.w, q.x, q.y, q.z);
      p.frame = ZtDataPacket_orientationFrame(packet);
    }
    double values[3] = {0, 0, 0};
    ZtVector v{values, 3, 0};
    p.hasPosition = ZtDataPacket_containsPositionLLA(packet) != 0;
    if (p.hasPosition && ZtDataPacket_positionLLA(packet, &v)) p.lla = Vec3(values[0], values[1], values[2]);
    p.hasVelocity = ZtDataPacket_containsVelocity(packet) != 0;
    if (p.hasVelocity && ZtDataPacket_velocity(packet, p.frame < 0 ? 0x0008 : p.frame, &v))
      p.velocity = Vec3(values[0], values[1], values[2]);
    p.hasStatus = ZtDataPacket_containsStatus(packet) != 0;
    if (p.hasStatus) p.status = ZtDataPacket_status(packet);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_packets.push_back(p);
    m_changed.notify_all();
  }

  Table m_table;
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<NavPacket> m_packets;
};

inline ZtString ktigText(const std::string& s) {
  ZtString t;
  ZtString_construct(&t, s.c_str());
  return t;
}

// The drive at 100 Hz at the emulated record's last known position (52.25 N, 6.875 E, 12.5 m).
inline filtersim::SimulatorConfig driveConfig(const Quat& initial) {
  filtersim::SimulatorConfig c;
  c.truthRate = 200.0;
  c.outputRate = 100.0;
  c.latitude = 52.25 * M_PI / 180.0;
  c.longitude = 6.875 * M_PI / 180.0;
  c.altitude = 12.5;
  c.curvedEarth = true;
  c.gravityModel = GeodeticFrame::Gravity::Igf1980;
  c.initialAttitude = initial;
  c.acc.noiseDensity = 0.02 / std::sqrt(100.0);
  c.gyr.noiseDensity = 0.003 / std::sqrt(100.0);
  c.mag.noiseDensity = 0.005 / std::sqrt(100.0);
  c.acc.bias = Vec3(0.03, -0.02, 0.04);
  c.gyr.bias = Vec3(0.001, -0.001, 0.0015);
  c.mag.declination = 0.0;
  c.mag.inclination = 1.1;
  c.seed = 5;
  return c;
}

class KtigStreamRig {
 public:
  KtigStreamRig(const filtersim::SimulatorConfig& config, std::vector<Segment> segments,
                const filtersim::GnssConfig& gnssConfig, uint32_t outputSettings)
      : gnss(gnssConfig, filtersim::BarometerConfig{}, config) {
    useKtig(model);
    RawTrajectory::useRawOutput(model, 1152, 0);
    model.setRow(TrackerModel::HeadingOffset, {0, 0, 0, 0});
    std::vector<uint8_t> settings;
    putU32(settings, outputSettings);
    model.setRow(TrackerModel::OutputSettings, settings);
    stream = std::make_unique<RawTrajectory>(model.sensor, config, std::move(segments));
    stream->setExtraItems([this](const filtersim::Sample& s, std::vector<uint8_t>& out) { gnss.append(s, out); });
    emu = std::make_unique<DeviceEmulator>(std::make_unique<FdEmulatorLink>(dup(pty.masterFd())));
    model.attachTo(*emu);
    stream->attachTo(*emu);
    emu->start();
    control = ZtControl_construct();
    ZtString name = ktigText(pty.slavePath());
    opened = ZtControl_openPort(control, &name, B115200, 0, 0) == 1;
    ZtString_destruct(&name);
    if (!opened) return;
    device = ZtControl_device(control, kKtigId);
    ktig = dynamic_cast<KtigDevice*>(device);
    if (device) ZtDevice_addCallbackHandler(device, collector.handler(), 0);
  }
  ~KtigStreamRig() {
    ZtControl_destruct(control);
    emu->stop();
  }
  KtigStreamRig(const KtigStreamRig&) = delete;
  KtigStreamRig& operator=(const KtigStreamRig&) = delete;

  // Into measurement; the samples then come in bursts only.
  bool startMeasuring() {
    if (ZtDevice_gotoMeasurement(device) != 1) return false;
    emu->setMeasuring(false);
    return collector.waitFor(stream->samplesMade(), std::chrono::milliseconds(5000));
  }
  bool burst(size_t n) {
    const size_t expected = collector.count() + n;
    return emu->sendDataBurst(n) == n && collector.waitFor(expected, std::chrono::milliseconds(30000));
  }
  filtersim::Sample truth(uint16_t counter) const {
    filtersim::Sample s;
    EXPECT_TRUE(stream->truth(counter, s)) << counter;
    return s;
  }

  PtyPort pty;
  TrackerModel model;
  GnssPvtItems gnss;
  std::unique_ptr<RawTrajectory> stream;
  std::unique_ptr<DeviceEmulator> emu;
  ZtControl* control = nullptr;
  NavCollector collector;
  bool opened = false;
  ZtDevice* device = nullptr;
  KtigDevice* ktig = nullptr;
};

}  // namespace zelto::test
