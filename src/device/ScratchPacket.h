#pragma once
// A packet reused per thread, so that the parsing worker, the processing tasks and the cache
// flushes allocate nothing per packet once the thread's packets have grown to size. Each thread
// keeps a few slots; a nested use on the same thread beyond them (an event handler that pulls
// from a playing device while its packet is still being handled) gets a packet of its own.
//
// A ScratchPacket lives on the stack of the thread that made it and must not be handed to
// another thread: its slot belongs to the constructing thread.
#include "zttypes/ztdatapacket.h"

namespace zelto {

class ScratchPacket {
 public:
  // A fresh empty packet (ids and time 0), keeping the storage the slot has grown.
  ScratchPacket();
  ~ScratchPacket();
  ScratchPacket(const ScratchPacket&) = delete;
  ScratchPacket& operator=(const ScratchPacket&) = delete;
  ZtDataPacket& operator*() const { return *m_packet; }
  ZtDataPacket* operator->() const { return m_packet; }
  ZtDataPacket* get() const { return m_packet; }

 private:
  struct Slot;
  Slot* m_slot = nullptr;
  ZtDataPacket m_own;
  ZtDataPacket* m_packet = nullptr;
};

}  // namespace zelto
