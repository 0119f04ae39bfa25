#include "support/emulator/StationModel.h"

#include <algorithm>

#include "support/emulator/RawTrajectory.h"

namespace zelto::test {

StationModel::StationModel() = default;

void StationModel::attachTo(DeviceEmulator& emu) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_emu = &emu;
  }
  emu.setDeviceId(m_stationId);
  emu.setModel([this](const EmuFrame& request, EmuAction& action) { return answer(request, action); });
}

void StationModel::setStationId(uint32_t id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_stationId = id;
}

void StationModel::setChildren(std::vector<uint32_t> ids, bool listInGivenOrder) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_children = std::move(ids);
  m_givenOrder = listInGivenOrder;
}

void StationModel::setChannel(int channel) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_channel = channel;
}

void StationModel::setRawChannelAnswer(int value) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_rawChannel = value;
}

void StationModel::setUpdateRates(std::vector<uint8_t> rates) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_rates = std::move(rates);
}

void StationModel::setProductCode(const std::string& code) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_productCode = code;
}

void StationModel::setHardwareVersion(uint16_t version) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_hardwareVersion = version;
}

void StationModel::setSendOperational(bool send) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_sendOperational = send;
}

void StationModel::setSendConfigurationApplied(bool send) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_sendApplied = send;
}

void StationModel::setSendRecordingStarted(bool send, uint16_t startFrame) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_sendRecordingStarted = send;
  m_startFrame = startFrame;
}

void StationModel::failTriggerWrite(uint8_t requestId, int nth) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_failAt[requestId] = nth;
}

void StationModel::setChildHandler(std::function<bool(const EmuFrame&, EmuAction&, size_t)> handler) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_childHandler = std::move(handler);
}

void StationModel::setAdmission(bool admit) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_admit = admit;
}

void StationModel::holdRecordAnswers(bool hold) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_holdRecords = hold;
}

void StationModel::releaseRecordAnswers() {
  DeviceEmulator* emu;
  std::vector<EmuFrame> held;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_holdRecords = false;
    held.swap(m_heldRecords);
    emu = m_emu;
  }
  if (emu)
    for (const EmuFrame& f : held) emu->sendFrame(f);
}

std::vector<uint8_t> StationModel::recordAnswer(uint32_t id) {
  // The id little-endian, as in the record; the firmware mark 17, 0x39; location id 7 at 24.
  std::vector<uint8_t> answer(32, 0);
  for (int i = 0; i < 4; ++i) answer[static_cast<size_t>(i)] = static_cast<uint8_t>(id >> (8 * i));
  answer[7] = 17;
  answer[8] = 0x39;
  answer[24] = 7;
  return answer;
}

void StationModel::addStream(uint32_t id, RawTrajectory& stream) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Stream s;
  s.id = id;
  s.source = &stream;
  s.windowStart = static_cast<uint16_t>(m_nextFrame - 1);
  m_streams.push_back(std::move(s));
}

void StationModel::addLegacyStream(uint32_t id, RawTrajectory& stream, uint32_t outputSettings, bool viaStationBus) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Stream s;
  s.id = id;
  s.source = &stream;
  s.windowStart = static_cast<uint16_t>(m_nextFrame - 1);
  s.legacy = true;
  s.outputSettings = outputSettings;
  s.viaStationBus = viaStationBus;
  m_streams.push_back(std::move(s));
  const size_t length = SdiPayload::size(outputSettings) + ((outputSettings & 0x1) ? 2 : 0);
  m_formats[id] = Format{SdiPayload::kOutputMode, outputSettings, static_cast<uint16_t>(length)};
}

std::vector<SdiPayload::Interval> StationModel::relayedIntervals(uint32_t id) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto it = m_intervals.find(id);
  return it == m_intervals.end() ? std::vector<SdiPayload::Interval>() : it->second;
}

