#pragma once
// A fourth-generation tracker end to end through the C interface: a control (ZtControl_*) opens
// a pseudo-terminal served by the device emulator in its fourth-generation mode, whose stream
// carries the items of the output configuration the device holds at each moment (RawTrajectory
// driven by the model). Packets reach the application through a plain-C handler table and are
// kept with the values a test compares with the trajectory's truth by counter. Samples come in
// bursts, faster than real time.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "device/ZtOutputConfiguration.h"
#include "zeltodeviceapi/ztcallbackplainc.h"
#include "zeltodeviceapi/ztcontrol.h"
#include "zeltodeviceapi/ztdevice.h"
#include "support/PtyPort.h"
#include "support/emulator/DeviceEmulator.h"
#include "support/emulator/RawTrajectory.h"
#include "support/emulator/TrackerModel.h"
#include "trackers/KtMk4_X0Device.h"

namespace zelto::test {

// What the application saw of one packet.
struct Mk4Packet {
  uint16_t counter = 0;
  bool hasRaw = false;
  bool hasCalibrated = false;
  double acc[3] = {}, gyr[3] = {}, mag[3] = {};
  bool hasSdi = false;
  double dq[4] = {};  // w x y z
  double dv[3] = {};
  bool hasOrientation = false;
  double q[4] = {};  // w x y z
  bool hasStatus = false;
  uint32_t status = 0;
  bool hasFreeAcc = false;
  double freeAcc[3] = {};
  bool hasPosition = false;
  double lla[3] = {};  // degrees, degrees, m
  bool hasVelocity = false;
  double velocity[3] = {};
  bool operator==(const Mk4Packet&) const = default;
};

inline void PrintTo(const Mk4Packet& p, std::ostream* os) {
  *os << "counter " << p.counter << (p.hasRaw ? " raw" : "") << (p.hasCalibrated ? " calibrated" : "")
      << " acc " << p.acc[0] << " " << p.acc[1] << " " << p.acc[2];
  if (p.hasSdi) *os << " sdi dq " << p.dq[0] << " " << p.dq[1] << " " << p.dq[2] << " " << p.dq[3] << " dv " << p.dv[0];
  if (p.hasOrientation) *os << " q " << p.q[0] << " " << p.q[1] << " " << p.q[2] << " " << p.q[3];
  if (p.hasStatus) *os << " status " << p.status;
}

// A plain-C handler table whose data event keeps every packet; it also counts the packets the
// library reports missed and the errors it reports.
class PlainCCollector {
 public:
  PlainCCollector() {
    m_table.self = this;
    m_table.callbacks.m_onDataAvailable = [](ZtCallbackPlainC* cb, ZtDevice*, const ZtDataPacket* packet) {
      reinterpret_cast<Table*>(cb)->self->add(packet);
    };
    m_table.callbacks.m_onMissedPackets = [](ZtCallbackPlainC* cb, ZtDevice*, int count, int, int) {
      PlainCCollector* self = reinterpret_cast<Table*>(cb)->self;
      std::lock_guard<std::mutex> lock(self->m_mutex);
      self->m_missed += static_cast<size_t>(std::max(count, 0));
      self->m_changed.notify_all();
    };
    m_table.callbacks.m_onError = [](ZtCallbackPlainC* cb, ZtDevice*, ZtResultValue error) {
      PlainCCollector* self = reinterpret_cast<Table*>(cb)->self;
      std::lock_guard<std::mutex> lock(self->m_mutex);
      self->m_errors.push_back(error);
    };
  }
  ZtCallbackPlainC* handler() { return &m_table.callbacks; }

