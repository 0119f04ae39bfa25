// UsbInterface and ztEnumerateUsbDevices over the stand-in libusb: enumeration filters,
// open/claim/release order, endpoint choice, reads and writes with splitting and time-outs, the
// result mapping, unplugging, and a missing library or function.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/PtyPort.h"
#include "support/fakeusb/FakeUsb.h"
#include "support/fakeusb/UsbTestAccess.h"
#include "transport/io/SerialInterface.h"
#include "transport/io/UsbEnumeration.h"
#include "transport/io/UsbInterface.h"

namespace {

using Clock = std::chrono::steady_clock;
using Calls = std::vector<std::string>;

struct UsbBytes {
  ZtByteArray a;
  UsbBytes() { ZtByteArray_construct(&a, 0, nullptr); }
  explicit UsbBytes(const std::vector<uint8_t>& v) { ZtByteArray_construct(&a, v.size(), v.data()); }
  ~UsbBytes() { ZtByteArray_destruct(&a); }
  UsbBytes(const UsbBytes&) = delete;
  UsbBytes& operator=(const UsbBytes&) = delete;
  std::vector<uint8_t> vec() const { return std::vector<uint8_t>(a.data, a.data + a.size); }
};

struct PortList {
  ZtPortInfoArray a;
  PortList() { ZtArray_construct(ZTARRAY(&a), &g_ztPortInfoArrayDescriptor, 0, nullptr); }
  ~PortList() { ZtArray_destruct(ZTARRAY(&a)); }
  PortList(const PortList&) = delete;
  PortList& operator=(const PortList&) = delete;
};

ZtPortInfo usbPort(const char* name) {
  ZtPortInfo info = {};
  std::snprintf(info.portName, sizeof info.portName, "%s", name);
  return info;
}

std::vector<uint8_t> sequence(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 1);
  return v;
}

class UsbTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ZtLibUsbTestAccess::useLibrary(ZDA_FAKEUSB_SO); }
  static void TearDownTestSuite() { ZtLibUsbTestAccess::useLibrary(nullptr); }

  void SetUp() override {
    fake = &fakeusb::control(ZDA_FAKEUSB_SO);
    fake->reset();
  }
  void TearDown() override {
    port.close();
    // Nothing of a port or an enumeration may stay behind.
    EXPECT_EQ(0, fake->openHandles());
    EXPECT_EQ(0, fake->liveConfigDescriptors());
    EXPECT_EQ(1, fake->liveContexts());  // the process-wide one
  }
  // A device at bus 1, address 7 with one bulk interface.
  int addStandardDevice() { return fake->addDevice(fakeusb::makeDevice(1, 7, kZeltoUsbVendorId, 1)); }

  fakeusb::Control* fake = nullptr;
  UsbInterface port;
};

TEST_F(UsbTest, EnumerationKeepsOnlyDevicesTheLibraryCanOpen) {
  using fakeusb::makeDevice;
  fake->addDevice(makeDevice(1, 7, kZeltoUsbVendorId, 0x0001, "1A2B3C4D"));
  fake->addDevice(makeDevice(2, 3, kBridgeUsbVendorId, 0x2307, "10", "Zelto COM port"));
  fake->addDevice(makeDevice(2, 4, kBridgeUsbVendorId, 0x2307, "11", "Zelto COM port2"));
  fake->addDevice(makeDevice(2, 5, kBridgeUsbVendorId, 0x2307, "12", "Zelto COM por"));
  fake->addDevice(makeDevice(2, 6, kBridgeUsbVendorId, 0x2307, "13", ""));
  fake->addDevice(makeDevice(2, 8, kBridgeUsbVendorId, 0x2308, "14", "anything"));
  fake->addDevice(makeDevice(3, 1, 0x1234, 0x0001, "15"));
  fakeusb::Device bound = makeDevice(3, 2, kZeltoUsbVendorId, 0x0001, "16");
  bound.interfaces.push_back(fakeusb::Interface{{fakeusb::AltSetting{1, {}}}, true});
  fake->addDevice(bound);
  fake->addDevice(makeDevice(4, 1, kZeltoUsbVendorId, 0x0001, "not hex"));
  fake->addDevice(makeDevice(4, 2, kZeltoUsbVendorId, 0x0001, "123456789"));
  fake->addDevice(makeDevice(4, 3, kZeltoUsbVendorId, 0x0001, ""));

  PortList ports;
  ztEnumerateUsbDevices(ports.a);
  struct Expected {
    std::string name;
    uint32_t id;
  };
  const std::vector<Expected> expected = {{"USB001:007", 0x1A2B3C4D}, {"USB002:003", 0x10},
                                          {"USB002:008", 0x14},       {"USB004:001", 0},
                                          {"USB004:002", 0},          {"USB004:003", 0}};
  ASSERT_EQ(expected.size(), ports.a.size);
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i].name, ports.a.data[i].portName);
    EXPECT_EQ(expected[i].id, ports.a.data[i].deviceId);
    EXPECT_EQ(0u, ports.a.data[i].baudRate);
  }
  // Every device opened for a look is closed again; every reference is given back.
  for (int id = 1; id <= 11; ++id) EXPECT_EQ(0, fake->deviceReferences(id)) << id;
  EXPECT_TRUE(fake->kernelDriverActive(8, 1));
}

