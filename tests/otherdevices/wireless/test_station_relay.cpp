// Wireless trackers end to end through the C interface: an emulated station relays the streams
// of several trackers, each from its own simulated trajectory, with scripted radio losses, late
// packets and the 16-bit frame wrap. Trackers connect and are accepted or rejected; the accepted
// ones deliver Zkf3w orientation near their truth; battery, trigger and client-error indications
// reach the application; a recording with losses and late packets flushes with its countdown and
// replays to the same packets whose increments integrate to the truth; the second variant runs at
// 200 Hz; an indication storm changes nothing; the data bundler pairs the trackers' packets; every
// other ending of a recording writes what a tracker held back; a tracker let go from its own
// packet or write handler ends after that work, every held packet offered once, the trackers
// listed after it keeping their own data; a station request from the write handler is answered
// while the recording ends. Last, what an application's handler
// may do to its own tracker or its station: let the tracker go from its packet handler or while its
// held-back packets are written, and ask the station something while the recording ends.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "filtersim/MotionSimulator.h"
#include "otherdevices/wireless/KtwDevice.h"
#include "otherdevices/wireless/Ktx2Device.h"
#include "otherdevices/wireless/TovanaStationDevice.h"
#include "support/JournalCapture.h"
#include "support/PtyPort.h"
#include "support/TempDir.h"
#include "support/TestControl.h"
#include "support/emulator/DeviceEmulator.h"
#include "support/emulator/RawTrajectory.h"
#include "support/emulator/SdiPayload.h"
#include "support/emulator/StationModel.h"
#include "support/emulator/TrackerModel.h"
#include "zeltodeviceapi/zdalibrary.h"
#include "zeltodeviceapi/ztcontrol.h"
#include "zeltodeviceapi/ztdatabundler.h"
#include "zeltodeviceapi/ztdevice.h"

namespace {

using namespace zelto::test;
using namespace std::chrono_literals;
using filtersim::Quat;
using filtersim::Segment;
using filtersim::Vec3;

#ifdef ZDA_UNDER_SANITIZER
constexpr auto kRelayWait = 20000ms;
#else
constexpr auto kRelayWait = 5000ms;
#endif
constexpr double kRelayDeg = M_PI / 180.0;
constexpr uint32_t kRelayStation = 0x00020123;
constexpr uint32_t kTrackerA = 0x00080011;
constexpr uint32_t kTrackerB = 0x00080022;
constexpr uint32_t kTrackerR = 0x00080033;  // rejected
constexpr uint32_t kVariant = 0x00090044;   // second variant

// What the application saw of one packet.
struct RelayPacket {
  ZtDevice* device = nullptr;
  int64_t id = -1;
  int first = 0, last = 0;  // frame range
  bool hasSdi = false;
  double dq[4] = {};  // w x y z
  double dv[3] = {};
  bool hasOrientation = false;
  double q[4] = {};
  uint32_t status = 0;
  bool trigger[2] = {false, false};
  ZtTriggerIndicationData triggerData[2] = {};
};

// A plain-C handler table that keeps every packet and event it is given.
class RelayEvents {
 public:
  struct Event {
    ZtDevice* device;
    int kind;
    int values[3];
    std::string text;
  };
  enum { State, Connectivity, Info, Error, Progress, Indication };

  RelayEvents() {
    m_table.self = this;
    ZtCallbackPlainC& t = m_table.callbacks;
    t.m_onDataAvailable = [](ZtCallbackPlainC* cb, ZtDevice* d, const ZtDataPacket* p) { self(cb)->addPacket(d, p); };
    t.m_onDeviceStateChanged = [](ZtCallbackPlainC* cb, ZtDevice* d, ZtDeviceState s, ZtDeviceState o) {
      self(cb)->add({d, State, {s, o, 0}, {}});
    };
    t.m_onConnectivityChanged = [](ZtCallbackPlainC* cb, ZtDevice* d, ZtConnectivityState s) {
      self(cb)->add({d, Connectivity, {s, 0, 0}, {}});
    };
    t.m_onInfoResponse = [](ZtCallbackPlainC* cb, ZtDevice* d, ZtInfoRequest r) { self(cb)->add({d, Info, {r, 0, 0}, {}}); };
    t.m_onError = [](ZtCallbackPlainC* cb, ZtDevice* d, ZtResultValue e) { self(cb)->add({d, Error, {e, 0, 0}, {}}); };
    t.m_onNonDataMessage = [](ZtCallbackPlainC* cb, ZtDevice* d, const ZtMessage* m) {
      if (ZtMessage_getMessageId(m) == 0x46) self(cb)->add({d, Indication, {ZtMessage_getDataByte(m, 0), 0, 0}, {}});
    };
    t.m_onProgressUpdated = [](ZtCallbackPlainC* cb, ZtDevice* d, int current, int total, const ZtString* text) {
      self(cb)->add({d, Progress, {current, total, 0}, text && text->data ? text->data : ""});
    };
  }
  RelayEvents(const RelayEvents&) = delete;
  RelayEvents& operator=(const RelayEvents&) = delete;
  ZtCallbackPlainC* handler() { return &m_table.callbacks; }

  // The bundler's handler: each bundle's packet ids and devices.
  void addBundle(ZtDataBundler* bundler) {
    const uint32_t n = ZtDataBundler_count(bundler);
    std::vector<std::pair<ZtDeviceId, int64_t>> bundle;
    for (uint32_t i = 0; i < n; ++i)
      if (const ZtDataPacket* p = ZtDataBundler_at(bundler, i)) bundle.emplace_back(p->deviceId, p->packetId);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bundles.push_back(std::move(bundle));
    m_changed.notify_all();
  }

  std::vector<RelayPacket> packets(ZtDevice* device) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<RelayPacket> out;
    for (const RelayPacket& p : m_packets)
      if (p.device == device) out.push_back(p);
    return out;
  }
  std::vector<Event> events(int kind, ZtDevice* device = nullptr) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Event> out;
    for (const Event& e : m_events)
      if (e.kind == kind && (!device || e.device == device)) out.push_back(e);
    return out;
  }
  // True once a bundle of the packets with the id was delivered.
  bool waitForBundle(int64_t id) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, kRelayWait, [&] {
      return std::any_of(m_bundles.begin(), m_bundles.end(),
                         [&](const auto& bundle) { return !bundle.empty() && bundle[0].second == id; });
    });
  }
  std::vector<std::vector<std::pair<ZtDeviceId, int64_t>>> bundles() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bundles;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_packets.clear();
    m_events.clear();
    m_bundles.clear();
  }
  // True once the device delivered a packet with the id.
  bool waitForPacket(ZtDevice* device, int64_t id) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, kRelayWait, [&] {
      return std::any_of(m_packets.begin(), m_packets.end(),
                         [&](const RelayPacket& p) { return p.device == device && p.id == id; });
    });
  }
  bool waitForPackets(ZtDevice* device, size_t n) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, kRelayWait, [&] {
      return static_cast<size_t>(std::count_if(m_packets.begin(), m_packets.end(),
                                               [&](const RelayPacket& p) { return p.device == device; })) >= n;
    });
  }
  // True once n events of the kind reached the device.
  bool waitForEvents(int kind, ZtDevice* device, size_t n) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, kRelayWait, [&] {
      return static_cast<size_t>(std::count_if(m_events.begin(), m_events.end(), [&](const Event& e) {
               return e.kind == kind && e.device == device;
             })) >= n;
    });
  }
  // True once an event of the kind with the first value reached the device (value -1: any),
  // among those after the first `skip` events of that kind for the device.
  bool waitForEvent(int kind, ZtDevice* device, int value = -1, size_t skip = 0) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, kRelayWait, [&] {
      size_t n = 0;
      for (const Event& e : m_events) {
        if (e.kind != kind || e.device != device) continue;
        if (n++ >= skip && (value < 0 || e.values[0] == value)) return true;
      }
      return false;
    });
  }
  size_t count(int kind, ZtDevice* device) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<size_t>(std::count_if(m_events.begin(), m_events.end(),
                                             [&](const Event& e) { return e.kind == kind && e.device == device; }));
  }

 private:
  struct Table {
    ZtCallbackPlainC callbacks{};  // first: the library hands its address back
    RelayEvents* self = nullptr;
  };
  static RelayEvents* self(ZtCallbackPlainC* cb) { return reinterpret_cast<Table*>(cb)->self; }
  void add(Event e) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back(std::move(e));
    m_changed.notify_all();
  }
  void addPacket(ZtDevice* device, const ZtDataPacket* packet) {
    RelayPacket p;
    p.device = device;
    p.id = packet->packetId;
    if (ZtDataPacket_containsFrameRange(packet)) {
      ZtRange r;
      ZtDataPacket_frameRange(packet, &r);
      p.first = r.first, p.last = r.last;
    }
    if ((p.hasSdi = ZtDataPacket_containsSdiData(packet) != 0)) {
      ZtSdiData sdi;
      ZtDataPacket_sdiData(packet, &sdi);
      const ZtQuaternion& d = sdi.orientationIncrement;
      p.dq[0] = d.w, p.dq[1] = d.x, p.dq[2] = d.y, p.dq[3] = d.z;
      for (int i = 0; i < 3; ++i) p.dv[i] = sdi.velocityIncrement[i];
    }
    if ((p.hasOrientation = ZtDataPacket_containsOrientationQuaternion(packet) != 0)) {
      ZtQuaternion q;
      ZtDataPacket_orientationQuaternion(packet, 0, &q);
      p.q[0] = q.w, p.q[1] = q.x, p.q[2] = q.y, p.q[3] = q.z;
    }
    if (ZtDataPacket_containsStatus(packet)) p.status = ZtDataPacket_status(packet);
    for (int k = 0; k < 2; ++k) {
      const ZtDataIdentifier id = k == 0 ? 0x4810 : 0x4820;
      if ((p.trigger[k] = ZtDataPacket_containsTriggerIndication(packet, id) != 0))
        ZtDataPacket_triggerIndication(packet, id, &p.triggerData[k]);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_packets.push_back(p);
    m_changed.notify_all();
  }

  Table m_table;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<RelayPacket> m_packets;
  std::vector<Event> m_events;
  std::vector<std::vector<std::pair<ZtDeviceId, int64_t>>> m_bundles;
};

