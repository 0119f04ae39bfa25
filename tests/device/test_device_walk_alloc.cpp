// Forwarding a packet to a child allocates nothing: the per-packet walk of the child list holds
// the child instead of copying the list.
#include <gtest/gtest.h>

#include "support/AllocationCounter.h"
#include "support/TestDevice.h"

namespace {

using zelto::test::TestDevice;

TEST(DeviceWalk, ForwardingAPacketToAChildAllocatesNothing) {
  auto* master = new TestDevice(static_cast<Communicator*>(nullptr));
  master->setDeviceId(1);
  std::vector<TestDevice*> kids;
  for (ZtDeviceId id = 2; id <= 9; ++id) kids.push_back(new TestDevice(master, id));
  master->addRef();
  ZtDataPacket packet;
  ZtDataPacket_construct(&packet);

  AllocationCounter walk;
  for (int i = 0; i < 10000; ++i) {
    packet.deviceId = 2 + i % 8;
    master->doProcessing(packet);
  }
  EXPECT_EQ(walk.count(), 0u);
  for (TestDevice* kid : kids) EXPECT_EQ(kid->processedPackets(), 1250);

  // The check can see allocations: a walk over all children copies the list.
  AllocationCounter copy;
  master->ZtDevice::writeDeviceSettingsToFile();
  EXPECT_GT(copy.count(), 0u);

  ZtDataPacket_destruct(&packet);
  master->removeRef();
}

}  // namespace
