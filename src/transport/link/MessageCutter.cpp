#include "transport/link/MessageCutter.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "foundation/JournalMacros.h"

namespace {

// Longest Zbus header (extended form): a candidate this close to the end may still be live.
constexpr size_t kLongestHeader = 6;
constexpr uint64_t kBitsPerByte = 10;

// Give-ups are journalled one by one at first, then at every power of ten.
bool journalThisCount(uint64_t count) {
  if (count <= 10) return true;
  while (count % 10 == 0) count /= 10;
  return count == 1;
}

}  // namespace

uint64_t MessageCutter::giveUpBoundMs(size_t bytes, uint32_t bitsPerSecond) {
  const uint64_t rate = bitsPerSecond > 0 ? bitsPerSecond : kFallbackBitsPerSecond;
  // Rounded up: a bound never falls short of the transfer time.
  const uint64_t transferMs = (static_cast<uint64_t>(bytes) * kBitsPerByte * 1000 + rate - 1) / rate;
  return 2 * transferMs + kSlackMs;
}

size_t MessageCutter::liveTailStart(const uint8_t* data, size_t size) {
  const size_t from = size > kLongestHeader ? size - kLongestHeader : 1;
  for (size_t i = std::max<size_t>(from, 1); i < size; ++i)
    if (data[i] == ZTMESSAGE_PREAMBLE) return i;
  return size;
}

size_t MessageCutter::nextCandidate(const uint8_t* data, size_t size, size_t position) {
  if (position + 1 >= size) return size;
  const void* p = std::memchr(data + position + 1, ZTMESSAGE_PREAMBLE, size - position - 1);
  return p ? static_cast<size_t>(static_cast<const uint8_t*>(p) - data) : size;
}

MessageCutter::MessageCutter() { ZtMessage_construct(&m_message); }

MessageCutter::~MessageCutter() { ZtMessage_destruct(&m_message); }

void MessageCutter::reset() {
  m_front = 0;
  m_pending = false;
  m_holding = false;
}

bool MessageCutter::messageBehind(ProtocolManager& manager, const uint8_t* data, size_t size, size_t at) {
  const size_t first = static_cast<size_t>(std::max<uint64_t>(m_lookFrom, m_front + at + 1) - m_front);
  size_t from = first;
  size_t resume = size;  // the first candidate behind that awaits bytes
  while (from < size) {
    const MessageLocation found = manager.lookForMessage(m_message, data + from, size - from);
    if (found.isComplete()) return true;
    if (!found.isAwaiting()) {
      // Nothing from here on can become a message but a candidate too short for its header to
      // be judged, which a finder passes over when it is not the first.
      resume = std::min(resume, std::max(from, size > kLongestHeader ? size - kLongestHeader : 0));
      break;
    }
    const size_t next = from + static_cast<size_t>(found.start());
    resume = std::min(resume, next);
    from = next + 1;
  }
  m_lookFrom = m_front + std::max(resume, first);
  return false;
}

void MessageCutter::cut(ProtocolManager& manager, ZtByteArray& buffer, MessageList& output, uint64_t nowMs,
                        uint32_t bitsPerSecond) {
  const uint8_t* data = buffer.data;
  const size_t size = buffer.size;
  const auto now = [&nowMs] {
    if (nowMs == kReadClock)
      nowMs = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
    return nowMs;
  };
  size_t offset = 0;
  bool awaiting = false;
  while (offset < size) {
    const MessageLocation found = manager.findMessage(m_message, data + offset, size - offset);
    if (found.isComplete()) {
      output.take(m_message);  // m_message keeps the slot's storage for the next find
      offset += static_cast<size_t>(found.start()) + static_cast<size_t>(found.size());
      continue;
    }
    if (!found.isAwaiting()) {
      offset += liveTailStart(data + offset, size - offset);
      break;
    }
    const size_t at = offset + static_cast<size_t>(found.start());
    const size_t total = static_cast<size_t>(-static_cast<int64_t>(found.size()));
    const uint64_t position = m_front + at;
    if (!m_pending || m_pendingPosition != position) {
      m_pending = true;
      m_pendingPosition = position;
      m_metAt = now();
      m_holding = false;
      m_lookFrom = position + 1;
    }
    if (!m_holding) {
      // Holding nothing up, it waits for its bytes however long they take.
      if (!messageBehind(manager, data, size, at)) {
        offset = at;
        awaiting = true;
        break;
      }
      m_holding = true;
      m_pendingTotal = 0;
    }
    if (m_pendingTotal != total) {
      // Measured on the whole size it awaits. A header that completes changes that, and a record
      // whose size no header gives awaits a byte more than it holds and is measured on that.
      m_pendingTotal = total;
      m_pendingBound = giveUpBoundMs(total, bitsPerSecond);
      m_pendingDeadline = m_metAt + m_pendingBound;
    }
    if (now() < m_pendingDeadline) {
      offset = at;
      awaiting = true;
      break;
    }
    // Its bytes did not come within its bound and messages wait behind it: not a message.
    // Search again behind its first byte.
    ++m_giveUps;
    m_lastBound = m_pendingBound;
    m_pending = false;
    if (journalThisCount(m_giveUps))
      JLOG_ALERT("gave up a candidate at stream byte " << position << " awaiting " << total << " bytes with "
                                                       << (size - at) << " received, after its bound of "
                                                       << m_pendingBound << " ms (" << m_giveUps
                                                       << " given up so far)");
    offset = at + 1;
  }
  if (!awaiting) m_pending = false;
  // A safety net: a cut leaves at most one awaited candidate (at most the largest message) or a
  // header tail, but should a handler await more than it may, candidates go from the front.
  while (size - offset > kBufferLimit) {
    offset = nextCandidate(data, size, offset);
    m_pending = false;
  }
  ZtByteArray_eraseFront(&buffer, offset);
  m_front += offset;
}
