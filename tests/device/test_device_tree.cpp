// The device tree: bus ids, lookups by bus id and device id, child ids taken from the master's
// configuration, removal, and the identity of the three constructions.
#include <gtest/gtest.h>

#include <memory>

#include "support/CallbackRecorder.h"
#include "support/TestDevice.h"

using zelto::test::TestDevice;

namespace {

// A master without link and three children 11, 12, 13, held by one reference on the master.
class TreeFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    master = new TestDevice(static_cast<Communicator*>(nullptr));
    master->setDeviceId(10);
    for (ZtDeviceId id : {11u, 12u, 13u}) kids.push_back(new TestDevice(master, id));
    master->addRef();
  }
  void TearDown() override {
    if (master) master->removeRef();
  }
  TestDevice* master = nullptr;
  std::vector<TestDevice*> kids;
};

TEST_F(TreeFixture, BusIdsFollowTheListAndMoveUpWhenAChildGoes) {
  EXPECT_EQ(master->busId(), 255);
  EXPECT_EQ(kids[0]->busId(), 1);
  EXPECT_EQ(kids[1]->busId(), 2);
  EXPECT_EQ(kids[2]->busId(), 3);
  EXPECT_TRUE(master->isMasterDevice());
  EXPECT_FALSE(kids[0]->isMasterDevice());
  EXPECT_EQ(kids[2]->master(), master);

  kids[0]->addRef();  // keep the first child alive outside the list
  ASSERT_TRUE(master->removeChild(kids[0], false));
  EXPECT_EQ(kids[0]->busId(), 254);  // its master no longer lists it
  EXPECT_EQ(kids[1]->busId(), 1);
  EXPECT_EQ(kids[2]->busId(), 2);
  EXPECT_EQ(master->children(), (std::vector<ZtDevice*>{kids[1], kids[2]}));
  EXPECT_FALSE(master->removeChild(kids[0], false));  // not listed any more
  EXPECT_FALSE(master->removeChild(nullptr, true));
  // Its last reference ends it; the master keeps its reference and stays.
  kids[0]->removeRef();
  kids[0]->removeRef();
  EXPECT_EQ(master->log().count("~device 11"), 1u);
  EXPECT_EQ(master->log().count("~device 10"), 0u);
}

TEST_F(TreeFixture, DeviceAtBusId) {
  struct Case {
    int busId;
    ZtDevice* expected;
  };
  const Case cases[] = {{255, master}, {0, nullptr}, {1, kids[0]}, {3, kids[2]}, {4, nullptr}, {-1, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.busId);
    EXPECT_EQ(master->deviceAtBusId(c.busId), c.expected);
    EXPECT_EQ(static_cast<const ZtDevice*>(master)->deviceAtBusId(c.busId), c.expected);
  }
  // A child has no children: 255 falls through to its empty list.
  EXPECT_EQ(kids[0]->deviceAtBusId(255), nullptr);
  EXPECT_EQ(kids[0]->deviceAtBusId(1), nullptr);
}

TEST_F(TreeFixture, FindDeviceSearchesOnlyTheChildrenAndNeverFindsItself) {
  EXPECT_EQ(master->findDevice(12), kids[1]);
  EXPECT_EQ(master->findDevice(99), nullptr);
  EXPECT_EQ(master->findLinkedChild(13), kids[2]);
  // A child that shares the master's id is not found by that id.
  kids[1]->setDeviceId(10);
  EXPECT_EQ(master->findDevice(10), nullptr);
  EXPECT_EQ(kids[0]->findDevice(12), nullptr);  // below the children: nothing
}

// A master forwards a child's packet by the packet's device id (its lookup by id keeps an index
// sorted by id): after a child's id changes, after a removal and with two children of one id
// (the first listed wins) it reaches the child that has the id now, never one that had it, and
// never a child that is not yet published.
TEST_F(TreeFixture, PacketsForwardedByIdReachTheChildThatHasTheIdNow) {
  ZtDataPacket packet;
  ZtDataPacket_construct(&packet);
  auto* late = new TestDevice(master, 30);  // listed, not published before its first reference
  const auto forward = [&](ZtDeviceId id) {
    packet.deviceId = id;
    master->doProcessing(packet);
  };
  const auto processed = [&] {
    return std::vector<long>{kids[0]->processedPackets(), kids[1]->processedPackets(), kids[2]->processedPackets(),
                             late->processedPackets()};
  };
  forward(12);
  forward(30);
  EXPECT_EQ(processed(), (std::vector<long>{0, 1, 0, 0}));
  kids[1]->setDeviceId(20);
  forward(12);
  forward(20);
  EXPECT_EQ(processed(), (std::vector<long>{0, 2, 0, 0}));
  kids[2]->setDeviceId(11);  // two children of id 11: the first listed takes its packets
  forward(11);
  EXPECT_EQ(processed(), (std::vector<long>{1, 2, 0, 0}));
  kids[0]->addRef();  // kept alive outside the list
  ASSERT_TRUE(master->removeChild(kids[0], false));
  forward(11);
  EXPECT_EQ(processed(), (std::vector<long>{1, 2, 1, 0}));
  late->addRef();
  forward(30);
  EXPECT_EQ(processed(), (std::vector<long>{1, 2, 1, 1}));
  forward(10);  // the master's own id: not forwarded
  EXPECT_EQ(processed(), (std::vector<long>{1, 2, 1, 1}));
  kids[0]->removeRef();
  kids[0]->removeRef();
  ZtDataPacket_destruct(&packet);
}

