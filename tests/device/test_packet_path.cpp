// The road of a message from an emulated port to the application: routing of data, legacy and
// other messages, the missed-packet check and its journal line, stamping, the per-device
// processing chain, the queue modes and the end of a device that still has packets queued.
#include <gtest/gtest.h>

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device/cache/IPacketDataCache.h"
#include "foundation/DebugTools.h"
#include "foundation/JournalMacros.h"
#include "foundation/ThreadPool.h"
#include "support/CallbackRecorder.h"
#include "support/PtyPort.h"
#include "support/TempDir.h"
#include "support/TestDevice.h"
#include "support/ZtValues.h"
#include "support/emulator/DeviceEmulator.h"
#include "transport/legacy/LegacyDataPacket.h"
#include "transport/link/Communicator.h"

using zelto::test::DeviceEmulator;
using zelto::test::EmuFrame;
using zelto::test::FdEmulatorLink;
using zelto::test::PtyPort;
using zelto::test::TempDir;
using zelto::test::TestDevice;
using Kind = CallbackRecorder::Kind;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

namespace {

#ifdef ZDA_UNDER_SANITIZER
constexpr auto kPacketPathWait = 10000ms;
#else
constexpr auto kPacketPathWait = 4000ms;
#endif

constexpr ZtDeviceId kId = 0x00345678;

Bytes pc16(uint16_t c) { return {0x10, 0x20, 2, static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c)}; }
Bytes pc8(uint8_t c) { return {0x10, 0x30, 1, c}; }
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The 16-bit counter of a recorded 0x36 frame whose first item is the counter.
int frameCounter(const CallbackRecorder::Event& e) {
  if (e.frame.size() < 9) return -1;
  return (e.frame[7] << 8) | e.frame[8];
}

struct PacketPathOwnedPacket {
  ZtDataPacket p;
  explicit PacketPathOwnedPacket(ZtDataPacket packet) : p(packet) {}
  ~PacketPathOwnedPacket() { ZtDataPacket_destruct(&p); }
  PacketPathOwnedPacket(const PacketPathOwnedPacket&) = delete;
  PacketPathOwnedPacket& operator=(const PacketPathOwnedPacket&) = delete;
  bool empty() const { return ZtDataPacket_empty(&p) != 0; }
};

// Keeps a copy of every packet handed to onDataAvailable.
class PacketSink : public ZtCallback {
 public:
  ~PacketSink() override {
    for (ZtDataPacket& p : m_packets) ZtDataPacket_destruct(&p);
  }
  void onDataAvailable(ZtDevice*, const ZtDataPacket* packet) override {
    ZtDataPacket copy;
    ZtDataPacket_constructCopy(&copy, packet);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_packets.push_back(copy);
  }
  size_t size() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_packets.size();
  }
  // Valid while no packet arrives.
  const ZtDataPacket& at(size_t i) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_packets.at(i);
  }

 private:
  std::mutex m_mutex;
  std::vector<ZtDataPacket> m_packets;
};

class PacketPathFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    journalPath = dir.file("zda.log");
    journal = new Journaller(journalPath.c_str(), true, JLL_ALERT);
    gJournal.store(journal);
    emu = std::make_unique<DeviceEmulator>(std::make_unique<FdEmulatorLink>(dup(pty.masterFd())));
    emu->setDeviceId(kId);
    emu->setDataRate(500);
    emu->start();
    link = new Communicator();
    link->setGotoConfigTimeout(1000);
    ZtString name;
    ZtString_construct(&name, pty.slavePath().c_str());
    const bool open = link->openPort(name, B921600);
    ZtString_destruct(&name);
    device = new TestDevice(link);
    ASSERT_TRUE(open);
    device->setSupportedRates({100});
    device->createDataCache();
    // Chained: the link's own events (a hang-up) reach the recorder too.
    device->addCallbackHandler(&rec, true);
    device->addRef();
  }
  void TearDown() override {
    if (device) device->removeRef();
    emu->stop();
    gJournal.store(nullptr);
    delete journal;
  }

  // Journal lines holding the text (missed-packet reports by default) written since the last call
  // for that text.
  std::vector<std::string> newJournalLines(const std::string& text = "Detected(") {
    journal->flushFile();
    std::ifstream in(journalPath);
    std::vector<std::string> found;
    std::string line;
    size_t index = 0;
    size_t& seen = m_journalSeen[text];
    while (std::getline(in, line))
      if (line.find(text) != std::string::npos && index++ >= seen) found.push_back(line);
    seen += found.size();
    return found;
  }

  TempDir dir;
  std::string journalPath;
  Journaller* journal = nullptr;
  PtyPort pty;
  std::unique_ptr<DeviceEmulator> emu;
  Communicator* link = nullptr;
  TestDevice* device = nullptr;
  CallbackRecorder rec;

 private:
  std::map<std::string, size_t> m_journalSeen;
};

