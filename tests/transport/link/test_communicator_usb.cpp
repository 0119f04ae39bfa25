// The link on a USB port, over the stand-in libusb: data read through bulk transfers reaches the
// master in order, writes go out framed, and an unplugged device closes the link and is reported
// instead of being polled for ever.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "support/CallbackRecorder.h"
#include "support/emulator/EmuFrame.h"
#include "support/emulator/RecordingLinkDevice.h"
#include "support/fakeusb/FakeUsb.h"
#include "support/fakeusb/UsbTestAccess.h"
#include "transport/link/Communicator.h"
#include "transport/link/KtThread.h"
#include "transport/io/UsbEnumeration.h"

namespace {

using zelto::test::EmuFrame;
using zelto::test::RecordingLinkDevice;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

#ifdef ZDA_UNDER_SANITIZER
constexpr auto kCommunicatorUsbWait = 8000ms;
#else
constexpr auto kCommunicatorUsbWait = 3000ms;
#endif

class UsbLinkTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ZtLibUsbTestAccess::useLibrary(ZDA_FAKEUSB_SO); }
  static void TearDownTestSuite() { ZtLibUsbTestAccess::useLibrary(nullptr); }

  void SetUp() override {
    fake = &fakeusb::control(ZDA_FAKEUSB_SO);
    fake->reset();
    device = fake->addDevice(fakeusb::makeDevice(1, 7, kZeltoUsbVendorId, 1));
  }
  void TearDown() override {
    link.setMasterDevice(nullptr);
    link.closePort();
    EXPECT_EQ(fake->openHandles(), 0);
  }
  bool open() {
    ZtString name;
    ZtString_construct(&name, "USB001:007");
    const bool ok = link.openPort(name, 0, OPS_OpenPort | OPS_StartThread);
    ZtString_destruct(&name);
    return ok;
  }

  fakeusb::Control* fake = nullptr;
  int device = 0;
  Communicator link;
  RecordingLinkDevice master{0x00345678, 0};
};

TEST_F(UsbLinkTest, DataArrivesInOrderAndWritesGoOutFramed) {
  ASSERT_TRUE(open()) << link.lastResult();
  EXPECT_TRUE(link.isPortOpen());
  EXPECT_EQ(link.baudRate(), 0u);
  ZtString name = link.portName();
  EXPECT_STREQ(ZtString_c_str(&name), "USB001:007");
  ZtString_destruct(&name);
  link.setMasterDevice(&master);

  Bytes stream;
  for (uint8_t i = 0; i < 50; ++i) {
    const Bytes f = EmuFrame{0xFF, 0x36, {i, 0x5A}}.encode();
    stream.insert(stream.end(), f.begin(), f.end());
  }
  // Delivered in odd pieces, as USB packets cut a stream.
  for (size_t pos = 0; pos < stream.size(); pos += 37)
    fake->feed(device, Bytes(stream.begin() + static_cast<long>(pos),
                             stream.begin() + static_cast<long>(std::min(pos + 37, stream.size()))));
  ASSERT_TRUE(master.waitForHandled(50, kCommunicatorUsbWait));
  const auto handled = master.handled();
  for (uint8_t i = 0; i < 50; ++i) EXPECT_EQ(handled[i].payload, (Bytes{i, 0x5A})) << int(i);

  ZtMessage request;
  ZtMessage_constructSized(&request, 0);
  ZtMessage_setMessageId(&request, 0x30);
  ASSERT_TRUE(link.writeMessage(request));
  ZtMessage_destruct(&request);
  EXPECT_EQ(fake->drain(device), (Bytes{0xFA, 0xFF, 0x30, 0x00, 0xD1}));
}

TEST_F(UsbLinkTest, UnpluggedDeviceClosesTheLinkAndIsReported) {
  CallbackRecorder recorder;
  link.addCallbackHandler(&recorder, false);
  ASSERT_TRUE(open()) << link.lastResult();
  link.setMasterDevice(&master);
  fake->feed(device, EmuFrame{0xFF, 0x36, {1}}.encode());
  ASSERT_TRUE(master.waitForHandled(1, kCommunicatorUsbWait));
  fake->unplug(device);
  ASSERT_TRUE(recorder.waitFor(CallbackRecorder::Kind::Error, 1, kCommunicatorUsbWait));
  const auto errors = recorder.events(CallbackRecorder::Kind::Error);
  EXPECT_EQ(errors[0].values[0], ZRV_NOPORTOPEN);  // the USB layer's "device gone"
  EXPECT_EQ(errors[0].device, master.linkedDevice());
  EXPECT_FALSE(link.isPortOpen());
  EXPECT_TRUE(link.readerThread()->isTerminating());  // the reading has ended
  link.closePort();  // the report is over when this returns: the recorder may go
  EXPECT_EQ(recorder.count(CallbackRecorder::Kind::Error), 1u);
}

// An idle reader waits in its bulk transfer for a bounded time, whatever the port time-out
// (2000 ms while measuring), so closing never waits for a long transfer.
TEST_F(UsbLinkTest, IdleReaderWaitsInItsTransferAndClosingIsBounded) {
  ASSERT_TRUE(open()) << link.lastResult();
  link.setMeasuring(true);
  std::this_thread::sleep_for(2 * std::chrono::milliseconds(Communicator::kUsbReaderWaitMs));
  EXPECT_EQ(fake->lastInTimeout(), Communicator::kUsbReaderWaitMs);
  const auto t0 = std::chrono::steady_clock::now();
  link.closePort();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(Communicator::kUsbReaderWaitMs + 150));
  EXPECT_FALSE(link.isPortOpen());
}

}  // namespace
