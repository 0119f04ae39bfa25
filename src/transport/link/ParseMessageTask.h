#pragma once
// Parsing on the pool for one link. The tasks of one link run one at a time in arrival order;
// they alone touch the link's receive buffer and protocol manager.
//
// Two kinds: a task over one block of bytes it owns, and the reader's task, which drains the
// reader thread's parse backlog chunk by chunk (KtThread queues one only when none is pending,
// and the task queues its own follower when it makes way for other pool work). Task objects
// come from a small free list, so the hand-over allocates nothing in steady state.
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

  static void* operator new(size_t size);
  static void operator delete(void* p) noexcept;

 private:
  void parse(const ZtByteArray& bytes);
  // Hands each parsed message to the link's handleMessage (none after 258 or 259).
  void deliver(MessageList& messages, ZtResultValue result);

  Communicator* const m_link;
  ZtByteArray* m_bytes = nullptr;
  Journaller* m_journal = nullptr;  // the reader thread's journal; not used, not owned
  KtThread* m_reader = nullptr;
};