// One tracker behind the station: the output configuration its stream sends and the stream.
struct RelayTracker {
  RelayTracker(uint32_t id, std::vector<std::pair<uint16_t, uint16_t>> configuration, double rate,
               std::vector<Segment> segments, uint64_t seed) {
    config.useFourthGeneration(id, std::move(configuration));
    filtersim::SimulatorConfig c;
    c.outputRate = rate;
    c.earthRate = false;
    c.seed = seed;
    stream = std::make_unique<RawTrajectory>(config.sensor, c, std::move(segments));
    stream->useOutputConfiguration(config);
  }
  TrackerModel config;
  std::unique_ptr<RawTrajectory> stream;
};

std::vector<Segment> relayTurnsA() {
  return {Segment::still(1.5), Segment::rotate(1.5, Vec3(0.0, 0.0, 1.0), 60.0 * kRelayDeg),
          Segment::rotate(1.0, Vec3(1.0, 0.0, 1.0), 35.0 * kRelayDeg), Segment::still(30.0)};
}
std::vector<Segment> relayTurnsB() {
  return {Segment::still(1.5), Segment::rotate(1.0, Vec3(0.2, 1.0, 0.0), -40.0 * kRelayDeg),
          Segment::rotate(1.5, Vec3(0.0, 0.0, 1.0), 90.0 * kRelayDeg), Segment::still(30.0)};
}

// A turn of two seconds, for runs of a few hundred frames (a long trajectory is simulated at once).
std::vector<Segment> relayShortTurn() { return {Segment::rotate(2.0, Vec3(0.3, 0.2, 1.0), 50.0 * kRelayDeg)}; }

// An emulated station on a pseudo-terminal, opened through the library's own control, with the
// trackers' streams on the station model.
const std::vector<std::pair<uint16_t, uint16_t>> kIncrements100 = {
    {0x8030, 100}, {0x4010, 100}, {0xC020, 100}, {0xE020, 100}};

class StationRelayRig {
 public:
  StationRelayRig(std::vector<uint32_t> listed, std::vector<uint8_t> rates = {100, 75, 60, 50})
      : emu(std::make_unique<FdEmulatorLink>(dup(pty.masterFd()))) {
    model.setStationId(kRelayStation);
    model.setChannel(11);
    model.setChildren(std::move(listed));
    model.setUpdateRates(std::move(rates));
    model.setAdmission(true);
    model.attachTo(emu);
    emu.start();
  }
  ~StationRelayRig() {
    if (bundler) ZtDataBundler_destruct(bundler);
    ZtControl_close(&control);
    emu.stop();
  }
  StationRelayRig(const StationRelayRig&) = delete;
  StationRelayRig& operator=(const StationRelayRig&) = delete;

  RelayTracker& addTracker(uint32_t id, std::vector<std::pair<uint16_t, uint16_t>> configuration, double rate,
                           std::vector<Segment> segments, uint64_t seed) {
    trackers.push_back(std::make_unique<RelayTracker>(id, std::move(configuration), rate, std::move(segments), seed));
    model.addStream(id, *trackers.back()->stream);
    return *trackers.back();
  }
  // A tracker whose intervals the station relays as legacy data messages in the value form of
  // outputSettings.
  RelayTracker& addLegacyTracker(uint32_t id, uint32_t outputSettings, bool viaStationBus, std::vector<Segment> segments,
                                 uint64_t seed) {
    trackers.push_back(std::make_unique<RelayTracker>(id, kIncrements100, 100, std::move(segments), seed));
    model.addLegacyStream(id, *trackers.back()->stream, outputSettings, viaStationBus);
    return *trackers.back();
  }
  bool open() {
    const Text port(pty.slavePath());
    // A slow first answer (the first open of a sanitizer run) is waited for, not failed.
    if (!ZtControl_openPort(&control, &port.s, B115200, static_cast<uint32_t>(kRelayWait.count()), 0)) return false;
    station = ZtControl_device(&control, kRelayStation);
    if (!station) return false;
    ZtDevice_addCallbackHandler(station, events.handler(), 0);
    return true;
  }
  ZtDevice* child(uint32_t id) const {
    auto* s = dynamic_cast<TovanaStationDevice*>(station);
    return s ? s->findDevice(id) : nullptr;
  }
  void listen(ZtDevice* device) { ZtDevice_addCallbackHandler(device, events.handler(), 0); }
  // Both listed trackers streaming their own turns, the port open and both children heard.
  bool openBoth(uint64_t seedA, uint64_t seedB, ZtDevice*& a, ZtDevice*& b) {
    addTracker(kTrackerA, kIncrements100, 100, relayTurnsA(), seedA);
    addTracker(kTrackerB, kIncrements100, 100, relayTurnsB(), seedB);
    if (!open()) return false;
    a = child(kTrackerA);
    b = child(kTrackerB);
    if (!a || !b) return false;
    listen(a);
    listen(b);
    return true;
  }
  // Tracker A alone, streaming a short turn, the port open and A heard; A, or null when that fails.
  ZtDevice* openOne(uint64_t seed) {
    addTracker(kTrackerA, kIncrements100, 100, relayShortTurn(), seed);
    if (!open()) return nullptr;
    ZtDevice* a = child(kTrackerA);
    if (a) listen(a);
    return a;
  }
  // Relays n frames and waits until the device delivered the last of them.
  bool relay(size_t n, ZtDevice* waitFor) {
    model.relay(n);
    return waitFor == nullptr || events.waitForPacket(waitFor, lastId(waitFor));
  }
  // The unwrapped id the library gives the last frame relayed (the tracker's counter rises).
  int64_t lastId(ZtDevice* device) const {
    const std::vector<RelayPacket> seen = events.packets(device);
    int64_t highest = seen.empty() ? -1 : seen.back().id;
    for (const RelayPacket& p : seen) highest = std::max(highest, p.id);
    const uint16_t frame = model.lastFrame();
    if (highest < 0) return frame;
    int64_t id = (highest & ~int64_t{0xFFFF}) | frame;
    if (id < highest - 32768) id += 65536;
    return id;
  }
  // True once the station changed to the state after the first `since` state changes.
  bool waitForStationState(ZtDeviceState state, size_t since) const {
    return events.waitForEvent(RelayEvents::State, station, state, since);
  }
  // A recording into path: measurement from frame 1000, ten frames relayed (waited for on
  // tracker), then the recording started at the last of them (start). False when a step fails.
  bool recordFromFrame1000(ZtDevice* tracker, const std::string& path, uint16_t& start) {
    const Text name(path);
    if (ZtDevice_createLogFile(station, &name.s) != 0 || !ZtDevice_gotoMeasurement(station)) return false;
    model.setNextFrame(1000);
    if (!relay(10, tracker)) return false;
    start = model.lastFrame();
    model.setSendRecordingStarted(true, start);
    const size_t states = events.count(RelayEvents::State, station);
    return ZtDevice_startRecording(station) && waitForStationState(ZDS_Recording, states);
  }

  PtyPort pty;
  RelayEvents events;  // outlives the control
  StationModel model;  // before the emulator: its thread calls the model until it stops
  std::vector<std::unique_ptr<RelayTracker>> trackers;
  DeviceEmulator emu;
  ZtControl control;
  ZtDevice* station = nullptr;
  ZtDataBundler* bundler = nullptr;
};

// The angle of the rotation q.
double angleOf(const Quat& q) { return 2.0 * std::atan2(q.vec().norm(), std::fabs(q.w())); }

// Tilt and heading-free error of the delivered orientations against the truth, over the packets
// whose filter has settled (status bit 0x2) from the given frame count on.
struct OrientationError {
  size_t compared = 0;
  double worstTilt = 0.0;
  double worstRelative = 0.0;
};
OrientationError orientationError(const std::vector<RelayPacket>& packets, const RawTrajectory& truth, size_t skip) {
  OrientationError out;
  bool first = true;
  Quat offset = Quat::Identity();
  for (size_t i = skip; i < packets.size(); ++i) {
    const RelayPacket& p = packets[i];
    if (!p.hasOrientation || (p.status & 0x2) == 0) continue;
    filtersim::Sample s;
    if (!truth.truth(static_cast<uint16_t>(p.last), s)) continue;
    const Quat e = Quat(p.q[0], p.q[1], p.q[2], p.q[3]).normalized() * s.q.conjugate();
    const Vec3 up = e * Vec3::UnitZ();
    out.worstTilt = std::max(out.worstTilt, std::acos(std::min(1.0, up.z())));
    if (first) offset = e, first = false;
    out.worstRelative = std::max(out.worstRelative, angleOf(e * offset.conjugate()));
    ++out.compared;
  }
  return out;
}

