// The link's parsing and dispatch without its reader thread: blocks are fed straight into
// processBufferedData (any split, garbage, rejected and stuck candidates, the buffer bound;
// seeded streams cut every way, frames inside the spans of other candidates, the give-up bound
// of a candidate whose bytes never come, agreement with log-file reading), the acceptance test,
// handleMessage's routing and error journalling, writes, and the reader thread's repeat block and
// jitter; one test over a pseudo-terminal with the reader running.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Journaller.h"
#include "foundation/ThreadPool.h"
#include "support/AllocationCounter.h"
#include "support/LogFileBuilder.h"
#include "support/PtyPort.h"
#include "support/TempDir.h"
#include "support/ZbusStreamScenario.h"
#include "support/emulator/EmuFrame.h"
#include "support/emulator/RecordingLinkDevice.h"
#include "transport/link/Communicator.h"
#include "transport/link/KtThread.h"
#include "transport/io/SerialInterface.h"
#include "transport/zbus/ProtocolHandler.h"

namespace {

using zelto::test::EmuFrame;
using zelto::test::LogFileBuilder;
using zelto::test::PtyPort;
using zelto::test::RandomChoices;
using zelto::test::ZbusStreamScenario;
using zelto::test::RecordingLinkDevice;
using Bytes = std::vector<uint8_t>;

struct Message {
  ZtMessage m;
  Message(uint8_t id, const Bytes& payload = {}, uint8_t busId = 0xFF) {
    ZtMessage_constructSized(&m, payload.size());
    ZtMessage_setMessageId(&m, id);
    ZtMessage_setBusId(&m, busId);
    if (!payload.empty()) ZtMessage_setDataBuffer(&m, payload.data(), payload.size(), 0);
  }
  ~Message() { ZtMessage_destruct(&m); }
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;
};

Bytes frame(uint8_t id, const Bytes& payload = {}, uint8_t busId = 0xFF) {
  return EmuFrame{busId, id, payload}.encode();
}

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

// A link on an open serial port with no reader thread, and a recording master.
class ParseFixture : public ::testing::Test {
 protected:
  void SetUp() override { openLink(); }

  void openLink() {
    auto* port = new SerialInterface;
    ZtPortInfo info = {};
    std::snprintf(info.portName, sizeof info.portName, "%s", pty.slavePath().c_str());
    info.baudRate = B115200;
    ASSERT_EQ(port->open(info), ZRV_OK);
    link = std::make_unique<Communicator>(port);
  }

  // Feeds the stream in pieces of chunk bytes; returns every message that came out, in order.
  std::vector<EmuFrame> feed(const Bytes& stream, size_t chunk) {
    std::vector<EmuFrame> out;
    MessageList messages;
    for (size_t pos = 0; pos < stream.size(); pos += chunk) {
      const size_t n = std::min(chunk, stream.size() - pos);
      ZtByteArray bytes;
      ZtByteArray_construct(&bytes, n, stream.data() + pos);
      const ZtResultValue r = link->processBufferedData(bytes, messages);
      ZtByteArray_destruct(&bytes);
      EXPECT_EQ(r, messages.empty() ? ZRV_NODATA : ZRV_OK);
      for (size_t i = 0; i < messages.size(); ++i) out.push_back(RecordingLinkDevice::toFrame(messages[i]));
      EXPECT_LE(link->receiveBufferSize(), Communicator::kReceiveBufferLimit);
    }
    return out;
  }

  // Feeds the stream in reads of the given sizes, all at one instant (so no awaited candidate
  // runs out of time), then ends the stream: time passes until every candidate that held a
  // message back has been given up; what stays is at most a candidate with nothing behind it,
  // which a new link (with the same master) leaves behind for the next stream. Returns every
  // message that came out, in order.
  std::vector<EmuFrame> feedAt(const Bytes& stream, const std::vector<size_t>& sizes) {
    std::vector<EmuFrame> out;
    MessageList messages;
    auto collect = [&] {
      for (size_t i = 0; i < messages.size(); ++i) out.push_back(RecordingLinkDevice::toFrame(messages[i]));
    };
    size_t pos = 0;
    for (size_t n : sizes) {
      ZtByteArray bytes;
      ZtByteArray_construct(&bytes, n, stream.data() + pos);
      link->processBufferedData(bytes, messages, kT0);
      ZtByteArray_destruct(&bytes);
      pos += n;
      collect();
    }
    ZtByteArray none;
    ZtByteArray_construct(&none, 0, nullptr);
    uint64_t now = kT0;
    for (size_t i = 0; i <= stream.size() && link->messageCutter().holdsMessagesBack(); ++i) {
      now += kHour;
      link->processBufferedData(none, messages, now);
      collect();
    }
    ZtByteArray_destruct(&none);
    EXPECT_FALSE(link->messageCutter().holdsMessagesBack());
    EXPECT_LE(link->receiveBufferSize(), size_t{ProtocolHandler::kMaximumMessageSize});
    LinkDevice* const device = link->masterDevice();
    link.reset();
    openLink();
    link->setMasterDevice(device);
    return out;
  }

  static constexpr uint64_t kT0 = 1000000;   // a monotonic time in ms
  static constexpr uint64_t kHour = 3600000;  // beyond every bound

  PtyPort pty;
  std::unique_ptr<Communicator> link;
  RecordingLinkDevice master{0x01234567, 2};
};

bool sameFrames(const std::vector<EmuFrame>& a, const std::vector<EmuFrame>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].busId != b[i].busId || a[i].messageId != b[i].messageId || a[i].payload != b[i].payload) return false;
  return true;
}

