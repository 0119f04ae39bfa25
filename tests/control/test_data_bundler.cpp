// The data bundler driven through its devices' events, as devices raise them: bundling of both
// streams, dropping, gap filling, placeholders, the device state table, frame splitting, the
// real-time bound, handlers that throw or call back in, and destruction while devices stream.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/DataBundleQueue.h"
#include "control/ZtDataBundler.h"
#include "math/Quaternion.h"
#include "math/Vector.h"
#include "math/strapdown/Strapdown.h"
#include "support/TestDevice.h"

namespace {

using zelto::test::TestDevice;

// A packet owned by the test.
struct Packet {
  ZtDataPacket p;
  Packet(ZtDeviceId device, int64_t id) {
    ZtDataPacket_construct(&p);
    p.deviceId = device;
    p.packetId = id;
    ZtDataPacket_setPacketCounter(&p, static_cast<uint16_t>(id & 0xFFFF));
  }
  explicit Packet(const ZtDataPacket& source) { ZtDataPacket_constructCopy(&p, &source); }
  ~Packet() { ZtDataPacket_destruct(&p); }
  Packet(const Packet&) = delete;
  Packet& operator=(const Packet&) = delete;
};

// A test device with a settable update rate for the strapdown data; it remembers what it was
// asked for.
class RateDevice : public TestDevice {
 public:
  RateDevice(ZtDeviceId id, int rate) : TestDevice(id), m_rate(rate) {}
  int updateRateForDataIdentifier(ZtDataIdentifier id) const override {
    m_asked = id;
    return m_rate;
  }
  ZtDataIdentifier asked() const { return m_asked; }

 private:
  int m_rate;
  mutable std::atomic<ZtDataIdentifier> m_asked{0};
};

struct DeviceEnd {
  void operator()(ZtDevice* d) const { d->removeIfNoRefs(); }
};
using DevicePtr = std::unique_ptr<RateDevice, DeviceEnd>;

// The application's handler: records each delivered bundle ("dev:id dev:id ...") through the
// bundler's count and at, keeps copies of the real-time packets, and runs an optional hook.
class BundleLog : public ZtCallback {
 public:
  explicit BundleLog(ZtDataBundler& bundler) : m_bundler(bundler) {}

  void onDataAvailable(ZtDevice* dev, const ZtDataPacket* packet) override { record(0, dev, packet); }
  bool onWriteDataToLogFile(ZtDevice* dev, const ZtDataPacket* packet) override {
    record(1, dev, packet);
    return false;  // ignored by the bundler
  }

  std::vector<std::string> bundles(int stream) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bundles[stream];
  }
  std::vector<std::unique_ptr<Packet>>& packets() { return m_packets; }
  std::function<void(int stream)> hook;
  bool nullArguments = true;

 private:
  void record(int stream, ZtDevice* dev, const ZtDataPacket* packet) {
    if (dev || packet) nullArguments = false;
    std::string text;
    const unsigned n = m_bundler.count();
    for (unsigned i = 0; i < n; ++i) {
      const ZtDataPacket* p = m_bundler.at(i);
      text += (i ? " " : "") + std::to_string(p->deviceId) + ":" + std::to_string(p->packetId);
      if (stream == 0) m_packets.push_back(std::make_unique<Packet>(*p));
    }
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_bundles[stream].push_back(text);
    }
    if (hook) hook(stream);
  }

  ZtDataBundler& m_bundler;
  mutable std::mutex m_mutex;
  std::vector<std::string> m_bundles[2];
  std::vector<std::unique_ptr<Packet>> m_packets;
};

// n devices with ids 1..n, all added to one bundler whose handler is the log.
struct Rig {
  explicit Rig(int n, int rate = 100) {
    for (int i = 0; i < n; ++i) devices.emplace_back(new RateDevice(static_cast<ZtDeviceId>(i + 1), rate));
    bundler.addCallbackHandler(&log, false);
    for (auto& d : devices) bundler.addDevice(d.get());
  }
  ~Rig() { bundler.removeDevice(nullptr); }

