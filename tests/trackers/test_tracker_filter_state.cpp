// What a tracker takes from and puts into log files besides its record: the filter state
// (message 0x98) written while recording and read back as the initial state of a replay, the
// user parameters' date of a replay, and the hardware parameters from settings or record.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <string>
#include <vector>

#include "foundation/SettingsFile.h"
#include "support/LogFileBuilder.h"
#include "support/NullZkfFilter.h"
#include "support/TempDir.h"
#include "support/TestTracker.h"
#include "support/emulator/TrackerModel.h"
#include "transport/link/Communicator.h"

namespace zelto::test {
namespace {

// An initialised filter whose state is (a, b) and whose version is 4.7.1.
class StateFilter : public NullZkfFilter {
 public:
  StateFilter(bool initialized, double a, double b) : m_initialized(initialized), m_a(a), m_b(b) {}
  bool isInitialized() const override { return m_initialized; }
  void getFullState(ZkfState* state) const override {
    auto* s = static_cast<TestFilterState*>(state);
    s->a = m_a;
    s->b = m_b;
  }
  void getVersion(int& major, int& minor, int& revision) const override {
    major = 4;
    minor = 7;
    revision = 1;
  }

 private:
  bool m_initialized;
  double m_a, m_b;
};

ZtString trackerFilterStateText(const std::string& s) {
  ZtString out;
  ZtString_construct(&out, s.c_str());
  return out;
}

// Host scenarios of types 3 and 9.
void loadHostScenarios(TestTracker& tracker, int chosen) {
  SettingsFile settings;
  settings.readZsaString(
      "ZKF.scenarios=U:2:S.three S.nine\n"
      "S.three.gp.scenario=S:three\nS.three.gp.type=I:3\nS.three.gp.version=I:1\n"
      "S.three.gp.filterVersion=S:1.2.0\nS.three.gp.filter=S:ZKF-3\n"
      "S.nine.gp.scenario=S:nine\nS.nine.gp.type=I:9\nS.nine.gp.version=I:1\n"
      "S.nine.gp.filterVersion=S:1.2.0\nS.nine.gp.filter=S:ZKF-3\n");
  ASSERT_TRUE(tracker.loadFilterProfiles(settings));
  ASSERT_TRUE(tracker.setZdaFilterProfile(chosen));
}

struct Message {
  explicit Message(uint8_t id, uint8_t bus, const std::vector<uint8_t>& payload) {
    ZtMessage_constructSized(&m, 0);
    ZtMessage_setMessageId(&m, id);
    ZtMessage_setBusId(&m, bus);
    if (!payload.empty()) ZtMessage_setDataBuffer(&m, payload.data(), payload.size(), 0);
    ZtMessage_recomputeChecksum(&m);
  }
  ~Message() { ZtMessage_destruct(&m); }
  ZtMessage m;
};

// A recording made by a portless tracker: before its own state, the messages given.
void record(const std::string& path, bool initialized, const std::vector<std::pair<uint8_t, std::vector<uint8_t>>>& before) {
  auto* recording = new Communicator();
  ZtString name = trackerFilterStateText(path);
  ASSERT_TRUE(recording->createLogFile(name));
  ZtString_destruct(&name);
  TrackerModel model;
  {
    // A recording starts with the configuration.
    Message configuration(0x0D, 0xFF, LogFileBuilder::configurationPayload(model.deviceId, {model.deviceId}));
    ASSERT_TRUE(recording->writeMessageToLogFile(configuration.m));
  }
  auto* writer = new TestTracker(new Communicator());
  writer->addRef();
  writer->useLogInterface(recording);
  ASSERT_TRUE(writer->loadRecord(model.recordImage()));
  loadHostScenarios(*writer, 3);
  writer->setZkfFilter(NonIntrusiveSharedPointer<ZtZkfFilter>(new StateFilter(initialized, 1.5, -2.25)));
  for (const auto& [bus, payload] : before) {
    Message m(0x98, bus, payload);
    ASSERT_TRUE(writer->writeMessageToLogFile(m.m));
  }
  writer->writeFilterStateToFile();
  writer->closeLogFile();
  writer->removeRef();
}

// The initial state a replay of the file takes with the host profile chosen; null when none.
std::unique_ptr<SettingsFile> replayState(const std::string& path, int chosen) {
  auto* link = new Communicator();
  ZtString name = trackerFilterStateText(path);
  EXPECT_TRUE(link->openLogFile(name));
  ZtString_destruct(&name);
  auto* reader = new TestTracker(link);
  reader->addRef();
  loadHostScenarios(*reader, chosen);
  reader->readInitialFilterState();
  std::unique_ptr<SettingsFile> out;
  if (const SettingsFile* state = reader->initialState()) {
    out = std::make_unique<SettingsFile>();
    state->copyTo(*out, nullptr);
  }
  reader->removeRef();
  return out;
}

TEST(TrackerFilterState, WrittenStateReadsBackForItsOwnProfileOnly) {
  TempDir dir;
  const std::string path = dir.file("state.zlog");
  record(path, true, {});
  const auto state = replayState(path, 3);
  ASSERT_NE(state, nullptr);
  TestFilterState read;
  ASSERT_TRUE(read.readFromFileNoThrow(*state, ""));
  EXPECT_EQ(read.a, 1.5);
  EXPECT_EQ(read.b, -2.25);
  EXPECT_EQ(state->setting("filterProfileType").toUint32(), 3u);
  EXPECT_EQ(state->setting("filterVersionMajor").toUint32(), 4u);
  EXPECT_EQ(state->setting("filterVersionMinor").toUint32(), 7u);
  // Another profile chosen: the state is not taken.
  EXPECT_EQ(replayState(path, 9), nullptr);
}

TEST(TrackerFilterState, OnlyTheDevicesFirstWholeStateIsTaken) {
  TempDir dir;
  // An uninitialised filter writes nothing.
  const std::string none = dir.file("none.zlog");
  record(none, false, {});
  EXPECT_EQ(replayState(none, 3), nullptr);
  // Another device's state first: skipped.
  SettingsFile other;
  other.setSetting("state.a", Variant(7.0));
  std::vector<uint8_t> image(other.serialize(nullptr));
  other.serialize(reinterpret_cast<char*>(image.data()));
  const std::string otherBus = dir.file("other.zlog");
  record(otherBus, true, {{3, image}});
  const auto state = replayState(otherBus, 3);
  ASSERT_NE(state, nullptr);
  EXPECT_EQ(state->setting("state.a").toDouble(), 1.5);
  // The device's first state does not deserialise whole: none is taken, the later one neither.
  std::vector<uint8_t> cut(image.begin(), image.end() - 3);
  const std::string broken = dir.file("broken.zlog");
  record(broken, true, {{0xFF, cut}});
  EXPECT_EQ(replayState(broken, 3), nullptr);
  // Without a profile type the state fits any profile.
  const std::string untyped = dir.file("untyped.zlog");
  record(untyped, false, {{0xFF, image}});
  const auto any = replayState(untyped, 9);
  ASSERT_NE(any, nullptr);
  EXPECT_EQ(any->setting("state.a").toDouble(), 7.0);
}

TEST(TrackerUserDate, DateTextOfExactlyEightDigits) {
  struct Case {
    const char text[9];
    bool ok;
    int year, month, day;
  } cases[] = {
      {"20261209", true, 2026, 12, 9},
      {"19990101", true, 1999, 1, 1},
      {"2026120x", false, 0, 0, 0},
      {"2026-1-2", false, 0, 0, 0},
      {" 2026120", false, 0, 0, 0},
      {"", false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    int year = 0, month = 0, day = 0;
    EXPECT_EQ(KtDevice::parseDateText(c.text, year, month, day), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(year, c.year);
    EXPECT_EQ(month, c.month);
    EXPECT_EQ(day, c.day);
  }
  int year, month, day;
  EXPECT_FALSE(KtDevice::parseDateText(nullptr, year, month, day));
}

// A replay's user date: from the configuration's date text, else the record's, else the file's.
TEST(TrackerUserDate, ReplayDateFromConfigurationRecordOrFile) {
  struct Case {
    const char* name;
    const char* date;  // 8 bytes of configuration date text
    uint16_t serialDay;
    int year, month, day;  // 0: the file's date
  } cases[] = {
      {"configuration", "20250102", 100, 2025, 1, 2},
      {"record after 1999", "1999x102", 46000, 2025, 12, 9},
      {"file", "????????", 100, 0, 0, 0},
      {"file for an old configuration date", "19990102", 100, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.file("date.zlog");
    TrackerModel model;
    model.serialDay = c.serialDay;
    std::vector<uint8_t> config = LogFileBuilder::configurationPayload(model.deviceId, {model.deviceId});
    for (int i = 0; i < 8; ++i) config[16 + i] = static_cast<uint8_t>(c.date[i]);
    LogFileBuilder b;
    b.message(0x0D, config).message(0x91, model.recordImage()).data(0);
    ASSERT_TRUE(b.writeTo(path));
    auto* link = new Communicator();
    ZtString name = trackerFilterStateText(path);
    ASSERT_TRUE(link->openLogFile(name));
    ZtString_destruct(&name);
    auto* reader = new TestTracker(link);
    reader->addRef();
    EXPECT_TRUE(reader->readDeviceConfiguration());
    EXPECT_TRUE(reader->readEkts());
    const ZkfUserParams& user = reader->userParameters();
    int year = c.year, month = c.month, day = c.day;
    if (year == 0) {
      struct stat st {};
      ASSERT_EQ(stat(path.c_str(), &st), 0);
      std::tm utc{};
      const std::time_t t = st.st_mtime;
      gmtime_r(&t, &utc);
      year = utc.tm_year + 1900;
      month = utc.tm_mon + 1;
      day = utc.tm_mday;
    }
    EXPECT_EQ(user.storedYear, year);
    EXPECT_EQ(user.storedMonth, month);
    EXPECT_EQ(user.storedDay, day);
    reader->removeRef();
  }
}

TEST(TrackerHardwareParameters, FromSettingsElseFromRecordPageFive) {
  TrackerModel model;  // hardware version 1.2
  model.sensor.accRange = 23.0;
  SettingsFile withEntry;
  KtHardwareParams fromFile;
  fromFile.acc_range = 33.0;
  fromFile.gyr_range = 450.0;
  fromFile.writeToFile(withEntry, "1.2");
  ASSERT_TRUE(withEntry.hasSetting("ZKF.KT9_C.hw1_2.gp.hw_revision"));
  SettingsFile without;
  struct Case {
    const char* name;
    bool page5;
    const SettingsFile* settings;
    bool ok;
    double accRange;
  } cases[] = {
      {"settings entry", true, &withEntry, true, 33.0},
      {"record page 5", true, &without, true, 23.0},
      {"settings entry, record without page 5", false, &withEntry, true, 33.0},
      {"neither", false, &without, false, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    model.page5 = c.page5;
    auto* tracker = new TestTracker(new Communicator());
    tracker->addRef();
    ASSERT_TRUE(tracker->loadRecord(model.recordImage()));
    EXPECT_EQ(tracker->readHardwareParameters(*c.settings), c.ok);
    EXPECT_NEAR(tracker->hardwareParameters().acc_range, c.ok ? c.accRange : 0.0, 1e-6);
    EXPECT_EQ(tracker->readHardwareParamsFromEkts(), c.page5);
    tracker->removeRef();
  }
  // A version-5 record keeps the ranges outside page 5, and its magnetometer calibration there.
  model.recordVersion = 5;
  model.page5 = true;
  auto* tracker = new TestTracker(new Communicator());
  tracker->addRef();
  ASSERT_TRUE(tracker->loadRecord(model.recordImage()));
  EXPECT_TRUE(tracker->readHardwareParameters(without));
  EXPECT_NEAR(tracker->hardwareParameters().acc_range, 23.0, 1e-9);
  EXPECT_NEAR(tracker->ekts()->offsetMag().data[0], model.sensor.offsetMag[0], 1e-9);
  EXPECT_NEAR(tracker->ekts()->gainMag().data[2], model.sensor.gainMag[2], 1e-9);
  tracker->removeRef();
}

}  // namespace
}  // namespace zelto::test