// Where two message sequences first differ, for a failure message.
std::string firstDifference(const std::vector<EmuFrame>& got, const std::vector<EmuFrame>& want) {
  size_t i = 0;
  while (i < got.size() && i < want.size() && sameFrames({got[i]}, {want[i]})) ++i;
  std::ostringstream text;
  text << got.size() << " messages instead of " << want.size() << ", first difference at " << i;
  if (i < got.size())
    text << ": got bus 0x" << std::hex << int(got[i].busId) << " id 0x" << int(got[i].messageId) << std::dec
         << " with " << got[i].payload.size() << " bytes";
  return text.str();
}

void expectFrames(const std::vector<EmuFrame>& got, const std::vector<EmuFrame>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].messageId, want[i].messageId) << "message " << i;
    EXPECT_EQ(got[i].busId, want[i].busId) << "message " << i;
    EXPECT_EQ(got[i].payload, want[i].payload) << "message " << i;
  }
}

TEST_F(ParseFixture, SplitAndGarbageLadenStreamsParseCompletelyAndInOrder) {
  // Frames of every shape with garbage between them: no preamble, a lone preamble, a frame with
  // a bad checksum, a skipped FA 00 00 candidate and an impossible extended length.
  std::vector<EmuFrame> want = {
      {0xFF, 0x31, {}},
      {0xFF, 0x36, {0x10, 0x20, 0x02, 0x00, 0x01}},
      {0x01, 0x36, Bytes(254, 0x5A)},
      {0xFF, 0x36, Bytes(300, 0xFA)},  // extended form, payload full of preambles
      {0x02, 0x0D, Bytes(118, 0x00)},
      {0xFF, 0x42, {0x04}},
  };
  const Bytes garbage[] = {
      {0x00, 0x11, 0x22}, {0xFA}, {0xFA, 0xFF, 0x31, 0x00, 0x00}, {0xFA, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00},
      {0xFA, 0xFF, 0x36, 0xFF, 0xFF, 0xFF}, {0x13, 0x37},
  };
  Bytes stream;
  for (size_t i = 0; i < want.size(); ++i) {
    append(stream, garbage[i]);
    append(stream, want[i].encode());
  }
  link->setMasterDevice(&master);
  for (size_t chunk : {size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{7}, size_t{64}, size_t{257}, stream.size()}) {
    SCOPED_TRACE("chunk " + std::to_string(chunk));
    expectFrames(feed(stream, chunk), want);
    EXPECT_EQ(link->receiveBufferSize(), 0u);
  }
}

// Every intact frame arrives exactly once and in order, nothing that was not sent arrives, and a
// stream cut into reads of any size gives what the whole stream gives.
TEST_F(ParseFixture, EveryIntactFrameArrivesOnceInOrderHoweverTheStreamIsCut) {
  master.setDeviceCount(3);
  link->setMasterDevice(&master);
#ifdef ZDA_UNDER_SANITIZER
  constexpr uint32_t kSeeds = 60;
#else
  constexpr uint32_t kSeeds = 300;
#endif
  size_t frames = 0, bytes = 0;
  for (uint32_t seed = 1; seed <= kSeeds; ++seed) {
    RandomChoices choices(seed);
    const ZbusStreamScenario scenario = ZbusStreamScenario::generate(choices, 30);
    frames += scenario.frames.size();
    bytes += scenario.stream.size();
    for (int mode = 0; mode < 4; ++mode) {
      if (mode == 1 && seed % 10 != 0) continue;  // one byte per read: every tenth seed
      const std::vector<EmuFrame> got =
          feedAt(scenario.stream, ZbusStreamScenario::chunking(choices, scenario.stream.size(), mode));
      if (!sameFrames(got, scenario.frames)) {
        ADD_FAILURE() << "seed " << seed << ", reads of mode " << mode << ": " << firstDifference(got, scenario.frames);
        return;
      }
    }
  }
  EXPECT_GT(frames, kSeeds * 25u);
  std::printf("%zu frames in %zu bytes\n", frames, bytes);
}

// A log file read message by message gives what the link gives for the same bytes.
TEST_F(ParseFixture, LogFileReadingAgreesWithTheLiveLink) {
  master.setDeviceCount(3);
  link->setMasterDevice(&master);
  zelto::test::TempDir dir;
  for (uint32_t seed = 1001; seed <= 1040; ++seed) {
    RandomChoices choices(seed);
    const ZbusStreamScenario scenario = ZbusStreamScenario::generate(choices, 20);
    const EmuFrame configuration{0xFF, 0x0D, LogFileBuilder::configurationPayload(0x01234567)};
    Bytes file = configuration.encode();
    append(file, scenario.stream);
    std::vector<EmuFrame> live = feedAt(file, ZbusStreamScenario::chunking(choices, file.size(), 3));

    const std::string path = dir.file("stream" + std::to_string(seed) + ".zlog");
    {
      std::ofstream out(path, std::ios::binary);
      out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    }
    Communicator reader;
    reader.setMasterDevice(&master);
    ZtString name;
    ZtString_construct(&name, path.c_str());
    ASSERT_TRUE(reader.openLogFile(name)) << reader.lastResult();
    ZtString_destruct(&name);
    std::vector<EmuFrame> played;
    ZtMessage message;
    ZtMessage_construct(&message);
    while (reader.readMessage(message, 0) == ZRV_OK) played.push_back(RecordingLinkDevice::toFrame(message));
    ZtMessage_destruct(&message);
    EXPECT_EQ(reader.lastResult(), ZRV_ENDOFFILE);
    reader.setMasterDevice(nullptr);

    std::vector<EmuFrame> want{configuration};
    want.insert(want.end(), scenario.frames.begin(), scenario.frames.end());
    ASSERT_TRUE(sameFrames(live, want)) << "seed " << seed << ", live: " << firstDifference(live, want);
    ASSERT_TRUE(sameFrames(played, want)) << "seed " << seed << ", log file: " << firstDifference(played, want);
  }
}

