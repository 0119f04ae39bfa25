#include "support/emulator/DeviceEmulator.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "support/LogFileBuilder.h"
#include "zttypes/ztmisc.h"

namespace zelto::test {

FdEmulatorLink::FdEmulatorLink(int fd) : m_fd(fd) {
  const int flags = fd >= 0 ? fcntl(fd, F_GETFL) : -1;
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int FdEmulatorLink::read(uint8_t* buffer, size_t size, Clock::time_point deadline) {
  const int fd = m_fd.load();
  if (fd < 0) return -1;
  pollfd p{fd, POLLIN, 0};
  const int64_t left = std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count());
  const timespec timeout{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
  const int r = ::ppoll(&p, 1, &timeout, nullptr);
  if (r == 0) return 0;
  if (r < 0) return errno == EINTR ? 0 : -1;
  if (p.revents & POLLIN) {
    const ssize_t n = ::read(fd, buffer, size);
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return -1;
  }
  // POLLHUP on a pseudo-terminal master only means no slave is open at the moment: keep serving.
  if (p.revents & POLLHUP) {
    std::this_thread::sleep_until(std::min(deadline, Clock::now() + std::chrono::milliseconds(5)));
    return 0;
  }
  return -1;
}

bool FdEmulatorLink::write(const uint8_t* data, size_t size) {
  const int fd = m_fd.load();
  if (fd < 0) return false;
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        // No room: the far side does not read. Wait in slices, giving up once interrupted.
        if (m_interrupted.load()) return false;
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 10);
        continue;
      }
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool EmulatorLink::writeInPieces(const uint8_t* data, size_t size, const std::vector<size_t>& pieces,
                                 std::chrono::milliseconds gap) {
  size_t pos = 0;
  for (size_t piece : pieces) {
    const size_t n = std::min(piece, size - pos);
    if (!write(data + pos, n)) return false;
    pos += n;
    if (pos >= size) return true;
    std::this_thread::sleep_for(gap);
  }
  return write(data + pos, size - pos);
}

uint32_t FdEmulatorLink::lineSpeed() const {
  const int fd = m_fd.load();
  struct termios settings;
  if (fd < 0 || tcgetattr(fd, &settings) != 0) return 0;
  return static_cast<uint32_t>(cfgetospeed(&settings));
}

void FdEmulatorLink::close() {
  const int fd = m_fd.exchange(-1);
  if (fd >= 0) ::close(fd);
}

DeviceEmulator::DeviceEmulator(std::unique_ptr<EmulatorLink> link) : m_link(std::move(link)) {}

DeviceEmulator::~DeviceEmulator() { stop(); }

void DeviceEmulator::start() {
  if (m_thread.joinable()) return;
  m_stop = false;
  m_link->interruptWrites(false);
  m_thread = std::thread([this] { run(); });
}

void DeviceEmulator::stop() {
  m_stop = true;
  // The serving thread may be stuck writing to a far side that does not read.
  m_link->interruptWrites(true);
  if (m_thread.joinable()) m_thread.join();
}

void DeviceEmulator::setDeviceId(uint32_t id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_deviceId = id;
}

void DeviceEmulator::setConfigurationPayload(std::vector<uint8_t> payload) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_configuration = std::move(payload);
}

void DeviceEmulator::setFirmwareVersion(uint8_t major, uint8_t minor, uint8_t revision) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_firmware = {major, minor, revision};
}

void DeviceEmulator::script(uint8_t requestId, EmuAction action) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_scripts[requestId] = std::move(action);
}

void DeviceEmulator::unscript(uint8_t requestId) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_scripts.erase(requestId);
}

void DeviceEmulator::setGotoConfigAfterTries(int n) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_gotoConfigAfter = std::max(1, n);
  m_gotoConfigTries = 0;
}

void DeviceEmulator::setDataRate(double hz) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_rateHz = hz > 0 ? hz : 1.0;
}