TEST_F(TreeFixture, ReferencesOfTheMasterReachTheChildren) {
  for (TestDevice* kid : kids) EXPECT_EQ(kid->refCounter(), 1);
  master->addRef();
  EXPECT_EQ(master->refCounter(), 2);
  for (TestDevice* kid : kids) EXPECT_EQ(kid->refCounter(), 2);
  master->removeRef();
  EXPECT_EQ(master->refCounter(), 1);
  for (TestDevice* kid : kids) EXPECT_EQ(kid->refCounter(), 1);
}

TEST_F(TreeFixture, ClearDropsEveryChild) {
  master->clear();
  EXPECT_TRUE(master->children().empty());
  for (ZtDeviceId id : {11, 12, 13}) EXPECT_EQ(master->log().count("~device " + std::to_string(id)), 1u);
  EXPECT_EQ(master->log().count("~device 10"), 0u);
}

TEST(DeviceTree, ChildIdComesFromTheMastersConfigurationByBusId) {
  auto* master = new TestDevice(static_cast<Communicator*>(nullptr));
  master->setDeviceId(1);
  master->setConfiguredDevices({0x100, 0x200});
  auto* first = new TestDevice(master, 0);
  auto* second = new TestDevice(master, 0);
  auto* third = new TestDevice(master, 0);  // bus id 3 beyond the configured two
  EXPECT_EQ(first->deviceId(), 0x100u);
  EXPECT_EQ(second->deviceId(), 0x200u);
  EXPECT_EQ(third->deviceId(), 0u);
  EXPECT_EQ(master->configuredDeviceCount(), 2);
  EXPECT_EQ(&second->deviceConfiguration(), &master->deviceConfiguration());
  auto log = master->sharedLog();
  master->removeIfNoRefs();
  for (const char* line : {"~device 0", "~device 1", "~device 256", "~device 512"}) EXPECT_EQ(log->count(line), 1u) << line;
}

TEST(DeviceTree, ChildCopiesHandlersAndIsChainedBelowTheMaster) {
  CallbackRecorder early, late;
  auto* master = new TestDevice(static_cast<Communicator*>(nullptr));
  master->addCallbackHandler(&early, false);
  auto* child = new TestDevice(master, 7);
  EXPECT_EQ(child->callbackHandlers(), std::vector<ZtCallbackPlainC*>{&early});
  master->addCallbackHandler(&late, true);  // with the chain: reaches the child too
  EXPECT_EQ(child->callbackHandlers(), (std::vector<ZtCallbackPlainC*>{&early, &late}));
  ASSERT_TRUE(master->removeChild(child, false));
  EXPECT_TRUE(master->chainedManagers().empty());
  child->removeIfNoRefs();
  master->removeIfNoRefs();
}

TEST(DeviceTree, DeviceById) {
  auto* device = new TestDevice(ZtDeviceId(0x80000000u));
  EXPECT_EQ(device->deviceId(), 0x80000000u);
  EXPECT_TRUE(device->isMasterDevice());
  EXPECT_EQ(device->communicator(), nullptr);
  EXPECT_EQ(device->connectivityState(), ZCS_Disconnected);
  EXPECT_EQ(device->deviceState(), ZDS_Initial);
  EXPECT_FALSE(device->isReadingFromFile());
  EXPECT_EQ(device->busId(), 255);
  ZtString name = device->portName();
  EXPECT_EQ(ZtString_length(&name), 0u);
  ZtString_destruct(&name);
  device->removeIfNoRefs();
}

TEST(DeviceTree, ConnectivityChangesRaiseTheEventOnce) {
  CallbackRecorder recorder;
  auto* device = new TestDevice(ZtDeviceId(1));
  device->addCallbackHandler(&recorder, false);
  device->updateConnectivityState(ZCS_PluggedIn);
  device->updateConnectivityState(ZCS_PluggedIn);
  device->updateConnectivityState(ZCS_Rejected);
  const auto events = recorder.events(CallbackRecorder::Kind::ConnectivityChanged);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].values[0], ZCS_PluggedIn);
  EXPECT_EQ(events[1].values[0], ZCS_Rejected);
  EXPECT_EQ(events[1].device, device);
  EXPECT_EQ(device->connectivityState(), ZCS_Rejected);
  device->removeCallbackHandler(&recorder, false);
  device->removeIfNoRefs();
}

}  // namespace
