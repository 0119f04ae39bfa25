// The wireless tracker's own answers and its requests on its bus id behind an emulated station
// (the station model hands them to a per-tracker handler by bus id).
#include <gtest/gtest.h>

#include "otherdevices/wireless/KtwDevice.h"
#include "support/EmulatedStation.h"

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
  // No request for a tracker the station does not have.
  EXPECT_FALSE(s.station()->setDeviceAccepted(0x00B00099));
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

}  // namespace
