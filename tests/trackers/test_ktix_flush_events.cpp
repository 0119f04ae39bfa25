// The host-filtered tracker's flush hands each packet of the working cache to onWriteDataToLogFile
// once, in ascending packet id, with the content the cache held (a merged entry whole), whether
// or not the device records; the cache's reuse of storage must not carry one packet's items into
// the next.
#include <gtest/gtest.h>

#include <vector>

#include "device/cache/IPacketDataCache.h"
#include "support/EmulatedMaster.h"
#include "trackers/KtixDevice.h"
#include "trackers/KtixFixture.h"

namespace zelto::test {
namespace {

struct KtixFlushSeen {
  int64_t packetId;
  uint32_t status;  // 0 when the packet has none
  bool hasCounter;
  bool hasOrientation;
};

class KtixFlushRecorder : public ZtCallback {
 public:
  bool onWriteDataToLogFile(ZtDevice*, const ZtDataPacket* packet) override {
    seen.push_back({packet->packetId, ZtDataPacket_containsStatus(packet) ? ZtDataPacket_status(packet) : 0u,
                    ZtDataPacket_containsPacketCounter(packet) != 0,
                    ZtDataPacket_containsOrientationQuaternion(packet) != 0});
    return true;
  }
  std::vector<KtixFlushSeen> seen;
};

void ktixFlushInsert(ChildKtix& child, int64_t id, uint32_t status, bool orientation) {
  ZtDataPacket p;
  ZtDataPacket_construct(&p);
  p.deviceId = child.deviceId();
  p.packetId = id;
  ZtDataPacket_setStatus(&p, status);
  if (orientation) {
    const ZtQuaternion q = {1.0, 0.0, 0.0, 0.0};
    ZtDataPacket_setOrientationQuaternion(&p, &q, ZDI_FrameNwu);
  } else {
    ZtDataPacket_setPacketCounter(&p, static_cast<uint16_t>(id));
  }
  child.insertOrUpdateCacheItem(child.workingCache(), p);
  ZtDataPacket_destruct(&p);
}

TEST(KtixFlushEvents, EachPacketOnceInIdOrderWithItsMergedContentRecordingOrNot) {
  const ZtDeviceId id = 0x00071003;
  EmulatedMaster rig;
  rig.master->setConfiguredDevices({id});
  auto* child = new ChildKtix(rig.master, id);
  rig.master->addRef();
  child->createDataCache();
  ASSERT_NE(child->workingCache(), nullptr);
  KtixFlushRecorder recorder;
  child->addCallbackHandler(&recorder, false);

  for (const ZtDeviceState state : {ZDS_Measurement, ZDS_Recording}) {
    SCOPED_TRACE(state);
    child->setState(state);
    recorder.seen.clear();
    ktixFlushInsert(*child, 9, 0x90, false);
    ktixFlushInsert(*child, 2, 0x20, true);  // orientation, no counter
    ktixFlushInsert(*child, 5, 0x50, false);
    ktixFlushInsert(*child, 2, 0x21, false);  // the same id: the counter merged into the held entry
    child->flushCache();
    EXPECT_TRUE(child->workingCache()->empty());
    ASSERT_EQ(recorder.seen.size(), 3u);
    EXPECT_EQ(recorder.seen[0].packetId, 2);
    EXPECT_EQ(recorder.seen[1].packetId, 5);
    EXPECT_EQ(recorder.seen[2].packetId, 9);
    // The newer packet's own items win; the stored packet adds what it lacks.
    EXPECT_EQ(recorder.seen[0].status, 0x21u);
    EXPECT_TRUE(recorder.seen[0].hasCounter);
    EXPECT_TRUE(recorder.seen[0].hasOrientation);
    for (size_t i = 1; i < 3; ++i) {
      EXPECT_EQ(recorder.seen[i].status, static_cast<uint32_t>(recorder.seen[i].packetId * 0x10));
      EXPECT_TRUE(recorder.seen[i].hasCounter);
      EXPECT_FALSE(recorder.seen[i].hasOrientation) << "an earlier packet's item carried over";
    }
  }
  child->setState(ZDS_Config);
  child->removeCallbackHandler(&recorder, false);
  rig.master->removeRef();
}

}  // namespace
}  // namespace zelto::test
