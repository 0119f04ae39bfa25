#include "support/emulator/TrackerModel.h"

#include <termios.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "ekts/Ekts3.h"
#include "ekts/Ekts4.h"
#include "ekts/Ekts5.h"
#include "filters/common/KtHardwareParams.h"
#include "math/Matrix3x3.h"
#include "math/Quaternion.h"
#include "trackers/GenericMatrix.h"
#include "math/Vector3.h"
#include "support/LogFileBuilder.h"
#include "zttypes/ztmisc.h"

namespace zelto::test {

namespace {

void putFloat(std::vector<uint8_t>& out, float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  putU32(out, bits);
}

float getFloat(const std::vector<uint8_t>& bytes, size_t offset) {
  if (bytes.size() < offset + 4) return 0.0f;
  const uint32_t bits = (uint32_t(bytes[offset]) << 24) | (uint32_t(bytes[offset + 1]) << 16) |
                        (uint32_t(bytes[offset + 2]) << 8) | uint32_t(bytes[offset + 3]);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

Vector3 vec(const double v[3]) { return Vector3(v[0], v[1], v[2]); }

Matrix3x3 mat(const double m[9]) {
  Matrix3x3 out;
  for (size_t i = 0; i < 9; ++i) out(i / 3, i % 3) = m[i];
  return out;
}

std::vector<uint8_t> floats(std::initializer_list<float> values) {
  std::vector<uint8_t> out;
  for (float v : values) putFloat(out, v);
  return out;
}

std::vector<uint8_t> u16Bytes(uint16_t v) {
  std::vector<uint8_t> out;
  putU16(out, v);
  return out;
}

std::vector<uint8_t> u32Bytes(uint32_t v) {
  std::vector<uint8_t> out;
  putU32(out, v);
  return out;
}

}  // namespace

// ---- Sensor ----------------------------------------------------------------------------------------

void TrackerSensorModel::writeCalibration(Ekts& r) const {
  r.setOffsetAcc(vec(offsetAcc));
  r.setOffsetGyr(vec(offsetGyr));
  r.setOffsetMag(vec(offsetMag));
  r.setGainAcc(vec(gainAcc));
  r.setGainGyr(vec(gainGyr));
  r.setGainMag(vec(gainMag));
  r.setRAcc(mat(rAcc));
  r.setRGyr(mat(rGyr));
  r.setRMag(mat(rMag));
  r.setGyrOffsetAccDependency(mat(gyrOffsetAccDependency));
  r.setTempLinOffsetAcc(vec(tempLinOffsetAcc));
  r.setTempLinOffsetGyr(vec(tempLinOffsetGyr));
  r.setTempLinOffsetMag(vec(tempLinOffsetMag));
  r.setTempLinGainAcc(vec(tempLinGainAcc));
  r.setTempLinGainGyr(vec(tempLinGainGyr));
  r.setTempLinGainMag(vec(tempLinGainMag));
  r.setTempQuadOffsetAcc(vec(tempQuadOffsetAcc));
  r.setTempQuadOffsetGyr(vec(tempQuadOffsetGyr));
  r.setTempQuadGainAcc(vec(tempQuadGainAcc));
  r.setTempQuadGainGyr(vec(tempQuadGainGyr));
  r.setTempQuadOffsetMag(vec(tempQuadOffsetMag));
  r.setTempQuadGainMag(vec(tempQuadGainMag));
}

void TrackerSensorModel::writeHardwareBlock(uint8_t* block) const {
  KtHardwareParams hardware;
  hardware.acc_range = accRange;
  hardware.gyr_range = gyrRange;
  hardware.sd_v_acc = sdVAcc;
  hardware.sd_v_gyr = sdVGyr;
  hardware.sd_v_mag = sdVMag;
  hardware.deltaAccBias = deltaAccBias;
  hardware.deltaGyrBias = deltaGyrBias;
  hardware.sd_init_accBias = sdInitAccBias;
  hardware.sd_init_gyrBias = sdInitGyrBias;
  hardware.f_dynamic_gyro = fDynamicGyro;
  hardware.writeToDecryptedEktsPage5(block);
}

// ---- Table -----------------------------------------------------------------------------------------

TrackerModel::TrackerModel() {
  m_table = {
      {Period, u16Bytes(1152)},
      {ProcessingFlags, u16Bytes(0)},
      {NoRotation, u16Bytes(0)},
      {SelfTest, u16Bytes(0x01F3)},
      {CurrentScenario, u16Bytes(0x0103)},  // version 1 (high byte), type 3 (low byte)
      {GravityMagnitude, floats({9.8123f})},
      {LabMagneticField, floats({0.25f, -0.0625f, 0.5f})},
      {LatLonAlt, [] {
         std::vector<uint8_t> v = floats({52.25f, 6.875f, 12.5f});
         v.resize(18, 0);
         return v;
       }()},
      {HeadingOffset, floats({0.125f})},
      {LocationId, u16Bytes(7)},
      {ExtOutputMode, u16Bytes(0)},
      {StoreFilterState, {}},
      {StringOutputType, u16Bytes(0)},
      {OutputConfiguration, [] {
         std::vector<uint8_t> v = u16Bytes(0x2010);
         putU16(v, 100);
         return v;
       }()},
      {OutputMode, u16Bytes(0x0002)},
      {OutputSettings, u32Bytes(0x00000001)},
      {OutputSkipFactor, u16Bytes(0)},
      {ErrorMode, u16Bytes(1)},
      {Rs485Delay, u16Bytes(0)},
      {ObjectAlignment, floats({1, 0, 0, 0, 1, 0, 0, 0, 1})},
  };
}

void TrackerModel::attachTo(DeviceEmulator& emulator) {
  emulator.setDeviceId(deviceId);
  emulator.setModel([this](const EmuFrame& request, EmuAction& action) { return answer(request, action); });
}

std::map<uint8_t, std::vector<uint8_t>> TrackerModel::table() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_table;
}

std::vector<uint8_t> TrackerModel::row(uint8_t requestId) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_table.find(requestId);
  return it == m_table.end() ? std::vector<uint8_t>{} : it->second;
}

