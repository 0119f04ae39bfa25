#include "device/ProcessTask.h"

#include <new>
#include <utility>

#include "device/DeviceTaskScope.h"
#include "device/ZtDevice.h"
#include "foundation/SpareList.h"

namespace zelto {

namespace {

// Spare tasks and packets kept at most, and the storage a spare packet may keep (larger ones are
// freed rather than hoarded). Spares are what earlier bursts made, so the lists hold the
// high-water mark of tasks in flight within this bound (a few seconds of a fast device's
// backlog); a burst no larger than one seen before allocates nothing. A spare packet keeps the
// storage it grew, so copying the next packet into it allocates nothing. Made once and never
// destroyed: the pool may delete tasks while the process exits.
constexpr size_t kSpareLimit = size_t{1} << 16;
constexpr size_t kKeptStorage = 512;

SpareList<void>& spareBlocks() {
  static auto* spares = new SpareList<void>(kSpareLimit);
  return *spares;
}

SpareList<ZtDataPacket>& sparePackets() {
  static auto* spares = new SpareList<ZtDataPacket>(kSpareLimit);
  return *spares;
}

void freePacket(ZtDataPacket* packet) {
  ZtDataPacket_destruct(packet);
  delete packet;
}

// The blocks and packets of tasks this thread made and ended itself (up to kThreadKept of each),
// kept for its next takes ahead of the shared lists: a parse task makes the processing tasks of
// what it parsed (a station's burst makes one per tracker), which then run and end on the same
// worker, so in steady state neither takes a lock nor touches the shared lists (a bound of a
// station's burst: what each worker may hold back from the others). A task ended by
// another thread than its maker goes back to the shared lists (a thread that ends tasks others
// made would otherwise hold back spares their maker then has to allocate anew). Plain data, valid
// for the thread's whole life; what it holds goes back to the lists when the thread ends
// (ThreadSparesReturn), and after that the thread uses the lists only.
constexpr size_t kThreadKept = 32;
struct ThreadSpares {
  void* blocks[kThreadKept];
  ZtDataPacket* packets[kThreadKept];
  size_t blockCount;
  size_t packetCount;
  bool makes;
  bool returnArmed;
  bool closed;
  bool endingOwn;  // the task being deleted on this thread was made here (destructor to delete)
};
thread_local ThreadSpares tlSpares{};

struct ThreadSparesReturn {
  ~ThreadSparesReturn() {
    ThreadSpares& spares = tlSpares;
    spares.closed = true;
    for (; spares.blockCount > 0; --spares.blockCount) {
      void* block = spares.blocks[spares.blockCount - 1];
      if (!spareBlocks().give(block)) ::operator delete(block);
    }
    for (; spares.packetCount > 0; --spares.packetCount) {
      ZtDataPacket* packet = spares.packets[spares.packetCount - 1];
      if (!sparePackets().give(packet)) freePacket(packet);
    }
  }
};

// The slots of the thread ending a task it made itself, to give back into; null for a task made
// elsewhere and once the slots are closed. The first use arms their return.
ThreadSpares* threadSpares() {
  ThreadSpares& spares = tlSpares;
  if (!spares.makes || !spares.endingOwn || spares.closed) return nullptr;
  if (!spares.returnArmed) {
    static thread_local ThreadSparesReturn returner;  // its destructor runs when the thread ends
    spares.returnArmed = true;
  }
  return &spares;
}

}  // namespace

void* ProcessTask::operator new(std::size_t size) {
  if (size == sizeof(ProcessTask)) {
    ThreadSpares& spares = tlSpares;
    spares.makes = true;
    if (spares.blockCount > 0) return spares.blocks[--spares.blockCount];  // none once closed
    if (void* block = spareBlocks().take()) return block;
  }
  return ::operator new(size);
}

void ProcessTask::operator delete(void* block, std::size_t size) noexcept {
  if (!block) return;
  if (size == sizeof(ProcessTask)) {
    ThreadSpares* spares = threadSpares();
    if (spares && spares->blockCount < kThreadKept) {
      spares->blocks[spares->blockCount++] = block;
      return;
    }
    if (spareBlocks().give(block)) return;
  }
  ::operator delete(block);
}

ZtDataPacket* ProcessTask::sparePacket() {
  ThreadSpares& spares = tlSpares;
  spares.makes = true;
  ZtDataPacket* packet = spares.packetCount > 0 ? spares.packets[--spares.packetCount] : nullptr;
  if (!packet) packet = sparePackets().take();
  if (!packet) {
    packet = new ZtDataPacket;
    ZtDataPacket_construct(packet);
  }
  return packet;
}

ProcessTask::ProcessTask(ZtDevice* device, const ZtDataPacket& packet)
    : m_device(device), m_packet(sparePacket()), m_maker(&tlSpares) {
  ZtDataPacket_copy(m_packet, &packet);
}

ProcessTask::ProcessTask(ZtDevice* device, ZtDataPacket& packet, TakeContent)
    : m_device(device), m_packet(sparePacket()), m_maker(&tlSpares) {
  ZtDataPacket_swap(m_packet, &packet);
}

ProcessTask::~ProcessTask() {
  // Read by the operator delete that follows on this thread, for the block.
  tlSpares.endingOwn = m_maker == &tlSpares;
  if (m_packet->message.bytes.reserved + m_packet->original.bytes.reserved <= kKeptStorage) {
    ThreadSpares* spares = threadSpares();
    if (spares && spares->packetCount < kThreadKept) {
      spares->packets[spares->packetCount++] = m_packet;
      return;
    }
    if (sparePackets().give(m_packet)) return;
  }
  freePacket(m_packet);
}

ProcessTask::SpareCounts ProcessTask::sharedSpares() { return {spareBlocks().size(), sparePackets().size()}; }

bool ProcessTask::exec() {
  DeviceTaskScope scope(m_device);
  m_device->doProcessing(*m_packet);
  return true;
}

}  // namespace zelto
