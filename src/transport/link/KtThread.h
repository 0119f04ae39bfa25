#pragma once
// The reader thread of one Communicator. Each pass waits on the port until bytes arrive (or a
// wake-up: closing, a repeat GotoConfig starting) and reads what the port has (up to 8192 bytes)
// straight into the free room behind the link's parse backlog, so a chunk is copied once only
// between the read and the receive buffer (when the parse task takes it). One ParseMessageTask at a time drains the backlog
// on the pool, so blocks are parsed strictly in arrival order while this thread never parses.
// A task is queued only when none is queued or running, so a busy stream costs no allocation
// and no wake-up per block. After a small read (fewer than kSmallRead bytes) the thread pauses
// kSmallReadPauseMs before it reads again, so a fast stream of small messages is read and handed
// over a few messages at a time rather than one by one, except while a request waits for its
// reply; an idle line is waited on without a time-out. While a GotoConfig in repeat mode waits for its acknowledge, the goto-config block is
// written every 5 to 15 ms (random jitter) between reads; a pause never delays it.
//
// The backlog is bounded (kParseBacklogLimit): when handling falls behind the line, the oldest
// unparsed bytes are dropped, counted (droppedBytes), journalled, and the link raises onError
// with ZRV_INSUFFICIENTSPACE once per episode (an episode ends when the parser has caught up).
//
// Threads: the reader thread appends; the link's parse task takes; application threads stop
// the reader and wait for the parse task. m_backlogMutex guards the backlog fields and is held
// only to move bytes or to publish bytes read; it is never held during a read. Only the reader
// moves the backlog's end (appending, growing, dropping the oldest) and the parse task only
// moves its start, so the room behind the end stays the reader's between two claims of the
// lock. m_queueMutex serialises adding a parse task and storing its id (lock order:
// m_queueMutex, then the pool's lock). Neither is held while parsing, waiting or raising an
// event.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "foundation/Journaller.h"
#include "foundation/StandardThread.h"
#include "transport/link/ParseMessageTask.h"
#include "zttypes/ztarray.h"

class Communicator;

class KtThread : public zelto::StandardThread {
 public:
  // Unparsed bytes kept at most: about a second of the fastest line (USB full speed).
  static constexpr size_t kParseBacklogLimit = size_t{1} << 20;
  // Bytes handed to one parse step (the link's read size): keeps a drop or a close responsive.
  static constexpr size_t kParseChunk = 8192;
  // Contiguous room behind the backlog's end below which a read goes through a buffer of its
  // own and is copied in (wrapping round the ring, or dropping the oldest bytes when full).
  static constexpr size_t kMinDirectRead = 1024;
  // Chunks one parse task handles before it makes way for other pool work (a follower task
  // continues behind it).
  static constexpr int kChunksPerTask = 16;
  // The read that comes before an awaited candidate is judged past its deadline waits at most
  // this long (ms) for bytes the port may already hold.
  static constexpr int kRecheckReadMs = 1;
  // How long closing lets the parser work through the backlog before dropping the rest.
  static constexpr unsigned kCloseDrainMs = 1000;
  // A read of fewer bytes is followed by a pause of kSmallReadPauseMs (the thread loop's sleep);
  // a larger one by the next read at once. Closing, a wake-up or bytes arriving meanwhile wait at
  // most the pause.
  static constexpr size_t kSmallRead = 256;
  static constexpr int kSmallReadPauseMs = 2;

  explicit KtThread(Communicator* link);
  // Stops the thread and waits for its parse task (bounded as in finishParsing).
  ~KtThread() override;

  // Seeds the jitter generator and sets or clears the repeat-GotoConfig flag; setting it wakes
  // the reader so the first block goes out at once.
  void setDoGotoConfig(bool doGotoConfig);
  bool doGotoConfig() const { return m_doGotoConfig.load(std::memory_order_acquire); }
  // Waits until the parse task of this thread has run (also the followers it queued).
  void waitForCompletion();
  // As waitForCompletion, but after kCloseDrainMs the unparsed rest of the backlog is dropped
  // (counted and journalled); then only the chunk in hand is awaited. Call with the reader
  // stopped.
  void finishParsing();
  // Ends the reader's current wait once (it makes a pass at once).
  void wake();
  Communicator* communicator() const { return m_link; }
  // On this thread only: ends the loop after the current pass, then deletes the link (which
  // owns and so deletes this thread object; the system thread ends on its own) and calls
  // deleted (when given).
  void deleteLinkOnExit(std::function<void()> deleted);
  // The bytes written per repeat pass: a GotoConfig with 59 zero payload bytes, then an empty one.
  const ZtByteArray& gotoConfigBlock() const { return m_gotoConfigBlock; }
  // Bytes dropped from the parse backlog since construction.
  uint64_t droppedBytes() const { return m_droppedBytes.load(std::memory_order_relaxed); }
  // Unparsed bytes waiting for the parse task.
  size_t backlogSize();

