#ifndef ZDA_TRANSPORT_MESSAGELOCATION_H
#define ZDA_TRANSPORT_MESSAGELOCATION_H

#include <cstdint>

// Result of a message search, packed in 64 bits: the low half is the signed start offset of the
// message or candidate in the searched bytes (-1: no candidate), the high half the signed size
// (positive: a complete, checksum-correct message of that total size starts there; negative: minus
// the total size the candidate still awaits; 0: nothing complete and nothing awaited).
class MessageLocation {
public:
  constexpr MessageLocation() noexcept : MessageLocation(-1, 0) {}
  constexpr MessageLocation(int32_t start, int32_t size) noexcept
      : m_value(static_cast<uint64_t>(static_cast<uint32_t>(start)) |
                (static_cast<uint64_t>(static_cast<uint32_t>(size)) << 32)) {}
  constexpr explicit MessageLocation(uint64_t raw) noexcept : m_value(raw) {}

  constexpr int32_t start() const noexcept { return static_cast<int32_t>(static_cast<uint32_t>(m_value)); }
  constexpr int32_t size() const noexcept { return static_cast<int32_t>(static_cast<uint32_t>(m_value >> 32)); }
  constexpr uint64_t raw() const noexcept { return m_value; }

  // A complete message starts at start().
  constexpr bool isComplete() const noexcept { return start() >= 0 && size() > 0; }
  // A candidate at start() needs -size() bytes in total.
  constexpr bool isAwaiting() const noexcept { return start() >= 0 && size() < 0; }

  friend constexpr bool operator==(MessageLocation a, MessageLocation b) noexcept { return a.m_value == b.m_value; }

private:
  uint64_t m_value;
};

static_assert(sizeof(MessageLocation) == 8, "MessageLocation is exchanged as one 64-bit value");

#endif
