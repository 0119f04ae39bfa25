// Forwarding a packet to a child allocates nothing: the per-packet walk of the child list holds
// the child instead of copying the list.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "support/TestDevice.h"

namespace {

thread_local long t_allocations = 0;

}  // namespace

void* operator new(std::size_t size) {
  ++t_allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// The replaced operator new allocates with malloc, so free is the matching release; the compiler
// cannot see that pairing.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

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

  const long before = t_allocations;
  for (int i = 0; i < 10000; ++i) {
    packet.deviceId = 2 + i % 8;
    master->doProcessing(packet);
  }
  EXPECT_EQ(t_allocations - before, 0);
  for (TestDevice* kid : kids) EXPECT_EQ(kid->processedPackets(), 1250);

  // The check can see allocations: a walk over all children copies the list.
  const long beforeCopy = t_allocations;
  master->ZtDevice::writeDeviceSettingsToFile();
  EXPECT_GT(t_allocations - beforeCopy, 0);

  ZtDataPacket_destruct(&packet);
  master->removeRef();
}

}  // namespace
