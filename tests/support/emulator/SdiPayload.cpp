#include "support/emulator/SdiPayload.h"

#include <cmath>

#include "support/emulator/EmuFrame.h"

namespace zelto::test {

namespace {

uint64_t be(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

size_t SdiPayload::size(uint32_t outputSettings) { return 13 + 13 * valueSize(outputSettings); }

std::vector<uint8_t> SdiPayload::encode(const Interval& interval, uint32_t outputSettings) {
  std::vector<uint8_t> out;
  out.reserve(size(outputSettings));
  encodeInto(out, interval, outputSettings);
  return out;
}

void SdiPayload::encodeInto(std::vector<uint8_t>& out, const Interval& i, uint32_t outputSettings) {
  putU32(out, i.deviceId);
  out.push_back(0);
  putU16(out, i.first);
  putU16(out, i.last);
  for (double v : i.bias) putValue(out, v, outputSettings);
  for (double v : i.dq) putValue(out, v, outputSettings);
  for (double v : i.dv) putValue(out, v, outputSettings);
  out.push_back(i.aiding ? 1 : 0);
  const double count = std::round(i.pressure * 50.0);
  putU16(out, count <= 0.0 ? 0 : (count >= 65535.0 ? 0xFFFF : static_cast<uint16_t>(count)));
  for (double v : i.mag) putValue(out, v, outputSettings);
  out.push_back(static_cast<uint8_t>(i.rssi));
}

std::optional<SdiPayload::Interval> SdiPayload::decode(const std::vector<uint8_t>& payload, uint32_t outputSettings) {
  if (payload.size() < size(outputSettings)) return std::nullopt;
  const size_t s = valueSize(outputSettings);
  const uint8_t* p = payload.data();
  Interval i;
  i.deviceId = static_cast<uint32_t>(be(p, 4));
  i.first = static_cast<uint16_t>(be(p + 5, 2));
  i.last = static_cast<uint16_t>(be(p + 7, 2));
  const uint8_t* v = p + 9;
  for (double& x : i.bias) {
    x = valueAt(v, outputSettings);
    v += s;
  }
  for (double& x : i.dq) {
    x = valueAt(v, outputSettings);
    v += s;
  }
  for (double& x : i.dv) {
    x = valueAt(v, outputSettings);
    v += s;
  }
  i.aiding = *v++ == 1;
  i.pressure = static_cast<double>(be(v, 2)) / 50.0;
  v += 2;
  for (double& x : i.mag) {
    x = valueAt(v, outputSettings);
    v += s;
  }
  i.rssi = static_cast<int8_t>(*v);
  return i;
}

}  // namespace zelto::test
