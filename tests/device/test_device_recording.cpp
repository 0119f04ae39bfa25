// Recording a live session into a log file and playing it back: what the file holds and in which
// order, the consent events, the results of createLogFile, closing while packets are written, and
// the playback controls of a master made on the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/CallbackRecorder.h"
#include "support/EmulatedMaster.h"
#include "support/LogFileBuilder.h"
#include "support/TempDir.h"
#include "support/TestDevice.h"
#include "transport/link/Communicator.h"
#include "zttypes/zttime.h"

using zelto::test::DeviceEmulator;
using zelto::test::EmuFrame;
using zelto::test::EmuFrameDecoder;
using zelto::test::EmulatedMaster;
using zelto::test::LogFileBuilder;
using zelto::test::TempDir;
using zelto::test::TestDevice;
using Kind = CallbackRecorder::Kind;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

namespace {

constexpr auto kDeviceRecordingWait = std::chrono::milliseconds(EmulatedMaster::kWaitMs);

struct DeviceRecordingText {
  ZtString s;
  explicit DeviceRecordingText(const std::string& text) { ZtString_construct(&s, text.c_str()); }
  ~DeviceRecordingText() { ZtString_destruct(&s); }
};

struct OwnedPacket {
  ZtDataPacket p;
  explicit OwnedPacket(ZtDataPacket packet) : p(packet) {}
  ~OwnedPacket() { ZtDataPacket_destruct(&p); }
  OwnedPacket(const OwnedPacket&) = delete;
  OwnedPacket& operator=(const OwnedPacket&) = delete;
  bool empty() const { return ZtDataPacket_empty(&p) != 0; }
  Bytes frame() const {
    const uint8_t* start = ZtMessage_getMessageStart(&p.message);
    return start ? Bytes(start, start + ZtMessage_getTotalMessageSize(&p.message)) : Bytes();
  }
};

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The frames of a file, cut by the emulator's own decoder; leftover counts bytes that are no
// complete frame.
std::vector<EmuFrame> framesOf(const Bytes& bytes, size_t* leftover = nullptr) {
  EmuFrameDecoder decoder;
  decoder.feed(bytes.data(), bytes.size());
  std::vector<EmuFrame> frames;
  while (auto f = decoder.next()) frames.push_back(*f);
  if (leftover) *leftover = decoder.pending();
  return frames;
}

Bytes encoded(const std::vector<EmuFrame>& frames) {
  Bytes out;
  for (const EmuFrame& f : frames) {
    const Bytes b = f.encode();
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

EmuFrame nonData(uint8_t id, Bytes payload) {
  EmuFrame f;
  f.messageId = id;
  f.payload = std::move(payload);
  return f;
}

// A device class that writes one settings message into every new recording file, as the real
// classes do from writeDeviceSettingsToFile.
class SettingsWritingDevice : public TestDevice {
 public:
  using TestDevice::TestDevice;
  static EmuFrame settingsFrame() { return nonData(0xD1, {0x00, 0x06}); }
  void writeDeviceSettingsToFile() override {
    ZtMessage m;
    ZtMessage_construct(&m);
    const EmuFrame f = settingsFrame();
    const Bytes b = f.encode();
    ZtMessage_load(&m, b.size(), b.data());
    writeMessageToLogFile(m);
    ZtMessage_destruct(&m);
    TestDevice::writeDeviceSettingsToFile();
  }
};

// A live master on the emulator, measuring, with the emulator's own stream stopped so that only
// the bursts of a test send data.
class RecordingScene {
 public:
  RecordingScene() {
    scene.master->setSupportedRates({100});
    scene.master->createDataCache();
    scene.master->deviceConfiguration().masterDeviceId = EmulatedMaster::kMasterId;
  }
  void addRecorder(ZtCallback* handler) { scene.master->addCallbackHandler(handler, false); }
  // Measurement, the emulator's stream stopped and its packets delivered.
  void measure(CallbackRecorder& rec) {
    ASSERT_TRUE(scene.master->gotoMeasurement());
    scene.emu->setMeasuring(false);
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(rec.waitFor(Kind::DataAvailable, scene.emu->dataMessagesSent(), kDeviceRecordingWait));
    ASSERT_TRUE(scene.master->finishLastProcessingTask());
  }
  TestDevice* master() const { return scene.master; }
  DeviceEmulator& emu() { return *scene.emu; }

  EmulatedMaster scene;
  TempDir dir;
};

// ---- Round trip ----------------------------------------------------------------------------------

TEST(DeviceRecording, ARecordedSessionPlaysBackWithTheSameBytesPacketsAndCallbacks) {
  constexpr size_t kPackets = 3000;
  // A master of the settings-writing class on the emulator.
  zelto::test::PtyPort pty;
  auto emu = std::make_unique<DeviceEmulator>(std::make_unique<zelto::test::FdEmulatorLink>(dup(pty.masterFd())));
  emu->setDeviceId(EmulatedMaster::kMasterId);
  emu->setDataRate(1);
  emu->start();
  auto* link = new Communicator();
  link->setGotoConfigTimeout(1000);
  {
    DeviceRecordingText port(pty.slavePath());
    ASSERT_TRUE(link->openPort(port.s, B115200));
  }
  link->setGotoConfigTimeout(0);
  auto* master = new SettingsWritingDevice(link);
  master->setSupportedRates({100});
  master->createDataCache();
  master->deviceConfiguration().masterDeviceId = EmulatedMaster::kMasterId;
  CallbackRecorder rec;
  master->addCallbackHandler(&rec, false);
  master->addRef();

  ASSERT_TRUE(master->gotoMeasurement());
  emu->setMeasuring(false);
  std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(rec.waitFor(Kind::DataAvailable, emu->dataMessagesSent(), kDeviceRecordingWait));
  ASSERT_TRUE(master->finishLastProcessingTask());

  TempDir dir;
  const std::string path = dir.file("session.zlog");
  char dateBefore[9] = {}, timeBefore[9] = {}, dateAfter[9] = {}, timeAfter[9] = {};
  ZtTime_getDateAsString(dateBefore);
  ZtTime_getTimeAsString(timeBefore);
  {
    DeviceRecordingText name(path);
    ASSERT_EQ(master->createLogFile(name.s), ZRV_OK);
  }
  ZtTime_getDateAsString(dateAfter);
  ZtTime_getTimeAsString(timeAfter);

  // Not recording yet, file open: non-data messages are written.
  const EmuFrame before = nonData(0x80, {1, 2, 3});
  emu->sendFrame(before);
  ASSERT_TRUE(rec.waitFor(Kind::NonDataMessage, 1, kDeviceRecordingWait));

  ASSERT_TRUE(master->startRecording());
  const uint32_t firstCounter = emu->dataMessagesSent();
  const size_t dataBefore = rec.count(Kind::DataAvailable);
  ASSERT_EQ(emu->sendDataBurst(kPackets), kPackets);
  ASSERT_TRUE(rec.waitFor(Kind::DataAvailable, dataBefore + kPackets, kDeviceRecordingWait));
  ASSERT_TRUE(master->finishLastProcessingTask());
  // A reply taken by a waiting request stays out of the file.
  {
    ZtMessage request, reply;
    ZtMessage_constructSized(&request, 0);
    ZtMessage_setMessageId(&request, DeviceEmulator::ReqFirmwareRevision);
    ZtMessage_setBusId(&request, 0xFF);
    ZtMessage_construct(&reply);
    EXPECT_TRUE(master->sendCustomMessage(request, true, reply, 1000));
    EXPECT_EQ(ZtMessage_getMessageId(&reply), 0x13);
    ZtMessage_destruct(&request);
    ZtMessage_destruct(&reply);
  }
  const EmuFrame during = nonData(0x82, {4});
  emu->sendFrame(during);
  ASSERT_TRUE(rec.waitFor(Kind::NonDataMessage, 2, kDeviceRecordingWait));
  ASSERT_TRUE(master->stopRecording());
  const EmuFrame after = nonData(0x84, {});
  emu->sendFrame(after);
  ASSERT_TRUE(rec.waitFor(Kind::NonDataMessage, 3, kDeviceRecordingWait));
  EXPECT_TRUE(master->closeLogFile());
  EXPECT_EQ(master->logFileInterface(), nullptr);
  emu->sendFrame(nonData(0x86, {9}));  // file closed: not written
  ASSERT_TRUE(rec.waitFor(Kind::NonDataMessage, 4, kDeviceRecordingWait));

  // The recorded part of the live session.
  std::vector<CallbackRecorder::Event> live = rec.events(Kind::DataAvailable);
  live.erase(live.begin(), live.begin() + static_cast<long>(dataBefore));
  ASSERT_EQ(live.size(), kPackets);

  // The file: the Configuration message, the settings, then every frame in order.
  const Bytes bytes = readFile(path);
  size_t leftover = 1;
  const std::vector<EmuFrame> frames = framesOf(bytes, &leftover);
  EXPECT_EQ(leftover, 0u);
  ASSERT_GE(frames.size(), 2u);
  const EmuFrame& configuration = frames[0];
  EXPECT_EQ(configuration.messageId, 0x0D);
  EXPECT_EQ(configuration.busId, 0xFF);
  ASSERT_EQ(configuration.payload.size(), 98u);
  EXPECT_EQ(configuration.payload[0] << 24 | configuration.payload[1] << 16 | configuration.payload[2] << 8 |
                configuration.payload[3],
            static_cast<int>(EmulatedMaster::kMasterId));
  const std::string date(configuration.payload.begin() + 16, configuration.payload.begin() + 24);
  const std::string time(configuration.payload.begin() + 24, configuration.payload.begin() + 32);
  EXPECT_TRUE(date == dateBefore || date == dateAfter) << date;
  if (std::string(dateBefore) == dateAfter) {
    EXPECT_LE(std::string(timeBefore), time);
    EXPECT_LE(time, std::string(timeAfter));
  }

  std::vector<EmuFrame> expected = {configuration, SettingsWritingDevice::settingsFrame(), before};
  for (size_t i = 0; i < kPackets; ++i) {
    EmuFrame data;
    data.messageId = DeviceEmulator::Data;
    data.payload = emu->defaultDataPayload(static_cast<uint16_t>(firstCounter + i));
    expected.push_back(data);
  }
  expected.push_back(during);
  expected.push_back(after);
  EXPECT_TRUE(bytes == encoded(expected)) << "file of " << bytes.size() << " bytes, " << frames.size() << " frames";
  for (size_t i = 0; i < kPackets; ++i) ASSERT_EQ(live[i].frame, expected[3 + i].encode()) << i;

  master->removeRef();
  emu->stop();

  // Playback on a new link.
  auto* fileLink = new Communicator();
  {
    DeviceRecordingText name(path);
    ASSERT_TRUE(fileLink->openLogFile(name.s));
  }
  auto* player = new TestDevice(fileLink);
  player->setSupportedRates({100});
  player->createDataCache();
  CallbackRecorder played;
  player->addCallbackHandler(&played, true);
  player->addRef();
  EXPECT_EQ(player->deviceId(), EmulatedMaster::kMasterId);
  ASSERT_TRUE(player->loadLogFile());
  ASSERT_TRUE(played.waitUntil(
      [](const std::vector<CallbackRecorder::Event>& events) {
        return std::any_of(events.begin(), events.end(), [](const CallbackRecorder::Event& e) {
          return e.kind == Kind::ProgressUpdated && e.values[0] == 100;
        });
      },
      kDeviceRecordingWait));
  const std::vector<CallbackRecorder::Event> replay = played.events(Kind::DataAvailable);
  ASSERT_EQ(replay.size(), kPackets);
  for (size_t i = 0; i < kPackets; ++i) {
    ASSERT_EQ(replay[i].packetId, live[i].packetId) << i;
    ASSERT_EQ(replay[i].frame, live[i].frame) << i;
  }
  std::vector<uint8_t> nonDataIds;
  for (const auto& e : played.events(Kind::NonDataMessage)) nonDataIds.push_back(e.messageId);
  EXPECT_EQ(nonDataIds, (std::vector<uint8_t>{0x0D, 0xD1, 0x80, 0x82, 0x84}));
  // Pulls by index and by id give the live packets.
  for (size_t i : {size_t(0), size_t(1), kPackets / 2, kPackets - 1}) {
    OwnedPacket byIndex(player->dataPacketByIndex(static_cast<uint32_t>(i)));
    ASSERT_FALSE(byIndex.empty()) << i;
    EXPECT_EQ(byIndex.p.packetId, live[i].packetId);
    EXPECT_EQ(byIndex.frame(), live[i].frame);
    OwnedPacket byId(player->dataPacketById(static_cast<uint64_t>(live[i].packetId)));
    ASSERT_FALSE(byId.empty()) << i;
    EXPECT_EQ(byId.frame(), live[i].frame);
  }
  player->removeRef();
}

// ---- Consents ------------------------------------------------------------------------------------

// Counts what arrives without taking part in the consents.
class Observer : public ZtCallback {
 public:
  void onDataAvailable(ZtDevice*, const ZtDataPacket*) override { ++data; }
  void onNonDataMessage(ZtDevice*, const ZtMessage*) override { ++nonData; }
  std::atomic<size_t> data{0};
  std::atomic<size_t> nonData{0};
};

bool waitCount(const std::atomic<size_t>& value, size_t n) {
  const auto end = std::chrono::steady_clock::now() + kDeviceRecordingWait;
  while (value.load() < n) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(DeviceRecording, ConsentsDecideWhatIsWritten) {
  struct Row {
    const char* name;
    bool consentHandler;
    bool dataConsent;
    bool messageConsent;
    bool expectData;
    bool expectNonData;
  };
  const Row rows[] = {
      {"no consent handler", false, true, true, true, true},
      {"both given", true, true, true, true, true},
      {"data refused", true, false, true, false, true},
      // The data message of a packet is offered as a message too.
      {"messages refused", true, true, false, false, false},
  };
  constexpr size_t kPackets = 50;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Observer observer;  // handlers outlive the scene, which raises events while it ends
    CallbackRecorder rec;
    RecordingScene s;
    s.addRecorder(&observer);
    if (row.consentHandler) {
      rec.setConsent(Kind::WriteDataToLogFile, row.dataConsent);
      rec.setConsent(Kind::WriteMessageToLogFile, row.messageConsent);
      s.addRecorder(&rec);
    }
    ASSERT_TRUE(s.master()->gotoMeasurement());
    s.emu().setMeasuring(false);
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(waitCount(observer.data, s.emu().dataMessagesSent()));
    const std::string path = s.dir.file("consent.zlog");
    {
      DeviceRecordingText name(path);
      ASSERT_EQ(s.master()->createLogFile(name.s), ZRV_OK);
    }
    ASSERT_TRUE(s.master()->startRecording());
    const size_t seen = observer.data.load();
    ASSERT_EQ(s.emu().sendDataBurst(kPackets), kPackets);
    ASSERT_TRUE(waitCount(observer.data, seen + kPackets));
    ASSERT_TRUE(s.master()->finishLastProcessingTask());
    s.emu().sendFrame(nonData(0x80, {7}));
    ASSERT_TRUE(waitCount(observer.nonData, 1));
    ASSERT_TRUE(s.master()->stopRecording());
    ASSERT_TRUE(s.master()->closeLogFile());

    const std::vector<EmuFrame> frames = framesOf(readFile(path));
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].messageId, 0x0D);  // written by the link itself, without consent
    const auto n = [&frames](uint8_t id) {
      return static_cast<size_t>(
          std::count_if(frames.begin(), frames.end(), [id](const EmuFrame& f) { return f.messageId == id; }));
    };
    EXPECT_EQ(n(DeviceEmulator::Data), row.expectData ? kPackets : 0u);
    EXPECT_EQ(n(0x80), row.expectNonData ? 1u : 0u);
    if (row.consentHandler) {
      // Every recorded packet was offered, and with data consent its message too.
      EXPECT_EQ(rec.count(Kind::WriteDataToLogFile), kPackets);
      EXPECT_EQ(rec.count(Kind::WriteMessageToLogFile), (row.dataConsent ? kPackets : 0u) + 1u);
    }
  }
}

TEST(DeviceRecording, NonDataMessagesAreOfferedWhileNotRecordingAndWrittenOnlyWithConsent) {
  CallbackRecorder rec;
  RecordingScene s;
  s.addRecorder(&rec);
  // No file, configuration state: offered all the same.
  s.emu().sendFrame(nonData(0x80, {1}));
  ASSERT_TRUE(rec.waitFor(Kind::NonDataMessage, 1, kDeviceRecordingWait));
  EXPECT_EQ(rec.count(Kind::WriteMessageToLogFile), 1u);

  const std::string path = s.dir.file("idle.zlog");
  {
    DeviceRecordingText name(path);
    ASSERT_EQ(s.master()->createLogFile(name.s), ZRV_OK);
  }
  EXPECT_FALSE(s.master()->isRecording());
  s.emu().sendFrame(nonData(0x82, {2}));
  ASSERT_TRUE(rec.waitFor(Kind::NonDataMessage, 2, kDeviceRecordingWait));
  rec.setConsent(Kind::WriteMessageToLogFile, false);
  s.emu().sendFrame(nonData(0x84, {3}));
  ASSERT_TRUE(rec.waitFor(Kind::NonDataMessage, 3, kDeviceRecordingWait));
  ASSERT_TRUE(s.master()->closeLogFile());
  EXPECT_EQ(rec.count(Kind::WriteMessageToLogFile), 3u);
  const std::vector<EmuFrame> frames = framesOf(readFile(path));
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].messageId, 0x0D);
  EXPECT_EQ(frames[1].messageId, 0x82);
}

