// Fuzzes the NMEA protocol handler alone and behind the Zbus handler in a protocol manager: the
// result must describe the input consistently and a link's parse loop over it must terminate.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "transport/zbus/IMessageValidator.h"
#include "transport/nmea/NmeaProtocolHandler.h"
#include "transport/zbus/ProtocolHandler.h"
#include "transport/zbus/ProtocolManager.h"

namespace {

struct AcceptAll : IMessageValidator {
  bool sanityCheck(const ZtMessage&) const override { return true; }
};

void check(bool condition) {
  if (!condition)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static nmea::ProtocolHandler handler;
  static AcceptAll link;
  static ProtocolManager manager(link);
  if (manager.size() == 0) {
    manager.add(new ProtocolHandler);
    manager.add(new nmea::ProtocolHandler);
  }

  ZtMessage msg;
  ZtMessage_construct(&msg);

  const MessageLocation loc = handler.findMessageIn(msg, data, size);
  if (loc.start() < 0) {
    check(loc.size() == 0);
  } else {
    const size_t rest = size - static_cast<size_t>(loc.start());
    check(static_cast<size_t>(loc.start()) < size);
    if (loc.size() > 0) {
      check(static_cast<size_t>(loc.size()) <= rest);
      check(ZtMessage_getMessageId(&msg) == 0x36 && ZtMessage_getBusId(&msg) == 0xFF);
      check(ZtMessage_isChecksumOk(&msg));
    } else {
      check(loc.size() < 0 && static_cast<size_t>(-loc.size()) > rest);
    }
  }

  // A link's loop through the manager, in two reads split in the middle.
  ZtByteArray buffer;
  ZtByteArray_construct(&buffer, 0, nullptr);
  for (size_t part = 0; part < 2; ++part) {
    const size_t from = part == 0 ? 0 : size / 2;
    const size_t to = part == 0 ? size / 2 : size;
    ZtByteArray_append(&buffer, to - from, data + from);
    size_t offset = 0;
    for (;;) {
      const MessageLocation m = manager.findMessage(msg, buffer.data + offset, buffer.size - offset);
      if (m.size() > 0) {
        check(m.start() >= 0 && offset + m.start() + m.size() <= buffer.size);
        offset += m.start() + m.size();
        continue;
      }
      offset = m.start() < 0 ? buffer.size : offset + m.start();
      break;
    }
    ZtByteArray_eraseFront(&buffer, offset);
  }
  ZtByteArray_destruct(&buffer);
  ZtMessage_destruct(&msg);
  return 0;
}
