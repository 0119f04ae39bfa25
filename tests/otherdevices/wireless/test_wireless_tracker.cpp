// The wireless tracker's own answers and its requests on its bus id behind an emulated station
// (the station model hands them to a per-tracker handler by bus id).
#include <gtest/gtest.h>

#include <cstring>

#include "ekts/EktsManager.h"
#include "otherdevices/wireless/AcceptRejectTask.h"
#include "otherdevices/wireless/KtwDevice.h"
#include "otherdevices/wireless/SdiRebaser.h"
#include "support/CallbackRecorder.h"
#include "support/EmulatedStation.h"
#include "support/emulator/TrackerModel.h"
#include "zeltodeviceapi/zdalibrary.h"

namespace {

using namespace zelto::test;

constexpr uint32_t kWirelessTrackerChildA = 0x00B00011;
constexpr uint32_t kWirelessTrackerChildB = 0x00B00022;

TEST(WirelessTracker, AnswersAndRequestsByBusId) {
  std::vector<std::pair<uint8_t, uint8_t>> seen;  // (bus id, message id); guarded by mutex
  std::mutex mutex;
  EmulatedStation s({kWirelessTrackerChildA, kWirelessTrackerChildB}, [&](StationModel& m) {
    m.setChildHandler([&](const EmuFrame& f, EmuAction& a, size_t bus) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        seen.emplace_back(static_cast<uint8_t>(bus), f.messageId);
      }
      if (f.messageId == 0xC2) {
        a = EmuAction::reply(f.payload.empty() ? std::vector<uint8_t>{static_cast<uint8_t>(bus == 2 ? 1 : 0)}
                                               : std::vector<uint8_t>{});
        return true;
      }
      if (f.messageId == 0xC8 && bus == 1) {
        a = EmuAction::reply();
        return true;
      }
      return false;  // unanswered
    });
  });
  ASSERT_TRUE(s.open());
  auto* a = dynamic_cast<KtwDevice*>(s.child(kWirelessTrackerChildA));
  auto* b = dynamic_cast<KtwDevice*>(s.child(kWirelessTrackerChildB));
  ASSERT_TRUE(a && b);
  EXPECT_FALSE(a->transportMode());
  EXPECT_TRUE(b->transportMode());
  EXPECT_TRUE(a->setTransportMode(true));
  EXPECT_TRUE(a->requestBatteryLevel());   // bus 1 acknowledges
  EXPECT_FALSE(b->requestBatteryLevel());  // bus 2 stays silent
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(seen, (std::vector<std::pair<uint8_t, uint8_t>>{{1, 0xC2}, {2, 0xC2}, {1, 0xC2}, {1, 0xC8}, {2, 0xC8}}));
  }
  // While measuring the level comes later as an indication: only written.
  ASSERT_TRUE(s.station()->gotoMeasurement());
  EXPECT_TRUE(b->requestBatteryLevel());
  EXPECT_EQ(a->supportedUpdateRates(0), (std::vector<int>{200, 150, 120, 100, 75, 60, 50, 40, 25, 24, 20}));
  EXPECT_TRUE(a->setSyncSettings({}));
  EXPECT_FALSE(a->setSyncSettings({ZtSyncSetting{8, 0, 1, 1000, 0, 0, 0, 0, 0}}));
  EXPECT_TRUE(a->syncSettings().empty());
  EXPECT_TRUE(a->setSerialBaudRate(0));
  for (int m = 0; m <= 8; ++m) EXPECT_FALSE(a->canDoOrientationResetInFirmware(static_cast<ZtResetMethod>(m))) << m;
}

