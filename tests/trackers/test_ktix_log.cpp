// Log writing of the host-filtered tracker (flushCache) as a child of a master on an emulated
// port: the recording gets each packet's message as received, except a legacy data message of a
// child on a bus id other than 1; packets refused by the application or arriving outside the
// recording are dropped.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "device/cache/IPacketDataCache.h"
#include "foundation/Journaller.h"
#include "support/EmulatedMaster.h"
#include "support/TempDir.h"
#include "support/emulator/EmuFrame.h"
#include "trackers/KtixDevice.h"
#include "trackers/KtixFixture.h"

namespace zelto::test {
namespace {

// Consents to the data of packets whose counter is not in the refused list.
class Consent : public ZtCallback {
 public:
  explicit Consent(std::vector<uint8_t> refused) : m_refused(std::move(refused)) {}
  bool onWriteDataToLogFile(ZtDevice*, const ZtDataPacket* packet) override {
    const uint8_t first = ZtMessage_getDataByte(&packet->original, 0);
    return std::find(m_refused.begin(), m_refused.end(), first) == m_refused.end();
  }

 private:
  std::vector<uint8_t> m_refused;
};

// A packet made from the message (id, payload whose first byte marks it) of the child.
void cachePacket(ChildKtix& child, uint8_t messageId, uint8_t marker, int64_t packetId) {
  ZtDataPacket p;
  ZtDataPacket_construct(&p);
  p.deviceId = child.deviceId();
  p.packetId = packetId;
  const std::vector<uint8_t> payload = {marker, 0x11, 0x22};
  ZtMessage_constructSized(&p.original, 0);
  ZtMessage_setMessageId(&p.original, messageId);
  ZtMessage_setBusId(&p.original, static_cast<uint8_t>(child.busId()));
  ZtMessage_setDataBuffer(&p.original, payload.data(), payload.size(), 0);
  child.insertOrUpdateCacheItem(child.workingCache(), p);
  ZtDataPacket_destruct(&p);
}

bool fileHolds(const std::string& bytes, uint8_t busId, uint8_t messageId, uint8_t marker) {
  const std::vector<uint8_t> frame = EmuFrame{busId, messageId, {marker, 0x11, 0x22}}.encode();
  return bytes.find(std::string(frame.begin(), frame.end())) != std::string::npos;
}

TEST(KtixLog, LegacyDataOfAChildOnBusTwoIsSkippedAndRefusedOrUnrecordedPacketsAreDropped) {
  const ZtDeviceId id1 = 0x00071001, id2 = 0x00071002;
  EmulatedMaster rig;
  rig.master->setConfiguredDevices({id1, id2});
  auto* one = new ChildKtix(rig.master, id1);
  auto* two = new ChildKtix(rig.master, id2);
  ASSERT_EQ(one->busId(), 1);
  ASSERT_EQ(two->busId(), 2);
  rig.master->addRef();  // publishes the children listed now
  one->createDataCache();
  two->createDataCache();
  ASSERT_NE(one->workingCache(), nullptr);

  TempDir dir;
  const std::string path = dir.file("children.log");
  ZtString name;
  ZtString_construct(&name, path.c_str());
  ASSERT_EQ(rig.master->createLogFile(name), 0);
  ZtString_destruct(&name);

  const std::string journalPath = dir.file("zda.log");
  auto* journal = new Journaller(journalPath.c_str(), true, JLL_ALERT);
  gJournal.store(journal);
  Consent consent({0x07});
  one->addCallbackHandler(&consent, false);
  two->addCallbackHandler(&consent, false);

  // Not recording: taken from the cache and dropped.
  cachePacket(*one, 0x36, 0x01, 1);
  one->flushCache();
  EXPECT_TRUE(one->workingCache()->empty());

  one->setState(ZDS_Recording);
  two->setState(ZDS_Recording);
  cachePacket(*one, 0x32, 0x02, 2);  // legacy, bus 1: written
  cachePacket(*one, 0x36, 0x03, 3);  // written
  cachePacket(*one, 0x36, 0x07, 4);  // refused by the application
  cachePacket(*two, 0x32, 0x04, 5);  // legacy, bus 2: skipped
  cachePacket(*two, 0x36, 0x05, 6);  // written
  one->flushCache();
  two->flushCache();
  gJournal.store(nullptr);
  journal->flushFile();
  delete journal;
  EXPECT_TRUE(one->workingCache()->empty());
  EXPECT_TRUE(two->workingCache()->empty());
  one->setState(ZDS_Config);
  two->setState(ZDS_Config);
  one->removeCallbackHandler(&consent, false);
  two->removeCallbackHandler(&consent, false);
  ASSERT_TRUE(rig.master->closeLogFile());

  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(bytes.empty());
  EXPECT_FALSE(fileHolds(bytes, 1, 0x36, 0x01));
  EXPECT_TRUE(fileHolds(bytes, 1, 0x32, 0x02));
  EXPECT_TRUE(fileHolds(bytes, 1, 0x36, 0x03));
  EXPECT_FALSE(fileHolds(bytes, 1, 0x36, 0x07));
  EXPECT_FALSE(fileHolds(bytes, 2, 0x32, 0x04));
  EXPECT_TRUE(fileHolds(bytes, 2, 0x36, 0x05));
  // One journal line, for the skipped message of the device on bus 2.
  std::ifstream journalFile(journalPath);
  std::string line;
  std::vector<std::string> skips;
  while (std::getline(journalFile, line))
    if (line.find("Skip write to log for device ") != std::string::npos) skips.push_back(line);
  ASSERT_EQ(skips.size(), 1u);
  EXPECT_NE(skips[0].find("[ALERT] "), std::string::npos) << skips[0];
  EXPECT_NE(skips[0].find("71002"), std::string::npos) << skips[0];
  rig.master->removeRef();
}

}  // namespace
}  // namespace zelto::test