void DeviceEmulator::setDataPayload(std::function<std::vector<uint8_t>(uint16_t)> maker) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_dataMaker = std::move(maker);
}

void DeviceEmulator::setDataMessageId(uint8_t messageId) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_dataMessageId = messageId;
}

void DeviceEmulator::setStreamOnMeasurement(bool stream) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_streamOnMeasurement = stream;
}

void DeviceEmulator::setMeasuring(bool measuring) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_measuring = measuring;
  m_nextData = std::chrono::steady_clock::now();
}

void DeviceEmulator::answerOnlyAtSpeed(uint32_t speed) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_answerSpeed = speed;
}

size_t DeviceEmulator::requestsAtSpeed(uint32_t speed) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& entry : m_requestsPerSpeed)
    if (entry.first == speed) return entry.second;
  return 0;
}

std::vector<uint32_t> DeviceEmulator::speedsSeen() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<uint32_t> speeds;
  for (const auto& entry : m_requestsPerSpeed) speeds.push_back(entry.first);
  return speeds;
}

void DeviceEmulator::setModel(std::function<bool(const EmuFrame&, EmuAction&)> model) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_model = std::move(model);
}

void DeviceEmulator::sendFrame(const EmuFrame& frame) { writeBytes(frame.encode()); }

void DeviceEmulator::injectRaw(const std::vector<uint8_t>& bytes) { writeBytes(bytes); }

void DeviceEmulator::setWriteChunking(size_t maxChunk, int pauseMs) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_chunk = maxChunk;
  m_chunkPauseMs = pauseMs;
}

void DeviceEmulator::setWritePieces(std::vector<size_t> pieces, int pauseMs) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_pieces = std::move(pieces);
  m_piecePauseMs = pauseMs;
}

void DeviceEmulator::corruptNextChecksums(int n) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_corrupt = n;
}

void DeviceEmulator::hangUp() {
  m_measuring = false;
  if (!m_thread.joinable() || m_thread.get_id() == std::this_thread::get_id()) {
    std::lock_guard<std::mutex> wlock(m_writeMutex);
    m_link->close();
    return;
  }
  // The serving thread reads the link: it closes it between two reads, so that neither a read
  // nor a write races the close.
  std::unique_lock<std::mutex> lock(m_mutex);
  m_hangUpRequested = true;
  m_receivedChanged.wait_for(lock, std::chrono::seconds(5), [&] { return m_hungUp; });
}

std::vector<EmuFrame> DeviceEmulator::received() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_received;
}

size_t DeviceEmulator::receivedCount(uint8_t messageId) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<size_t>(std::count_if(m_received.begin(), m_received.end(),
                                           [&](const EmuFrame& f) { return f.messageId == messageId; }));
}

bool DeviceEmulator::waitForReceived(uint8_t messageId, size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_receivedChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return static_cast<size_t>(std::count_if(m_received.begin(), m_received.end(), [&](const EmuFrame& f) {
             return f.messageId == messageId;
           })) >= count;
  });
}

// Default data item: the 16-bit packet counter (identifier 0x1020, size 2).
std::vector<uint8_t> DeviceEmulator::defaultDataPayload(uint16_t counter) const {
  std::vector<uint8_t> p;
  putU16(p, 0x1020);
  p.push_back(2);
  putU16(p, counter);
  return p;
}

void DeviceEmulator::writeBytes(std::vector<uint8_t> bytes) {
  size_t chunk;
  int pause;
  std::vector<size_t> pieces;
  int piecePause;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_corrupt > 0 && bytes.size() >= 5) {
      --m_corrupt;
      bytes.back() = static_cast<uint8_t>(bytes.back() + 1);
    }
    chunk = m_chunk;
    pause = m_chunkPauseMs;
    pieces = m_pieces;
    piecePause = m_piecePauseMs;
  }
  std::lock_guard<std::mutex> wlock(m_writeMutex);
  if (!pieces.empty()) {
    m_link->writeInPieces(bytes.data(), bytes.size(), pieces, std::chrono::milliseconds(piecePause));
    return;
  }
  if (chunk == 0) {
    m_link->write(bytes.data(), bytes.size());
    return;
  }
  for (size_t pos = 0; pos < bytes.size(); pos += chunk) {
    m_link->write(bytes.data() + pos, std::min(chunk, bytes.size() - pos));
    if (pause > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause));
  }
}