// The application accepts or rejects a tracker; the station's request runs on its request
// thread and the tracker's states follow the answer.
TEST(WirelessTracker, AcceptAndRejectThroughTheStation) {
  EmulatedStation s({kWirelessTrackerChildA, kWirelessTrackerChildB});
  ASSERT_TRUE(s.open());
  auto* a = dynamic_cast<KtwDevice*>(s.child(kWirelessTrackerChildA));
  auto* b = dynamic_cast<KtwDevice*>(s.child(kWirelessTrackerChildB));
  ASSERT_TRUE(a && b);
  s.model.connect(kWirelessTrackerChildA, -30);
  s.model.connect(kWirelessTrackerChildB, -35);
  ASSERT_TRUE(s.settle(2));
  EXPECT_EQ(a->connectivityState(), ZCS_Wireless);
  ASSERT_TRUE(a->acceptConnection());
  ASSERT_TRUE(b->rejectConnection());
  ASSERT_TRUE(s.station()->waitForRequests(EmulatedStation::kWaitMs));
  EXPECT_EQ(s.model.accepted(), (std::vector<uint32_t>{kWirelessTrackerChildA}));
  EXPECT_EQ(s.model.rejected(), (std::vector<uint32_t>{kWirelessTrackerChildB}));
  // Accepted: disconnected until the station reports the connection again.
  EXPECT_EQ(a->connectivityState(), ZCS_Disconnected);
  EXPECT_EQ(a->lastKnownRssi(), -128);
  EXPECT_EQ(b->connectivityState(), ZCS_Rejected);
  EXPECT_EQ(b->rejectReason(), ZRR_Blacklisted);
  // A rejected tracker stays rejected when the station reports it gone.
  s.model.disconnect(kWirelessTrackerChildB, 3);
  s.model.connect(kWirelessTrackerChildA, -31);
  ASSERT_TRUE(s.settle(4));
  EXPECT_EQ(b->connectivityState(), ZCS_Rejected);
  EXPECT_EQ(a->connectivityState(), ZCS_Wireless);
  // No request for a tracker the station does not have; the task is done all the same.
  s.mark();
  EXPECT_FALSE(s.station()->setDeviceAccepted(0x00B00099));
  EXPECT_TRUE(AcceptRejectTask(s.station(), 0x00B00099, true).exec());
  EXPECT_TRUE(AcceptRejectTask(s.station(), 0x00B00099, false).exec());
  EXPECT_TRUE(s.idsSinceMark().empty());
  // A reject the station does not acknowledge leaves the tracker as it was.
  s.emu.script(0xC6, EmuAction::silence());
  EXPECT_TRUE(AcceptRejectTask(s.station(), kWirelessTrackerChildA, false).exec());
  EXPECT_EQ(s.idsSinceMark(), (std::vector<uint8_t>{0xC6}));
  EXPECT_EQ(a->connectivityState(), ZCS_Wireless);
  EXPECT_EQ(a->rejectReason(), ZRR_Unknown);
  // A tracker without a station has nobody to ask.
  KtwDevice lone(TestDevice::noFactory(), nullptr);
  EXPECT_FALSE(lone.acceptConnection());
  EXPECT_FALSE(lone.rejectConnection());
}

// Station indications on the tracker's bus id: only the battery level (12) is taken, with its
// info event; shorter ones and other sub-ids change nothing.
TEST(WirelessTracker, HandleIndicationsTakesTheBatteryLevel) {
  CallbackRecorder rec;
  EmulatedStation s({kWirelessTrackerChildA});
  ASSERT_TRUE(s.open());
  auto* a = dynamic_cast<KtwDevice*>(s.child(kWirelessTrackerChildA));
  ASSERT_NE(a, nullptr);
  a->addCallbackHandler(&rec, false);
  struct Case {
    std::vector<uint8_t> data;
    int level;  // -1: unchanged
  };
  const Case cases[] = {{{12, 0x9C}, ztScaleBatteryLevel(0x9C)}, {{12}, -1}, {{15, 0x40}, -1}, {{}, -1},
                        {{12, 0xFF, 7}, 100}};
  for (const Case& c : cases) {
    const int before = a->batteryLevel();
    const size_t events = rec.count(CallbackRecorder::Kind::InfoResponse);
    ZtMessage m;
    ZtMessage_constructSized(&m, c.data.size());
    ZtMessage_setMessageId(&m, 0x46);
    if (!c.data.empty()) ZtMessage_setDataBuffer(&m, c.data.data(), c.data.size(), 0);
    a->handleIndications(m);
    ZtMessage_destruct(&m);
    EXPECT_EQ(a->batteryLevel(), c.level < 0 ? before : c.level) << c.data.size();
    EXPECT_EQ(rec.count(CallbackRecorder::Kind::InfoResponse), events + (c.level < 0 ? 0 : 1)) << c.data.size();
  }
}

// Data packets at the station: one naming a tracker and holding an SDI interval goes to that
// tracker, one naming nobody the station has is dropped, one without SDI goes by the bus id of
// its message with that child's id. The tracker's highest packet shows what it received (its
// flushing limit starts there).
TEST(WirelessTracker, TheStationRoutesDataPacketsByDeviceIdOrBusId) {
  EmulatedStation s({kWirelessTrackerChildA, kWirelessTrackerChildB});
  ASSERT_TRUE(s.open());
  auto* a = dynamic_cast<KtwDevice*>(s.child(kWirelessTrackerChildA));
  auto* b = dynamic_cast<KtwDevice*>(s.child(kWirelessTrackerChildB));
  ASSERT_TRUE(a && b && a->isInitialized() && b->isInitialized());
  auto send = [&](ZtDeviceId id, bool sdi, int bus, int last) {
    ZtDataPacket p;
    ZtDataPacket_construct(&p);
    p.deviceId = id;
    // The header first: the items are written into the packet's message.
    ZtMessage_destruct(&p.message);
    ZtMessage_constructSized(&p.message, 0);
    ZtMessage_setBusId(&p.message, static_cast<uint8_t>(bus));
    if (sdi) {
      ZtSdiData d{};
      d.orientationIncrement.w = 1.0;
      ZtDataPacket_setSdiData(&p, &d);
    }
    const ZtRange range{last - 1, last};
    ZtDataPacket_setFrameRange(&p, &range);
    s.station()->handleDataPacket(p);
    ZtDataPacket_destruct(&p);
  };
  send(kWirelessTrackerChildA, true, 2, 40);     // by id, whatever the bus says
  send(0x00B00099, true, 1, 90);  // nobody: dropped
  send(0, false, 2, 50);          // by bus id: B
  send(0, false, 7, 95);          // no child at that bus id
  a->startFlushing(false);
  b->startFlushing(false);
  EXPECT_EQ(a->flushingLimit(), 40);
  EXPECT_EQ(b->flushingLimit(), 50);
}

