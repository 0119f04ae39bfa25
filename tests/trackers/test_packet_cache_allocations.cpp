// Per packet, in steady state, a device allocates nothing: the insertion into its caches, their
// flush and the log write, for the base device's flush and the host-filtered tracker's, in every
// queue mode, recording or not; and the tracker's whole processing of raw packets (calibration,
// strapdown, filter, resets, insertion) on a device opened by ZtControl. Each case also checks
// that nothing was lost on the way: the queue, the pulls and the recorded file.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "KtixStreamRig.h"
#include "device/cache/IPacketDataCache.h"
#include "support/AllocationCounter.h"
#include "support/EmulatedMaster.h"
#include "support/TempDir.h"
#include "support/ZtValues.h"
#include "support/emulator/EmuFrame.h"
#include "trackers/KtixDevice.h"
#include "trackers/KtixFixture.h"

namespace zelto::test {
namespace {

class Counting : public ZtCallback {
 public:
  void onDataAvailable(ZtDevice*, const ZtDataPacket*) override { ++delivered; }
  long delivered = 0;
};

// Packets as the link hands them over: a data message with counter, status and raw data.
std::vector<test::Packet> makePackets(ZtDeviceId id, uint8_t busId, int64_t firstId, size_t n) {
  std::vector<test::Packet> packets(n);
  for (size_t i = 0; i < n; ++i) {
    ZtDataPacket* p = packets[i].get();
    p->deviceId = id;
    p->packetId = firstId + static_cast<int64_t>(i);
    ZtDataPacket_setPacketCounter(p, static_cast<uint16_t>(p->packetId));
    ZtDataPacket_setStatus(p, static_cast<uint32_t>(i));
    ZtScrData raw{};
    raw.acc[0] = static_cast<uint16_t>(i);
    ZtDataPacket_setRawData(p, &raw);
    ZtMessage_setBusId(&p->message, busId);
  }
  return packets;
}

// The data frames of a device's bus in a recorded file.
size_t dataFramesOf(const std::string& path, uint8_t busId) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EmuFrameDecoder decoder;
  decoder.feed(bytes.data(), bytes.size());
  size_t n = 0;
  while (auto f = decoder.next())
    if (f->busId == busId && f->messageId == DeviceEmulator::Data) ++n;
  return n;
}

struct InsertionCase {
  bool tracker;  // KtixDevice's flush, else the base device's
  ZtQueueMode mode;
  bool recording;
};

TEST(PacketCacheAllocations, InsertionFlushAndLogWriteAllocateNothingPerPacket) {
  const ZtDeviceId baseId = 0x00071001, trackerId = 0x00071002;
  EmulatedMaster rig;
  rig.master->setConfiguredDevices({baseId, trackerId});
  auto* base = new TestDevice(rig.master, baseId);
  auto* tracker = new ChildKtix(rig.master, trackerId);
  rig.master->addRef();  // publishes the children listed now
  TempDir dir;
  constexpr size_t kWarmUp = 100, kCounted = 400;
  constexpr unsigned long kQueueSize = 32;

  const InsertionCase cases[] = {
      {false, ZQM_CallbacksOnly, false}, {false, ZQM_LatestOnly, false}, {false, ZQM_Queue, false},
      {false, ZQM_CallbacksOnly, true},  {false, ZQM_LatestOnly, true},  {false, ZQM_Queue, true},
      {true, ZQM_CallbacksOnly, false},  {true, ZQM_LatestOnly, false},  {true, ZQM_Queue, false},
      {true, ZQM_CallbacksOnly, true},   {true, ZQM_LatestOnly, true},   {true, ZQM_Queue, true},
  };
  int caseNumber = 0;
  for (const InsertionCase& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.tracker ? "tracker" : "base") << " queue mode " << c.mode
                                    << (c.recording ? " recording" : ""));
    ZtDevice* device = c.tracker ? static_cast<ZtDevice*>(tracker) : base;
    device->createDataCache();
    ASSERT_NE(device->readyCache(), nullptr);
    device->readyCache()->setMaxSize(kQueueSize);
    device->setQueueMode(c.mode);
    Counting counting;
    device->addCallbackHandler(&counting, false);
    const std::string path = dir.file("case" + std::to_string(caseNumber++) + ".log");
    if (c.recording) {
      ZtString name;
      ZtString_construct(&name, path.c_str());
      ASSERT_EQ(rig.master->createLogFile(name), 0);
      ZtString_destruct(&name);
      rig.master->setState(ZDS_Recording);
      if (c.tracker)
        tracker->setState(ZDS_Recording);
      else
        base->setState(ZDS_Recording);
    }

