// A device on a link: the constructions on an emulated port and on a log file, the link's view
// of its master (message events), the packet caches the device sets up, the protocol handlers
// and the playback controls.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <memory>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "device/cache/IPacketDataCache.h"
#include "errors/ZtException.h"
#include "support/CallbackRecorder.h"
#include "support/LogFileBuilder.h"
#include "support/PtyPort.h"
#include "support/TempDir.h"
#include "support/TestDevice.h"
#include "support/ZtValues.h"
#include "support/emulator/DeviceEmulator.h"
#include "transport/link/Communicator.h"

using zelto::test::DeviceEmulator;
using zelto::test::EmuFrame;
using zelto::test::FdEmulatorLink;
using zelto::test::LogFileBuilder;
using zelto::test::PtyPort;
using zelto::test::TempDir;
using zelto::test::TestDevice;
using namespace std::chrono_literals;

namespace {

#ifdef ZDA_UNDER_SANITIZER
constexpr auto kWait = 8000ms;
#else
constexpr auto kWait = 3000ms;
#endif

struct String {
  ZtString s;
  explicit String(const std::string& text) { ZtString_construct(&s, text.c_str()); }
  ~String() { ZtString_destruct(&s); }
};

std::string text(ZtString s) {
  std::string out = ZtString_c_str(&s) ? ZtString_c_str(&s) : "";
  ZtString_destruct(&s);
  return out;
}

class PortDeviceFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    emu = std::make_unique<DeviceEmulator>(std::make_unique<FdEmulatorLink>(dup(pty.masterFd())));
    emu->setDeviceId(0x00345678);
    emu->start();
  }
  void TearDown() override { emu->stop(); }
  PtyPort pty;
  std::unique_ptr<DeviceEmulator> emu;
};

TEST_F(PortDeviceFixture, MasterOnAnOpenPortTakesTheLinksIdentityAndHandlers) {
  CallbackRecorder onLink, onDevice;
  auto* link = new Communicator();
  link->setGotoConfigTimeout(1000);
  String name(pty.slavePath());
  ASSERT_TRUE(link->openPort(name.s, B115200));
  link->addCallbackHandler(&onLink, false);

  auto* device = new TestDevice(link);
  EXPECT_EQ(device->deviceId(), 0x00345678u);
  EXPECT_EQ(device->connectivityState(), ZCS_PluggedIn);
  EXPECT_EQ(device->deviceState(), ZDS_Initial);
  // The link hands messages to the device from its first reference on, when it is whole.
  EXPECT_EQ(link->masterDevice(), nullptr);
  device->addRef();
  EXPECT_EQ(link->masterDevice(), device);
  EXPECT_EQ(link->findDevice(0x00345678), device);
  EXPECT_EQ(device->communicator(), link);
  EXPECT_EQ(device->callbackHandlers(), std::vector<ZtCallbackPlainC*>{&onLink});
  EXPECT_EQ(device->chainedManagers(), std::vector<CallbackManagerZda*>{link});
  EXPECT_EQ(text(device->portName()), pty.slavePath());
  EXPECT_EQ(device->baudRate(), ZtBaudRate(B115200));
  EXPECT_FALSE(device->isReadingFromFile());
  EXPECT_EQ(text(device->logFileName()), "");
  EXPECT_FALSE(device->loadLogFile());
  EXPECT_FALSE(device->abortLoadLogFile());
  device->log().clear();
  EXPECT_FALSE(device->resetLogFileReadPosition());
  EXPECT_TRUE(device->log().lines().empty());

  // Both message reports of the link reach a handler registered on the master only.
  device->removeCallbackHandler(&onLink, false);
  device->addCallbackHandler(&onDevice, false);
  emu->sendFrame(EmuFrame{0xFF, 0x80, {1, 2, 3}});
  ASSERT_TRUE(onDevice.waitFor(CallbackRecorder::Kind::MessageReceivedFromDevice, 1, kWait));
  zelto::test::Message raw(0x64, {7});
  EXPECT_TRUE(device->sendRawMessage(raw.m));
  ASSERT_TRUE(onDevice.waitFor(CallbackRecorder::Kind::MessageSentToDevice, 1, kWait));
  const auto received = onDevice.events(CallbackRecorder::Kind::MessageReceivedFromDevice);
  EXPECT_EQ(received[0].device, device);
  EXPECT_EQ(received[0].messageId, 0x80);
  const auto sent = onDevice.events(CallbackRecorder::Kind::MessageSentToDevice);
  EXPECT_EQ(sent[0].device, device);
  EXPECT_EQ(sent[0].messageId, 0x64);
  EXPECT_TRUE(emu->waitForReceived(0x64, 1, 3000));

  // A child copies the master's connectivity and reaches the master's port.
  auto* child = new TestDevice(device, 0x00345679);
  EXPECT_EQ(child->connectivityState(), ZCS_PluggedIn);
  EXPECT_EQ(child->communicator(), link);
  EXPECT_EQ(text(child->portName()), pty.slavePath());

  // The end stops the link's reader and deletes the link with the device.
  device->removeRef();
  EXPECT_EQ(onLink.count(CallbackRecorder::Kind::Error), 0u);
}

