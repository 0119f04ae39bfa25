#include "transport/link/KtThread.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "foundation/ThreadPool.h"
#include "transport/link/Communicator.h"
#include "transport/link/ParseMessageTask.h"
#include "zttypes/ztmessage.h"
#include "zttypes/zttime.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kGotoConfig = 0x30;
constexpr size_t kPaddedGotoConfigPayload = 59;
// First capacity of the backlog ring; it doubles on demand up to the limit.
constexpr size_t kBacklogStart = size_t{64} << 10;

// Appends n bytes within the room the array has reserved already, without the generic array's
// item handling; through its own append (which may allocate) when the room is missing.
int appendWithinReserve(ZtByteArray& into, const uint8_t* source, size_t n) {
  if (n == 0) return 0;
  if (into.reserved - into.size < n) return ZtByteArray_append(&into, n, source);
  std::memcpy(into.data + into.size, source, n);
  into.size += n;
  into.flags &= ~ZTARRAY_EMPTY;
  return 0;
}

void appendGotoConfig(ZtByteArray& block, size_t payloadSize) {
  ZtMessage m;
  ZtMessage_constructSized(&m, payloadSize);
  ZtMessage_setMessageId(&m, kGotoConfig);
  ZtByteArray_append(&block, ZtMessage_getTotalMessageSize(&m), ZtMessage_getMessageStart(&m));
  ZtMessage_destruct(&m);
}

}  // namespace

KtThread::KtThread(Communicator* link) : m_link(link) {
  ZtByteArray_construct(&m_gotoConfigBlock, 0, nullptr);
  ZtByteArray_construct(&m_readBuffer, 0, nullptr);
  ZtArray_constructFixed(ZTARRAY(&m_readWindow), &g_ztByteArrayDescriptor, nullptr, 0);
  // A port reads straight into an array with room for the whole read (see SerialInterface).
  (void)ZtArray_reserve(ZTARRAY(&m_readBuffer), Communicator::kReadBlockSize);
  ZtByteArray_construct(&m_parseChunk, 0, nullptr);
  appendGotoConfig(m_gotoConfigBlock, kPaddedGotoConfigPayload);
  appendGotoConfig(m_gotoConfigBlock, 0);
  if (gJournal.load(std::memory_order_relaxed)) {
    const JournalUse use;
    if (Journaller* global = use.journal()) m_journal = new Journaller(global->filename(), false, JLL_DEBUG);
  }
  // Every pass ends in a wait on the port; a yield between passes would only add a syscall.
  setYield(false);
}

KtThread::~KtThread() {
  stopThread();
  finishParsing();
  ZtByteArray_destruct(&m_parseChunk);
  ZtByteArray_destruct(&m_readBuffer);
  ZtByteArray_destruct(&m_gotoConfigBlock);
  delete m_journal;
}

void KtThread::setDoGotoConfig(bool doGotoConfig) {
  std::srand(static_cast<unsigned>(ZtTimeStamp_now()));
  if (doGotoConfig) m_repeatNow.store(true, std::memory_order_release);
  m_doGotoConfig.store(doGotoConfig, std::memory_order_release);
  if (doGotoConfig) wake();
}

void KtThread::wake() { m_link->kickReader(); }

void KtThread::waitForCompletion() {
  zelto::ThreadPool* pool = nullptr;
  // A running parse task may queue a follower before it ends; the follower's id is stored
  // before the awaited id ends, so a changed id after the wait means more to wait for.
  for (;;) {
    const unsigned id = m_lastTaskId.load(std::memory_order_acquire);
    if (id == 0) return;
    if (!pool) pool = zelto::ThreadPool::instance();
    pool->waitForCompletion(id);
    if (m_lastTaskId.load(std::memory_order_acquire) == id) return;
  }
}

void KtThread::finishParsing() {
  if (m_lastTaskId.load(std::memory_order_acquire) == 0) return;
  zelto::ThreadPool* pool = zelto::ThreadPool::instance();
  const auto deadline = Clock::now() + std::chrono::milliseconds(kCloseDrainMs);
  for (;;) {
    const unsigned id = m_lastTaskId.load(std::memory_order_acquire);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || !pool->waitForCompletion(id, static_cast<unsigned>(left))) break;
    if (m_lastTaskId.load(std::memory_order_acquire) == id) return;
  }
  // The handling is slower than the backlog allows for: the parser drops the rest after the
  // chunk in hand.
  {
    std::lock_guard<std::mutex> lock(m_backlogMutex);
    m_abandon = true;
  }
  waitForCompletion();
  std::lock_guard<std::mutex> lock(m_backlogMutex);
  m_abandon = false;
}

