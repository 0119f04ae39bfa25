// A wireless tracker's packets behind an emulated station: numbered by the last frame of their
// frame range (also after a loss and across the 16-bit wrap), pending triggers given to the
// packet that reaches their frame on the unwrapped counter, caches tagged with the tracker's id.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "device/cache/IPacketDataCache.h"
#include "otherdevices/wireless/KtwDevice.h"
#include "otherdevices/wireless/SdiRebaser.h"
#include "support/AllocationCounter.h"
#include "support/CallbackRecorder.h"
#include "support/EmulatedStation.h"
#include "support/JournalCapture.h"
#include "support/emulator/SdiPayload.h"

namespace {

using namespace zelto::test;

constexpr uint32_t kWirelessPacketsChild = 0x00B00011;

struct Frame {
  uint16_t first, last;
};

ZtDataPacket sdiPacket(uint32_t deviceId, Frame f) {
  KtwSdiData d;
  d.setDeviceId(deviceId);
  d.setFrameRange(f.first, f.last);
  const double dv[3] = {0.1, 0, 0};
  d.setVelocityIncrement(dv);
  ZtDataPacket p;
  ZtDataPacket_construct(&p);
  p.deviceId = deviceId;
  SdiRebaser::writeKtwSdiToZtDataPacket(p, d);
  return p;
}

struct Delivered {
  int64_t id;
  bool trigger1;
  bool trigger2;
};

std::vector<Delivered> feed(KtwDevice& k, const std::vector<Frame>& frames,
                            const std::vector<std::pair<size_t, ZtTriggerIndicationData>>& triggersBefore = {}) {
  for (size_t i = 0; i < frames.size(); ++i) {
    for (const auto& t : triggersBefore)
      if (t.first == i) k.handleTrigger(t.second);
    ZtDataPacket p = sdiPacket(k.deviceId(), frames[i]);
    k.handleDataPacket(p);
    ZtDataPacket_destruct(&p);
    // In order: a trigger arrives after the packets before it were processed.
    EXPECT_TRUE(k.finishLastProcessingTask());
  }
  std::vector<Delivered> out;
  for (;;) {
    ZtDataPacket p = k.nextAvailableDataPacket();
    if (ZtDataPacket_empty(&p)) {
      ZtDataPacket_destruct(&p);
      break;
    }
    out.push_back({p.packetId, ZtDataPacket_containsTriggerIndication(&p, 0x4810) != 0,
                   ZtDataPacket_containsTriggerIndication(&p, 0x4820) != 0});
    ZtDataPacket_destruct(&p);
  }
  return out;
}

TEST(WirelessPackets, NumberedByTheirLastFrameWithTriggersOnTheUnwrappedCounter) {
  EmulatedStation s({kWirelessPacketsChild});
  ASSERT_TRUE(s.open());
  auto* k = dynamic_cast<KtwDevice*>(s.child(kWirelessPacketsChild));
  ASSERT_NE(k, nullptr);
  // The scripted tracker's initialisation leaves the caches out; a tracker's own makes them.
  k->createDataCache();
  ASSERT_NE(k->readyCache(), nullptr);
  EXPECT_EQ(k->readyCache()->deviceId(), kWirelessPacketsChild);
  EXPECT_EQ(k->workingCache()->deviceId(), kWirelessPacketsChild);
  ASSERT_TRUE(k->setQueueMode(ZQM_Queue));
  // A loss of two packets: the next one spans the gap and is numbered by its last frame.
  const auto first = feed(*k, {{9, 10}, {10, 11}, {11, 14}, {14, 15}});
  ASSERT_EQ(first.size(), 4u);
  EXPECT_EQ(first[0].id, 10);
  EXPECT_EQ(first[1].id, 11);
  EXPECT_EQ(first[2].id, 14);
  EXPECT_EQ(first[3].id, 15);
}

TEST(WirelessPackets, TriggersAcrossTheWrap) {
  EmulatedStation s({kWirelessPacketsChild});
  ASSERT_TRUE(s.open());
  auto* k = dynamic_cast<KtwDevice*>(s.child(kWirelessPacketsChild));
  ASSERT_NE(k, nullptr);
  k->createDataCache();
  ASSERT_TRUE(k->setQueueMode(ZQM_Queue));
  const ZtTriggerIndicationData atEnd{1, 0, 100, 65535};  // just before the wrap
  const ZtTriggerIndicationData afterWrap{2, 0, 200, 2};  // just after it
  const auto got = feed(*k, {{65532, 65533}, {65533, 65534}, {65534, 3}, {3, 4}},
                        {{1, atEnd}, {1, afterWrap}});
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[1].id, 65534);
  EXPECT_EQ(got[2].id, 65539);
  EXPECT_EQ(got[3].id, 65540);
  // Neither fires on the packet ending at 65534; both on the one that spans the wrap to 3.
  EXPECT_FALSE(got[1].trigger1);
  EXPECT_FALSE(got[1].trigger2);
  EXPECT_TRUE(got[2].trigger1);
  EXPECT_TRUE(got[2].trigger2);
  EXPECT_FALSE(got[3].trigger1 || got[3].trigger2);
  ZtTriggerIndicationData t;
  EXPECT_FALSE(k->pendingTrigger(1, t));
}

