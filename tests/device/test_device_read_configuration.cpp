// readDeviceConfiguration: the exchange with a live device (0x02, 0x0C, 0x12 and what missing or
// short replies do), the search in a playback file, and a child's record.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "errors/ZtDeviceConfigurationException.h"
#include "support/EmulatedMaster.h"
#include "support/LogFileBuilder.h"
#include "support/TempDir.h"
#include "support/TestDevice.h"
#include "transport/link/Communicator.h"

using zelto::test::DeviceEmulator;
using zelto::test::EmuAction;
using zelto::test::EmuFrame;
using zelto::test::EmulatedMaster;
using zelto::test::LogFileBuilder;
using zelto::test::TempDir;
using zelto::test::TestDevice;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr ZtDeviceId kMaster = EmulatedMaster::kMasterId;
constexpr ZtDeviceId kChildA = 0x00A00001;
constexpr ZtDeviceId kChildB = 0x00A00002;

struct Text {
  ZtString s;
  explicit Text(const std::string& text) { ZtString_construct(&s, text.c_str()); }
  ~Text() { ZtString_destruct(&s); }
};

// A configuration listing the devices, each record with its firmware version at bytes 14 to 16.
Bytes configurationWithFirmware(const std::vector<ZtDeviceId>& ids, const std::vector<std::array<uint8_t, 3>>& fw) {
  Bytes payload = LogFileBuilder::configurationPayload(kMaster, ids);
  for (size_t i = 0; i < fw.size(); ++i)
    for (size_t k = 0; k < 3; ++k) payload[98 + 20 * i + 14 + k] = fw[i][k];
  return payload;
}

std::string version(const ZtVersion& v) {
  return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.revision) + "." +
         std::to_string(v.build);
}

std::vector<uint8_t> requestIds(const std::vector<EmuFrame>& frames) {
  std::vector<uint8_t> ids;
  for (const EmuFrame& f : frames) ids.push_back(f.messageId);
  return ids;
}

// ---- Live ----------------------------------------------------------------------------------------

TEST(ReadDeviceConfiguration, LiveExchangeFillsConfigurationAndFirmware) {
  EmulatedMaster scene;
  scene.emu->setConfigurationPayload(configurationWithFirmware({kChildA, kChildB}, {{7, 8, 9}, {1, 1, 1}}));
  scene.emu->setFirmwareVersion(1, 2, 3);
  ASSERT_TRUE(scene.master->readDeviceConfiguration());
  EXPECT_EQ(scene.master->deviceState(), ZDS_Config);
  EXPECT_EQ(version(scene.master->firmwareVersion()), "1.2.3.0");
  EXPECT_EQ(scene.master->firmwareVersion().text[0], '\0');
  const ZtDeviceConfiguration& c = scene.master->deviceConfiguration();
  ASSERT_EQ(c.numberOfDevices, 2);
  EXPECT_EQ(c.masterDeviceId, kMaster);
  EXPECT_EQ(c.deviceInfo[1].deviceId, kChildB);
  // The three requests go to the master's bus id, in order, after GotoConfig.
  std::vector<uint8_t> sent;
  for (const EmuFrame& f : scene.framesSinceOpen())
    if (f.messageId == 0x02 || f.messageId == 0x0C || f.messageId == 0x12) {
      sent.push_back(f.messageId);
      EXPECT_EQ(f.busId, 0xFF);
      EXPECT_TRUE(f.payload.empty());
    }
  EXPECT_EQ(sent, (std::vector<uint8_t>{0x02, 0x0C, 0x12}));
}

// No firmware reply, or one too short to hold three numbers: the configuration is read and the
// version is 0.0.0.0 (a short reply is not read past its end).
TEST(ReadDeviceConfiguration, MissingOrShortFirmwareReplyGivesZeroVersion) {
  struct Row {
    const char* name;
    EmuAction firmware;
  };
  const Row rows[] = {
      {"silent", EmuAction::silence()},
      {"two bytes", EmuAction::reply({4, 5})},
      {"empty", EmuAction::reply({})},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EmulatedMaster scene;
    scene.emu->setConfigurationPayload(configurationWithFirmware({kChildA}, {{1, 0, 0}}));
    scene.emu->script(DeviceEmulator::ReqFirmwareRevision, row.firmware);
    ASSERT_TRUE(scene.master->readDeviceConfiguration());
    EXPECT_EQ(version(scene.master->firmwareVersion()), "0.0.0.0");
    EXPECT_EQ(scene.master->deviceConfiguration().numberOfDevices, 1);
  }
}