// The faults seen on real lines, cut at every byte position into two reads and fed one byte at a
// time: a short valid frame carried in a payload (from an accepted and from a refused bus id) is
// no message; a refused checksum-correct frame or a frame cut short does not take the frames
// inside its span with it.
TEST_F(ParseFixture, FramesInsideOtherSpansSurviveEveryReadBoundary) {
  link->setMasterDevice(&master);  // two devices: bus ids 0xFF, 0, 1 and 2 accepted
  auto carrier = [](const Bytes& inner) {
    Bytes payload(40, 0x21);
    std::copy(inner.begin(), inner.end(), payload.begin() + 16);
    return EmuFrame{0xFF, 0x36, payload};
  };
  const EmuFrame next{0xFF, 0x31, {}};
  const EmuFrame data{0x01, 0x36, {0x10, 0x20, 0x30}};
  const Bytes acceptedInner = {0xFA, 0x01, 0x02, 0x00, 0xFD};
  const Bytes refusedInner = {0xFA, 0x09, 0x02, 0x00, 0xF5};
  Bytes carried = data.encode();
  append(carried, next.encode());
  const Bytes whole = carrier(acceptedInner).encode();
  const Bytes cutShort(whole.begin(), whole.begin() + 18);  // ends before the inner frame

  struct Case {
    const char* name;
    Bytes stream;
    std::vector<EmuFrame> want;
  };
  const std::vector<Case> cases = {
      {"AcceptedInnerFrame", [&] { Bytes b = carrier(acceptedInner).encode(); append(b, next.encode()); return b; }(),
       {carrier(acceptedInner), next}},
      {"RefusedInnerFrame", [&] { Bytes b = carrier(refusedInner).encode(); append(b, next.encode()); return b; }(),
       {carrier(refusedInner), next}},
      {"RefusedFrameCarryingFrames", [&] { Bytes b = EmuFrame{0x07, 0x36, carried}.encode(); append(b, next.encode()); return b; }(),
       {data, next, next}},
      {"FrameCutShort", [&] { Bytes b = cutShort; append(b, carried); append(b, carrier(acceptedInner).encode()); return b; }(),
       {data, next, carrier(acceptedInner)}},
  };
  for (const Case& c : cases) {
    for (size_t cut = 0; cut <= c.stream.size(); ++cut) {
      const std::vector<EmuFrame> got = feedAt(c.stream, {cut, c.stream.size() - cut});
      ASSERT_TRUE(sameFrames(got, c.want)) << c.name << " cut at " << cut << ": " << firstDifference(got, c.want);
    }
    const std::vector<EmuFrame> got = feedAt(c.stream, std::vector<size_t>(c.stream.size(), 1));
    ASSERT_TRUE(sameFrames(got, c.want)) << c.name << " byte by byte: " << firstDifference(got, c.want);
  }
}

// A stream full of refused frames is journalled a line per refusal for the first ten, then at
// every power of ten, and the frames between them all arrive.
TEST_F(ParseFixture, RefusalsAreJournalledWithoutFlooding) {
  zelto::test::TempDir dir;
  const std::string path = dir.file("zda.log");
  auto* journal = new Journaller(path.c_str(), true, JLL_ALERT);
  gJournal.store(journal);
  link->setMasterDevice(&master);  // two devices: bus id 9 is refused
  Bytes stream;
  std::vector<EmuFrame> want;
  for (int i = 0; i < 1000; ++i) {
    append(stream, frame(0x36, {static_cast<uint8_t>(i)}, 0x09));
    want.push_back({0xFF, 0x36, {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)}});
    append(stream, want.back().encode());
  }
  RandomChoices cuts(5);
  const std::vector<EmuFrame> got = feedAt(stream, ZbusStreamScenario::chunking(cuts, stream.size(), 3));
  EXPECT_TRUE(sameFrames(got, want)) << firstDifference(got, want);
  gJournal.store(nullptr);
  journal->flushFile();
  delete journal;
  std::ifstream in(path);
  std::string line;
  std::vector<std::string> refusals;
  while (std::getline(in, line))
    if (line.find("refused message id 0x36 from bus id 0x9") != std::string::npos) refusals.push_back(line);
  ASSERT_EQ(refusals.size(), 12u);
  EXPECT_NE(refusals[9].find("(10 refused so far)"), std::string::npos) << refusals[9];
  EXPECT_NE(refusals[10].find("(100 refused so far)"), std::string::npos) << refusals[10];
  EXPECT_NE(refusals[11].find("(1000 refused so far)"), std::string::npos) << refusals[11];
}

