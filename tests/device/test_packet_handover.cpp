// The packet a device makes from a data message goes to its processing task without further
// copies: in steady state the parsing side and the processing allocate nothing per message, and
// every packet arrives whole and in order (its counter item and its own id).
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "device/ProcessTask.h"
#include "foundation/ThreadPool.h"
#include "support/AllocationCounter.h"
#include "support/TestDevice.h"
#include "support/ZtValues.h"
#include "transport/link/Communicator.h"

namespace {

struct HandOverSink : ZtCallback {
  std::atomic<long> packets{0};
  std::atomic<long> outOfOrder{0};
  long expected = 0;
  void onDataAvailable(ZtDevice*, const ZtDataPacket* packet) override {
    // One processing task at a time per device: no lock needed for expected.
    const long counter = ZtDataPacket_containsPacketCounter(packet) ? ZtDataPacket_packetCounter(packet) : -1;
    if (packet->packetId != expected || counter != (expected & 0xFFFF)) ++outOfOrder;
    ++expected;
    ++packets;
  }
};

TEST(PacketHandOver, MessagesReachProcessingWholeInOrderWithoutAllocating) {
  auto* device = new zelto::test::TestDevice(new Communicator());
  device->setDeviceId(0x00345699);
  device->setSupportedRates({100});
  device->createDataCache();
  HandOverSink sink;
  device->addCallbackHandler(&sink, false);
  device->addRef();

  // A warm-up burst as long as the counted one, each queued whole while the pool is held:
  // spare tasks and packets are kept up to the largest backlog seen.
  constexpr int kWarmUp = 1000, kCounted = 1000;
  zelto::ThreadPool* pool = zelto::ThreadPool::instance();
  std::vector<std::unique_ptr<zelto::test::Message>> messages;
  for (int i = 0; i < kWarmUp + kCounted; ++i) {
    const uint16_t c = static_cast<uint16_t>(i);
    messages.push_back(std::make_unique<zelto::test::Message>(
        0x36, zelto::test::Bytes{0x10, 0x20, 2, static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c), 0xE0, 0x20,
                                 4, 0, 0, 0, static_cast<uint8_t>(i)}));
  }
  pool->suspend(true);
  for (int i = 0; i < kWarmUp; ++i) device->handleMessage(messages[static_cast<size_t>(i)]->m);
  pool->resume();
  ASSERT_TRUE(device->finishLastProcessingTask());

  AllocationCounter counter;
  pool->suspend(true);
  for (int i = kWarmUp; i < kWarmUp + kCounted; ++i) device->handleMessage(messages[static_cast<size_t>(i)]->m);
  pool->resume();
  ASSERT_TRUE(device->finishLastProcessingTask());
  // Holding and releasing the pool and the wait for the last task cost a few, not one a packet.
  EXPECT_LT(counter.countAllThreads(), static_cast<uint64_t>(kCounted / 100));
  EXPECT_EQ(sink.packets.load(), kWarmUp + kCounted);
  EXPECT_EQ(sink.outOfOrder.load(), 0);

  device->removeCallbackHandler(&sink, false);
  device->removeRef();
}

// Tasks made and ended on one thread (a burst: a parse task makes one per message, its worker
// runs and ends them) leave their blocks and packets with that thread for its next tasks, without
// touching the shared lists; when the thread ends they go back to the shared lists, not lost with
// it.
TEST(PacketHandOver, SparesKeptByAThreadReturnWhenItEnds) {
  ZtDataPacket packet;
  ZtDataPacket_construct(&packet);
  constexpr size_t kBurst = 30;
  zelto::ProcessTask::SpareCounts before{}, whileKept{}, afterOwnTake{};
  std::thread([&] {
    std::vector<zelto::ProcessTask*> burst;
    for (size_t i = 0; i < kBurst; ++i) burst.push_back(new zelto::ProcessTask(nullptr, packet));
    before = zelto::ProcessTask::sharedSpares();
    for (zelto::ProcessTask* task : burst) delete task;
    whileKept = zelto::ProcessTask::sharedSpares();
    // The thread's next burst takes what it kept, not shared spares.
    burst.clear();
    for (size_t i = 0; i < kBurst; ++i) burst.push_back(new zelto::ProcessTask(nullptr, packet));
    for (zelto::ProcessTask* task : burst) delete task;
    afterOwnTake = zelto::ProcessTask::sharedSpares();
  }).join();
  const zelto::ProcessTask::SpareCounts afterEnd = zelto::ProcessTask::sharedSpares();
  EXPECT_EQ(whileKept.blocks, before.blocks);
  EXPECT_EQ(whileKept.packets, before.packets);
  EXPECT_EQ(afterOwnTake.blocks, whileKept.blocks);
  EXPECT_EQ(afterOwnTake.packets, whileKept.packets);
  EXPECT_EQ(afterEnd.blocks, whileKept.blocks + kBurst);
  EXPECT_EQ(afterEnd.packets, whileKept.packets + kBurst);
  ZtDataPacket_destruct(&packet);
}

}  // namespace