// Three trackers ask to join; two are accepted and one rejected; both accepted trackers measure
// across the frame wrap with orientation near their truth, triggers on the right packets, and
// battery and client-error indications reach the application; the bundler pairs their packets.
TEST(StationRelay, AcceptedTrackersMeasureAcrossTheWrapWithTheirIndications) {
  // The station (its radio on) lists A and R; B is new to it.
  StationRelayRig rig({kTrackerA, kTrackerR});
  rig.addTracker(kTrackerA, kIncrements100, 100, relayTurnsA(), 11);
  rig.addTracker(kTrackerB, kIncrements100, 100, relayTurnsB(), 12);
  ASSERT_TRUE(rig.open());
  ASSERT_TRUE(ZtDevice_isOperational(rig.station));
  ZtDevice* a = rig.child(kTrackerA);
  ZtDevice* r = rig.child(kTrackerR);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(rig.child(kTrackerB), nullptr);
  rig.listen(a);
  rig.listen(r);

  // The connection requests: B's makes its child; the application accepts two, rejects one.
  for (uint32_t id : {kTrackerA, kTrackerB, kTrackerR}) rig.model.connect(id, -50, 1, 3);
  auto* station = dynamic_cast<TovanaStationDevice*>(rig.station);
  ASSERT_TRUE(rig.events.waitForEvents(RelayEvents::Indication, rig.station, 3));
  ASSERT_TRUE(station->waitForRequests(static_cast<unsigned>(kRelayWait.count())));
  ZtDevice* b = rig.child(kTrackerB);
  ASSERT_NE(b, nullptr);
  rig.listen(b);
  EXPECT_EQ(ZtDevice_connectivityState(b), ZCS_Wireless);
  for (ZtDevice* d : {a, b, r}) EXPECT_EQ(ZtDevice_lastKnownRssi(d), -50);
  ASSERT_TRUE(ZtDevice_acceptConnection(a));
  ASSERT_TRUE(ZtDevice_acceptConnection(b));
  ASSERT_TRUE(ZtDevice_rejectConnection(r));
  ASSERT_TRUE(rig.events.waitForEvent(RelayEvents::Connectivity, r, ZCS_Rejected));
  ASSERT_TRUE(station->waitForRequests(static_cast<unsigned>(kRelayWait.count())));
  for (ZtDevice* d : {a, b}) {
    // Disconnected on acceptance until the station reports the tracker again.
    EXPECT_TRUE(rig.events.waitForEvent(RelayEvents::Connectivity, d, ZCS_Disconnected));
    ASSERT_TRUE(rig.events.waitForEvent(RelayEvents::Connectivity, d, ZCS_Wireless));
  }
  ASSERT_TRUE(station->waitForRequests(static_cast<unsigned>(kRelayWait.count())));
  EXPECT_EQ(rig.model.accepted(), (std::vector<uint32_t>{kTrackerA, kTrackerB}));
  EXPECT_EQ(rig.model.rejected(), (std::vector<uint32_t>{kTrackerR}));
  EXPECT_EQ(ZtDevice_connectivityState(a), ZCS_Wireless);
  EXPECT_EQ(ZtDevice_connectivityState(b), ZCS_Wireless);
  EXPECT_EQ(ZtDevice_connectivityState(r), ZCS_Rejected);
  EXPECT_EQ(ZtDevice_rejectReason(r), ZRR_Blacklisted);
  EXPECT_EQ(ZtDevice_lastKnownRssi(a), -40);
  EXPECT_EQ(ZtDevice_lastKnownRssi(r), -128);

  // The measurement start sets up the newcomer (the station now lists A and B) and drops the
  // rejected tracker, which the station no longer lists.
  ASSERT_TRUE(ZtDevice_gotoMeasurement(rig.station));
  EXPECT_EQ(ZtDevice_deviceState(rig.station), ZDS_Measurement);
  EXPECT_EQ(rig.child(kTrackerR), nullptr);
  ASSERT_EQ(rig.child(kTrackerA), a);
  ASSERT_EQ(rig.child(kTrackerB), b);
  EXPECT_TRUE(b->isInitialized());
  EXPECT_EQ(ZtDevice_deviceState(a), ZDS_Measurement);
  EXPECT_EQ(ZtDevice_deviceState(b), ZDS_Measurement);
  EXPECT_EQ(ZtDevice_updateRate(b), 100);

  // The bundler pairs the two trackers' packets.
  rig.bundler = ZtDataBundler_construct();
  ASSERT_NE(rig.bundler, nullptr);
  struct BundleTable {
    ZtCallbackPlainC callbacks{};
    RelayEvents* events;
    ZtDataBundler* bundler;
  } bundleTable{{}, &rig.events, rig.bundler};
  bundleTable.callbacks.m_onDataAvailable = [](ZtCallbackPlainC* cb, ZtDevice*, const ZtDataPacket*) {
    auto* t = reinterpret_cast<BundleTable*>(cb);
    t->events->addBundle(t->bundler);
  };
  ZtDataBundler_addCallbackHandler(rig.bundler, &bundleTable.callbacks, 0);
  ZtDataBundler_addDevice(rig.bundler, a);
  ZtDataBundler_addDevice(rig.bundler, b);

  // Measuring from 3.5 s before the wrap to past it; triggers for a frame before the wrap and
  // one after it, given well before their frames.
  rig.model.setNextFrame(65536 - 350);
  ASSERT_TRUE(rig.relay(100, a));
  ASSERT_TRUE(rig.events.waitForPacket(b, rig.lastId(b)));
  // A loses the frame of the first trigger, the first after the wrap and one more: its packets
  // after them span two frames, and its first trigger goes with the packet whose interval holds
  // the frame.
  const uint16_t beforeWrap = 65530, afterWrap = 4;
  rig.model.trigger(1, 2, 1111, beforeWrap);
  rig.model.trigger(2, 3, 2222, afterWrap);
  rig.model.loseFrame(kTrackerA, beforeWrap);
  rig.model.loseFrame(kTrackerA, 0);
  rig.model.loseFrame(kTrackerA, 40);
  // B's packet two frames late outside a recording: the one after it spans it, and the late one
  // is neither filtered nor delivered.
  rig.model.delayFrame(kTrackerB, 65450, 2);
  ASSERT_TRUE(rig.relay(400, a));
  ASSERT_TRUE(rig.events.waitForPacket(b, rig.lastId(b)));

  for (ZtDevice* d : {a, b}) {
    const std::vector<RelayPacket> packets = rig.events.packets(d);
    SCOPED_TRACE(d == a ? "tracker A" : "tracker B");
    // Numbered by their last frame, rising through the wrap, one more across each loss.
    std::vector<int64_t> ids, expected;
    for (const RelayPacket& p : packets) ids.push_back(p.id);
    for (int64_t id = 65536 - 350; id <= 65536 + 149; ++id)
      if (d == b ? id != 65450 : (id != beforeWrap && id != 65536 && id != 65536 + 40)) expected.push_back(id);
    EXPECT_EQ(ids, expected);
    // Each trigger on the packet that reaches its frame, and on that one only.
    std::vector<int64_t> fired[2];
    for (const RelayPacket& p : packets)
      for (int k = 0; k < 2; ++k)
        if (p.trigger[k]) fired[k].push_back(p.id);
    EXPECT_EQ(fired[0], (std::vector<int64_t>{d == a ? beforeWrap + 1 : beforeWrap}));
    EXPECT_EQ(fired[1], (std::vector<int64_t>{65536 + afterWrap}));
    for (const RelayPacket& p : packets) {
      if (p.trigger[0]) {
        EXPECT_EQ(p.triggerData[0].timestamp, 1111u);
        EXPECT_EQ(p.triggerData[0].frameNumber, beforeWrap);
      }
      if (p.trigger[1]) {
        EXPECT_EQ(p.triggerData[1].timestamp, 2222u);
      }
    }
  }
  // Orientation after the first second (the filter settles while still) near the truth.
  for (size_t t = 0; t < 2; ++t) {
    ZtDevice* d = t == 0 ? a : b;
    const OrientationError e = orientationError(rig.events.packets(d), *rig.trackers[t]->stream, 100);
    RecordProperty(t == 0 ? "a_worst_tilt_deg" : "b_worst_tilt_deg", std::to_string(e.worstTilt / kRelayDeg));
    RecordProperty(t == 0 ? "a_worst_relative_deg" : "b_worst_relative_deg", std::to_string(e.worstRelative / kRelayDeg));
    EXPECT_GT(e.compared, 350u);
    EXPECT_LT(e.worstTilt, 0.1 * kRelayDeg);
    EXPECT_LT(e.worstRelative, 0.1 * kRelayDeg);
  }
  // A bundle of both trackers' packets with one id for every frame: the bundler splits the
  // packets that span a loss or a late packet (also the one across the wrap) into frames.
  ASSERT_TRUE(rig.events.waitForBundle(65536 + 149));
  std::vector<int64_t> bundled, expected;
  for (const auto& bundle : rig.events.bundles()) {
    ASSERT_EQ(bundle.size(), 2u);
    EXPECT_EQ(bundle[0].second, bundle[1].second);
    EXPECT_NE(bundle[0].first, bundle[1].first);
    bundled.push_back(bundle[0].second);
  }
  for (int64_t id = 65536 - 350; id <= 65536 + 149; ++id) expected.push_back(id);
  EXPECT_EQ(bundled, expected);

  // Battery (on B's bus id: the second listed) and a client error of A.
  rig.model.battery(2, 0x9C);
  ASSERT_TRUE(rig.events.waitForEvent(RelayEvents::Info, b, ZIR_BatteryLevel));
  EXPECT_EQ(ZtDevice_batteryLevel(b), ztScaleBatteryLevel(0x9C));
  rig.model.clientError(kTrackerA, 1);
  ASSERT_TRUE(rig.events.waitForEvent(RelayEvents::Error, a, ZRV_TRACKERERROR));
  rig.model.clientError(kTrackerB, 2);  // other codes are no error
  ASSERT_TRUE(rig.relay(5, a));
  EXPECT_TRUE(rig.events.events(RelayEvents::Error, b).empty());
  EXPECT_TRUE(rig.events.events(RelayEvents::Info, a).empty());
  ZtDataBundler_removeDevice(rig.bundler, nullptr);
}