TEST(MessageCutter, GiveUpBoundFollowsTheLineRate) {
  struct Case {
    size_t bytes;
    uint32_t bitsPerSecond;
    uint64_t boundMs;
  };
  const Case cases[] = {
      {7922, 115200, 1426},  // 687.7 ms on the line, rounded up, twice, plus 50
      {1, 115200, 52},
      {8185, 921600, 228},
      {100, 0, 68},  // unknown rate (USB): timed as 115200 baud
      {0, 9600, 50},
      {8192, 9600, 17118},
  };
  for (const Case& c : cases)
    EXPECT_EQ(MessageCutter::giveUpBoundMs(c.bytes, c.bitsPerSecond), c.boundMs) << c.bytes << " at " << c.bitsPerSecond;
}

// take() hands a message over by trading storage: the list holds the bytes, the caller gets the
// slot's earlier frame (nothing for a new slot) to reuse; a cleared list reuses its slots.
TEST(MessageListTake, TradesStorageWithTheSlot) {
  const auto frame = [](uint8_t id) {
    const Bytes b = EmuFrame{0xFF, id, {id, 1, 2}}.encode();
    ZtMessage m;
    ZtMessage_construct(&m);
    EXPECT_EQ(ZtMessage_load(&m, b.size(), b.data()), 1);
    return m;
  };
  MessageList list;
  ZtMessage a = frame(0x31), b = frame(0x32), c = frame(0x33);
  list.take(a);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(ZtMessage_getMessageId(&list[0]), 0x31);
  EXPECT_TRUE(ZtMessage_empty(&a));
  list.take(b);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(ZtMessage_getMessageId(&list[1]), 0x32);
  const uint8_t* firstStorage = list[0].bytes.data;
  list.clear();
  list.take(c);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(ZtMessage_getMessageId(&list[0]), 0x33);
  EXPECT_EQ(ZtMessage_getDataByte(&list[0], 0), 0x33);
  EXPECT_EQ(c.bytes.data, firstStorage);  // the slot's former frame, for the caller to reuse
  EXPECT_EQ(ZtMessage_getMessageId(&c), 0x31);
  for (ZtMessage* m : {&a, &b, &c}) ZtMessage_destruct(m);
}

// A lone header whose extended length claims nearly the largest frame, in front of good frames on
// a 115200 baud port: the frames wait until the header's bound (on its whole size) has passed,
// then arrive at once, and the give-up is journalled with its bound. A frame with nothing behind
// it is kept however late its rest comes.
TEST_F(ParseFixture, AHeaderWhoseBytesNeverComeIsGivenUpAfterItsBound) {
  zelto::test::TempDir dir;
  const std::string path = dir.file("zda.log");
  auto* journal = new Journaller(path.c_str(), true, JLL_ALERT);
  gJournal.store(journal);
  link->setMasterDevice(&master);

  Bytes stream = {0xFA, 0xFF, 0x36, 0xFF, 0x1F, 0x00};  // awaits 0x1F00 + 7 = 7943 bytes
  const std::vector<EmuFrame> want = {{0xFF, 0x31, {}}, {0xFF, 0x36, {1}}, {0x01, 0x36, {2}}};
  for (const EmuFrame& f : want) append(stream, f.encode());
  ASSERT_EQ(stream.size(), 23u);
  constexpr uint64_t kBound = 1430;  // 7943 bytes at 115200 baud: 689.5 ms, rounded up, twice, plus 50

  MessageList messages;
  auto feedAtTime = [&](const Bytes& bytes, uint64_t now) {
    ZtByteArray array;
    ZtByteArray_construct(&array, bytes.size(), bytes.data());
    link->processBufferedData(array, messages, now);
    ZtByteArray_destruct(&array);
    std::vector<EmuFrame> out;
    for (size_t i = 0; i < messages.size(); ++i) out.push_back(RecordingLinkDevice::toFrame(messages[i]));
    return out;
  };
  EXPECT_TRUE(feedAtTime(stream, kT0).empty());
  ASSERT_TRUE(link->messageCutter().holdsMessagesBack());
  EXPECT_EQ(link->messageCutter().awaitedBoundMs(), kBound);
  EXPECT_EQ(link->messageCutter().awaitedDeadlineMs(), kT0 + kBound);
  EXPECT_TRUE(feedAtTime({}, kT0 + kBound - 1).empty());
  const std::vector<EmuFrame> got = feedAtTime({}, kT0 + kBound);
  EXPECT_TRUE(sameFrames(got, want)) << firstDifference(got, want);
  EXPECT_EQ(link->messageCutter().giveUpCount(), 1u);
  EXPECT_EQ(link->messageCutter().lastGiveUpBoundMs(), kBound);
  EXPECT_FALSE(link->messageCutter().hasAwaitedCandidate());

  // A real frame whose second half comes an hour after its first: nothing waited behind it, so
  // it had no bound and no deadline for the reader to wake at.
  const EmuFrame big{0xFF, 0x36, Bytes(1000, 0x42)};
  const Bytes bigBytes = big.encode();
  const Bytes head(bigBytes.begin(), bigBytes.begin() + 100), tail(bigBytes.begin() + 100, bigBytes.end());
  EXPECT_TRUE(feedAtTime(head, kT0 + kHour).empty());
  EXPECT_TRUE(link->messageCutter().hasAwaitedCandidate());
  EXPECT_EQ(link->messageCutter().awaitedDeadlineMs(), 0u);
  EXPECT_EQ(link->awaitedDeadlineMs(), 0u);
  EXPECT_TRUE(feedAtTime({}, kT0 + 2 * kHour).empty());
  const std::vector<EmuFrame> late = feedAtTime(tail, kT0 + 3 * kHour);
  EXPECT_TRUE(sameFrames(late, {big})) << firstDifference(late, {big});
  EXPECT_EQ(link->messageCutter().giveUpCount(), 1u);

  gJournal.store(nullptr);
  journal->flushFile();
  delete journal;
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("gave up a candidate at stream byte 0 awaiting 7943 bytes with 23 received, after its "
                            "bound of 1430 ms"),
            std::string::npos)
      << text.str();
}