std::vector<int64_t> written(const CallbackRecorder& rec) {
  std::vector<int64_t> ids;
  for (const auto& e : rec.events(CallbackRecorder::Kind::WriteDataToLogFile)) ids.push_back(e.packetId);
  return ids;
}

// Outside a recording every packet is offered to the log file once (onWriteDataToLogFile), right
// after its data event and in packet order, also behind a packet that was still waiting in the
// working cache (offered first); nothing stays in the working cache, and the ready cache keeps
// every packet in queue mode.
TEST(WirelessPackets, OutsideARecordingEachPacketIsOfferedOnceAfterItsDataEvent) {
  CallbackRecorder rec;  // outlives the station, which calls it
  EmulatedStation s({kWirelessPacketsChild});
  ASSERT_TRUE(s.open());
  auto* k = dynamic_cast<KtwDevice*>(s.child(kWirelessPacketsChild));
  ASSERT_NE(k, nullptr);
  k->createDataCache();
  ASSERT_TRUE(k->setQueueMode(ZQM_Queue));
  k->addCallbackHandler(&rec, false);
  ASSERT_EQ(feed(*k, {{9, 10}, {10, 11}}).size(), 2u);
  ZtDataPacket waiting = sdiPacket(kWirelessPacketsChild, {11, 12});
  waiting.packetId = 12;
  k->workingCache()->insert(12, waiting, true);
  ZtDataPacket_destruct(&waiting);
  ASSERT_EQ(feed(*k, {{12, 13}, {13, 14}}).size(), 2u);
  EXPECT_EQ(written(rec), (std::vector<int64_t>{10, 11, 12, 13, 14}));
  EXPECT_TRUE(k->workingCache()->empty());
  const auto data = rec.events(CallbackRecorder::Kind::DataAvailable);
  const auto offered = rec.events(CallbackRecorder::Kind::WriteDataToLogFile);
  ASSERT_EQ(data.size(), 4u);
  ASSERT_EQ(offered.size(), 5u);
  for (size_t i = 0; i < data.size(); ++i) {
    const size_t at = i < 2 ? i : i + 1;  // the waiting packet's offer comes before the third's
    EXPECT_EQ(offered[at].packetId, data[i].packetId);
    EXPECT_GT(offered[at].sequence, data[i].sequence);
  }
  for (size_t i = 1; i < offered.size(); ++i) EXPECT_LT(offered[i - 1].sequence, offered[i].sequence);
  k->removeCallbackHandler(&rec, false);
}

// A tracker behind the station with its caches, recording (the scripted tracker answers
// isRecording from its script), its log-file events recorded.
struct RecordingTracker {
  explicit RecordingTracker(CallbackRecorder& rec) : s({kWirelessPacketsChild}) {
    EXPECT_TRUE(s.open());
    k = dynamic_cast<KtwDevice*>(s.child(kWirelessPacketsChild));
    if (!k) return;
    k->createDataCache();
    k->addCallbackHandler(&rec, false);
    k->setDeviceState(ZDS_Recording, true);
    s.control->script(kWirelessPacketsChild)->recording = true;
  }
  EmulatedStation s;
  KtwDevice* k = nullptr;
};

std::vector<int64_t> idsFrom(int64_t first, int64_t last) {
  std::vector<int64_t> ids;
  for (int64_t id = first; id <= last; ++id) ids.push_back(id);
  return ids;
}

