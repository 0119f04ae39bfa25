#include "otherdevices/wireless/WmsData.h"

#include <algorithm>

namespace zelto {

namespace {

template <typename Entry, size_t N>
void storeEntry(std::array<Entry, N>& slots, size_t& reported, const Entry& entry) {
  if (entry.index < 0 || static_cast<size_t>(entry.index) >= N) return;
  slots[static_cast<size_t>(entry.index)] = entry;
  reported = std::max(reported, static_cast<size_t>(entry.index) + 1);
}

}  // namespace

WmsData::WmsData() { clear(); }

void WmsData::clear() {
  m_deviceId = 0;
  m_productCode.assign(1, ' ');
  m_hardwareVersion = m_stationValue = m_baudRateCode = m_updateRate = 0;
  m_inputCount = m_outputCount = 0;
  for (auto& e : m_inputs) {
    e = WmsSyncInSettings{};
    e.index = WTA_None;
  }
  for (auto& e : m_outputs) {
    e = WmsSyncOutSettings{};
    e.index = WTE_None;
  }
}

void WmsData::clearTriggerSettings() {
  WmsSyncInSettings in;
  in.polarity = 0;
  WmsSyncOutSettings out;
  out.polarity = 0;
  m_inputs.fill(in);
  m_outputs.fill(out);
  for (int i = 0; i < WTA_Count; ++i) m_inputs[static_cast<size_t>(i)].index = WTA_None;
  for (int i = 0; i < WTE_Count; ++i) m_outputs[static_cast<size_t>(i)].index = WTE_None;
}

const WmsSyncInSettings& WmsData::internalInputTriggerSetting(int32_t action) const {
  return m_inputs[static_cast<size_t>(std::clamp<int32_t>(action, 0, kSlots - 1))];
}

const WmsSyncOutSettings& WmsData::internalOutputTriggerSetting(int32_t event) const {
  return m_outputs[static_cast<size_t>(std::clamp<int32_t>(event, 0, kSlots - 1))];
}

void WmsData::setTriggerSettings(const WmsSyncInSettings& setting) { storeEntry(m_inputs, m_inputCount, setting); }

void WmsData::setTriggerSettings(const WmsSyncOutSettings& setting) { storeEntry(m_outputs, m_outputCount, setting); }

}  // namespace zelto
