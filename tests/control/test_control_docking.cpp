// The control's tracker queries over emulated ports under a stand-in libudev: docking of a
// wireless tracker in a station's USB hub, wireless connection, location ids and the counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "control/ZtControl.h"
#include "support/TestControl.h"
#include "support/fakeudev/FakeUdev.h"
#include "support/fakeudev/UdevTestAccess.h"

namespace {

using namespace zelto::test;

constexpr ZtDeviceId kStation = 0x00020001;
constexpr ZtDeviceId kDocked = 0x00080001;    // wireless tracker plugged into the station's hub
constexpr ZtDeviceId kElsewhere = 0x00080002;  // wireless tracker under another hub
constexpr ZtDeviceId kWireless = 0x00080003;   // wireless tracker connected through the station
constexpr ZtDeviceId kUnknownKtw = 0x00080009;
constexpr ZtDeviceId kTracker7 = 0x00110301;
constexpr ZtDeviceId kTracker9 = 0x00110302;
constexpr ZtDeviceId kPlain = 0x00110303;

class ControlDocking : public ::testing::Test {
 protected:
  void SetUp() override {
    ZtUdevTestAccess::useLibrary(ZDA_FAKEUDEV_SO);
    fakeudev::Control& udev = fakeudev::control(ZDA_FAKEUDEV_SO);
    udev.reset();
    fakeudev::addUsbSerialPort(udev, station.path(), "1-1.1", "Zelto", "ttyUSB0");
    fakeudev::addUsbSerialPort(udev, docked.path(), "1-1.3", "Zelto", "ttyUSB1");
    fakeudev::addUsbSerialPort(udev, elsewhere.path(), "1-2.1", "Zelto", "ttyUSB2");

    control.setKind(kStation, TestControl::Station);
    // The station asks its radio channel when it is made and says goodbye when it goes.
    station.emu.script(0xB6, EmuAction::reply({0x00, 0x05}));
    station.emu.script(0x2E, EmuAction::reply());
    control.setKind(kDocked, TestControl::Wireless);
    control.setKind(kElsewhere, TestControl::Wireless);
    control.setKind(kTracker7, TestControl::Tracker);
    control.setKind(kTracker9, TestControl::Tracker);
    control.script(kTracker7)->locationId = 7;
    control.script(kTracker9)->locationId = 9;
    control.script(kPlain)->locationId = 5;  // not a tracker: never found by location
    for (auto* p : {&station, &docked, &elsewhere, &tracker7, &tracker9, &plain})
      ASSERT_TRUE(p->openIn(control)) << p->path() << " " << control.lastResult();

    ZtDevice* master = control.findDevice(kStation);
    ASSERT_NE(master, nullptr);
    child = new ScriptedKtw(control.script(kWireless), control.sharedLog(), master, kWireless);
    child->addRef();
  }
  void TearDown() override {
    control.close();
    ZtUdevTestAccess::useLibrary(nullptr);
  }

