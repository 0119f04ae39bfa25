// Log files on a port-less link: recording then reading back byte for byte, every refusal of
// opening and creating, reads by id, peeks and searches that leave the position alone, truncated
// tails, stuck candidates and garbage (with time limits), progress reports, aborting a load from
// another thread, reads from two threads at once, and a large file read with bounded memory.
#include <gtest/gtest.h>
#include <termios.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/NullLinkDevice.h"
#include "support/CallbackRecorder.h"
#include "support/LogFileBuilder.h"
#include "support/PtyPort.h"
#include "support/TempDir.h"
#include "support/emulator/RecordingLinkDevice.h"
#include "transport/link/Communicator.h"
#include "zeltodeviceapi/ztdevicetypes.h"

namespace {

using zelto::test::EmuFrame;
using zelto::test::LogFileBuilder;
using zelto::test::RecordingLinkDevice;
using zelto::test::TempDir;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

#ifdef ZDA_UNDER_SANITIZER
constexpr auto kLogfileLimit = 20s;
#else
constexpr auto kLogfileLimit = 5s;
#endif

struct LogfileString {
  ZtString s;
  explicit LogfileString(const std::string& text) { ZtString_construct(&s, text.c_str()); }
  ~LogfileString() { ZtString_destruct(&s); }
  LogfileString(const LogfileString&) = delete;
  LogfileString& operator=(const LogfileString&) = delete;
};

struct LogfileMessage {
  ZtMessage m;
  LogfileMessage() { ZtMessage_construct(&m); }
  explicit LogfileMessage(const EmuFrame& f) {
    ZtMessage_constructSized(&m, f.payload.size());
    ZtMessage_setMessageId(&m, f.messageId);
    ZtMessage_setBusId(&m, f.busId);
    if (!f.payload.empty()) ZtMessage_setDataBuffer(&m, f.payload.data(), f.payload.size(), 0);
  }
  ~LogfileMessage() { ZtMessage_destruct(&m); }
  LogfileMessage(const LogfileMessage&) = delete;
  LogfileMessage& operator=(const LogfileMessage&) = delete;
  EmuFrame frame() const { return RecordingLinkDevice::toFrame(m); }
};

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void expectSame(const std::vector<EmuFrame>& got, const std::vector<EmuFrame>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].messageId, want[i].messageId) << i;
    EXPECT_EQ(got[i].busId, want[i].busId) << i;
    EXPECT_EQ(got[i].payload, want[i].payload) << i;
  }
}

// Runs f on another thread and fails (instead of hanging) when it outlives the limit.
template <typename F>
auto withinLimit(F f) {
  auto future = std::async(std::launch::async, f);
  if (future.wait_for(kLogfileLimit) != std::future_status::ready) {
    ADD_FAILURE() << "did not finish in time";
    std::fflush(nullptr);
    std::_Exit(1);  // a hung reader cannot be joined
  }
  return future.get();
}

class LogFileFixture : public ::testing::Test {
 protected:
  std::string write(const LogFileBuilder& b, const std::string& name = "rec.zlog") {
    const std::string path = dir.file(name);
    EXPECT_TRUE(b.writeTo(path));
    return path;
  }
  bool openFile(const std::string& path) {
    LogfileString name(path);
    return link.openLogFile(name.s);
  }
  // Everything readMessage(0) yields until it fails; the final result in *end.
  std::vector<EmuFrame> readAll(ZtResultValue* end) {
    std::vector<EmuFrame> out;
    LogfileMessage m;
    for (;;) {
      const ZtResultValue r = link.readMessage(m.m, 0);
      if (r != ZRV_OK) {
        *end = r;
        EXPECT_TRUE(ZtMessage_empty(&m.m));
        return out;
      }
      out.push_back(m.frame());
    }
  }

  TempDir dir;
  Communicator link;
  RecordingLinkDevice master{0x00345678, 0};
};