  bool waitFor(size_t n, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return m_packets.size() >= n; });
  }
  // Until n packets are delivered or reported missed.
  bool waitForAccounted(size_t n, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return m_packets.size() + m_missed >= n; });
  }
  size_t missed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_missed;
  }
  std::vector<ZtResultValue> errors() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_errors;
  }
  std::vector<Mk4Packet> packets() const {
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
    m_missed = 0;
    m_errors.clear();
  }

 private:
  struct Table {
    ZtCallbackPlainC callbacks{};  // first: the library hands its address back
    PlainCCollector* self = nullptr;
  };
  void add(const ZtDataPacket* packet) {
    Mk4Packet p;
    p.counter = ZtDataPacket_packetCounter(packet);
    p.hasRaw = ZtDataPacket_containsRawData(packet) != 0;
    p.hasCalibrated = ZtDataPacket_containsCalibratedData(packet) != 0;
    if (p.hasCalibrated) {
      ZtCalibratedData c;
      ZtDataPacket_calibratedData(packet, &c);
      for (int i = 0; i < 3; ++i) {
        p.acc[i] = c.acc[i];
        p.gyr[i] = c.gyr[i];
        p.mag[i] = c.mag[i];
      }
    }
    p.hasSdi = ZtDataPacket_containsSdiData(packet) != 0;
    if (p.hasSdi) {
      ZtSdiData sdi;
      ZtDataPacket_sdiData(packet, &sdi);
      const ZtQuaternion& d = sdi.orientationIncrement;
      p.dq[0] = d.w, p.dq[1] = d.x, p.dq[2] = d.y, p.dq[3] = d.z;
      for (int i = 0; i < 3; ++i) p.dv[i] = sdi.velocityIncrement[i];
    }
    p.hasOrientation = ZtDataPacket_containsOrientationQuaternion(packet) != 0;
    if (p.hasOrientation) {
      ZtQuaternion q;
      ZtDataPacket_orientationQuaternion(packet, 0, &q);
      p.q[0] = q.w, p.q[1] = q.x, p.q[2] = q.y, p.q[3] = q.z;
    }
    p.hasStatus = ZtDataPacket_containsStatus(packet) != 0;
    if (p.hasStatus) p.status = ZtDataPacket_status(packet);
    ZtVector v;
    ZtVector_construct(&v, 0, nullptr);
    if ((p.hasFreeAcc = ZtDataPacket_containsFreeAcceleration(packet) != 0)) {
      ZtDataPacket_freeAcceleration(packet, &v);
      for (int i = 0; i < 3; ++i) p.freeAcc[i] = v.data[i];
    }
    if ((p.hasPosition = ZtDataPacket_containsPositionLLA(packet) != 0)) {
      ZtDataPacket_positionLLA(packet, &v);
      for (int i = 0; i < 3; ++i) p.lla[i] = v.data[i];
    }
    if ((p.hasVelocity = ZtDataPacket_containsVelocity(packet) != 0)) {
      ZtDataPacket_velocity(packet, 0, &v);
      for (int i = 0; i < 3; ++i) p.velocity[i] = v.data[i];
    }
    ZtVector_destruct(&v);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_packets.push_back(p);
    m_changed.notify_all();
  }

  Table m_table;
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<Mk4Packet> m_packets;
  size_t m_missed = 0;
  std::vector<ZtResultValue> m_errors;
};

using Pairs = std::vector<std::pair<uint16_t, uint16_t>>;

inline ZtOutputConfigurationArray configurationArray(const Pairs& pairs) {
  std::vector<ZtOutputConfiguration> items;
  for (const auto& [id, f] : pairs) items.push_back({id, f});
  ZtOutputConfigurationArray a;
  ZtOutputConfigurationArray_construct(&a, items.size(), items.empty() ? nullptr : items.data());
  return a;
}

inline Pairs pairsOf(const ZtOutputConfigurationArray& a) {
  Pairs out;
  for (size_t i = 0; a.data && i < a.size; ++i) out.emplace_back(a.data[i].dataIdentifier, a.data[i].frequency);
  return out;
}

inline ZtString cText(const std::string& s) {
  ZtString t;
  ZtString_construct(&t, s.c_str());
  return t;
}

// A still-and-turning trajectory at 2000 Hz without sensor noise (the counts' rounding is the
// only error), at 52.25 N.
inline filtersim::SimulatorConfig mk4StreamConfig() {
  filtersim::SimulatorConfig c;
  c.outputRate = 2000.0;
  c.truthRate = 4000.0;
  c.latitude = 52.25 * M_PI / 180.0;
  c.gravity = 9.8125;
  c.mag.declination = 0.0;
  c.mag.inclination = 1.0;
  c.mag.intensity = 1.0;
  c.seed = 11;
  return c;
}

