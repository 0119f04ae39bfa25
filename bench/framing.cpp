// Zbus finder throughput: a link's parse loop over a stream read in 8192-byte blocks.
// Reference rates: a 4 Mbaud serial line carries about 400 kB/s, USB full speed about 1.2 MB/s.
// Beside them in the same run, the plain-code reference: one pass that finds every 0xFA and sums
// every byte (the least work a checksum search over the same stream can do). Allocations are
// counted through the malloc family, which every allocation of the library and its companion
// type library goes through.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "transport/link/MessageCutter.h"
#include "transport/link/MessageList.h"
#include "transport/zbus/IMessageValidator.h"
#include "transport/nmea/NmeaProtocolHandler.h"
#include "transport/zbus/ProtocolHandler.h"
#include "transport/zbus/ProtocolManager.h"

// The allocation hook: this program's malloc, calloc and realloc count and forward to glibc's.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
}
namespace {
std::atomic<uint64_t> g_allocations{0};
}
extern "C" void* malloc(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* p, size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, size);
}

namespace {

// Percentiles over the repetitions (run with --benchmark_repetitions=N for N samples).
double percentile(const std::vector<double>& samples, double q) {
  std::vector<double> v(samples);
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5)];
}
template <typename B>
B* withPercentiles(B* b) {
  return b->ComputeStatistics("p10", [](const std::vector<double>& v) { return percentile(v, 0.10); })
      ->ComputeStatistics("p90", [](const std::vector<double>& v) { return percentile(v, 0.90); });
}

// Allocations per iteration of the timed loop (the first iteration warms reused buffers up).
class AllocationCount {
public:
  AllocationCount() : m_start(g_allocations.load()) {}
  void report(benchmark::State& state) const {
    const auto iterations = static_cast<double>(std::max<int64_t>(state.iterations(), 1));
    state.counters["allocs/iter"] = static_cast<double>(g_allocations.load() - m_start) / iterations;
  }

private:
  uint64_t m_start;
};

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
  found = consume(stream, buffer, msg, [&](ZtMessage& m, const uint8_t* d, size_t s) {
    return handler.findMessageIn(m, d, s);
  });
  const AllocationCount allocations;
  for (auto _ : state)
    found = consume(stream, buffer, msg, [&](ZtMessage& m, const uint8_t* d, size_t s) {
      return handler.findMessageIn(m, d, s);
    });
  allocations.report(state);
  ZtMessage_destruct(&msg);
  if (found < expected * 99 / 100)
    state.SkipWithError("messages lost");
  report(state, stream.size(), found);
}
const auto* const kFinderRegistered =
    withPercentiles(benchmark::RegisterBenchmark("BM_Finder", BM_Finder))
        ->Arg(0)
        ->Arg(10)
        ->ArgName("garbage%")
        ->Unit(benchmark::kMillisecond);

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
  found = consume(stream, buffer, msg, [&](ZtMessage& m, const uint8_t* d, size_t s) {
    return manager.findMessage(m, d, s);
  });
  const AllocationCount allocations;
  for (auto _ : state)
    found = consume(stream, buffer, msg, [&](ZtMessage& m, const uint8_t* d, size_t s) {
      return manager.findMessage(m, d, s);
    });
  allocations.report(state);
  ZtMessage_destruct(&msg);
  if (found < expected * 99 / 100)
    state.SkipWithError("messages lost");
  report(state, stream.size(), found);
}
const auto* const kManagerRegistered =
    withPercentiles(benchmark::RegisterBenchmark("BM_Manager", BM_Manager))
        ->Arg(0)
        ->Arg(10)
        ->ArgName("garbage%")
        ->Unit(benchmark::kMillisecond);

// The plain-code reference over the same streams: locate every 0xFA and sum every byte.
void BM_ReferenceByteSum(benchmark::State& state) {
  size_t messages = 0;
  const Bytes stream = makeStream(state.range(0) / 100.0, &messages);
  size_t preambles = 0;
  for (auto _ : state) {
    uint8_t sum = 0;
    preambles = 0;
    for (size_t pos = 0; pos < stream.size(); pos += kBlock) {
      const size_t n = std::min(kBlock, stream.size() - pos);
      const uint8_t* block = stream.data() + pos;
      for (size_t i = 0; i < n; ++i)
        sum = static_cast<uint8_t>(sum + block[i]);
      for (const uint8_t* p = block; (p = static_cast<const uint8_t*>(std::memchr(p, 0xFA, block + n - p)));
           ++p)
        ++preambles;
    }
    benchmark::DoNotOptimize(sum);
    benchmark::DoNotOptimize(preambles);
  }
  report(state, stream.size(), messages);
}
const auto* const kReferenceByteSumRegistered =
    withPercentiles(benchmark::RegisterBenchmark("BM_ReferenceByteSum", BM_ReferenceByteSum))
        ->Arg(0)
        ->Arg(10)
        ->ArgName("garbage%")
        ->Unit(benchmark::kMillisecond);

