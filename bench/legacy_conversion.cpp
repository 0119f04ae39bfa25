// Legacy data messages turned into data packets.
//  - BM_LegacyConversion/<devices>: a single tracker, and a bus master with ten (calibrated data,
//    quaternion, status word and counter); the layout copied per message.
//  - BM_SdiConversion: a wireless station's message for one tracker (its SDI block in 4-byte
//    floats), converted as the device path does it: into a kept layout and a reused packet.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "support/emulator/EmuFrame.h"
#include "support/emulator/SdiPayload.h"
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

void BM_SdiConversion(benchmark::State& state) {
  using zelto::test::SdiPayload;
  SdiPayload::Interval interval;
  interval.deviceId = 0x00B00100;
  interval.first = 100;
  interval.last = 101;
  interval.dq[0] = 0.99;
  interval.dq[3] = 0.01;
  interval.dv[2] = 0.098;
  interval.mag[0] = 0.4;
  interval.mag[2] = -0.3;
  const std::vector<uint8_t> frame = zelto::test::EmuFrame{0xFF, 0x32, SdiPayload::encode(interval, 0)}.encode();
  ZtMessage msg;
  ZtMessage_constructSized(&msg, 0);
  ZtMessage_setMessageId(&msg, 0x32);
  ZtMessage_setDataBuffer(&msg, frame.data() + 4, frame.size() - 5, 0);
  LegacyDataPacket layout(1, false);
  layout.setDeviceId(0x00B00100, 0);
  layout.setDataFormat(SdiPayload::kOutputMode, 0, 0);
  ZtDataPacket packet;
  ZtDataPacket_construct(&packet);
  for (auto _ : state) {
    layout.setMessage(msg);
    ZtDataPacket_assignFromZtLegacyDataPacket(&packet, layout, 0);
    benchmark::DoNotOptimize(packet.message.bytes.data);
  }
  state.SetItemsProcessed(state.iterations());
  ZtDataPacket_destruct(&packet);
  ZtMessage_destruct(&msg);
}

BENCHMARK(BM_SdiConversion);

}  // namespace