TEST_F(PacketPathFixture, PacketsReachTheApplicationInCounterOrderWithRisingIds) {
  constexpr size_t kCount = 1500;
  emu->scriptCounters({65000});  // the counters wrap on the way
  ASSERT_EQ(emu->sendDataBurst(kCount), kCount);
  ASSERT_TRUE(rec.waitFor(Kind::DataAvailable, kCount, kPacketPathWait));
  const auto events = rec.events(Kind::DataAvailable);
  ASSERT_EQ(events.size(), kCount);
  for (size_t i = 0; i < kCount; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(events[i].device, device);
    EXPECT_EQ(events[i].packetDeviceId, kId);
    EXPECT_EQ(events[i].packetId, static_cast<int64_t>(65000 + i));
    EXPECT_EQ(frameCounter(events[i]), static_cast<int>((65000 + i) & 0xFFFF));
    if (i > 0) {
      ASSERT_GT(events[i].packetId, events[i - 1].packetId);
    }
  }
  EXPECT_EQ(rec.count(Kind::MissedPackets), 0u);
  EXPECT_EQ(rec.count(Kind::Error), 0u);
  EXPECT_EQ(device->highestPacket()->packetId, static_cast<int64_t>(65000 + kCount - 1));
  // Queue mode 0: callbacks only.
  EXPECT_EQ(device->queueLength(), 0u);
  PacketPathOwnedPacket none(device->nextAvailableDataPacket());
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(device->droppedPacketCount(), 0u);
}

