#include "support/emulator/HubModel.h"

#include <termios.h>

#include "zttypes/ztmisc.h"

namespace zelto::test {

namespace {

constexpr uint16_t kRawItem = 0xA010;
constexpr uint16_t kStatusWordItem = 0xE020;

// The value bytes of the first item with the id in a 0x36 payload (empty when none).
std::vector<uint8_t> itemOf(const std::vector<uint8_t>& payload, uint16_t id) {
  size_t at = 0;
  while (at + 3 <= payload.size()) {
    const uint16_t itemId = static_cast<uint16_t>(payload[at] << 8 | payload[at + 1]);
    const size_t size = payload[at + 2];
    if (at + 3 + size > payload.size()) break;
    if (itemId == id) return std::vector<uint8_t>(payload.begin() + static_cast<long>(at + 3),
                                                  payload.begin() + static_cast<long>(at + 3 + size));
    at += 3 + size;
  }
  return {};
}

}  // namespace

HubModel::HubModel() {
  // Settings word 0x12345678, Bluetooth on, dual output off, 115200 baud, no sync, values kept.
  m_settings = {0x12, 0x34, 0x56, 0x78, 0x00, 0x00, static_cast<uint8_t>(ZtBaud_rateToCode(B115200)), 0x00,
                0xA1, 0xA2, 0xB1, 0xB2, 0xC1, 0xC2, 0xD1};
}

void HubModel::useChildOutput(TrackerModel& child, uint16_t period) {
  RawTrajectory::useRawOutput(child, period, 0);
  child.setRow(TrackerModel::OutputSettings, {0, 0, 0, 1});
  child.dataLength = kChildDataLength;
}

void HubModel::attachTo(DeviceEmulator& emulator, std::vector<TrackerModel*> children,
                        std::vector<RawTrajectory*> streams) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_children = std::move(children);
    m_streams = std::move(streams);
  }
  emulator.setDeviceId(deviceId);
  emulator.setModel([this](const EmuFrame& request, EmuAction& action) {
    if (request.busId == 0xFF) return answer(request, action);
    if (request.busId >= 1 && request.busId <= m_children.size())
      return m_children[request.busId - 1]->answer(request, action);
    return false;
  });
  emulator.setDataMessageId(0x32);
  emulator.setDataPayload([this](uint16_t counter) { return dataPayload(counter); });
  emulator.setDataRate(RawTrajectory::rateOf(period, 0));
}

std::vector<uint8_t> HubModel::configurationPayload() const {
  std::vector<uint8_t> p;
  putU32(p, deviceId);
  putU16(p, period);
  putU16(p, 0);
  p.resize(96, 0);
  putU16(p, static_cast<uint16_t>(m_children.size()));
  for (TrackerModel* child : m_children) {
    const std::vector<uint8_t> own = child->configurationPayload();
    p.insert(p.end(), own.begin() + 98, own.begin() + 118);
  }
  return p;
}

std::vector<uint8_t> HubModel::dataPayload(uint16_t counter) {
  std::vector<uint8_t> p;
  putU16(p, counter);
  for (RawTrajectory* stream : m_streams) {
    const std::vector<uint8_t> sample = stream->next(counter);
    std::vector<uint8_t> raw = itemOf(sample, kRawItem);
    raw.resize(20, 0);
    p.insert(p.end(), raw.begin(), raw.end());
    const std::vector<uint8_t> status = itemOf(sample, kStatusWordItem);
    p.push_back(status.size() == 4 ? status[3] : 0);
    putU16(p, counter);
  }
  return p;
}

bool HubModel::answer(const EmuFrame& request, EmuAction& action) {
  const std::vector<uint8_t>& in = request.payload;
  std::lock_guard<std::mutex> lock(m_mutex);
  switch (request.messageId) {
    case DeviceEmulator::ReqConfiguration:
      action = EmuAction::reply(configurationPayload());
      return true;
    case ReadSettings:
      action = EmuAction::reply(m_settings);
      action.replyId = Settings;
      return true;
    case Battery:
      action = EmuAction::reply({m_batteryRaw});
      return true;
    case SetBlueTooth:
      if (in.size() != 1) return false;
      m_settings[4] = in[0];
      action = EmuAction::reply();
      return true;
    case SetDualOutput:
      if (in.size() != 1) return false;
      m_settings[5] = in[0];
      action = EmuAction::reply();
      return true;
    case SetSync:
      if (in.size() != 1) return false;
      m_settings[7] = in[0];
      action = EmuAction::reply();
      return true;
    case SetBusPower:
      if (in.size() != 2) return false;
      m_busPower = static_cast<uint16_t>(in[0] << 8 | in[1]);
      action = EmuAction::reply();
      return true;
    case ErrorMode:
      action = EmuAction::reply();
      if (in.empty()) {
        putU16(action.payload, m_errorMode);
      } else if (in.size() == 2) {
        m_errorMode = static_cast<uint16_t>(in[0] << 8 | in[1]);
      } else {
        return false;
      }
      return true;
    case PowerDown:  // the hub switches off: no answer
      action = EmuAction::silence();
      return true;
    default:
      return false;
  }
}

std::vector<uint8_t> HubModel::settings() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_settings;
}

void HubModel::setSettings(std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_settings = std::move(bytes);
}

void HubModel::setBatteryRaw(uint8_t raw) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_batteryRaw = raw;
}

uint16_t HubModel::errorMode() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_errorMode;
}

uint16_t HubModel::busPower() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_busPower;
}

}  // namespace zelto::test