// ---- createLogFile results -----------------------------------------------------------------------

TEST(DeviceRecording, CreateLogFileResults) {
  TempDir dir;
  // 288: a master that plays a file has no port.
  {
    LogFileBuilder b;
    b.configuration(EmulatedMaster::kMasterId).data(0);
    const std::string source = dir.file("source.zlog");
    ASSERT_TRUE(b.writeTo(source));
    auto* link = new Communicator();
    DeviceRecordingText name(source);
    ASSERT_TRUE(link->openLogFile(name.s));
    auto* player = new TestDevice(link);
    player->addRef();
    DeviceRecordingText target(dir.file("copy.zlog"));
    EXPECT_EQ(player->createLogFile(target.s), ZRV_NOPORTOPEN);
    EXPECT_EQ(player->logFileInterface(), nullptr);
    EXPECT_TRUE(readFile(dir.file("copy.zlog")).empty());
    player->removeRef();
  }
  // A device without a link.
  {
    TestDevice bare(ZtDeviceId(0x00111111));
    DeviceRecordingText target(dir.file("bare.zlog"));
    EXPECT_EQ(bare.createLogFile(target.s), ZRV_NOPORTOPEN);
  }
  CallbackRecorder rec;
  RecordingScene s;
  // 268: nothing created, no link left behind, a later create works.
  {
    DeviceRecordingText bad(dir.file("missing/dir/x.zlog"));
    EXPECT_EQ(s.master()->createLogFile(bad.s), ZRV_OUTPUTCANNOTBECREATED);
    EXPECT_EQ(s.master()->logFileInterface(), nullptr);
  }
  // 269: the second call keeps the first file.
  const std::string first = dir.file("first.zlog");
  const std::string second = dir.file("second.zlog");
  {
    DeviceRecordingText name(first);
    ASSERT_EQ(s.master()->createLogFile(name.s), ZRV_OK);
  }
  Communicator* recording = s.master()->logFileInterface();
  ASSERT_NE(recording, nullptr);
  {
    DeviceRecordingText name(second);
    EXPECT_EQ(s.master()->createLogFile(name.s), ZRV_ALREADYOPEN);
  }
  EXPECT_EQ(s.master()->logFileInterface(), recording);
  {
    DeviceRecordingText name(first);
    EXPECT_TRUE(recording->isLogFileOpen(name.s));
  }
  std::ifstream probe(second);
  EXPECT_FALSE(probe.good());
  s.addRecorder(&rec);
  s.emu().sendFrame(nonData(0x80, {5}));
  ASSERT_TRUE(rec.waitFor(Kind::NonDataMessage, 1, kDeviceRecordingWait));
  EXPECT_TRUE(s.master()->closeLogFile());
  EXPECT_TRUE(s.master()->closeLogFile());  // nothing open: still true
  const std::vector<EmuFrame> frames = framesOf(readFile(first));
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].messageId, 0x80);
}