// Four trackers whose intervals the station relays as legacy data messages, each in its own value
// form (4-byte float, 6-byte fixed point, 8-byte double, 4-byte fixed point), two of them on the
// station's bus id: every tracker's intervals reach the application decoded exactly as the
// station encoded them, also across a loss, and ZtDevice_outputMode and ZtDevice_outputSettings
// give each tracker's configured mode and settings.
TEST(StationRelay, EachTrackerIsDecodedInItsOwnDataFormat) {
  struct Form {
    uint32_t id;
    uint32_t settings;
    bool viaStationBus;
  };
  const Form forms[] = {{0x00080011, 0x0001, false}, {0x00080022, 0x0201, true}, {0x00080033, 0x0301, false},
                        {0x00080044, 0x0101, true}};
  std::vector<uint32_t> ids;
  for (const Form& f : forms) ids.push_back(f.id);
  StationRelayRig rig(ids);
  uint64_t seed = 51;
  for (const Form& f : forms) rig.addLegacyTracker(f.id, f.settings, f.viaStationBus, relayShortTurn(), seed++);
  ASSERT_TRUE(rig.open());
  std::vector<ZtDevice*> devices;
  for (const Form& f : forms) {
    ZtDevice* d = rig.child(f.id);
    ASSERT_NE(d, nullptr) << std::hex << f.id;
    rig.listen(d);
    EXPECT_EQ(ZtDevice_outputMode(d), 0x0200u) << std::hex << f.id;
    EXPECT_EQ(ZtDevice_outputSettings(d), f.settings) << std::hex << f.id;
    devices.push_back(d);
  }
  ASSERT_TRUE(ZtDevice_gotoMeasurement(rig.station));
  // Turning, so that every increment differs from the identity; one tracker loses a frame.
  rig.model.setNextFrame(200);
  rig.model.loseFrame(forms[2].id, 220);
  ASSERT_TRUE(rig.relay(40, devices[0]));
  for (size_t t = 0; t < devices.size(); ++t) {
    const Form& f = forms[t];
    SCOPED_TRACE(f.settings);
    ASSERT_TRUE(rig.events.waitForPacket(devices[t], rig.lastId(devices[t])));
    const std::vector<SdiPayload::Interval> sent = rig.model.relayedIntervals(f.id);
    const std::vector<RelayPacket> packets = rig.events.packets(devices[t]);
    ASSERT_EQ(packets.size(), sent.size());
    ASSERT_EQ(sent.size(), t == 2 ? 39u : 40u);
    for (size_t i = 0; i < sent.size(); ++i) {
      // What the station encoded, read back in the tracker's form apart from the library.
      const auto expected = SdiPayload::decode(SdiPayload::encode(sent[i], f.settings), f.settings);
      ASSERT_TRUE(expected.has_value());
      const RelayPacket& p = packets[i];
      ASSERT_TRUE(p.hasSdi) << i;
      EXPECT_EQ(p.first, expected->first) << i;
      EXPECT_EQ(p.last, expected->last) << i;
      for (int k = 0; k < 4; ++k) EXPECT_EQ(p.dq[k], expected->dq[k]) << i << " dq" << k;
      for (int k = 0; k < 3; ++k) EXPECT_EQ(p.dv[k], expected->dv[k]) << i << " dv" << k;
    }
  }
}

// The station's remaining paths through the C interface: trigger settings (the exact 0x26 and
// 0x28 payloads, read back), transport mode, a trigger indication reaching the packet of its
// frame, sync-box mode (the measurement switch goes straight to the station) and the radio
// disable the station reports unasked (the library then disables the radio itself).
TEST(StationRelay, TriggerSettingsTransportTriggerSyncBoxAndAnUnaskedRadioDisable) {
  StationRelayRig rig({kTrackerA});
  ZtDevice* a = rig.openOne(61);
  ASSERT_NE(a, nullptr);
  size_t mark = 0;
  const auto sinceMark = [&] {
    std::vector<EmuFrame> frames = rig.emu.received();
    frames.erase(frames.begin(), frames.begin() + static_cast<long>(std::min(mark, frames.size())));
    return frames;
  };

  // Sync-in line 1 for action 1, sync-out line 8 for event 0 (2.5 ms rounds to 3 ms).
  ZtSyncSetting settings[2] = {{1, 1, 2, 0, 0, 2, 3, 40, 1}, {8, 0, 3, 2500, 0, 0, 1, 0, 0}};
  ZtSyncSettingArray list;
  ZtArray_construct(ZTARRAY(&list), &g_ztSyncSettingArrayDescriptor, 2, settings);
  mark = rig.emu.received().size();
  ASSERT_TRUE(ZtDevice_setSyncSettings(rig.station, &list));
  ZtArray_destruct(ZTARRAY(&list));
  const std::vector<std::vector<uint8_t>> payloads = {
      {0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, {1, 2, 2, 1, 0, 2, 0, 3, 0, 40}, {2, 0, 1, 0, 0, 0, 0, 0, 0, 0},
      {3, 0, 1, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 3, 0, 0, 0, 0, 1, 0, 3},  {1, 0, 1, 0, 0, 0, 0, 0, 0, 0},
      {2, 0, 1, 0, 0, 0, 0, 0, 0, 0}, {3, 0, 1, 0, 0, 0, 0, 0, 0, 0},  {4, 0, 1, 0, 0, 0, 0, 0, 0, 0}};
  std::vector<EmuFrame> frames = sinceMark();
  ASSERT_EQ(frames.size(), payloads.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].messageId, i < 4 ? 0x26 : 0x28) << i;
    EXPECT_EQ(frames[i].busId, 0xFF) << i;
    EXPECT_EQ(frames[i].payload, payloads[i]) << i;
  }
  ZtSyncSettingArray readBack;
  ZtArray_construct(ZTARRAY(&readBack), &g_ztSyncSettingArrayDescriptor, 0, nullptr);
  ZtDevice_syncSettings(rig.station, &readBack);
  ASSERT_EQ(readBack.size, 2u);
  EXPECT_EQ(readBack.data[0].line, 1);
  EXPECT_EQ(readBack.data[0].clockPeriod, 40);
  EXPECT_EQ(readBack.data[0].triggerOnce, 1);
  EXPECT_EQ(readBack.data[1].line, 8);
  EXPECT_EQ(readBack.data[1].polarity, 3);
  EXPECT_EQ(readBack.data[1].pulseWidth, 3000u);
  ZtArray_destruct(ZTARRAY(&readBack));

  // Transport mode: 0xC2 with the flag, to the station.
  mark = rig.emu.received().size();
  ASSERT_TRUE(ZtDevice_setTransportMode(rig.station, 1));
  EXPECT_TRUE(rig.model.transportMode());
  frames = sinceMark();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].messageId, 0xC2);
  EXPECT_EQ(frames[0].busId, 0xFF);
  EXPECT_EQ(frames[0].payload, (std::vector<uint8_t>{1}));

  // A trigger given before its frame goes with the packet of that frame, once.
  ASSERT_TRUE(ZtDevice_gotoMeasurement(rig.station));
  rig.model.setNextFrame(500);
  ASSERT_TRUE(rig.relay(10, a));
  rig.model.trigger(2, 1, 4321, 515);
  ASSERT_TRUE(rig.relay(20, a));
  std::vector<int64_t> fired;
  for (const RelayPacket& p : rig.events.packets(a))
    if (p.trigger[1]) {
      fired.push_back(p.id);
      EXPECT_EQ(p.triggerData[1].timestamp, 4321u);
      EXPECT_EQ(p.triggerData[1].frameNumber, 515);
    }
  EXPECT_EQ(fired, (std::vector<int64_t>{515}));

  // Sync-box mode: the measurement switch goes to the station at once (no operational request).
  ASSERT_TRUE(ZtDevice_gotoConfig(rig.station));
  ASSERT_TRUE(ZtDevice_setSyncBoxMode(rig.station, 1));
  EXPECT_TRUE(rig.model.syncBox());
  EXPECT_TRUE(ZtDevice_isInSyncBoxMode(rig.station));
  mark = rig.emu.received().size();
  ASSERT_TRUE(ZtDevice_gotoMeasurement(rig.station));
  frames = sinceMark();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].messageId, 0x10);
  EXPECT_EQ(ZtDevice_deviceState(rig.station), ZDS_Measurement);
  ASSERT_TRUE(ZtDevice_gotoConfig(rig.station));
  ASSERT_TRUE(ZtDevice_setSyncBoxMode(rig.station, 0));
  EXPECT_FALSE(ZtDevice_isInSyncBoxMode(rig.station));

  // The station turns its radio off by itself: the library disables the radio (0xB4), drops
  // the tracker and reads the configuration again.
  ASSERT_TRUE(ZtDevice_isRadioEnabled(rig.station));
  mark = rig.emu.received().size();
  rig.model.radioDisabledUnasked();
  ASSERT_TRUE(rig.emu.waitForReceived(0xB4, 1, static_cast<int>(kRelayWait.count())));
  auto* station = dynamic_cast<TovanaStationDevice*>(rig.station);
  ASSERT_TRUE(station->waitForRequests(static_cast<unsigned>(kRelayWait.count())));
  std::vector<uint8_t> ids;
  for (const EmuFrame& f : sinceMark()) ids.push_back(f.messageId);
  EXPECT_EQ(ids, (std::vector<uint8_t>{0xB4, 0x02, 0x0C, 0x12}));
  EXPECT_EQ(ZtDevice_radioChannel(rig.station), -1);
  EXPECT_FALSE(ZtDevice_isRadioEnabled(rig.station));
  EXPECT_FALSE(ZtDevice_isOperational(rig.station));
  ZtDevicePtrArray children;
  ZtArray_construct(ZTARRAY(&children), &g_ztDevicePtrArrayDescriptor, 0, nullptr);
  ZtDevice_children(rig.station, &children);
  EXPECT_EQ(children.size, 0u);
  ZtArray_destruct(ZTARRAY(&children));
}

