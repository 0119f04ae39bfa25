// End of life of devices: references from many threads, one deleter, children deleted before
// their master, termination once, and children removed while packets are forwarded to them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/CallbackRecorder.h"
#include "support/TestDevice.h"

using zelto::test::CallLog;
using zelto::test::TestDevice;
using namespace std::chrono_literals;

namespace {

// Position of a line in the log, or -1.
long position(const std::vector<std::string>& lines, const std::string& line) {
  auto it = std::find(lines.begin(), lines.end(), line);
  return it == lines.end() ? -1 : static_cast<long>(it - lines.begin());
}

size_t destructions(const CallLog& log) {
  size_t n = 0;
  for (const std::string& line : log.lines()) n += line.rfind("~device", 0) == 0;
  return n;
}

ZtDataPacket packetFor(ZtDeviceId id) {
  ZtDataPacket packet;
  ZtDataPacket_construct(&packet);
  packet.deviceId = id;
  return packet;
}

TEST(DeviceLifetime, LastReferenceOfAChildOfAnUnreferencedMasterDeletesTheChildFirst) {
  auto log = std::make_shared<CallLog>();
  auto* master = new TestDevice(static_cast<Communicator*>(nullptr), log);
  master->setDeviceId(1);
  auto* held = new TestDevice(master, 2);
  new TestDevice(master, 3);
  held->addRef();  // the application holds the child, not the master
  master->removeRef();  // count 0 already, but a child is referenced: nothing ends
  EXPECT_EQ(destructions(*log), 0u);
  EXPECT_EQ(master->refCounter(), 0);

  held->removeRef();
  const auto lines = log->lines();
  EXPECT_EQ(destructions(*log), 3u);
  const long child = position(lines, "~device 2"), other = position(lines, "~device 3"),
             top = position(lines, "~device 1");
  ASSERT_GE(child, 0);
  ASSERT_GE(other, 0);
  ASSERT_GE(top, 0);
  EXPECT_LT(child, top);
  EXPECT_LT(other, top);
  // Each device was prepared before it went.
  EXPECT_LT(position(lines, "prepareForTermination 1"), top);
  EXPECT_LT(position(lines, "prepareForTermination 2"), child);
}

// A child is listed by its constructor, before the device class's constructor has run; walks
// reach it only from its first reference on.
TEST(DeviceLifetime, WalksReachAChildOnlyFromItsFirstReference) {
  auto log = std::make_shared<CallLog>();
  auto* master = new TestDevice(static_cast<Communicator*>(nullptr), log);
  master->setDeviceId(30);
  master->addRef();
  auto* child = new TestDevice(master, 31);
  EXPECT_FALSE(child->isPublished());
  EXPECT_EQ(master->deviceAtBusId(1), child);  // listed
  EXPECT_EQ(master->findDevice(31), child);
  EXPECT_EQ(master->findLinkedChild(31), nullptr);
  ZtDataPacket packet = packetFor(31);
  master->doProcessing(packet);
  master->ZtDevice::writeDeviceSettingsToFile();
  EXPECT_FALSE(master->processAtBusId(1, packet));
  EXPECT_EQ(child->processedPackets(), 0);
  EXPECT_EQ(log->count("writeDeviceSettingsToFile 31"), 0u);
  child->addRef();
  EXPECT_TRUE(child->isPublished());
  EXPECT_EQ(master->findLinkedChild(31), child);
  master->doProcessing(packet);
  master->ZtDevice::writeDeviceSettingsToFile();
  EXPECT_EQ(child->processedPackets(), 1);
  EXPECT_EQ(log->count("writeDeviceSettingsToFile 31"), 1u);
  EXPECT_TRUE(master->processAtBusId(1, packet));
  EXPECT_FALSE(master->processAtBusId(2, packet));
  EXPECT_FALSE(master->processAtBusId(0, packet));
  EXPECT_EQ(child->processedPackets(), 2);
  ZtDataPacket_destruct(&packet);
  child->removeRef();
  master->removeRef();
  EXPECT_EQ(destructions(*log), 2u);
}

TEST(DeviceLifetime, RemoveRefOnAnUnreferencedDeviceDeletesItWithoutGoingNegative) {
  auto log = std::make_shared<CallLog>();
  auto* device = new TestDevice(ZtDeviceId(5), log);
  device->addRef();
  device->removeRef();
  EXPECT_EQ(destructions(*log), 1u);

  auto* kept = new TestDevice(ZtDeviceId(6), log);
  kept->addRef();
  kept->addRef();
  kept->removeRef();
  EXPECT_EQ(kept->refCounter(), 1);
  kept->removeIfNoRefs();  // still referenced
  EXPECT_EQ(destructions(*log), 1u);
  kept->removeRef();
  EXPECT_EQ(destructions(*log), 2u);

  auto* never = new TestDevice(ZtDeviceId(7), log);
  never->removeRef();  // count 0 stays 0 and the device goes
  EXPECT_EQ(destructions(*log), 3u);
}

TEST(DeviceLifetime, TerminationRunsOnceAndEndsInDestructing) {
  auto log = std::make_shared<CallLog>();
  CallbackRecorder recorder;
  auto* master = new TestDevice(static_cast<Communicator*>(nullptr), log);
  auto* child = new TestDevice(master, 9);
  master->addRef();
  master->addCallbackHandler(&recorder, true);
  master->prepareForTermination();
  master->prepareForTermination();
  EXPECT_EQ(master->deviceState(), ZDS_Destructing);
  EXPECT_EQ(child->deviceState(), ZDS_Destructing);
  const auto events = recorder.events(CallbackRecorder::Kind::DeviceStateChanged);
  ASSERT_EQ(events.size(), 2u);  // one per device, the master first
  EXPECT_EQ(events[0].device, master);
  EXPECT_EQ(events[0].values[0], ZDS_Destructing);
  EXPECT_EQ(events[0].values[1], ZDS_Initial);
  EXPECT_EQ(events[1].device, child);
  master->removeRef();  // prepares again: no further event
  EXPECT_EQ(recorder.count(CallbackRecorder::Kind::DeviceStateChanged), 2u);
  EXPECT_EQ(destructions(*log), 2u);
}

// A device class that throws while it terminates still goes, and so does its master.
class ThrowingDevice : public TestDevice {
 public:
  using TestDevice::TestDevice;
  void prepareForTermination() override {
    TestDevice::prepareForTermination();
    throw std::runtime_error("termination failed");
  }
};

TEST(DeviceLifetime, AThrowingTerminationStillDeletesTheDevice) {
  auto log = std::make_shared<CallLog>();
  auto* master = new TestDevice(static_cast<Communicator*>(nullptr), log);
  master->setDeviceId(40);
  auto* child = new ThrowingDevice(master, 41);
  child->addRef();
  EXPECT_NO_THROW(child->removeRef());
  EXPECT_EQ(log->count("~device 41"), 1u);
  EXPECT_EQ(log->count("~device 40"), 1u);
}

// Eight threads take and drop references on a master and its children, then each drops its
// last reference at the same time: the tree is deleted once, children first.
TEST(DeviceLifetime, EightThreadsReferenceTheTreeAndExactlyOneDeletesIt) {
  constexpr int kThreads = 8;
  auto log = std::make_shared<CallLog>();
  auto* master = new TestDevice(static_cast<Communicator*>(nullptr), log);
  master->setDeviceId(100);
  std::vector<TestDevice*> kids;
  for (ZtDeviceId id = 101; id <= 103; ++id) kids.push_back(new TestDevice(master, id));
  for (int i = 0; i < kThreads; ++i) master->addRef();

  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int i = 0; i < 500; ++i) {
        ZtDevice* device = (i + t) % 4 == 0 ? static_cast<ZtDevice*>(master) : kids[(i + t) % 3];
        device->addRef();
        device->removeRef();
        master->addRef();
        master->removeRef();
      }
      master->removeRef();  // this thread's own reference
    });
  }
  for (std::thread& t : threads) t.join();

  const auto lines = log->lines();
  EXPECT_EQ(destructions(*log), 4u);
  for (const char* line : {"~device 100", "~device 101", "~device 102", "~device 103"})
    EXPECT_EQ(log->count(line), 1u) << line;
  for (const char* line : {"~device 101", "~device 102", "~device 103"})
    EXPECT_LT(position(lines, line), position(lines, "~device 100")) << line;
}

