#ifndef ZDA_TRANSPORT_PROTOCOLHANDLER_H
#define ZDA_TRANSPORT_PROTOCOLHANDLER_H

#include <cstddef>
#include <cstdint>

#include "transport/zbus/IProtocolHandler.h"

// The Zbus finder: FA <bus id> <message id> <len> [<ext len hi> <ext len lo>] <payload> <checksum>,
// totals from 5 to 8192 bytes. Stateless; one object may serve any number of threads.
class ProtocolHandler : public virtual IProtocolHandler {
public:
  static constexpr int kMinimumMessageSize = 5;
  static constexpr int kMaximumMessageSize = 8192;

  MessageLocation findMessage(ZtMessage& message, const ZtByteArray& bytes) const override;
  // One pass over the bytes that stops at the first complete, checksum-correct message, or at the
  // first candidate that still awaits bytes (its start and minus its total): what lies behind an
  // awaited start is inside its span and is judged only once that candidate has failed or been
  // given up. Linear in size whatever the content: candidates are located with memchr and their
  // checksums judged from running sums, so only the message that is returned gets copied.
  MessageLocation findMessageIn(ZtMessage& message, const uint8_t* data, size_t size) const override;

  int minimumMessageSize() const override { return kMinimumMessageSize; }
  int maximumMessageSize() const override { return kMaximumMessageSize; }
  ZtProtocolType type() const override { return ZPT_Zbus; }

  // Replaces bytes with the raw frame of message (preamble to checksum) and returns its size; -1,
  // with bytes unchanged, when the message is shorter than a frame (or the copy cannot be made).
  static int composeMessage(ZtByteArray& bytes, const ZtMessage& message);
};

// The total size a frame will have, judged from its first count bytes (the header is enough).
int expectedMessageSize(const uint8_t* bytes, int count);

#endif
