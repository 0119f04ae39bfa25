// The outside inertial units end to end: a frame generator on a pseudo-terminal plays the unit;
// the control opens it through its C export; packets, counter wrap, junk and corrupt frames,
// silence towards the unit, the fixed answers of the device, recording and replay.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "device/DeviceFactory.h"
#include "errors/ZtException.h"
#include "foundation/ThreadPool.h"
#include "foundation/ThreadPoolTask.h"
#include "otherdevices/imar/ImarFsasDevice.h"
#include "otherdevices/imar/ImarIFogDevice.h"
#include "support/CallbackRecorder.h"
#include "support/PtyPort.h"
#include "support/TempDir.h"
#include "support/emulator/ImarFrameGenerator.h"
#include "zeltodeviceapi/ztcontrol.h"
#include "zeltodeviceapi/ztdevice.h"

namespace zelto::test {
namespace {

using namespace std::chrono_literals;
using Unit = ImarFrameGenerator::Unit;
using Kind = CallbackRecorder::Kind;

struct Text {
  ZtString s;
  explicit Text(const std::string& t = "") { ZtString_construct(&s, t.c_str()); }
  ~Text() { ZtString_destruct(&s); }
  std::string str() const { return ZtString_c_str(&s); }
};

ZtDeviceId idOf(Unit unit) { return unit == Unit::Fsas ? 0xF00000 : 0xF10000; }
const char* nameOf(Unit unit) { return unit == Unit::Fsas ? "FSAS" : "iFOG"; }

// What a data event carried, read back from its message.
struct Seen {
  int64_t packetId = -1;
  bool hasCounter8 = false, hasCounter16 = false;
  uint8_t counter = 0;
  double acc[3] = {}, gyr[3] = {};
  ZtSdiData sdi{};
  uint32_t status = 0;
};

Seen seen(const CallbackRecorder::Event& e) {
  Seen s;
  s.packetId = e.packetId;
  ZtMessage m;
  ZtMessage_construct(&m);
  ZtMessage_load(&m, e.frame.size(), e.frame.data());
  ZtDataPacket p;
  ZtDataPacket_construct(&p);
  ZtDataPacket_setMessage(&p, &m);
  s.hasCounter8 = ZtDataPacket_containsPacketCounter8(&p) != 0;
  s.hasCounter16 = ZtDataPacket_containsPacketCounter(&p) != 0;
  s.counter = ZtDataPacket_packetCounter8(&p);
  ZtVector a{s.acc, 3, 0}, g{s.gyr, 3, 0};
  ZtDataPacket_calibratedAcceleration(&p, &a);
  ZtDataPacket_calibratedRateOfTurn(&p, &g);
  ZtDataPacket_sdiData(&p, &s.sdi);
  s.status = ZtDataPacket_status(&p);
  ZtDataPacket_destruct(&p);
  ZtMessage_destruct(&m);
  return s;
}

void expectSample(Unit unit, const Seen& s, const ImarFrameGenerator::Sample& sample) {
  ASSERT_TRUE(s.hasCounter8);
  EXPECT_FALSE(s.hasCounter16);
  EXPECT_EQ(s.counter, sample.counter);
  EXPECT_EQ(s.status, sample.status);
  const ImarFrameGenerator::Expected e = ImarFrameGenerator::expected(unit, sample);
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(s.acc[k], e.acceleration[k], 1e-12 * (1 + std::fabs(e.acceleration[k])));
    EXPECT_NEAR(s.gyr[k], e.rateOfTurn[k], 1e-12 * (1 + std::fabs(e.rateOfTurn[k])));
    EXPECT_NEAR(s.sdi.velocityIncrement[k], e.velocity[k], 1e-15);
  }
  // The orientation increment turns by the increment's angle.
  const double theta = std::sqrt(e.angle[0] * e.angle[0] + e.angle[1] * e.angle[1] + e.angle[2] * e.angle[2]);
  EXPECT_NEAR(s.sdi.orientationIncrement.w, std::fabs(std::cos(theta / 2)), 1e-14);
}

// A unit on a pseudo-terminal, opened by a control through the C interface.
struct UnitRig {
  explicit UnitRig(Unit u, uint8_t startCounter = 0) : unit(u) {
    gen = std::make_unique<ImarFrameGenerator>(u, std::make_unique<FdEmulatorLink>(dup(pty.masterFd())));
    gen->setStartCounter(startCounter);
    control = ZtControl_construct();
    Text name(pty.slavePath());
    opened = ZtControl_openImarPort_internal(control, &name.s, B115200, u == Unit::Fsas ? 0 : 1, 0) != 0;
    if (!opened) return;
    device = ZtControl_device(control, idOf(u));
    if (device) ZtDevice_addCallbackHandler(device, &recorder, 0);
  }
  ~UnitRig() {
    if (control) ZtControl_destruct(control);
  }
  UnitRig(const UnitRig&) = delete;
  UnitRig& operator=(const UnitRig&) = delete;