void DeviceEmulator::answer(const EmuFrame& request, const EmuAction& action) {
  if (action.kind != EmuAction::Kind::Silence) {
    EmuFrame reply;
    reply.busId = request.busId;
    if (action.kind == EmuAction::Kind::Error) {
      reply.messageId = Error;
      reply.payload = {action.errorCode};
    } else {
      reply.messageId = static_cast<uint8_t>(action.replyId >= 0 ? action.replyId : request.messageId + 1);
      reply.payload = action.payload;
    }
    if (action.delayMs > 0) {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_pending.push_back({std::chrono::steady_clock::now() + std::chrono::milliseconds(action.delayMs), reply});
    } else {
      sendFrame(reply);
    }
  }
  if (action.followUps.empty()) return;
  // Queued behind the answer; the serving loop sends due frames in queue order.
  std::lock_guard<std::mutex> lock(m_mutex);
  auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(action.delayMs);
  for (const EmuFrame& f : action.followUps) {
    due += std::chrono::milliseconds(action.followUpDelayMs);
    m_pending.push_back({due, f});
  }
}

void DeviceEmulator::handle(const EmuFrame& frame) {
  EmuAction action;
  bool scripted = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received.push_back(frame);
    auto it = m_scripts.find(frame.messageId);
    if (it != m_scripts.end()) {
      action = it->second;
      scripted = true;
    }
    m_receivedChanged.notify_all();
  }
  if (!scripted) {
    std::function<bool(const EmuFrame&, EmuAction&)> model;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      model = m_model;
    }
    EmuAction modelAction;
    if (model && model(frame, modelAction)) {
      answer(frame, modelAction);
      return;
    }
  }
  if (handleSettingOrReset(frame, scripted, action)) return;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    switch (frame.messageId) {
      case GotoConfig:
        if (++m_gotoConfigTries < m_gotoConfigAfter) return;  // not yet: stay silent
        m_gotoConfigTries = 0;
        if (!scripted || action.kind == EmuAction::Kind::Reply) m_measuring = false;
        break;
      case GotoMeasurement:
        if (!scripted || action.kind == EmuAction::Kind::Reply) {
          m_measuring = m_streamOnMeasurement;
          m_counter = m_startCounter;
          m_nextData = std::chrono::steady_clock::now();
        }
        break;
      case ReqDeviceId:
        if (!scripted) {
          action = EmuAction::reply();
          putU32(action.payload, m_deviceId);
          scripted = true;
        }
        break;
      case ReqConfiguration:
        if (!scripted) {
          action = EmuAction::reply(!m_configuration.empty()     ? m_configuration
                                    : !m_legacyDevices.empty() ? legacyConfigurationPayload(m_deviceId, m_legacyDevices)
                                                               : LogFileBuilder::configurationPayload(m_deviceId));
          scripted = true;
        }
        break;
      case ReqFirmwareRevision:
        if (!scripted) {
          action = EmuAction::reply(m_firmware);
          scripted = true;
        }
        break;
      default:
        break;
    }
  }
  switch (frame.messageId) {
    case GotoConfig:
    case GotoMeasurement:
    case ReqDeviceId:
    case ReqConfiguration:
    case InitBus:
    case ReqFirmwareRevision:
      answer(frame, action);
      break;
    default:
      if (scripted) answer(frame, action);
      break;
  }
}