// The increments of the packets composed in id order; false when their frame ranges do not
// join (a gap or an overlap) or a packet has none.
bool composeIncrements(const std::vector<RelayPacket>& packets, Quat& dq, Vec3& dv) {
  dq = Quat::Identity();
  dv = Vec3::Zero();
  for (size_t i = 0; i < packets.size(); ++i) {
    const RelayPacket& p = packets[i];
    if (!p.hasSdi || (i > 0 && p.first != packets[i - 1].last)) return false;
    dv += dq * Vec3(p.dv[0], p.dv[1], p.dv[2]);
    dq = (dq * Quat(p.dq[0], p.dq[1], p.dq[2], p.dq[3])).normalized();
  }
  return true;
}

// The truth's increments composed over the frames after `from` up to `to` (wrapping).
void composeTruth(const RawTrajectory& stream, uint16_t from, uint16_t to, Quat& dq, Vec3& dv) {
  dq = Quat::Identity();
  dv = Vec3::Zero();
  for (uint16_t f = static_cast<uint16_t>(from + 1);; ++f) {
    filtersim::Sample s;
    EXPECT_TRUE(stream.truth(f, s)) << f;
    dv += dq * s.dv;
    dq = (dq * s.dq).normalized();
    if (f == to) break;
  }
}

// A recording across the wrap with losses and late packets (one of them arriving only with the
// flush): the flushing countdown reaches the application, the station returns to Measurement,
// and the file replays to the same packets, whose rebased increments join frame to frame and
// integrate to the truth.
// Opens a station's recording in player and replays it into replayed; the station, or null
// (with a test failure) when the file does not open or load.
TovanaStationDevice* replayRecording(ZtControl& player, const std::string& path, RelayEvents& replayed) {
  const Text name(path);
  if (!ZtControl_openLogFile(&player, &name.s)) {
    ADD_FAILURE() << "the recording " << path << " does not open";
    return nullptr;
  }
  ZtDevice* station = ZtControl_device(&player, kRelayStation);
  if (!station) {
    ADD_FAILURE() << "no station in the recording";
    return nullptr;
  }
  ZtDevice_addCallbackHandler(station, replayed.handler(), 1);
  if (!ZtDevice_loadLogFile(station)) {
    ADD_FAILURE() << "the recording does not load";
    return nullptr;
  }
  return dynamic_cast<TovanaStationDevice*>(station);
}

// Replays the recording at path and expects exactly tracker A's packets with the ids given, in
// that order, their frame ranges joined from the frame after `start` to `last`.
void expectReplayOfTracker(const std::string& path, const std::vector<int64_t>& expected, int64_t start,
                           int64_t last) {
  ZtControl player;
  RelayEvents replayed;
  TovanaStationDevice* s = replayRecording(player, path, replayed);
  ZtDevice* d = s ? s->findDevice(kTrackerA) : nullptr;
  EXPECT_NE(d, nullptr);
  if (d) {
    EXPECT_TRUE(replayed.waitForPackets(d, expected.size()));
    const std::vector<RelayPacket> packets = replayed.packets(d);
    std::vector<int64_t> ids;
    for (const RelayPacket& p : packets) ids.push_back(p.id);
    EXPECT_EQ(ids, expected);
    Quat dq;
    Vec3 dv;
    EXPECT_TRUE(composeIncrements(packets, dq, dv));
    if (!packets.empty()) {
      EXPECT_EQ(packets.front().first, start);
      EXPECT_EQ(packets.back().last, last);
    }
  }
  ZtControl_close(&player);
}

TEST(StationRelay, ARecordingWithLossesFlushesAndReplaysToTheTruth) {
  TempDir dir;
  const std::string path = dir.file("wireless.mtb");
  StationRelayRig rig({kTrackerA, kTrackerB});
  ZtDevice* a = nullptr;
  ZtDevice* b = nullptr;
  ASSERT_TRUE(rig.openBoth(21, 22, a, b));
  {
    const Text name(path);
    ASSERT_EQ(ZtDevice_createLogFile(rig.station, &name.s), 0);
  }
  ASSERT_TRUE(ZtDevice_gotoMeasurement(rig.station));
  rig.model.setNextFrame(65536 - 200);
  ASSERT_TRUE(rig.relay(100, a));
  ASSERT_TRUE(rig.events.waitForPacket(b, rig.lastId(b)));

  // The station starts the recording after the last frame relayed.
  const uint16_t start = rig.model.lastFrame();
  rig.model.setSendRecordingStarted(true, start);
  size_t states = rig.events.count(RelayEvents::State, rig.station);
  ASSERT_TRUE(ZtDevice_startRecording(rig.station));
  ASSERT_TRUE(rig.waitForStationState(ZDS_Recording, states));
  // A: a loss, a packet three frames late, a loss at the wrap, a packet two frames late after it
  // and one that comes only with the flush, a hundred frames before the end. B: two losses in a
  // row and a packet that comes only with the flush.
  const int recorded = 250;
  const uint16_t last = static_cast<uint16_t>(start + recorded);
  rig.model.loseFrame(kTrackerA, static_cast<uint16_t>(start + 20));
  rig.model.delayFrame(kTrackerA, static_cast<uint16_t>(start + 40), 3);
  rig.model.loseFrame(kTrackerA, 0);
  rig.model.delayFrame(kTrackerA, 30, 2);
  rig.model.delayFrame(kTrackerA, static_cast<uint16_t>(last - 100), 1000);
  rig.model.loseFrame(kTrackerB, static_cast<uint16_t>(start + 64));
  rig.model.loseFrame(kTrackerB, static_cast<uint16_t>(start + 65));
  rig.model.delayFrame(kTrackerB, static_cast<uint16_t>(last - 2), 100);
  ASSERT_TRUE(rig.relay(recorded, a));
  ASSERT_TRUE(rig.events.waitForPacket(b, rig.lastId(b)));
  ASSERT_TRUE(ZtDevice_stopRecording(rig.station));
  EXPECT_EQ(ZtDevice_deviceState(rig.station), ZDS_FlushingData);
  states = rig.events.count(RelayEvents::State, rig.station);
  rig.model.flushingCountdown(40, 5);
  ASSERT_TRUE(rig.waitForStationState(ZDS_FinalizingRecording, states));
  // The trackers measure on: with their next packets they write what they hold and return to
  // Measurement, and so does the station.
  ASSERT_TRUE(rig.relay(5, a));
  ASSERT_TRUE(rig.waitForStationState(ZDS_Measurement, states));
  for (ZtDevice* d : {a, b}) EXPECT_EQ(ZtDevice_deviceState(d), ZDS_Measurement);
  const auto progress = rig.events.events(RelayEvents::Progress, rig.station);
  ASSERT_EQ(progress.size(), 5u);
  for (size_t i = 0; i < progress.size(); ++i) {
    EXPECT_EQ(progress[i].text, "Flushing");
    EXPECT_EQ(progress[i].values[0], static_cast<int>(40 - 10 * i)) << i;
  }
  EXPECT_EQ(ZtDevice_closeLogFile(rig.station), 1);

  // What the trackers delivered live within the recording, by id.
  const int64_t startId = 65536 - 200 + 99;
  ASSERT_EQ(startId & 0xFFFF, start);
  std::map<ZtDevice*, std::vector<int64_t>> liveIds;
  for (ZtDevice* d : {a, b}) {
    for (const RelayPacket& p : rig.events.packets(d))
      if (p.id > startId && p.id <= startId + recorded) liveIds[d].push_back(p.id);
    std::sort(liveIds[d].begin(), liveIds[d].end());
  }
  // Late packets go only to the recording: live, A misses its two lost and three late frames, B
  // its two lost and one late.
  EXPECT_EQ(liveIds[a].size(), static_cast<size_t>(recorded - 5));
  EXPECT_EQ(liveIds[b].size(), static_cast<size_t>(recorded - 3));
  // The recording holds them too.
  std::map<ZtDevice*, std::vector<int64_t>> recordedIds = liveIds;
  for (int64_t id : {startId + 40, int64_t{65536 + 30}, startId + recorded - 100}) recordedIds[a].push_back(id);
  recordedIds[b].push_back(startId + recorded - 2);
  for (ZtDevice* d : {a, b}) std::sort(recordedIds[d].begin(), recordedIds[d].end());

  // The replay: the same packet ids, frame ranges that join, increments that integrate to the
  // truth over the whole recording.
  ZtControl player;
  RelayEvents replayed;
  TovanaStationDevice* s = replayRecording(player, path, replayed);
  ASSERT_NE(s, nullptr);
  for (size_t t = 0; t < 2; ++t) {
    ZtDevice* live = t == 0 ? a : b;
    SCOPED_TRACE(t == 0 ? "tracker A" : "tracker B");
    ZtDevice* d = s->findDevice(t == 0 ? kTrackerA : kTrackerB);
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(replayed.waitForPackets(d, recordedIds[live].size()));
    std::vector<RelayPacket> packets = replayed.packets(d);
    std::vector<int64_t> ids;
    for (const RelayPacket& p : packets) ids.push_back(p.id);
    EXPECT_EQ(ids, recordedIds[live]);
    Quat dq, truthDq;
    Vec3 dv, truthDv;
    ASSERT_TRUE(composeIncrements(packets, dq, dv));
    EXPECT_EQ(packets.front().first, start);
    EXPECT_EQ(packets.back().last, last);
    composeTruth(*rig.trackers[t]->stream, start, last, truthDq, truthDv);
    EXPECT_LT(angleOf(dq * truthDq.conjugate()), 1e-4);
    EXPECT_LT((dv - truthDv).norm(), 1e-3);
  }
  ZtControl_close(&player);
}