  RateDevice& dev(int i) { return *devices[static_cast<size_t>(i)]; }
  void rt(int i, int64_t id) {
    Packet p(dev(i).deviceId(), id);
    dev(i).onDataAvailable(&dev(i), &p.p);
  }
  void rt(int i, const ZtDataPacket& p) { dev(i).onDataAvailable(&dev(i), &p); }
  void rec(int i, int64_t id) {
    Packet p(dev(i).deviceId(), id);
    EXPECT_TRUE(dev(i).onWriteDataToLogFile(&dev(i), &p.p));
  }
  void state(int i, ZtDeviceState next, ZtDeviceState old) { dev(i).onDeviceStateChanged(&dev(i), next, old); }
  void error(int i, int code) { dev(i).onError(&dev(i), static_cast<ZtResultValue>(code)); }
  void missed(int i, int count, int first, int last) { dev(i).onMissedPackets(&dev(i), count, first, last); }
  const DataBundleQueue& queue(int q) const { return bundler.getQueue(static_cast<unsigned>(q)); }

  std::vector<DevicePtr> devices;
  ZtDataBundler bundler;
  BundleLog log{bundler};
};

using Bundles = std::vector<std::string>;

// ---- The bundling rules, case by case ------------------------------------------------------------

TEST(DataBundler, BundlesAsTheDevicesRaiseTheirEvents) {
  struct Case {
    const char* what;
    int devices;
    std::function<void(Rig&)> script;
    Bundles realTime, recording;
    size_t rtLeft, recLeft;     // bundles still queued
    int64_t rtLast, recLast;    // last removed ids
  };
  const Case cases[] = {
      {"one device: every packet is a bundle of one", 1,
       [](Rig& r) {
         for (int64_t id : {0, 1, 2}) r.rt(0, id);
       },
       {"1:0", "1:1", "1:2"}, {}, 0, 0, 2, -1},
      {"recording 10, 11 of A, then 11 of B: bundle 10 dropped without a call", 2,
       [](Rig& r) {
         r.rec(0, 10);
         r.rec(0, 11);
         r.rec(1, 11);
       },
       {}, {"1:11 2:11"}, 0, 0, -1, 11},
      {"older than the front bundle is dropped; an empty queue takes any id", 2,
       [](Rig& r) {
         r.rec(0, 5);
         r.rec(0, 3);
         r.rec(1, 3);  // would complete bundle 3 had A's 3 been taken
         r.rec(1, 5);
         r.rec(0, 1);  // below the last removed id, but the queue is empty
         r.rec(1, 1);
       },
       {}, {"1:5 2:5", "1:1 2:1"}, 0, 0, -1, 1},
      {"equal ids of one device share a bundle, dropped once a later one completes", 3,
       [](Rig& r) {
         r.rec(0, 7);
         r.rec(0, 7);
         EXPECT_EQ(r.queue(1).size(), 1u);
         EXPECT_EQ(r.queue(1).bundle(0).count(), 2u);
         for (int d : {0, 1, 2}) r.rec(d, 8);
       },
       {}, {"1:8 2:8 3:8"}, 0, 0, -1, 8},
      {"real time: a gap is filled with copies of the packet after it", 2,
       [](Rig& r) {
         for (auto [d, id] : std::vector<std::pair<int, int64_t>>{{0, 0}, {1, 0}, {0, 1}, {0, 4}, {1, 1}, {1, 2}, {1, 3},
                                                                  {1, 4}})
           r.rt(d, id);
       },
       {"1:0 2:0", "1:1 2:1", "1:2 2:2", "1:3 2:3", "1:4 2:4"}, {}, 0, 0, 4, -1},
      {"real time: an id at or before the device's last is dropped", 1,
       [](Rig& r) {
         for (int64_t id : {5, 5, 4, 6}) r.rt(0, id);
       },
       {"1:5", "1:6"}, {}, 0, 0, 6, -1},
      {"real time: the first packet after a clear is inserted once", 1,
       [](Rig& r) {
         r.rt(0, 0);
         r.rt(0, 1);
         r.error(0, 42);
         r.rt(0, 1000);
       },
       {"1:0", "1:1", "1:1000"}, {}, 0, 0, 1000, -1},
      {"code 42 empties both queues, other codes leave them", 2,
       [](Rig& r) {
         r.rt(0, 3);
         r.rec(0, 3);
         r.error(0, 41);
         EXPECT_EQ(r.queue(0).size(), 1u);
         EXPECT_EQ(r.queue(1).size(), 1u);
         r.error(1, 42);
       },
       {}, {}, 0, 0, -1, -1},
      {"missed packets: recording placeholders after the device's last id, none in real time", 2,
       [](Rig& r) {
         r.rec(0, 10);
         r.rt(0, 10);
         r.missed(0, 3, 11, 13);
         EXPECT_EQ(r.queue(0).size(), 1u);
         for (int64_t id : {10, 11, 12, 13}) r.rec(1, id);
       },
       {}, {"1:10 2:10", "1:11 2:11", "1:12 2:12", "1:13 2:13"}, 1, 0, -1, 13},
      {"missed packets: no placeholder without a packet of the device in the queue", 2,
       [](Rig& r) {
         r.rec(1, 10);
         r.missed(0, 3, 11, 13);
         r.missed(1, 0, 11, 10);
       },
       {}, {}, 0, 1, -1, -1},
      {"a removed device no longer counts: the queued bundle it held up completes", 2,
       [](Rig& r) {
         r.rec(0, 20);
         r.rec(0, 21);
         r.bundler.removeDevice(&r.dev(1));
         r.rec(0, 22);
       },
       {}, {"1:20", "1:21", "1:22"}, 0, 0, -1, 22},
      {"a removed device's packets leave with it: they stand in for no member", 3,
       [](Rig& r) {
         r.rt(2, 5);
         r.rt(0, 5);
         r.rec(2, 5);
         r.rec(0, 5);
         r.bundler.removeDevice(&r.dev(2));
         r.rt(1, 5);
         r.rec(1, 5);
       },
       {"1:5 2:5"}, {"1:5 2:5"}, 0, 0, 5, 5},
      {"a removed device's packets leave with it: its lone bundles do not stay in front", 3,
       [](Rig& r) {
         r.rt(0, 1);
         r.rt(2, 1000);  // its own sequence, far ahead of the others
         r.rt(1, 1);
         r.bundler.removeDevice(&r.dev(2));
         for (int64_t id : {2, 3}) {
           r.rt(0, id);
           r.rt(1, id);
         }
       },
       {"1:1 2:1", "1:2 2:2", "1:3 2:3"}, {}, 0, 0, 3, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig(c.devices);
    c.script(rig);
    EXPECT_EQ(rig.log.bundles(0), c.realTime);
    EXPECT_EQ(rig.log.bundles(1), c.recording);
    EXPECT_EQ(rig.queue(0).size(), c.rtLeft);
    EXPECT_EQ(rig.queue(1).size(), c.recLeft);
    EXPECT_EQ(rig.queue(0).lastRemovedId(), c.rtLast);
    EXPECT_EQ(rig.queue(1).lastRemovedId(), c.recLast);
    EXPECT_TRUE(rig.log.nullArguments);
  }
}

TEST(DataBundler, GapCopiesCarryTheNextPacketsContents) {
  Rig rig(1);
  rig.rt(0, 7);
  Packet next(1, 10);
  ZtDataPacket_setStatus(&next.p, 0xABCD);
  rig.rt(0, next.p);
  ASSERT_EQ(rig.log.bundles(0), (Bundles{"1:7", "1:8", "1:9", "1:10"}));
  for (size_t i = 1; i < 4; ++i) {
    const ZtDataPacket& p = rig.log.packets()[i]->p;
    EXPECT_EQ(ZtDataPacket_status(&p), 0xABCDu);
    EXPECT_EQ(ZtDataPacket_packetCounter(&p), 10u);  // contents unchanged, only the id differs
  }
}

TEST(DataBundler, AHugeGapFillsNoMoreThanTheQueueHolds) {
  Rig rig(2);
  rig.rt(0, 0);
  rig.rt(1, 0);
  rig.rt(0, int64_t{1} << 40);  // e.g. sample-time ids after a long pause
  EXPECT_EQ(rig.queue(0).size(), DataBundleQueue::kMaxRealTimeBundles);
  EXPECT_EQ(rig.queue(0).bundle(rig.queue(0).size() - 1).key(), int64_t{1} << 40);
}

// ---- Reading the bundle ---------------------------------------------------------------------------

TEST(DataBundler, CountAtAndPacketAnswerOnlyInsideTheHandler) {
  Rig rig(2);
  EXPECT_EQ(rig.bundler.count(), 0u);
  EXPECT_EQ(rig.bundler.at(0), nullptr);
  EXPECT_EQ(rig.bundler.packet(1), nullptr);

  int calls = 0;
  std::thread::id handlerThread;
  std::atomic<unsigned> otherThreadCount{99};
  rig.log.hook = [&](int) {
    ++calls;
    handlerThread = std::this_thread::get_id();
    EXPECT_EQ(rig.bundler.count(), 2u);
    EXPECT_EQ(rig.bundler.at(2), nullptr);
    ASSERT_NE(rig.bundler.packet(2), nullptr);
    EXPECT_EQ(rig.bundler.packet(2)->deviceId, 2u);
    EXPECT_EQ(rig.bundler.packet(1)->packetId, 4);
    EXPECT_EQ(rig.bundler.packet(3), nullptr);
    // Another thread sees no bundle while this one delivers.
    std::thread([&] { otherThreadCount = rig.bundler.count(); }).join();
    // The handler may call into the bundler again.
    EXPECT_EQ(rig.bundler.sourceFromId(1), &rig.dev(0));
    rig.bundler.addDevice(&rig.dev(0));
    EXPECT_EQ(rig.bundler.deviceCount(), 2u);
  };
  rig.rt(0, 4);
  rig.rt(1, 4);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(otherThreadCount.load(), 0u);
  EXPECT_EQ(rig.bundler.count(), 0u);
  EXPECT_EQ(rig.bundler.at(0), nullptr);
}

TEST(DataBundler, AddingAndRemovingDevices) {
  Rig rig(2);
  ZtDataBundler& b = rig.bundler;
  b.addDevice(&rig.dev(0));
  EXPECT_EQ(b.deviceCount(), 2u);
  EXPECT_EQ(rig.dev(0).callbackHandlers().size(), 1u);
  auto stranger = DevicePtr(new RateDevice(9, 100));
  b.removeDevice(stranger.get());
  EXPECT_EQ(b.deviceCount(), 2u);
  b.removeDevice(&rig.dev(0));
  EXPECT_EQ(b.deviceCount(), 1u);
  EXPECT_TRUE(rig.dev(0).callbackHandlers().empty());
  rig.rt(0, 1);  // no longer heard
  rig.rt(1, 1);
  b.addDevice(&rig.dev(0));
  rig.rt(0, 2);
  rig.rt(1, 2);
  EXPECT_EQ(rig.log.bundles(0), (Bundles{"2:1", "1:2 2:2"}));
  b.removeDevice(nullptr);
  EXPECT_EQ(b.deviceCount(), 0u);
  EXPECT_TRUE(rig.dev(1).callbackHandlers().empty());
  b.addDevice(nullptr);
  EXPECT_EQ(b.deviceCount(), 0u);
}

// ---- Device states ----------------------------------------------------------------------------------

TEST(DataBundler, DeviceStatesClearTheQueuesAsTheTableSays) {
  struct Step {
    ZtDeviceState next, old;
    bool rtKept, recKept;
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"measurement from config empties both", {{ZDS_Measurement, ZDS_Config, false, false}}},
      {"waiting for recording from initial empties both", {{ZDS_WaitingForRecordingStart, ZDS_Initial, false, false}}},
      {"measurement from recording keeps both", {{ZDS_Measurement, ZDS_Recording, true, true}}},
      {"first recording state empties the recording queue, the next ones keep it",
       {{ZDS_Recording, ZDS_WaitingForRecordingStart, true, false},
        {ZDS_FlushingData, ZDS_Recording, true, true},
        {ZDS_FinalizingRecording, ZDS_FlushingData, true, true}}},
      {"back to measurement clears the latch: the next recording empties it again",
       {{ZDS_Recording, ZDS_Measurement, true, false},
        {ZDS_Measurement, ZDS_FinalizingRecording, true, true},
        {ZDS_FlushingData, ZDS_Measurement, true, false}}},
      {"config and initial change nothing",
       {{ZDS_Config, ZDS_Measurement, true, true}, {ZDS_Initial, ZDS_Config, true, true}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig(2);
    int64_t id = 0;
    for (const Step& s : c.steps) {
      ++id;
      rig.rt(0, id);  // one packet of two: stays queued
      rig.rec(0, id);
      rig.state(1, s.next, s.old);
      EXPECT_EQ(rig.queue(0).size() != 0, s.rtKept) << s.next << " from " << s.old;
      EXPECT_EQ(rig.queue(1).size() != 0, s.recKept) << s.next << " from " << s.old;
      rig.bundler.clearQueues();
    }
  }
}

TEST(DataBundler, ADestructingDeviceIsForgottenButStillCounts) {
  Rig rig(2);
  rig.state(1, ZDS_Destructing, ZDS_Measurement);
  rig.rt(1, 1);  // ignored
  rig.rt(0, 1);
  EXPECT_TRUE(rig.log.bundles(0).empty());
  EXPECT_EQ(rig.queue(0).size(), 1u);
  rig.state(1, ZDS_Measurement, ZDS_Config);  // ignored as well: the queue stays
  EXPECT_EQ(rig.queue(0).size(), 1u);
  EXPECT_EQ(rig.bundler.sourceFromId(2), nullptr);
  rig.bundler.removeDevice(&rig.dev(1));  // no longer found
  EXPECT_EQ(rig.bundler.deviceCount(), 2u);
  rig.bundler.removeDevice(nullptr);
  EXPECT_EQ(rig.bundler.deviceCount(), 0u);
  // The forgotten callback did not unregister; the device's list still names it until it goes.
  EXPECT_EQ(rig.dev(1).callbackHandlers().size(), 1u);
  rig.dev(1).removeCallbackHandler(rig.dev(1).callbackHandlers()[0], false);
}

// ---- The real-time bound ----------------------------------------------------------------------------

TEST(DataBundler, ASilentDeviceCannotGrowTheRealTimeQueueBeyondItsBound) {
  Rig rig(2);
  const int64_t sent = static_cast<int64_t>(DataBundleQueue::kMaxRealTimeBundles) + 1000;
  for (int64_t id = 0; id < sent; ++id) rig.rt(0, id);
  EXPECT_EQ(rig.queue(0).size(), DataBundleQueue::kMaxRealTimeBundles);
  EXPECT_EQ(rig.queue(0).bundle(0).key(), 1000);
  EXPECT_EQ(rig.queue(0).lastRemovedId(), 999);
  // The recording queue is not bounded: a wireless flush completes its bundles late.
  for (int64_t id = 0; id < sent; ++id) rig.rec(0, id);
  EXPECT_EQ(rig.queue(1).size(), static_cast<size_t>(sent));
  // The silent device wakes up with the newest sample: its copies fill every queued sample after
  // the last one dropped, so all of them complete.
  rig.rt(1, sent - 1);
  const Bundles delivered = rig.log.bundles(0);
  ASSERT_EQ(delivered.size(), DataBundleQueue::kMaxRealTimeBundles);
  EXPECT_EQ(delivered.front(), "1:1000 2:1000");
  EXPECT_EQ(delivered.back(), "1:" + std::to_string(sent - 1) + " 2:" + std::to_string(sent - 1));
  EXPECT_EQ(rig.queue(0).size(), 0u);
}

// ---- Handlers -----------------------------------------------------------------------------------------

TEST(DataBundler, AThrowingHandlerDoesNotStopDelivery) {
  Rig rig(1);
  int calls = 0;
  rig.log.hook = [&](int) {
    if (++calls == 1) throw std::runtime_error("application fault");
  };
  rig.rt(0, 1);
  rig.rt(0, 2);
  EXPECT_EQ(rig.log.bundles(0), (Bundles{"1:1", "1:2"}));
  EXPECT_EQ(rig.queue(0).size(), 0u);
  EXPECT_EQ(rig.queue(0).lastRemovedId(), 2);
  EXPECT_EQ(rig.bundler.count(), 0u);  // the current bundle was reset after the throw
}

TEST(DataBundler, AHandlerMayClearFeedOrRemoveWhileABundleIsDelivered) {
  Rig rig(2);
  int calls = 0;
  rig.log.hook = [&](int) {
    ++calls;
    if (calls == 1) {
      rig.bundler.clearQueues();  // the bundle in delivery leaves the queue with the rest...
      EXPECT_EQ(rig.queue(0).size(), 0u);
      EXPECT_EQ(rig.bundler.count(), 2u);  // ...but stays readable until the handler returns
      rig.rt(0, 50);  // fed from inside: queued, delivered by the loop that runs
      rig.rt(1, 50);
    } else if (calls == 2) {
      rig.bundler.removeDevice(&rig.dev(1));  // from inside a handler: deleted later
    }
  };
  rig.rt(0, 1);
  rig.rt(1, 1);
  rig.rt(0, 51);
  EXPECT_EQ(rig.log.bundles(0), (Bundles{"1:1 2:1", "1:50 2:50", "1:51"}));
  EXPECT_EQ(rig.bundler.deviceCount(), 1u);
  EXPECT_TRUE(rig.dev(1).callbackHandlers().empty());
}

// ---- Frame splitting ------------------------------------------------------------------------------

struct SdiPacket {
  Packet packet;
  zelto::Quaternion q;
  double v[3] = {0.3, -0.2, 0.9};
  double m[3] = {0.2, 0.1, -0.5};
  SdiPacket(int64_t id, int32_t first, int32_t last, bool inertial) : packet(1, id) {
    q = zelto::Quaternion(std::cos(0.3), std::sin(0.3) * 0.6, 0.0, std::sin(0.3) * 0.8);
    ZtSdiData sdi;
    sdi.orientationIncrement = q;
    for (int i = 0; i < 3; ++i) sdi.velocityIncrement[i] = v[i];
    ZtDataPacket_setSdiData(&packet.p, &sdi);
    const ZtRange range{first, last};
    ZtDataPacket_setFrameRange(&packet.p, &range);
    const ZtVector mag{m, 3, 0};
    ZtDataPacket_setCalibratedMagneticField(&packet.p, &mag);
    if (inertial) {
      double acc[3] = {0.0, 0.0, 9.81};
      const ZtVector accV{acc, 3, 0};
      ZtDataPacket_setCalibratedAcceleration(&packet.p, &accV);
    }
  }
};

TEST(DataBundler, SplitsAMultiFrameIncrementIntoOnePacketPerFrame) {
  struct Case {
    const char* what;
    int64_t id;
    int32_t first, last;
    std::vector<int64_t> ids;
  };
  const int64_t high = (int64_t{3} << 31) | 0x10008;  // above 2^31 and 2^32
  const Case cases[] = {
      {"small ids", 0x20008, 5, 8, {0x20006, 0x20007, 0x20008}},
      {"ids above 2^31", high, 5, 8, {(high & ~int64_t{0xFFFF}) + 6, (high & ~int64_t{0xFFFF}) + 7, (high & ~int64_t{0xFFFF}) + 8}},
      // The 16-bit frame counter wrapped inside the range: frames 65535, 0 and 1 end it.
      {"across the wrap", 0x20001, 65534, 1, {0x1FFFF, 0x20000, 0x20001}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig(1, 100);
    SdiPacket in(c.id, c.first, c.last, true);
    rig.rt(0, in.packet.p);
    auto& out = rig.log.packets();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(rig.dev(0).asked(), 0x8030);

    zelto::Quaternion composedQ;
    zelto::Vector composedV(3);
    const double t = static_cast<double>(1.0f / 3.0f);
    zelto::Quaternion qf;
    qf.isSlerp(zelto::Quaternion(), in.q, t, 1e-16);
    for (size_t k = 0; k < 3; ++k) {
      const ZtDataPacket& p = out[k]->p;
      EXPECT_EQ(p.packetId, c.ids[k]);
      EXPECT_EQ(p.deviceId, 1u);
      ZtRange r{0, 0};
      ZtDataPacket_frameRange(&p, &r);
      const int frame = (c.first + static_cast<int>(k)) & 0xFFFF;
      EXPECT_EQ(r.first, frame);
      EXPECT_EQ(r.last, (frame + 1) & 0xFFFF);
      EXPECT_EQ(ZtDataPacket_packetCounter(&p), static_cast<uint16_t>(frame + 1));
      ZtSdiData sdi;
      ZtDataPacket_sdiData(&p, &sdi);
      EXPECT_TRUE(zelto::Quaternion(sdi.orientationIncrement).compare(qf, 1e-12));
      zelto::Vector dv(3, sdi.velocityIncrement);
      // The frame's acceleration and rate of turn integrate back to its increment at 100 Hz.
      zelto::Vector acc(3), gyr(3), redoneV(3);
      ZtDataPacket_calibratedAcceleration(&p, &acc);
      ZtDataPacket_calibratedRateOfTurn(&p, &gyr);
      zelto::Quaternion redoneQ;
      zelto::sdiDelta(acc, gyr, redoneQ, redoneV, 0.01);
      EXPECT_TRUE(redoneQ.compare(sdi.orientationIncrement, 1e-9));
      for (int i = 0; i < 3; ++i) EXPECT_NEAR(redoneV[i], dv[i], 1e-9);
      zelto::sdiWindowAdd(composedQ, composedV, sdi.orientationIncrement, dv);
    }
    // Composed back, the pieces give the original increment within the single-precision t.
    EXPECT_TRUE(composedQ.compare(in.q, 1e-6)) << composedQ << " vs " << in.q;
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(composedV[i], in.v[i], 1e-6);
    // The last frame's field is the incoming field (the frames end where the packet ends).
    zelto::Vector lastM(3);
    ZtDataPacket_calibratedMagneticField(&out[2]->p, &lastM);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(lastM[i], in.m[i], 1e-6);
  }
}

TEST(DataBundler, ShortRangesAndUnknownRatesPassAsTheyCame) {
  {
    SCOPED_TRACE("a range of two frames is not split");
    Rig rig(1);
    SdiPacket in(0x10006, 5, 6, true);
    rig.rt(0, in.packet.p);
    ASSERT_EQ(rig.log.packets().size(), 1u);
    EXPECT_EQ(rig.log.packets()[0]->p.packetId, 0x10006);
    ZtSdiData sdi;
    ZtDataPacket_sdiData(&rig.log.packets()[0]->p, &sdi);
    EXPECT_TRUE(zelto::Quaternion(sdi.orientationIncrement).compare(in.q, 1e-12));
  }
  for (const auto& [first, last] : {std::pair<int32_t, int32_t>{10, 10 + 5000}, {5, 4}}) {
    SCOPED_TRACE("a span of thousands of frames (or a corrupt one) passes whole");
    Rig rig(1, 100);
    SdiPacket in(0x30000, first, last, true);
    rig.rt(0, in.packet.p);
    ASSERT_EQ(rig.log.packets().size(), 1u);
    EXPECT_EQ(rig.log.packets()[0]->p.packetId, 0x30000);
  }
  {
    SCOPED_TRACE("a device without a rate keeps the incoming inertial data");
    Rig rig(1, 0);
    SdiPacket in(0x10008, 5, 8, true);
    rig.rt(0, in.packet.p);
    ASSERT_EQ(rig.log.packets().size(), 3u);
    for (auto& p : rig.log.packets()) {
      zelto::Vector acc(3);
      ZtDataPacket_calibratedAcceleration(&p->p, &acc);
      EXPECT_EQ(acc[2], 9.81);
      EXPECT_FALSE(ZtDataPacket_containsCalibratedRateOfTurn(&p->p));
    }
  }
}

// ---- Threads ----------------------------------------------------------------------------------------

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int64_t kPacketsPerThread = 20000;
#else
constexpr int64_t kPacketsPerThread = 100000;
#endif

TEST(DataBundlerThreads, SixteenDevicesOnSixteenThreadsDeliverEverySampleOnceInOrder) {
  constexpr int kDevices = 16;
  Rig rig(kDevices);
  int64_t expected = 0;
  bool inOrder = true;
  bool complete = true;
  rig.log.hook = nullptr;
  struct Checker : ZtCallback {
    ZtDataBundler* b;
    int64_t* expected;
    bool* inOrder;
    bool* complete;
    std::atomic<int64_t>* done = nullptr;
    void onDataAvailable(ZtDevice*, const ZtDataPacket*) override {
      const unsigned n = b->count();
      if (n != kDevices) *complete = false;
      const int64_t id = b->at(0)->packetId;
      for (unsigned i = 1; i < n; ++i)
        if (b->at(i)->packetId != id) *complete = false;
      if (id != *expected) *inOrder = false;
      ++*expected;
      done->store(*expected);
      done->notify_all();
    }
  } checker;
  checker.b = &rig.bundler;
  checker.expected = &expected;
  checker.inOrder = &inOrder;
  checker.complete = &complete;
  rig.bundler.removeCallbackHandler(&rig.log, false);
  rig.bundler.addCallbackHandler(&checker, false);
  // Devices sample at one rate: no thread runs further ahead of the slowest than a real device
  // would lag (far less than the real-time bound, beyond which bundles would be dropped).
  std::atomic<int64_t> done{0};
  checker.done = &done;
  constexpr int64_t kWindow = 1024;

  std::vector<std::thread> threads;
  for (int d = 0; d < kDevices; ++d) {
    threads.emplace_back([&rig, &done, d] {
      Packet p(rig.dev(d).deviceId(), 0);
      for (int64_t id = 0; id < kPacketsPerThread; ++id) {
        for (int64_t seen = done.load(); id - seen > kWindow; seen = done.load()) done.wait(seen);
        p.p.packetId = id;
        rig.dev(d).onDataAvailable(&rig.dev(d), &p.p);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(expected, kPacketsPerThread);  // handlers ran under the bundler mutex: plain reads are safe now
  EXPECT_TRUE(inOrder);
  EXPECT_TRUE(complete);
  EXPECT_EQ(rig.queue(0).size(), 0u);
  rig.bundler.removeCallbackHandler(&checker, false);
}

TEST(DataBundlerThreads, DestructionWhileEightDevicesStream) {
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    constexpr int kDevices = 8;
    std::vector<DevicePtr> devices;
    for (int i = 0; i < kDevices; ++i) devices.emplace_back(new RateDevice(static_cast<ZtDeviceId>(i + 1), 100));
    auto bundler = std::make_unique<ZtDataBundler>();
    std::atomic<long> delivered{0};
    struct Counter : ZtCallback {
      std::atomic<long>* n;
      ZtDataBundler* b;
      void onDataAvailable(ZtDevice*, const ZtDataPacket*) override {
        if (b->count() == kDevices) n->fetch_add(1);
      }
      bool onWriteDataToLogFile(ZtDevice*, const ZtDataPacket*) override {
        n->fetch_add(1);
        return true;
      }
    } counter;
    counter.n = &delivered;
    counter.b = bundler.get();
    bundler->addCallbackHandler(&counter, false);
    for (auto& d : devices) bundler->addDevice(d.get());

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int d = 0; d < kDevices; ++d) {
      threads.emplace_back([&, d] {
        RateDevice& dev = *devices[static_cast<size_t>(d)];
        Packet p(dev.deviceId(), 0);
        for (int64_t id = 0; !stop.load(); ++id) {
          p.p.packetId = id;
          dev.onDataAvailable(&dev, &p.p);
          (void)dev.onWriteDataToLogFile(&dev, &p.p);
          if (id % 97 == 0) dev.onMissedPackets(&dev, 2, 1, 2);
        }
      });
    }
    while (delivered.load() < 200) std::this_thread::yield();
    bundler.reset();  // devices go on raising events meanwhile
    for (auto& d : devices) EXPECT_TRUE(d->callbackHandlers().empty());
    stop = true;
    for (auto& t : threads) t.join();
  }
}

}  // namespace
