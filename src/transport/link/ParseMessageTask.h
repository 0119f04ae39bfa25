#pragma once
// One block of bytes read by a link's reader thread, parsed on the pool. The tasks of one link
// are chained, so they run one at a time in arrival order; they alone touch the link's receive
// buffer and protocol manager.
#include "foundation/Journaller.h"
#include "foundation/ThreadPoolTask.h"
#include "zttypes/ztarray.h"

class Communicator;

class ParseMessageTask : public zelto::ThreadPoolTask {
 public:
  // Takes ownership of bytes (deleted with the task).
  ParseMessageTask(Communicator* link, ZtByteArray* bytes, Journaller* journal);
  ~ParseMessageTask() override;

  // Cuts the messages from the bytes and hands each to the link's handleMessage; always done.
  bool exec() override;

 private:
  Communicator* const m_link;
  ZtByteArray* m_bytes;
  Journaller* m_journal;  // the reader thread's journal; not used, not owned
};
