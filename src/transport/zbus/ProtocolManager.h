#ifndef ZDA_TRANSPORT_PROTOCOLMANAGER_H
#define ZDA_TRANSPORT_PROTOCOLMANAGER_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <vector>

#include "foundation/NonIntrusiveSharedPointer.h"
#include "transport/zbus/IMessageValidator.h"
#include "transport/zbus/IProtocolHandler.h"
#include "transport/zbus/MessageLocation.h"

// The ordered list of framing protocols of one link. Every search asks each handler and keeps the
// earliest result: a complete message that the link accepts, or a candidate that still awaits bytes
// and so holds back everything behind it. A complete message the link refuses costs only its first
// byte: the search goes on behind it, so frames inside its span are still found. The handler that
// found the message moves to the front so the protocol the stream speaks is tried first next time.
//
// Not thread-safe: a link's parse tasks run one after another and are the only users (besides the
// log-file reader of a link without a port). The search reorders the list.
class ProtocolManager {
public:
  using HandlerPointer = zelto::NonIntrusiveSharedPointer<IProtocolHandler>;
  using HandlerList = std::list<HandlerPointer>;
  using const_iterator = HandlerList::const_iterator;

  // Starts with no handler. The link outlives the manager (it owns it).
  explicit ProtocolManager(const IMessageValidator& link);
  virtual ~ProtocolManager();

  ProtocolManager(const ProtocolManager&) = delete;
  ProtocolManager& operator=(const ProtocolManager&) = delete;

  // Arbitration over all handlers; the output holds the winning message when the returned size is
  // positive and is empty otherwise.
  virtual MessageLocation findMessage(ZtMessage& message, const ZtByteArray& bytes);
  MessageLocation findMessage(ZtMessage& message, const uint8_t* data, size_t size);
  // The same search as a look ahead, for bytes that are not to be taken yet: refusals are neither
  // counted nor journalled (the search that takes the bytes later does that once) and the handler
  // order stays as it is.
  MessageLocation lookForMessage(ZtMessage& message, const uint8_t* data, size_t size);

  // Takes ownership of handler and appends it; returns the pointer now in the list. When a handler
  // of the same type is already there, that one is returned and handler stays the caller's. A null
  // handler changes nothing and gives an empty pointer.
  virtual HandlerPointer add(IProtocolHandler* handler);
  // Removes every handler of that type; true when one was removed.
  virtual bool remove(ZtProtocolType type);
  virtual bool hasProtocol(ZtProtocolType type) const;
  virtual void clear();
  // The link's acceptance test for a found message.
  virtual bool validateMessage(const ZtMessage& message) const;

  const_iterator begin() const { return m_handlers.begin(); }
  const_iterator end() const { return m_handlers.end(); }
  size_t size() const { return m_handlers.size(); }

  // minimumMessageSize of the front handler, 0 without handlers.
  int likelyMinimumMessageSize() const;

  // Checksum-correct candidates refused by the link's acceptance test since construction.
  uint64_t refusedCount() const { return m_refused; }

private:
  // The arbitration; a look neither counts refusals nor reorders the handlers.
  MessageLocation search(ZtMessage& message, const uint8_t* data, size_t size, bool look);
  // One handler's search that passes over refused messages: a complete message the link refuses
  // gives up only its first byte and the handler searches again behind it. Into m_scratch.
  MessageLocation searchAccepted(const IProtocolHandler& handler, const uint8_t* data, size_t size, bool look);

  const IMessageValidator& m_link;
  HandlerList m_handlers;  // front first; at most one handler per protocol type
  // The handlers of m_handlers in the same order, as plain pointers: what a search walks.
  std::vector<IProtocolHandler*> m_order;
  // Handlers search into this message; it is swapped (not copied) into the output when it wins, so
  // a search reuses the storage of earlier ones and allocates only when a bigger frame comes.
  ZtMessage m_scratch;
  uint64_t m_refused = 0;
};

#endif
