#pragma once
// Cuts the messages out of a link's receive buffer, a byte stream that arrives in pieces of any
// size (a serial port ends reads anywhere inside a frame).
//
// The search (ProtocolManager) stops at the first candidate that still awaits bytes, so nothing
// inside the span of a frame that is still arriving is taken for a message. A candidate whose
// missing bytes never come (garbage whose length field claims more than will arrive) would hold
// the stream back for ever, so each awaited candidate gets a bound: twice the time its missing
// bytes need on the line (10 bits per byte: start, 8 data bits, stop) plus 50 ms, counted from the
// cut that first met it with that awaited total. When a later cut finds the same candidate past
// its bound, only its first byte is dropped and the search goes on behind it, so the frames inside
// its span are found. A link whose rate is unknown (USB) is timed as a 115200 baud line.
//
// The same bytes give the same messages however they are cut into pieces, as long as no bound
// passes in between; the log-file reader, whose bytes all exist or have ended, agrees with it.
//
// Not thread-safe: one cutter belongs to one link's parse tasks, which run one at a time.
#include <cstddef>
#include <cstdint>

#include "transport/link/MessageList.h"
#include "transport/zbus/ProtocolManager.h"
#include "zttypes/ztarray.h"
#include "zttypes/ztmessage.h"

class MessageCutter {
 public:
  static constexpr uint32_t kFallbackBitsPerSecond = 115200;
  static constexpr uint64_t kSlackMs = 50;
  // The bound for a candidate that misses `missing` bytes on a line of bitsPerSecond (0: unknown).
  static uint64_t giveUpBoundMs(size_t missing, uint32_t bitsPerSecond);

  // Where the bytes that may still begin a message start, after a search found nothing complete
  // and nothing awaited in data: every candidate with a full header was judged dead, so only a
  // 0xFA within the last header length (never at 0, so something is always dropped) can be live.
  static size_t liveTailStart(const uint8_t* data, size_t size);
  // Offset of the next 0xFA after position, or size.
  static size_t nextCandidate(const uint8_t* data, size_t size, size_t position);

  // The largest the buffer gets after a cut: twice the largest message.
  static constexpr size_t kBufferLimit = 2 * 8192;

  MessageCutter();
  ~MessageCutter();
  MessageCutter(const MessageCutter&) = delete;
  MessageCutter& operator=(const MessageCutter&) = delete;

  // nowMs for cut: read the steady clock (in ms) when an awaited candidate needs the time, at
  // most once per cut. A cut that finds only complete messages reads no clock.
  static constexpr uint64_t kReadClock = UINT64_MAX;

  // Searches buffer (new bytes already appended) and appends every message the manager finds to
  // output, in stream order; erases from the front of buffer what was consumed and what can no
  // longer begin a message. nowMs is a monotonic time in milliseconds, or kReadClock.
  void cut(ProtocolManager& manager, ZtByteArray& buffer, MessageList& output, uint64_t nowMs,
           uint32_t bitsPerSecond);
  // The buffer was emptied by its owner: forget the stream position and the awaited candidate.
  void reset();

  // The awaited candidate at the front of the buffer and its deadline (monotonic ms), if any.
  bool hasAwaitedCandidate() const { return m_pending; }
  uint64_t awaitedDeadlineMs() const { return m_pendingDeadline; }
  uint64_t awaitedBoundMs() const { return m_pendingBound; }
  // Candidates given up so far, and the bound of the last one.
  uint64_t giveUpCount() const { return m_giveUps; }
  uint64_t lastGiveUpBoundMs() const { return m_lastBound; }

 private:
  uint64_t m_front = 0;  // stream position of buffer[0]
  bool m_pending = false;
  uint64_t m_pendingPosition = 0;  // stream position of the awaited candidate
  size_t m_pendingTotal = 0;       // the total it awaits
  uint64_t m_pendingDeadline = 0;
  uint64_t m_pendingBound = 0;
  uint64_t m_giveUps = 0;
  uint64_t m_lastBound = 0;
  ZtMessage m_message;  // search output, reused
};
