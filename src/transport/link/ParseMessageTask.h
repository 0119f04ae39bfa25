#pragma once
// Parsing on the pool for one link. The tasks of one link run one at a time in arrival order;
// they alone touch the link's receive buffer and protocol manager.
//
// Two kinds: a task over one block of bytes it owns, and the reader's task, which drains the
// reader thread's parse backlog chunk by chunk (KtThread queues one only when none is pending,
// and the task queues its own follower when it makes way for other pool work). The reader's
// tasks are placed in slots the reader keeps (a running task and its follower), so the hand-over
// allocates nothing and shares no free list with other links.
#include <atomic>
#include <cstddef>

#include "foundation/Journaller.h"
#include "foundation/ThreadPoolTask.h"
#include "transport/link/MessageList.h"
#include "zttypes/ztarray.h"
#include "zttypes/ztresult.h"

class Communicator;
class KtThread;

class ParseMessageTask : public zelto::ThreadPoolTask {
 public:
  // Takes ownership of bytes (deleted with the task).
  ParseMessageTask(Communicator* link, ZtByteArray* bytes, Journaller* journal);
  // Drains the reader's backlog.
  explicit ParseMessageTask(KtThread* reader);
  ~ParseMessageTask() override;

  // Cuts the messages from the bytes and hands each to the link's handleMessage; always done.
  bool exec() override;

  // Storage for one task that its owner keeps for reuse; the owner outlives every task placed
  // there. A slot is taken by new (slots, count) and given back when the pool deletes the task.
  struct alignas(16) Slot {
    static constexpr size_t kBytes = 64;
    std::atomic<bool> busy{false};
    alignas(16) unsigned char storage[kBytes];
  };

  static void* operator new(size_t size);
  // A free slot of slots[0, count), else the heap. Calls for one set of slots must not overlap
  // (the reader makes them under its queue lock); a slot is given back from any thread.
  static void* operator new(size_t size, Slot* slots, size_t count);
  static void operator delete(void* p) noexcept;
  static void operator delete(void* p, Slot* slots, size_t count) noexcept;

 private:
  void parse(const ZtByteArray& bytes);
  // Hands each parsed message to the link's handleMessage (none after 258 or 259).
  void deliver(MessageList& messages, ZtResultValue result);

  Communicator* const m_link;
  ZtByteArray* m_bytes = nullptr;
  Journaller* m_journal = nullptr;  // the reader thread's journal; not used, not owned
  KtThread* m_reader = nullptr;
};
