#pragma once
// An owning, reusable list of messages. clear() keeps the storage of every slot, so a list that
// is filled again and again (the parse output of a link) allocates only when it meets more or
// bigger messages than before.
#include <cstddef>
#include <vector>

#include "zttypes/ztmessage.h"

class MessageList {
 public:
  MessageList() = default;
  ~MessageList();
  MessageList(const MessageList&) = delete;
  MessageList& operator=(const MessageList&) = delete;
  MessageList(MessageList&& other) noexcept;
  MessageList& operator=(MessageList&& other) noexcept;

  size_t size() const { return m_size; }
  bool empty() const { return m_size == 0; }
  ZtMessage& operator[](size_t i) { return m_slots[i]; }
  const ZtMessage& operator[](size_t i) const { return m_slots[i]; }

  // Appends a copy of message.
  void append(const ZtMessage& message);
  // Appends message without copying its bytes: it trades storage with a free slot, so message
  // is left holding that slot's earlier bytes (a stale frame or nothing) for the caller to reuse.
  void take(ZtMessage& message);
  // Empties the list (slots keep their storage).
  void clear() { m_size = 0; }

 private:
  void release();

  // ZtMessage is a plain C record whose bytes can be relocated, so the vector may move slots.
  std::vector<ZtMessage> m_slots;  // [0, m_size) in use, every slot constructed
  size_t m_size = 0;
};
