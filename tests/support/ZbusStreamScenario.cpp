#include "support/ZbusStreamScenario.h"

#include <algorithm>

namespace zelto::test {

namespace {

constexpr uint8_t kPreamble = 0xFA;
constexpr size_t kLargestFrame = 8192;

}  // namespace

uint32_t ByteChoices::pick(uint32_t bound) {
  uint32_t value = 0;
  for (int i = 0; i < 2 && m_position < m_size; ++i) value = (value << 8) | m_data[m_position++];
  return value % bound;
}

uint8_t ZbusStreamScenario::acceptedBusId(ChoiceSource& choices) const {
  return choices.chance(2) ? 0xFF : static_cast<uint8_t>(1 + choices.pick(deviceCount));
}

uint8_t ZbusStreamScenario::refusedBusId(ChoiceSource& choices) const {
  return static_cast<uint8_t>(deviceCount + 1 + choices.pick(0xFE - deviceCount));
}

void ZbusStreamScenario::addFrame(const std::vector<uint8_t>& bytes, bool intact) {
  stream.insert(stream.end(), bytes.begin(), bytes.end());
  insideFrame.insert(insideFrame.end(), bytes.size(), intact);
}

std::vector<uint8_t> ZbusStreamScenario::payload(ChoiceSource& choices) {
  // Mostly short; some in the extended form, a few long.
  const uint32_t kind = choices.pick(10);
  const size_t size = kind < 6 ? choices.pick(60) : kind < 9 ? 200 + choices.pick(200) : 255 + choices.pick(1500);
  std::vector<uint8_t> out(size);
  for (uint8_t& b : out) b = choices.chance(6) ? kPreamble : static_cast<uint8_t>(choices.pick(256));
  // Short valid frames inside, as sensor data may hold them.
  const uint32_t inner = choices.pick(3);
  for (uint32_t n = 0; n < inner; ++n) {
    const uint8_t busId = choices.chance(2) ? acceptedBusId(choices) : refusedBusId(choices);
    std::vector<uint8_t> innerPayload(choices.pick(4));
    for (uint8_t& b : innerPayload) b = static_cast<uint8_t>(choices.pick(256));
    const std::vector<uint8_t> f = EmuFrame{busId, static_cast<uint8_t>(1 + choices.pick(0xFE)), innerPayload}.encode();
    if (f.size() > out.size()) break;
    std::copy(f.begin(), f.end(), out.begin() + choices.pick(static_cast<uint32_t>(out.size() - f.size() + 1)));
  }
  return out;
}

void ZbusStreamScenario::addGarbage(ChoiceSource& choices) {
  switch (choices.pick(8)) {
    case 0:
    case 1: {  // random bytes, preambles among them
      std::vector<uint8_t> bytes(1 + choices.pick(40));
      for (uint8_t& b : bytes) b = choices.chance(8) ? kPreamble : static_cast<uint8_t>(choices.pick(256));
      addFrame(bytes, false);
      break;
    }
    case 2:
    case 3: {  // a checksum-correct frame the link refuses, perhaps carrying accepted frames
      const EmuFrame f{refusedBusId(choices), static_cast<uint8_t>(choices.pick(256)), payload(choices)};
      addFrame(f.encode(), false);
      break;
    }
    case 4:
    case 5: {  // a frame cut short
      const std::vector<uint8_t> f = EmuFrame{acceptedBusId(choices), 0x36, payload(choices)}.encode();
      addFrame(std::vector<uint8_t>(f.begin(), f.begin() + 1 + choices.pick(static_cast<uint32_t>(f.size() - 1))), false);
      break;
    }
    case 6: {  // a lone header whose extended length claims up to the largest frame
      const uint32_t total = 300 + choices.pick(kLargestFrame - 300 + 1);
      const uint32_t length = total - 7;
      addFrame({kPreamble, 0xFF, 0x36, 0xFF, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)}, false);
      break;
    }
    default:  // FA 00 00: never a message
      addFrame({kPreamble, 0x00, 0x00, static_cast<uint8_t>(choices.pick(8))}, false);
      break;
  }
}

ZbusStreamScenario ZbusStreamScenario::generate(ChoiceSource& choices, size_t frameCount, uint16_t deviceCount) {
  ZbusStreamScenario s;
  s.deviceCount = deviceCount;
  for (size_t i = 0; i < frameCount && !choices.exhausted(); ++i) {
    while (choices.chance(3)) s.addGarbage(choices);
    EmuFrame f{s.acceptedBusId(choices), static_cast<uint8_t>(choices.pick(256)), s.payload(choices)};
    s.frames.push_back(f);
    s.addFrame(f.encode(), true);
  }
  if (choices.chance(2)) s.addGarbage(choices);
  s.repair();
  return s;
}

size_t ZbusStreamScenario::repair() {
  size_t changed = 0;
  for (bool again = true; again;) {
    again = false;
    for (size_t g = 0; g < stream.size(); ++g) {
      if (insideFrame[g] || stream[g] != kPreamble || g + 4 > stream.size()) continue;
      const uint8_t busId = stream[g + 1];
      size_t total;
      if (stream[g + 3] != 0xFF) {
        if (busId == 0 && stream[g + 2] == 0) continue;  // never a message
        total = stream[g + 3] + 5u;
      } else {
        if (g + 6 > stream.size()) continue;
        total = ((static_cast<size_t>(stream[g + 4]) << 8) | stream[g + 5]) + 7u;
      }
      if (total > kLargestFrame || g + total > stream.size() || !accepts(busId)) continue;
      uint8_t sum = 0;
      for (size_t i = g + 1; i < g + total; ++i) sum = static_cast<uint8_t>(sum + stream[i]);
      if (sum != 0) continue;
      stream[g] = 0x00;
      ++changed;
      again = true;
    }
  }
  return changed;
}

std::vector<size_t> ZbusStreamScenario::chunking(ChoiceSource& choices, size_t total, int mode) {
  std::vector<size_t> sizes;
  for (size_t done = 0; done < total;) {
    size_t n = total - done;
    if (mode == 1) n = 1;
    if (mode == 2) n = 1 + choices.pick(16);
    if (mode == 3) n = 1 + choices.pick(700);
    n = std::min(n, total - done);
    sizes.push_back(n);
    done += n;
  }
  return sizes;
}

}  // namespace zelto::test