TEST_F(UsbTest, EnumerationSkipsDevicesThatCannotBeOpened) {
  addStandardDevice();
  fake->failCall("libusb_open", fakeusb::kErrorAccess);
  PortList ports;
  ztEnumerateUsbDevices(ports.a);
  EXPECT_EQ(0u, ports.a.size);
  fake->failCall("libusb_open", 0);
  fake->failCall("libusb_init", fakeusb::kErrorOther);
  ztEnumerateUsbDevices(ports.a);
  EXPECT_EQ(0u, ports.a.size);
}

TEST_F(UsbTest, OpenClaimsEveryInterfaceAndCloseGivesThemBack) {
  fakeusb::Device d = fakeusb::makeDevice(1, 7, kZeltoUsbVendorId, 1);
  d.interfaces.push_back(fakeusb::Interface{{fakeusb::AltSetting{1, {}}}, true});
  const int id = fake->addDevice(d);

  ASSERT_EQ(ZRV_OK, port.open(usbPort("USB001:007")));
  EXPECT_TRUE(port.isOpen());
  EXPECT_EQ((Calls{"open 1", "claim 1:0", "detach 1:1", "claim 1:1"}), fake->calls());
  EXPECT_FALSE(fake->kernelDriverActive(id, 1));
  EXPECT_EQ(2, fake->deviceReferences(id));  // the port's own and the open handle's
  EXPECT_EQ(1u, port.usbBus());
  EXPECT_EQ(7u, port.usbAddress());
  EXPECT_EQ(ZRV_ALREADYOPEN, port.open(usbPort("USB001:007")));

  EXPECT_EQ(ZRV_OK, port.close());
  EXPECT_FALSE(port.isOpen());
  EXPECT_EQ((Calls{"open 1", "claim 1:0", "detach 1:1", "claim 1:1", "release 1:0", "release 1:1",
                   "attach 1:1", "close 1"}),
            fake->calls());
  EXPECT_TRUE(fake->kernelDriverActive(id, 1));
  EXPECT_FALSE(fake->kernelDriverActive(id, 0));
  EXPECT_EQ(0, fake->deviceReferences(id));
  EXPECT_EQ(0u, port.usbBus());
  EXPECT_EQ(ZRV_NOPORTOPEN, port.close());
}