// What a link's parse task does with each read: the message cutter over the receive buffer,
// messages copied into the reused output list.
void BM_LinkCutter(benchmark::State& state) {
  size_t expected = 0;
  const Bytes stream = makeStream(state.range(0) / 100.0, &expected);
  AcceptAll link;
  ProtocolManager manager(link);
  manager.add(new ProtocolHandler);
  MessageCutter cutter;
  MessageList output;
  ZtByteArray buffer;
  ZtByteArray_construct(&buffer, 0, nullptr);
  size_t found = 0;
  auto pass = [&] {
    size_t count = 0;
    for (size_t pos = 0; pos < stream.size(); pos += kBlock) {
      const size_t n = std::min(kBlock, stream.size() - pos);
      ZtByteArray_append(&buffer, n, stream.data() + pos);
      output.clear();
      cutter.cut(manager, buffer, output, 0, 921600);
      count += output.size();
    }
    return count;
  };
  found = pass();
  const AllocationCount allocations;
  for (auto _ : state)
    found = pass();
  allocations.report(state);
  ZtByteArray_destruct(&buffer);
  if (found < expected * 99 / 100)
    state.SkipWithError("messages lost");
  report(state, stream.size(), found);
}
const auto* const kLinkCutterRegistered =
    withPercentiles(benchmark::RegisterBenchmark("BM_LinkCutter", BM_LinkCutter))
        ->Arg(0)
        ->Arg(10)
        ->ArgName("garbage%")
        ->Unit(benchmark::kMillisecond);

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
const auto* const kHostileBlockRegistered =
    withPercentiles(benchmark::RegisterBenchmark("BM_HostileBlock", BM_HostileBlock))
        ->Arg(0)
        ->Arg(1)
        ->ArgName("packedHeaders");

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
const auto* const kManagerWithNmeaRegistered =
    withPercentiles(benchmark::RegisterBenchmark("BM_ManagerWithNmea", BM_ManagerWithNmea))
        ->Unit(benchmark::kMillisecond);

// "$" + body + "*" + checksum + CR LF; a wrong checksum when asked.
std::string sentence(const std::string& body, bool wrongChecksum = false) {
  unsigned cs = 0;
  for (char c : body)
    cs ^= static_cast<unsigned char>(c);
  if (wrongChecksum)
    cs ^= 0x01;
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02X", cs);
  return "$" + body + "*" + hex + "\r\n";
}

// Through the NMEA handler: valid sentences of the heading sources; the same with every other one
// carrying a wrong checksum (a record that is found but rejected); random bytes without a record.
void BM_NmeaHandler(benchmark::State& state) {
  const std::vector<std::string> bodies{"HEHDT,123.4,T", "HEROT, 026.7,A", "HCHDM,270.0,M", "PRDID,1.5,-2.5,-190.0",
                                        "PHTRO,1.5,M,2.5,B"};
  Bytes stream;
  size_t expected = 0;
  std::mt19937 rng(3);
  if (state.range(0) < 2) {
    for (size_t n = 0; stream.size() < (1u << 20); ++n) {
      const std::string s = sentence(bodies[n % bodies.size()], state.range(0) == 1 && n % 2 == 1);
      stream.insert(stream.end(), s.begin(), s.end());
      ++expected;
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
  auto find = [&](ZtMessage& m, const uint8_t* d, size_t s) { return handler.findMessageIn(m, d, s); };
  size_t found = consume(stream, buffer, msg, find);
  const AllocationCount allocations;
  for (auto _ : state)
    found = consume(stream, buffer, msg, find);
  allocations.report(state);
  ZtMessage_destruct(&msg);
  if (found != expected)
    state.SkipWithError("unexpected message count");
  report(state, stream.size(), found);
}
const auto* const kNmeaHandlerRegistered =
    withPercentiles(benchmark::RegisterBenchmark("BM_NmeaHandler", BM_NmeaHandler))
        ->Arg(0)
        ->Arg(1)
        ->Arg(2)
        ->ArgName("valid0mixed1garbage2")
        ->Unit(benchmark::kMillisecond);

// The plain-code reference for the NMEA streams: the XOR of every byte (what the checksums need).
void BM_ReferenceXor(benchmark::State& state) {
  Bytes stream;
  while (stream.size() < (1u << 20)) {
    const std::string s = sentence("HEHDT,123.4,T");
    stream.insert(stream.end(), s.begin(), s.end());
  }
  for (auto _ : state) {
    uint8_t x = 0;
    for (uint8_t b : stream)
      x ^= b;
    benchmark::DoNotOptimize(x);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
const auto* const kReferenceXorRegistered =
    withPercentiles(benchmark::RegisterBenchmark("BM_ReferenceXor", BM_ReferenceXor))
        ->Unit(benchmark::kMillisecond);

}  // namespace