  EmulatedPort station{kStation}, docked{kDocked}, elsewhere{kElsewhere};
  EmulatedPort tracker7{kTracker7}, tracker9{kTracker9}, plain{kPlain};
  TestControl control;
  ZtDevice* child = nullptr;
};

TEST_F(ControlDocking, DockAndWirelessQueries) {
  struct Case {
    ZtDeviceId id;
    ZtDeviceId dock;
    ZtResultValue dockResult;
    bool docked;
    ZtResultValue dockedResult;
    bool wireless;
    ZtResultValue wirelessResult;
  };
  const Case cases[] = {
      {kDocked, kStation, ZRV_OK, true, ZRV_OK, false, ZRV_OK},
      {kElsewhere, 0, ZRV_OK, false, ZRV_OK, false, ZRV_OK},
      // Connected wirelessly: not docked (and not a master device of its own).
      {kWireless, 0, ZRV_OK, false, ZRV_INVALIDPARAM, true, ZRV_OK},
      {kUnknownKtw, 0, ZRV_NOTAVAILABLE, false, ZRV_NOTAVAILABLE, false, ZRV_NOTAVAILABLE},
      // Not a wireless tracker's id: plain answers, nothing looked up.
      {kStation, 0, ZRV_OK, false, ZRV_OK, false, ZRV_OK},
      {kTracker7, 0, ZRV_OK, false, ZRV_OK, false, ZRV_OK},
  };
  for (const Case& c : cases) {
    control.setLastResult(ZRV_TIMEOUT);
    EXPECT_EQ(control.dockDeviceId(c.id), c.dock) << std::hex << c.id;
    EXPECT_EQ(control.lastResult(), c.dockResult) << std::hex << c.id;
    control.setLastResult(ZRV_TIMEOUT);
    EXPECT_EQ(control.isDeviceDocked(c.id), c.docked) << std::hex << c.id;
    EXPECT_EQ(control.lastResult(), c.dockedResult) << std::hex << c.id;
    control.setLastResult(ZRV_TIMEOUT);
    EXPECT_EQ(control.isDeviceWireless(c.id), c.wireless) << std::hex << c.id;
    EXPECT_EQ(control.lastResult(), c.wirelessResult) << std::hex << c.id;
  }
}

TEST_F(ControlDocking, LocationIdsAndCounts) {
  struct Case {
    uint16_t location;
    ZtDeviceId id;
    ZtResultValue result;
  };
  for (const Case& c : {Case{7, kTracker7, ZRV_OK}, Case{9, kTracker9, ZRV_OK}, Case{5, 0, ZRV_NOTFOUND},
                        Case{3, 0, ZRV_NOTFOUND}}) {
    EXPECT_EQ(control.getDeviceIdFromLocationId(c.location), c.id) << c.location;
    EXPECT_EQ(control.lastResult(), c.result) << c.location;
  }
  // Masters: station (one child), two wireless trackers, two trackers, one plain device.
  EXPECT_EQ(control.deviceCount(), 7);
  EXPECT_EQ(control.ktCount(), 5);
  std::vector<ZtDeviceId> kt = control.ktDeviceIds();
  std::sort(kt.begin(), kt.end());
  EXPECT_EQ(kt, (std::vector<ZtDeviceId>{kDocked, kElsewhere, kWireless, kTracker7, kTracker9}));
  std::vector<ZtDeviceId> all = control.deviceIds();
  EXPECT_EQ(all.size(), 7u);
  // A child follows its master.
  auto at = std::find(all.begin(), all.end(), kStation);
  ASSERT_NE(at, all.end());
  ASSERT_NE(at + 1, all.end());
  EXPECT_EQ(*(at + 1), kWireless);
  EXPECT_EQ(control.findDevice(kWireless), child);
}

TEST_F(ControlDocking, RemovingADeviceByIdTakesAChildFromItsMasterAndClosesAMaster) {
  control.removeExistingDevice(kWireless);
  EXPECT_EQ(control.findDevice(kWireless), nullptr);
  EXPECT_EQ(control.log().count("~device " + std::to_string(kWireless)), 1u);
  EXPECT_EQ(control.mainDeviceCount(), 6u);
  control.removeExistingDevice(kDocked);
  EXPECT_EQ(control.mainDeviceCount(), 5u);
  EXPECT_EQ(control.findDevice(kDocked), nullptr);
  control.removeExistingDevice(kUnknownKtw);  // nothing
  EXPECT_EQ(control.mainDeviceCount(), 5u);
}

TEST_F(ControlDocking, ClosingByAChildsIdClosesItsMaster) {
  control.closePort(kWireless);
  EXPECT_EQ(control.findDevice(kStation), nullptr);
  EXPECT_EQ(control.findDevice(kWireless), nullptr);
  EXPECT_EQ(control.log().count("~device " + std::to_string(kWireless)), 1u);
  EXPECT_EQ(control.log().count("~device " + std::to_string(kStation)), 1u);
  EXPECT_EQ(control.mainDeviceCount(), 5u);
}

}  // namespace
