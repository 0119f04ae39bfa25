#pragma once
// The processing of one data packet by one device, run on the task pool. A device chains each of
// its tasks behind the previous one (packets and state changes alike), so it processes one packet
// at a time, in arrival order. The task holds its own copy of the packet; while it runs, the
// thread is marked as running a task of the device (DeviceTaskScope).
//
// One task is made per received packet: task objects and packet copies are recycled through
// process-wide spare lists (kept up to the high-water mark of tasks in flight, within a bound), so
// that in steady state, bursts included, making a task allocates nothing. The packet that the
// device copied for the task is exchanged with a spare one rather than copied again. A thread that
// makes tasks and ends them itself keeps their blocks and packets (a burst's worth) for its own
// next tasks, so tasks made and ended on one worker take no lock; they return to the shared lists
// when the thread ends. Tasks ended elsewhere return to the shared lists at once.
#include <cstddef>

#include "foundation/ThreadPoolTask.h"
#include "zttypes/ztdatapacket.h"

class ZtDevice;

namespace zelto {

class ProcessTask : public ThreadPoolTask {
 public:
  // The device must outlive the task: a device waits for its last queued task before it ends.
  ProcessTask(ZtDevice* device, const ZtDataPacket& packet);
  // Takes packet's content without a copy: packet is left with the content of a spare packet.
  enum TakeContent { kTake };
  ProcessTask(ZtDevice* device, ZtDataPacket& packet, TakeContent);
  ~ProcessTask() override;
  ProcessTask(const ProcessTask&) = delete;
  ProcessTask& operator=(const ProcessTask&) = delete;

  // The device's doProcessing with the packet copy; always done.
  bool exec() override;

  // Task objects come from, and go back to, the spare list.
  static void* operator new(std::size_t size);
  static void operator delete(void* block, std::size_t size) noexcept;

  // Task blocks and packets in the shared spare lists (not those a thread keeps for itself).
  struct SpareCounts {
    size_t blocks;
    size_t packets;
  };
  static SpareCounts sharedSpares();

 private:
  ZtDevice* const m_device;
  ZtDataPacket* m_packet;  // from the spare packets, returned by the destructor
  const void* const m_maker;  // the spares of the thread that made the task

  static ZtDataPacket* sparePacket();
};

}  // namespace zelto
