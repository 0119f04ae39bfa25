// SerialInterface on a pseudo-terminal: open/configure, exclusive lock, time-outs, partial reads,
// hang-up, failed opens that must not leave the descriptor behind, baud rates.
#include <gtest/gtest.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/PtyPort.h"
#include "transport/io/SerialInterface.h"

namespace {

using zelto::test::PtyPort;
using Clock = std::chrono::steady_clock;

struct SerialBytes {
  ZtByteArray a;
  SerialBytes() { ZtByteArray_construct(&a, 0, nullptr); }
  explicit SerialBytes(const std::string& s) {
    ZtByteArray_construct(&a, s.size(), reinterpret_cast<const uint8_t*>(s.data()));
  }
  ~SerialBytes() { ZtByteArray_destruct(&a); }
  SerialBytes(const SerialBytes&) = delete;
  SerialBytes& operator=(const SerialBytes&) = delete;
  std::string str() const { return std::string(reinterpret_cast<const char*>(a.data), a.size); }
};

ZtPortInfo portInfo(const std::string& name, ZtBaudRate baud = B115200) {
  ZtPortInfo info = {};
  std::snprintf(info.portName, sizeof info.portName, "%s", name.c_str());
  info.baudRate = baud;
  return info;
}

std::string text(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

long elapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

class SerialTest : public ::testing::Test {
 protected:
  void open(ZtBaudRate baud = B115200) { ASSERT_EQ(ZRV_OK, port.open(portInfo(pty.slavePath(), baud))); }
  struct termios lineSettings() {
    struct termios t = {};
    EXPECT_EQ(0, tcgetattr(pty.slaveFd(), &t));
    return t;
  }

  PtyPort pty;
  SerialInterface port;
};

TEST_F(SerialTest, OpenPutsTheLineIntoRaw8N2) {
  open();
  EXPECT_TRUE(port.isOpen());
  EXPECT_EQ(1, port.getPortNumber());
  EXPECT_EQ(static_cast<ZtBaudRate>(B115200), port.getBaudrate());
  EXPECT_GE(port.getHandle(), 0);
  const struct termios t = lineSettings();
  EXPECT_EQ(static_cast<tcflag_t>(CS8), t.c_cflag & CSIZE);
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & CREAD);
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_FALSE(t.c_cflag & (PARENB | CRTSCTS));
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
  EXPECT_FALSE(t.c_iflag & (ICRNL | IXON | ISTRIP));
  EXPECT_FALSE(t.c_oflag & OPOST);
  EXPECT_EQ(static_cast<speed_t>(B115200), cfgetospeed(&t));
  EXPECT_EQ(0, t.c_cc[VMIN]);

  EXPECT_EQ(ZRV_ALREADYOPEN, port.open(portInfo(pty.slavePath())));
  EXPECT_EQ(ZRV_ALREADYOPEN, port.getLastResult());
  EXPECT_TRUE(port.isOpen());
}

TEST_F(SerialTest, BytesPassUnchangedBothWays) {
  open();
  const std::string binary("\r\n\x00\x11\x13\x7f\xff\x03", 8);
  ASSERT_TRUE(pty.send(binary.data(), binary.size()));
  SerialBytes in;
  port.setTimeout(1000);
  ASSERT_EQ(ZRV_OK, port.waitForData(binary.size(), in.a));
  EXPECT_EQ(binary, in.str());

  SerialBytes out(binary);
  size_t written = 0;
  EXPECT_EQ(ZRV_OK, port.writeData(out.a, &written));
  EXPECT_EQ(binary.size(), written);
  EXPECT_EQ(binary, text(pty.receiveExactly(binary.size(), 1000)));
}

TEST_F(SerialTest, ReadReturnsWhatTheLineHas) {
  open();
  port.setTimeout(1000);
  ASSERT_TRUE(pty.send("abc", 3));
  SerialBytes in;
  EXPECT_EQ(ZRV_OK, port.readData(10, in.a));
  EXPECT_EQ("abc", in.str());
  ASSERT_TRUE(pty.send("defgh", 5));
  EXPECT_EQ(ZRV_OK, port.readData(2, in.a));
  EXPECT_EQ("de", in.str());
  EXPECT_EQ(ZRV_OK, port.readData(10, in.a));
  EXPECT_EQ("fgh", in.str());
}

TEST_F(SerialTest, SilentLineTimesOut) {
  open();
  SerialBytes in("stale");
  port.setTimeout(0);
  auto start = Clock::now();
  EXPECT_EQ(ZRV_TIMEOUT, port.readData(10, in.a));
  EXPECT_EQ(0u, in.a.size);
  EXPECT_LT(elapsedMs(start), 1000);  // generous: loaded CI machines

  port.setTimeout(40);
  start = Clock::now();
  EXPECT_EQ(ZRV_TIMEOUT, port.readData(10, in.a));
  EXPECT_GE(elapsedMs(start), 35);
  EXPECT_LT(elapsedMs(start), 2000);

  // Four bytes and then silence: the fixed-count wait gives up with a time-out.
  ASSERT_TRUE(pty.send("1234", 4));
  start = Clock::now();
  EXPECT_EQ(ZRV_TIMEOUT, port.waitForData(10, in.a));
  EXPECT_LT(elapsedMs(start), 2000);
}

TEST_F(SerialTest, TimeoutSetsVtimeInTenthsRoundedUp) {
  open();
  const struct {
    uint32_t ms;
    int vtime;
  } cases[] = {{0, 0}, {1, 1}, {100, 1}, {101, 2}, {25500, 255}, {25600, 255}, {4000000000u, 255}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ms);
    EXPECT_EQ(ZRV_OK, port.setTimeout(c.ms));
    EXPECT_EQ(c.ms, port.getTimeout());
    EXPECT_EQ(c.vtime, lineSettings().c_cc[VTIME]);
  }
  // The time-out survives a close and is applied again by the next open.
  port.setTimeout(300);
  port.close();
  open();
  EXPECT_EQ(3, lineSettings().c_cc[VTIME]);
}