void TrackerModel::setRow(uint8_t requestId, std::vector<uint8_t> value) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_table[requestId] = std::move(value);
}

uint32_t TrackerModel::syncIn(int parameter) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return parameter >= 0 && parameter < 3 ? m_syncIn[parameter] : 0;
}

uint32_t TrackerModel::syncOut(int parameter) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return parameter >= 0 && parameter < 4 ? m_syncOut[parameter] : 0;
}

void TrackerModel::silenceSync(uint8_t requestId, int parameter) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_silentSync = (requestId << 8) | parameter;
}

uint16_t TrackerModel::u16(uint8_t requestId) const {
  auto it = m_table.find(requestId);
  if (it == m_table.end() || it->second.size() < 2) return 0;
  return static_cast<uint16_t>((it->second[0] << 8) | it->second[1]);
}

uint32_t TrackerModel::u32(uint8_t requestId) const {
  auto it = m_table.find(requestId);
  if (it == m_table.end() || it->second.size() < 4) return 0;
  const auto& b = it->second;
  return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
}

double TrackerModel::real(uint8_t requestId, size_t index) const {
  auto it = m_table.find(requestId);
  return it == m_table.end() ? 0.0 : getFloat(it->second, 4 * index);
}

// ---- Fourth generation -----------------------------------------------------------------------------

void TrackerModel::useFourthGeneration(uint32_t id, std::vector<std::pair<uint16_t, uint16_t>> configuration) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_fourthGeneration = true;
  deviceId = id;
  recordVersion = 5;
  std::vector<uint8_t> rows;
  for (const auto& [identifier, frequency] : configuration) {
    putU16(rows, identifier);
    putU16(rows, frequency);
  }
  m_table[OutputConfiguration] = rows;
  m_table[SyncSettings] = {};
}

void TrackerModel::useGnss(uint32_t id, const double leverArm[3]) {
  std::lock_guard<std::mutex> lock(m_mutex);
  deviceId = id;
  recordVersion = 3;
  m_table[LeverArm] = floats({static_cast<float>(leverArm[0]), static_cast<float>(leverArm[1]),
                              static_cast<float>(leverArm[2])});
  // Fix type 3, 9 satellites, flags 0x01.
  m_table[GpsStatus] = {0x03, 0x09, 0x01};
  // 2026-12-09 12:00:00.250.
  std::vector<uint8_t> utc = u32Bytes(250000000);
  putU16(utc, 2026);
  utc.insert(utc.end(), {12, 9, 12, 0, 0, 0});
  m_table[UtcTime] = utc;
}

bool TrackerModel::fourthGeneration() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_fourthGeneration;
}