TEST_F(UsbTest, BusyInterfaceUndoesTheClaimsMadeSoFar) {
  fakeusb::Device d = fakeusb::makeDevice(1, 7, kZeltoUsbVendorId, 1);
  d.interfaces.push_back(fakeusb::Interface{{fakeusb::AltSetting{1, {}}}, true});
  d.interfaces.push_back(fakeusb::Interface{{fakeusb::AltSetting{2, {}}}, false});
  const int id = fake->addDevice(d);
  fake->failCall("libusb_claim_interface", fakeusb::kErrorBusy, 2);

  EXPECT_EQ(ZRV_UNSUPPORTED, port.open(usbPort("USB001:007")));
  EXPECT_FALSE(port.isOpen());
  EXPECT_EQ(ZRV_UNSUPPORTED, port.getLastResult());
  EXPECT_EQ((Calls{"open 1", "claim 1:0", "detach 1:1", "claim 1:1", "claim 1:2", "release 1:0",
                   "release 1:1", "attach 1:1", "close 1"}),
            fake->calls());
  EXPECT_TRUE(fake->kernelDriverActive(id, 1));
  EXPECT_EQ(0, fake->deviceReferences(id));
}

TEST_F(UsbTest, DataInterfaceIsTheFirstWithABulkPair) {
  fakeusb::Device d = fakeusb::makeDevice(1, 7, kZeltoUsbVendorId, 1);
  d.interfaces.clear();
  // Interface 0: an interrupt IN endpoint only. Interface 1: two settings with bulk pairs, the
  // later one wins. Interface 2: another bulk pair, never looked at.
  d.interfaces.push_back({{fakeusb::AltSetting{0, {{0x81, 3}}}}, false});
  d.interfaces.push_back({{fakeusb::AltSetting{1, {{0x83, 2}, {0x04, 2}}},
                           fakeusb::AltSetting{1, {{0x85, 2}, {0x06, 2}, {0x87, 3}}}},
                          false});
  d.interfaces.push_back({{fakeusb::AltSetting{2, {{0x88, 2}, {0x09, 2}}}}, false});
  fake->addDevice(d);
  ASSERT_EQ(ZRV_OK, port.open(usbPort("USB001:007")));
  UsbBytes out(sequence(3));
  EXPECT_EQ(ZRV_OK, port.writeData(out.a));
  EXPECT_EQ(0x06, fake->lastOutEndpoint());
  UsbBytes in;
  port.setTimeout(1);
  EXPECT_EQ(ZRV_TIMEOUT, port.readData(8, in.a));
  EXPECT_EQ(0x85, fake->lastInEndpoint());
}

TEST_F(UsbTest, OpenFailsWithoutAUsableDevice) {
  fakeusb::Device noBulk = fakeusb::makeDevice(1, 7, kZeltoUsbVendorId, 1);
  noBulk.interfaces = {{{fakeusb::AltSetting{0, {{0x81, 2}, {0x02, 3}}}}, false}};
  fakeusb::Device noInterfaces = fakeusb::makeDevice(1, 8, kZeltoUsbVendorId, 1);
  noInterfaces.interfaces.clear();
  fake->addDevice(noBulk);
  fake->addDevice(noInterfaces);
  const struct {
    const char* name;
    ZtResultValue result;
  } cases[] = {{"USB001:007", ZRV_INPUTCANNOTBEOPENED},
               {"USB001:008", ZRV_INPUTCANNOTBEOPENED},
               {"USB001:009", ZRV_NOTFOUND},
               {"/dev/ttyUSB0", ZRV_NOTFOUND}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.result, port.open(usbPort(c.name)));
    EXPECT_FALSE(port.isOpen());
  }
  EXPECT_EQ(Calls{}, fake->calls());  // no device was opened
  EXPECT_EQ(0, fake->deviceReferences(1));
  EXPECT_EQ(0, fake->deviceReferences(2));
}