// A missing acknowledgement of 0x02 or 0x0C gives false and leaves the configuration as it was;
// nothing after the failing step is sent.
TEST(ReadDeviceConfiguration, MissingRepliesGiveFalseAndKeepTheConfiguration) {
  struct Row {
    const char* name;
    uint8_t silenced;
    std::vector<uint8_t> requests;
    long minimumMs;
  };
  const Row rows[] = {
      {"no 0x03", 0x02, {0x02}, 500},
      {"no 0x0D", 0x0C, {0x02, 0x0C}, 5000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EmulatedMaster scene;
    scene.master->setConfiguredDevices({kChildA, kChildB, kChildA});
    scene.emu->script(row.silenced, EmuAction::silence());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(scene.master->readDeviceConfiguration());
    EXPECT_GE(zelto::test::msSince(start), row.minimumMs);
    EXPECT_EQ(scene.master->deviceConfiguration().numberOfDevices, 3);
    EXPECT_EQ(scene.master->deviceConfiguration().deviceInfo[1].deviceId, kChildB);
    std::vector<uint8_t> sent;
    for (uint8_t id : requestIds(scene.framesSinceOpen()))
      if (id == 0x02 || id == 0x0C || id == 0x12) sent.push_back(id);
    EXPECT_EQ(sent, row.requests);
  }
}

// ---- From the file -------------------------------------------------------------------------------

class FileConfiguration : public ::testing::Test {
 protected:
  TestDevice* play(const LogFileBuilder& b) {
    path = dir.file("configuration.zlog");
    EXPECT_TRUE(b.writeTo(path));
    auto* link = new Communicator();
    Text name(path);
    const bool opened = link->openLogFile(name.s);
    device = new TestDevice(link);
    EXPECT_TRUE(opened);
    device->addRef();
    return device;
  }
  void TearDown() override {
    if (device) device->removeRef();
  }
  TempDir dir;
  std::string path;
  TestDevice* device = nullptr;
};

TEST_F(FileConfiguration, AConfigurationThatIsTheFifthMessageIsFound) {
  LogFileBuilder b;
  b.message(0x80, {1});
  b.message(0x80, {2});
  b.message(0x80, {3});
  b.message(0x80, {4});
  b.message(0x0D, configurationWithFirmware({kChildA, kChildB}, {{4, 5, 6}, {9, 9, 9}}));
  b.data(0);
  play(b);
  const uint64_t before = device->logFileReadPosition();
  ASSERT_TRUE(device->readDeviceConfiguration());
  EXPECT_EQ(device->logFileReadPosition(), before);  // the search leaves the position
  EXPECT_EQ(version(device->firmwareVersion()), "4.5.6.0");
  EXPECT_EQ(device->deviceConfiguration().numberOfDevices, 2);
  // Children read their own records.
  auto* a = new TestDevice(device, kChildA);
  auto* b2 = new TestDevice(device, kChildB);
  auto* c = new TestDevice(device, 0x00A00003);  // bus id 3: no record
  device->addRef();  // publishes and references the children
  EXPECT_TRUE(a->readDeviceConfiguration());
  EXPECT_EQ(version(a->firmwareVersion()), "4.5.6.0");
  EXPECT_TRUE(b2->readDeviceConfiguration());
  EXPECT_EQ(version(b2->firmwareVersion()), "9.9.9.0");
  EXPECT_FALSE(c->readDeviceConfiguration());
  EXPECT_EQ(version(c->firmwareVersion()), "0.0.0.0");
  device->removeRef();
}

// The link only opens files with the configuration among the first five messages, so the file is
// rewritten in place after the open: the configuration becomes the sixth message.
TEST_F(FileConfiguration, AConfigurationThatIsTheSixthMessageIsNotFound) {
  const Bytes filler(1200, 0x55);  // four large messages: the rewritten part is read afresh
  const Bytes configuration = configurationWithFirmware({kChildA}, {{4, 5, 6}});
  const Bytes sameSize(configuration.size(), 0x11);
  LogFileBuilder opens;
  for (int i = 0; i < 4; ++i) opens.message(0x80, filler);
  opens.message(0x0D, configuration).message(0x82, sameSize);
  play(opens);
  device->setConfiguredDevices({kChildB, kChildB});
  LogFileBuilder sixth;
  for (int i = 0; i < 4; ++i) sixth.message(0x80, filler);
  sixth.message(0x82, sameSize).message(0x0D, configuration);
  ASSERT_EQ(sixth.bytes().size(), opens.bytes().size());
  const int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, sixth.bytes().data(), sixth.bytes().size(), 0),
            static_cast<ssize_t>(sixth.bytes().size()));
  ::close(fd);
  EXPECT_FALSE(device->readDeviceConfiguration());
  EXPECT_EQ(device->deviceConfiguration().numberOfDevices, 2);  // unchanged
  EXPECT_EQ(device->deviceConfiguration().deviceInfo[0].deviceId, kChildB);
}

// A configuration without device records is refused with the exception (the message and the
// configuration stay owned: nothing leaks when it is thrown).
TEST_F(FileConfiguration, AConfigurationWithoutDevicesThrows) {
  LogFileBuilder b;
  b.configuration(kMaster).data(0);
  play(b);
  try {
    device->readDeviceConfiguration();
    ADD_FAILURE() << "no exception";
  } catch (const ZtDeviceConfigurationException& e) {
    EXPECT_EQ(e.result(), 256);
    EXPECT_STREQ(e.what(), "Invalid device configuration");
  }
  EXPECT_EQ(device->deviceConfiguration().numberOfDevices, 0);
  EXPECT_EQ(device->deviceConfiguration().masterDeviceId, kMaster);
}

}  // namespace
