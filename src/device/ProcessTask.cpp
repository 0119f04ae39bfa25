#include "device/ProcessTask.h"

#include <new>

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

}  // namespace

void* ProcessTask::operator new(std::size_t size) {
  if (size == sizeof(ProcessTask))
    if (void* block = spareBlocks().take()) return block;
  return ::operator new(size);
}

void ProcessTask::operator delete(void* block, std::size_t size) noexcept {
  if (!block) return;
  if (size == sizeof(ProcessTask) && spareBlocks().give(block)) return;
  ::operator delete(block);
}

ZtDataPacket* ProcessTask::sparePacket() {
  ZtDataPacket* packet = sparePackets().take();
  if (!packet) {
    packet = new ZtDataPacket;
    ZtDataPacket_construct(packet);
  }
  return packet;
}

ProcessTask::ProcessTask(ZtDevice* device, const ZtDataPacket& packet) : m_device(device), m_packet(sparePacket()) {
  ZtDataPacket_copy(m_packet, &packet);
}

ProcessTask::ProcessTask(ZtDevice* device, ZtDataPacket& packet, TakeContent)
    : m_device(device), m_packet(sparePacket()) {
  ZtDataPacket_swap(m_packet, &packet);
}

ProcessTask::~ProcessTask() {
  if (m_packet->message.bytes.reserved + m_packet->original.bytes.reserved <= kKeptStorage &&
      sparePackets().give(m_packet))
    return;
  ZtDataPacket_destruct(m_packet);
  delete m_packet;
}

bool ProcessTask::exec() {
  DeviceTaskScope scope(m_device);
  m_device->doProcessing(*m_packet);
  return true;
}

}  // namespace zelto