EmuFrame StationModel::legacyFrame(Stream& s, uint16_t frame) {
  SdiPayload::Interval i;
  i.deviceId = s.id;
  i.first = s.windowStart;
  i.last = frame;
  // The truth's increments composed over the interval's frames.
  filtersim::Quat dq = filtersim::Quat::Identity();
  filtersim::Vec3 dv = filtersim::Vec3::Zero();
  for (uint16_t f = static_cast<uint16_t>(s.windowStart + 1);; ++f) {
    filtersim::Sample t;
    if (s.source->truth(f, t)) {
      dv += dq * t.dv;
      dq = (dq * t.dq).normalized();
    }
    if (f == frame) break;
  }
  i.dq[0] = dq.w(), i.dq[1] = dq.x(), i.dq[2] = dq.y(), i.dq[3] = dq.z();
  for (int k = 0; k < 3; ++k) i.dv[k] = dv[k];
  EmuFrame f;
  f.busId = s.viaStationBus ? 0xFF : busIdOf(s.id);
  f.messageId = 0x32;
  f.payload = SdiPayload::encode(i, s.outputSettings);
  if (s.outputSettings & 0x1) putU16(f.payload, frame);  // the packet counter after the block
  if (f.busId != 0) m_intervals[s.id].push_back(i);
  return f;
}

void StationModel::loseFrame(uint32_t id, uint16_t frame) { delayFrame(id, frame, 0); }

void StationModel::delayFrame(uint32_t id, uint16_t frame, unsigned after) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (Stream& s : m_streams)
    if (s.id == id) s.script[frame] = after;
}

void StationModel::setSilent(uint32_t id, bool silent) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (Stream& s : m_streams)
    if (s.id == id) s.silent = silent;
}

void StationModel::setNextFrame(uint16_t frame) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_nextFrame = frame;
  for (Stream& s : m_streams) s.windowStart = static_cast<uint16_t>(frame - 1);
}

uint16_t StationModel::nextFrame() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_nextFrame;
}

uint16_t StationModel::lastFrame() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<uint16_t>(m_nextFrame - 1);
}

std::vector<uint32_t> StationModel::listed() const {
  std::vector<uint32_t> ids = m_children;
  if (!m_givenOrder) std::sort(ids.begin(), ids.end());
  return ids;
}

uint8_t StationModel::busIdOf(uint32_t id) const {
  const std::vector<uint32_t> ids = listed();
  const auto it = std::find(ids.begin(), ids.end(), id);
  return it == ids.end() ? 0 : static_cast<uint8_t>(it - ids.begin() + 1);
}

size_t StationModel::relay(size_t n) {
  DeviceEmulator* emu;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    emu = m_emu;
  }
  if (!emu) return 0;
  size_t sent = 0;
  std::vector<EmuFrame> out;
  for (size_t i = 0; i < n; ++i) {
    out.clear();
    {
      // Frames are made under the lock and written outside it: the link may block a write
      // until the library reads, and the emulator's thread answers requests meanwhile.
      std::lock_guard<std::mutex> lock(m_mutex);
      const uint16_t frame = m_nextFrame++;
      for (Stream& s : m_streams) {
        const auto scripted = s.script.find(frame);
        const bool held = s.silent || scripted != s.script.end();
        const bool sent = !s.silent && (scripted == s.script.end() || scripted->second > 0);
        EmuFrame f;
        f.busId = busIdOf(s.id);
        f.messageId = 0x36;
        f.payload = s.source->next(frame, held);
        if (s.legacy) {
          if (sent) f = legacyFrame(s, frame);
        } else {
          putU16(f.payload, 0x1040);
          f.payload.push_back(8);
          putU32(f.payload, s.windowStart);
          putU32(f.payload, frame);
        }
        if (!held) {
          s.windowStart = frame;
          if (f.busId != 0) out.push_back(std::move(f));
        } else if (scripted != s.script.end()) {
          if (scripted->second > 0 && f.busId != 0) m_late.push_back({scripted->second, std::move(f)});
          s.script.erase(scripted);
        }
      }
      for (auto it = m_late.begin(); it != m_late.end();) {
        if (--it->due == 0) {
          out.push_back(std::move(it->frame));
          it = m_late.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (const EmuFrame& f : out) {
      emu->sendFrame(f);
      ++sent;
    }
  }
  return sent;
}

void StationModel::flushingCountdown(uint16_t total, unsigned steps) {
  std::vector<EmuFrame> late;
  uint16_t frame;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Late& l : m_late) late.push_back(std::move(l.frame));
    m_late.clear();
    frame = static_cast<uint16_t>(m_nextFrame - 1);
  }
  DeviceEmulator* emu;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    emu = m_emu;
  }
  if (!emu) return;
  for (const EmuFrame& f : late) emu->sendFrame(f);
  for (unsigned i = 0; i < steps; ++i) {
    const unsigned left = steps - 1 - i;
    flushingProgress(static_cast<uint16_t>(steps > 1 ? total * left / (steps - 1) : 0), frame);
  }
}