  bool sendAndWait(size_t n) {
    const size_t expected = recorder.count(Kind::DataAvailable) + n;
    return gen->send(n) && recorder.waitFor(Kind::DataAvailable, expected, 10s);
  }

  Unit unit;
  PtyPort pty;
  std::unique_ptr<ImarFrameGenerator> gen;
  ZtControl* control = nullptr;
  bool opened = false;
  ZtDevice* device = nullptr;
  CallbackRecorder recorder;
};

TEST(ImarUnits, OpenedThroughTheControlTheUnitReportsItsFixedConfiguration) {
  for (Unit unit : {Unit::Fsas, Unit::IFog}) {
    SCOPED_TRACE(nameOf(unit));
    UnitRig rig(unit);
    ASSERT_TRUE(rig.opened) << ZtControl_lastResult(rig.control);
    ASSERT_NE(rig.device, nullptr);
    Text code;
    ZtDevice_productCode(rig.device, &code.s);
    EXPECT_EQ(code.str(), unit == Unit::Fsas ? "iMAR-FSAS" : "iMAR-iFOG");
    EXPECT_EQ(ZtDevice_updateRate(rig.device), 200);
    EXPECT_EQ(ZtDevice_samplePeriod(rig.device), 576);
    EXPECT_EQ(ZtDevice_outputMode(rig.device), 0x0802u);
    EXPECT_EQ(ZtDevice_syncRole(rig.device), 3);
    EXPECT_EQ(ZtDevice_isMotionTracker(rig.device), 1);
    EXPECT_EQ(ZtDevice_deviceState(rig.device), ZDS_Measurement);
    const ZtProtocolType own = unit == Unit::Fsas ? ZPT_ImarFsas : ZPT_ImarIFog;
    const ZtProtocolType other = unit == Unit::Fsas ? ZPT_ImarIFog : ZPT_ImarFsas;
    EXPECT_EQ(ZtDevice_isProtocolEnabled(rig.device, own), 1);
    EXPECT_EQ(ZtDevice_isProtocolEnabled(rig.device, ZPT_Zbus), 0);
    // The other unit's handler can be added beside it, and removed again.
    EXPECT_EQ(ZtDevice_enableProtocol(rig.device, other), 1);
    EXPECT_EQ(ZtDevice_isProtocolEnabled(rig.device, other), 1);
    EXPECT_EQ(ZtDevice_disableProtocol(rig.device, other), 1);
    EXPECT_EQ(ZtDevice_isProtocolEnabled(rig.device, other), 0);
    // Fixed answers of the class.
    auto* d = static_cast<::ZtDevice*>(rig.device);
    EXPECT_EQ(d->supportedUpdateRates(0), std::vector<int>{200});
    EXPECT_EQ(d->supportedUpdateRates(0x2010), std::vector<int>{200});
    EXPECT_TRUE(d->setSyncSettings({}));
    EXPECT_FALSE(d->setSyncSettings({ZtSyncSetting{}}));
    EXPECT_TRUE(d->syncSettings().empty());
    EXPECT_EQ(d->outputSettings(), 0xC0u);
    EXPECT_EQ(d->outputSkipFactor(), 0);
    EXPECT_EQ(d->locationId(), 0);
    EXPECT_EQ(d->hardwareVersion().major, 1u);
    EXPECT_TRUE(d->gotoConfig());
    EXPECT_TRUE(d->gotoMeasurement());
    EXPECT_EQ(d->deviceState(), ZDS_Measurement);
    // Everything above, opening and closing included, sent nothing to the unit.
    ZtControl_destruct(rig.control);
    rig.control = nullptr;
    EXPECT_EQ(rig.gen->drainReceived(100), 0u);
  }
}

TEST(ImarUnits, PacketsCarryTheFramesAcrossCounterWrapsJunkAndCorruptFrames) {
  for (Unit unit : {Unit::Fsas, Unit::IFog}) {
    SCOPED_TRACE(nameOf(unit));
    UnitRig rig(unit, 200);
    ASSERT_TRUE(rig.opened);
    ASSERT_NE(rig.device, nullptr);
    // 600 frames from counter 200: the 8-bit counter wraps three times.
    ASSERT_TRUE(rig.sendAndWait(600));
    // Junk, a stray sync byte, a pair that starts no frame, then the next frame with a bad CRC
    // and the same frame intact: only the intact one arrives.
    const uint64_t index = rig.gen->framesMade();
    std::vector<uint8_t> good = rig.gen->takeFrame();
    std::vector<uint8_t> bad = good;
    bad[12] ^= 0x40;
    std::vector<uint8_t> bytes = {0x00, 0x55, 0x7E, 0x13, 0x7E, 0x7E, 0x7E, 0xAA};
    bytes.insert(bytes.end(), bad.begin(), bad.end());
    bytes.insert(bytes.end(), good.begin(), good.end());
    ASSERT_TRUE(rig.gen->sendRaw(bytes));
    // A frame cut in two writes.
    std::vector<uint8_t> cut = rig.gen->takeFrame();
    ASSERT_TRUE(rig.gen->sendRaw(std::vector<uint8_t>(cut.begin(), cut.begin() + 17)));
    ASSERT_TRUE(rig.gen->sendRaw(std::vector<uint8_t>(cut.begin() + 17, cut.end())));
    ASSERT_TRUE(rig.sendAndWait(10));
    ASSERT_TRUE(rig.recorder.waitFor(Kind::DataAvailable, 612, 5s));

    const std::vector<CallbackRecorder::Event> events = rig.recorder.events(Kind::DataAvailable);
    ASSERT_EQ(events.size(), 612u);
    for (size_t i = 0; i < events.size(); ++i) {
      SCOPED_TRACE(i);
      const Seen s = seen(events[i]);
      expectSample(unit, s, rig.gen->sample(i));
      // Consecutive packet ids through every wrap: no two frames share an id.
      if (i > 0) {
        EXPECT_EQ(events[i].packetId, events[i - 1].packetId + 1);
      }
      if (HasFatalFailure()) return;
    }
    EXPECT_EQ(rig.gen->sample(index).counter, seen(events[600]).counter);
    EXPECT_EQ(rig.recorder.count(Kind::MissedPackets), 0u);
    EXPECT_EQ(rig.recorder.count(Kind::Error), 0u);

    // A frame the unit lost is reported as one missed packet.
    rig.gen->takeFrame();
    ASSERT_TRUE(rig.sendAndWait(3));
    ASSERT_TRUE(rig.recorder.waitFor(Kind::MissedPackets, 1, 2s));
    const auto missed = rig.recorder.events(Kind::MissedPackets);
    EXPECT_EQ(missed[0].values[0], 1);
    EXPECT_EQ(rig.gen->drainReceived(50), 0u);
  }
}

// A unit whose writer stalls inside its frames: the first one to three bytes of each come in
// reads 30 ms apart (one frame's 200 ms), the rest after another pause. Every frame arrives, in
// order, with none missed.
TEST(ImarUnits, FramesWhoseFirstBytesComeInSlowReadsAllArrive) {
  const struct {
    std::vector<size_t> pieces;
    std::chrono::milliseconds gap;
  } writes[] = {{{1}, 30ms}, {{1, 1}, 30ms}, {{1, 1, 1}, 30ms}, {{2}, 30ms}, {{1, 2}, 200ms}};
  for (Unit unit : {Unit::Fsas, Unit::IFog}) {
    SCOPED_TRACE(nameOf(unit));
    UnitRig rig(unit);
    ASSERT_TRUE(rig.opened);
    ASSERT_NE(rig.device, nullptr);
    for (const auto& w : writes) ASSERT_TRUE(rig.gen->sendRaw(rig.gen->takeFrame(), w.pieces, w.gap));
    ASSERT_TRUE(rig.recorder.waitFor(Kind::DataAvailable, std::size(writes), 5s))
        << rig.recorder.count(Kind::DataAvailable) << " of " << std::size(writes) << " frames arrived";
    const std::vector<CallbackRecorder::Event> events = rig.recorder.events(Kind::DataAvailable);
    ASSERT_EQ(events.size(), std::size(writes));
    for (size_t i = 0; i < events.size(); ++i) {
      SCOPED_TRACE(i);
      expectSample(unit, seen(events[i]), rig.gen->sample(i));
    }
    EXPECT_EQ(rig.recorder.count(Kind::MissedPackets), 0u);
  }
}

TEST(ImarUnits, RecordingReplaysTheSamePackets) {
  TempDir dir;
  for (Unit unit : {Unit::Fsas, Unit::IFog}) {
    SCOPED_TRACE(nameOf(unit));
    const std::string file = dir.file(std::string(nameOf(unit)) + ".zlog");
    std::vector<Seen> live;
    {
      UnitRig rig(unit, 250);
      ASSERT_TRUE(rig.opened);
      Text name(file);
      ASSERT_EQ(ZtDevice_createLogFile(rig.device, &name.s), ZRV_OK);
      ASSERT_EQ(ZtDevice_startRecording(rig.device), 1);
      ASSERT_TRUE(rig.sendAndWait(300));
      ASSERT_EQ(ZtDevice_stopRecording(rig.device), 1);
      ASSERT_EQ(ZtDevice_closeLogFile(rig.device), 1);
      for (const auto& e : rig.recorder.events(Kind::DataAvailable)) live.push_back(seen(e));
      EXPECT_EQ(rig.gen->drainReceived(20), 0u);
    }
    ASSERT_EQ(live.size(), 300u);
    ZtControl* control = ZtControl_construct();
    Text name(file);
    ASSERT_EQ(ZtControl_openLogFile(control, &name.s), 1) << ZtControl_lastResult(control);
    ZtDevice* device = ZtControl_device(control, idOf(unit));
    ASSERT_NE(device, nullptr);
    CallbackRecorder replay;
    ZtDevice_addCallbackHandler(device, &replay, 0);
    ASSERT_EQ(ZtDevice_loadLogFile(device), 1);
    ASSERT_TRUE(replay.waitFor(Kind::DataAvailable, live.size(), 10s));
    const auto events = replay.events(Kind::DataAvailable);
    ASSERT_EQ(events.size(), live.size());
    for (size_t i = 0; i < events.size(); ++i) {
      const Seen s = seen(events[i]);
      EXPECT_EQ(s.packetId, live[i].packetId) << i;
      EXPECT_EQ(s.counter, live[i].counter) << i;
      for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(s.acc[k], live[i].acc[k]);
        EXPECT_EQ(s.gyr[k], live[i].gyr[k]);
      }
    }
    EXPECT_EQ(replay.count(Kind::MissedPackets), 0u);
    ZtControl_destruct(control);
  }
}