TEST_F(PacketPathFixture, MissedPacketReportsThroughTheEmulator) {
  struct Report {
    int count, first, last;
  };
  struct Row {
    const char* name;
    std::vector<uint16_t> counters;  // scripted emulator counters (16-bit items), or
    std::vector<Bytes> payloads;     // data payloads sent as they are
    std::vector<Report> reports;
    std::string journal;  // the expected line's text, when reported
    size_t dropped = 0;   // packets stamped before the first one of the stream
  };
  const std::string by = " packets have been missed by device 00345678, continuing at ";
  const Row rows[] = {
      {"wrap", {65535, 1}, {}, {{1, 0, 0}}, "Detected(16 bit) 1" + by + "1, previous was 65535"},
      {"repeat", {10, 10}, {}, {}, ""},
      {"next", {10, 11}, {}, {}, ""},
      {"late", {11, 10}, {}, {}, ""},
      {"far back", {1000, 10}, {}, {}, ""},
      {"skip", {10, 20}, {}, {{9, 11, 19}}, "Detected(16 bit) 9" + by + "20, previous was 10"},
      {"half a period ahead is late, here before the first packet", {0, 32768}, {}, {}, "", 1},
      // Further ahead than a plausible step: reported once the packet after it confirms the jump.
      {"just under half a period", {0, 32767}, {}, {}, ""},
      {"a long loss, confirmed", {0, 20000, 20003}, {}, {{19999, 1, 19999}, {2, 20001, 20002}},
       "Detected(16 bit) 19999" + by + "20000, previous was 0"},
      {"a corrupted counter behind the stream", {8388, 64255, 8391}, {}, {{2, 8389, 8390}},
       "Detected(16 bit) 2" + by + "8391, previous was 8388", 1},
      {"a corrupted counter far ahead", {8388, 30000, 8389, 8392}, {}, {{2, 8390, 8391}},
       "Detected(16 bit) 2" + by + "8392, previous was 8389"},
      {"repeat, go back, skip", {10, 10, 11, 9, 20}, {}, {{8, 12, 19}}, "Detected(16 bit) 8" + by + "20, previous was 11"},
      {"8 bit decides without a new 16-bit counter", {}, {pc16(100) + pc8(250), pc8(3)}, {{8, 251, 2}},
       "Detected(8 bit) 8" + by + "3, previous was 250"},
      {"8 bit wrap", {}, {pc8(255), pc8(1)}, {{1, 0, 0}}, "Detected(8 bit) 1" + by + "1, previous was 255"},
      {"8 bit late", {}, {pc8(10), pc8(9)}, {}, ""},
      {"no common counter", {}, {pc16(5), pc8(100)}, {}, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    device->resetPacketStamping();
    rec.clear();
    size_t sent = 0;
    if (!row.counters.empty()) {
      emu->scriptCounters(row.counters);
      sent = emu->sendDataBurst(row.counters.size());
    } else {
      for (const Bytes& payload : row.payloads) emu->sendFrame(EmuFrame{0xFF, 0x36, payload});
      sent = row.payloads.size();
    }
    ASSERT_TRUE(rec.waitFor(Kind::DataAvailable, sent - row.dropped, kPacketPathWait));
    const auto missed = rec.events(Kind::MissedPackets);
    ASSERT_EQ(missed.size(), row.reports.size());
    const auto errors = rec.events(Kind::Error);
    ASSERT_EQ(errors.size(), row.reports.size());
    for (size_t i = 0; i < missed.size(); ++i) {
      EXPECT_EQ(missed[i].device, device);
      EXPECT_EQ(missed[i].values[0], row.reports[i].count);
      EXPECT_EQ(missed[i].values[1], row.reports[i].first);
      EXPECT_EQ(missed[i].values[2], row.reports[i].last);
      EXPECT_EQ(errors[i].values[0], ZRV_MISSEDPACKETS);
      EXPECT_LT(errors[i].sequence, missed[i].sequence);
    }
    // Reported or not, every packet is processed, but for one with a negative id (none).
    EXPECT_EQ(rec.count(Kind::DataAvailable), sent - row.dropped);
    for (const auto& e : rec.events(Kind::DataAvailable)) EXPECT_GE(e.packetId, 0);
    const auto drops = newJournalLines("stamped before the first packet");
    EXPECT_EQ(drops.size(), row.dropped);
    const auto lines = newJournalLines();
    ASSERT_EQ(lines.size(), row.reports.size());
    if (!row.journal.empty()) {
      EXPECT_NE(lines[0].find(row.journal), std::string::npos) << lines[0];
      EXPECT_NE(lines[0].find("handleDataPacket"), std::string::npos) << lines[0];
    }
  }
}

TEST_F(PacketPathFixture, TheFirstPacketAfterGotoMeasurementReportsNothing) {
  emu->scriptCounters({10});
  ASSERT_EQ(emu->sendDataBurst(1), 1u);
  ASSERT_TRUE(rec.waitFor(Kind::DataAvailable, 1, kPacketPathWait));
  // The measurement restarts the device's counter far ahead: against the old reference that
  // would be 89 missed packets. The device's own gotoMeasurement forgets the stamping first; it
  // is driven here step by step on the link.
  emu->setStartCounter(100);
  device->resetPacketStamping();
  EXPECT_TRUE(ZtDataPacket_empty(device->highestPacket()));
  ASSERT_EQ(link->gotoMeasurement(), ZRV_OK);
  ASSERT_TRUE(rec.waitFor(Kind::DataAvailable, 4, kPacketPathWait));
  EXPECT_EQ(link->gotoConfig(false), ZRV_OK);
  const auto events = rec.events(Kind::DataAvailable);
  EXPECT_EQ(events[1].packetId, 100);  // stamped from its raw counter
  EXPECT_EQ(events[2].packetId, 101);
  EXPECT_EQ(rec.count(Kind::MissedPackets), 0u);
  EXPECT_EQ(rec.count(Kind::Error), 0u);
  EXPECT_TRUE(newJournalLines().empty());
}

TEST_F(PacketPathFixture, QueueModesFillTheReadyCache) {
  struct Row {
    ZtQueueMode mode;
    size_t length;
    std::vector<int64_t> pulls;  // ids in pull order; -1 = an empty packet
  };
  const Row rows[] = {
      {ZQM_CallbacksOnly, 0, {-1}},
      {ZQM_Queue, 5, {0, 1, 2, 3, 4, -1}},
      {ZQM_LatestOnly, 1, {4, 4}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.mode);
    device->flushInputBuffers(true);
    device->resetPacketStamping();
    ASSERT_TRUE(device->setQueueMode(row.mode));
    EXPECT_EQ(device->queueMode(), row.mode);
    rec.clear();
    emu->scriptCounters({0});
    ASSERT_EQ(emu->sendDataBurst(5), 5u);
    ASSERT_TRUE(rec.waitFor(Kind::DataAvailable, 5, kPacketPathWait));
    ASSERT_TRUE(device->finishLastProcessingTask());
    EXPECT_EQ(device->queueLength(), row.length);
    size_t length = row.length;
    for (int64_t id : row.pulls) {
      PacketPathOwnedPacket p(device->nextAvailableDataPacket());
      if (id < 0) {
        EXPECT_TRUE(p.empty());
        continue;
      }
      ASSERT_FALSE(p.empty());
      EXPECT_EQ(p.p.packetId, id);
      EXPECT_EQ(ZtDataPacket_packetCounter(&p.p), id);
      if (row.mode == ZQM_Queue) --length;
      EXPECT_EQ(device->queueLength(), length);
    }
  }
}

TEST_F(PacketPathFixture, ConcurrentPullsInQueueModeOneTakeEachPacketOnce) {
  constexpr size_t kCount = 2000;
  device->setQueueMode(ZQM_Queue);
  std::atomic<size_t> taken{0};
  std::vector<std::vector<int64_t>> got(3);
  std::vector<std::thread> pullers;
  const auto deadline = std::chrono::steady_clock::now() + kPacketPathWait;
  for (auto& ids : got)
    pullers.emplace_back([&] {
      while (taken.load() < kCount && std::chrono::steady_clock::now() < deadline) {
        PacketPathOwnedPacket p(device->nextAvailableDataPacket());
        if (p.empty()) {
          std::this_thread::yield();
          continue;
        }
        ids.push_back(p.p.packetId);
        ++taken;
      }
    });
  ASSERT_EQ(emu->sendDataBurst(kCount), kCount);
  for (auto& t : pullers) t.join();
  std::vector<int64_t> all;
  for (const auto& ids : got) {
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));  // oldest first for each puller
    all.insert(all.end(), ids.begin(), ids.end());
  }
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), kCount);
  for (size_t i = 0; i < kCount; ++i) ASSERT_EQ(all[i], static_cast<int64_t>(i));
  EXPECT_EQ(device->queueLength(), 0u);
}

