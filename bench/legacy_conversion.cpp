// Legacy data messages turned into data packets: a single tracker, and a bus master with ten.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "transport/legacy/LegacyDataPacket.h"

namespace {

// Calibrated data, quaternion, status word and counter per device, 4-byte floats.
constexpr uint32_t kMode = 0x0002 | 0x0004 | 0x0800;
constexpr uint32_t kSettings = 0x0001 | 0x0080;

void BM_LegacyConversion(benchmark::State& state) {
  const int devices = static_cast<int>(state.range(0));
  const bool zbus = devices > 1;
  LegacyDataPacket layout(static_cast<uint16_t>(devices), zbus);
  for (int i = 0; i < devices; ++i) {
    layout.setDeviceId(0x00070000u + static_cast<uint32_t>(i), i);
    layout.setDataFormat(kMode, kSettings, i);
  }
  const size_t size = layout.packetInfo(devices - 1)[PI_End];
  std::vector<uint8_t> payload(size);
  for (size_t i = 0; i < size; ++i) payload[i] = static_cast<uint8_t>(0x3F + (i % 3));  // finite floats
  ZtMessage msg;
  ZtMessage_constructSized(&msg, size);
  ZtMessage_setMessageId(&msg, 0x32);
  ZtMessage_setDataBuffer(&msg, payload.data(), size, 0);

  ZtDataPacket packet;
  ZtDataPacket_construct(&packet);
  for (auto _ : state) {
    // What the device path does per message: a layout for the message, then one packet per device.
    LegacyDataPacket lp(layout);
    lp.setMessage(msg);
    for (int i = 0; i < devices; ++i) {
      ZtDataPacket_assignFromZtLegacyDataPacket(&packet, lp, i);
      benchmark::DoNotOptimize(packet.message.bytes.data);
    }
  }
  state.SetItemsProcessed(state.iterations() * devices);
  state.counters["messages/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  ZtDataPacket_destruct(&packet);
  ZtMessage_destruct(&msg);
}

BENCHMARK(BM_LegacyConversion)->Arg(1)->Arg(10);

}  // namespace