// The same over a pseudo-terminal with the reader thread running, at 921600 baud: the frames
// behind the header arrive once its bound has passed, while the device keeps sending.
TEST(LiveLink, FramesBehindAHeaderThatNeverCompletesArriveAfterTheBound) {
  PtyPort pty;
  Communicator live;
  RecordingLinkDevice master;
  ZtString name;
  ZtString_construct(&name, pty.slavePath().c_str());
  ASSERT_TRUE(live.openPort(name, B921600, OPS_OpenPort | OPS_StartThread)) << live.lastResult();
  ZtString_destruct(&name);
  live.setMasterDevice(&master);

  Bytes stream = {0xFA, 0xFF, 0x36, 0xFF, 0x1F, 0xF9};  // awaits 8192 bytes
  const std::vector<EmuFrame> want = {{0xFF, 0x31, {}}, {0xFF, 0x36, {7}}};
  for (const EmuFrame& f : want) append(stream, f.encode());
  const uint64_t bound = MessageCutter::giveUpBoundMs(8192, 921600);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(pty.send(stream));
  // The device goes on sending: a filler frame every 10 ms, which the link must not take for one
  // of the header's bytes' worth of silence.
  const Bytes filler = EmuFrame{0xFF, 0x13, {}}.encode();
#ifdef ZDA_UNDER_SANITIZER
  constexpr auto kLimit = std::chrono::seconds(10);
#else
  constexpr auto kLimit = std::chrono::seconds(3);
#endif
  size_t fillers = 0;
  while (std::chrono::steady_clock::now() - start < kLimit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (master.handledCount() == want.size() + fillers) break;
    ASSERT_TRUE(pty.send(filler));
    ++fillers;
  }
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_TRUE(master.waitForHandled(want.size() + fillers, std::chrono::milliseconds(2000)));
  live.closePort();
  const std::vector<EmuFrame> handled = master.handled();
  ASSERT_EQ(handled.size(), want.size() + fillers);
  // Everything sent arrives once, in order: the two frames, then the fillers.
  std::vector<EmuFrame> expected = want;
  for (size_t i = 0; i < fillers; ++i) expected.push_back({0xFF, 0x13, {}});
  EXPECT_TRUE(sameFrames(handled, expected)) << firstDifference(handled, expected);
  EXPECT_GE(static_cast<uint64_t>(elapsed), bound);
  EXPECT_EQ(live.messageCutter().giveUpCount(), 1u);
  live.setMasterDevice(nullptr);
}

// And on a line that goes silent right behind the header: the reader wakes at the deadline by
// itself, so the frames behind it arrive without any further byte.
TEST(LiveLink, FramesBehindAHeaderArriveAfterTheBoundOnASilentLine) {
  PtyPort pty;
  Communicator live;
  RecordingLinkDevice master;
  ZtString name;
  ZtString_construct(&name, pty.slavePath().c_str());
  ASSERT_TRUE(live.openPort(name, B921600, OPS_OpenPort | OPS_StartThread)) << live.lastResult();
  ZtString_destruct(&name);
  live.setMasterDevice(&master);

  Bytes stream = {0xFA, 0xFF, 0x36, 0xFF, 0x1F, 0xF9};  // awaits 8192 bytes that never come
  const std::vector<EmuFrame> want = {{0xFF, 0x31, {}}, {0xFF, 0x36, {7}}};
  for (const EmuFrame& f : want) append(stream, f.encode());
  const uint64_t bound = MessageCutter::giveUpBoundMs(8192, 921600);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(pty.send(stream));
  EXPECT_TRUE(master.waitForHandled(want.size(), std::chrono::milliseconds(bound + 3000)));
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  live.closePort();
  const std::vector<EmuFrame> handled = master.handled();
  EXPECT_TRUE(sameFrames(handled, want)) << firstDifference(handled, want);
  EXPECT_GE(static_cast<uint64_t>(elapsed), bound);
  EXPECT_EQ(live.messageCutter().giveUpCount(), 1u);
  EXPECT_EQ(live.awaitedDeadlineMs(), 0u);
  live.setMasterDevice(nullptr);
}

TEST_F(ParseFixture, HalfAMessageWaitsForTheRest) {
  const Bytes f = frame(0x36, {1, 2, 3, 4, 5, 6});
  MessageList messages;
  ZtByteArray half;
  ZtByteArray_construct(&half, f.size() / 2, f.data());
  EXPECT_EQ(link->processBufferedData(half, messages), ZRV_NODATA);
  EXPECT_EQ(link->receiveBufferSize(), f.size() / 2);
  ZtByteArray rest;
  ZtByteArray_construct(&rest, f.size() - f.size() / 2, f.data() + f.size() / 2);
  EXPECT_EQ(link->processBufferedData(rest, messages), ZRV_OK);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(ZtMessage_getMessageId(&messages[0]), 0x36);
  ZtByteArray_destruct(&half);
  ZtByteArray_destruct(&rest);
}