// The request frames a child handler saw, by bus id; guarded by its mutex.
struct WirelessTrackerRequestLog {
  std::mutex mutex;
  std::vector<EmuFrame> frames;
  void add(const EmuFrame& f) {
    std::lock_guard<std::mutex> lock(mutex);
    frames.push_back(f);
  }
  std::vector<EmuFrame> of(uint8_t messageId) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<EmuFrame> out;
    for (const EmuFrame& f : frames)
      if (f.messageId == messageId) out.push_back(f);
    return out;
  }
};

double bigEndianDouble(const std::vector<uint8_t>& bytes, size_t offset) {
  uint64_t bits = 0;
  for (size_t i = 0; i < 8; ++i) bits = (bits << 8) | bytes[offset + i];
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// The bias update carries x, y, z as big-endian doubles on the tracker's bus id; the store
// request without a filter is the tracker's own 0x8A, only in Config.
TEST(WirelessTracker, BiasUpdateAndFilterStoreRequests) {
  WirelessTrackerRequestLog log;
  EmulatedStation s({kWirelessTrackerChildA, kWirelessTrackerChildB}, [&](StationModel& m) {
    m.setChildHandler([&](const EmuFrame& f, EmuAction& a, size_t bus) {
      if (f.messageId != 0xBC && f.messageId != 0x8A) return false;
      log.add(f);
      if (bus == 2 && f.messageId == 0xBC) return false;  // bus 2 never acknowledges a bias
      a = EmuAction::reply();
      return true;
    });
  });
  ASSERT_TRUE(s.open());
  auto* a = dynamic_cast<KtwDevice*>(s.child(kWirelessTrackerChildA));
  auto* b = dynamic_cast<KtwDevice*>(s.child(kWirelessTrackerChildB));
  ASSERT_TRUE(a && b);
  double bias[3] = {0.5, -0.25, 1.0 / 3.0};
  EXPECT_TRUE(a->updateBias(ZtVector{bias, 3, 0}));
  EXPECT_FALSE(b->updateBias(ZtVector{bias, 3, 0}));
  EXPECT_FALSE(a->updateBias(ZtVector{bias, 2, 0}));  // not sent
  EXPECT_FALSE(a->updateBias(ZtVector{nullptr, 3, 0}));
  const std::vector<EmuFrame> sent = log.of(0xBC);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].busId, 1);
  EXPECT_EQ(sent[1].busId, 2);
  ASSERT_EQ(sent[0].payload.size(), 24u);
  for (size_t k = 0; k < 3; ++k) EXPECT_EQ(bigEndianDouble(sent[0].payload, 8 * k), bias[k]) << k;

  // No host filter: the tracker's own store request, acknowledged in Config only.
  a->setDeviceState(ZDS_Config, true);
  EXPECT_TRUE(a->storeFilterState());
  ASSERT_EQ(log.of(0x8A).size(), 1u);
  EXPECT_EQ(log.of(0x8A)[0].busId, 1);
  a->setDeviceState(ZDS_Measurement, true);
  EXPECT_FALSE(a->storeFilterState());
  EXPECT_EQ(log.of(0x8A).size(), 1u);
}

