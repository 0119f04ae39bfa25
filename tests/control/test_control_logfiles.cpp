// The control over log files: every open makes a device, closing by id closes exactly that
// device (log-file devices share the empty port name), and the queries on such lists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/ZtControl.h"
#include "control/BroadcastDevice.h"
#include "support/LogFileBuilder.h"
#include "support/TempDir.h"
#include "support/TestControl.h"

namespace {

using namespace zelto::test;

class ControlLogFiles : public ::testing::Test {
 protected:
  std::string file(uint32_t masterId) {
    LogFileBuilder b;
    b.configuration(masterId).data(0).data(1);
    const std::string path = dir.file("rec" + std::to_string(masterId) + ".zlog");
    EXPECT_TRUE(b.writeTo(path));
    return path;
  }
  bool open(const std::string& path) { return control.openLogFile(Text(path).s); }

  TempDir dir;
  TestControl control;
};

TEST_F(ControlLogFiles, FindingInAnEmptyList) {
  EXPECT_EQ(control.findDevice(0), nullptr);
  EXPECT_EQ(control.lastResult(), ZRV_PORTCLOSED);
  EXPECT_EQ(control.findDevice(0x00110001), nullptr);
  EXPECT_EQ(control.lastResult(), ZRV_PORTCLOSED);
  EXPECT_EQ(control.device(ZtDeviceId_broadcast()), control.broadcastDevice());
}

TEST_F(ControlLogFiles, OneFileOpenedTwiceGivesTwoDevices) {
  const std::string path = file(0x00110101);
  ASSERT_TRUE(open(path)) << control.lastResult();
  EXPECT_EQ(control.lastResult(), ZRV_OK);
  ASSERT_TRUE(open(path));
  EXPECT_EQ(control.mainDeviceCount(), 2u);
  EXPECT_EQ(control.made(), (std::vector<ZtDeviceId>{0x00110101, 0x00110101}));
  // Id 0: the first master.
  ZtDevice* first = control.findDevice(0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(control.lastResult(), ZRV_OK);
  ZtDevicePtrArray all = control.mainDevices();
  ASSERT_EQ(all.size, 2u);
  EXPECT_EQ(all.data[0], first);
  EXPECT_NE(all.data[1], first);
  ZtArray_destruct(ZTARRAY(&all));
  // Only files: no synchronisation to check.
  EXPECT_EQ(control.testSynchronization(), ZRV_NOPORTOPEN);
}

TEST_F(ControlLogFiles, AMissingFileMakesNoDevice) {
  EXPECT_FALSE(open(dir.file("missing.zlog")));
  EXPECT_NE(control.lastResult(), ZRV_OK);
  EXPECT_EQ(control.mainDeviceCount(), 0u);
}

TEST_F(ControlLogFiles, ClosingOneOfThreeByIdLeavesTheOtherTwo) {
  const std::vector<ZtDeviceId> ids = {0x00110111, 0x00110112, 0x00110113};
  struct Case {
    ZtDeviceId closed;
    std::vector<ZtDeviceId> left;
  };
  const Case cases[] = {{0x00110111, {0x00110112, 0x00110113}},
                        {0x00110112, {0x00110111, 0x00110113}},
                        {0x00110113, {0x00110111, 0x00110112}}};
  for (const Case& c : cases) {
    for (ZtDeviceId id : ids) ASSERT_TRUE(open(file(id)));
    control.closePort(c.closed);
    EXPECT_EQ(control.mainDeviceIds(), c.left) << std::hex << c.closed;
    EXPECT_EQ(control.log().count("~device " + std::to_string(c.closed)), 1u);
    // removeExistingDevice closes exactly the identified master as well.
    control.removeExistingDevice(c.left.front());
    EXPECT_EQ(control.mainDeviceIds(), std::vector<ZtDeviceId>{c.left.back()});
    control.close();
    EXPECT_EQ(control.mainDeviceCount(), 0u);
    control.log().clear();
  }
}

TEST_F(ControlLogFiles, ClosingByTheEmptyNameClosesEveryFileDevice) {
  for (ZtDeviceId id : {0x00110121u, 0x00110122u, 0x00110123u}) ASSERT_TRUE(open(file(id)));
  control.closePort(Text("").s);
  EXPECT_EQ(control.mainDeviceCount(), 0u);
  EXPECT_EQ(linesStarting(control.log(), "~device").size(), 3u);
}

}  // namespace
