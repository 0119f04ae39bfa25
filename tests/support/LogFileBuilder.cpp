#include "support/LogFileBuilder.h"

#include <cstdio>

namespace zelto::test {

std::vector<uint8_t> LogFileBuilder::configurationPayload(uint32_t masterId, const std::vector<uint32_t>& deviceIds) {
  std::vector<uint8_t> p;
  putU32(p, masterId);
  p.resize(96, 0);
  putU16(p, static_cast<uint16_t>(deviceIds.size()));
  for (uint32_t id : deviceIds) {
    putU32(p, id);
    p.resize(p.size() + 16, 0);
  }
  return p;
}

std::vector<uint8_t> LogFileBuilder::dataPayload(uint16_t counter, size_t filler) {
  std::vector<uint8_t> p;
  putU16(p, 0x1020);
  p.push_back(2);
  putU16(p, counter);
  for (size_t i = 0; i < filler; ++i) p.push_back(static_cast<uint8_t>(counter + i));
  return p;
}

LogFileBuilder& LogFileBuilder::configuration(uint32_t masterId, const std::vector<uint32_t>& deviceIds) {
  return message(0x0D, configurationPayload(masterId, deviceIds));
}

LogFileBuilder& LogFileBuilder::message(const EmuFrame& frame) {
  const std::vector<uint8_t> encoded = frame.encode();
  m_bytes.insert(m_bytes.end(), encoded.begin(), encoded.end());
  m_frames.push_back(frame);
  ++m_frameCount;
  return *this;
}

LogFileBuilder& LogFileBuilder::message(uint8_t messageId, const std::vector<uint8_t>& payload, uint8_t busId) {
  return message(EmuFrame{busId, messageId, payload});
}

LogFileBuilder& LogFileBuilder::data(uint16_t counter, size_t filler) {
  return message(0x36, dataPayload(counter, filler));
}

LogFileBuilder& LogFileBuilder::garbage(const std::vector<uint8_t>& bytes) {
  m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
  return *this;
}

LogFileBuilder& LogFileBuilder::stuckCandidate() { return garbage({0xFA, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00}); }

LogFileBuilder& LogFileBuilder::truncatedTail(size_t keep) {
  const std::vector<uint8_t> encoded = EmuFrame{0xFF, 0x36, dataPayload(0xFFFF, 20)}.encode();
  if (keep >= encoded.size()) keep = encoded.size() - 1;
  m_bytes.insert(m_bytes.end(), encoded.begin(), encoded.begin() + static_cast<std::ptrdiff_t>(keep));
  return *this;
}

namespace {
bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes, const char* mode) {
  std::FILE* f = std::fopen(path.c_str(), mode);
  if (!f) return false;
  const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}
}  // namespace

bool LogFileBuilder::writeTo(const std::string& path) const { return writeFile(path, m_bytes, "wb"); }

bool LogFileBuilder::appendTo(const std::string& path) {
  const bool ok = writeFile(path, m_bytes, "ab");
  m_bytes.clear();
  m_frames.clear();
  return ok;
}

}  // namespace zelto::test