EmuFrame StationModel::indicationFrame(uint8_t subId, const std::vector<uint8_t>& data, uint8_t busId) const {
  EmuFrame f;
  f.busId = busId;
  f.messageId = 0x46;
  f.payload.resize(1 + data.size());
  f.payload[0] = subId;
  std::copy(data.begin(), data.end(), f.payload.begin() + 1);
  return f;
}

void StationModel::sendIndication(uint8_t subId, const std::vector<uint8_t>& data, uint8_t busId) {
  DeviceEmulator* emu;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    emu = m_emu;
  }
  if (emu) emu->sendFrame(indicationFrame(subId, data, busId));
}

std::vector<uint8_t> StationModel::connectData(uint32_t id, int16_t rssi, uint8_t status, uint16_t location) {
  std::vector<uint8_t> d;
  putU32(d, id);
  putU16(d, static_cast<uint16_t>(rssi));
  d.push_back(status);
  d.push_back(0);
  putU16(d, location);
  return d;
}

void StationModel::connect(uint32_t id, int16_t rssi, uint8_t status, uint16_t location) {
  sendIndication(2, connectData(id, rssi, status, location));
}

void StationModel::disconnect(uint32_t id, uint8_t status) {
  std::vector<uint8_t> d;
  putU32(d, id);
  putU16(d, 0);
  d.push_back(status);
  sendIndication(4, d);
}

void StationModel::reject(uint32_t id) {
  std::vector<uint8_t> d;
  putU32(d, id);
  sendIndication(6, d);
}

void StationModel::recordingStarted(uint16_t startFrame) {
  std::vector<uint8_t> d(4, 0);
  putU16(d, startFrame);
  sendIndication(17, d);
}

void StationModel::recordingEnded() { sendIndication(18, {}); }

void StationModel::flushingProgress(uint16_t remaining, uint16_t frame) {
  std::vector<uint8_t> d;
  putU16(d, remaining);
  putU16(d, frame);
  sendIndication(19, d);
}

void StationModel::trigger(uint8_t type, uint8_t line, uint32_t timestamp, uint16_t frame) {
  std::vector<uint8_t> d{type, line};
  putU32(d, timestamp);
  putU16(d, frame);
  sendIndication(15, d);
}

void StationModel::battery(uint8_t busId, uint8_t raw) { sendIndication(12, {raw}, busId); }

void StationModel::clientError(uint32_t id, uint8_t code) {
  std::vector<uint8_t> d;
  putU32(d, id);
  d.push_back(code);
  sendIndication(9, d);
}

void StationModel::radioDisabledUnasked() {
  DeviceEmulator* emu;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    emu = m_emu;
    m_channel = -1;
    m_operational = false;
  }
  if (emu) emu->sendFrame(EmuFrame{0xFF, 0xB5, {}});
}

int StationModel::priorityOverlaps() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_overlaps;
}

std::vector<uint8_t> StationModel::priorities() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_priorities;
}