TEST_F(ParseFixture, GarbageIsDroppedButALiveHeaderTailIsKept) {
  Bytes junk(5000, 0x55);
  feed(junk, junk.size());
  EXPECT_EQ(link->receiveBufferSize(), 0u);
  // A dead FA 00 00 candidate, then the first two bytes of a real frame.
  Bytes stuck = {0xFA, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0xFA, 0xFF};
  EXPECT_TRUE(feed(stuck, stuck.size()).empty());
  EXPECT_EQ(link->receiveBufferSize(), 2u);
  const Bytes f = frame(0x31);
  auto got = feed(Bytes(f.begin() + 2, f.end()), f.size());
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].messageId, 0x31);
}

TEST_F(ParseFixture, RejectedMessagesAreSkippedAndDoNotBlockLaterOnes) {
  struct Case {
    bool withMaster;
    uint16_t deviceCount;
    uint8_t busId;
    bool accepted;
  };
  const Case cases[] = {
      {false, 0, 0xFF, true}, {false, 0, 0x01, true},  {false, 0, 0x02, false}, {true, 0, 0x01, true},
      {true, 0, 0x02, false}, {true, 3, 0x03, true},   {true, 3, 0x04, false},  {true, 3, 0x00, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("bus " + std::to_string(c.busId) + " count " + std::to_string(c.deviceCount) +
                 (c.withMaster ? " master" : " no master"));
    master.setDeviceCount(c.deviceCount);
    link->setMasterDevice(c.withMaster ? &master : nullptr);
    Message m(0x36, {9}, c.busId);
    EXPECT_EQ(link->sanityCheck(m.m), c.accepted);
    Bytes stream = frame(0x36, {9}, c.busId);
    append(stream, frame(0x31));
    auto got = feed(stream, stream.size());
    ASSERT_EQ(got.size(), c.accepted ? 2u : 1u);
    EXPECT_EQ(got.back().messageId, 0x31);
    EXPECT_EQ(link->receiveBufferSize(), 0u);
  }
}

TEST_F(ParseFixture, ReceiveBufferStaysBoundedAndRecovers) {
  // A candidate that claims the largest extended length, then endless dead candidates: none
  // ever completes, so the buffer must not grow past its bound.
  Bytes flood = {0xFA, 0xFF, 0x36, 0xFF, 0x1F, 0xF9};
  for (int i = 0; i < 20000; ++i) append(flood, {0xFA, 0x00, 0x00, 0x02, 0x11});
  feed(flood, 4096);
  EXPECT_LE(link->receiveBufferSize(), Communicator::kReceiveBufferLimit);
  Bytes tail;
  for (int i = 0; i < 3; ++i) append(tail, frame(0x36, Bytes(8000, static_cast<uint8_t>(i))));
  auto got = feed(tail, 1000);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got.back().payload, Bytes(8000, 2));
}

TEST_F(ParseFixture, MessagesAreReportedAsReceivedBeforeHandling) {
  link->setMasterDevice(&master);
  Bytes stream;
  for (int i = 0; i < 3; ++i) append(stream, frame(0x36, {static_cast<uint8_t>(i)}));
  expectFrames(feed(stream, stream.size()), {{0xFF, 0x36, {0}}, {0xFF, 0x36, {1}}, {0xFF, 0x36, {2}}});
  EXPECT_EQ(master.receivedCount(), 3u);
  EXPECT_EQ(master.handledCount(), 0u);  // handling is the parse task's second step
}

// A master whose received-message report fails for one message id.
class ThrowingReportDevice : public RecordingLinkDevice {
 public:
  void messageReceivedFromDevice(const ZtMessage& message) override {
    RecordingLinkDevice::messageReceivedFromDevice(message);
    if (ZtMessage_getMessageId(&message) == 0x13) throw std::runtime_error("report fails");
  }
};

TEST_F(ParseFixture, AFailingReceivedReportCostsNoMessage) {
  ThrowingReportDevice throwing;
  link->setMasterDevice(&throwing);
  Bytes stream = frame(0x13);
  append(stream, frame(0x36, {1}));
  append(stream, frame(0x13));
  append(stream, frame(0x36, {2}));
  std::vector<EmuFrame> got;
  EXPECT_NO_THROW(got = feed(stream, stream.size()));
  expectFrames(got, {{0xFF, 0x13, {}}, {0xFF, 0x36, {1}}, {0xFF, 0x13, {}}, {0xFF, 0x36, {2}}});
  EXPECT_EQ(throwing.receivedCount(), 4u);
  link->setMasterDevice(nullptr);
}

TEST_F(ParseFixture, HandleMessageOffersToWaitersFirstThenToTheMaster) {
  link->setMasterDevice(&master);
  auto first = link->addReplyObject(0x31);
  auto second = link->addReplyObject(0x31);
  Message ack(0x31), other(0x13);
  link->handleMessage(ack.m);
  link->handleMessage(ack.m);
  link->handleMessage(ack.m);  // nobody waits any more: goes to the device
  link->handleMessage(other.m);
  ZtMessage got;
  ZtMessage_construct(&got);
  EXPECT_TRUE(first->message(got, 0));
  EXPECT_TRUE(second->message(got, 0));
  ZtMessage_destruct(&got);
  auto handled = master.handled();
  ASSERT_EQ(handled.size(), 2u);
  EXPECT_EQ(handled[0].messageId, 0x31);
  EXPECT_EQ(handled[1].messageId, 0x13);
}