// A master ended with its recording file still open closes it: nothing written is lost and the
// link does not outlive the device.
TEST(DeviceRecording, EndingTheMasterClosesAnOpenRecordingFile) {
  CallbackRecorder rec;
  RecordingScene s;
  s.addRecorder(&rec);
  const std::string path = s.dir.file("left-open.zlog");
  {
    DeviceRecordingText name(path);
    ASSERT_EQ(s.master()->createLogFile(name.s), ZRV_OK);
  }
  s.emu().sendFrame(nonData(0x80, {1, 2}));
  ASSERT_TRUE(rec.waitFor(Kind::NonDataMessage, 1, kDeviceRecordingWait));
  s.scene.end();
  const std::vector<EmuFrame> frames = framesOf(readFile(path));
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].messageId, 0x80);
}

// ---- Closing while recording ---------------------------------------------------------------------

// closeLogFile on the application thread while the processing task writes packets and the parse
// worker writes non-data messages: the file ends with complete frames, the data in it is an
// unbroken run of counters from the start of recording, and nothing is written after the close.
TEST(DeviceRecording, ClosingWhilePacketsAreRecordedAtTheBurstRate) {
#ifdef ZDA_UNDER_SANITIZER
  constexpr size_t kPackets = 8000;
#else
  constexpr size_t kPackets = 40000;
#endif
  Observer observer;
  RecordingScene s;
  s.addRecorder(&observer);
  ASSERT_TRUE(s.master()->gotoMeasurement());
  s.emu().setMeasuring(false);
  std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(waitCount(observer.data, s.emu().dataMessagesSent()));
  const std::string path = s.dir.file("closed-midway.zlog");
  {
    DeviceRecordingText name(path);
    ASSERT_EQ(s.master()->createLogFile(name.s), ZRV_OK);
  }
  ASSERT_TRUE(s.master()->startRecording());
  const uint32_t firstCounter = s.emu().dataMessagesSent();
  const size_t seen = observer.data.load();
  std::atomic<bool> stop{false};
  std::thread burst([&] { s.emu().sendDataBurst(kPackets); });
  std::thread chatter([&] {
    uint8_t n = 0;
    while (!stop.load()) {
      s.emu().sendFrame(nonData(0x80, {n++}));
      std::this_thread::sleep_for(200us);
    }
  });
  ASSERT_TRUE(waitCount(observer.data, seen + kPackets / 4));
  EXPECT_TRUE(s.master()->closeLogFile());
  const Bytes atClose = readFile(path);
  burst.join();
  stop = true;
  chatter.join();
  ASSERT_TRUE(waitCount(observer.data, seen + kPackets));
  ASSERT_TRUE(s.master()->stopRecording());

  const Bytes bytes = readFile(path);
  EXPECT_EQ(bytes, atClose);
  size_t leftover = 1;
  const std::vector<EmuFrame> frames = framesOf(bytes, &leftover);
  EXPECT_EQ(leftover, 0u);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames[0].messageId, 0x0D);
  uint32_t next = firstCounter;
  size_t data = 0;
  for (const EmuFrame& f : frames) {
    if (f.messageId != DeviceEmulator::Data) continue;
    ASSERT_EQ(f.payload, s.emu().defaultDataPayload(static_cast<uint16_t>(next))) << data;
    ++next;
    ++data;
  }
  EXPECT_GT(data, 0u);
  EXPECT_LT(data, kPackets);
}