void DeviceEmulator::run() {
  uint8_t buffer[4096];
  while (!m_stop) {
    if (m_hangUpRequested.exchange(false)) {
      {
        std::lock_guard<std::mutex> wlock(m_writeMutex);
        m_link->close();
      }
      std::lock_guard<std::mutex> lock(m_mutex);
      m_hungUp = true;
      m_receivedChanged.notify_all();
    }
    // Requests, hang-ups and stop are looked at every 5 ms at the latest.
    auto deadline = EmulatorLink::Clock::now() + std::chrono::milliseconds(5);
    EmuFrame data;
    bool sendData = false;
    std::vector<EmuFrame> due;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      const auto now = std::chrono::steady_clock::now();
      if (m_measuring && now >= m_nextData) {
        data = nextDataFrameLocked();
        m_nextData += std::chrono::nanoseconds(static_cast<int64_t>(1e9 / m_rateHz));
        if (m_nextData < now) m_nextData = now;  // fell behind: don't burst
        sendData = true;
      }
      for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (it->due <= now) {
          due.push_back(std::move(it->frame));
          it = m_pending.erase(it);
        } else {
          deadline = std::min(deadline, it->due);
          ++it;
        }
      }
      // The next message's own time, not rounded: at 2 kHz it is half a millisecond away.
      if (m_measuring) deadline = std::min(deadline, m_nextData);
    }
    for (auto& f : due) sendFrame(f);
    if (sendData) {
      sendFrame(data);
      ++m_dataSent;
    }
    const int n = m_link->read(buffer, sizeof buffer, deadline);
    if (n < 0) {
      // Link gone: keep the thread alive until stop() so late calls stay harmless.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    if (n == 0) continue;
    m_bytesReceived += static_cast<uint64_t>(n);
    // The speed the bytes were sent at: the port sets it before it writes, and keeps it far
    // longer than the emulator takes to read them.
    const uint32_t speed = m_link->lineSpeed();
    std::vector<EmuFrame> frames;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_decoder.feed(buffer, static_cast<size_t>(n));
      while (auto f = m_decoder.next()) {
        auto counted = std::find_if(m_requestsPerSpeed.begin(), m_requestsPerSpeed.end(),
                                    [&](const auto& entry) { return entry.first == speed; });
        if (counted == m_requestsPerSpeed.end())
          m_requestsPerSpeed.emplace_back(speed, 1);
        else
          ++counted->second;
        if (m_answerSpeed == 0 || speed == m_answerSpeed) frames.push_back(std::move(*f));
      }
    }
    for (const auto& f : frames) handle(f);
  }
}

// ---- Settings table and reset conversation ---------------------------------------------------------

namespace {
constexpr uint8_t kBaudRate = 0x18;
constexpr uint8_t kWakeUp = 0x3E;
constexpr uint8_t kWakeUpAck = 0x3F;
constexpr uint8_t kReset = 0x40;
}  // namespace

std::map<uint8_t, std::vector<uint8_t>> DeviceEmulator::defaultSettings() {
  return {
      {0x04, {0x04, 0x80}},                      // sample period 1152
      {0x0E, {}},                                // restore factory defaults
      {kBaudRate, {ZtBaud_rateToCode(B115200)}},  // baud rate code
      {0x8E, {0x00, 0x00}},                      // string output type
      {0xA4, {0x00, 0x00}},                      // orientation reset method
      {0xD0, {0x00, 0x00}},                      // output mode
      {0xD2, {0x00, 0x00, 0x00, 0x00}},          // output settings
      {0xD4, {0x00, 0x00}},                      // output skip factor
  };
}

void DeviceEmulator::setSetting(uint8_t requestId, std::vector<uint8_t> value) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_settings[requestId] = std::move(value);
}

void DeviceEmulator::removeSetting(uint8_t requestId) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_settings.erase(requestId);
}

std::vector<uint8_t> DeviceEmulator::setting(uint8_t requestId) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_settings.find(requestId);
  return it == m_settings.end() ? std::vector<uint8_t>{} : it->second;
}

void DeviceEmulator::setResetScript(ResetScript script) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_resetScript = script;
}

