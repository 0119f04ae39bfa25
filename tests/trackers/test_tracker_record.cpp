// Reading the specification record from the device, whole or page by page, and the whole-record
// request answered from the held record.
#include <gtest/gtest.h>

#include <vector>

#include "ekts/EktsManager.h"
#include "support/EmulatedTracker.h"

namespace zelto::test {
namespace {

struct ScopedMsg {
  ZtMessage m;
  ScopedMsg() { ZtMessage_construct(&m); }
  ~ScopedMsg() { ZtMessage_destruct(&m); }
};

std::vector<uint8_t> heldRecord(TestTracker& t) {
  std::vector<uint8_t> out(1320);
  EXPECT_EQ(t.ekts()->getEncryptedEktsData(out.data()), 1320);
  return out;
}

std::vector<EmuFrame> recordRequests(const EmulatedTracker& t) {
  std::vector<EmuFrame> out;
  for (const EmuFrame& f : t.framesSinceMark())
    if (f.messageId == 0x90) out.push_back(f);
  return out;
}

TEST(TrackerRecordRead, WholeAndPagedReadsGiveTheModelsRecord) {
  for (int version : {3, 4, 5}) {
    for (bool inParts : {false, true}) {
      SCOPED_TRACE(testing::Message() << "version " << version << (inParts ? " paged" : " whole"));
      EmulatedTracker t([version](TrackerModel& m) {
        m.recordVersion = version;
        m.serialDay = 100;
      });
      // Another record in the model, so the read must really replace the held one.
      t.model.serialDay = 200;
      ASSERT_NE(heldRecord(*t.tracker), t.model.recordImage());
      t.tracker->setReadInParts(inParts);
      ASSERT_TRUE(t.tracker->readEkts());
      EXPECT_EQ(heldRecord(*t.tracker), t.model.recordImage());
      const std::vector<EmuFrame> requests = recordRequests(t);
      if (!inParts) {
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].payload, (std::vector<uint8_t>{0, 255}));
      } else {
        // Every accepted version has page 5: five pages asked, in order.
        ASSERT_EQ(requests.size(), 5u);
        for (uint8_t i = 0; i < 5; ++i) EXPECT_EQ(requests[i].payload, (std::vector<uint8_t>{0, i}));
      }
    }
  }
}

// Paged only: a silent whole read waits its full 10 s.
TEST(TrackerRecordRead, RefusedVersionOrSilentPageFailsAndKeepsTheHeldRecord) {
  {
    EmulatedTracker t;
    const std::vector<uint8_t> before = heldRecord(*t.tracker);
    t.tracker->setReadInParts(true);
    {
      // Version byte unknown to the record manager: refused after page 0.
      std::vector<uint8_t> image = t.model.recordImage();
      uint8_t head[30];
      EktsManager::codeEkts(image.data(), head, 30, 0);
      head[29] = 9;
      EktsManager::codeEkts(head, image.data(), 30, 0);
      t.emu->script(0x90, EmuAction::reply(std::vector<uint8_t>(image.begin(), image.begin() + 264)));
      EXPECT_FALSE(t.tracker->readEkts());
      EXPECT_EQ(recordRequests(t).size(), 1u);
      t.mark();
    }
    t.emu->script(0x90, EmuAction::silence());
    EXPECT_FALSE(t.tracker->readEkts());
    EXPECT_EQ(heldRecord(*t.tracker), before);
  }
}

TEST(TrackerRecordRead, WholeRecordRequestIsAnsweredFromTheHeldRecord) {
  EmulatedTracker t;
  ScopedMsg request, reply;
  ZtMessage_constructSized(&request.m, 2);
  ZtMessage_setMessageId(&request.m, 0x90);
  ZtMessage_setBusId(&request.m, 0xFF);
  ZtMessage_setDataByte(&request.m, 0, 0);
  ZtMessage_setDataByte(&request.m, 255, 1);
  ZtMessage_recomputeChecksum(&request.m);
  ASSERT_TRUE(t.tracker->sendCustomMessage(request.m, true, reply.m, 500));
  EXPECT_EQ(ZtMessage_getMessageId(&reply.m), 0x91);
  ASSERT_EQ(ZtMessage_dataSize(&reply.m), 1320u);
  const uint8_t* data = ZtMessage_constData(&reply.m);
  EXPECT_EQ(std::vector<uint8_t>(data, data + 1320), heldRecord(*t.tracker));
  EXPECT_TRUE(recordRequests(t).empty());
}

}  // namespace
}  // namespace zelto::test