// A child whose packet is still being forwarded stays alive until the forwarding is done, even
// when its last reference is dropped meanwhile; the walk then deletes it.
class BlockingDevice : public TestDevice {
 public:
  using TestDevice::TestDevice;
  std::promise<void> entered;
  std::shared_future<void> proceed;
  void doProcessing(ZtDataPacket& packet) override {
    entered.set_value();
    proceed.wait();
    TestDevice::doProcessing(packet);
  }
};

TEST(DeviceLifetime, AChildRemovedDuringForwardingIsDeletedWhenTheForwardingEnds) {
  auto log = std::make_shared<CallLog>();
  auto* master = new TestDevice(static_cast<Communicator*>(nullptr), log);
  master->setDeviceId(20);
  master->addRef();
  std::promise<void> go;
  auto* child = new BlockingDevice(master, 21);
  child->proceed = go.get_future().share();
  child->addRef();
  auto entered = child->entered.get_future();

  std::thread forwarder([&] {
    ZtDataPacket packet = packetFor(21);
    master->doProcessing(packet);
    ZtDataPacket_destruct(&packet);
  });
  entered.wait();
  EXPECT_TRUE(master->removeChild(child, true));  // the child's last reference
  EXPECT_EQ(log->count("~device 21"), 0u);        // still inside its doProcessing
  EXPECT_TRUE(master->children().empty());
  go.set_value();
  forwarder.join();
  EXPECT_EQ(log->count("~device 21"), 1u);
  master->removeRef();
  EXPECT_EQ(log->count("~device 20"), 1u);
}

