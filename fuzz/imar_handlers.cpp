// Fuzzes the outside units' frame handlers: the result must describe the input consistently
// (a found frame lies inside it, starts with the sync pair and carries a checksum-correct data
// message; an awaited one needs more bytes than are left) and a link's parse loop must end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "transport/imar/FsasProtocolHandler.h"
#include "transport/imar/IFogProtocolHandler.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void run(const IProtocolHandler& handler, const uint8_t* data, size_t size) {
  ZtMessage msg;
  ZtMessage_construct(&msg);
  const MessageLocation loc = handler.findMessageIn(msg, data, size);
  if (loc.start() < 0) {
    check(loc.size() == 0);
  } else {
    const size_t rest = size - static_cast<size_t>(loc.start());
    check(static_cast<size_t>(loc.start()) < size && data[loc.start()] == 0x7E);
    if (loc.size() > 0) {
      check(loc.size() == handler.maximumMessageSize() && static_cast<size_t>(loc.size()) <= rest);
      check(data[loc.start() + 1] == 0x7E);
      check(ZtMessage_getMessageId(&msg) == 0x36 && ZtMessage_getBusId(&msg) == 0xFF);
      check(ZtMessage_isChecksumOk(&msg));
    } else {
      check(loc.size() < 0 && static_cast<size_t>(-loc.size()) > rest);
    }
  }
  // The link's loop over the whole input.
  size_t offset = 0;
  for (;;) {
    const MessageLocation m = handler.findMessageIn(msg, data + offset, size - offset);
    if (m.size() > 0) {
      check(offset + static_cast<size_t>(m.start() + m.size()) <= size);
      offset += static_cast<size_t>(m.start() + m.size());
      continue;
    }
    break;
  }
  ZtMessage_destruct(&msg);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static imar::FsasProtocolHandler fsas;
  static imar::IFogProtocolHandler ifog;
  run(fsas, data, size);
  run(ifog, data, size);
  return 0;
}