std::vector<std::pair<uint16_t, uint16_t>> TrackerModel::outputConfiguration() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::pair<uint16_t, uint16_t>> out;
  auto it = m_table.find(OutputConfiguration);
  if (it == m_table.end()) return out;
  const std::vector<uint8_t>& b = it->second;
  for (size_t i = 0; i + 4 <= b.size(); i += 4) {
    const uint16_t identifier = static_cast<uint16_t>((b[i] << 8) | b[i + 1]);
    if (identifier == 0) break;
    out.emplace_back(identifier, static_cast<uint16_t>((b[i + 2] << 8) | b[i + 3]));
  }
  return out;
}

std::vector<float> TrackerModel::alignmentRotation(int frame) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const float* q = m_rotation[frame == 1 ? 1 : 0];
  return {q[0], q[1], q[2], q[3]};
}

// ---- Conversation ----------------------------------------------------------------------------------

bool TrackerModel::answer(const EmuFrame& request, EmuAction& action) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const std::vector<uint8_t>& p = request.payload;
  switch (request.messageId) {
    case DeviceEmulator::ReqConfiguration:
      action = EmuAction::reply(configurationPayloadLocked());
      return true;
    case RequestRecord: {
      // [x, 255]: the whole record; [x, i]: page i (264 bytes).
      const std::vector<uint8_t> image = recordImageLocked();
      action = EmuAction::reply();
      action.replyId = Record;
      const int page = p.size() >= 2 ? p[1] : 255;
      if (page == 255) {
        action.payload = image;
      } else {
        const size_t from = static_cast<size_t>(page) * 264;
        if (from + 264 > image.size()) return false;
        action.payload.assign(image.begin() + static_cast<std::ptrdiff_t>(from),
                              image.begin() + static_cast<std::ptrdiff_t>(from + 264));
      }
      return true;
    }
    case RequestProfiles:
      answerProfilesLocked(action);
      return true;
    case WritePage:
      answerPageWriteLocked(p, action);
      return true;
    case RequestData:
      // Output on request: one data message per request.
      action = EmuAction::reply(LogFileBuilder::dataPayload(0));
      action.replyId = DeviceEmulator::Data;
      return true;
    case SelfTest:
      action = EmuAction::reply(m_table[SelfTest], kSelfTestDelayMs);
      return true;
    case OutputConfiguration:
      // The device echoes the configuration it took.
      if (!p.empty()) m_table[OutputConfiguration] = p;
      action = EmuAction::reply(m_table[OutputConfiguration]);
      return true;
    case SyncIn:
    case SyncOut: {
      uint32_t* values = request.messageId == SyncIn ? m_syncIn : m_syncOut;
      const size_t count = request.messageId == SyncIn ? 3 : 4;
      if (p.empty()) {
        std::vector<uint8_t> all;
        for (size_t i = 0; i < count; ++i) putU32(all, values[i]);
        action = EmuAction::reply(all);
        return true;
      }
      if (m_silentSync == ((request.messageId << 8) | p[0])) {
        action = EmuAction::silence();
        return true;
      }
      if (p[0] >= count) {
        action = EmuAction::error(0x04);
        return true;
      }
      uint32_t v = 0;
      for (size_t i = 1; i < p.size(); ++i) v = (v << 8) | p[i];
      values[p[0]] = v;
      action = EmuAction::reply();
      return true;
    }
    case AlignmentRotation:
      // [frame, w, x, y, z]: kept per frame; anything else is refused.
      if (!m_fourthGeneration || p.size() != 17 || p[0] > 1) {
        action = EmuAction::error(0x04);
        return true;
      }
      for (size_t i = 0; i < 4; ++i) m_rotation[p[0]][i] = getFloat(p, 1 + 4 * i);
      action = EmuAction::reply();
      return true;
    case SyncSettings:
      if (p.empty()) break;  // a read: the rows as held
      // Whole 12-byte rows, at most ten.
      if (!m_fourthGeneration || p.size() % 12 != 0 || p.size() > 120) {
        action = EmuAction::error(0x04);
        return true;
      }
      m_table[SyncSettings] = p;
      action = EmuAction::reply();
      return true;
    case ProcessingFlags:
    case HeadingOffset:
    case ObjectAlignment: {
      // A set carries exactly the value; a read carries nothing.
      const size_t size = request.messageId == ProcessingFlags ? 2 : request.messageId == HeadingOffset ? 4 : 36;
      if (!p.empty() && p.size() != size) {
        action = EmuAction::error(0x04);
        return true;
      }
      break;
    }
    default:
      break;
  }
  auto row = m_table.find(request.messageId);
  if (row == m_table.end()) return false;
  if (p.empty()) {
    action = EmuAction::reply(row->second);
  } else {
    row->second = p;
    action = EmuAction::reply();
  }
  return true;
}

