#pragma once
// Cuts the messages out of a link's receive buffer, a byte stream that arrives in pieces of any
// size (a serial port ends reads anywhere inside a frame, and a writer may stall between them).
//
// The search (ProtocolManager) stops at the first candidate that still awaits bytes, so nothing
// inside the span of a frame that is still arriving is taken for a message. Such a candidate is
// kept, however slowly its bytes come, as long as it holds nothing up: while no message waits
// behind it. The bytes behind its start are its own as far as anyone can tell (a header cannot
// hold a message, and payload bytes are only payload) until a look through them finds a message
// the link accepts. Only then can the candidate be a false start (garbage whose length field
// claims bytes that are really other frames, or that never come), and only then is it judged by
// its bound: twice the time its whole awaited size needs on the line (10 bits per byte: start, 8
// data bits, stop) plus 50 ms, counted from the cut that first met it. A cut past that deadline
// drops only the candidate's first byte and searches on behind it, so the frames inside its span
// are found. A false start thus delays real frames by at most its bound, and not at all when
// they come after it has been waiting that long (noise before a silence, then replies). A real
// frame is given up only when it carries a message in its payload and comes slower than its
// bound. A link whose rate is unknown (USB) is timed as a 115200 baud line.
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
  // The bound for a candidate of `bytes` bytes in all on a line of bitsPerSecond (0: unknown).
  static uint64_t giveUpBoundMs(size_t bytes, uint32_t bitsPerSecond);

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

  // A candidate at the front of the buffer awaits bytes.
  bool hasAwaitedCandidate() const { return m_pending; }
  // A message waits behind that candidate: it is judged by its bound.
  bool holdsMessagesBack() const { return m_pending && m_holding; }
  // The deadline (monotonic ms) and bound of a candidate that holds messages back; 0 otherwise.
  uint64_t awaitedDeadlineMs() const { return holdsMessagesBack() ? m_pendingDeadline : 0; }
  uint64_t awaitedBoundMs() const { return holdsMessagesBack() ? m_pendingBound : 0; }
  // Candidates given up so far, and the bound of the last one.
  uint64_t giveUpCount() const { return m_giveUps; }
  uint64_t lastGiveUpBoundMs() const { return m_lastBound; }

 private:
  // Whether a message the link accepts lies in data[at + 1, size), behind the awaited candidate
  // at `at`: complete messages are looked for past every candidate that awaits bytes there too.
  // What a look has judged stays judged (a dead candidate stays dead, whatever comes), so the
  // next look for the same candidate starts at m_lookFrom.
  bool messageBehind(ProtocolManager& manager, const uint8_t* data, size_t size, size_t at);

  uint64_t m_front = 0;  // stream position of buffer[0]
  bool m_pending = false;
  uint64_t m_pendingPosition = 0;  // stream position of the awaited candidate
  uint64_t m_metAt = 0;            // the cut that first met it (ms)
  size_t m_pendingTotal = 0;       // the total it awaits (once it holds messages back)
  bool m_holding = false;          // a message waits behind it
  uint64_t m_pendingDeadline = 0;
  uint64_t m_pendingBound = 0;
  uint64_t m_lookFrom = 0;  // stream position where the next look behind it starts
  uint64_t m_giveUps = 0;
  uint64_t m_lastBound = 0;
  ZtMessage m_message;  // search output, reused
};