TEST_F(ParseFixture, ErrorMessagesAreJournalledInHexAndStillDelivered) {
  zelto::test::TempDir dir;
  const std::string path = dir.file("zda.log");
  auto* journal = new Journaller(path.c_str(), true, JLL_ALERT);
  gJournal.store(journal);
  link->setMasterDevice(&master);
  auto waiter = link->addReplyObject(0x31);
  Message error(0x42, {0x04});
  link->handleMessage(error.m);
  gJournal.store(nullptr);
  journal->flushFile();
  delete journal;
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::string hex;
  char digits[3];
  for (uint8_t b : frame(0x42, {0x04})) {
    std::snprintf(digits, sizeof digits, "%02X", b);
    hex += digits;
  }
  EXPECT_EQ(hex, "FAFF420104BA");
  EXPECT_NE(text.str().find("Error message received: " + hex), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("0: msg ID = 31"), std::string::npos);
  ASSERT_EQ(master.handledCount(), 1u);
  EXPECT_EQ(master.handled()[0].messageId, 0x42);
}

TEST_F(ParseFixture, WriteMessageFramesReportsAndRefuses) {
  link->setMasterDevice(&master);
  Message goto_(0x10);
  EXPECT_TRUE(link->writeMessage(goto_.m));
  EXPECT_EQ(pty.receiveExactly(5, 1000), (Bytes{0xFA, 0xFF, 0x10, 0x00, 0xF1}));
  ASSERT_EQ(master.sent().size(), 1u);
  EXPECT_EQ(master.sent()[0].messageId, 0x10);

  ZtMessage empty;
  ZtMessage_construct(&empty);
  EXPECT_FALSE(link->writeMessage(empty));
  EXPECT_EQ(link->lastResult(), ZRV_INVALIDMESSAGE);
  ZtMessage_destruct(&empty);

  link->closePort();
  EXPECT_FALSE(link->writeMessage(goto_.m));
  EXPECT_EQ(link->lastResult(), ZRV_NOPORTOPEN);
  MessageList out;
  ZtByteArray none;
  ZtByteArray_construct(&none, 0, nullptr);
  EXPECT_EQ(link->processBufferedData(none, out), ZRV_UNSUPPORTED);
  ZtByteArray_destruct(&none);
}

TEST(Communicator, AClearedLinkRefusesInsteadOfCrashing) {
  Communicator link;
  link.clear(false);
  RecordingLinkDevice master;
  link.setMasterDevice(&master);
  EXPECT_FALSE(link.addReplyObject(0x31));
  EXPECT_EQ(link.gotoConfig(false), ZRV_UNSUPPORTED);
  EXPECT_EQ(link.getDeviceId(), ZRV_UNSUPPORTED);
  EXPECT_EQ(link.gotoMeasurement(), ZRV_UNSUPPORTED);
  EXPECT_FALSE(link.hasProtocol(ZPT_Zbus));
  Message m(0x36);
  link.handleMessage(m.m);
  EXPECT_EQ(master.handledCount(), 1u);
  link.setMasterDevice(nullptr);
  link.clear(true);
  EXPECT_TRUE(link.hasProtocol(ZPT_Zbus));
  EXPECT_TRUE(link.addReplyObject(0x31));
}

// A reader whose passes the test runs itself, on a link whose own reader is not started.
class PassProbe : public KtThread {
 public:
  using KtThread::KtThread;
  int pass() { return innerFunction(); }
};

// A pass waits on the port until bytes arrive (or a wake-up); after a read of fewer than
// kSmallRead bytes it asks for a pause of kSmallReadPauseMs (not while a request waits for its
// reply), after a larger one none, and after a wait that read nothing none either (the wait
// itself took the time); the blocks it hands over are parsed in order.
TEST_F(ParseFixture, ReaderPassPausesOnlyAfterASmallRead) {
  link->setMasterDevice(&master);
  PassProbe probe(link.get());
  // Waits until the port has count bytes queued, so one read takes them all.
  auto queued = [&](size_t count) {
    for (int i = 0; i < 2000; ++i) {
      int n = 0;
      if (ioctl(pty.slaveFd(), FIONREAD, &n) == 0 && n >= static_cast<int>(count)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  };
  ASSERT_EQ(KtThread::kSmallRead, 256u);
  ASSERT_EQ(KtThread::kSmallReadPauseMs, 2);
  // Bytes read in one pass (garbage the parser drops, then a 10-byte frame), and the pause asked.
  const struct {
    size_t bytes;
    int pause;
  } cases[] = {{300, 0}, {256, 0}, {255, 2}, {10, 2}};
  for (const auto& c : cases) {
    Bytes block(c.bytes, 0x55);
    if (c.bytes == 10) {
      block = frame(0x36, {1, 2, 3});
      block.insert(block.end(), 10 - block.size(), 0x00);
    }
    ASSERT_TRUE(pty.send(block));
    ASSERT_TRUE(queued(c.bytes));
    EXPECT_EQ(probe.pass(), c.pause) << c.bytes << " bytes";
  }
  {
    // While a request waits for its reply, a small read is followed by the next at once.
    const Communicator::ReplyHandle waiting = link->addReplyObject(0x31);
    ASSERT_TRUE(pty.send(Bytes(10, 0x55)));
    ASSERT_TRUE(queued(10));
    EXPECT_EQ(probe.pass(), 0) << "awaiting a reply";
  }
  // A silent line: the pass waits until woken, then goes round at once.
  const auto t0 = std::chrono::steady_clock::now();
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    probe.wake();
  });
  EXPECT_EQ(probe.pass(), 0);
  waker.join();
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(35));
  // Bytes arriving during a wait end it (a small read: the pause follows).
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pty.send(frame(0x36, {4}));
  });
  EXPECT_EQ(probe.pass(), KtThread::kSmallReadPauseMs);
  sender.join();
  probe.waitForCompletion();  // all blocks were parsed
  EXPECT_EQ(link->receiveBufferSize(), 0u);
  ASSERT_EQ(master.handledCount(), 2u);
  EXPECT_EQ(master.handled()[0].payload, (Bytes{1, 2, 3}));
  EXPECT_EQ(master.handled()[1].payload, (Bytes{4}));
  link->setMasterDevice(nullptr);
}