// While recording, an interval over lost frames waits for their late packets, however many
// packets follow it: the first late packet rebases it onto its end (it still waits for the
// other lost frame), and the second one, which the station delivers only while flushing,
// completes it. Each frame is written once, in order, and nothing is journalled.
TEST(WirelessPackets, AnIntervalOverLostFramesWaitsForThemThroughTheFlush) {
  JournalCapture journal;
  CallbackRecorder rec;  // outlives the station, which calls it
  RecordingTracker t(rec);
  ASSERT_NE(t.k, nullptr);
  KtwDevice& k = *t.k;
  feed(k, {{9, 10}, {10, 11}, {11, 14}});
  EXPECT_EQ(written(rec), (std::vector<int64_t>{10, 11}));  // (11, 14) waits
  // The late packet: kept for the recording, not delivered again, and (11, 14) rebased onto it.
  const size_t delivered = rec.count(CallbackRecorder::Kind::DataAvailable);
  feed(k, {{11, 12}});
  EXPECT_EQ(rec.count(CallbackRecorder::Kind::DataAvailable), delivered);
  EXPECT_EQ(written(rec), (std::vector<int64_t>{10, 11, 12}));
  ZtDataPacket rebased = k.workingCache()->object(14);
  ZtRange range;
  ZtDataPacket_frameRange(&rebased, &range);
  EXPECT_EQ(range.first, 12);
  EXPECT_EQ(range.last, 14);
  ZtDataPacket_destruct(&rebased);
  // Frame 13 is still missing: (12, 14) waits behind twenty more packets.
  std::vector<Frame> more;
  for (uint16_t f = 14; f < 34; ++f) more.push_back({f, static_cast<uint16_t>(f + 1)});
  feed(k, more);
  EXPECT_EQ(written(rec), (std::vector<int64_t>{10, 11, 12}));
  // The station delivers frame 13 while flushing.
  k.startFlushing(true);
  feed(k, {{12, 13}});
  EXPECT_EQ(written(rec), idsFrom(10, 34));
  EXPECT_EQ(rec.count(CallbackRecorder::Kind::DataAvailable), delivered + more.size());
  EXPECT_TRUE(k.workingCache()->empty());
  EXPECT_EQ(journal.count("device b00011"), 0u);
}

// An interval whose lost frame never comes waits only until the working cache is full: then it
// is written as it is, journalled, before the packets after it (nothing trimmed unwritten), and
// so is the next one; at the recording's end, what still waits is written the same way. A late
// packet that arrives after the interval spanning it was written goes to the recording after it.
TEST(WirelessPackets, AnIntervalWhoseLostFrameNeverComesIsWrittenWhenTheCacheIsFull) {
  JournalCapture journal;
  CallbackRecorder rec;  // outlives the station, which calls it
  RecordingTracker t(rec);
  ASSERT_NE(t.k, nullptr);
  KtwDevice& k = *t.k;
  feed(k, {{9, 10}, {10, 12}, {12, 13}, {13, 16}, {16, 17}});
  EXPECT_EQ(written(rec), (std::vector<int64_t>{10}));
  zelto::IPacketDataCache& working = *k.workingCache();
  EXPECT_EQ(working.size(), 4u);
  working.setMaxSize(5);
  feed(k, {{17, 18}});  // full: (10, 12) goes as it is, (13, 16) waits again
  EXPECT_EQ(written(rec), (std::vector<int64_t>{10, 12, 13}));
  feed(k, {{18, 19}, {19, 20}});  // full again: (13, 16) goes, and the rest with it
  EXPECT_EQ(written(rec), (std::vector<int64_t>{10, 12, 13, 16, 17, 18, 19, 20}));
  EXPECT_EQ(journal.count("recorded without the packets of its lost frames"), 2u);
  // Frame 11 comes after all: into the recording, after what was written, journalled.
  feed(k, {{10, 11}});
  EXPECT_EQ(written(rec), (std::vector<int64_t>{10, 12, 13, 16, 17, 18, 19, 20, 11}));
  EXPECT_EQ(journal.count("recorded after the interval that spans it"), 1u);
  // The recording ends with an interval still waiting: written as it is.
  feed(k, {{20, 23}});
  k.startFlushing(true);
  k.setDeviceState(ZDS_FinalizingRecording, true);
  k.flushCache();
  EXPECT_EQ(written(rec).back(), 23);
  EXPECT_EQ(journal.count("recorded without the packets of its lost frames"), 3u);
  EXPECT_EQ(k.deviceState(), ZDS_Measurement);
}