TEST_F(PacketPathFixture, LegacyMessagesGivePacketsWhoseItemsEqualTheLegacyGetters) {
  struct Row {
    uint16_t mode;
    uint32_t settings;
  };
  // Calibrated data, quaternion and status byte in floats; Euler angles in doubles.
  const Row rows[] = {{0x806, 0x1}, {0x4, 0x305}};
  PacketSink sink;
  // The configuration is changed while the link runs. The parse task takes the link's protocol
  // lock before it hands a message on, so asking the link after each change publishes the change
  // to it (the bytes in between travel through the kernel, where no race checker sees them).
  const auto publish = [&] { (void)link->hasProtocol(ZPT_Zbus); };
  device->addCallbackHandler(&sink, false);
  device->setConfiguredDevices({kId});
  publish();
  size_t seen = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.settings);
    device->setConfiguredFormat(0, row.mode, row.settings);
    publish();
    emu->setLegacyDevices({{kId, row.mode, row.settings}});
    device->resetPacketStamping();
    emu->scriptCounters({7});
    ASSERT_EQ(emu->sendDataBurst(3), 3u);
    const auto ready = [&] { return sink.size() >= seen + 3; };
    const auto until = std::chrono::steady_clock::now() + kPacketPathWait;
    while (!ready() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(ready());
    for (size_t i = 0; i < 3; ++i) {
      const ZtDataPacket& p = sink.at(seen + i);
      const uint16_t counter = static_cast<uint16_t>(7 + i);
      EXPECT_EQ(p.packetId, counter);
      EXPECT_EQ(p.deviceId, kId);
      ASSERT_FALSE(ZtMessage_empty(&p.original));
      LegacyDataPacket legacy(1, false);
      legacy.setMessage(p.original);
      legacy.setDataFormat(row.mode, row.settings, 0);
      EXPECT_EQ(ZtDataPacket_packetCounter(&p), legacy.packetCounter(0));
      EXPECT_EQ(legacy.packetCounter(0), counter);
      if (row.mode & 0x2) {
        ZtCalibratedData data;
        ASSERT_NE(ZtDataPacket_calibratedData(&p, &data), nullptr);
        const ZtCalibratedData expected = legacy.calibratedData(0);
        for (int k = 0; k < 3; ++k) {
          EXPECT_EQ(data.acc[k], expected.acc[k]);
          EXPECT_EQ(data.gyr[k], expected.gyr[k]);
          EXPECT_EQ(data.mag[k], expected.mag[k]);
        }
        EXPECT_EQ(data.acc[0], DeviceEmulator::legacyValue(counter, 0, 0));
        EXPECT_EQ(data.mag[2], DeviceEmulator::legacyValue(counter, 0, 8));
      }
      if ((row.mode & 0x4) && (row.settings & 0xC) == 0) {
        ZtQuaternion q;
        ASSERT_NE(ZtDataPacket_orientationQuaternion(&p, ZDI_FrameNwu, &q), nullptr);
        const ZtQuaternion expected = legacy.orientationQuaternion(0);
        EXPECT_EQ(q.w, expected.w);
        EXPECT_EQ(q.x, expected.x);
        EXPECT_EQ(q.y, expected.y);
        EXPECT_EQ(q.z, expected.z);
        EXPECT_EQ(q.w, DeviceEmulator::legacyValue(counter, 0, 9));
      }
      if ((row.mode & 0x4) && (row.settings & 0xC) == 4) {
        ZtEuler e;
        ASSERT_NE(ZtDataPacket_orientationEuler(&p, ZDI_FrameNwu, &e), nullptr);
        const ZtEuler expected = legacy.orientationEuler(0);
        EXPECT_EQ(e.roll, expected.roll);
        EXPECT_EQ(e.pitch, expected.pitch);
        EXPECT_EQ(e.yaw, expected.yaw);
        EXPECT_EQ(e.roll, DeviceEmulator::legacyValue(counter, 0, 0));
      }
      if (row.mode & 0x800) {
        EXPECT_EQ(ZtDataPacket_statusByte(&p), legacy.status(0));
        EXPECT_EQ(ZtDataPacket_statusByte(&p), static_cast<uint8_t>(counter));
      }
    }
    seen += 3;
  }
  EXPECT_EQ(rec.count(Kind::MissedPackets), 0u);
  device->removeCallbackHandler(&sink, false);
}