size_t KtThread::backlogSize() {
  std::lock_guard<std::mutex> lock(m_backlogMutex);
  return m_backlogSize;
}

size_t KtThread::repeatWriteCount() {
  std::lock_guard<std::mutex> lock(m_repeatLogMutex);
  return m_repeatCount;
}

std::vector<KtThread::RepeatWrite> KtThread::repeatWrites() {
  std::lock_guard<std::mutex> lock(m_repeatLogMutex);
  std::vector<RepeatWrite> writes;
  const size_t kept = std::min(m_repeatCount, kRepeatLog);
  for (size_t i = m_repeatCount - kept; i < m_repeatCount; ++i) writes.push_back(m_repeatLog[i % kRepeatLog]);
  return writes;
}

unsigned KtThread::jitterMs(long randomValue) {
  // rand() * 10 overflows an int; the product needs 64 bits.
  return static_cast<unsigned>(5 + (static_cast<int64_t>(randomValue) * 10) / 2147483647);
}

void KtThread::initFunction() { setPriority(5); }

void KtThread::deleteLinkOnExit(std::function<void()> deleted) {
  m_deleteLink = true;
  m_linkDeleted = std::move(deleted);
  requestStop();
}

void KtThread::exitFunction() {
  if (!m_deleteLink) return;
  // Both go with the link: take what runs after it first.
  std::function<void()> deleted = std::move(m_linkDeleted);
  delete m_link;
  if (deleted) deleted();
}

int KtThread::innerFunction() {
  int waitMs = -1;  // until bytes arrive or a wake-up
  if (doGotoConfig()) {
    const auto now = Clock::now();
    if (m_repeatNow.exchange(false, std::memory_order_acq_rel) || now >= m_nextRepeat) {
      if (m_link->writeRawData(m_gotoConfigBlock) != ZRV_OK && m_journal && m_journal->isEnabled(JLL_ALERT))
        m_journal->log(JLL_ALERT, "Sending gotoconfig failed");
      const unsigned pause = jitterMs(std::rand());
      m_nextRepeat = now + std::chrono::milliseconds(pause);
      std::lock_guard<std::mutex> lock(m_repeatLogMutex);
      m_repeatLog[m_repeatCount++ % kRepeatLog] = {now, pause};
    }
    // Bytes arriving meanwhile are read and handed over; the next block goes out on time.
    const auto left = m_nextRepeat - Clock::now();
    waitMs = static_cast<int>(std::max<int64_t>(
        0, std::chrono::duration_cast<std::chrono::microseconds>(left).count() / 1000 + 1));
  }
  // A candidate awaited by the parser is given up at its deadline: wake then, even if the line
  // stays silent (once per deadline, so a pass that changes nothing cannot spin). Past the
  // deadline the port is read first: bytes it holds already (this thread was late, not the
  // line) go to the parser, which judges the candidate with them; only a port that has nothing
  // lets the parser judge it against the clock alone.
  const uint64_t deadline = m_link->awaitedDeadlineMs();
  bool recheckDue = false;
  if (deadline != 0 && deadline != m_recheckedDeadline) {
    const uint64_t nowMs = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
    const int untilDeadline =
        deadline > nowMs ? static_cast<int>(std::min<uint64_t>(deadline - nowMs + 1, 60000)) : 0;
    if (untilDeadline == 0) {
      recheckDue = true;
      waitMs = kRecheckReadMs;
    } else if (waitMs < 0 || untilDeadline < waitMs) {
      waitMs = untilDeadline;
    }
  }
  // The read goes into the backlog's room through an array over that storage (which the port
  // cannot reallocate), else into the reader's own buffer.
  size_t room = 0;
  uint8_t* const direct = prepareDirectRead(room);
  ZtByteArray* into = &m_readBuffer;
  if (direct) {
    // An empty array over storage it does not own, as ZtArray_constructFixed makes one.
    m_readWindow.data = direct;
    m_readWindow.size = 0;
    m_readWindow.reserved = room;
    m_readWindow.flags = ZTARRAY_FIXED | ZTARRAY_EMPTY;
    into = &m_readWindow;
  }
  const ZtResultValue result =
      m_link->readDataToBuffer(*into, waitMs, direct ? room : Communicator::kReadBlockSize);
  if (result == ZRV_OK) {
    const size_t got = into->size;
    if (direct && into->data == direct && got <= room)
      publishDirectRead(got);
    else
      handOver(into->data, got);
    // A small read: the next one waits a little, so the bytes of a fast stream gather meanwhile
    // (each read and hand-over then carries several messages); not while a request waits for its
    // reply, which would otherwise come a pause late at each exchange of a conversation (opening
    // a device runs hundreds). A repeat write due sooner ends the pause early; the wait that
    // follows lasts until it is due.
    if (got >= kSmallRead || m_link->awaitsReply()) return 0;
    if (!doGotoConfig()) return kSmallReadPauseMs;
    const auto untilRepeat =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_nextRepeat - Clock::now()).count();
    return static_cast<int>(std::clamp<int64_t>(untilRepeat, 0, kSmallReadPauseMs));
  }
  if (recheckDue) {
    m_recheckedDeadline = deadline;
    requestRecheck();
  }
  // Nothing arrived within the wait (or a wake-up): go round at once. A failing port is tried
  // again after 1 ms; a port that is gone has stopped this thread already.
  return result == ZRV_TIMEOUT ? 0 : 1;
}