// ---- Playback controls ---------------------------------------------------------------------------

class PlaybackControls : public ::testing::Test {
 protected:
  void open(size_t packets) {
    LogFileBuilder b;
    b.configuration(EmulatedMaster::kMasterId, {EmulatedMaster::kMasterId});
    for (size_t i = 0; i < packets; ++i) b.data(static_cast<uint16_t>(i), 8);
    path = dir.file("play.zlog");
    ASSERT_TRUE(b.writeTo(path));
    size = static_cast<int64_t>(b.bytes().size());
    auto* link = new Communicator();
    DeviceRecordingText name(path);
    const bool opened = link->openLogFile(name.s);
    device = new TestDevice(link);
    ASSERT_TRUE(opened);
    device->setSupportedRates({100});
    device->createDataCache();
    device->addCallbackHandler(&rec, true);  // chained: the link's progress reaches it
    device->addRef();
  }
  void TearDown() override {
    if (device) device->removeRef();
  }
  bool progressReached(int value, std::chrono::milliseconds timeout) {
    return rec.waitUntil(
        [value](const std::vector<CallbackRecorder::Event>& events) {
          return std::any_of(events.begin(), events.end(), [value](const CallbackRecorder::Event& e) {
            return e.kind == Kind::ProgressUpdated && e.values[0] >= value;
          });
        },
        timeout);
  }