TEST_F(PacketPathFixture, NonDataMessagesReachTheApplicationAndErrorsCarryTheirCode) {
  emu->sendFrame(EmuFrame{0xFF, 0x80, {1, 2, 3}});
  emu->sendFrame(EmuFrame{0xFF, 0x42, {7}});
  emu->sendFrame(EmuFrame{0xFF, 0x42, {}});  // no code: must not be read past the payload
  ASSERT_TRUE(rec.waitFor(Kind::NonDataMessage, 3, kPacketPathWait));
  ASSERT_TRUE(rec.waitFor(Kind::Error, 2, kPacketPathWait));
  const auto messages = rec.events(Kind::NonDataMessage);
  EXPECT_EQ(messages[0].messageId, 0x80);
  EXPECT_EQ(messages[1].messageId, 0x42);
  EXPECT_EQ(messages[2].messageId, 0x42);
  for (const auto& m : messages) EXPECT_EQ(m.device, device);
  const auto errors = rec.events(Kind::Error);
  EXPECT_EQ(errors[0].values[0], 7);
  EXPECT_EQ(errors[1].values[0], ZRV_ERROR);
  // A live master asks the consent for each one, also without a recording file.
  const auto consents = rec.events(Kind::WriteMessageToLogFile);
  ASSERT_EQ(consents.size(), 3u);
  EXPECT_EQ(consents[0].messageId, 0x80);
  EXPECT_EQ(device->logFileInterface(), nullptr);
  EXPECT_EQ(rec.count(Kind::DataAvailable), 0u);
}

