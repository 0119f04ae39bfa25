// Fuzzes the protocol manager's search with the Zbus handler: whatever the bytes, the result must
// describe them consistently, and a link's parse loop over them must terminate.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "transport/zbus/IMessageValidator.h"
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
  static AcceptAll link;
  static ProtocolManager manager(link);
  if (!manager.hasProtocol(ZPT_Zbus))
    manager.add(new ProtocolHandler);

  ZtMessage msg;
  ZtMessage_construct(&msg);

  // One search through the array form.
  ZtByteArray array;
  ZtByteArray_construct(&array, size, data);
  const MessageLocation whole = manager.findMessage(msg, array);
  ZtByteArray_destruct(&array);
  check(whole.start() >= -1 && whole.start() < static_cast<int64_t>(size) + (size == 0));
  if (whole.size() > 0) {
    check(static_cast<size_t>(whole.start()) + whole.size() <= size);
    check(ZtMessage_getTotalMessageSize(&msg) == static_cast<size_t>(whole.size()));
    check(std::memcmp(ZtMessage_getMessageStart(&msg), data + whole.start(), whole.size()) == 0);
    check(ZtMessage_isChecksumOk(&msg));
  } else {
    check(ZtMessage_empty(&msg));
    check(whole.size() >= -ProtocolHandler::kMaximumMessageSize);
    // An awaited size always comes with the start of the bytes to keep.
    check(whole.size() == 0 || (whole.start() >= 0 && static_cast<size_t>(whole.start()) < size));
  }

  // The parse loop of a link over the same bytes in pieces: every step makes progress.
  size_t offset = 0;
  while (offset < size) {
    const MessageLocation loc = manager.findMessage(msg, data + offset, size - offset);
    if (loc.size() <= 0)
      break;
    check(loc.start() >= 0 && loc.size() >= ProtocolHandler::kMinimumMessageSize);
    offset += loc.start() + loc.size();
    check(offset <= size);
  }

  ZtMessage_destruct(&msg);
  return 0;
}
