// Reading the device record from the device, whole or page by page, and the whole-record
// request answered from the held record.
#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <vector>

#include "ekts/EktsManager.h"
#include "support/EmulatedTracker.h"
#include "support/LogFileBuilder.h"
#include "support/TempDir.h"

namespace zelto::test {
namespace {

struct ScopedMsg {
  ZtMessage m;
  ScopedMsg() { ZtMessage_construct(&m); }
  ~ScopedMsg() { ZtMessage_destruct(&m); }
};

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

TEST(TrackerRecordRead, ReadSetsHeadingAlignmentAndUserParameters) {
  // The record's alignment: 90 degrees about z; an all-zero one counts as the identity.
  for (bool zero : {false, true}) {
    SCOPED_TRACE(zero ? "all-zero alignment" : "90 degrees about z");
    EmulatedTracker t([zero](TrackerModel& m) {
      m.setRow(TrackerModel::HeadingOffset, {0x3E, 0x80, 0x00, 0x00});  // 0.25 rad
      if (zero) {
        m.setRow(TrackerModel::ObjectAlignment, std::vector<uint8_t>(36, 0));
      } else {
        std::vector<uint8_t> rows(36, 0);
        auto put = [&rows](size_t i, uint32_t bits) {
          for (int b = 0; b < 4; ++b) rows[4 * i + b] = static_cast<uint8_t>(bits >> (24 - 8 * b));
        };
        put(1, 0xBF800000u);  // R01 = -1
        put(3, 0x3F800000u);  // R10 = 1
        put(8, 0x3F800000u);  // R22 = 1
        m.setRow(TrackerModel::ObjectAlignment, rows);
      }
    });
    ASSERT_TRUE(t.tracker->readEkts());
    const Quaternion& h = t.tracker->internalHeading();
    EXPECT_NEAR(h.w, std::cos(0.125), 1e-6);
    EXPECT_NEAR(h.z, std::sin(0.125), 1e-6);
    const Quaternion& a = t.tracker->internalObjectAlignment();
    const double angle = zero ? 0.0 : 3.14159265358979323846 / 2;
    EXPECT_NEAR(std::fabs(a.w), std::cos(angle / 2), 1e-6);
    EXPECT_NEAR(std::fabs(a.z), std::sin(angle / 2), 1e-6);
    EXPECT_NEAR(a.w * a.w + a.x * a.x + a.y * a.y + a.z * a.z, 1.0, 1e-12);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    EXPECT_EQ(t.tracker->userParams().storedYear, local.tm_year + 1900);
    EXPECT_GT(t.tracker->userParams().sampleRate, 0.0);
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

// The record read from a log file whose 0x91 messages are given as (bus id, payload).
struct LogRead {
  bool ok = false;
  std::vector<uint8_t> record;
};
LogRead readFromLog(const std::vector<std::pair<uint8_t, std::vector<uint8_t>>>& messages) {
  TempDir dir;
  LogFileBuilder b;
  b.configuration(0x00071234, {0x00071234});
  for (const auto& [bus, payload] : messages) b.message(0x91, payload, bus);
  b.data(0);
  const std::string path = dir.file("rec.zlog");
  EXPECT_TRUE(b.writeTo(path));
  auto* link = new Communicator();
  ZtString name;
  ZtString_construct(&name, path.c_str());
  const bool open = link->openLogFile(name);
  ZtString_destruct(&name);
  EXPECT_TRUE(open);
  auto* tracker = new TestTracker(link);
  tracker->addRef();
  LogRead r;
  r.ok = tracker->readEkts();
  if (r.ok) r.record = heldRecord(*tracker);
  tracker->removeRef();
  return r;
}

std::vector<std::vector<uint8_t>> split(const std::vector<uint8_t>& image, size_t part, size_t upTo) {
  std::vector<std::vector<uint8_t>> out;
  for (size_t p = 0; p + part <= upTo; p += part) out.emplace_back(image.begin() + p, image.begin() + p + part);
  return out;
}

TEST(TrackerRecordRead, LogFileRecordsWholeOrInParts) {
  TrackerModel model;
  const std::vector<uint8_t> image = model.recordImage();
  TrackerModel other;
  other.serialDay = 7;
  const std::vector<uint8_t> otherImage = other.recordImage();
  ASSERT_NE(image, otherImage);
  std::vector<uint8_t> refused = image;
  {
    uint8_t head[30];
    EktsManager::codeEkts(refused.data(), head, 30, 0);
    head[29] = 9;
    EktsManager::codeEkts(head, refused.data(), 30, 0);
  }
  using Messages = std::vector<std::pair<uint8_t, std::vector<uint8_t>>>;
  auto parts = [](const std::vector<uint8_t>& img, size_t size, size_t upTo, uint8_t bus = 0xFF) {
    Messages out;
    for (auto& p : split(img, size, upTo)) out.emplace_back(bus, p);
    return out;
  };
  auto join = [](Messages a, const Messages& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  struct Case {
    const char* name;
    Messages messages;
    bool ok;
  } cases[] = {
      {"whole", {{0xFF, image}}, true},
      {"66-byte parts", parts(image, 66, 1320), true},
      {"264-byte parts", parts(image, 264, 1320), true},
      {"other bus ids between the parts", join(parts(otherImage, 264, 1320, 1), parts(image, 66, 1320)), true},
      // 17 parts of 66 bytes (1122) and then a page of 264 would pass the end: a new record starts.
      {"page after 1122 bytes of parts", join(parts(otherImage, 66, 1122), parts(image, 264, 1320)), true},
      {"refused first part skipped", join({{0xFF, std::vector<uint8_t>(refused.begin(), refused.begin() + 264)}},
                                          parts(image, 264, 1320)),
       true},
      {"1056 bytes when the messages run out", parts(image, 264, 1056), true},
      {"nothing for this device", parts(image, 264, 1320, 2), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const LogRead r = readFromLog(c.messages);
    ASSERT_EQ(r.ok, c.ok);
    if (!c.ok) continue;
    if (std::string(c.name).find("1056") != std::string::npos) {
      // The fifth page was never read: the first four match.
      EXPECT_EQ(std::vector<uint8_t>(r.record.begin(), r.record.begin() + 1056),
                std::vector<uint8_t>(image.begin(), image.begin() + 1056));
    } else {
      EXPECT_EQ(r.record, image);
    }
  }
  // Only the first 198 messages of the file are looked at (the configuration is the first): the
  // record as the 199th is not read, as the 198th it is.
  Messages late(197, {0x01, otherImage});
  late.emplace_back(0xFF, image);
  EXPECT_FALSE(readFromLog(late).ok);
  late.erase(late.begin());
  EXPECT_TRUE(readFromLog(late).ok);
}

TEST(TrackerRecordRead, RecordWrittenToALogFileReadsBack) {
  TempDir dir;
  const std::string path = dir.file("settings.zlog");
  TrackerModel model;
  model.serialDay = 321;
  {
    auto* link = new Communicator();
    ZtString name;
    ZtString_construct(&name, path.c_str());
    ASSERT_TRUE(link->createLogFile(name));
    ZtString_destruct(&name);
    // The configuration message first, as every recording starts.
    const std::vector<uint8_t> config = LogFileBuilder::configurationPayload(0x00071234, {0x00071234});
    ZtMessage m;
    ZtMessage_constructSized(&m, config.size());
    ZtMessage_setMessageId(&m, 0x0D);
    ZtMessage_setBusId(&m, 0xFF);
    ZtMessage_setDataBuffer(&m, config.data(), config.size(), 0);
    ZtMessage_recomputeChecksum(&m);
    ASSERT_TRUE(link->writeMessageToLogFile(m));
    ZtMessage_destruct(&m);
    // The record goes into the recording, not onto the device's own link.
    auto* writer = new TestTracker(new Communicator());
    writer->addRef();
    writer->useLogInterface(link);
    ASSERT_TRUE(writer->loadRecord(model.recordImage()));
    writer->writeDeviceSettingsToFile();
    writer->closeLogFile();
    writer->removeRef();
  }
  auto* link = new Communicator();
  ZtString name;
  ZtString_construct(&name, path.c_str());
  ASSERT_TRUE(link->openLogFile(name));
  ZtString_destruct(&name);
  auto* reader = new TestTracker(link);
  reader->addRef();
  EXPECT_TRUE(reader->readEkts());
  EXPECT_EQ(heldRecord(*reader), model.recordImage());
  reader->removeRef();
}

}  // namespace
}  // namespace zelto::test