TEST_F(SerialTest, WaitForDataCollectsAcrossReads) {
  open();
  port.setTimeout(1000);
  SerialBytes in;
  std::thread device([this] {
    pty.send("abcd", 4);
    pty.send("efghij", 6);
  });
  EXPECT_EQ(ZRV_OK, port.waitForData(10, in.a));
  device.join();
  EXPECT_EQ("abcdefghij", in.str());
  EXPECT_EQ(ZRV_OK, port.waitForData(0, in.a));
  EXPECT_EQ(0u, in.a.size);
}

// A closed pseudo-terminal master is what an unplugged adapter looks like: the read must report
// the port as closed (289) at once instead of "success, no data" for ever.
TEST_F(SerialTest, HangUpIsReportedAsPortClosed) {
  open();
  port.setTimeout(2000);
  pty.hangUp();
  SerialBytes in;
  const auto start = Clock::now();
  EXPECT_EQ(ZRV_PORTCLOSED, port.readData(10, in.a));
  EXPECT_EQ(0u, in.a.size);
  EXPECT_EQ(ZRV_PORTCLOSED, port.waitForData(4, in.a));
  EXPECT_EQ(ZRV_PORTCLOSED, port.getLastResult());
  EXPECT_LT(elapsedMs(start), 1000);
  EXPECT_EQ(ZRV_OK, port.close());
}

TEST_F(SerialTest, SecondOpenOfALockedPortFailsAndStaysClosed) {
  open();
  SerialInterface other;
  EXPECT_EQ(ZRV_INPUTCANNOTBEOPENED, other.open(portInfo(pty.slavePath())));
  EXPECT_FALSE(other.isOpen());
  EXPECT_EQ(ZRV_INPUTCANNOTBEOPENED, other.getLastResult());
  EXPECT_EQ(0, other.getPortNumber());
  port.close();
  EXPECT_EQ(ZRV_OK, other.open(portInfo(pty.slavePath())));
}