// Packets forwarded from three threads (by device id, by bus id, and to a child held by its id as
// a station's lookup holds it) while another thread keeps adding and removing children.
TEST(DeviceLifetime, ChildrenComeAndGoWhilePacketsAreForwardedToThem) {
  auto log = std::make_shared<CallLog>();
  auto* master = new TestDevice(static_cast<Communicator*>(nullptr), log);
  master->setDeviceId(1000);
  master->addRef();
  std::atomic<bool> stop{false};
  std::atomic<long> forwarded{0};

  std::vector<std::thread> forwarders;
  for (int f = 0; f < 3; ++f) {
    forwarders.emplace_back([&, f] {
      ZtDataPacket packet = packetFor(0);
      for (unsigned i = 0; !stop.load(); ++i) {
        packet.deviceId = 1 + (i + f) % 8;
        // One thread routes by device id, one by bus id (as a bus master does), one holds the
        // child it looked up by id while it processes.
        if (f == 0)
          master->doProcessing(packet);
        else if (f == 1)
          master->processAtBusId(1 + static_cast<int>(i % 5), packet);
        else
          master->processHeldById(packet.deviceId, packet);
        forwarded.fetch_add(1);
      }
      ZtDataPacket_destruct(&packet);
    });
  }
  int made = 0;
  std::vector<ZtDeviceId> ids;
  const auto until = std::chrono::steady_clock::now() + 300ms;
  while (std::chrono::steady_clock::now() < until || made < 200) {
    const ZtDeviceId id = 1 + made % 8;
    // Listed by its constructor, but forwarded to only from its first reference on: no packet
    // reaches a half-built device.
    auto* child = new TestDevice(master, id);
    child->addRef();
    ids.push_back(id);
    ++made;
    std::this_thread::yield();
    // Remove the oldest child with its reference, sometimes through the child's own removeRef.
    ZtDevice* oldest = master->deviceAtBusId(1);
    if (master->children().size() > 3) {
      if (made % 2)
        master->removeChild(oldest, true);
      else
        oldest->removeRef();
    }
    (void)child;
  }
  stop = true;
  for (std::thread& t : forwarders) t.join();
  const size_t left = master->children().size();
  master->removeRef();
  EXPECT_GT(forwarded.load(), 0);
  EXPECT_EQ(destructions(*log), static_cast<size_t>(made) + 1);
  EXPECT_EQ(log->count("~device 1000"), 1u);
  EXPECT_GE(left, 1u);
}

}  // namespace