// The second variant at 200 Hz: calibrated samples, no increments; its orientation follows the
// truth (integrated over 1/rate). Then an indication storm (unknown and unlisted sub-ids, every
// listed sub-id cut short, indications for ids of no tracker and for bus ids outside the
// configuration, progress and recording-end out of their states, repeated) changes no state,
// adds no child, raises no event, and the tracker measures on as before.
TEST(StationRelay, TheSecondVariantAt200HzAndAnIndicationStormThatChangesNothing) {
  StationRelayRig rig({kVariant}, {200, 100, 75, 60, 50});
  rig.addTracker(kVariant, {{0x4020, 200}, {0x8020, 200}, {0xC020, 200}, {0xE020, 200}}, 200, relayTurnsB(), 31);
  ASSERT_TRUE(rig.open());
  ZtDevice* v = rig.child(kVariant);
  ASSERT_NE(dynamic_cast<Ktx2Device*>(v), nullptr);
  rig.listen(v);
  const ZtDeviceMode mode{4, 1, 115200 / 200, 0};
  ASSERT_TRUE(ZtDevice_setDeviceMode(rig.station, &mode));
  ASSERT_TRUE(ZtDevice_gotoMeasurement(rig.station));
  ASSERT_EQ(ZtDevice_updateRate(rig.station), 200);
  ASSERT_EQ(ZtDevice_updateRate(v), 200);
  rig.model.setNextFrame(1000);
  ASSERT_TRUE(rig.relay(1000, v));
  std::vector<RelayPacket> packets = rig.events.packets(v);
  ASSERT_EQ(packets.size(), 1000u);
  for (const RelayPacket& p : packets) ASSERT_TRUE(p.hasSdi) << p.id;
  const OrientationError before = orientationError(packets, *rig.trackers[0]->stream, 200);
  RecordProperty("variant_worst_tilt_deg", std::to_string(before.worstTilt / kRelayDeg));
  RecordProperty("variant_worst_relative_deg", std::to_string(before.worstRelative / kRelayDeg));
  EXPECT_GT(before.compared, 700u);
  // The increments come from point accelerations and mean rates: a little less exact than the
  // tracker's own (integrated over 10 ms instead of 5 ms the error would be tens of degrees).
  EXPECT_LT(before.worstTilt, 0.5 * kRelayDeg);
  EXPECT_LT(before.worstRelative, 0.5 * kRelayDeg);

  // The storm, three rounds.
  auto* station = dynamic_cast<TovanaStationDevice*>(rig.station);
  const size_t children = station->children().size();
  const int battery = ZtDevice_batteryLevel(v);
  for (int round = 0; round < 3; ++round) {
    for (uint8_t sub = 0; sub < 40; ++sub) {
      if (sub == 7 || sub == 17 || sub == 20) continue;  // operational, recording started, applied: real
      // Every length from none to one short of the longest any sub-id reads (10 bytes), the id of
      // no tracker family in the first four.
      // A battery indication with its byte is a real one: only the empty one is made up.
      for (size_t length = 0; length < (sub == 12 ? 1u : 10u); ++length) {
        std::vector<uint8_t> data = {0x12, 0x34, 0x56, 0x78, 1, 0, 1, 0, 0};
        data.resize(length);
        rig.model.sendIndication(sub, data);
      }
    }
    for (uint8_t bus : {0, 2, 7, 0xFE}) rig.model.battery(bus, 0x10);
    rig.model.clientError(0x00080999, 1);  // a wireless id that is no child
    rig.model.flushingProgress(0, 5);      // not flushing
    rig.model.recordingEnded();            // not recording
  }
  // Handled in order: once the last one is seen, all were.
  rig.model.sendIndication(0xEE, {});
  ASSERT_TRUE(rig.events.waitForEvent(RelayEvents::Indication, rig.station, 0xEE));
  ASSERT_TRUE(station->waitForRequests(static_cast<unsigned>(kRelayWait.count())));
  EXPECT_EQ(station->children().size(), children);
  EXPECT_EQ(rig.child(kVariant), v);
  EXPECT_EQ(ZtDevice_deviceState(rig.station), ZDS_Measurement);
  EXPECT_EQ(ZtDevice_deviceState(v), ZDS_Measurement);
  EXPECT_EQ(ZtDevice_connectivityState(v), ZCS_Wireless);
  EXPECT_TRUE(rig.events.events(RelayEvents::Error, v).empty());
  EXPECT_TRUE(rig.events.events(RelayEvents::Error, rig.station).empty());
  EXPECT_TRUE(rig.events.events(RelayEvents::Progress, rig.station).empty());
  EXPECT_TRUE(rig.events.events(RelayEvents::Info, v).empty());
  EXPECT_EQ(ZtDevice_batteryLevel(v), battery);

  // Measuring on as before.
  rig.events.clear();
  ASSERT_TRUE(rig.relay(200, v));
  packets = rig.events.packets(v);
  ASSERT_EQ(packets.size(), 200u);
  for (size_t i = 1; i < packets.size(); ++i) ASSERT_EQ(packets[i].id, packets[i - 1].id + 1);
  const OrientationError after = orientationError(packets, *rig.trackers[0]->stream, 0);
  EXPECT_EQ(after.compared, 200u);
  EXPECT_LT(after.worstTilt, 0.5 * kRelayDeg);
}

// A tracker that falls silent during a recording never writes its last packets: the station
// stays in Finalizing, from which gotoConfig still takes the system back to configuration; the
// next measurement start measures both trackers again.
TEST(StationRelay, ATrackerSilentAfterTheRecordingLeavesFinalizingToGotoConfig) {
  StationRelayRig rig({kTrackerA, kTrackerB});
  ZtDevice* a = nullptr;
  ZtDevice* b = nullptr;
  ASSERT_TRUE(rig.openBoth(41, 42, a, b));
  ASSERT_TRUE(ZtDevice_gotoMeasurement(rig.station));
  ASSERT_TRUE(rig.relay(20, a));
  ASSERT_TRUE(rig.events.waitForPacket(b, rig.lastId(b)));
  rig.model.setSendRecordingStarted(true, rig.model.lastFrame());
  size_t states = rig.events.count(RelayEvents::State, rig.station);
  ASSERT_TRUE(ZtDevice_startRecording(rig.station));
  ASSERT_TRUE(rig.waitForStationState(ZDS_Recording, states));
  ASSERT_TRUE(rig.relay(30, a));
  ASSERT_TRUE(rig.events.waitForPacket(b, rig.lastId(b)));
  // B goes out of range before the recording ends: without a further packet it never makes its
  // final flush and stays in Finalizing.
  rig.model.setSilent(kTrackerB, true);
  ASSERT_TRUE(rig.relay(3, a));
  ASSERT_TRUE(ZtDevice_stopRecording(rig.station));
  states = rig.events.count(RelayEvents::State, rig.station);
  rig.model.flushingCountdown(10, 2);
  ASSERT_TRUE(rig.waitForStationState(ZDS_FinalizingRecording, states));
  ASSERT_TRUE(rig.relay(5, a));
  ASSERT_TRUE(rig.events.waitForEvent(RelayEvents::State, a, ZDS_Measurement));
  EXPECT_EQ(ZtDevice_deviceState(b), ZDS_FinalizingRecording);
  EXPECT_EQ(ZtDevice_deviceState(rig.station), ZDS_FinalizingRecording);
  EXPECT_FALSE(ZtDevice_gotoMeasurement(rig.station));

  ASSERT_TRUE(ZtDevice_gotoConfig(rig.station));
  EXPECT_EQ(ZtDevice_deviceState(rig.station), ZDS_Config);
  for (ZtDevice* d : {a, b}) EXPECT_EQ(ZtDevice_deviceState(d), ZDS_Config);
  rig.model.setSilent(kTrackerB, false);
  ASSERT_TRUE(ZtDevice_gotoMeasurement(rig.station));
  rig.events.clear();
  ASSERT_TRUE(rig.relay(10, a));
  ASSERT_TRUE(rig.events.waitForPacket(b, rig.lastId(a)));
  EXPECT_EQ(ZtDevice_deviceState(rig.station), ZDS_Measurement);
}