// Every failed step of an open closes the descriptor again: the port stays closed and a retry
// fails the same way instead of with "already open".
TEST_F(SerialTest, FailedOpensLeaveThePortClosed) {
  const struct {
    std::string name;
    ZtBaudRate baud;
    ZtResultValue result;
  } cases[] = {
      {"/nonexistent/tty", B9600, ZRV_INPUTCANNOTBEOPENED},
      {"/dev/null", B9600, ZRV_ERROR},                        // not a terminal
      {pty.slavePath(), 12345, ZRV_ERROR},                    // no such speed
      {"/dev/" + std::string(40, 'x'), B9600, ZRV_INPUTCANNOTBEOPENED},  // name too long
      {"", B9600, ZRV_INPUTCANNOTBEOPENED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SerialInterface failing;
    for (int attempt = 0; attempt < 2; ++attempt) {
      EXPECT_EQ(c.result, failing.open(portInfo(c.name, c.baud)));
      EXPECT_FALSE(failing.isOpen());
      EXPECT_EQ(-1, failing.getHandle());
      EXPECT_EQ(c.result, failing.getLastResult());
    }
  }
  // Nothing of the failed attempts holds the lock.
  open();
}

TEST_F(SerialTest, BaudRatesUpToTheHighSpeedsAreAccepted) {
  for (ZtBaudRate baud : {B9600, B115200, B460800, B921600, B1000000, B2000000, B4000000}) {
    SCOPED_TRACE(baud);
    open(baud);
    EXPECT_EQ(baud, port.getBaudrate());
    const struct termios t = lineSettings();
    EXPECT_EQ(static_cast<speed_t>(baud), cfgetospeed(&t));
    EXPECT_EQ(ZRV_OK, port.close());
  }
}

TEST_F(SerialTest, ClosedPortAnswersNotOpen) {
  SerialBytes data("x");
  size_t written = 7;
  EXPECT_EQ(ZRV_NOPORTOPEN, port.writeData(data.a, &written));
  EXPECT_EQ(7u, written);
  EXPECT_EQ(ZRV_NOPORTOPEN, port.readData(1, data.a));
  EXPECT_EQ(ZRV_NOPORTOPEN, port.close());
  EXPECT_EQ(ZRV_NOPORTOPEN, port.escape(SerialInterface::kControlDtr, 0));
  ZtString name;
  ZtString_construct(&name, "");
  port.getPortName(name);
  EXPECT_STREQ("", ZtString_c_str(&name));

  open(B9600);
  EXPECT_EQ(ZRV_OK, port.close());
  EXPECT_EQ(0u, port.getBaudrate());
  port.getPortName(name);
  EXPECT_EQ(pty.slavePath(), ZtString_c_str(&name));
  ZtString_destruct(&name);
}

// A pseudo-terminal has no modem lines: the open succeeds regardless, and escape reports that
// it could not change them.
TEST_F(SerialTest, EscapeReportsLinesItCannotSet) {
  open();
  EXPECT_EQ(ZRV_ERROR, port.escape(SerialInterface::kControlDtr | SerialInterface::kControlRts,
                                   SerialInterface::kControlDtr));
  EXPECT_EQ(ZRV_OK, port.escape(0, 0));
}

// Request threads clear and restore the time-out while the reader thread is inside readData;
// under TSan an unguarded time-out shows as a race.
TEST_F(SerialTest, TimeoutChangesWhileTheReaderReads) {
  open();
  std::atomic<bool> stop{false};
  std::atomic<size_t> received{0};
  std::thread reader([&] {
    SerialBytes in;
    while (!stop.load()) {
      const ZtResultValue r = port.readData(64, in.a);
      if (r == ZRV_OK) {
        received += in.a.size;
      } else if (r != ZRV_TIMEOUT) {
        ADD_FAILURE() << "read result " << r;
      }
    }
  });
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(ZRV_OK, port.setTimeout(i % 2 == 0 ? 2 : 0));
    if (i % 20 == 0) {
      EXPECT_TRUE(pty.send("01234567", 8));
    }
  }
  const auto start = Clock::now();
  while (received.load() < 80 && elapsedMs(start) < 5000) std::this_thread::yield();
  stop = true;
  reader.join();
  EXPECT_EQ(80u, received.load());
  EXPECT_EQ(0u, port.getTimeout());
  EXPECT_EQ(0, lineSettings().c_cc[VTIME]);
}

TEST_F(SerialTest, ReaderThreadAndWriterRunTogether) {
  open();
  port.setTimeout(50);
  constexpr size_t kTotal = 4000;
  std::string received;
  std::thread reader([&] {
    SerialBytes in;
    const auto start = Clock::now();
    while (received.size() < kTotal && elapsedMs(start) < 5000) {
      if (port.readData(256, in.a) == ZRV_OK) received += in.str();
    }
  });
  SerialBytes out("0123456789");
  std::string echoed;
  for (size_t sent = 0; sent < kTotal; sent += 10) {
    // No ASSERT while the reader runs: leaving the test would destroy a joinable thread.
    const bool sentOk = pty.send(std::string(10, static_cast<char>('a' + sent / 10 % 26)).data(), 10);
    const ZtResultValue wrote = port.writeData(out.a);
    EXPECT_TRUE(sentOk);
    EXPECT_EQ(ZRV_OK, wrote);
    if (!sentOk || wrote != ZRV_OK) break;
    echoed += text(pty.receive(4096, 0));
  }
  reader.join();
  echoed += text(pty.receiveExactly(kTotal - echoed.size(), 2000));
  EXPECT_EQ(kTotal, received.size());
  EXPECT_EQ(kTotal, echoed.size());
}

}  // namespace