class FileDeviceFixture : public ::testing::Test {
 protected:
  std::string write() {
    LogFileBuilder b;
    b.configuration(0x00345678, {0x00345678}).data(0).data(1).data(2);
    const std::string path = dir.file("rec.zlog");
    EXPECT_TRUE(b.writeTo(path));
    return path;
  }
  TempDir dir;
};

TEST_F(FileDeviceFixture, MasterOnALogFileMeasuresWithConnectivityFour) {
  const std::string path = write();
  auto* link = new Communicator();
  String name(path);
  ASSERT_TRUE(link->openLogFile(name.s));
  CallbackRecorder onLink;
  link->addCallbackHandler(&onLink, false);
  auto* device = new TestDevice(link);
  EXPECT_EQ(device->callbackHandlers(), std::vector<ZtCallbackPlainC*>{&onLink});
  EXPECT_EQ(device->deviceId(), 0x00345678u);
  EXPECT_EQ(device->deviceState(), ZDS_Measurement);
  EXPECT_EQ(device->connectivityState(), ZCS_File);
  EXPECT_TRUE(device->isReadingFromFile());
  EXPECT_TRUE(device->isMeasuring());
  EXPECT_EQ(text(device->logFileName()), path);
  EXPECT_EQ(text(device->portName()), "");

  auto* child = new TestDevice(device, 7);
  device->addRef();
  device->log().clear();
  EXPECT_TRUE(device->resetLogFileReadPosition());
  EXPECT_EQ(device->log().lines(),
            (std::vector<std::string>{"clearCache 3430008", "initializeFilter 3430008", "clearCache 7",
                                      "initializeFilter 7"}));
  EXPECT_TRUE(device->loadLogFile());
  EXPECT_TRUE(device->abortLoadLogFile());
  (void)child;
  device->removeRef();
}

// ---- Caches ------------------------------------------------------------------------------------

ZtDataPacket packet(long id) {
  ZtDataPacket p;
  ZtDataPacket_construct(&p);
  p.packetId = id;
  return p;
}

void insert(zelto::IPacketDataCache* cache, long count) {
  for (long id = 1; id <= count; ++id) {
    ZtDataPacket p = packet(id);
    cache->insert(id, p, false);
    ZtDataPacket_destruct(&p);
  }
}

TEST(DeviceCaches, LiveCachesHoldThirtySecondsAtTheHighestRate) {
  auto* device = new TestDevice(new Communicator());
  device->setDeviceId(0x500);
  auto* child = new TestDevice(device, 0x501);
  struct Case {
    std::vector<int> rates;
    unsigned long size;
  };
  const Case cases[] = {{{25, 100, 50}, 3000}, {{}, 0}, {{1}, 30}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    child->setSupportedRates(c.rates);
    child->createDataCache();
    zelto::IPacketDataCache* ready = child->readyCache();
    zelto::IPacketDataCache* working = child->workingCache();
    ASSERT_NE(ready, nullptr);
    ASSERT_NE(working, nullptr);
    EXPECT_EQ(ready->maxSize(), c.size);
    EXPECT_EQ(working->maxSize(), c.size);
    // Packets are kept under the master's id; the caches drop what they have written back.
    EXPECT_EQ(ready->deviceId(), 0x500u);
    EXPECT_EQ(working->deviceId(), 0x500u);
    EXPECT_TRUE(ready->discardAfterWrite());
    EXPECT_TRUE(working->discardAfterWrite());
  }
  // No supported rate: size 0, and a cache of size 0 never trims.
  child->setSupportedRates({});
  child->createDataCache();
  insert(child->readyCache(), 40);
  insert(child->workingCache(), 40);
  EXPECT_EQ(child->readyCache()->size(), 40u);
  EXPECT_EQ(child->workingCache()->size(), 40u);

  // Once the rates are known the sizes follow; the caches keep their packets (trimmed to size).
  child->setSupportedRates({1});
  child->tuneDataCacheSize();
  EXPECT_EQ(child->readyCache()->maxSize(), 30u);
  EXPECT_EQ(child->workingCache()->maxSize(), 30u);
  EXPECT_EQ(child->readyCache()->size(), 30u);

  child->flushInputBuffers(false);
  EXPECT_EQ(child->readyCache()->size(), 0u);
  EXPECT_EQ(child->workingCache()->size(), 30u);
  insert(child->readyCache(), 5);
  child->flushInputBuffers(true);
  EXPECT_EQ(child->readyCache()->size(), 0u);
  EXPECT_EQ(child->workingCache()->size(), 0u);
  insert(child->readyCache(), 5);
  insert(child->workingCache(), 5);
  child->ZtDevice::clearCache();
  EXPECT_TRUE(child->readyCache()->empty());
  EXPECT_TRUE(child->workingCache()->empty());
  device->removeIfNoRefs();
}

