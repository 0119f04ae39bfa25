// The device emulator is the reference peer of the link tests: pin its framing to hand-written
// bytes and check its conversation over a real pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/EmulatorProcess.h"
#include "support/emulator/DeviceEmulator.h"

namespace zelto::test {
namespace {

TEST(EmuFrame, EncodesHandWrittenFrames) {
  struct Case {
    EmuFrame frame;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {{0xFF, 0x30, {}}, {0xFA, 0xFF, 0x30, 0x00, 0xD1}},
      {{0xFF, 0x00, {}}, {0xFA, 0xFF, 0x00, 0x00, 0x01}},
      {{0x01, 0x11, {0x04}}, {0xFA, 0x01, 0x11, 0x01, 0x04, 0xE9}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.frame.encode(), c.bytes);
  EmuFrame big{0xFF, 0x36, std::vector<uint8_t>(300, 0xAB)};
  auto bytes = big.encode();
  ASSERT_EQ(bytes.size(), 307u);
  EXPECT_EQ(bytes[3], 0xFF);
  EXPECT_EQ(bytes[4], 0x01);
  EXPECT_EQ(bytes[5], 0x2C);
}

TEST(EmuFrame, DecoderSkipsGarbageAndBadChecksumsAcrossSplits) {
  std::vector<uint8_t> stream = {0x00, 0xFA, 0x13};
  auto good = EmuFrame{0xFF, 0x31, {1, 2, 3}}.encode();
  auto bad = good;
  bad.back() ^= 0x55;
  stream.insert(stream.end(), bad.begin(), bad.end());
  stream.insert(stream.end(), good.begin(), good.end());
  EmuFrameDecoder d;
  std::vector<EmuFrame> out;
  for (uint8_t b : stream) {
    d.feed(&b, 1);
    while (auto f = d.next()) out.push_back(*f);
  }
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].messageId, 0x31);
  EXPECT_EQ(out[0].payload, (std::vector<uint8_t>{1, 2, 3}));
}

std::vector<EmuFrame> readFrames(int fd, size_t count, int timeoutMs) {
  EmuFrameDecoder d;
  std::vector<EmuFrame> out;
  uint8_t buf[512];
  while (out.size() < count) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) break;
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    d.feed(buf, static_cast<size_t>(n));
    while (auto f = d.next()) out.push_back(*f);
  }
  return out;
}

TEST(DeviceEmulator, AnswersAndStreamsOverPseudoTerminal) {
  int master = -1, slave = -1;
  termios raw{};
  cfmakeraw(&raw);
  ASSERT_EQ(openpty(&master, &slave, nullptr, &raw, nullptr), 0);
  DeviceEmulator emu(std::make_unique<FdEmulatorLink>(master));
  emu.setDeviceId(0x00345678);
  emu.setGotoConfigAfterTries(2);
  emu.setDataRate(200);
  emu.start();

  auto send = [&](uint8_t mid) {
    auto b = EmuFrame{0xFF, mid, {}}.encode();
    ASSERT_EQ(write(slave, b.data(), b.size()), ssize_t(b.size()));
  };
  send(0x00);
  auto r = readFrames(slave, 1, 1000);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].messageId, 0x01);
  EXPECT_EQ(r[0].payload, (std::vector<uint8_t>{0x00, 0x34, 0x56, 0x78}));

  // Defaults: the configuration of the device id with no devices, firmware 1.0.0.
  send(0x0C);
  r = readFrames(slave, 1, 1000);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].messageId, 0x0D);
  ASSERT_EQ(r[0].payload.size(), 98u);
  EXPECT_EQ(std::vector<uint8_t>(r[0].payload.begin(), r[0].payload.begin() + 4),
            (std::vector<uint8_t>{0x00, 0x34, 0x56, 0x78}));
  EXPECT_EQ(r[0].payload[96] * 256 + r[0].payload[97], 0);
  send(0x12);
  r = readFrames(slave, 1, 1000);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].messageId, 0x13);
  EXPECT_EQ(r[0].payload, (std::vector<uint8_t>{1, 0, 0}));

  send(0x10);
  r = readFrames(slave, 4, 1000);
  ASSERT_GE(r.size(), 4u);  // one read may carry more data messages
  EXPECT_EQ(r[0].messageId, 0x11);
  EXPECT_EQ(r[1].messageId, 0x36);
  EXPECT_EQ(r[2].payload, emu.defaultDataPayload(1));

  send(0x30);  // first try: ignored
  ASSERT_TRUE(emu.waitForReceived(0x30, 1, 1000));
  EXPECT_TRUE(emu.measuring());
  send(0x30);
  ASSERT_TRUE(emu.waitForReceived(0x30, 2, 1000));
  bool acked = false;
  for (int i = 0; i < 200 && !acked; ++i)
    for (const auto& f : readFrames(slave, 1, 20)) acked = acked || f.messageId == 0x31;
  EXPECT_TRUE(acked);
  EXPECT_FALSE(emu.measuring());

  emu.script(0x10, EmuAction::error(0x04));
  send(0x10);
  bool gotError = false;
  for (int i = 0; i < 50 && !gotError; ++i)
    for (const auto& f : readFrames(slave, 1, 20))
      gotError = gotError || (f.messageId == 0x42 && f.payload == std::vector<uint8_t>{0x04});
  EXPECT_TRUE(gotError);
  EXPECT_FALSE(emu.measuring());
  emu.stop();
  close(slave);
}

double cpuSeconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Above 1 kHz the time to the next message is below a millisecond: the emulator must sleep until
// it rather than poll (a poller takes a whole core). The emulator's CPU is the process's less
// this thread's, which drains the stream.
TEST(DeviceEmulator, AStreamAboveOneKilohertzSleepsBetweenMessages) {
  int master = -1, slave = -1;
  termios raw{};
  cfmakeraw(&raw);
  ASSERT_EQ(openpty(&master, &slave, nullptr, &raw, nullptr), 0);
  DeviceEmulator emu(std::make_unique<FdEmulatorLink>(master));
  emu.setDataRate(2000);
  emu.start();
  const double process0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID), self0 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
  const auto start = std::chrono::steady_clock::now();
  emu.setMeasuring(true);
  std::vector<uint8_t> sink(4096);
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(500)) {
    pollfd p{slave, POLLIN, 0};
    if (poll(&p, 1, 50) > 0) {
      ASSERT_GT(read(slave, sink.data(), sink.size()), 0);
    }
  }
  emu.setMeasuring(false);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double emulatorCpu = (cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process0) - (cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - self0);
  const uint32_t sent = emu.dataMessagesSent();
  emu.stop();
  close(slave);
  EXPECT_GT(sent, static_cast<uint32_t>(2000 * wall * 0.6));  // it kept (most of) the pace
  EXPECT_LT(emulatorCpu, 0.4 * wall) << sent << " messages in " << wall << " s";
}

// The emulator program serving a stream ends on SIGTERM even when nobody reads its terminal: its
// serving thread, finding the terminal full, must not wait for room for ever (nor the main thread
// for it). A reader that stops first (a test run ending) leaves it so.
TEST(EmulatorProgram, EndsOnSigtermWithAFullUnreadTerminal) {
  // An instrumented emulator streams more slowly for the same processor time: fewer messages a
  // second and longer to fill, so it does not crowd the tests run beside it.
#ifdef ZDA_UNDER_SANITIZER
  const char* const rate = "5000";
  constexpr auto kFill = std::chrono::milliseconds(4000);
#else
  const char* const rate = "20000";
  constexpr auto kFill = std::chrono::milliseconds(1500);
#endif
  EmulatorProcess emulator(std::string(ZDA_BINARY_DIR) + "/tests/support/emulator/zda_emulator",
                           {"01234567", rate, "serve"});
  ASSERT_FALSE(emulator.port().empty());
  const int fd = open(emulator.port().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  termios raw{};
  ASSERT_EQ(tcgetattr(fd, &raw), 0);
  cfmakeraw(&raw);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &raw), 0);
  const std::vector<uint8_t> gotoMeasurement = EmuFrame{0xFF, 0x10, {}}.encode();
  ASSERT_EQ(write(fd, gotoMeasurement.data(), gotoMeasurement.size()), static_cast<ssize_t>(gotoMeasurement.size()));
  // Never read: the line discipline's buffer fills (what FIONREAD counts, 4095 bytes at most),
  // then the terminal's buffer behind it, about 64 KiB, which 20 000 messages a second (140 KB/s;
  // 35 KB/s at 5000) fill well within the time given here.
  int queued = 0;
  for (int i = 0; i < 10000 && queued < 4000; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(ioctl(fd, FIONREAD, &queued), 0);
  }
  ASSERT_GE(queued, 4000) << "the emulator does not stream";
  std::this_thread::sleep_for(kFill);
  // A second is the promise; a stuck emulator never ends, so the bound only leaves room for a
  // loaded machine.
  EXPECT_TRUE(emulator.terminate(std::chrono::milliseconds(2000)));
  close(fd);
}

}  // namespace
}  // namespace zelto::test