TEST_F(UsbTest, LibusbResultsMapToResultCodes) {
  addStandardDevice();
  const struct {
    int libusb;
    ZtResultValue result;
  } cases[] = {
      {fakeusb::kErrorInvalidParam, ZRV_INVALIDPARAM}, {fakeusb::kErrorNoDevice, ZRV_NOPORTOPEN},
      {fakeusb::kErrorNotFound, ZRV_NOTFOUND},         {fakeusb::kErrorBusy, ZRV_UNSUPPORTED},
      {fakeusb::kErrorTimeout, ZRV_TIMEOUT},           {fakeusb::kErrorInterrupted, ZRV_INTERRUPTED},
      {fakeusb::kErrorNoMem, ZRV_INSUFFICIENTSPACE},   {fakeusb::kErrorNotSupported, ZRV_NOTIMPLEMENTED},
      {fakeusb::kErrorIo, ZRV_ERROR},                  {fakeusb::kErrorAccess, ZRV_ERROR},
      {fakeusb::kErrorOverflow, ZRV_ERROR},            {fakeusb::kErrorPipe, ZRV_ERROR},
      {fakeusb::kErrorOther, ZRV_ERROR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.libusb);
    fake->failCall("libusb_open", c.libusb);
    EXPECT_EQ(c.result, port.open(usbPort("USB001:007")));
    EXPECT_EQ(c.result, port.getLastResult());
    EXPECT_FALSE(port.isOpen());
  }
  EXPECT_EQ(0, fake->deviceReferences(1));
  fake->failCall("libusb_open", 0);
  fake->failCall("libusb_get_device_list", fakeusb::kErrorNoMem);
  EXPECT_EQ(ZRV_INSUFFICIENTSPACE, port.open(usbPort("USB001:007")));
  fake->failCall("libusb_get_device_list", 0);
  fake->failCall("libusb_get_active_config_descriptor", fakeusb::kErrorIo);
  EXPECT_EQ(ZRV_ERROR, port.open(usbPort("USB001:007")));
  EXPECT_EQ(0, fake->deviceReferences(1));
}

TEST_F(UsbTest, ReadsDeliverWhatArrivedWithinTheTimeout) {
  const int id = addStandardDevice();
  ASSERT_EQ(ZRV_OK, port.open(usbPort("USB001:007")));
  EXPECT_EQ(20u, port.getTimeout());
  port.setTimeout(50);
  const std::vector<uint8_t> data = sequence(10);
  fake->feed(id, data);
  UsbBytes in;
  EXPECT_EQ(ZRV_OK, port.readData(64, in.a));
  EXPECT_EQ(data, in.vec());
  EXPECT_EQ(0x81, fake->lastInEndpoint());
  EXPECT_EQ(50u, fake->lastInTimeout());

  // A time-out after some bytes still delivers them; one with none is a time-out.
  fake->feed(id, data);
  fake->timeOutNextInAfter(4);
  EXPECT_EQ(ZRV_OK, port.readData(64, in.a));
  EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.begin() + 4), in.vec());
  EXPECT_EQ(ZRV_OK, port.readData(64, in.a));
  EXPECT_EQ(6u, in.a.size);
  const auto start = Clock::now();
  EXPECT_EQ(ZRV_TIMEOUT, port.readData(64, in.a));
  EXPECT_EQ(0u, in.a.size);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(40));

  fake->failCall("libusb_bulk_transfer_in", fakeusb::kErrorPipe);
  EXPECT_EQ(ZRV_ERROR, port.readData(64, in.a));
  fake->failCall("libusb_bulk_transfer_in", 0);

  // 0 means "no time-out" to libusb: it is stored as 1 ms.
  EXPECT_EQ(ZRV_OK, port.setTimeout(0));
  EXPECT_EQ(1u, port.getTimeout());
  EXPECT_EQ(ZRV_TIMEOUT, port.readData(64, in.a));
  EXPECT_EQ(1u, fake->lastInTimeout());
}

TEST_F(UsbTest, FixedCountWaitCollectsOrTimesOut) {
  const int id = addStandardDevice();
  ASSERT_EQ(ZRV_OK, port.open(usbPort("USB001:007")));
  port.setTimeout(30);
  uint8_t buffer[16] = {};
  size_t count = 99;
  fake->feed(id, {1, 2, 3, 4});
  EXPECT_EQ(ZRV_TIMEOUT, port.waitForData(10, buffer, count));
  EXPECT_EQ(4u, count);
  EXPECT_EQ(4, buffer[3]);
  const std::vector<uint8_t> data = sequence(10);
  fake->feed(id, data);
  EXPECT_EQ(ZRV_OK, port.waitForData(10, buffer, count));
  EXPECT_EQ(10u, count);
  EXPECT_EQ(data, std::vector<uint8_t>(buffer, buffer + 10));
  EXPECT_EQ(ZRV_OK, port.waitForData(0, buffer, count));
  EXPECT_EQ(0u, count);
  UsbBytes in;
  EXPECT_EQ(ZRV_UNSUPPORTED, static_cast<IoInterface&>(port).waitForData(4, in.a));
}