// The processing of a packet is kept to run on the worker that parsed it; a callback raised on
// that worker by a later message of the same read may still wait for the packet's delivery.
TEST_F(PacketPathFixture, ACallbackOnTheParsingWorkerMayWaitForPacketsParsedBeforeIt) {
  struct Waiter : ZtCallback {
    std::mutex mutex;
    std::condition_variable changed;
    int delivered = 0;
    int waits = 0;
    int served = 0;
    int finished = 0;
    void onDataAvailable(ZtDevice*, const ZtDataPacket*) override {
      std::lock_guard<std::mutex> lock(mutex);
      ++delivered;
      changed.notify_all();
    }
    void onNonDataMessage(ZtDevice*, const ZtMessage* message) override {
      if (ZtMessage_getMessageId(message) != 0x80) return;
      std::unique_lock<std::mutex> lock(mutex);
      const int before = ++waits;  // this many packets precede the message
      if (changed.wait_for(lock, 2s, [&] { return delivered >= before; })) ++served;
      ++finished;
      changed.notify_all();
    }
  } waiter;
  device->addCallbackHandler(&waiter, false);
  for (uint16_t i = 0; i < 5; ++i) {
    // One write: the packet and the message are parsed by one task.
    Bytes both = EmuFrame{0xFF, 0x36, {0x10, 0x20, 2, 0, static_cast<uint8_t>(i), 0, 0, 0}}.encode();
    const Bytes message = EmuFrame{0xFF, 0x80, {1}}.encode();
    both.insert(both.end(), message.begin(), message.end());
    EXPECT_TRUE(pty.send(both));
    EXPECT_TRUE(rec.waitFor(Kind::NonDataMessage, i + 1u, kPacketPathWait));
  }
  {
    std::unique_lock<std::mutex> lock(waiter.mutex);
    EXPECT_TRUE(waiter.changed.wait_for(lock, kPacketPathWait, [&] { return waiter.finished == 5; }));
    EXPECT_EQ(waiter.waits, 5);
    EXPECT_EQ(waiter.served, 5) << "a packet parsed before the message was held back behind its callback";
  }
  device->removeCallbackHandler(&waiter, false);
}

TEST_F(PacketPathFixture, HangUpWhileMeasuringReportsTheClosedPort) {
  ASSERT_EQ(link->gotoMeasurement(), ZRV_OK);
  ASSERT_TRUE(rec.waitFor(Kind::DataAvailable, 5, kPacketPathWait));
  emu->hangUp();
  pty.hangUp();
  ASSERT_TRUE(rec.waitUntil(
      [](const std::vector<CallbackRecorder::Event>& events) {
        return std::any_of(events.begin(), events.end(), [](const CallbackRecorder::Event& e) {
          return e.kind == Kind::Error && e.values[0] == ZRV_PORTCLOSED;
        });
      },
      kPacketPathWait));
  EXPECT_FALSE(link->isPortOpen());
  const auto start = std::chrono::steady_clock::now();
  device->removeRef();
  device = nullptr;
  EXPECT_LT(std::chrono::steady_clock::now() - start, kPacketPathWait);
}

TEST_F(PacketPathFixture, AMeasuringDeviceRemovedWithPacketsQueuedIsSilentAfterwards) {
  std::atomic<bool> removed{false};
  std::atomic<int> late{0};
  rec.setHook([&](const CallbackRecorder::Event& e) {
    if (removed.load()) ++late;
    if (e.kind == Kind::DataAvailable) std::this_thread::sleep_for(200us);
  });
  ASSERT_EQ(link->gotoMeasurement(), ZRV_OK);
  ASSERT_EQ(emu->sendDataBurst(400), 400u);
  ASSERT_TRUE(rec.waitFor(Kind::DataAvailable, 20, kPacketPathWait));
  device->removeRef();
  removed = true;
  device = nullptr;
  const size_t delivered = rec.count(Kind::DataAvailable);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(late.load(), 0);
  EXPECT_EQ(rec.count(Kind::DataAvailable), delivered);
  rec.setHook(nullptr);
}

// ---- Without a port: the parsing worker's calls made by the test -------------------------------