    std::vector<test::Packet> packets = makePackets(device->deviceId(), static_cast<uint8_t>(device->busId()), 1, kWarmUp + kCounted);
    for (size_t i = 0; i < kWarmUp; ++i) device->insertPacketInCaches(*packets[i].get());
    AllocationCounter counter;
    for (size_t i = kWarmUp; i < packets.size(); ++i) device->insertPacketInCaches(*packets[i].get());
    EXPECT_EQ(counter.count(), 0u) << "allocations in " << kCounted << " packets";

    // Nothing lost: every packet delivered, the working cache drained, the queue as the mode says.
    EXPECT_EQ(counting.delivered, static_cast<long>(packets.size()));
    EXPECT_TRUE(device->workingCache()->empty());
    const int64_t lastId = packets.back()->packetId;
    ZtDataPacket pulled = device->nextAvailableDataPacket();
    switch (c.mode) {
      case ZQM_CallbacksOnly:
        EXPECT_EQ(device->queueLength(), 0u);
        EXPECT_TRUE(ZtDataPacket_empty(&pulled));
        break;
      case ZQM_LatestOnly:
        EXPECT_EQ(device->queueLength(), 1u);
        EXPECT_EQ(pulled.packetId, lastId);
        EXPECT_EQ(ZtDataPacket_packetCounter(&pulled), static_cast<uint16_t>(lastId));
        EXPECT_TRUE(ZtDataPacket_containsRawData(&pulled));
        break;
      default:
        EXPECT_EQ(device->queueLength(), kQueueSize - 1);  // one pulled
        EXPECT_EQ(pulled.packetId, lastId - static_cast<int64_t>(kQueueSize) + 1);
        break;
    }
    ZtDataPacket_destruct(&pulled);
    device->removeCallbackHandler(&counting, false);
    if (c.recording) {
      rig.master->setState(ZDS_Config);
      if (c.tracker)
        tracker->setState(ZDS_Config);
      else
        base->setState(ZDS_Config);
      ASSERT_TRUE(rig.master->closeLogFile());
      EXPECT_EQ(dataFramesOf(path, static_cast<uint8_t>(device->busId())), packets.size());
    }
  }
  rig.master->removeRef();
}

// The tracker's processing from the raw packet to the application, as the processing task runs it.
TEST(PacketCacheAllocations, TrackerProcessingAllocatesNothingPerPacket) {
  KtixStreamRig rig(streamConfig(100.0), {filtersim::Segment::still(1.0)});
  ASSERT_TRUE(rig.opened);
  ASSERT_NE(rig.ktix, nullptr);
  ASSERT_TRUE(rig.ktix->hasZkfFilter());
  KtixDevice& device = *rig.ktix;
  device.removeCallbackHandler(&rig.collector, false);  // it keeps every packet it sees
  Counting counting;
  device.addCallbackHandler(&counting, false);

#ifdef ZDA_UNDER_SANITIZER
  constexpr size_t kWarmUp = 300, kCounted = 300;
#else
  constexpr size_t kWarmUp = 1000, kCounted = 1000;
#endif
  const std::vector<ZtScrData> raws = turningRawSamples(rig.model.sensor, kWarmUp + kCounted);
  ASSERT_EQ(raws.size(), kWarmUp + kCounted);
  std::vector<test::Packet> sources(raws.size());
  for (size_t i = 0; i < raws.size(); ++i) {
    sources[i]->deviceId = device.deviceId();
    ZtDataPacket_setPacketCounter(sources[i].get(), static_cast<uint16_t>(i));
    ZtDataPacket_setRawData(sources[i].get(), &raws[i]);
    ZtDataPacket_setStatus(sources[i].get(), 0);
  }
  test::Packet work;
  int64_t packetId = 0;
  auto process = [&](size_t i) {
    ZtDataPacket_copy(work.get(), sources[i].get());
    work->packetId = ++packetId;
    device.doProcessing(*work.get());
  };
  for (size_t i = 0; i < kWarmUp; ++i) process(i);  // the filter starts, scratch packets grow
  AllocationCounter counter;
  for (size_t i = kWarmUp; i < sources.size(); ++i) process(i);
  EXPECT_EQ(counter.count(), 0u) << "allocations in " << kCounted << " packets";

  EXPECT_EQ(counting.delivered, static_cast<long>(sources.size()));
  EXPECT_TRUE(ZtDataPacket_containsOrientationQuaternion(work.get()));
  EXPECT_TRUE(ZtDataPacket_containsFreeAcceleration(work.get()));
  EXPECT_TRUE(device.workingCache()->empty());
  device.removeCallbackHandler(&counting, false);
}

}  // namespace
}  // namespace zelto::test