TEST_F(UsbTest, WritesAreSplitIntoTheTransfersTheDeviceTakes) {
  const int id = addStandardDevice();
  ASSERT_EQ(ZRV_OK, port.open(usbPort("USB001:007")));
  fake->setOutChunk(256);
  const std::vector<uint8_t> data = sequence(300);
  UsbBytes out(data);
  size_t written = 0;
  EXPECT_EQ(ZRV_OK, port.writeData(out.a, &written));
  EXPECT_EQ(300u, written);
  EXPECT_EQ(2, fake->outTransfers());
  EXPECT_EQ(data, fake->drain(id));
  EXPECT_EQ(0x02, fake->lastOutEndpoint());
  // Writes are bounded even while reads poll with a short time-out.
  EXPECT_EQ(1000u, fake->lastOutTimeout());
  port.setTimeout(2500);
  EXPECT_EQ(ZRV_OK, port.writeData(out.a, &written));
  EXPECT_EQ(2500u, fake->lastOutTimeout());
  fake->drain(id);

  // A failure after the first transfer keeps the count of the bytes that went out.
  fake->failCall("libusb_bulk_transfer_out", fakeusb::kErrorIo, 1);
  EXPECT_EQ(ZRV_ERROR, port.writeData(out.a, &written));
  EXPECT_EQ(256u, written);
  fake->failCall("libusb_bulk_transfer_out", 0);

  UsbBytes empty;
  EXPECT_EQ(ZRV_OK, port.writeData(empty.a, &written));
  EXPECT_EQ(0u, written);
}

TEST_F(UsbTest, StalledEndpointEndsTheWriteWithATimeout) {
  addStandardDevice();
  ASSERT_EQ(ZRV_OK, port.open(usbPort("USB001:007")));
  fake->setOutStalled(true);
  UsbBytes out(sequence(10));
  size_t written = 5;
  EXPECT_EQ(ZRV_TIMEOUT, port.writeData(out.a, &written));
  EXPECT_EQ(0u, written);
  EXPECT_GT(fake->lastOutTimeout(), 0u);
}

TEST_F(UsbTest, UnpluggedDeviceIsGoneAndStillCloses) {
  const int id = addStandardDevice();
  ASSERT_EQ(ZRV_OK, port.open(usbPort("USB001:007")));
  fake->unplug(id);
  UsbBytes in;
  EXPECT_EQ(ZRV_NOPORTOPEN, port.readData(8, in.a));
  UsbBytes out(sequence(4));
  EXPECT_EQ(ZRV_NOPORTOPEN, port.writeData(out.a));
  EXPECT_EQ(ZRV_OK, port.close());
  EXPECT_FALSE(port.isOpen());
  EXPECT_EQ(0, fake->deviceReferences(id));
}

TEST_F(UsbTest, ClosedPortAndTrivialOperations) {
  UsbBytes data(sequence(2));
  size_t written = 3;
  EXPECT_EQ(ZRV_NOPORTOPEN, port.writeData(data.a, &written));
  EXPECT_EQ(ZRV_NOPORTOPEN, port.readData(2, data.a));
  EXPECT_EQ(ZRV_OK, port.setRawIo(true));
  EXPECT_FALSE(port.getRawIo());
  EXPECT_EQ(0u, port.usbAddress());

  addStandardDevice();
  ASSERT_EQ(ZRV_OK, port.open(usbPort("USB001:007")));
  ZtString name;
  ZtString_construct(&name, "");
  port.getPortName(name);
  EXPECT_STREQ("USB001:007", ZtString_c_str(&name));
  ZtString_destruct(&name);
}