int StationModel::channel() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_channel;
}
bool StationModel::operational() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_operational;
}
bool StationModel::measuring() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_measuring;
}
bool StationModel::recording() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_recording;
}
bool StationModel::syncBox() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_syncBox;
}
bool StationModel::transportMode() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_transport;
}
std::vector<uint32_t> StationModel::accepted() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_accepted;
}
std::vector<uint32_t> StationModel::rejected() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_rejected;
}
std::map<uint8_t, std::vector<uint8_t>> StationModel::syncInEntries() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_syncIn;
}
std::map<uint8_t, std::vector<uint8_t>> StationModel::syncOutEntries() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_syncOut;
}

std::vector<uint8_t> StationModel::configurationPayload() const {
  std::vector<uint32_t> ids;
  std::map<uint32_t, Format> formats;
  uint32_t master;
  uint16_t period;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ids = listed();
    formats = m_formats;
    master = m_stationId;
    period = static_cast<uint16_t>(115200 / std::max<uint16_t>(m_rate, 1));
  }
  // Master id, the sample period of the update rate and skip factor 0, the rest zero.
  std::vector<uint8_t> p;
  putU32(p, master);
  putU16(p, period);
  putU16(p, 0);
  p.resize(96, 0);
  putU16(p, static_cast<uint16_t>(ids.size()));
  for (uint32_t id : ids) {
    const auto format = formats.find(id);
    const Format f = format == formats.end() ? Format{} : format->second;
    putU32(p, id);
    putU16(p, f.dataLength);
    putU16(p, f.outputMode);
    putU32(p, f.outputSettings);
    p.resize(p.size() + 8, 0);
  }
  return p;
}

std::vector<uint8_t> StationModel::settingsPayload() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<uint8_t> p;
  putU32(p, m_stationId);
  std::string code = m_productCode;
  code.resize(20, ' ');
  p.insert(p.end(), code.begin(), code.end());
  putU16(p, m_hardwareVersion);
  putU16(p, 0x5A5A);  // the further station value
  putU16(p, 0x02);    // baud-rate code
  putU16(p, m_rate);
  // Trigger entries: a 0x26/0x28 payload without its slot byte, polarity and once folded into one.
  auto list = [&](const std::map<uint8_t, std::vector<uint8_t>>& entries) {
    p.push_back(static_cast<uint8_t>(entries.empty() ? 0 : entries.rbegin()->first + 1));
    if (entries.empty()) return;
    for (uint8_t slot = 0; slot <= entries.rbegin()->first; ++slot) {
      auto it = entries.find(slot);
      if (it == entries.end()) {
        p.insert(p.end(), 8, 0);
        continue;
      }
      const std::vector<uint8_t>& e = it->second;
      p.push_back(e[1]);
      p.push_back(static_cast<uint8_t>((e[2] << 6) | (e[3] ? 0x20 : 0)));
      p.insert(p.end(), e.begin() + 4, e.begin() + 10);
    }
  };
  list(m_syncIn);
  list(m_syncOut);
  return p;
}