size_t DeviceEmulator::resetCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_resets;
}

bool DeviceEmulator::wakeUpAcknowledged(int waitMs) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_receivedChanged.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return m_wakeUpAcknowledged; });
}

bool DeviceEmulator::handleSettingOrReset(const EmuFrame& frame, bool scripted, const EmuAction& action) {
  std::unique_lock<std::mutex> lock(m_mutex);
  const auto now = std::chrono::steady_clock::now();
  if (frame.messageId == kWakeUpAck) {
    if (m_awaitingWakeUpAck) {
      m_awaitingWakeUpAck = false;
      m_wakeUpAcknowledged = true;
      m_receivedChanged.notify_all();
    }
    return true;
  }
  if (now < m_restartingUntil) return true;  // restarting: heard, not answered
  if (frame.messageId == kReset) {
    if (scripted && action.kind != EmuAction::Kind::Reply) {
      lock.unlock();
      answer(frame, action);
      return true;
    }
    ++m_resets;
    m_measuring = false;
    m_restartingUntil = now + std::chrono::milliseconds(m_resetScript.wakeUpDelayMs);
    m_wakeUpAcknowledged = false;
    m_awaitingWakeUpAck = m_resetScript.sendWakeUp;
    if (m_resetScript.sendWakeUp) m_pending.push_back({m_restartingUntil, EmuFrame{0xFF, kWakeUp, {}}});
    if (m_baudCodeAtReset >= 0 && m_answerSpeed != 0)
      m_answerSpeed = ZtBaud_codeToRate(static_cast<uint8_t>(m_baudCodeAtReset));
    m_baudCodeAtReset = -1;
    lock.unlock();
    answer(frame, scripted ? action : EmuAction::reply());
    return true;
  }
  if (scripted) return false;  // the script answers
  auto row = m_settings.find(frame.messageId);
  if (row == m_settings.end()) return false;
  EmuAction reply;
  if (frame.payload.empty()) {
    reply = EmuAction::reply(row->second);
  } else {
    row->second = frame.payload;
    if (frame.messageId == kBaudRate) m_baudCodeAtReset = frame.payload[0];
  }
  lock.unlock();
  answer(frame, reply);
  return true;
}

// ---- Data streams ----------------------------------------------------------------------------

namespace {

constexpr uint8_t kLegacyData = 0x32;

}  // namespace

double DeviceEmulator::legacyValue(uint16_t counter, size_t device, size_t k) {
  // Exact in a float: quarters below 256 plus small whole and half numbers.
  return static_cast<double>(counter % 1000) * 0.25 + static_cast<double>(device) * 10.0 + static_cast<double>(k) * 0.5;
}

std::vector<uint8_t> DeviceEmulator::legacyPayload(const std::vector<LegacyDevice>& devices, uint16_t counter) {
  std::vector<uint8_t> p;
  for (size_t d = 0; d < devices.size(); ++d) {
    const LegacyDevice& dev = devices[d];
    size_t k = 0;
    const auto values = [&](size_t n) {
      for (size_t i = 0; i < n; ++i) putValue(p, legacyValue(counter, d, k++), dev.outputSettings);
    };
    if (dev.outputMode & 0x2) values(9);
    if (dev.outputMode & 0x4) {
      switch (dev.outputSettings & 0xC) {
        case 0x0: values(4); break;
        case 0x4: values(3); break;
        case 0x8: values(9); break;
        default: break;
      }
    }
    if (dev.outputMode & 0x800) p.push_back(static_cast<uint8_t>(counter));
    if (dev.outputSettings & 0x1) putU16(p, counter);
  }
  return p;
}