TEST_F(UsbTest, ReaderAndWriterThreadsShareAPort) {
  const int id = addStandardDevice();
  ASSERT_EQ(ZRV_OK, port.open(usbPort("USB001:007")));
  port.setTimeout(20);
  constexpr size_t kTotal = 2000;
  size_t received = 0;
  std::thread reader([&] {
    UsbBytes in;
    const auto start = Clock::now();
    while (received < kTotal && Clock::now() - start < std::chrono::seconds(5))
      if (port.readData(128, in.a) == ZRV_OK) received += in.a.size;
  });
  UsbBytes out(sequence(50));
  for (size_t sent = 0; sent < kTotal; sent += 50) {
    fake->feed(id, sequence(50));
    const ZtResultValue wrote = port.writeData(out.a);
    EXPECT_EQ(ZRV_OK, wrote);  // no ASSERT while the reader runs
    if (wrote != ZRV_OK) break;
  }
  reader.join();
  EXPECT_EQ(kTotal, received);
  EXPECT_EQ(kTotal, fake->drain(id).size());
}

// The link switches the read time-out (and raw mode) between measuring and configuring while
// its reader thread is inside readData; under TSan an unguarded time-out shows as a race.
TEST_F(UsbTest, TimeoutChangesWhileTheReaderReads) {
  const int id = addStandardDevice();
  ASSERT_EQ(ZRV_OK, port.open(usbPort("USB001:007")));
  port.setTimeout(0);
  std::atomic<bool> stop{false};
  std::atomic<size_t> received{0};
  std::thread reader([&] {
    UsbBytes in;
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
    const bool measuring = i % 2 == 0;
    port.setRawIo(measuring);
    // 2 ms stands in for the measuring time-out so the test stays fast.
    port.setTimeout(measuring ? 2 : 0);
    const uint32_t timeout = port.getTimeout();
    EXPECT_TRUE(timeout == 1 || timeout == 2) << timeout;
    if (i % 20 == 0) fake->feed(id, sequence(8));
  }
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (received.load() < 80 && Clock::now() < deadline) std::this_thread::yield();
  stop = true;
  reader.join();
  EXPECT_EQ(80u, received.load());
  const unsigned lastIn = fake->lastInTimeout();
  EXPECT_TRUE(lastIn == 1 || lastIn == 2) << lastIn;
}

// Without libusb, or with a function it needs missing, USB ports fail with 257 while serial
// ports keep working.
TEST_F(UsbTest, MissingLibraryOrFunctionGivesNotImplemented) {
  ZtLibUsbTestAccess::useLibrary("/nonexistent/libusb-1.0.so");
  addStandardDevice();
  EXPECT_EQ(ZRV_NOTIMPLEMENTED, port.open(usbPort("USB001:007")));
  PortList ports;
  ztEnumerateUsbDevices(ports.a);
  EXPECT_EQ(0u, ports.a.size);
  zelto::test::PtyPort pty;
  SerialInterface serial;
  ZtPortInfo info = usbPort(pty.slavePath().c_str());
  info.baudRate = B115200;
  EXPECT_EQ(ZRV_OK, serial.open(info));

  ZtLibUsbTestAccess::useLibrary(ZDA_FAKEUSB_NOCLAIM_SO);
  fakeusb::Control& noClaim = fakeusb::control(ZDA_FAKEUSB_NOCLAIM_SO);
  noClaim.reset();
  noClaim.addDevice(fakeusb::makeDevice(1, 7, kZeltoUsbVendorId, 1));
  EXPECT_EQ(ZRV_NOTIMPLEMENTED, port.open(usbPort("USB001:007")));
  EXPECT_FALSE(port.isOpen());
  // An incomplete library is not used at all: no device is touched, no context made, and the
  // enumeration offers no port that could not be opened.
  EXPECT_EQ(Calls{}, noClaim.calls());
  EXPECT_EQ(0, noClaim.liveContexts());
  ztEnumerateUsbDevices(ports.a);
  EXPECT_EQ(0u, ports.a.size);
  EXPECT_EQ(0, noClaim.openHandles());
  EXPECT_EQ(0, noClaim.deviceReferences(1));

  ZtLibUsbTestAccess::useLibrary(ZDA_FAKEUSB_SO);
  EXPECT_EQ(ZRV_OK, port.open(usbPort("USB001:007")));
}

}  // namespace
