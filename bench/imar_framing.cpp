// Frame search of the outside inertial units beside the Zbus finder, in the same run: the link's
// parse loop (8192-byte blocks, keep what follows the first live candidate) over a 4 MiB stream
// of frames with 0 % or 10 % random garbage between them. The Zbus reference stream holds data
// messages of the same size as the unit's frames (41 bytes for the FSAS, 39 for the iFOG) with
// random payloads. The Zbus finder finds a frame, loads it into the output message and tests its
// checksum; each unit's handler is measured twice: the search alone (sync pairs and CRC test,
// locateFrame) and the whole findMessageIn (also decoding the frame into its data message).
// Rates are bytes of stream per second; compare the medians of a run with
// --benchmark_repetitions (--benchmark_enable_random_interleaving=true spreads a loaded
// machine's noise over all cases). Allocations are counted through the malloc family.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/emulator/ImarFrameGenerator.h"
#include "transport/imar/FsasProtocolHandler.h"
#include "transport/imar/IFogProtocolHandler.h"
#include "transport/zbus/ProtocolHandler.h"

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

using Bytes = std::vector<uint8_t>;
using Unit = zelto::test::ImarFrameGenerator::Unit;
constexpr size_t kBlock = 8192;
constexpr size_t kStream = 4 << 20;

// Zbus data messages of frameSize bytes (payload frameSize - 5) or the unit's frames, with
// garbageShare of the bytes random garbage between them.
Bytes makeStream(bool zbus, Unit unit, double garbageShare, size_t* frames) {
  std::mt19937 rng(42);
  zelto::test::ImarFrameGenerator gen(unit, nullptr);
  const size_t frameSize = zelto::test::ImarFrameGenerator::frameSize(unit);
  Bytes stream;
  stream.reserve(kStream + 1024);
  size_t garbage = 0;
  *frames = 0;
  while (stream.size() < kStream) {
    if (zbus) {
      ZtMessage m;
      ZtMessage_constructSized(&m, frameSize - 5);
      ZtMessage_setMessageId(&m, 0x36);
      Bytes payload(frameSize - 5);
      for (auto& b : payload) b = static_cast<uint8_t>(rng());
      ZtMessage_setDataBuffer(&m, payload.data(), payload.size(), 0);
      const uint8_t* p = ZtMessage_getMessageStart(&m);
      stream.insert(stream.end(), p, p + ZtMessage_getTotalMessageSize(&m));
      ZtMessage_destruct(&m);
    } else {
      const Bytes f = gen.takeFrame();
      stream.insert(stream.end(), f.begin(), f.end());
    }
    ++*frames;
    while (garbage < garbageShare * static_cast<double>(stream.size())) {
      stream.push_back(static_cast<uint8_t>(rng()));
      ++garbage;
    }
  }
  return stream;
}

// search(offset, rest) returns the location of one search over the buffer's bytes from offset.
// Not inlined, so that an instruction count can collect exactly this function.
template <typename Search>
[[gnu::noinline]] size_t consume(const Bytes& stream, Bytes& buffer, Search search) {
  size_t found = 0;
  buffer.clear();
  for (size_t pos = 0; pos < stream.size(); pos += kBlock) {
    const size_t n = std::min(kBlock, stream.size() - pos);
    buffer.insert(buffer.end(), stream.begin() + static_cast<long>(pos), stream.begin() + static_cast<long>(pos + n));
    size_t offset = 0;
    for (;;) {
      const MessageLocation loc = search(buffer.data() + offset, buffer.size() - offset);
      if (loc.size() > 0) {
        ++found;
        offset += static_cast<size_t>(loc.start() + loc.size());
        continue;
      }
      offset = loc.start() < 0 ? buffer.size() : offset + static_cast<size_t>(loc.start());
      break;
    }
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<long>(offset));
  }
  return found;
}

enum Kind { kZbusReference = 0, kHandler = 1, kSearchOnly = 2 };

// range(0): 0 FSAS-sized, 1 iFOG-sized; range(1): garbage percent; range(2): a Kind.
void BM_FrameSearch(benchmark::State& state) {
  const Unit unit = state.range(0) == 0 ? Unit::Fsas : Unit::IFog;
  const Kind kind = static_cast<Kind>(state.range(2));
  const bool zbus = kind == kZbusReference;
  size_t expected = 0;
  const Bytes stream = makeStream(zbus, unit, static_cast<double>(state.range(1)) / 100.0, &expected);
  ProtocolHandler zbusFinder;
  imar::FsasProtocolHandler fsas;
  imar::IFogProtocolHandler ifog;
  const imar::ImarProtocolHandler& unitHandler = unit == Unit::Fsas ? static_cast<const imar::ImarProtocolHandler&>(fsas)
                                                                    : static_cast<const imar::ImarProtocolHandler&>(ifog);
  const IProtocolHandler& handler = zbus ? static_cast<const IProtocolHandler&>(zbusFinder) : unitHandler;
  ZtMessage msg;
  ZtMessage_construct(&msg);
  Bytes buffer;
  buffer.reserve(4 * kBlock);
  const auto run = [&] {
    if (kind == kSearchOnly)
      return consume(stream, buffer, [&](const uint8_t* p, size_t n) { return unitHandler.locateFrame(p, n); });
    return consume(stream, buffer, [&](const uint8_t* p, size_t n) { return handler.findMessageIn(msg, p, n); });
  };
  size_t found = run();  // warms the reused buffers
  const uint64_t allocationsBefore = g_allocations.load();
  for (auto _ : state) found = run();
  state.counters["allocs/iter"] = static_cast<double>(g_allocations.load() - allocationsBefore) /
                                  static_cast<double>(std::max<int64_t>(state.iterations(), 1));
  ZtMessage_destruct(&msg);
  if (found < expected * 99 / 100) state.SkipWithError("frames lost");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
  state.counters["frames"] = static_cast<double>(found);
  state.counters["stream bytes"] = static_cast<double>(stream.size());
  const char* const unitName = unit == Unit::Fsas ? "FSAS" : "iFOG";
  state.SetLabel(zbus ? std::string("Zbus finder (reference), ") + unitName + "-sized"
                      : std::string(unitName) + (kind == kSearchOnly ? " search only (find + CRC)" : " handler (full)"));
}

const auto* const kRegistered = benchmark::RegisterBenchmark("BM_FrameSearch", BM_FrameSearch)
                                    ->ArgNames({"unit", "garbage%", "kind"})
                                    ->ArgsProduct({{0, 1}, {0, 10}, {kZbusReference, kHandler, kSearchOnly}})
                                    ->Unit(benchmark::kMillisecond);

}  // namespace