// ---- Onboard profiles and page writes ---------------------------------------------------------------

void TrackerModel::setOnboardProfiles(std::vector<OnboardProfile> profiles, size_t tailBytes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_profiles = std::move(profiles);
  m_profileTail = std::min<size_t>(tailBytes, 21);
}

std::map<uint8_t, std::vector<uint8_t>> TrackerModel::writtenPages() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_writtenPages;
}

size_t TrackerModel::pageWritesEnded() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_pageWritesEnded;
}

void TrackerModel::answerProfilesLocked(EmuAction& action) const {
  auto entryOf = [](const OnboardProfile& profile) {
    std::vector<uint8_t> e(22, ' ');
    e[0] = profile.type;
    e[1] = profile.version;
    for (size_t i = 0; i < profile.label.size() && i < 20; ++i) e[2 + i] = static_cast<uint8_t>(profile.label[i]);
    return e;
  };
  action = EmuAction::reply();
  for (const OnboardProfile& profile : m_profiles) {
    const std::vector<uint8_t> e = entryOf(profile);
    action.payload.insert(action.payload.end(), e.begin(), e.end());
  }
  if (m_profileTail > 0) {
    const std::vector<uint8_t> e = entryOf({0x7F, 1, "cut short"});
    action.payload.insert(action.payload.end(), e.begin(), e.begin() + static_cast<std::ptrdiff_t>(m_profileTail));
  }
}

void TrackerModel::answerPageWriteLocked(const std::vector<uint8_t>& payload, EmuAction& action) {
  if (payload.size() == 1 && payload[0] == 255) {
    ++m_pageWritesEnded;
    action = EmuAction::reply();
    return;
  }
  if (payload.size() != 266) {
    action = EmuAction::error(0x04);
    return;
  }
  m_writtenPages[payload[1]].assign(payload.begin() + 2, payload.end());
  action = EmuAction::reply();
}

std::vector<uint8_t> TrackerModel::configurationPayload() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return configurationPayloadLocked();
}

std::vector<uint8_t> TrackerModel::recordImage() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return recordImageLocked();
}

std::vector<uint8_t> TrackerModel::configurationPayloadLocked() const {
  std::vector<uint8_t> p;
  putU32(p, deviceId);
  putU16(p, u16(Period));
  putU16(p, u16(OutputSkipFactor));
  p.resize(16, 0);
  for (size_t i = 0; i < 8; ++i) p.push_back(i < date.size() ? static_cast<uint8_t>(date[i]) : '0');
  p.resize(96, 0);
  putU16(p, 1);
  // The one device entry: the tracker itself.
  putU32(p, deviceId);
  putU16(p, dataLength);
  putU16(p, u16(OutputMode));
  putU32(p, u32(OutputSettings));
  putU16(p, u16(CurrentScenario));
  p.push_back(1);  // firmware 1.0.0
  p.push_back(0);
  p.push_back(0);
  p.push_back(static_cast<uint8_t>(filterType));
  p.push_back(filterMajor);
  p.push_back(filterMinor);
  return p;
}