// The record read: firmware that answers 17, 0x39 at data bytes 7 and 8 gets the library's
// image with the answer's identity and location id; any other answer, also a short one that
// carries the mark but not the bytes 24 and 25, falls back to the paged read.
TEST(WirelessTracker, RecordImageForFirmwareWithoutPagesElseThePagedRead) {
  enum class Answer { Image, MarkedButShort, Page };
  const struct {
    Answer answer;
    bool paged;
  } cases[] = {{Answer::Image, false}, {Answer::MarkedButShort, true}, {Answer::Page, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.answer));
    TrackerModel tracker;
    tracker.deviceId = kWirelessTrackerChildA;
    tracker.hardwareVersion = 0x0305;
    tracker.productCode = "KTW-A3G2";
    std::mutex mutex;
    size_t pageRequests = 0;  // guarded by mutex
    EmulatedStation s({kWirelessTrackerChildA}, [&](StationModel& m) {
      m.setChildHandler([&](const EmuFrame& f, EmuAction& a, size_t) {
        if (f.messageId != 0x90) return false;
        if (f.payload.size() == 3 && c.answer != Answer::Page) {
          std::vector<uint8_t> answer(c.answer == Answer::Image ? 32 : 20, 0);
          for (int i = 0; i < 4; ++i) answer[static_cast<size_t>(i)] = static_cast<uint8_t>(0x00B00077 >> (8 * i));
          answer[7] = 17;
          answer[8] = 0x39;
          if (answer.size() > 25) answer[24] = 42;
          a = EmuAction::reply(answer);
          return true;
        }
        {
          std::lock_guard<std::mutex> lock(mutex);
          pageRequests += f.payload.size() == 2 ? 1 : 0;
        }
        return tracker.answer(f, a);
      });
    });
    ASSERT_TRUE(s.open());
    auto* k = dynamic_cast<KtwDevice*>(s.child(kWirelessTrackerChildA));
    ASSERT_NE(k, nullptr);
    ASSERT_TRUE(k->readEkts());
    EktsManager* record = k->ekts();
    ASSERT_NE(record, nullptr);
    {
      std::lock_guard<std::mutex> lock(mutex);
      // Four pages, or five when the record version has page 5.
      if (c.paged)
        EXPECT_GE(pageRequests, 4u);
      else
        EXPECT_EQ(pageRequests, 0u);
    }
    if (c.paged) {
      EXPECT_EQ(record->deviceId(), kWirelessTrackerChildA);
      EXPECT_EQ(record->hardwareVersion(), 0x0305);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(record->productCode()), 8), "KTW-A3G2");
    } else {
      EXPECT_EQ(record->deviceId(), 0x00B00077u);
      EXPECT_EQ(record->locationId(), 42);
      EXPECT_EQ(record->headingOffset(), 0.0);
    }
  }
}

// A tracker that connects after the configuration was read is a child before it is
// initialised, and takes a bus id by its place among the children. Data for that bus id or
// naming it does not reach it (no record, no caches); its neighbour, initialised, gets its own.
TEST(WirelessTracker, DataReachesOnlyInitialisedChildren) {
  EmulatedStation s({kWirelessTrackerChildB});
  ASSERT_TRUE(s.open());
  s.control->setKind(kWirelessTrackerChildA, TestControl::Wireless);
  s.model.connect(kWirelessTrackerChildA, -30);  // a lower id: sorted before B, so at bus id 1
  ASSERT_TRUE(s.settle(1));
  auto* a = dynamic_cast<KtwDevice*>(s.child(kWirelessTrackerChildA));
  auto* b = dynamic_cast<KtwDevice*>(s.child(kWirelessTrackerChildB));
  ASSERT_TRUE(a && b);
  ASSERT_FALSE(a->isInitialized());
  ASSERT_TRUE(b->isInitialized());
  ASSERT_EQ(a->busId(), 1);
  ASSERT_EQ(b->busId(), 2);
  auto packet = [](ZtDeviceId id, int bus, uint16_t last) {
    KtwSdiData d;
    d.setDeviceId(id != 0 ? id : 1);
    d.setFrameRange(static_cast<uint16_t>(last - 1), last);
    ZtDataPacket p;
    ZtDataPacket_construct(&p);
    ZtMessage_destruct(&p.message);
    ZtMessage_constructSized(&p.message, 0);
    ZtMessage_setBusId(&p.message, static_cast<uint8_t>(bus));
    ZtMessage_setMessageId(&p.message, 0x36);
    p.deviceId = id;
    SdiRebaser::writeKtwSdiToZtDataPacket(p, d);
    return p;
  };
  const struct {
    ZtDeviceId id;
    int bus;
    uint16_t last;
    bool asMessage;
  } sends[] = {{kWirelessTrackerChildA, 1, 20, false},  // names A
               {0, 1, 21, false},        // A's bus id, no device id
               {0, 1, 22, true},         // a data message on A's bus id
               {0, 2, 30, true}};        // B's: taken
  for (const auto& c : sends) {
    ZtDataPacket p = packet(c.id, c.bus, c.last);
    if (c.asMessage)
      s.station()->handleMessage(p.message);
    else
      s.station()->handleDataPacket(p);
    ZtDataPacket_destruct(&p);
  }
  a->startFlushing(false);
  b->startFlushing(false);
  EXPECT_EQ(a->flushingLimit(), -1);
  EXPECT_EQ(b->flushingLimit(), 30);
}

}  // namespace