// A recording that ends other than through the station's final flush: the interval over a frame
// lost early holds every packet behind it, and each ending writes them all to the recording (the
// interval as it is, journalled) before the tracker leaves the recording. Counted in the replay.
TEST(StationRelay, EveryEndingOfARecordingWritesWhatTheTrackerHeldBack) {
  enum class Ending {
    UnacknowledgedStop,
    GotoConfig,
    GotoConfigWhileFlushing,
    GotoConfigWhileFinalizing,
    Unlisted,
    Closing
  };
  const struct {
    const char* name;
    Ending ending;
  } endings[] = {{"stop not acknowledged", Ending::UnacknowledgedStop},
                 {"gotoConfig while recording", Ending::GotoConfig},
                 {"gotoConfig while flushing", Ending::GotoConfigWhileFlushing},
                 {"gotoConfig before the tracker's final flush", Ending::GotoConfigWhileFinalizing},
                 {"the tracker no longer listed at a reinitialisation", Ending::Unlisted},
                 {"port closed without the switch to configuration", Ending::Closing}};
  for (const auto& e : endings) {
    SCOPED_TRACE(e.name);
    JournalCapture journal;
    TempDir dir;
    const std::string path = dir.file("ended.mtb");
    StationRelayRig rig({kTrackerA});
    ZtDevice* a = rig.openOne(71);
    ASSERT_NE(a, nullptr);
    uint16_t start = 0;
    ASSERT_TRUE(rig.recordFromFrame1000(a, path, start));
    // The second frame of the recording is lost: the interval after it waits for it, and the
    // rest waits behind that one.
    const int sent = 30;
    rig.model.loseFrame(kTrackerA, static_cast<uint16_t>(start + 2));
    ASSERT_TRUE(rig.relay(sent, a));
    switch (e.ending) {
      case Ending::UnacknowledgedStop:
        rig.emu.script(0xCE, EmuAction::silence());
        EXPECT_FALSE(ZtDevice_stopRecording(rig.station));
        EXPECT_EQ(ZtDevice_deviceState(rig.station), ZDS_Measurement);
        EXPECT_EQ(ZtDevice_deviceState(a), ZDS_Measurement);
        break;
      case Ending::GotoConfig:
        ASSERT_TRUE(ZtDevice_gotoConfig(rig.station));
        EXPECT_EQ(ZtDevice_deviceState(a), ZDS_Config);
        break;
      case Ending::GotoConfigWhileFlushing:
        ASSERT_TRUE(ZtDevice_stopRecording(rig.station));
        ASSERT_EQ(ZtDevice_deviceState(a), ZDS_FlushingData);
        ASSERT_TRUE(ZtDevice_gotoConfig(rig.station));
        EXPECT_EQ(ZtDevice_deviceState(a), ZDS_Config);
        break;
      case Ending::GotoConfigWhileFinalizing: {
        ASSERT_TRUE(ZtDevice_stopRecording(rig.station));
        const size_t states = rig.events.count(RelayEvents::State, rig.station);
        rig.model.flushingCountdown(10, 2);
        ASSERT_TRUE(rig.waitForStationState(ZDS_FinalizingRecording, states));
        ASSERT_EQ(ZtDevice_deviceState(a), ZDS_FinalizingRecording);
        ASSERT_TRUE(ZtDevice_gotoConfig(rig.station));
        EXPECT_EQ(ZtDevice_deviceState(a), ZDS_Config);
        break;
      }
      case Ending::Unlisted:
        // The station lists another tracker now: A is removed from the station while recording.
        rig.model.setChildren({kTrackerB});
        EXPECT_TRUE(ZtDevice_reinitialize(rig.station));
        EXPECT_EQ(rig.child(kTrackerA), nullptr);
        break;
      case Ending::Closing:
        // The station's port closed without the switch to configuration: the tracker ends while
        // it still records.
      {
        const size_t switches = rig.emu.receivedCount(0x30);
        ZtDevice_setGotoConfigOnClose(rig.station, 0);
        ZtControl_closePort_1(&rig.control, kRelayStation);
        EXPECT_EQ(rig.emu.receivedCount(0x30), switches);
        break;
      }
    }
    if (e.ending != Ending::Closing) {
      EXPECT_EQ(ZtDevice_closeLogFile(rig.station), 1);
    }
    EXPECT_EQ(journal.count("recorded without the packets of its lost frames"), 1u);

    // The replay holds every packet the tracker sent within the recording, the one after the
    // loss spanning it.
    std::vector<int64_t> expected;
    for (int64_t id = start + 1; id <= start + sent; ++id)
      if (id != start + 2) expected.push_back(id);
    expectReplayOfTracker(path, expected, start, start + sent);
  }
}

// ---- Handlers that act on their own tracker and station -----------------------------------------

// A handler table whose entries call the test's functions: set them before the table is
// registered, and let the table outlive every device it is registered on.
class RelayHooks {
 public:
  std::function<void(ZtDevice*, const ZtDataPacket*)> data;
  std::function<int(ZtDevice*, const ZtDataPacket*)> write;  // the consent (1 when unset)
  std::function<void(ZtDevice*, ZtDeviceState)> state;
  std::function<void(ZtDevice*, ZtConnectivityState)> connectivity;

  RelayHooks() {
    m_table.self = this;
    ZtCallbackPlainC& t = m_table.callbacks;
    t.m_onDataAvailable = [](ZtCallbackPlainC* cb, ZtDevice* d, const ZtDataPacket* p) {
      if (const auto& f = self(cb)->data) f(d, p);
    };
    t.m_onWriteDataToLogFile = [](ZtCallbackPlainC* cb, ZtDevice* d, const ZtDataPacket* p) {
      const auto& f = self(cb)->write;
      return f ? f(d, p) : 1;
    };
    t.m_onDeviceStateChanged = [](ZtCallbackPlainC* cb, ZtDevice* d, ZtDeviceState s, ZtDeviceState) {
      if (const auto& f = self(cb)->state) f(d, s);
    };
    t.m_onConnectivityChanged = [](ZtCallbackPlainC* cb, ZtDevice* d, ZtConnectivityState s) {
      if (const auto& f = self(cb)->connectivity) f(d, s);
    };
  }
  RelayHooks(const RelayHooks&) = delete;
  RelayHooks& operator=(const RelayHooks&) = delete;
  ZtCallbackPlainC* handler() { return &m_table.callbacks; }

 private:
  struct Table {
    ZtCallbackPlainC callbacks{};  // first: the library hands its address back
    RelayHooks* self = nullptr;
  };
  static RelayHooks* self(ZtCallbackPlainC* cb) { return reinterpret_cast<Table*>(cb)->self; }
  Table m_table;
};

// The write handler's nesting on the calling thread.
thread_local int tLetGoWriteDepth = 0;

// Ends the process at once when a wait for a library call or event timed out: the rig's teardown
// would most likely wait on the same deadlock and never report.
void exitIfHung(bool done, const std::string& what) {
  if (done) return;
  std::fprintf(stderr, "%s: %s has not come in time; ending the process\n",
               ::testing::UnitTest::GetInstance()->current_test_info()->name(), what.c_str());
  std::fflush(stderr);
  std::_Exit(1);
}

// The packets whose increment is not the truth's for their frame (within 1e-6 rad); only those
// over one frame count, as a packet over a loss spans more than its frame.
size_t incrementsNotOfTheTruth(const std::vector<RelayPacket>& packets, const RawTrajectory& truth) {
  size_t wrong = 0;
  for (const RelayPacket& p : packets) {
    filtersim::Sample s;
    if (!p.hasSdi || p.last != static_cast<uint16_t>(p.first + 1) || !truth.truth(static_cast<uint16_t>(p.last), s))
      continue;
    if (angleOf(Quat(p.dq[0], p.dq[1], p.dq[2], p.dq[3]) * s.dq.conjugate()) > 1e-6) ++wrong;
  }
  return wrong;
}

// A tracker's packets are exactly the ids first to end - 1, in order, each with its own truth's
// increment.
void expectOwnStream(const std::vector<RelayPacket>& packets, int64_t first, int64_t end, const RawTrajectory& truth) {
  std::vector<int64_t> ids, expected;
  for (const RelayPacket& p : packets) ids.push_back(p.id);
  for (int64_t id = first; id < end; ++id) expected.push_back(id);
  EXPECT_EQ(ids, expected);
  EXPECT_EQ(incrementsNotOfTheTruth(packets, truth), 0u);
}

// Two trackers stream; B's packet handler drops B's last reference at B's 50th packet. The call
// returns with B off the station and not yet ended: B ends (its change to Destructing) only once
// that packet's processing has returned. Only packets routed to B before it left the station
// reach it; A streams on, every frame with its own increments, through B's ending and the turns
// that follow. (A packet the station was routing to B while B left may be processed after B's
// change to Destructing, before B is deleted.)
TEST(StationRelayLetGo, ATrackerLetGoFromItsOwnPacketHandlerEndsAfterThatPacket) {
  RelayHooks hooks;  // outlives the rig: B calls it until it ends
  StationRelayRig rig({kTrackerA, kTrackerB});
  ZtDevice* a = nullptr;
  ZtDevice* b = nullptr;
  ASSERT_TRUE(rig.openBoth(81, 82, a, b));

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int64_t> log;  // B's events in order: packet ids, and -1 for Destructing
  bool released = false, ended = false, endedInsideCall = false, listedAfterCall = true;
  int packetsOfB = 0;
  hooks.data = [&](ZtDevice* d, const ZtDataPacket* p) {
    bool letGo;
    {
      std::lock_guard<std::mutex> lock(mutex);
      log.push_back(p->packetId);
      letGo = ++packetsOfB == 50;
    }
    if (!letGo) return;
    ZtDevice_removeRef(d);
    const bool listed = rig.child(kTrackerB) != nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
    endedInsideCall = ended;
    listedAfterCall = listed;
    changed.notify_all();
  };
  hooks.state = [&](ZtDevice*, ZtDeviceState s) {
    if (s != ZDS_Destructing) return;
    std::lock_guard<std::mutex> lock(mutex);
    log.push_back(-1);
    ended = true;
    changed.notify_all();
  };
  ZtDevice_addCallbackHandler(b, hooks.handler(), 0);
  ASSERT_TRUE(ZtDevice_gotoMeasurement(rig.station));
  rig.model.setNextFrame(2000);
  ASSERT_TRUE(rig.relay(100, a));
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, kRelayWait, [&] { return released && ended; }));
    EXPECT_FALSE(endedInsideCall) << "B ended inside the call, under its own packet's processing";
    EXPECT_FALSE(listedAfterCall);
  }
  EXPECT_EQ(rig.child(kTrackerB), nullptr);
  EXPECT_EQ(rig.child(kTrackerA), a);

  // A streams on into its turn (from the 150th frame), every frame its own; none of these frames
  // reaches B, which left the station before they were relayed.
  ASSERT_TRUE(rig.relay(100, a));
  expectOwnStream(rig.events.packets(a), 2000, 2200, *rig.trackers[0]->stream);
  EXPECT_EQ(rig.child(kTrackerB), nullptr);
  // B's packets: the first 50 and more of the frames relayed before its ending, in order, and
  // one ending.
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<int64_t> idsOfB;
  for (int64_t id : log)
    if (id >= 0) idsOfB.push_back(id);
  EXPECT_EQ(std::count(log.begin(), log.end(), -1), 1);
  ASSERT_GE(idsOfB.size(), 50u);
  for (size_t i = 0; i < idsOfB.size(); ++i) EXPECT_EQ(idsOfB[i], 2000 + static_cast<int64_t>(i));
  EXPECT_LT(idsOfB.back(), 2100);
}