class Mk4StreamRig {
 public:
  // prepare adjusts the model (sensor, rows) before the port opens.
  // profiles: a ".zsa" file of host filter profiles the control loads before the port opens
  // (empty: the built-in ones).
  template <typename Prepare>
  Mk4StreamRig(uint32_t deviceId, const Pairs& configuration, std::vector<filtersim::Segment> segments,
               Prepare prepare, RawStreamOptions options = {}, const std::string& profiles = {}) {
    model.useFourthGeneration(deviceId, configuration);
    prepare(model);
    stream = std::make_unique<RawTrajectory>(model.sensor, mk4StreamConfig(), std::move(segments), true, options);
    stream->useOutputConfiguration(model);
    emu = std::make_unique<DeviceEmulator>(std::make_unique<FdEmulatorLink>(dup(pty.masterFd())));
    model.attachTo(*emu);
    stream->attachTo(*emu);
    emu->start();
    control = ZtControl_construct();
    if (!profiles.empty()) {
      ZtString file = cText(profiles);
      const bool loaded = ZtControl_loadFilterProfiles(control, &file) == 1;
      ZtString_destruct(&file);
      if (!loaded) return;
    }
    ZtString name = cText(pty.slavePath());
    opened = ZtControl_openPort(control, &name, B115200, 0, 0) == 1;
    ZtString_destruct(&name);
    if (!opened) return;
    device = ZtControl_device(control, deviceId);
    mk4 = dynamic_cast<KtMk4_X0Device*>(device);
    if (device) ZtDevice_addCallbackHandler(device, collector.handler(), 0);
  }
  Mk4StreamRig(uint32_t deviceId, const Pairs& configuration, std::vector<filtersim::Segment> segments)
      : Mk4StreamRig(deviceId, configuration, std::move(segments), [](TrackerModel&) {}) {}
  ~Mk4StreamRig() {
    ZtControl_destruct(control);
    emu->stop();
  }
  Mk4StreamRig(const Mk4StreamRig&) = delete;
  Mk4StreamRig& operator=(const Mk4StreamRig&) = delete;

  bool setConfiguration(const Pairs& pairs) {
    ZtOutputConfigurationArray a = configurationArray(pairs);
    const bool ok = ZtDevice_setOutputConfiguration(device, &a) == 1;
    ZtArray_destruct(ZTARRAY(&a));
    return ok;
  }
  Pairs processed() {
    ZtOutputConfigurationArray a;
    ZtOutputConfigurationArray_construct(&a, 0, nullptr);
    ZtDevice_processedOutputConfiguration(device, &a);
    Pairs out = pairsOf(a);
    ZtArray_destruct(ZTARRAY(&a));
    return out;
  }
  // Into measurement without real-time streaming: samples then come in bursts only.
  bool startMeasuring() {
    if (ZtDevice_gotoMeasurement(device) != 1) return false;
    emu->setMeasuring(false);
    return collector.waitFor(stream->samplesMade() - m_dropped, std::chrono::milliseconds(5000));
  }
  // n more samples, and waits until the application has every packet so far.
  bool burst(size_t n, std::chrono::milliseconds limit = std::chrono::milliseconds(20000)) {
    const size_t expected = collector.count() + n;
    if (emu->sendDataBurst(n) != n) return false;
    return collector.waitFor(expected, limit);
  }
  void clearCollected() {
    m_dropped += collector.count();
    collector.clear();
  }

  PtyPort pty;
  TrackerModel model;
  std::unique_ptr<RawTrajectory> stream;
  std::unique_ptr<DeviceEmulator> emu;
  ZtControl* control = nullptr;
  PlainCCollector collector;
  bool opened = false;
  ZtDevice* device = nullptr;
  KtMk4_X0Device* mk4 = nullptr;

 private:
  size_t m_dropped = 0;
};

}  // namespace zelto::test