// insertPacketInCaches: without caches a journal line and nothing delivered; a cache that
// refuses the packet (a negative id is no key) has its failure journalled with its text, and the
// packet is delivered all the same.
TEST(WirelessPackets, InsertingJournalsMissingCachesAndRefusals) {
  JournalCapture journal;
  CallbackRecorder rec;  // outlives the station, which calls it
  EmulatedStation s({kWirelessPacketsChild});
  ASSERT_TRUE(s.open());
  auto* k = dynamic_cast<KtwDevice*>(s.child(kWirelessPacketsChild));
  ASSERT_NE(k, nullptr);
  k->addCallbackHandler(&rec, false);
  ZtDataPacket p = sdiPacket(kWirelessPacketsChild, {9, 10});
  p.packetId = 10;
  k->insertPacketInCaches(p);
  EXPECT_EQ(journal.count("No readyCache for device 00B00011"), 1u);
  EXPECT_EQ(rec.count(CallbackRecorder::Kind::DataAvailable), 0u);
  k->createDataCache();
  k->insertPacketInCaches(p);
  EXPECT_EQ(rec.count(CallbackRecorder::Kind::DataAvailable), 1u);
  p.packetId = -5;
  k->insertPacketInCaches(p);
  EXPECT_EQ(rec.count(CallbackRecorder::Kind::DataAvailable), 2u);
  EXPECT_EQ(journal.count("00B00011 Error trying to insert the packet: "), 1u);
  EXPECT_EQ(journal.count("Invalid key: -5"), 1u);
  EXPECT_EQ(journal.count("No readyCache"), 1u);
  ZtDataPacket_destruct(&p);
}

// A rotation about one axis at a constant rate: the increment over n frames.
SdiPayload::Interval recordedInterval(Frame f) {
  constexpr double kAnglePerFrame = 0.02;
  const int n = SdiRebaser::frameDistance(f.first, f.last);
  SdiPayload::Interval i;
  i.deviceId = kWirelessPacketsChild;
  i.first = f.first;
  i.last = f.last;
  const double half = 0.5 * kAnglePerFrame * n;
  i.dq[0] = std::cos(half);
  i.dq[1] = 0.6 * std::sin(half);
  i.dq[2] = 0.0;
  i.dq[3] = 0.8 * std::sin(half);
  for (int k = 0; k < 3; ++k) i.dv[k] = (0.1 + 0.05 * k) * n;
  i.mag[0] = 0.4;
  i.mag[2] = -0.3;
  return i;
}

KtwSdiData ktwSdiOf(const SdiPayload::Interval& i) {
  KtwSdiData d;
  d.setDeviceId(i.deviceId);
  d.setFrameRange(i.first, i.last);
  d.setOrientationIncrement(ZtQuaternion{i.dq[0], i.dq[1], i.dq[2], i.dq[3]});
  d.setVelocityIncrement(i.dv);
  return d;
}