TEST_F(FileDeviceFixture, APlayingDeviceGetsAFastIndexReadyCacheAndADisabledWorkingCache) {
  const std::string path = write();
  auto* link = new Communicator();
  String name(path);
  ASSERT_TRUE(link->openLogFile(name.s));
  auto* device = new TestDevice(link);
  device->setSupportedRates({100});
  device->createDataCache();
  zelto::IPacketDataCache* ready = device->readyCache();
  zelto::IPacketDataCache* working = device->workingCache();
  EXPECT_EQ(ready->maxSize(), ULONG_MAX);
  EXPECT_EQ(ready->deviceId(), 0x00345678u);
  // The fast-index kind keeps every entry and refuses removal; the disabled kind stores nothing.
  insert(ready, 3);
  insert(working, 3);
  EXPECT_EQ(ready->size(), 3u);
  EXPECT_THROW(ready->remove(1), ZtException);
  EXPECT_EQ(working->size(), 0u);
  EXPECT_TRUE(working->empty());
  // Re-sizing leaves the unbounded ready cache alone.
  device->tuneDataCacheSize();
  EXPECT_EQ(ready->maxSize(), ULONG_MAX);
  device->removeIfNoRefs();
}

// ---- Protocols and link counters ---------------------------------------------------------------

TEST(DeviceProtocols, HandlersOfTheLink) {
  auto* device = new TestDevice(new Communicator());
  Communicator* link = device->communicator();
  EXPECT_TRUE(device->disableProtocol(ZPT_Nmea));  // none present: still true
  EXPECT_FALSE(device->isProtocolEnabled(ZPT_Nmea));
  EXPECT_TRUE(device->enableProtocol(ZPT_Nmea));
  EXPECT_TRUE(device->isProtocolEnabled(ZPT_Nmea));
  EXPECT_TRUE(link->hasProtocol(ZPT_Nmea));
  EXPECT_TRUE(device->enableProtocol(ZPT_Nmea));  // the link keeps the one it has
  EXPECT_TRUE(device->disableProtocol(ZPT_Nmea));
  EXPECT_FALSE(device->isProtocolEnabled(ZPT_Nmea));
  EXPECT_TRUE(device->disableProtocol(ZPT_Zbus));
  EXPECT_FALSE(device->isProtocolEnabled(ZPT_Zbus));
  EXPECT_TRUE(device->enableProtocol(ZPT_Zbus));
  EXPECT_TRUE(device->isProtocolEnabled(ZPT_Zbus));
  // The outside units' handlers join the link beside the others.
  for (ZtProtocolType type : {ZPT_ImarFsas, ZPT_ImarIFog}) {
    SCOPED_TRACE(type);
    EXPECT_TRUE(device->enableProtocol(type));
    EXPECT_TRUE(device->isProtocolEnabled(type));
    EXPECT_TRUE(device->isProtocolEnabled(ZPT_Zbus));
    EXPECT_TRUE(device->disableProtocol(type));
    EXPECT_FALSE(device->isProtocolEnabled(type));
  }
  // 4 names no protocol.
  EXPECT_FALSE(device->enableProtocol(static_cast<ZtProtocolType>(4)));
  EXPECT_FALSE(device->isProtocolEnabled(static_cast<ZtProtocolType>(4)));
  EXPECT_TRUE(device->disableProtocol(ZPT_ImarFsas));
  EXPECT_FALSE(device->disableProtocol(static_cast<ZtProtocolType>(4)));

  link->setDroppedPacketCount(5);
  EXPECT_TRUE(device->resetDroppedPacketCount());
  EXPECT_EQ(link->droppedPacketCount(), 0u);
  device->removeIfNoRefs();

  // Without a link everything is refused.
  auto* lonely = new TestDevice(ZtDeviceId(1));
  for (int type = 0; type <= 4; ++type) {
    EXPECT_FALSE(lonely->enableProtocol(static_cast<ZtProtocolType>(type)));
    EXPECT_FALSE(lonely->disableProtocol(static_cast<ZtProtocolType>(type)));
    EXPECT_FALSE(lonely->isProtocolEnabled(static_cast<ZtProtocolType>(type)));
  }
  EXPECT_FALSE(lonely->resetDroppedPacketCount());
  zelto::test::Message raw(0x64);
  EXPECT_FALSE(lonely->sendRawMessage(raw.m));
  EXPECT_EQ(lonely->baudRate(), 0u);
  lonely->createDataCache();
  EXPECT_EQ(lonely->readyCache(), nullptr);
  lonely->removeIfNoRefs();
}

}  // namespace