struct DirectDevice {
  TestDevice* device;
  CallbackRecorder rec;
  DirectDevice() : device(new TestDevice(new Communicator())) {
    device->setDeviceId(kId);
    device->setSupportedRates({100});
    device->createDataCache();
    device->addCallbackHandler(&rec, false);
    device->addRef();
  }
  ~DirectDevice() {
    if (device) device->removeRef();
  }
  void send(const Bytes& payload) {
    zelto::test::Message m(0x36, payload);
    device->handleMessage(m.m);
  }
};

class StateTask : public zelto::ThreadPoolTask {
 public:
  explicit StateTask(ZtDevice* device) : m_device(device) {}
  bool exec() override {
    m_device->updateDeviceState(ZDS_Measurement);
    return true;
  }

 private:
  ZtDevice* m_device;
};

TEST(PacketPathDirect, AStateChangeQueuedAfterPacketsIsSeenAfterThem) {
  DirectDevice d;
  d.rec.setHook([](const CallbackRecorder::Event& e) {
    if (e.kind == Kind::DataAvailable) std::this_thread::sleep_for(100us);
  });
  constexpr int kCount = 60;
  for (int i = 0; i < kCount; ++i) d.send(pc16(static_cast<uint16_t>(i)));
  // Queued as the state machine queues its changes: behind the device's last task.
  const unsigned id = zelto::ThreadPool::instance()->addTask(new StateTask(d.device), d.device->lastScheduledProcessTask());
  d.device->setLastScheduledProcessTask(id);
  ASSERT_TRUE(d.device->finishLastProcessingTask());
  const auto data = d.rec.events(Kind::DataAvailable);
  const auto states = d.rec.events(Kind::DeviceStateChanged);
  ASSERT_EQ(data.size(), static_cast<size_t>(kCount));
  ASSERT_EQ(states.size(), 1u);
  EXPECT_GT(states[0].sequence, data.back().sequence);
  for (int i = 0; i < kCount; ++i) EXPECT_EQ(data[static_cast<size_t>(i)].packetId, i);
  d.rec.setHook(nullptr);
}

TEST(PacketPathDirect, PacketsWithOneIdAreMergedInTheQueue) {
  DirectDevice d;
  d.device->setQueueMode(ZQM_Queue);
  const Bytes status = {0xE0, 0x10, 1, 0x5A};
  const Bytes temperature = {0x08, 0x10, 4, 0x41, 0xC8, 0x00, 0x00};  // 25.0 as a float
  d.send(pc16(10) + status);
  d.send(pc16(10) + temperature);
  ASSERT_TRUE(d.device->finishLastProcessingTask());
  EXPECT_EQ(d.device->queueLength(), 1u);
  PacketPathOwnedPacket p(d.device->nextAvailableDataPacket());
  ASSERT_FALSE(p.empty());
  EXPECT_EQ(p.p.packetId, 10);
  EXPECT_EQ(ZtDataPacket_statusByte(&p.p), 0x5A);
  EXPECT_EQ(ZtDataPacket_temperature(&p.p), 25.0);
  EXPECT_EQ(d.rec.count(Kind::MissedPackets), 0u);
}

TEST(PacketPathDirect, TheWorkingCacheIsFlushedWithConsentWhileRecording) {
  struct Row {
    ZtDeviceState state;
    bool dataConsent;
    size_t dataAsks, messageAsks;
  };
  const Row rows[] = {
      {ZDS_Measurement, true, 0, 0},  // not recording: dropped without an event
      {ZDS_Recording, true, 3, 3},
      {ZDS_Recording, false, 3, 0},  // refused data: its message is not offered
      {ZDS_FlushingData, true, 3, 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.state);
    DirectDevice d;
    d.device->setState(row.state);
    d.rec.setConsent(Kind::WriteDataToLogFile, row.dataConsent);
    for (uint16_t c = 1; c <= 3; ++c) d.send(pc16(c));
    ASSERT_TRUE(d.device->finishLastProcessingTask());
    EXPECT_EQ(d.rec.count(Kind::WriteDataToLogFile), row.dataAsks);
    const auto messages = d.rec.events(Kind::WriteMessageToLogFile);
    ASSERT_EQ(messages.size(), row.messageAsks);
    // The original message of each packet, oldest first.
    for (size_t i = 0; i < messages.size(); ++i) {
      EXPECT_EQ(messages[i].messageId, 0x36);
      ASSERT_GE(messages[i].frame.size(), 9u);
      EXPECT_EQ(messages[i].frame[8], i + 1);
    }
    EXPECT_TRUE(d.device->workingCache()->empty());
    EXPECT_EQ(d.rec.count(Kind::DataAvailable), 3u);
  }
}

