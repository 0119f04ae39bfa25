#include "otherdevices/wireless/EwmsData.h"

#include <algorithm>

namespace zelto {

namespace {

void readEntry(const ZtMessage& m, size_t offset, int32_t index, WmsTriggerSetting& e) {
  e.index = index;
  e.lineMask = ZtMessage_getDataByte(&m, offset);
  const uint8_t flags = ZtMessage_getDataByte(&m, offset + 1);
  e.polarity = flags >> 6;
  e.triggerOnce = (flags & 0x20) != 0;
  e.skipFirst = ZtMessage_getDataShort(&m, offset + 2);
  e.skipFactor = ZtMessage_getDataShort(&m, offset + 4);
  e.parameter = ZtMessage_getDataShort(&m, offset + 6);
}

void writeEntry(ZtMessage& m, size_t offset, const WmsTriggerSetting& e) {
  ZtMessage_setDataByte(&m, e.lineMask, offset);
  ZtMessage_setDataByte(&m, static_cast<uint8_t>(((e.polarity & 0x3) << 6) | (e.triggerOnce ? 0x20 : 0)), offset + 1);
  ZtMessage_setDataShort(&m, e.skipFirst, offset + 2);
  ZtMessage_setDataShort(&m, e.skipFactor, offset + 4);
  ZtMessage_setDataShort(&m, e.parameter, offset + 6);
}

// Reads up to kSlots whole entries of a list whose count byte is at countOffset; returns the
// offset after the list as the count names it (so the next list is found even past 16).
template <typename Entry, size_t N>
size_t readList(const ZtMessage& m, size_t countOffset, std::array<Entry, N>& slots, size_t& stored) {
  const size_t size = ZtMessage_dataSize(&m);
  stored = 0;
  if (countOffset >= size) return size;
  const size_t count = ZtMessage_getDataByte(&m, countOffset);
  const size_t first = countOffset + 1;
  const size_t whole = (size - first) / EwmsData::kEntrySize;
  stored = std::min({count, whole, N});
  for (size_t i = 0; i < stored; ++i)
    readEntry(m, first + i * EwmsData::kEntrySize, static_cast<int32_t>(i), slots[i]);
  return first + count * EwmsData::kEntrySize;
}

}  // namespace

bool EwmsData::setWmsData(const ZtMessage& message) {
  if (ZtMessage_dataSize(&message) < kFixedSize) return false;
  m_deviceId = ZtMessage_getDataLong(&message, 0);
  const uint8_t* code = ZtMessage_getDataBuffer(&message, 4);
  m_productCode.assign(reinterpret_cast<const char*>(code), kProductCodeSize);
  m_productCode.resize(std::min(m_productCode.find('\0'), kProductCodeSize));
  m_hardwareVersion = ZtMessage_getDataShort(&message, 24);
  m_stationValue = ZtMessage_getDataShort(&message, 26);
  m_baudRateCode = ZtMessage_getDataShort(&message, 28);
  m_updateRate = ZtMessage_getDataShort(&message, 30);
  const size_t next = readList(message, kFixedSize, m_inputs, m_inputCount);
  readList(message, next, m_outputs, m_outputCount);
  return true;
}

ZtMessage EwmsData::toMessage(uint8_t busId) const {
  ZtMessage m;
  ZtMessage_constructSized(&m, kFixedSize + 2 + (m_inputCount + m_outputCount) * kEntrySize);
  ZtMessage_setMessageId(&m, 0x8B);
  ZtMessage_setBusId(&m, busId);
  ZtMessage_setDataLong(&m, m_deviceId, 0);
  uint8_t code[kProductCodeSize] = {};
  std::copy_n(m_productCode.begin(), std::min(m_productCode.size(), kProductCodeSize), code);
  ZtMessage_setDataBuffer(&m, code, kProductCodeSize, 4);
  ZtMessage_setDataShort(&m, m_hardwareVersion, 24);
  ZtMessage_setDataShort(&m, m_stationValue, 26);
  ZtMessage_setDataShort(&m, m_baudRateCode, 28);
  ZtMessage_setDataShort(&m, m_updateRate, 30);
  size_t offset = kFixedSize;
  ZtMessage_setDataByte(&m, static_cast<uint8_t>(m_inputCount), offset++);
  for (size_t i = 0; i < m_inputCount; ++i, offset += kEntrySize) writeEntry(m, offset, m_inputs[i]);
  ZtMessage_setDataByte(&m, static_cast<uint8_t>(m_outputCount), offset++);
  for (size_t i = 0; i < m_outputCount; ++i, offset += kEntrySize) writeEntry(m, offset, m_outputs[i]);
  return m;
}

}  // namespace zelto