bool StationModel::answer(const EmuFrame& request, EmuAction& action) {
  if (request.busId != 0xFF) {
    std::function<bool(const EmuFrame&, EmuAction&, size_t)> handler;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      handler = m_childHandler;
    }
    if (handler && handler(request, action, request.busId)) return true;
    if (request.messageId == 0x90 && request.payload.size() == 3) {
      // A tracker whose record is not read in pages.
      std::lock_guard<std::mutex> lock(m_mutex);
      const std::vector<uint32_t> ids = listed();
      const uint32_t id = request.busId >= 1 && request.busId <= ids.size() ? ids[request.busId - 1] : 0;
      if (id != 0) {
        if (m_holdRecords) {
          m_heldRecords.push_back(EmuFrame{request.busId, 0x91, recordAnswer(id)});
          action = EmuAction::silence();
        } else {
          action = EmuAction::reply(recordAnswer(id));
        }
        return true;
      }
    }
    action = EmuAction::silence();
    return true;
  }
  const std::vector<uint8_t>& in = request.payload;
  switch (request.messageId) {
    case 0x0C:
      action = EmuAction::reply(configurationPayload());
      return true;
    case 0x8A:
      action = EmuAction::reply(settingsPayload());
      return true;
    default:
      break;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  action = EmuAction::reply();
  switch (request.messageId) {
    case 0x10:
      m_measuring = true;
      return true;
    case 0x30:
      m_measuring = false;
      return true;
    case 0xB6: {
      const int value = m_rawChannel >= 0 ? m_rawChannel : m_channel < 0 ? 0xFFFF : m_channel;
      putU16(action.payload, static_cast<uint16_t>(value));
      return true;
    }
    case 0xB2:
      if (!in.empty()) m_channel = in[0];
      m_operational = false;
      return true;
    case 0xB4:
      m_channel = -1;
      m_operational = false;
      return true;
    case 0xB0:
    case 0x40:
    case 0x2E:
      return true;
    case 0xBA:
      if (in.size() >= 2) m_rate = static_cast<uint16_t>(in[0] << 8 | in[1]);
      if (m_sendApplied) action.followUps.push_back(indicationFrame(20, {}));
      return true;
    case 0xC0:
      m_operational = true;
      if (m_sendOperational) action.followUps.push_back(indicationFrame(7, {}));
      return true;
    case 0xC2:
      if (!in.empty()) m_transport = in[0] != 0;
      action.payload = {static_cast<uint8_t>(m_transport ? 1 : 0)};
      return true;
    case 0xC4:
    case 0xC6:
      if (in.size() >= 4) {
        const uint32_t id = static_cast<uint32_t>(in[0]) << 24 | in[1] << 16 | in[2] << 8 | in[3];
        const bool accept = request.messageId == 0xC4;
        (accept ? m_accepted : m_rejected).push_back(id);
        if (m_admit) {
          const auto listed = std::find(m_children.begin(), m_children.end(), id);
          if (accept && listed == m_children.end()) m_children.push_back(id);
          if (!accept && listed != m_children.end()) m_children.erase(listed);
          if (accept) action.followUps.push_back(indicationFrame(2, connectData(id, -40, 1, 0)));
        }
      }
      return true;
    case 0xB8: {
      // Answered late; a second priority request while one is unanswered counts as an overlap.
      const auto now = std::chrono::steady_clock::now();
      if (now < m_priorityBusyUntil) ++m_overlaps;
      action.delayMs = 30;
      m_priorityBusyUntil = now + std::chrono::milliseconds(action.delayMs);
      if (in.size() >= 5) m_priorities.push_back(in[4]);
      return true;
    }
    case 0xCA:
      action.payload.push_back(static_cast<uint8_t>(m_rates.size()));
      action.payload.insert(action.payload.end(), m_rates.begin(), m_rates.end());
      return true;
    case 0xCC: {
      // No acknowledgement: the station reports the start as indication 17 (7 data bytes).
      m_recording = true;
      action = EmuAction::silence();
      if (m_sendRecordingStarted) {
        std::vector<uint8_t> d(4, 0);
        putU16(d, m_startFrame);
        action.followUps.push_back(indicationFrame(17, d));
      }
      return true;
    }
    case 0xCE:
      m_recording = false;
      return true;
    case 0x2A:
      if (!in.empty()) m_syncBox = in[0] != 0;
      else action.payload = {static_cast<uint8_t>(m_syncBox ? 1 : 0)};
      return true;
    case 0x26:
    case 0x28: {
      auto fail = m_failAt.find(request.messageId);
      if (fail != m_failAt.end() && --fail->second == 0) {
        m_failAt.erase(fail);
        action = EmuAction::silence();
        return true;
      }
      if (in.size() >= 10) (request.messageId == 0x26 ? m_syncIn : m_syncOut)[in[0]] = in;
      return true;
    }
    default:
      return false;
  }
}

}  // namespace zelto::test
