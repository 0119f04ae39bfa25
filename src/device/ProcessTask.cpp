#include "device/ProcessTask.h"

#include <mutex>
#include <new>
#include <vector>

#include "device/DeviceTaskScope.h"
#include "device/ZtDevice.h"

namespace zelto {

namespace {

// Spare task blocks and packets. A packet keeps the storage it grew, so copying the next packet
// into it allocates nothing. Both lists are bounded (what exceeds the bound is freed) and reserved
// up front, so they never grow on the packet path. Made once and never destroyed: tasks may be
// deleted by the pool during the process's exit.
class Spares {
 public:
  // Tasks in flight a device backlog may reach before making tasks allocates again, and the
  // storage a spare packet may keep (larger ones are freed rather than hoarded).
  static constexpr size_t kLimit = 4096;
  static constexpr size_t kKeptStorage = 512;

  static Spares& instance() {
    static Spares* spares = new Spares();
    return *spares;
  }

  void* takeBlock(size_t size) {
    if (size == sizeof(ProcessTask)) {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (!m_blocks.empty()) {
        void* block = m_blocks.back();
        m_blocks.pop_back();
        return block;
      }
    }
    return ::operator new(size);
  }

  void giveBlock(void* block, size_t size) {
    if (!block) return;
    if (size == sizeof(ProcessTask)) {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_blocks.size() < kLimit) {
        m_blocks.push_back(block);
        return;
      }
    }
    ::operator delete(block);
  }

  ZtDataPacket* takePacket() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (!m_packets.empty()) {
        ZtDataPacket* packet = m_packets.back();
        m_packets.pop_back();
        return packet;
      }
    }
    auto* packet = new ZtDataPacket;
    ZtDataPacket_construct(packet);
    return packet;
  }

  void givePacket(ZtDataPacket* packet) {
    if (packet->message.bytes.reserved + packet->original.bytes.reserved <= kKeptStorage) {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_packets.size() < kLimit) {
        m_packets.push_back(packet);
        return;
      }
    }
    ZtDataPacket_destruct(packet);
    delete packet;
  }

 private:
  Spares() {
    m_blocks.reserve(kLimit);
    m_packets.reserve(kLimit);
  }

  std::mutex m_mutex;  // a leaf
  std::vector<void*> m_blocks;
  std::vector<ZtDataPacket*> m_packets;
};

}  // namespace

void* ProcessTask::operator new(std::size_t size) { return Spares::instance().takeBlock(size); }

void ProcessTask::operator delete(void* block, std::size_t size) noexcept { Spares::instance().giveBlock(block, size); }

ProcessTask::ProcessTask(ZtDevice* device, const ZtDataPacket& packet)
    : m_device(device), m_packet(Spares::instance().takePacket()) {
  ZtDataPacket_copy(m_packet, &packet);
}

ProcessTask::~ProcessTask() { Spares::instance().givePacket(m_packet); }

bool ProcessTask::exec() {
  DeviceTaskScope scope(m_device);
  m_device->doProcessing(*m_packet);
  return true;
}

}  // namespace zelto