  TempDir dir;
  std::string path;
  int64_t size = 0;
  TestDevice* device = nullptr;
  CallbackRecorder rec;
};

TEST_F(PlaybackControls, ProgressReachesAHandlerChainedOnTheDeviceUpToOneHundred) {
  open(2000);
  EXPECT_EQ(device->peekMessageId(), 0x0D);
  EXPECT_EQ(device->logFileReadPosition(), 0u);
  EXPECT_EQ(device->logFileSize(), size);
  ASSERT_TRUE(device->loadLogFile());
  ASSERT_TRUE(progressReached(100, kDeviceRecordingWait));
  ASSERT_TRUE(device->abortLoadLogFile());  // also waits for the load's task
  const auto progress = rec.events(Kind::ProgressUpdated);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back().values[0], 100);
  EXPECT_EQ(progress.back().values[1], 100);
  for (size_t i = 1; i < progress.size(); ++i) EXPECT_LT(progress[i - 1].values[0], progress[i].values[0]);
  EXPECT_EQ(rec.count(Kind::DataAvailable), 2000u);
  // At the end of the file.
  EXPECT_EQ(device->logFileReadPosition(), static_cast<uint64_t>(size));
  EXPECT_EQ(device->peekMessageId(), 0);
  ZtString name = device->logFileName();
  EXPECT_EQ(std::string(ZtString_c_str(&name)).find("play.zlog") != std::string::npos, true);
  ZtString_destruct(&name);
}