void KtThread::handOver(const uint8_t* data, size_t size) {
  if (size == 0) return;
  uint64_t dropped = 0;
  bool episodeStarts = false;
  bool queue = false;
  {
    std::lock_guard<std::mutex> lock(m_backlogMutex);
    if (size > kParseBacklogLimit) {
      // Cannot come from one read; kept sound anyway: only the newest bytes fit.
      dropped += size - kParseBacklogLimit;
      data += size - kParseBacklogLimit;
      size = kParseBacklogLimit;
    }
    if (m_backlogSize + size > m_backlog.size()) growBacklogLocked(size);
    const size_t capacity = m_backlog.size();
    if (m_backlogSize + size > capacity) {
      // Full: the oldest unparsed bytes make room for the new ones.
      const size_t drop = m_backlogSize + size - capacity;
      m_backlogHead = (m_backlogHead + drop) % capacity;
      m_backlogSize -= drop;
      dropped += drop;
    }
    if (dropped) {
      m_droppedBytes.fetch_add(dropped, std::memory_order_relaxed);
      episodeStarts = !m_overflowing;
      m_overflowing = true;
    }
    const size_t tail = (m_backlogHead + m_backlogSize) % capacity;
    const size_t first = std::min(size, capacity - tail);
    std::memcpy(m_backlog.data() + tail, data, first);
    if (size > first) std::memcpy(m_backlog.data(), data + first, size - first);
    m_backlogSize += size;
    noteReadRoomLocked();
    queue = markParsePendingLocked();
  }
  // Queued outside the backlog lock, so the woken worker does not wait for it to take a chunk.
  if (queue) queueParseTask();
  if (episodeStarts) m_link->reportParseBacklogOverflow(dropped);
}

uint8_t* KtThread::prepareDirectRead(size_t& room) {
  // The room only grows while the reader does not hold the lock: it is looked at again (and the
  // ring grown or started over at the front) only when the room last seen is short of a read.
  if (m_readRoom < kParseChunk) {
    std::lock_guard<std::mutex> lock(m_backlogMutex);
    if (m_backlog.size() - m_backlogSize < kParseChunk) growBacklogLocked(kParseChunk);
    noteReadRoomLocked();
  }
  if (m_readRoom < kMinDirectRead) return nullptr;
  room = std::min(m_readRoom, kParseChunk);
  return m_backlog.data() + m_readAt;
}

void KtThread::publishDirectRead(size_t size) {
  if (size == 0) return;
  bool queue;
  {
    std::lock_guard<std::mutex> lock(m_backlogMutex);
    // The bytes sit at the backlog's end, which only this thread moves; the room they filled was
    // free when noted and the parse task has only added room since.
    m_backlogSize += size;
    noteReadRoomLocked();
    queue = markParsePendingLocked();
  }
  if (queue) queueParseTask();
}

