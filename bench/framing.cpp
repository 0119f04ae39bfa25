// Zbus finder throughput: a link's parse loop over a stream read in 8192-byte blocks.
// Reference rates: a 4 Mbaud serial line carries about 400 kB/s, USB full speed about 1.2 MB/s.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "transport/zbus/IMessageValidator.h"
#include "transport/nmea/NmeaProtocolHandler.h"
#include "transport/zbus/ProtocolHandler.h"
#include "transport/zbus/ProtocolManager.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kBlock = 8192;
constexpr size_t kStream = 4 << 20;

Bytes frame(std::mt19937& rng, size_t payload) {
  ZtMessage m;
  ZtMessage_constructSized(&m, payload);
  ZtMessage_setMessageId(&m, 0x36);
  Bytes data(payload);
  for (auto& b : data)
    b = static_cast<uint8_t>(rng());
  if (payload)
    ZtMessage_setDataBuffer(&m, data.data(), payload, 0);
  const uint8_t* p = ZtMessage_getMessageStart(&m);
  Bytes out(p, p + ZtMessage_getTotalMessageSize(&m));
  ZtMessage_destruct(&m);
  return out;
}

// 40-200-byte data messages; garbageShare of the bytes is random garbage between them.
Bytes makeStream(double garbageShare, size_t* messages) {
  std::mt19937 rng(42);
  Bytes stream;
  *messages = 0;
  size_t garbage = 0;
  while (stream.size() < kStream) {
    const Bytes f = frame(rng, 35 + rng() % 161);
    stream.insert(stream.end(), f.begin(), f.end());
    ++*messages;
    while (garbage < garbageShare * stream.size()) {
      stream.push_back(static_cast<uint8_t>(rng()));
      ++garbage;
    }
  }
  return stream;
}

struct AcceptAll : IMessageValidator {
  bool sanityCheck(const ZtMessage&) const override { return true; }
};

// The link's loop: append a block, cut out every message, keep what follows the first live
// candidate. find(msg, data, size) is the handler or the manager.
template <typename Find>
size_t consume(const Bytes& stream, Bytes& buffer, ZtMessage& msg, Find&& find) {
  size_t found = 0;
  buffer.clear();
  for (size_t pos = 0; pos < stream.size(); pos += kBlock) {
    const size_t n = std::min(kBlock, stream.size() - pos);
    buffer.insert(buffer.end(), stream.begin() + pos, stream.begin() + pos + n);
    size_t offset = 0;
    for (;;) {
      const MessageLocation loc = find(msg, buffer.data() + offset, buffer.size() - offset);
      if (loc.size() > 0) {
        ++found;
        offset += loc.start() + loc.size();
        continue;
      }
      offset = loc.start() < 0 ? buffer.size() : offset + loc.start();
      break;
    }
    buffer.erase(buffer.begin(), buffer.begin() + offset);
  }
  return found;
}

