// A recording of every tracker family with a host filter, replayed through the C interface,
// rewound (ZtDevice_resetLogFileReadPosition) and replayed again: the second replay delivers the
// same packets as the first, bit for bit. Each recording starts mid-stream, in the middle of an
// output window where the family has one, so the rewound replay has to start again from the whole
// state the recording holds (filter, window, latched aiding, mixer, step clock).
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "filtersim/VehicleRoute.h"
#include "support/CallbackRecorder.h"
#include "support/PtyPort.h"
#include "support/TempDir.h"
#include "support/emulator/DeviceEmulator.h"
#include "support/emulator/RawTrajectory.h"
#include "support/emulator/StationModel.h"
#include "support/emulator/TrackerModel.h"
#include "trackers/KtigStreamRig.h"
#include "trackers/KtixStreamRig.h"
#include "trackers/Mk4StreamRig.h"
#include "zeltodeviceapi/ztcontrol.h"
#include "zeltodeviceapi/ztdevice.h"

namespace zelto::test {
namespace {

using namespace std::chrono_literals;
using filtersim::Segment;
using filtersim::Vec3;

#ifdef ZDA_UNDER_SANITIZER
constexpr auto kRewindWait = 60000ms;
#else
constexpr auto kRewindWait = 20000ms;
#endif
constexpr double kRewindDeg = M_PI / 180.0;
constexpr uint32_t kRewindKtix = 0x00071234;
constexpr uint32_t kRewind20Series = 0x00201234;
constexpr uint32_t kRewind200Series = 0x00501234;
constexpr uint32_t kRewind700Series = 0x00701234;
constexpr uint32_t kRewindStation = 0x00020123;
constexpr uint32_t kRewindWireless = 0x00080011;

ZtString rewindText(const std::string& s) {
  ZtString t;
  ZtString_construct(&t, s.c_str());
  return t;
}

// Starts the device's recording into path, runs record, stops and closes it (a plain tracker).
template <typename Record>
void recordInto(ZtDevice* device, const std::string& path, Record record) {
  ZtString name = rewindText(path);
  ASSERT_EQ(ZtDevice_createLogFile(device, &name), 0);
  ZtString_destruct(&name);
  ASSERT_NO_FATAL_FAILURE(record());
  ASSERT_EQ(ZtDevice_stopRecording(device), 1);
  ASSERT_EQ(ZtDevice_gotoConfig(device), 1);
  ASSERT_EQ(ZtDevice_closeLogFile(device), 1);
}

// The counters jump twice by 20000 within the recording: its packet ids span more than half the
// period of the 16-bit counter, so a rewound replay numbers its packets as the first did only
// when it counts them from the start again.
void recordKtix(const std::string& path) {
  KtixStreamRig rig(streamConfig(100.0), {Segment::still(2.0), Segment::rotate(3.0, Vec3(0.2, 0.1, 1.0), 1.0)});
  ASSERT_TRUE(rig.opened);
  recordInto(rig.device, path, [&] {
    ASSERT_TRUE(rig.startMeasuring());
    ASSERT_TRUE(rig.burst(150));
    ASSERT_EQ(ZtDevice_startRecording(rig.device), 1);
    for (int part = 0; part < 3; ++part) {
      if (part > 0) rig.emu->scriptCounters({static_cast<uint16_t>(rig.collector.packets().back().counter + 20001)});
      ASSERT_TRUE(rig.burst(100));
    }
  });
}

void recordKtig(const std::string& path) {
  filtersim::GnssConfig g;
  g.rate = 2.0;
  g.leverArm = Vec3(kKtigLeverArm[0], kKtigLeverArm[1], kKtigLeverArm[2]);
  KtigStreamRig rig(driveConfig(Quat::Identity()), {Segment::still(3.0), Segment::forward(3.0, 2.0)}, g, 0);
  ASSERT_TRUE(rig.opened);
  recordInto(rig.device, path, [&] {
    ASSERT_TRUE(rig.startMeasuring());
    ASSERT_TRUE(rig.burst(150));
    ASSERT_EQ(ZtDevice_startRecording(rig.device), 1);
    ASSERT_TRUE(rig.burst(300));
  });
}

// The noise densities in the record, so that the filters carry every bit of their state.
void noisyMk4(TrackerModel& m) {
  m.sensor.ndAcc = 0.002;
  m.sensor.ndGyr = 0.0347;
}

// A fourth-generation tracker at 2000 Hz raw whose recording starts `offset` samples into an
// output window (20 raw samples), after `before` samples.
void recordMk4(Mk4StreamRig& rig, const std::string& path, size_t before, size_t offset, size_t samples) {
  ASSERT_TRUE(rig.opened);
  ASSERT_TRUE(rig.device && rig.device->hasZkfFilter());
  recordInto(rig.device, path, [&] {
    rig.emu->setStreamOnMeasurement(false);
    ASSERT_TRUE(rig.startMeasuring());
    ASSERT_TRUE(rig.burst(before + offset));
    ASSERT_EQ(rig.collector.count() % 20, offset);
    ASSERT_EQ(ZtDevice_startRecording(rig.device), 1);
    ASSERT_TRUE(rig.burst(samples));
  });
}

std::vector<Segment> rewindTurning() {
  return {Segment::still(1.0), Segment::rotate(1.0, Vec3(0.3, -0.2, 1.0), 50.0 * kRewindDeg),
          Segment::sinusoid(2.0, Vec3(1.0, 0.5, 0.0), 20.0 * kRewindDeg, 1.0)};
}

template <uint32_t kId>
void recordRestricted(const std::string& path) {
  Mk4StreamRig rig(kId, {{0xA010, 2000}}, rewindTurning(), noisyMk4);
  recordMk4(rig, path, 1000, 13, 2000);
}

// The navigation tracker standing and starting to drive, GNSS at 4 Hz and the barometer: the
// recording starts while it navigates, with aiding latched since the last step.
void recordNavigation(const std::string& path) {
  filtersim::VehicleRoute route;
  route.stop(3).accelerate(3, 2);
  NavigationStream n;
  n.gnss.rate = 4.0;
  RawStreamOptions o;
  o.navigation = n;
  Mk4StreamRig rig(kRewind700Series, {{0xA010, 2000}, {0x8840, 4}, {0x3010, 50}}, route.segments(), noisyMk4, o);
  recordMk4(rig, path, 2000, 7, 2000);
}

// A wireless tracker behind an emulated station: the station records while the tracker's
// increments (100 Hz) stream, then flushes and finalises.
void recordWireless(const std::string& path) {
  PtyPort pty;
  CallbackRecorder events;
  StationModel model;
  TrackerModel tracker;
  tracker.useFourthGeneration(kRewindWireless, {{0x8030, 100}, {0x4010, 100}, {0xC020, 100}, {0xE020, 100}});
  filtersim::SimulatorConfig c;
  c.outputRate = 100.0;
  c.earthRate = false;
  c.seed = 41;
  RawTrajectory stream(tracker.sensor, c,
                       {Segment::still(1.5), Segment::rotate(2.0, Vec3(0.0, 0.3, 1.0), 60.0 * kRewindDeg),
                        Segment::still(30.0)});
  stream.useOutputConfiguration(tracker);
  DeviceEmulator emu(std::make_unique<FdEmulatorLink>(dup(pty.masterFd())));
  model.setStationId(kRewindStation);
  model.setChannel(11);
  model.setChildren({kRewindWireless});
  model.setUpdateRates({100, 75, 60, 50});
  model.setAdmission(true);
  model.addStream(kRewindWireless, stream);
  model.attachTo(emu);
  emu.start();
  ZtControl* control = ZtControl_construct();
  const auto finish = [&] {
    ZtControl_destruct(control);
    emu.stop();
  };
  ZtString port = rewindText(pty.slavePath());
  const bool opened = ZtControl_openPort(control, &port, B115200, 0, 0) == 1;
  ZtString_destruct(&port);
  ZtDevice* station = opened ? ZtControl_device(control, kRewindStation) : nullptr;
  ZtDevice* child = station ? ZtDevice_findDevice(station, kRewindWireless) : nullptr;
  if (!child) {
    finish();
    FAIL() << "the station or its tracker did not open";
  }
  ZtDevice_addCallbackHandler(station, &events, 1);
  // Since the events were last cleared: the tracker delivered n packets; the station changed
  // into the state.
  const auto packets = [&](size_t n) {
    return events.waitUntil(
        [&](const std::vector<CallbackRecorder::Event>& all) {
          return static_cast<size_t>(std::count_if(all.begin(), all.end(), [&](const CallbackRecorder::Event& e) {
                   return e.kind == CallbackRecorder::Kind::DataAvailable && e.device == child;
                 })) >= n;
        },
        kRewindWait);
  };
  const auto state = [&](ZtDeviceState s) {
    return events.waitUntil(
        [&](const std::vector<CallbackRecorder::Event>& all) {
          return std::any_of(all.begin(), all.end(), [&](const CallbackRecorder::Event& e) {
            return e.kind == CallbackRecorder::Kind::DeviceStateChanged && e.device == station && e.values[0] == s;
          });
        },
        kRewindWait);
  };
  ZtString name = rewindText(path);
  const bool created = ZtDevice_createLogFile(station, &name) == 0;
  ZtString_destruct(&name);
  bool done = created && ZtDevice_gotoMeasurement(station) == 1 && model.relay(120) == 120 && packets(120);
  if (done) {
    events.clear();
    model.setSendRecordingStarted(true, model.lastFrame());
    done = ZtDevice_startRecording(station) == 1 && state(ZDS_Recording) && model.relay(300) == 300 && packets(300) &&
           ZtDevice_stopRecording(station) == 1;
  }
  if (done) {
    events.clear();
    // Flushing, finalising, and back to Measurement with the tracker's next packets.
    model.flushingCountdown(20, 2);
    done = state(ZDS_FinalizingRecording) && model.relay(5) == 5 && state(ZDS_Measurement) &&
           ZtDevice_closeLogFile(station) == 1;
  }
  finish();
  ASSERT_TRUE(done) << "the station did not record";
}

// What one replay delivered: each packet's device, id and data message.
struct Delivered {
  ZtDeviceId device = 0;
  int64_t id = -1;
  std::vector<uint8_t> frame;
  bool operator==(const Delivered&) const = default;
};

bool carriesOrientation(const Delivered& d) {
  ZtMessage m;
  ZtMessage_construct(&m);
  ZtDataPacket p;
  ZtDataPacket_construct(&p);
  bool found = false;
  if (ZtMessage_load(&m, d.frame.size(), d.frame.data())) {
    ZtDataPacket_setMessage(&p, &m);
    found = ZtDataPacket_containsOrientationQuaternion(&p) != 0;
  }
  ZtDataPacket_destruct(&p);
  ZtMessage_destruct(&m);
  return found;
}

// Loads the file once more and waits until its reading ended (progress 100 of 100).
std::vector<Delivered> replayOnce(CallbackRecorder& seen, ZtDevice* master) {
  seen.clear();
  std::vector<Delivered> out;
  if (ZtDevice_loadLogFile(master) != 1) {
    ADD_FAILURE() << "the recording did not load";
    return out;
  }
  const bool ended = seen.waitUntil(
      [&](const std::vector<CallbackRecorder::Event>& all) {
        return std::any_of(all.begin(), all.end(), [&](const CallbackRecorder::Event& e) {
          return e.kind == CallbackRecorder::Kind::ProgressUpdated && e.device == master && e.values[0] == 100 &&
                 e.values[1] == 100;
        });
      },
      kRewindWait);
  EXPECT_TRUE(ended) << "the replay did not end";
  for (const CallbackRecorder::Event& e : seen.events(CallbackRecorder::Kind::DataAvailable))
    out.push_back({e.packetDeviceId, e.packetId, e.frame});
  return out;
}

TEST(TrackerReplayRewind, EveryFilteredFamilyReplaysTheSamePacketsAfterARewind) {
  const struct {
    const char* name;
    uint32_t master;
    void (*record)(const std::string&);
    size_t packets;  // delivered by each replay
  } families[] = {
      {"host-filtered (Zkf3)", kRewindKtix, recordKtix, 300},
      {"GNSS-aided (Zkf6)", kKtigId, recordKtig, 300},
      {"20-series (Zkf3i)", kRewind20Series, recordRestricted<kRewind20Series>, 2000},
      {"200-series (Zkf3i)", kRewind200Series, recordRestricted<kRewind200Series>, 2000},
      {"700-series (Zkf700)", kRewind700Series, recordNavigation, 2000},
      {"wireless behind a station (Zkf3w)", kRewindStation, recordWireless, 300},
  };
  for (const auto& family : families) {
    SCOPED_TRACE(family.name);
    TempDir dir;
    const std::string path = dir.file("rewind.log");
    ASSERT_NO_FATAL_FAILURE(family.record(path));

    CallbackRecorder seen;  // outlives the control
    const std::unique_ptr<ZtControl, void (*)(ZtControl*)> control(ZtControl_construct(), ZtControl_destruct);
    ZtControl_addCallbackHandler(control.get(), &seen, 0);
    ZtString name = rewindText(path);
    ASSERT_EQ(ZtControl_openLogFile(control.get(), &name), 1);
    ZtString_destruct(&name);
    ZtDevice* master = ZtControl_device(control.get(), family.master);
    ASSERT_NE(master, nullptr);
    const std::vector<Delivered> first = replayOnce(seen, master);
    ASSERT_EQ(ZtDevice_resetLogFileReadPosition(master), 1);
    const std::vector<Delivered> again = replayOnce(seen, master);

    EXPECT_EQ(first.size(), family.packets);
    EXPECT_GT(std::count_if(first.begin(), first.end(), carriesOrientation), 0);
    EXPECT_EQ(again.size(), first.size());
    size_t differing = 0, at = 0;
    for (size_t i = 0; i < std::min(first.size(), again.size()); ++i) {
      if (again[i] == first[i]) continue;
      if (differing++ == 0) at = i;
    }
    EXPECT_EQ(differing, 0u) << "the first at packet " << at << ", id " << first[at].id;
  }
}

}  // namespace
}  // namespace zelto::test