TEST_F(PlaybackControls, AbortFromAnotherThreadStopsTheLoad) {
#ifdef ZDA_UNDER_SANITIZER
  constexpr size_t kPackets = 100000;
#else
  constexpr size_t kPackets = 300000;
#endif
  open(kPackets);
  ASSERT_TRUE(device->loadLogFile());
  ASSERT_TRUE(progressReached(1, kDeviceRecordingWait));
  std::thread aborter([this] { EXPECT_TRUE(device->abortLoadLogFile()); });
  aborter.join();
  const size_t delivered = rec.count(Kind::DataAvailable);
  EXPECT_LT(delivered, kPackets);
  for (const auto& e : rec.events(Kind::ProgressUpdated)) EXPECT_LT(e.values[0], 100);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(rec.count(Kind::DataAvailable), delivered);  // nothing after the abort returned
  EXPECT_LT(device->logFileReadPosition(), static_cast<uint64_t>(size));
}

TEST_F(PlaybackControls, ResetReadPositionGivesTheFirstPacketAgain) {
  open(500);
  {
    OwnedPacket far(device->dataPacketById(300));  // reads the file up to it
    ASSERT_FALSE(far.empty());
    EXPECT_EQ(far.p.packetId, 300);
  }
  EXPECT_GT(device->logFileReadPosition(), 0u);
  ASSERT_TRUE(device->resetLogFileReadPosition());
  EXPECT_EQ(device->logFileReadPosition(), 0u);
  EXPECT_EQ(device->queueLength(), 0u);
  OwnedPacket first(device->dataPacketByIndex(0));
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first.p.packetId, 0);
  EXPECT_EQ(ZtDataPacket_packetCounter(&first.p), 0);
}

