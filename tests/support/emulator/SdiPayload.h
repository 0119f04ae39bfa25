#pragma once
// A wireless tracker's strapdown interval as a station relays it in a legacy data message
// (0x32, output mode 0x0200), written and read here apart from the library. The block, values
// in the form of the output settings' 0x300 bits (putValue: float, 4- or 6-byte fixed point,
// double), multi-byte fields big-endian:
//   u32 device id, u8 spare, u16 first frame, u16 last frame, current bias (3 values),
//   orientation increment w x y z (4), velocity increment (3), u8 aiding flag (1: aiding data),
//   u16 pressure count (hPa x 50), magnetic field (3), i8 RSSI.
//
//   SdiPayload::Interval i;
//   i.deviceId = 0x00B00011; i.first = 9; i.last = 10; ...
//   EmuFrame f{0xFF, 0x32, SdiPayload::encode(i, 0x0)};
#include <cstdint>
#include <optional>
#include <vector>

namespace zelto::test {

class SdiPayload {
 public:
  static constexpr uint16_t kOutputMode = 0x0200;

  struct Interval {
    uint32_t deviceId = 0;
    uint16_t first = 0;
    uint16_t last = 0;
    double bias[3] = {0.0, 0.0, 0.0};
    double dq[4] = {1.0, 0.0, 0.0, 0.0};
    double dv[3] = {0.0, 0.0, 0.0};
    bool aiding = false;
    double pressure = 0.0;  // hPa
    double mag[3] = {0.0, 0.0, 0.0};
    int8_t rssi = -50;
  };

  // The payload size of one interval in the form.
  static size_t size(uint32_t outputSettings);
  static std::vector<uint8_t> encode(const Interval& interval, uint32_t outputSettings);
  // Appends to out (no allocation once out has the capacity).
  static void encodeInto(std::vector<uint8_t>& out, const Interval& interval, uint32_t outputSettings);
  // The interval at the start of a payload; nothing when the payload is shorter than one.
  static std::optional<Interval> decode(const std::vector<uint8_t>& payload, uint32_t outputSettings);
};

}  // namespace zelto::test