std::vector<uint8_t> DeviceEmulator::legacyConfigurationPayload(uint32_t masterId, const std::vector<LegacyDevice>& devices) {
  std::vector<uint8_t> p;
  putU32(p, masterId);
  p.resize(96, 0);
  putU16(p, static_cast<uint16_t>(devices.size()));
  for (size_t d = 0; d < devices.size(); ++d) {
    const size_t length = legacyPayload({devices[d]}, 0).size();
    putU32(p, devices[d].deviceId);
    putU16(p, static_cast<uint16_t>(length));
    putU16(p, devices[d].outputMode);
    putU32(p, devices[d].outputSettings);
    p.resize(p.size() + 8, 0);
  }
  return p;
}

void DeviceEmulator::setLegacyDevices(std::vector<LegacyDevice> devices) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_legacyDevices = std::move(devices);
}

void DeviceEmulator::scriptCounters(std::vector<uint16_t> counters) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_scriptedCounters = std::move(counters);
  m_nextScripted = 0;
}

void DeviceEmulator::setStartCounter(uint16_t counter) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_startCounter = counter;
}

EmuFrame DeviceEmulator::nextDataFrameLocked() {
  uint16_t counter = m_counter;
  if (m_nextScripted < m_scriptedCounters.size()) counter = m_scriptedCounters[m_nextScripted++];
  m_counter = static_cast<uint16_t>(counter + 1);
  EmuFrame frame;
  if (!m_legacyDevices.empty()) {
    frame.messageId = kLegacyData;
    frame.payload = legacyPayload(m_legacyDevices, counter);
  } else {
    frame.messageId = m_dataMessageId;
    frame.payload = m_dataMaker ? m_dataMaker(counter) : defaultDataPayload(counter);
  }
  return frame;
}

size_t DeviceEmulator::sendDataBurst(size_t n) {
  // Encoded in blocks of about 64 KiB, each written at once.
  constexpr size_t kBlock = 64 * 1024;
  std::vector<uint8_t> block;
  block.reserve(kBlock + 512);
  size_t sent = 0;
  while (sent < n) {
    block.clear();
    size_t inBlock = 0;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      while (sent + inBlock < n && block.size() < kBlock) {
        const std::vector<uint8_t> bytes = nextDataFrameLocked().encode();
        block.insert(block.end(), bytes.begin(), bytes.end());
        ++inBlock;
      }
    }
    {
      std::lock_guard<std::mutex> wlock(m_writeMutex);
      if (!m_link->write(block.data(), block.size())) break;
    }
    sent += inBlock;
    m_dataSent += static_cast<uint32_t>(inBlock);
  }
  return sent;
}

size_t DeviceEmulator::sendDataChunked(size_t n, size_t maxChunk, size_t framesPerPause,
                                       std::chrono::microseconds pause) {
  std::vector<uint8_t> bytes;
  std::vector<size_t> frameEnds;  // offset after each message
  frameEnds.reserve(n);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (size_t i = 0; i < n; ++i) {
      const std::vector<uint8_t> frame = nextDataFrameLocked().encode();
      bytes.insert(bytes.end(), frame.begin(), frame.end());
      frameEnds.push_back(bytes.size());
    }
  }
  if (maxChunk == 0) maxChunk = bytes.size();
  if (framesPerPause == 0) framesPerPause = n;
  size_t frames = 0;   // messages written whole
  size_t written = 0;  // bytes
  bool failed = false;
  while (frames < n && !failed) {
    // One group of messages, cut into chunks, then the pause.
    const size_t groupEnd = frameEnds[std::min(n, frames + framesPerPause) - 1];
    while (written < groupEnd) {
      const size_t size = std::min(maxChunk, groupEnd - written);
      std::lock_guard<std::mutex> wlock(m_writeMutex);
      if (!m_link->write(bytes.data() + written, size)) {
        failed = true;
        break;
      }
      written += size;
    }
    frames = static_cast<size_t>(std::upper_bound(frameEnds.begin(), frameEnds.end(), written) - frameEnds.begin());
    if (!failed && frames < n && pause.count() > 0) std::this_thread::sleep_for(pause);
  }
  m_dataSent += static_cast<uint32_t>(frames);
  return frames;
}

}  // namespace zelto::test
