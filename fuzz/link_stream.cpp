// Differential fuzzing of a link's parsing (the message cutter behind processBufferedData, with the
// Zbus handler and a link that accepts bus ids 0xFF and 0 to 3).
//
// Even first byte: the rest describes a stream with a known answer (intact frames with carried
// short frames, refused frames, frames cut short, lone long headers between them); every intact
// frame must come out once and in order, and nothing else, for the whole stream and for reads of
// 1 byte, up to 16 and up to 700 bytes.
// Odd first byte: the rest is the stream itself; the messages that come out must be the same
// however it is cut, each checksum-correct, accepted, and found at increasing places in the stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/ZbusStreamScenario.h"
#include "transport/link/MessageCutter.h"
#include "transport/link/MessageList.h"
#include "transport/zbus/IMessageValidator.h"
#include "transport/zbus/ProtocolHandler.h"
#include "transport/zbus/ProtocolManager.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint16_t kDeviceCount = 3;

struct Link : IMessageValidator {
  bool sanityCheck(const ZtMessage& message) const override {
    const uint8_t busId = ZtMessage_getBusId(&message);
    return busId == 0xFF || busId <= kDeviceCount;
  }
};

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

Bytes bytesOf(const ZtMessage& m) {
  const uint8_t* p = ZtMessage_getMessageStart(&m);
  return Bytes(p, p + ZtMessage_getTotalMessageSize(&m));
}

// Feeds the stream in reads of the given sizes at one instant, then ends it: time passes until
// no candidate holds a message back (one with nothing behind it stays, awaiting its bytes).
// Returns the raw bytes of every message, in order.
std::vector<Bytes> run(ProtocolManager& manager, const Bytes& stream, const std::vector<size_t>& sizes) {
  MessageCutter cutter;
  ZtByteArray buffer;
  ZtByteArray_construct(&buffer, 0, nullptr);
  MessageList out;
  std::vector<Bytes> messages;
  auto collect = [&] {
    for (size_t i = 0; i < out.size(); ++i) messages.push_back(bytesOf(out[i]));
    out.clear();
  };
  constexpr uint64_t kT0 = 1000000, kHour = 3600000;
  size_t pos = 0;
  for (size_t n : sizes) {
    ZtByteArray_append(&buffer, n, stream.data() + pos);
    pos += n;
    cutter.cut(manager, buffer, out, kT0, 115200);
    check(buffer.size <= MessageCutter::kBufferLimit, "receive buffer bound");
    collect();
  }
  uint64_t now = kT0;
  for (size_t i = 0; i <= stream.size() && cutter.holdsMessagesBack(); ++i) {
    now += kHour;
    cutter.cut(manager, buffer, out, now, 115200);
    collect();
  }
  check(!cutter.holdsMessagesBack(), "the end of the stream gives up every candidate that holds messages back");
  check(buffer.size <= ProtocolHandler::kMaximumMessageSize, "what stays is at most one candidate");
  ZtByteArray_destruct(&buffer);
  return messages;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static Link link;
  static ProtocolManager manager(link);
  if (!manager.hasProtocol(ZPT_Zbus)) manager.add(new ProtocolHandler);
  zelto::test::RandomChoices cuts(static_cast<uint32_t>(size * 2654435761u) ^ data[size - 1]);

  if (data[0] % 2 == 0) {
    zelto::test::ByteChoices choices(data + 1, size - 1);
    const zelto::test::ZbusStreamScenario scenario = zelto::test::ZbusStreamScenario::generate(choices, 64, kDeviceCount);
    std::vector<Bytes> want;
    for (const zelto::test::EmuFrame& f : scenario.frames) want.push_back(f.encode());
    for (int mode = 0; mode < 4; ++mode) {
      if (mode == 1 && scenario.stream.size() > 4096) continue;
      const std::vector<Bytes> got =
          run(manager, scenario.stream, zelto::test::ZbusStreamScenario::chunking(cuts, scenario.stream.size(), mode));
      check(got == want, "every intact frame once, in order, nothing else");
    }
    return 0;
  }

  const Bytes stream(data + 1, data + size);
  const std::vector<Bytes> whole = run(manager, stream, {stream.size()});
  for (int mode = 1; mode < 4; ++mode) {
    if (mode == 1 && stream.size() > 4096) continue;
    check(run(manager, stream, zelto::test::ZbusStreamScenario::chunking(cuts, stream.size(), mode)) == whole,
          "the same messages however the stream is cut");
  }
  size_t from = 0;
  for (const Bytes& m : whole) {
    ZtMessage msg;
    ZtMessage_construct(&msg);
    check(ZtMessage_load(&msg, m.size(), m.data()) && ZtMessage_isChecksumOk(&msg), "checksum-correct");
    check(link.sanityCheck(msg), "accepted");
    ZtMessage_destruct(&msg);
    const auto at = std::search(stream.begin() + static_cast<std::ptrdiff_t>(from), stream.end(), m.begin(), m.end());
    check(at != stream.end(), "found in the stream in order");
    from = static_cast<size_t>(at - stream.begin()) + 1;
  }
  return 0;
}