// A tracker's disconnection is reported on the station's request thread (a thread of the
// station's own). A handler that closes the station's port from that report returns with the
// station out of the control; the station ends (its change to Destructing) once the report's job
// has returned, never under it.
TEST(StationRelayLetGo, TheStationClosedFromATrackersConnectionReportEndsAfterIt) {
  RelayHooks hooks;  // outlives the rig
  StationRelayRig rig({kTrackerA});
  ZtDevice* a = rig.openOne(95);
  ASSERT_NE(a, nullptr);
  std::mutex mutex;
  std::condition_variable changed;
  bool closed = false, stationEnded = false, endedInsideCall = false, listedAfterCall = true;
  hooks.connectivity = [&](ZtDevice* d, ZtConnectivityState s) {
    if (d != a || s != ZCS_Disconnected) return;
    ZtControl_closePort_1(&rig.control, kRelayStation);
    const bool listed = ZtControl_device(&rig.control, kRelayStation) != nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    closed = true;
    endedInsideCall = stationEnded;
    listedAfterCall = listed;
    changed.notify_all();
  };
  hooks.state = [&](ZtDevice* d, ZtDeviceState s) {
    if (d != rig.station || s != ZDS_Destructing) return;
    std::lock_guard<std::mutex> lock(mutex);
    stationEnded = true;
    changed.notify_all();
  };
  ZtDevice_addCallbackHandler(a, hooks.handler(), 0);
  ZtDevice_addCallbackHandler(rig.station, hooks.handler(), 0);
  rig.model.disconnect(kTrackerA);
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, kRelayWait, [&] { return closed && stationEnded; }));
  EXPECT_FALSE(endedInsideCall) << "the station ended inside the call, under the job that reported";
  EXPECT_FALSE(listedAfterCall);
}

// The station names a tracker's data by the tracker's place in its listing. A tracker that the
// application lets go while the station still lists it (and relays its frames) takes no other
// tracker's place: the tracker listed after it goes on with its own increments, into the turns.
TEST(StationRelayLetGo, TheTrackerListedAfterOneLetGoKeepsItsOwnData) {
  StationRelayRig rig({kTrackerA, kTrackerB});
  ZtDevice* a = nullptr;
  ZtDevice* b = nullptr;
  ASSERT_TRUE(rig.openBoth(83, 84, a, b));
  ASSERT_TRUE(ZtDevice_gotoMeasurement(rig.station));
  rig.model.setNextFrame(3000);
  ASSERT_TRUE(rig.relay(100, b));
  ZtDevice_removeRef(a);
  EXPECT_EQ(rig.child(kTrackerA), nullptr);
  ASSERT_TRUE(rig.events.waitForEvent(RelayEvents::State, a, ZDS_Destructing));
  ASSERT_TRUE(rig.relay(100, b));
  const std::vector<RelayPacket> packets = rig.events.packets(b);
  expectOwnStream(packets, 3000, 3200, *rig.trackers[1]->stream);
  EXPECT_GE(incrementsNotOfTheTruth(packets, *rig.trackers[0]->stream), 40u) << "B's turn, unlike A's";
}

// A recording whose second frame comes late, while the station flushes: its packet then rebases the
// one after it, and the write-back of the held packets goes on from there. A's write handler drops
// A's last reference while that next packet is offered. Every packet is offered once, the handler
// is never entered from inside itself, and the recording holds each packet once.
TEST(StationRelayLetGo, ATrackerLetGoWhileItsHeldPacketsAreWrittenOffersEachOnce) {
  RelayHooks hooks;  // outlives the rig
  TempDir dir;
  const std::string path = dir.file("let-go.mtb");
  StationRelayRig rig({kTrackerA});
  ZtDevice* a = rig.openOne(91);
  ASSERT_NE(a, nullptr);

  std::mutex mutex;
  std::vector<int64_t> offered;
  std::atomic<int> deepest{0};
  std::atomic<int64_t> letGoAt{-1};
  hooks.write = [&](ZtDevice* d, const ZtDataPacket* p) {
    const int depth = ++tLetGoWriteDepth;
    for (int seen = deepest.load(); depth > seen && !deepest.compare_exchange_weak(seen, depth);) {
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      offered.push_back(p->packetId);
    }
    int64_t at = p->packetId;
    if (letGoAt.compare_exchange_strong(at, -1)) ZtDevice_removeRef(d);
    --tLetGoWriteDepth;
    return 1;
  };
  ZtDevice_addCallbackHandler(a, hooks.handler(), 0);
  uint16_t start = 0;
  ASSERT_TRUE(rig.recordFromFrame1000(a, path, start));
  const int sent = 30;
  // Two frames after the last one recorded: within the frames the station goes on relaying while
  // it flushes (those are past the flushing limit, and A is let go among them).
  rig.model.delayFrame(kTrackerA, static_cast<uint16_t>(start + 2), sent);
  letGoAt = start + 3;
  ASSERT_TRUE(rig.relay(sent, a));
  ASSERT_TRUE(ZtDevice_stopRecording(rig.station));
  rig.relay(5, nullptr);
  exitIfHung(rig.events.waitForEvent(RelayEvents::State, a, ZDS_Destructing), "A's ending");
  EXPECT_EQ(letGoAt.load(), -1);
  EXPECT_EQ(rig.child(kTrackerA), nullptr);
  EXPECT_EQ(ZtDevice_closeLogFile(rig.station), 1);

  EXPECT_EQ(deepest.load(), 1) << "the write handler entered from inside itself";
  std::vector<int64_t> expected;
  for (int64_t id = start + 1; id <= start + sent; ++id) expected.push_back(id);
  std::vector<int64_t> recordedOffers;
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (int64_t id : offered)
      if (id > start) recordedOffers.push_back(id);
  }
  const std::set<int64_t> distinct(recordedOffers.begin(), recordedOffers.end());
  EXPECT_EQ(distinct.size(), recordedOffers.size()) << "a packet offered twice";
  EXPECT_EQ(recordedOffers, expected);
  expectReplayOfTracker(path, expected, start, start + sent);
}

// While a recording ends with a write-back of what the tracker held (a frame lost early), the
// tracker's write handler asks the station for its update rates, a request on the station's link.
// The ending returns, the request is answered, and the recording holds every packet: for a stop
// the station does not acknowledge (the stop holds the station's requests while the trackers
// change state), and for the tracker removed at a reinitialisation because the station no longer
// lists it (the removal holds the station's child list).
TEST(StationRelayLetGo, AStationRequestFromTheWriteHandlerWhileTheRecordingEndsIsAnswered) {
  enum class Ending { UnacknowledgedStop, Unlisted };
  const struct {
    const char* name;
    Ending ending;
  } endings[] = {{"stop not acknowledged", Ending::UnacknowledgedStop},
                 {"the tracker no longer listed at a reinitialisation", Ending::Unlisted}};
  for (const auto& e : endings) {
    SCOPED_TRACE(e.name);
    RelayHooks hooks;  // outlives the rig
    TempDir dir;
    const std::string path = dir.file("asked.mtb");
    StationRelayRig rig({kTrackerA});
    ZtDevice* a = rig.openOne(93);
    ASSERT_NE(a, nullptr);

    std::atomic<bool> armed{false};
    std::atomic<int> asked{0};
    std::mutex mutex;
    std::vector<int> rates;
    ZtDevice* station = rig.station;
    hooks.write = [&](ZtDevice*, const ZtDataPacket*) {
      if (!armed.exchange(false)) return 1;
      ZtInt32Array answer;
      ZtArray_construct(ZTARRAY(&answer), &g_ztInt32ArrayDescriptor, 0, nullptr);
      ZtDevice_supportedUpdateRates(station, &answer, 0);
      {
        std::lock_guard<std::mutex> lock(mutex);
        rates.assign(answer.data, answer.data + answer.size);
      }
      ZtArray_destruct(ZTARRAY(&answer));
      ++asked;
      return 1;
    };
    ZtDevice_addCallbackHandler(a, hooks.handler(), 0);
    uint16_t start = 0;
    ASSERT_TRUE(rig.recordFromFrame1000(a, path, start));
    // The recording's second frame is lost: the tracker holds every packet after it.
    const int sent = 30;
    rig.model.loseFrame(kTrackerA, static_cast<uint16_t>(start + 2));
    ASSERT_TRUE(rig.relay(sent, a));

    armed = true;
    if (e.ending == Ending::UnacknowledgedStop) rig.emu.script(0xCE, EmuAction::silence());
    if (e.ending == Ending::Unlisted) rig.model.setChildren({kTrackerB});
    std::future<int> ended = std::async(std::launch::async, [&] {
      return e.ending == Ending::UnacknowledgedStop ? ZtDevice_stopRecording(station) : ZtDevice_reinitialize(station);
    });
    // The stop waits 3 s for its acknowledgement.
    exitIfHung(ended.wait_for(kRelayWait + 3000ms) == std::future_status::ready,
               std::string("the return from the recording's ending (") + e.name + ")");
    if (e.ending == Ending::UnacknowledgedStop) {
      EXPECT_EQ(ended.get(), 0);
      EXPECT_EQ(ZtDevice_deviceState(rig.station), ZDS_Measurement);
      EXPECT_EQ(ZtDevice_deviceState(a), ZDS_Measurement);
    } else {
      EXPECT_EQ(ended.get(), 1);
      EXPECT_EQ(rig.child(kTrackerA), nullptr);
    }
    EXPECT_EQ(asked.load(), 1);
    {
      std::lock_guard<std::mutex> lock(mutex);
      EXPECT_EQ(rates, (std::vector<int>{100, 75, 60, 50}));
    }
    EXPECT_EQ(ZtDevice_closeLogFile(rig.station), 1);
    std::vector<int64_t> expected;
    for (int64_t id = start + 1; id <= start + sent; ++id)
      if (id != start + 2) expected.push_back(id);
    expectReplayOfTracker(path, expected, start, start + sent);
  }
}

}  // namespace
