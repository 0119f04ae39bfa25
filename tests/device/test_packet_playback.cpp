// Pulls on a master that plays a log file: the ready cache fills from the file on demand, by
// index or by packet id, and a load running beside pulls hands every packet on once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "device/cache/IPacketDataCache.h"
#include "support/CallbackRecorder.h"
#include "support/LogFileBuilder.h"
#include "support/TempDir.h"
#include "support/TestDevice.h"
#include "transport/link/Communicator.h"

using zelto::test::LogFileBuilder;
using zelto::test::TempDir;
using zelto::test::TestDevice;
using Kind = CallbackRecorder::Kind;
using namespace std::chrono_literals;

namespace {

constexpr ZtDeviceId kPacketPlaybackId = 0x00345678;

struct PacketPlaybackOwnedPacket {
  ZtDataPacket p;
  explicit PacketPlaybackOwnedPacket(ZtDataPacket packet) : p(packet) {}
  ~PacketPlaybackOwnedPacket() { ZtDataPacket_destruct(&p); }
  PacketPlaybackOwnedPacket(const PacketPlaybackOwnedPacket&) = delete;
  PacketPlaybackOwnedPacket& operator=(const PacketPlaybackOwnedPacket&) = delete;
  bool empty() const { return ZtDataPacket_empty(&p) != 0; }
};

class PlaybackFixture : public ::testing::Test {
 protected:
  // A recording of count packets whose counters (and so ids) step by step, with a non-data
  // message after the first.
  void play(size_t count, uint16_t step) {
    std::vector<uint16_t> counters;
    for (size_t i = 0; i < count; ++i) counters.push_back(static_cast<uint16_t>(i * step));
    play(counters);
  }
  void play(const std::vector<uint16_t>& counters) {
    LogFileBuilder b;
    b.configuration(kPacketPlaybackId, {kPacketPlaybackId});
    for (size_t i = 0; i < counters.size(); ++i) {
      b.data(counters[i], 8);
      if (i == 0) b.message(0x80, {1, 2});
    }
    const std::string path = dir.file("rec.zlog");
    ASSERT_TRUE(b.writeTo(path));
    auto* link = new Communicator();
    ZtString name;
    ZtString_construct(&name, path.c_str());
    const bool open = link->openLogFile(name);
    ZtString_destruct(&name);
    device = new TestDevice(link);
    ASSERT_TRUE(open);
    device->setSupportedRates({100});
    device->createDataCache();
    device->addCallbackHandler(&rec, false);
    device->addRef();
  }
  void TearDown() override {
    if (device) device->removeRef();
  }

  TempDir dir;
  TestDevice* device = nullptr;
  CallbackRecorder rec;
};

TEST_F(PlaybackFixture, PullsReadTheFileOnDemand) {
  play(20, 2);  // ids 0, 2, 4, ...
  ASSERT_TRUE(device->isReadingFromFile());
  EXPECT_EQ(device->queueLength(), 0u);
  {
    PacketPlaybackOwnedPacket first(device->dataPacketByIndex(0));
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first.p.packetId, 0);
    EXPECT_EQ(ZtDataPacket_packetCounter(&first.p), 0);
    EXPECT_EQ(first.p.deviceId, kPacketPlaybackId);
  }
  EXPECT_GE(device->queueLength(), 1u);
  // Pulled packets went through the processing on the pulling thread.
  EXPECT_GE(rec.count(Kind::DataAvailable), 1u);
  {
    PacketPlaybackOwnedPacket four(device->dataPacketById(4));
    ASSERT_FALSE(four.empty());
    EXPECT_EQ(four.p.packetId, 4);
  }
  {
    PacketPlaybackOwnedPacket between(device->dataPacketById(3));
    EXPECT_TRUE(between.empty());
  }
  {
    PacketPlaybackOwnedPacket lowest(device->dataPacketById(0));
    ASSERT_FALSE(lowest.empty());
    EXPECT_EQ(lowest.p.packetId, 0);
  }
  {
    PacketPlaybackOwnedPacket far(device->dataPacketById(38));  // the last packet: read up to it
    ASSERT_FALSE(far.empty());
    EXPECT_EQ(far.p.packetId, 38);
    EXPECT_EQ(device->queueLength(), 20u);
    PacketPlaybackOwnedPacket beyond(device->dataPacketById(40));
    EXPECT_TRUE(beyond.empty());
    PacketPlaybackOwnedPacket outOfRange(device->dataPacketByIndex(20));
    EXPECT_TRUE(outOfRange.empty());
    PacketPlaybackOwnedPacket last(device->dataPacketByIndex(19));
    EXPECT_EQ(last.p.packetId, 38);
  }
  // A playing device is not a queue, whatever its queue mode.
  device->setQueueMode(ZQM_Queue);
  PacketPlaybackOwnedPacket next(device->nextAvailableDataPacket());
  EXPECT_TRUE(next.empty());
  // Playback asks no log-file consent for non-data messages (the configuration and 0x80).
  EXPECT_EQ(rec.count(Kind::WriteMessageToLogFile), 0u);
  const auto other = rec.events(Kind::NonDataMessage);
  ASSERT_EQ(other.size(), 2u);
  EXPECT_EQ(other[0].messageId, 0x0D);
  EXPECT_EQ(other[1].messageId, 0x80);
  // The counters step by two: one packet missing before each but the first.
  const auto missed = rec.events(Kind::MissedPackets);
  ASSERT_EQ(missed.size(), 19u);
  EXPECT_EQ(missed[0].values[0], 1);
  EXPECT_EQ(missed[0].values[1], 1);
  EXPECT_EQ(missed[18].values[2], 37);
}