TEST(ImarUnits, WithoutALinkOrADeviceEntry) {
  // A device made directly, with no link: gotoMeasurement fails and leaves the state.
  struct Factory : DeviceFactory {
    void removeExistingDevice(const ZtDeviceId&) override {}
    bool initializeDevice(::ZtDevice*) const override { return false; }
  } factory;
  ImarFsasDevice device(static_cast<DeviceFactory&>(factory), nullptr);
  const ZtDeviceState before = device.deviceState();
  EXPECT_FALSE(device.gotoMeasurement());
  EXPECT_EQ(device.deviceState(), before);
  // No device entry: an application thread gets the exception, the C boundary catches it.
  EXPECT_THROW(device.outputMode(), ZtException);
  EXPECT_THROW(device.outputSettings(), ZtException);
  // On a pool thread, which has no caller to take it, the getters answer 0 instead.
  struct Ask : zelto::ThreadPoolTask {
    explicit Ask(const ImarFsasDevice& d, int& out) : device(d), result(out) {}
    bool exec() override {
      result = static_cast<int>(device.outputMode() | device.outputSettings()) + 1;
      return true;
    }
    const ImarFsasDevice& device;
    int& result;
  };
  int result = -1;
  zelto::ThreadPool* pool = zelto::ThreadPool::instance();
  pool->waitForCompletion(pool->addTask(new Ask(device, result)));
  EXPECT_EQ(result, 1);
}

}  // namespace
}  // namespace zelto::test
