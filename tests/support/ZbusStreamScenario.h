#pragma once
// Zbus byte streams with a known answer, for the property test and the differential fuzzer of a
// link's parsing. Intact frames of random bus ids, message ids and lengths (standard and extended
// form) whose payloads are seeded with FA bytes and with short valid frames (from bus ids the link
// accepts and from ones it refuses); between some of them garbage: random bytes, checksum-correct
// frames from refused bus ids, frames cut short, and lone headers claiming long extended lengths.
// Every intact frame must come out once, in order, and nothing else, however the stream is cut
// into reads.
//
// Garbage can by chance form a checksum-correct frame that the link would accept, which no parser
// can tell from a real one; repair() takes the preamble out of every such candidate.
//
// The choices come from a ChoiceSource: a seeded generator in tests, the fuzzer's bytes in the
// fuzz target (which compiles this file and the emulator's frame encoder into itself).
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "support/emulator/EmuFrame.h"

namespace zelto::test {

class ChoiceSource {
 public:
  virtual ~ChoiceSource() = default;
  // A value in [0, bound); bound > 0.
  virtual uint32_t pick(uint32_t bound) = 0;
  // No choices left: every pick is 0, so every chance fails and generation ends.
  virtual bool exhausted() const { return false; }
  bool chance(uint32_t oneIn) { return oneIn > 0 && pick(oneIn) == oneIn - 1; }
};

class RandomChoices : public ChoiceSource {
 public:
  explicit RandomChoices(uint32_t seed) : m_rng(seed) {}
  uint32_t pick(uint32_t bound) override { return static_cast<uint32_t>(m_rng() % bound); }

 private:
  std::mt19937 m_rng;
};

// Two bytes per choice; once the bytes are used up every choice is 0.
class ByteChoices : public ChoiceSource {
 public:
  ByteChoices(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  uint32_t pick(uint32_t bound) override;
  bool exhausted() const override { return m_position >= m_size; }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_position = 0;
};

struct ZbusStreamScenario {
  // Bus ids a link with a master of deviceCount devices accepts: 0xFF and 0 to deviceCount.
  uint16_t deviceCount = 3;
  std::vector<uint8_t> stream;
  std::vector<EmuFrame> frames;     // the intact frames, in order
  std::vector<bool> insideFrame;    // per stream byte: part of an intact frame

  bool accepts(uint8_t busId) const { return busId == 0xFF || busId <= deviceCount; }

  // Up to frameCount intact frames (fewer when the choices run out) with garbage between some of
  // them, then repair().
  static ZbusStreamScenario generate(ChoiceSource& choices, size_t frameCount, uint16_t deviceCount = 3);
  // Takes the preamble (makes it 0x00) out of every garbage candidate that is complete within
  // the stream, checksum-correct and from an accepted bus id; returns how many were changed.
  size_t repair();

  // Read sizes that cut the stream: mode 0 whole, 1 one byte each, 2 up to 16 bytes, 3 up to 700.
  static std::vector<size_t> chunking(ChoiceSource& choices, size_t total, int mode);

 private:
  void addGarbage(ChoiceSource& choices);
  void addFrame(const std::vector<uint8_t>& bytes, bool intact);
  std::vector<uint8_t> payload(ChoiceSource& choices);
  uint8_t acceptedBusId(ChoiceSource& choices) const;
  uint8_t refusedBusId(ChoiceSource& choices) const;
};

}  // namespace zelto::test
