#include "transport/link/MessageList.h"

#include <utility>

MessageList::~MessageList() { release(); }

MessageList::MessageList(MessageList&& other) noexcept
    : m_slots(std::move(other.m_slots)), m_size(other.m_size) {
  other.m_slots.clear();
  other.m_size = 0;
}

MessageList& MessageList::operator=(MessageList&& other) noexcept {
  if (this != &other) {
    release();
    m_slots = std::move(other.m_slots);
    m_size = other.m_size;
    other.m_slots.clear();
    other.m_size = 0;
  }
  return *this;
}

void MessageList::append(const ZtMessage& message) {
  if (m_size == m_slots.size()) {
    ZtMessage slot;
    ZtMessage_constructCopy(&slot, &message);
    m_slots.push_back(slot);
  } else {
    ZtMessage_copy(&m_slots[m_size], &message);
  }
  ++m_size;
}

void MessageList::take(ZtMessage& message) {
  if (m_size == m_slots.size()) {
    ZtMessage slot;
    ZtMessage_construct(&slot);
    m_slots.push_back(slot);
  }
  ZtMessage_swap(&m_slots[m_size], &message);
  ++m_size;
}

void MessageList::release() {
  for (ZtMessage& m : m_slots) ZtMessage_destruct(&m);
  m_slots.clear();
  m_size = 0;
}