TEST(DeviceRecordingAccessors, ALiveOrLinklessDeviceHasNoPlaybackFile) {
  RecordingScene s;
  EXPECT_EQ(s.master()->logFileReadPosition(), ~uint64_t(0));
  EXPECT_EQ(s.master()->logFileSize(), 0);
  EXPECT_EQ(s.master()->peekMessageId(), 0);
  EXPECT_FALSE(s.master()->loadLogFile());
  EXPECT_FALSE(s.master()->abortLoadLogFile());
  EXPECT_FALSE(s.master()->resetLogFileReadPosition());
  ZtString name = s.master()->logFileName();
  EXPECT_TRUE(ZtString_empty(&name));
  ZtString_destruct(&name);
  TestDevice bare(ZtDeviceId(0x00111111));
  EXPECT_EQ(bare.logFileReadPosition(), ~uint64_t(0));
  EXPECT_EQ(bare.peekMessageId(), 0);
  EXPECT_FALSE(bare.readDeviceConfiguration());
  // The const form is a copy the caller owns; the other form changes the master's.
  const TestDevice& constMaster = *s.master();
  ZtDeviceConfiguration copy = constMaster.deviceConfiguration();
  EXPECT_EQ(copy.masterDeviceId, EmulatedMaster::kMasterId);
  copy.masterDeviceId = 1;
  EXPECT_EQ(s.master()->deviceConfiguration().masterDeviceId, EmulatedMaster::kMasterId);
  ZtDeviceConfiguration_destruct(&copy);
}

}  // namespace