std::atomic<int> gBreaks{0};

TEST(PacketPathDirect, CacheErrorsBreakIntoTheDebuggerAndProcessingGoesOn) {
  DirectDevice d;
  // A fast-index ready cache refuses the removal that queue mode 2 makes.
  zelto::PacketDataCacheConfiguration configuration{false, true, true};
  d.device->setReadyCache(zelto::IPacketDataCache::create(nullptr, configuration, 0));
  d.device->setQueueMode(ZQM_LatestOnly);
  gBreaks = 0;
  zelto::DebugTools::setDebugBreaker([] { ++gBreaks; });
  d.send(pc16(1));
  d.send(pc16(2));
  ASSERT_TRUE(d.device->finishLastProcessingTask());
  zelto::DebugTools::setDebugBreaker(nullptr);
  EXPECT_EQ(gBreaks.load(), 1);
  EXPECT_EQ(d.rec.count(Kind::DataAvailable), 2u);
}

TEST(PacketPathDirect, AWaitFromTheDevicesOwnTaskIsRefused) {
  DirectDevice d;
  std::atomic<int> fromTask{-1};
  d.rec.setHook([&](const CallbackRecorder::Event& e) {
    if (e.kind == Kind::DataAvailable) fromTask = d.device->finishLastProcessingTask() ? 1 : 0;
  });
  d.send(pc16(1));
  ASSERT_TRUE(d.device->finishLastProcessingTask());
  EXPECT_EQ(fromTask.load(), 0);
  d.rec.setHook(nullptr);
}

TEST(PacketPathDirect, ResetPacketStampingForgetsTheChildrensReferenceToo) {
  DirectDevice d;
  auto* child = new TestDevice(d.device, 0x00345679);
  child->addRef();
  d.send(pc16(40));
  ASSERT_TRUE(d.device->finishLastProcessingTask());
  EXPECT_EQ(d.device->highestPacket()->packetId, 40);
  // A child's reference, as a bus master's processing would leave it.
  child->handleDataPacket(*d.device->highestPacket());
  ASSERT_TRUE(child->finishLastProcessingTask());
  EXPECT_FALSE(ZtDataPacket_empty(child->highestPacket()));
  d.device->resetPacketStamping();
  EXPECT_TRUE(ZtDataPacket_empty(d.device->highestPacket()));
  EXPECT_TRUE(ZtDataPacket_empty(child->highestPacket()));
  d.send(pc16(3));  // would be late against 40; after the reset it starts afresh
  ASSERT_TRUE(d.device->finishLastProcessingTask());
  EXPECT_EQ(d.device->highestPacket()->packetId, 3);
  child->removeRef();
}

TEST(PacketPathDirect, AccessorsWithoutALinkOrCaches) {
  auto* lonely = new TestDevice(ZtDeviceId(9));
  EXPECT_EQ(lonely->highestPacket(), nullptr);
  EXPECT_EQ(lonely->queueLength(), 0u);
  EXPECT_EQ(lonely->droppedPacketCount(), 0u);
  EXPECT_EQ(lonely->readyCache(), nullptr);
  PacketPathOwnedPacket a(lonely->nextAvailableDataPacket());
  PacketPathOwnedPacket b(lonely->dataPacketByIndex(0));
  PacketPathOwnedPacket c(lonely->dataPacketById(0));
  EXPECT_TRUE(a.empty());
  EXPECT_TRUE(b.empty());
  EXPECT_TRUE(c.empty());
  lonely->resetPacketStamping();
  EXPECT_TRUE(lonely->finishLastProcessingTask());
  // Without caches processing stores nothing and raises nothing.
  CallbackRecorder rec;
  lonely->addCallbackHandler(&rec, false);
  ZtDataPacket p;
  ZtDataPacket_construct(&p);
  lonely->insertPacketInCaches(p);
  EXPECT_EQ(rec.count(Kind::DataAvailable), 0u);
  ZtDataPacket_destruct(&p);
  lonely->removeIfNoRefs();
}

}  // namespace
