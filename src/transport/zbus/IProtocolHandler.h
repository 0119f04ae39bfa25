#ifndef ZDA_TRANSPORT_IPROTOCOLHANDLER_H
#define ZDA_TRANSPORT_IPROTOCOLHANDLER_H

#include <cstddef>
#include <cstdint>

#include "transport/zbus/MessageLocation.h"
#include "transport/zbus/ZtProtocolType.h"
#include "zttypes/ztarray.h"
#include "zttypes/ztmessage.h"

// The message finder of one stream kind. A handler cuts at most one message per call out of the
// bytes it is given and reports where it is (or what it still waits for) as a MessageLocation.
// Handlers are owned by a ProtocolManager and called from one parse thread at a time.
class IProtocolHandler {
public:
  virtual ~IProtocolHandler();

  // Searches bytes; on a complete message the output holds it. Implementations empty the output
  // first, so it is meaningful only when the returned size is positive.
  virtual MessageLocation findMessage(ZtMessage& message, const ZtByteArray& bytes) const = 0;

  // The same search over caller memory. The default wraps the memory in a non-owning array view
  // (no copy) and calls the array form; handlers that search raw memory override this one and
  // forward the array form to it.
  virtual MessageLocation findMessageIn(ZtMessage& message, const uint8_t* data, size_t size) const;

  virtual int minimumMessageSize() const = 0;
  virtual int maximumMessageSize() const = 0;
  virtual ZtProtocolType type() const = 0;

  // A ZtByteArray that points at caller memory without owning or copying it. Valid while the
  // memory is; must not be grown or destructed.
  static ZtByteArray byteArrayView(const uint8_t* data, size_t size) noexcept;
};

#endif