TEST_F(LogFileFixture, RecordingReadsBackByteForByte) {
  LogFileBuilder expected;
  ZtDeviceConfiguration config;
  ZtDeviceConfiguration_construct(&config);
  config.masterDeviceId = 0x00345678;
  LogfileMessage configuration;
  ZtMessage_destruct(&configuration.m);
  ZtDeviceConfiguration_writeToMessage(&config, &configuration.m);
  ZtDeviceConfiguration_destruct(&config);
  expected.message(configuration.frame()).message(0x13, {0x00, 0x64}).message(0x36, Bytes(400, 0x5A));
  for (uint16_t i = 0; i < 50; ++i) expected.data(i, i);
  expected.message(0x42, {0x04}, 0x01);

  const std::string path = dir.file("recorded.zlog");
  LogfileString name(path);
  ASSERT_TRUE(link.createLogFile(name.s)) << link.lastResult();
  EXPECT_EQ(readFile(path).size(), 0u);  // the write test leaves nothing behind
  for (const EmuFrame& f : expected.frames()) {
    LogfileMessage m(f);
    ASSERT_TRUE(link.writeMessageToLogFile(m.m));
  }
  link.closeLogFile(false);
  EXPECT_EQ(readFile(path), expected.bytes());

  ASSERT_TRUE(openFile(path)) << link.lastResult();
  EXPECT_EQ(link.masterDeviceId(), 0x00345678u);
  EXPECT_TRUE(link.isReadingFromFile());
  EXPECT_TRUE(link.isLogFileOpen(name.s));
  EXPECT_EQ(link.logFileSize(), static_cast<int64_t>(expected.bytes().size()));
  EXPECT_GT(link.logFileDate(), 0);
  EXPECT_EQ(link.logFileReadPosition(), 0);
  ZtResultValue end;
  expectSame(readAll(&end), expected.frames());
  EXPECT_EQ(end, ZRV_ENDOFFILE);
  EXPECT_EQ(link.resetLogFileReadPosition(), ZRV_OK);
  expectSame(readAll(&end), expected.frames());
}

TEST_F(LogFileFixture, CreateAndWriteRefusals) {
  LogfileMessage data(EmuFrame{0xFF, 0x36, {1}});
  EXPECT_FALSE(link.writeMessageToLogFile(data.m));
  EXPECT_EQ(link.lastResult(), ZRV_NOFILEOPEN);

  LogfileString missingDir(dir.file("no/such/dir/rec.zlog"));
  EXPECT_FALSE(link.createLogFile(missingDir.s));
  EXPECT_NE(link.lastResult(), ZRV_OK);
  EXPECT_FALSE(link.writeMessageToLogFile(data.m));
  EXPECT_EQ(link.lastResult(), ZRV_NOFILEOPEN);  // the failed create left no file behind

  LogfileString name(dir.file("rec.zlog"));
  ASSERT_TRUE(link.createLogFile(name.s));
  EXPECT_FALSE(link.createLogFile(name.s));
  EXPECT_EQ(link.lastResult(), ZRV_ALREADYOPEN);
  LogfileMessage empty;
  EXPECT_FALSE(link.writeMessageToLogFile(empty.m));
  EXPECT_EQ(link.lastResult(), ZRV_INVALIDLOGFILE);
  link.closeLogFile(true);
  EXPECT_FALSE(std::ifstream(dir.file("rec.zlog")).good());

  // A link with a port takes no log file.
  zelto::test::PtyPort pty;
  Communicator portLink;
  LogfileString port(pty.slavePath());
  ASSERT_TRUE(portLink.openPort(port.s, B115200, OPS_OpenPort));
  EXPECT_FALSE(portLink.createLogFile(name.s));
  EXPECT_EQ(portLink.lastResult(), ZRV_UNSUPPORTED);
  EXPECT_FALSE(portLink.writeMessageToLogFile(data.m));
  EXPECT_EQ(portLink.lastResult(), ZRV_NOFILEOPEN);
  EXPECT_FALSE(portLink.openLogFile(name.s));
  EXPECT_EQ(portLink.lastResult(), ZRV_UNSUPPORTED);
  LogfileMessage m;
  EXPECT_EQ(portLink.readMessage(m.m, 0), ZRV_UNSUPPORTED);
}

