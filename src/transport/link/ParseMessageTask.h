#pragma once
// One block of bytes read by a link's reader thread, parsed on the pool. The tasks of one link
// are chained, so they run one at a time in arrival order; they alone touch the link's receive
// buffer and protocol manager.
#include <cstddef>

#include "foundation/Journaller.h"
#include "foundation/ThreadPoolTask.h"
#include "zttypes/ztarray.h"

class Communicator;

class ParseMessageTask : public zelto::ThreadPoolTask {
 public:
  // Keeps a copy of bytes. Task objects and their byte arrays are recycled through bounded
  // spare lists, so that in steady state queueing a block allocates nothing.
  ParseMessageTask(Communicator* link, const ZtByteArray& bytes, Journaller* journal);
  ~ParseMessageTask() override;
  ParseMessageTask(const ParseMessageTask&) = delete;
  ParseMessageTask& operator=(const ParseMessageTask&) = delete;

  // Cuts the messages from the bytes and hands each to the link's handleMessage; always done.
  bool exec() override;

  static void* operator new(std::size_t size);
  static void operator delete(void* block, std::size_t size) noexcept;

 private:
  Communicator* const m_link;
  ZtByteArray* m_bytes;
  Journaller* m_journal;  // the reader thread's journal; not used, not owned
};