TEST_F(PlaybackFixture, ALoadWithPullsRunningHandsEveryPacketOnOnce) {
  constexpr size_t kCount = 600;
  play(kCount, 1);
  std::atomic<bool> loading{true};
  std::atomic<int> wrong{0};
  std::vector<std::thread> pullers;
  for (int t = 0; t < 2; ++t)
    pullers.emplace_back([&, t] {
      uint64_t id = static_cast<uint64_t>(t);
      while (loading.load()) {
        PacketPlaybackOwnedPacket p(device->dataPacketById(id));
        // Id 0 asks for the lowest packet held, whichever that is at the moment.
        if (!p.empty() && id != 0 && p.p.packetId != static_cast<int64_t>(id)) ++wrong;
        PacketPlaybackOwnedPacket q(device->dataPacketByIndex(static_cast<uint32_t>(id / 2)));
        id = (id + 3) % kCount;
      }
    });
  ASSERT_TRUE(device->loadLogFile());
  device->communicator()->waitForLastTaskCompletion();
  loading = false;
  for (auto& t : pullers) t.join();
  EXPECT_EQ(wrong.load(), 0);
  // Each packet of the file was processed once, whichever thread read it.
  std::vector<int64_t> ids;
  for (const auto& e : rec.events(Kind::DataAvailable)) ids.push_back(e.packetId);
  std::sort(ids.begin(), ids.end());
  ASSERT_EQ(ids.size(), kCount);
  for (size_t i = 0; i < kCount; ++i) ASSERT_EQ(ids[i], static_cast<int64_t>(i));
  EXPECT_EQ(device->queueLength(), kCount);
  EXPECT_EQ(device->highestPacket()->packetId, static_cast<int64_t>(kCount - 1));
}

// A recording of a stream that crosses a wrap, with corrupted counters in it: behind the stream
// early on (negative ids, dropped), far ahead (suspects, delivered under their own ids) and behind
// it later (late packets). Every real packet is found by its true id, and the stream's reports
// are those of its own gaps.
TEST_F(PlaybackFixture, CorruptedCountersNeverMoveTheIdsOfThePacketsAfterThem) {
  constexpr int64_t kStart = 10, kStride = 20, kCount = 4000;
  struct Phantom {
    int64_t after;  // index of the real packet it follows
    uint16_t counter;
    int64_t id;  // -1: dropped
  };
  const Phantom phantoms[] = {{2, 40000, -1}, {1000, 60000, -1}, {2000, 100, 65636}, {3000, 5, 65541}, {3500, 50000, 50000}};
  std::vector<uint16_t> counters;
  for (int64_t i = 0; i < kCount; ++i) {
    counters.push_back(static_cast<uint16_t>(kStart + i * kStride));
    for (const Phantom& p : phantoms)
      if (p.after == i) counters.push_back(p.counter);
  }
  play(counters);
  ASSERT_TRUE(device->loadLogFile());
  device->communicator()->waitForLastTaskCompletion();
  std::vector<int64_t> delivered;
  for (const auto& e : rec.events(Kind::DataAvailable)) delivered.push_back(e.packetId);
  std::vector<int64_t> expected;
  for (int64_t i = 0; i < kCount; ++i) {
    expected.push_back(kStart + i * kStride);
    for (const Phantom& p : phantoms)
      if (p.after == i && p.id >= 0) expected.push_back(p.id);
  }
  EXPECT_EQ(delivered, expected);
  for (int64_t i = 0; i < kCount; ++i) {
    const int64_t id = kStart + i * kStride;
    PacketPlaybackOwnedPacket p(device->dataPacketById(static_cast<uint64_t>(id)));
    ASSERT_FALSE(p.empty()) << id;
    ASSERT_EQ(p.p.packetId, id);
    ASSERT_EQ(ZtDataPacket_packetCounter(&p.p), id & 0xFFFF);
  }
  EXPECT_EQ(device->highestPacket()->packetId, kStart + (kCount - 1) * kStride);
  // The real packets step by 20 (19 missing each time); the corrupted ones report nothing.
  const auto missed = rec.events(Kind::MissedPackets);
  ASSERT_EQ(missed.size(), static_cast<size_t>(kCount - 1));
  for (const auto& m : missed) ASSERT_EQ(m.values[0], kStride - 1);
}

}  // namespace