TEST_F(LogFileFixture, OpenRefusesWhatIsNoLogFile) {
  auto withData = [](LogFileBuilder b) {
    for (uint16_t i = 0; i < 3; ++i) b.data(i);
    return b;
  };
  LogFileBuilder wrongBus;
  wrongBus.garbage({0xFA, 0xFE}).configuration(1);
  LogFileBuilder sixth, fifth, noConfig, tiny;
  for (uint16_t i = 0; i < 5; ++i) sixth.message(0x13, {static_cast<uint8_t>(i)});
  sixth.configuration(0x00345678);
  for (uint16_t i = 0; i < 4; ++i) fifth.message(0x13, {static_cast<uint8_t>(i)});
  fifth.configuration(0x00345678);
  for (uint16_t i = 0; i < 9; ++i) noConfig.data(i);
  tiny.garbage({0xFA});
  struct Case {
    const char* what;
    LogFileBuilder file;
    ZtResultValue result;
  };
  const Case cases[] = {
      {"starts FA FE", withData(wrongBus), ZRV_INVALIDLOGFILE},
      {"configuration sixth", withData(sixth), ZRV_INVALIDLOGFILE},
      {"no configuration", noConfig, ZRV_INVALIDLOGFILE},
      {"one byte", tiny, ZRV_INVALIDLOGFILE},
      {"empty", LogFileBuilder(), ZRV_INVALIDLOGFILE},
      {"configuration fifth", withData(fifth), ZRV_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Communicator fresh;
    const std::string path = write(c.file, std::string(c.what) + ".zlog");
    LogfileString name(path);
    EXPECT_EQ(fresh.openLogFile(name.s), c.result == ZRV_OK);
    EXPECT_EQ(fresh.lastResult(), c.result);
    EXPECT_EQ(fresh.isReadingFromFile(), c.result == ZRV_OK);
    if (c.result == ZRV_OK) {
      EXPECT_EQ(fresh.masterDeviceId(), 0x00345678u);
      EXPECT_EQ(fresh.logFileReadPosition(), 0);
    }
  }
  LogfileString missing(dir.file("missing.zlog"));
  EXPECT_FALSE(link.openLogFile(missing.s));
  EXPECT_EQ(link.lastResult(), ZRV_INPUTCANNOTBEOPENED);

  LogFileBuilder good;
  good.configuration(7);
  const std::string first = write(good, "a.zlog"), second = write(good, "b.zlog");
  ASSERT_TRUE(openFile(first));
  EXPECT_TRUE(openFile(first));  // the same file again
  EXPECT_EQ(link.lastResult(), ZRV_ALREADYOPEN);
  EXPECT_FALSE(openFile(second));
  EXPECT_EQ(link.lastResult(), ZRV_ALREADYOPEN);
}

TEST_F(LogFileFixture, PeekReadByIdAndSearchesFromTheStart) {
  LogFileBuilder b;
  b.message(0x13, {1}).configuration(0x00345678).data(0).message(0x13, {2}).data(1);
  ASSERT_TRUE(openFile(write(b)));
  EXPECT_EQ(link.peekLogMessageId(), 0x13);
  EXPECT_EQ(link.peekLogMessageId(), 0x13);
  EXPECT_EQ(link.lastResult(), ZRV_OK);
  LogfileMessage m;
  ASSERT_EQ(link.readMessage(m.m, 0), ZRV_OK);
  EXPECT_EQ(ZtMessage_getMessageId(&m.m), 0x13);
  // Asking for 0x36 while 0x0D comes: refused, but consumed.
  EXPECT_EQ(link.readMessage(m.m, 0x36), ZRV_UNEXPECTEDMESSAGE);
  EXPECT_TRUE(ZtMessage_empty(&m.m));
  const int64_t position = link.logFileReadPosition();
  ASSERT_EQ(link.readMessage(m.m, 0x36), ZRV_OK);
  EXPECT_EQ(m.frame().payload, LogFileBuilder::dataPayload(0));

  // Searches from the start leave the position where it was.
  const int64_t here = link.logFileReadPosition();
  EXPECT_GT(here, position);
  EXPECT_EQ(link.readMessageFromStartOfFile(m.m, 0x36, 5), ZRV_OK);
  EXPECT_EQ(m.frame().payload, LogFileBuilder::dataPayload(0));
  EXPECT_EQ(link.readMessageFromStartOfFile(m.m, 0x0D, 1), ZRV_OK);
  EXPECT_TRUE(ZtMessage_empty(&m.m));  // not among the first message
  EXPECT_EQ(link.readMessageFromStartOfFile(m.m, 0x0D, 0), ZRV_UNEXPECTEDMESSAGE);
  link.readMessageFromStartOfFile(m.m, 0x13, -1);
  EXPECT_TRUE(ZtMessage_empty(&m.m));
  MessageList list;
  link.readMessagesFromStartOfFile(list, 0x13, 100);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(ZtMessage_getDataByte(&list[1], 0), 2);
  link.readMessagesFromStartOfFile(list, 0x13, 0);  // the run at the very start only
  EXPECT_EQ(list.size(), 1u);
  link.readMessagesFromStartOfFile(list, 0x13, -1);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(link.logFileReadPosition(), here);
  ASSERT_EQ(link.readMessage(m.m, 0), ZRV_OK);
  EXPECT_EQ(m.frame().payload, (Bytes{2}));
}

TEST_F(LogFileFixture, DamagedFilesEndCleanlyAndDeliverEveryCompleteMessage) {
  struct Case {
    const char* what;
    void (*damage)(LogFileBuilder&, uint16_t);
  };
  const Case cases[] = {
      {"stuck candidates", [](LogFileBuilder& b, uint16_t) { b.stuckCandidate(); }},
      {"stuck candidate then short garbage",
       [](LogFileBuilder& b, uint16_t) { b.stuckCandidate().garbage({0xFA, 0xFF}); }},
      {"garbage", [](LogFileBuilder& b, uint16_t i) { b.garbage(Bytes(i % 17, static_cast<uint8_t>(0x10 + i))); }},
      {"preamble garbage", [](LogFileBuilder& b, uint16_t) { b.garbage({0xFA, 0x13, 0x37, 0x20, 0xFA}); }},
      {"bad checksums", [](LogFileBuilder& b, uint16_t) { b.garbage({0xFA, 0xFF, 0x30, 0x00, 0x00}); }},
  };
  for (const Case& c : cases) {
    for (size_t tail : {size_t{0}, size_t{3}, size_t{9}}) {
      SCOPED_TRACE(std::string(c.what) + ", tail " + std::to_string(tail));
      LogFileBuilder b;
      b.configuration(0x00345678);
      for (uint16_t i = 0; i < 40; ++i) {
        c.damage(b, i);
        b.data(i, i % 5);
      }
      if (tail) b.truncatedTail(tail);
      Communicator fresh;
      LogfileString name(write(b));
      ASSERT_TRUE(fresh.openLogFile(name.s)) << fresh.lastResult();
      RecordingLinkDevice device;
      fresh.setMasterDevice(&device);
      CallbackRecorder progress;
      fresh.addCallbackHandler(&progress, false);
      const ZtResultValue r = withinLimit([&] { return fresh.readLogFile(nullptr); });
      EXPECT_EQ(r, ZRV_ENDOFFILE);
      EXPECT_EQ(fresh.lastResult(), ZRV_ENDOFFILE);
      expectSame(device.handled(), b.frames());
      const auto reports = progress.events(CallbackRecorder::Kind::ProgressUpdated);
      ASSERT_FALSE(reports.empty());
      EXPECT_EQ(reports.back().values[0], 100);
      EXPECT_EQ(reports.back().values[1], 100);
      // The packet source path: one message per call, then the end.
      fresh.resetLogFileReadPosition();
      size_t singles = 0;
      withinLimit([&] {
        while (fresh.readSinglePacketFromFile() == ZRV_OK) ++singles;
        return 0;
      });
      EXPECT_EQ(singles, b.frames().size());
      EXPECT_EQ(fresh.lastResult(), ZRV_ENDOFFILE);
      fresh.setMasterDevice(nullptr);
    }
  }
}

TEST_F(LogFileFixture, ProgressComesOncePerPercentAndEndsAtOneHundred) {
  LogFileBuilder b;
  b.configuration(0x00345678);
  for (uint16_t i = 0; i < 1000; ++i) b.data(i);
  const std::string path = write(b);
  ASSERT_TRUE(openFile(path));
  CallbackRecorder progress;
  link.addCallbackHandler(&progress, false);
  auto* device = reinterpret_cast<ZtDevice*>(&master);
  EXPECT_EQ(link.readLogFile(device), ZRV_ENDOFFILE);
  const auto reports = progress.events(CallbackRecorder::Kind::ProgressUpdated);
  ASSERT_GE(reports.size(), 50u);
  int last = -1;
  for (const auto& r : reports) {
    EXPECT_GT(r.values[0], last);  // never twice for the same value
    EXPECT_EQ(r.values[1], 100);
    EXPECT_EQ(r.device, device);
    EXPECT_EQ(r.text, path);
    last = r.values[0];
  }
  EXPECT_EQ(last, 100);
  EXPECT_EQ(std::count_if(reports.begin(), reports.end(), [](const auto& r) { return r.values[0] == 100; }), 1);
}

TEST_F(LogFileFixture, AbortStopsABackgroundLoadWithoutAFinalReport) {
  LogFileBuilder b;
  b.configuration(0x00345678);
  for (uint16_t i = 0; i < 3000; ++i) b.data(i);
  ASSERT_TRUE(openFile(write(b)));
  link.setMasterDevice(&master);
  CallbackRecorder progress;
  link.addCallbackHandler(&progress, false);
  std::atomic<bool> release{false};
  master.setHook([&](const ZtMessage&) {
    while (!release.load() && master.handledCount() >= 100) std::this_thread::sleep_for(100us);
  });
  const unsigned task = link.loadLogFile(nullptr);
  EXPECT_NE(task, 0u);
  ASSERT_TRUE(master.waitForHandled(100, kLogfileLimit));
  std::thread aborter([&] {
    link.abortLoadLogFile();
    release = true;
  });
  aborter.join();
  link.waitForLastTaskCompletion();
  const size_t handled = master.handledCount();
  EXPECT_LT(handled, b.frames().size());
  for (const auto& r : progress.events(CallbackRecorder::Kind::ProgressUpdated)) EXPECT_LT(r.values[0], 100);

  // A new load goes on from where the first stopped and finishes.
  master.setHook(nullptr);
  link.loadLogFile(nullptr);
  link.waitForLastTaskCompletion();
  expectSame(master.handled(), b.frames());
  EXPECT_TRUE(progress.waitFor(CallbackRecorder::Kind::ProgressUpdated, 1, 0ms));
  EXPECT_EQ(progress.events(CallbackRecorder::Kind::ProgressUpdated).back().values[0], 100);
  link.setMasterDevice(nullptr);
}

TEST_F(LogFileFixture, AbortHoldsWhileEveryMessageFailsToBeHandled) {
  LogFileBuilder b;
  b.configuration(0x00345678);
  for (uint16_t i = 0; i < 200; ++i) b.data(i);
  ASSERT_TRUE(openFile(write(b)));
  link.setMasterDevice(&master);
  CallbackRecorder progress;
  link.addCallbackHandler(&progress, false);
  int calls = 0;
  master.setHook([&](const ZtMessage&) {
    if (++calls == 10) link.abortLoadLogFile();
    throw std::runtime_error("handler fails");
  });
  withinLimit([&] { return link.readLogFile(nullptr); });
  EXPECT_EQ(calls, 10);
  for (const auto& r : progress.events(CallbackRecorder::Kind::ProgressUpdated)) EXPECT_LT(r.values[0], 100);
  link.setMasterDevice(nullptr);
}

TEST_F(LogFileFixture, ReadsFromTwoThreadsAreSerialised) {
  LogFileBuilder b;
  b.configuration(0x00345678);
  for (uint16_t i = 0; i < 4000; ++i) b.data(i, i % 50);
  ASSERT_TRUE(openFile(write(b)));
  // The load holds at its first message until the application thread has searched a few
  // times, so both really overlap even on a loaded machine.
  std::atomic<size_t> searches{0};
  master.setHook([&](const ZtMessage&) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (searches.load() < 5 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  });
  link.setMasterDevice(&master);
  link.loadLogFile(nullptr);
  // Meanwhile an application thread peeks and searches; each restores the position it found.
  LogfileMessage m;
  while (master.handledCount() < b.frames().size() && searches.load() < 20000) {
    link.peekLogMessageId();
    EXPECT_EQ(link.readMessageFromStartOfFile(m.m, 0x36, 3), ZRV_OK);
    EXPECT_EQ(m.frame().payload, LogFileBuilder::dataPayload(0, 0));
    ++searches;
  }
  link.waitForLastTaskCompletion();
  master.setHook(nullptr);
  EXPECT_GE(searches.load(), 5u);
  expectSame(master.handled(), b.frames());
  link.setMasterDevice(nullptr);
}

long residentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

// Counts data messages and checks their counters without keeping them; samples the resident
// memory now and then.
class CountingDevice : public zelto::test::NullLinkDevice {
 public:
  void handleMessage(const ZtMessage& m) override {
    if (ZtMessage_getMessageId(&m) == 0x36) {
      inOrder = inOrder && ZtMessage_getDataShort(&m, 3) == expected;
      ++expected;
    }
    if (++handled % 4096 == 0) peakKb = std::max(peakKb, residentKb());
  }

  size_t handled = 0;
  uint16_t expected = 0;
  bool inOrder = true;
  long peakKb = 0;
};

TEST_F(LogFileFixture, LargeFileIsReadWithBoundedMemory) {
#ifdef ZDA_UNDER_SANITIZER
  constexpr size_t kTarget = 30u << 20;  // sanitizers read slowly: a smaller file keeps the time
#else
  constexpr size_t kTarget = 100u << 20;
#endif
  const std::string path = dir.file("large.zlog");
  LogFileBuilder b;
  b.configuration(0x00345678);
  size_t bytes = 0;
  uint16_t counter = 0;
  while (bytes < kTarget) {
    for (int i = 0; i < 2000; ++i) b.data(counter++, 1000);
    bytes += b.bytes().size();
    ASSERT_TRUE(b.appendTo(path));
  }
  const size_t frames = b.frameCount();
  ASSERT_TRUE(openFile(path));
  EXPECT_EQ(link.logFileSize(), static_cast<int64_t>(bytes));
  CountingDevice counting;
  const long baseline = residentKb();
  counting.peakKb = baseline;
  link.setMasterDevice(&counting);
  EXPECT_EQ(withinLimit([&] { return link.readLogFile(nullptr); }), ZRV_ENDOFFILE);
  link.setMasterDevice(nullptr);
  EXPECT_EQ(counting.handled, frames);
  EXPECT_TRUE(counting.inOrder);
  const long peak = counting.peakKb;
  EXPECT_LT(peak - baseline, 16 * 1024) << "resident memory grew by " << (peak - baseline) << " kB";
}

}  // namespace