std::vector<uint8_t> TrackerModel::recordImageLocked() const {
  std::unique_ptr<Ekts> r;
  switch (recordVersion) {
    case 4:
      r = std::make_unique<Ekts4>();
      break;
    case 5:
      r = std::make_unique<Ekts5>();
      break;
    default:
      r = std::make_unique<Ekts3>();
      break;
  }
  unsigned char code[20];
  std::memset(code, ' ', sizeof code);
  std::memcpy(code, productCode.data(), std::min(productCode.size(), sizeof code));
  r->setDeviceId(deviceId);
  r->setProductCode(code);
  r->setLocationId(u16(LocationId));
  r->setHardwareVersion(hardwareVersion);
  sensor.writeCalibration(*r);
  r->setOutputMode(u16(OutputMode));
  r->setOutputSettings(u32(OutputSettings));
  r->setSamplePeriod(u16(Period));
  r->setOutputSkipFactor(u16(OutputSkipFactor));
  r->setErrorMode(u16(ErrorMode));
  r->setExtendedOutputMode(u16(ExtOutputMode));
  r->setStringOutputType(u16(StringOutputType));
  r->setStringOutputReportType(u16(StringOutputType));
  r->setRs485AcknowledgeTransmissionDelay(u16(Rs485Delay));
  r->setGravityMagnitude(real(GravityMagnitude, 0));
  r->setMagField(Vector3(real(LabMagneticField, 0), real(LabMagneticField, 1), real(LabMagneticField, 2)));
  r->setLastKnownLatLongAlt(Vector3(real(LatLonAlt, 0), real(LatLonAlt, 1), real(LatLonAlt, 2)));
  r->setHeadingOffset(real(HeadingOffset, 0));
  Matrix3x3 alignment;
  for (size_t i = 0; i < 9; ++i) alignment(i / 3, i % 3) = real(ObjectAlignment, i);
  r->setObjectAlignment(alignment);
  r->setZkfScenario(u16(CurrentScenario));
  r->setProcessingFlags(u16(ProcessingFlags));
  r->setSyncInMode(static_cast<uint16_t>(m_syncIn[0]));
  r->setSyncInSkipFactor(static_cast<uint16_t>(m_syncIn[1]));
  r->setSyncInOffset(m_syncIn[2]);
  r->setSyncOutMode(static_cast<uint16_t>(m_syncOut[0]));
  r->setSyncOutSkipFactor(static_cast<uint16_t>(m_syncOut[1]));
  r->setSyncOutOffset(m_syncOut[2]);
  r->setSyncOutPulseWidth(m_syncOut[3]);
  if (m_table.count(LeverArm)) {
    r->setGpsLeverArm(Vector3(real(LeverArm, 0), real(LeverArm, 1), real(LeverArm, 2)));
    r->setGpsPrintHardwareVersion(gpsHardwareVersion);
  }
  r->setBaudrate(ZtBaud_rateToCode(B115200));
  r->setTestAndCalDate(serialDay);
  r->setLastKnownDate(serialDay);
  // Versions 3 and 4 keep the hardware block at the start of page 5; version 5 keeps the
  // magnetometer's calibration there and only the two ranges elsewhere.
  if (recordVersion == 5) {
    r->setAccRange(sensor.accRange);
    r->setGyrRange(sensor.gyrRange);
    // The gyroscope bias time constant a host filter's tuning needs (s); 0 would refuse it.
    r->setSdBiasTauGyr(Vector3(200.0, 200.0, 200.0));
    r->setNdAcc(Vector3(sensor.ndAcc, sensor.ndAcc, sensor.ndAcc));
    r->setNdGyr(Vector3(sensor.ndGyr, sensor.ndGyr, sensor.ndGyr));
  } else if (page5) {
    sensor.writeHardwareBlock(r->pointerToData() + 4 * Ekts::kPageSize);
  }
  if (m_fourthGeneration) {
    GenericMatrix<unsigned short> table(32, 2);
    const std::vector<uint8_t>& rows = m_table.at(OutputConfiguration);
    for (size_t i = 0; i + 4 <= rows.size() && i / 4 < 32; i += 4) {
      table(static_cast<int32_t>(i / 4), 0) = static_cast<unsigned short>((rows[i] << 8) | rows[i + 1]);
      table(static_cast<int32_t>(i / 4), 1) = static_cast<unsigned short>((rows[i + 2] << 8) | rows[i + 3]);
    }
    r->setOutputConfiguration(table);
    std::vector<uint8_t> sync = m_table.at(SyncSettings);
    sync.resize(120, 0);
    r->setSyncSettings(sync.data());
    r->setQuatRotSensor(Quaternion(m_rotation[0][0], m_rotation[0][1], m_rotation[0][2], m_rotation[0][3]));
    r->setQuatRotLocal(Quaternion(m_rotation[1][0], m_rotation[1][1], m_rotation[1][2], m_rotation[1][3]));
  }
  std::vector<uint8_t> image(static_cast<size_t>(r->getEncryptedEktsData(nullptr)));
  r->getEncryptedEktsData(image.data());
  // Without page 5 the device holds (and sends) the first four pages only.
  if (!page5) image.resize(4 * Ekts::kPageSize);
  return image;
}

}  // namespace zelto::test
