#include "transport/zbus/ProtocolManager.h"

#include <algorithm>
#include <iterator>

#include "foundation/JournalMacros.h"

namespace {

// Refusals are journalled one by one at first, then at every power of ten: a stream full of
// refused candidates must not flood the journal.
bool journalThisCount(uint64_t count) {
  if (count <= 10)
    return true;
  while (count % 10 == 0)
    count /= 10;
  return count == 1;
}

}  // namespace

ProtocolManager::ProtocolManager(const IMessageValidator& link) : m_link(link) {
  ZtMessage_construct(&m_scratch);
}

ProtocolManager::~ProtocolManager() {
  ZtMessage_destruct(&m_scratch);
}

MessageLocation ProtocolManager::findMessage(ZtMessage& message, const ZtByteArray& bytes) {
  return findMessage(message, bytes.data, bytes.size);
}

MessageLocation ProtocolManager::findMessage(ZtMessage& message, const uint8_t* data, size_t size) {
  return search(message, data, size, false);
}

MessageLocation ProtocolManager::lookForMessage(ZtMessage& message, const uint8_t* data, size_t size) {
  return search(message, data, size, true);
}

MessageLocation ProtocolManager::search(ZtMessage& message, const uint8_t* data, size_t size, bool look) {
  ZtMessage_clear(&message);
  MessageLocation best;
  size_t winner = m_order.size();

  for (size_t k = 0; k < m_order.size(); ++k) {
    const MessageLocation found = searchAccepted(*m_order[k], data, size, look);
    if (found.start() < 0 || found.size() == 0)
      continue;
    // The earliest start wins, complete or awaited: the link keeps the bytes from the returned
    // start on, so a later start would throw away the head of an earlier candidate (such as a
    // frame still arriving whose bytes look like another protocol's record). At equal starts a
    // complete message beats an awaited one, and of two complete ones the handler nearer the front
    // wins.
    const bool bestStands = best.start() >= 0 && (best.start() < found.start() ||
                                                  (best.start() == found.start() && best.size() > 0));
    if (found.size() > 0) {
      if (!bestStands) {
        best = found;
        ZtMessage_swap(&message, &m_scratch);
        winner = k;
      }
      if (best.isComplete() && best.start() == 0)
        break;  // nothing can start earlier
    } else if (!bestStands) {
      best = found;
    }
  }

  if (!look && winner != 0 && winner < m_order.size()) {
    std::rotate(m_order.begin(), m_order.begin() + static_cast<std::ptrdiff_t>(winner),
                m_order.begin() + static_cast<std::ptrdiff_t>(winner) + 1);
    m_handlers.splice(m_handlers.begin(), m_handlers, std::next(m_handlers.begin(), static_cast<std::ptrdiff_t>(winner)));
  }
  if (best.size() <= 0)
    ZtMessage_clear(&message);
  return best;
}

MessageLocation ProtocolManager::searchAccepted(const IProtocolHandler& handler, const uint8_t* data, size_t size,
                                                bool look) {
  size_t from = 0;
  for (;;) {
    const MessageLocation found = handler.findMessageIn(m_scratch, data + from, size - from);
    if (found.start() < 0)
      return found;
    const size_t at = from + static_cast<size_t>(found.start());
    if (found.size() <= 0 || validateMessage(m_scratch))
      return MessageLocation(static_cast<int32_t>(at), found.size());
    // A checksum-correct candidate the link refuses is no message, and frames may lie inside its
    // span: only its first byte is dropped.
    if (!look && journalThisCount(++m_refused))
      JLOG_ALERT("refused message id 0x" << std::hex << int(ZtMessage_getMessageId(&m_scratch)) << " from bus id 0x"
                                         << int(ZtMessage_getBusId(&m_scratch)) << std::dec << " (" << m_refused
                                         << " refused so far)");
    ZtMessage_clear(&m_scratch);
    from = at + 1;
    if (from >= size)
      return MessageLocation(-1, 0);
  }
}

ProtocolManager::HandlerPointer ProtocolManager::add(IProtocolHandler* handler) {
  if (!handler)
    return HandlerPointer();
  const ZtProtocolType type = handler->type();
  for (const HandlerPointer& existing : m_handlers)
    if (existing->type() == type)
      return existing;
  // Owned from here on: should the list node or the search slot not be allocated, the pointer
  // deletes the handler.
  HandlerPointer owned(handler);
  m_handlers.push_back(owned);
  try {
    m_order.push_back(handler);
  } catch (...) {
    m_handlers.pop_back();
    throw;
  }
  return owned;
}

bool ProtocolManager::remove(ZtProtocolType type) {
  const size_t before = m_handlers.size();
  m_order.erase(std::remove_if(m_order.begin(), m_order.end(),
                               [type](const IProtocolHandler* handler) { return handler->type() == type; }),
                m_order.end());
  m_handlers.remove_if([type](const HandlerPointer& handler) { return handler->type() == type; });
  return m_handlers.size() != before;
}

bool ProtocolManager::hasProtocol(ZtProtocolType type) const {
  for (const HandlerPointer& handler : m_handlers)
    if (handler->type() == type)
      return true;
  return false;
}

void ProtocolManager::clear() {
  m_order.clear();
  m_handlers.clear();
}

bool ProtocolManager::validateMessage(const ZtMessage& message) const {
  return m_link.sanityCheck(message);
}

int ProtocolManager::likelyMinimumMessageSize() const {
  return m_order.empty() ? 0 : m_order.front()->minimumMessageSize();
}