void report(benchmark::State& state, size_t bytes, size_t messages) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["msgs"] = static_cast<double>(messages);
  // Shown in seconds with an SI prefix (n = ns) per message.
  state.counters["time/msg"] = benchmark::Counter(static_cast<double>(state.iterations() * messages),
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Finder(benchmark::State& state) {
  size_t expected = 0;
  const Bytes stream = makeStream(state.range(0) / 100.0, &expected);
  ProtocolHandler handler;
  ZtMessage msg;
  ZtMessage_construct(&msg);
  Bytes buffer;
  buffer.reserve(2 * kBlock + 16384);
  size_t found = 0;
  for (auto _ : state)
    found = consume(stream, buffer, msg, [&](ZtMessage& m, const uint8_t* d, size_t s) {
      return handler.findMessageIn(m, d, s);
    });
  ZtMessage_destruct(&msg);
  if (found < expected * 99 / 100)
    state.SkipWithError("messages lost");
  report(state, stream.size(), found);
}
BENCHMARK(BM_Finder)->Arg(0)->Arg(10)->ArgName("garbage%")->Unit(benchmark::kMillisecond);

void BM_Manager(benchmark::State& state) {
  size_t expected = 0;
  const Bytes stream = makeStream(state.range(0) / 100.0, &expected);
  AcceptAll link;
  ProtocolManager manager(link);
  manager.add(new ProtocolHandler);
  ZtMessage msg;
  ZtMessage_construct(&msg);
  Bytes buffer;
  buffer.reserve(2 * kBlock + 16384);
  size_t found = 0;
  for (auto _ : state)
    found = consume(stream, buffer, msg, [&](ZtMessage& m, const uint8_t* d, size_t s) {
      return manager.findMessage(m, d, s);
    });
  ZtMessage_destruct(&msg);
  if (found < expected * 99 / 100)
    state.SkipWithError("messages lost");
  report(state, stream.size(), found);
}
BENCHMARK(BM_Manager)->Arg(0)->Arg(10)->ArgName("garbage%")->Unit(benchmark::kMillisecond);

// Worst cases for one search over a full block: pure random bytes, and a block packed with
// plausible headers whose spans fit but whose checksums are wrong (each one is judged).
void BM_HostileBlock(benchmark::State& state) {
  std::mt19937 rng(7);
  Bytes block(kBlock);
  if (state.range(0) == 0) {
    for (auto& b : block)
      b = static_cast<uint8_t>(rng());
  } else {
    for (size_t i = 0; i < kBlock; ++i)
      block[i] = (i % 4 == 0) ? 0xFA : (i % 4 == 3) ? 0xFE : 0x01;  // FA 01 01 FE: 259-byte spans
    block[0] = 0xFA;
  }
  ProtocolHandler handler;
  ZtMessage msg;
  ZtMessage_construct(&msg);
  for (auto _ : state) {
    const MessageLocation loc = handler.findMessageIn(msg, block.data(), block.size());
    benchmark::DoNotOptimize(loc);
  }
  ZtMessage_destruct(&msg);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
}
BENCHMARK(BM_HostileBlock)->Arg(0)->Arg(1)->ArgName("packedHeaders");

// The NMEA handler behind the Zbus handler on a binary Zbus stream (10 % garbage): its search
// runs over every byte that Zbus does not claim.
void BM_ManagerWithNmea(benchmark::State& state) {
  size_t expected = 0;
  const Bytes stream = makeStream(0.10, &expected);
  AcceptAll link;
  ProtocolManager manager(link);
  manager.add(new ProtocolHandler);
  manager.add(new nmea::ProtocolHandler);
  ZtMessage msg;
  ZtMessage_construct(&msg);
  Bytes buffer;
  size_t found = 0;
  for (auto _ : state)
    found = consume(stream, buffer, msg, [&](ZtMessage& m, const uint8_t* d, size_t s) {
      return manager.findMessage(m, d, s);
    });
  ZtMessage_destruct(&msg);
  report(state, stream.size(), found);
}
BENCHMARK(BM_ManagerWithNmea)->Unit(benchmark::kMillisecond);

// NMEA sentences back to back, and random garbage without any record, through the NMEA handler.
void BM_NmeaHandler(benchmark::State& state) {
  Bytes stream;
  size_t expected = 0;
  std::mt19937 rng(3);
  if (state.range(0) == 0) {
    const std::string s = "$HEHDT,123.4,T*2C\r\n$PRDID,1.5,-2.5,-190.0\r\n";
    while (stream.size() < (1u << 20)) {
      stream.insert(stream.end(), s.begin(), s.end());
      expected += 2;
    }
  } else {
    while (stream.size() < (1u << 20)) {
      const uint8_t b = static_cast<uint8_t>(rng());
      if (b != '$' && b != ':' && b != 0)
        stream.push_back(b);
    }
  }
  nmea::ProtocolHandler handler;
  ZtMessage msg;
  ZtMessage_construct(&msg);
  Bytes buffer;
  size_t found = 0;
  for (auto _ : state)
    found = consume(stream, buffer, msg, [&](ZtMessage& m, const uint8_t* d, size_t s) {
      return handler.findMessageIn(m, d, s);
    });
  ZtMessage_destruct(&msg);
  if (found != expected)
    state.SkipWithError("unexpected message count");
  report(state, stream.size(), found);
}
BENCHMARK(BM_NmeaHandler)->Arg(0)->Arg(1)->ArgName("garbage")->Unit(benchmark::kMillisecond);

}  // namespace