  // Pause after a repeat write: 5 to 15 ms from a rand() value (64-bit arithmetic).
  static unsigned jitterMs(long randomValue);
  // The repeat writes made so far: how many, and the last kRepeatLog of them (when each was
  // written and the pause chosen after it), oldest first.
  struct RepeatWrite {
    std::chrono::steady_clock::time_point at;
    unsigned pauseMs;
  };
  static constexpr size_t kRepeatLog = 64;
  size_t repeatWriteCount();
  std::vector<RepeatWrite> repeatWrites();

  // Parse-task side (called by the link's ParseMessageTask only).
  // Moves up to kParseChunk backlog bytes to the end of into (the link's receive buffer); false
  // (and the task counts as ended) when the backlog is empty. True with nothing appended for a
  // recheck pass.
  bool takeParseChunk(ZtByteArray& into);
  // Queues a follower task for the rest of the backlog behind the running one.
  void continueParsing();
  // Scratch for a chunk that is taken and dropped (no port); one parse task runs at a time.
  ZtByteArray& parseChunk() { return m_parseChunk; }

 protected:
  void initFunction() override;
  // Deletes the link when deleteLinkOnExit asked for it.
  void exitFunction() override;
  // One wait-and-read; the pause before the next pass: kSmallReadPauseMs after a small read (less
  // when a repeat write is due sooner), 1 ms after a failed read, else 0.
  int innerFunction() override;

 private:
  // Appends the bytes read to the backlog (dropping the oldest beyond the limit) and queues a
  // parse task when none is pending. For a read that could not go into the backlog's room.
  void handOver(const uint8_t* data, size_t size);
  // Where the next read goes: the room behind the backlog's end when it has at least
  // kMinDirectRead contiguous bytes (claimed under the lock only when the room last seen was
  // short), else null and the read goes through m_readBuffer and handOver.
  uint8_t* prepareDirectRead(size_t& room);
  // Makes size bytes read into the room behind the end part of the backlog.
  void publishDirectRead(size_t size);
  // Grows the ring (doubling, unrolled into new storage) so that it has room for size more
  // bytes, within the limit. Reader thread, under the lock.
  void growBacklogLocked(size_t size);
  // Notes the backlog's end and the contiguous room behind it for the reader's next read; an
  // empty backlog starts over at the front, so its whole capacity is one room. Reader thread,
  // under the lock.
  void noteReadRoomLocked();
  // Queues a parse task unless one is pending; under the lock (the queuing itself is not).
  bool markParsePendingLocked();
  // Has the parse task run once more without new bytes, so an awaited candidate whose deadline
  // passed on a silent line is given up (and the messages behind it delivered).
  void requestRecheck();
  void queueParseTask();

  Communicator* const m_link;
  bool m_deleteLink = false;  // this thread only
  std::function<void()> m_linkDeleted;  // this thread only
  std::atomic<bool> m_doGotoConfig{false};
  // Set when the repeat flag is raised: the next pass writes the block without waiting.
  std::atomic<bool> m_repeatNow{false};
  std::chrono::steady_clock::time_point m_nextRepeat{};  // reader thread only
  std::mutex m_repeatLogMutex;  // a leaf lock: guards the two fields below
  RepeatWrite m_repeatLog[kRepeatLog]{};
  size_t m_repeatCount = 0;
  std::atomic<unsigned> m_lastTaskId{0};  // the pending parse task; written before it can end
  ZtByteArray m_gotoConfigBlock;
  ZtByteArray m_readBuffer;   // reads that cannot go into the backlog's room; reader only
  // The read's view of the backlog's room (never owns storage); reader only.
  ZtByteArray m_readWindow;
  // The backlog's end and the contiguous room behind it when the reader last held the lock:
  // the parse task only ever adds room, so the reader may read into it without the lock.
  size_t m_readAt = 0;
  size_t m_readRoom = 0;
  ZtByteArray m_parseChunk;   // reused by the parse task (one at a time)
  Journaller* m_journal = nullptr;  // own journal on the library journal's file, or null

  std::mutex m_queueMutex;
  // Where the parse tasks are placed (a running task and the follower it queues); taken under
  // m_queueMutex, given back by the pool's deletion of the task.
  ParseMessageTask::Slot m_taskSlots[2];
  std::mutex m_backlogMutex;
  // Ring of unparsed bytes: m_backlog.size() is the capacity (grown up to the limit).
  std::vector<uint8_t> m_backlog;
  size_t m_backlogHead = 0;
  size_t m_backlogSize = 0;
  bool m_parsePending = false;   // a parse task is queued or running
  bool m_overflowing = false;    // an overflow episode is reported and not yet over
  bool m_abandon = false;        // closing gave up on the backlog: drop what remains
  bool m_recheck = false;        // the next parse pass runs even without bytes
  uint64_t m_recheckedDeadline = 0;  // reader thread only: the deadline already rechecked
  std::atomic<uint64_t> m_droppedBytes{0};
};