void KtThread::growBacklogLocked(size_t size) {
  const size_t capacity = m_backlog.size();
  if (capacity >= kParseBacklogLimit) return;
  // Rarely: doubling up to the limit, the ring unrolled into the new storage.
  size_t grown = std::max(kBacklogStart, capacity * 2);
  while (grown < m_backlogSize + size && grown < kParseBacklogLimit) grown *= 2;
  grown = std::min(grown, kParseBacklogLimit);
  std::vector<uint8_t> bigger(grown);
  const size_t first = std::min(m_backlogSize, capacity - m_backlogHead);
  if (first) std::memcpy(bigger.data(), m_backlog.data() + m_backlogHead, first);
  if (m_backlogSize > first) std::memcpy(bigger.data() + first, m_backlog.data(), m_backlogSize - first);
  m_backlog.swap(bigger);
  m_backlogHead = 0;
}

void KtThread::noteReadRoomLocked() {
  const size_t capacity = m_backlog.size();
  if (m_backlogSize == 0) m_backlogHead = 0;
  m_readAt = capacity ? (m_backlogHead + m_backlogSize) % capacity : 0;
  m_readRoom = std::min(capacity - m_backlogSize, capacity - m_readAt);
}

bool KtThread::markParsePendingLocked() {
  const bool queue = !m_parsePending;
  m_parsePending = true;
  return queue;
}

void KtThread::requestRecheck() {
  bool queue = false;
  {
    std::lock_guard<std::mutex> lock(m_backlogMutex);
    m_recheck = true;
    queue = markParsePendingLocked();
  }
  if (queue) queueParseTask();
}

void KtThread::queueParseTask() {
  // Under m_queueMutex (then the pool's lock), so the id stored is always that of the newest
  // parse task: a task's follower is queued only after the id of the task itself is stored.
  std::lock_guard<std::mutex> lock(m_queueMutex);
  auto* task = new (m_taskSlots, std::size(m_taskSlots)) ParseMessageTask(this);
  const unsigned id = zelto::ThreadPool::instance()->addTask(task, m_lastTaskId.load(std::memory_order_relaxed));
  m_lastTaskId.store(id, std::memory_order_release);
}

bool KtThread::takeParseChunk(ZtByteArray& into) {
  // Room for a whole chunk is made before the lock is taken, so the copy under it does not
  // allocate once the storage has grown (should this fail, the append tries again).
  (void)ZtArray_reserve(ZTARRAY(&into), into.size + kParseChunk);
  size_t abandoned = 0;
  uint64_t droppedInAll = 0;
  bool episodeEnds = false;
  bool taken = false;
  {
    std::lock_guard<std::mutex> lock(m_backlogMutex);
    if (m_abandon && m_backlogSize) {
      abandoned = m_backlogSize;
      m_droppedBytes.fetch_add(abandoned, std::memory_order_relaxed);
      // Emptied from the start: the end, and the reader's room behind it, stay where they are.
      m_backlogHead = (m_backlogHead + m_backlogSize) % m_backlog.size();
      m_backlogSize = 0;
    }
    if (m_backlogSize == 0 && m_recheck) {
      // One pass without new bytes: the parser judges the awaited candidate against the clock.
      m_recheck = false;
      taken = true;
    } else if (m_backlogSize == 0) {
      m_parsePending = false;  // the task ends; the next bytes queue a new one
    } else {
      const size_t capacity = m_backlog.size();
      const size_t n = std::min(kParseChunk, m_backlogSize);
      const size_t first = std::min(n, capacity - m_backlogHead);
      // No memory: what could not be appended is lost and counted as dropped.
      if (appendWithinReserve(into, m_backlog.data() + m_backlogHead, first) != 0)
        m_droppedBytes.fetch_add(n, std::memory_order_relaxed);
      else if (n > first && appendWithinReserve(into, m_backlog.data(), n - first) != 0)
        m_droppedBytes.fetch_add(n - first, std::memory_order_relaxed);
      m_backlogHead = (m_backlogHead + n) % capacity;
      m_backlogSize -= n;
      taken = true;
    }
    // Caught up (everything left is in hand): a later overflow is a new episode.
    if (m_backlogSize == 0 && m_overflowing) {
      m_overflowing = false;
      episodeEnds = true;
      droppedInAll = m_droppedBytes.load(std::memory_order_relaxed);
    }
  }
  if (abandoned) m_link->reportParseBacklogAbandoned(abandoned);
  if (episodeEnds) m_link->reportParseBacklogCaughtUp(droppedInAll);
  return taken;
}

void KtThread::continueParsing() {
  {
    std::lock_guard<std::mutex> lock(m_backlogMutex);
    if (m_backlogSize == 0 && !m_recheck) {
      m_parsePending = false;
      return;
    }
  }
  // Still pending: the reader queues nothing meanwhile, the follower does the rest.
  queueParseTask();
}