// The reader reads into the room behind its backlog's end and the parse side takes from its
// start: bytes come out exactly as sent while the ring wraps (a room too short for a read near
// the end goes through the reader's own buffer, a longer one takes part of a read), with nothing
// dropped and no allocation per pass once the ring has its first storage. The parse side is
// driven by the test: the pool is held suspended, so the task the first pass queues waits.
TEST_F(ParseFixture, ReaderPassesFillTheBacklogInOrderAcrossWrapsWithoutAllocating) {
  PassProbe probe(link.get());
  zelto::ThreadPool* pool = zelto::ThreadPool::instance();
  pool->suspend(true);
  // Resumed on every way out, before the probe waits for its parse task.
  const struct ResumeOnExit {
    zelto::ThreadPool* pool;
    ~ResumeOnExit() { pool->resume(); }
  } resumeOnExit{pool};
  // A stream of about five rings (of 64 KiB at first): 1000-byte pieces end 536 bytes short of
  // the first wrap, 7000-byte pieces reach it with several kilobytes of room.
  Bytes stream(330000);
  for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<uint8_t>(i % 251);
  ZtByteArray taken;
  ZtByteArray_construct(&taken, 0, nullptr);
  ASSERT_EQ(ZtArray_reserve(ZTARRAY(&taken), stream.size() + KtThread::kParseChunk), 0);
  constexpr size_t kKeep = 20000;  // never drained: the parse side stays pending
  size_t sent = 0;
  uint64_t allocations = 0;
  bool stalled = false;
  while (sent < stream.size() && !stalled) {
    const size_t piece = std::min<size_t>(sent < stream.size() / 2 ? 1000 : 7000, stream.size() - sent);
    ASSERT_TRUE(pty.send(stream.data() + sent, piece));
    sent += piece;
    const AllocationCounter counter;
    while (!stalled && probe.backlogSize() + taken.size < sent) {
      int queued = 0;
      for (int i = 0; i < 2000 && (ioctl(pty.slaveFd(), FIONREAD, &queued) != 0 || queued == 0); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      stalled = queued == 0;
      if (!stalled) {
        EXPECT_EQ(probe.pass(), 0);
      }
    }
    while (probe.backlogSize() > kKeep) probe.takeParseChunk(taken);
    if (sent > 1000) allocations += counter.count();  // the first pass gives the ring its storage
  }
  ASSERT_FALSE(stalled) << "bytes sent never reached the backlog";
  while (probe.takeParseChunk(taken)) {
  }
  ASSERT_EQ(taken.size, stream.size());
  EXPECT_TRUE(std::equal(stream.begin(), stream.end(), taken.data));
  EXPECT_EQ(probe.droppedBytes(), 0u);
  EXPECT_EQ(allocations, 0u);
  ZtByteArray_destruct(&taken);
}

TEST(KtThread, RepeatBlockAndJitter) {
  Communicator link;
  const ZtByteArray& block = link.readerThread()->gotoConfigBlock();
  ASSERT_EQ(block.size, 69u);
  Bytes bytes(block.data, block.data + block.size);
  Bytes padded = frame(0x30, Bytes(59, 0));
  append(padded, frame(0x30));
  EXPECT_EQ(bytes, padded);
  EXPECT_EQ(KtThread::jitterMs(0), 5u);
  EXPECT_EQ(KtThread::jitterMs(2147483647), 15u);
  EXPECT_EQ(KtThread::jitterMs(1073741824), 10u);
  for (int i = 0; i < 1000; ++i) {
    const unsigned j = KtThread::jitterMs(std::rand());
    EXPECT_GE(j, 5u);
    EXPECT_LE(j, 15u);
  }
}

TEST(Communicator, AccessorsWithoutPortOrDevice) {
  Communicator link;
  EXPECT_FALSE(link.isPortOpen());
  EXPECT_EQ(link.baudRate(), 0u);
  EXPECT_EQ(link.childDeviceCount(), 0);
  EXPECT_EQ(link.findDevice(0), nullptr);
  link.setGotoConfigTimeout(500);
  EXPECT_EQ(link.gotoConfigTimeout(), 500u);
  link.setGotoConfigTimeout(0);
  EXPECT_EQ(link.gotoConfigTimeout(), 150u);
  RecordingLinkDevice master(0x00112233, 4);
  link.setMasterDevice(&master);
  EXPECT_EQ(link.childDeviceCount(), 4);
  EXPECT_EQ(link.findDevice(0), master.linkedDevice());
  EXPECT_EQ(link.findDevice(0x00112233), master.linkedDevice());
  EXPECT_EQ(link.findDevice(0x00999999), nullptr);
  // A master and a thread but no port: the request cannot be written.
  EXPECT_EQ(link.gotoMeasurement(), ZRV_ERROR);
  link.setMasterDevice(nullptr);
}

}  // namespace