// The station relays the intervals as legacy data messages; a recording keeps each packet's
// message as received. The interval rebased onto a late packet must be written rebased there
// too, in the message's own value form, or a reader of the recording integrates the increment
// over the gap twice.
TEST(WirelessPackets, TheRecordedLegacyMessageCarriesTheRebasedInterval) {
  for (const uint32_t settings : {0x000u, 0x300u}) {
    SCOPED_TRACE(settings);
    CallbackRecorder rec;
    EmulatedStation s({kWirelessPacketsChild});
    s.emu.script(0x0C, EmuAction::reply(DeviceEmulator::legacyConfigurationPayload(
                           StationModel::kStationId, {{kWirelessPacketsChild, SdiPayload::kOutputMode, settings}})));
    ASSERT_TRUE(s.open());
    auto* k = dynamic_cast<KtwDevice*>(s.child(kWirelessPacketsChild));
    ASSERT_NE(k, nullptr);
    k->createDataCache();
    k->addCallbackHandler(&rec, false);
    k->setDeviceState(ZDS_Recording, true);
    s.control->script(kWirelessPacketsChild)->recording = true;
    // (11, 12) arrives late; frame 13 never does, so (12, 14) is written at the recording's end.
    const std::vector<Frame> frames{{9, 10}, {10, 11}, {11, 14}, {11, 12}, {14, 15}, {15, 16}};
    for (const Frame& f : frames) {
      const EmuFrame frame{0xFF, 0x32, SdiPayload::encode(recordedInterval(f), settings)};
      const std::vector<uint8_t> bytes = frame.encode();
      ZtMessage m;
      ZtMessage_construct(&m);
      ASSERT_NE(ZtMessage_load(&m, bytes.size(), bytes.data()), 0);
      s.station()->handleMessage(m);
      ZtMessage_destruct(&m);
      ASSERT_TRUE(k->finishLastProcessingTask());
    }
    k->startFlushing(true);
    k->setDeviceState(ZDS_FinalizingRecording, true);
    k->flushCache();
    std::vector<SdiPayload::Interval> written;
    EmuFrameDecoder decoder;
    for (const auto& e : rec.events(CallbackRecorder::Kind::WriteMessageToLogFile)) {
      decoder.feed(e.frame.data(), e.frame.size());
      while (auto frame = decoder.next()) {
        ASSERT_EQ(frame->messageId, 0x32);
        auto interval = SdiPayload::decode(frame->payload, settings);
        ASSERT_TRUE(interval.has_value());
        written.push_back(*interval);
      }
    }
    ASSERT_GE(written.size(), 5u);
    // In frame order, each frame once: the spanning packet starts where the late one ends.
    const Frame expected[] = {{9, 10}, {10, 11}, {11, 12}, {12, 14}, {14, 15}};
    for (size_t i = 0; i < 5; ++i) {
      EXPECT_EQ(written[i].first, expected[i].first) << i;
      EXPECT_EQ(written[i].last, expected[i].last) << i;
    }
    // Its increments are those of the rebased interval: over (12, 14) the rotation of two frames.
    const KtwSdiData rebased =
        SdiRebaser::rebase(ktwSdiOf(recordedInterval({11, 14})), ktwSdiOf(recordedInterval({11, 12})));
    const SdiPayload::Interval truth = recordedInterval({12, 14});
    const double tolerance = settings == 0x300u ? 1e-12 : 1e-6;
    const ZtQuaternion q = rebased.orientationIncrement();
    const double want[4] = {q.w, q.x, q.y, q.z};
    for (int c = 0; c < 4; ++c) {
      EXPECT_NEAR(written[3].dq[c], want[c], tolerance) << c;
      EXPECT_NEAR(written[3].dq[c], truth.dq[c], 1e-6) << c;
    }
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(written[3].dv[c], rebased.velocityIncrement()[c], tolerance) << c;
    // The fields the rebase does not touch travel as received.
    EXPECT_EQ(written[3].deviceId, kWirelessPacketsChild);
    EXPECT_NEAR(written[3].mag[0], 0.4, 1e-6);
  }
}

// The station's legacy data messages are decoded, routed to their tracker and numbered on the
// parsing thread without a heap allocation once the thread's storage has grown to size.
TEST(WirelessPackets, RelayedLegacyMessagesAllocateNothingOnTheParsingThread) {
  EmulatedStation s({kWirelessPacketsChild});
  s.emu.script(0x0C, EmuAction::reply(DeviceEmulator::legacyConfigurationPayload(
                         StationModel::kStationId, {{kWirelessPacketsChild, SdiPayload::kOutputMode, 0x000}})));
  ASSERT_TRUE(s.open());
  auto* k = dynamic_cast<KtwDevice*>(s.child(kWirelessPacketsChild));
  ASSERT_NE(k, nullptr);
  k->createDataCache();
  std::vector<ZtMessage> messages(400);
  for (size_t n = 0; n < messages.size(); ++n) {
    const uint16_t first = static_cast<uint16_t>(65400 + n);  // across the wrap
    const Frame range{first, static_cast<uint16_t>(first + 1)};
    const EmuFrame frame{0xFF, 0x32, SdiPayload::encode(recordedInterval(range), 0)};
    const std::vector<uint8_t> bytes = frame.encode();
    ZtMessage_construct(&messages[n]);
    ASSERT_NE(ZtMessage_load(&messages[n], bytes.size(), bytes.data()), 0);
  }
  TovanaStationDevice* station = s.station();
  // One message at a time, as a stream at the tracker's rate arrives: a burst of hundreds in
  // flight would only measure the pool's queue growing to hold them.
  const size_t warmUp = 200;
  uint64_t allocations = 0;
  for (size_t n = 0; n < messages.size(); ++n) {
    {
      AllocationCounter counter;
      station->handleMessage(messages[n]);
      if (n >= warmUp) allocations += counter.count();
    }
    ASSERT_TRUE(k->finishLastProcessingTask());
  }
  EXPECT_EQ(allocations, 0u);
  // They all arrived, numbered by their frames across the wrap.
  k->startFlushing(false);
  EXPECT_EQ(k->flushingLimit(), 65400 + 400);
  for (ZtMessage& m : messages) ZtMessage_destruct(&m);
}

}  // namespace
