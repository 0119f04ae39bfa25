#include "transport/zbus/ProtocolHandler.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

constexpr uint8_t kPreamble = ZTMESSAGE_PREAMBLE;
constexpr uint8_t kExtendedLength = ZTMESSAGE_EXTENDED_LENGTH;

// Running byte sums of the searched bytes, modulo 256, computed on demand. A frame is
// checksum-correct when its bytes after the preamble sum to 0 mod 256 (the companion message
// type's rule), that is when sum[start + total] == sum[start + 1]. Each sum is computed once per
// search, which keeps a search linear even for a buffer full of plausible candidates.
//
// Only a window of sums is kept: every candidate that is judged ends at most 8192 bytes after the
// current scan position, so the ring never overwrites a sum that is still needed.
class RunningSums {
public:
  explicit RunningSums(const uint8_t* data) : m_data(data) { m_ring[0] = 0; }

  // Sum of bytes [0, k).
  uint8_t at(size_t k) {
    while (m_known < k) {
      const uint8_t next = static_cast<uint8_t>(m_ring[m_known & kMask] + m_data[m_known]);
      ++m_known;
      m_ring[m_known & kMask] = next;
    }
    return m_ring[k & kMask];
  }

private:
  static constexpr size_t kRing = 16384;  // power of two, above the largest frame
  static constexpr size_t kMask = kRing - 1;
  static_assert(kRing > ProtocolHandler::kMaximumMessageSize + 1);

  const uint8_t* m_data;
  size_t m_known = 0;  // sums [0, m_known] are valid (within the window)
  uint8_t m_ring[kRing];
};

}  // namespace

int expectedMessageSize(const uint8_t* bytes, int count) {
  if (!bytes || count < 4)
    return 5;
  if (bytes[3] != kExtendedLength)
    return bytes[3] + 5;
  if (count < 6)
    return 262;
  return ((bytes[4] << 8) | bytes[5]) + 7;
}

MessageLocation ProtocolHandler::findMessage(ZtMessage& message, const ZtByteArray& bytes) const {
  return findMessageIn(message, bytes.data, bytes.size);
}

MessageLocation ProtocolHandler::findMessageIn(ZtMessage& message, const uint8_t* data, size_t size) const {
  ZtMessage_clear(&message);
  if (!data || size == 0)
    return MessageLocation(-1, 0);
  // Offsets travel as signed 32-bit values; anything past that stays for a later search.
  const size_t n = std::min<size_t>(size, INT32_MAX);

  int32_t first = -1;  // start of the first live candidate
  RunningSums sums(data);

  size_t i = 0;
  while (i < n) {
    const void* hit = std::memchr(data + i, kPreamble, n - i);
    if (!hit)
      break;
    i = static_cast<const uint8_t*>(hit) - data;
    const int32_t at = static_cast<int32_t>(i);
    if (first < 0)
      first = at;
    const size_t rest = n - i;
    const uint8_t* frame = data + i;

    if (rest < 5) {
      // Too short to judge beyond the header; only the first candidate decides what is awaited.
      if (at == first)
        return MessageLocation(first, -expectedMessageSize(frame, static_cast<int>(rest)));
      ++i;
      continue;
    }

    size_t total;
    if (frame[3] == kExtendedLength) {
      // With both length bytes known (rest 6) an impossible total is dropped at once below rather
      // than reported as awaited: a reader that fetches the awaited bytes would otherwise pull up
      // to 64 KiB for a candidate that cannot be a message.
      if (rest == 5 || (rest == 6 && expectedMessageSize(frame, 6) <= kMaximumMessageSize)) {
        if (at == first)
          return MessageLocation(first, -expectedMessageSize(frame, static_cast<int>(rest)));
        ++i;
        continue;
      }
      total = ((static_cast<size_t>(frame[4]) << 8) | frame[5]) + 7;
    } else {
      // FA 00 00 is what idle or reset lines look like: never a message, but still the first start.
      if (frame[1] == 0 && frame[2] == 0) {
        ++i;
        continue;
      }
      total = static_cast<size_t>(frame[3]) + 5;
    }

    if (total > static_cast<size_t>(kMaximumMessageSize)) {
      first = -1;
      ++i;
      continue;
    }
    if (total > rest) {
      // A candidate still arriving (this includes an extended header without its checksum byte
      // yet). Every byte behind its start lies inside its span: a message found there now may be
      // a piece of its payload, such as a short frame carried as sensor data. Nothing behind it
      // is judged until it completes and fails, or its reader gives it up.
      return MessageLocation(first, -static_cast<int32_t>(total));
    }

    // The running sums apply the message type's checksum rule, so the loaded frame is not summed
    // a second time.
    if (sums.at(i + total) == sums.at(i + 1) && ZtMessage_load(&message, total, frame))
      return MessageLocation(at, static_cast<int32_t>(total));

    ZtMessage_clear(&message);
    if (at == first)
      first = -1;
    ++i;
  }
  return MessageLocation(first, 0);
}

int ProtocolHandler::composeMessage(ZtByteArray& bytes, const ZtMessage& message) {
  const size_t total = ZtMessage_getTotalMessageSize(&message);
  if (total < static_cast<size_t>(kMinimumMessageSize))
    return -1;
  if (ZtArray_assign(ZTARRAY(&bytes), total, ZtMessage_getMessageStart(&message)) != 0)
    return -1;
  return static_cast<int>(total);
}
