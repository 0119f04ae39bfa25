#include "trackers/KtMk4Device.h"

#include <cctype>
#include <cmath>
#include <cstring>
#include <string>

#include "device/ZtOutputConfiguration.h"
#include "device/ZtSyncLines.h"
#include "device/config/DeviceConfigurationMessages.h"
#include "ekts/EktsManager.h"
#include "errors/ZtException.h"
#include "filters/common/KtMk4HardwareParams.h"
#include "filters/common/ZtZkfFilter.h"
#include "math/Matrix3x3.h"
#include "trackers/GenericMatrix.h"
#include "trackers/KtMk4CalibrationInfo.h"
#include "trackers/KtixDevice.h"
#include "trackers/Mk4FilterSupport.h"

namespace {

constexpr uint8_t kSetProcessingFlags = 0x20;
constexpr uint8_t kSetSyncSettings = 0x2C;
constexpr uint8_t kSetHeadingOffset = 0x82;
constexpr uint8_t kSetAlignmentRotation = 0xEC;
constexpr unsigned kAckTimeoutMs = 200;

constexpr ZtDataIdentifier kGroupMask = 0xFE00;
constexpr ZtDataIdentifier kTypeMask = 0xFFF0;
constexpr ZtDataIdentifier kOrientationGroup = 0x2000;
constexpr ZtDataIdentifier kQuaternion = 0x2010;
constexpr ZtDataIdentifier kVelocityIncrement = 0x4010;
constexpr ZtDataIdentifier kAcceleration = 0x4020;
constexpr ZtDataIdentifier kRateOfTurn = 0x8020;
constexpr ZtDataIdentifier kOrientationIncrement = 0x8030;
constexpr ZtDataIdentifier kRawReadout = 0xA010;
constexpr ZtDataIdentifier kMagneticField = 0xC020;
constexpr ZtDataIdentifier kStatusGroup = 0xE000;
constexpr ZtDataIdentifier kStatusWord = 0xE020;

// Increments of the raw window and of a host filter.
constexpr int kRawSdiRate = 400;
constexpr int kOutputRate = 100;

// A sync message field holds hundreds of microseconds in 16 bits.
constexpr int64_t kMaxSyncHundreds = 0xFFFF;
constexpr int32_t kClockSyncFunction = 9;
constexpr size_t kSyncRowSize = 12;

void putU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void putFloat(std::vector<uint8_t>& out, double value) {
  const float f = static_cast<float>(value);
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(bits >> shift));
}

uint16_t getU16(const uint8_t* b) { return static_cast<uint16_t>((b[0] << 8) | b[1]); }

// Hamilton product, scalar first.
zelto::Quaternion quatMul(const ZtQuaternion& a, const ZtQuaternion& b) {
  zelto::Quaternion out;
  out.isQuatMulQuat(a, b);
  return out;
}

// R(q), row-major.
void rotationMatrix(const ZtQuaternion& q, double r[9]) {
  const double w = q.w, x = q.x, y = q.y, z = q.z;
  r[0] = w * w + x * x - y * y - z * z;
  r[1] = 2 * (x * y - w * z);
  r[2] = 2 * (x * z + w * y);
  r[3] = 2 * (x * y + w * z);
  r[4] = w * w - x * x + y * y - z * z;
  r[5] = 2 * (y * z - w * x);
  r[6] = 2 * (x * z - w * y);
  r[7] = 2 * (y * z + w * x);
  r[8] = w * w - x * x - y * y + z * z;
}

bool normalise(double v[3]) {
  const double n = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  if (!(n >= 1e-16)) {
    v[0] = v[1] = v[2] = 0.0;
    return false;
  }
  for (int i = 0; i < 3; ++i) v[i] /= n;
  return true;
}

void cross(const double a[3], const double b[3], double out[3]) {
  out[0] = a[1] * b[2] - a[2] * b[1];
  out[1] = a[2] * b[0] - a[0] * b[2];
  out[2] = a[0] * b[1] - a[1] * b[0];
}

zelto::Quaternion quatOfMatrix(const double m[9]) {
  zelto::Matrix3x3 matrix;
  for (int i = 0; i < 9; ++i) matrix(i / 3, i % 3) = m[i];
  zelto::Quaternion q;
  q.isRmat(matrix);
  return q;
}

// A stored rotation: all zeros (a record that never held one) reads as the identity.
zelto::Quaternion unitOrIdentity(const zelto::Quaternion& q) {
  const double n = std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z);
  if (!(n > 1e-9) || !std::isfinite(n)) return zelto::Quaternion();
  return zelto::Quaternion(q.w / n, q.x / n, q.y / n, q.z / n);
}

bool sameType(ZtDataIdentifier a, ZtDataIdentifier b) { return (a & kTypeMask) == (b & kTypeMask); }
bool sameGroup(ZtDataIdentifier a, ZtDataIdentifier b) { return (a & kGroupMask) == (b & kGroupMask); }

// An entry of the identifier: its group when the identifier is a whole group, else its type.
bool matches(ZtDataIdentifier entry, ZtDataIdentifier id) {
  return id == (id & kGroupMask) ? sameGroup(entry, id) : sameType(entry, id);
}

ZtSyncSetting syncSetting(int32_t mk4Line, int32_t function, int32_t polarity, uint32_t pulseWidth, int32_t offset,
                          uint16_t skipFirst, uint16_t skipFactor, uint16_t clockPeriod, uint8_t triggerOnce) {
  ZtSyncSetting s;
  std::memset(&s, 0, sizeof s);
  s.line = ztl4ToZtl(mk4Line);
  s.function = function;
  s.polarity = polarity;
  s.pulseWidth = pulseWidth;
  s.offset = offset;
  s.skipFirst = skipFirst;
  s.skipFactor = skipFactor;
  s.clockPeriod = clockPeriod;
  s.triggerOnce = triggerOnce;
  return s;
}

bool startsWithIgnoringCase(const std::string& text, const char* prefix) {
  const size_t n = std::strlen(prefix);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::toupper(static_cast<unsigned char>(text[i])) != std::toupper(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

}  // namespace

// ---- Construction ----------------------------------------------------------------------------------

KtMk4Device::KtMk4Device(DeviceFactory& factory, Communicator* communicator, KtHardwareParams* hardware)
    : KtDevice(factory, communicator), m_hardwareParams(hardware ? hardware : new KtMk4HardwareParams()) {}

KtMk4Device::KtMk4Device(ZtDevice* master, const ZtDeviceId& deviceId, KtHardwareParams* hardware)
    : KtDevice(master, deviceId), m_hardwareParams(hardware ? hardware : new KtMk4HardwareParams()) {}

KtMk4Device::~KtMk4Device() {
  delete m_hardwareParams;
  m_hardwareParams = nullptr;
}

KtHardwareParams& KtMk4Device::hardwareParameters() { return *m_hardwareParams; }

// ---- Configuration mirror --------------------------------------------------------------------------

size_t KtMk4Device::configurationEntries(std::array<ZtOutputConfiguration, kMaxEntries>& out) const {
  std::lock_guard<std::mutex> lock(m_configurationLock);
  out = m_configuration;
  return m_configurationCount;
}

KtMk4Device::Entries KtMk4Device::configurationList() const {
  std::lock_guard<std::mutex> lock(m_configurationLock);
  return Entries(m_configuration.begin(), m_configuration.begin() + static_cast<std::ptrdiff_t>(m_configurationCount));
}

void KtMk4Device::refreshFromRecord() {
  if (m_ekts->hasOutputConfiguration()) {
    const zelto::GenericMatrix<unsigned short> table = m_ekts->outputConfiguration();
    std::lock_guard<std::mutex> lock(m_configurationLock);
    m_configurationCount = 0;
    for (int32_t r = 0; r < table.rows() && r < static_cast<int32_t>(kMaxEntries) && table.cols() >= 2; ++r) {
      if (table(r, 0) == 0) break;
      m_configuration[m_configurationCount++] = ZtOutputConfiguration{table(r, 0), table(r, 1)};
    }
  }
  std::lock_guard<std::mutex> lock(m_orientationLock);
  m_sensorRotation = m_ekts->hasQuatRotSensor() ? unitOrIdentity(m_ekts->quatRotSensor()) : m_sensorRotation;
  m_localRotation = m_ekts->hasQuatRotLocal() ? unitOrIdentity(m_ekts->quatRotLocal()) : m_localRotation;
}

bool KtMk4Device::readEkts() {
  if (!KtDevice::readEkts()) return false;
  refreshFromRecord();
  // The windows follow the configuration the record holds from the first read on, also for a
  // class whose filter set-up never reaches them.
  initializeSdiWindows();
  return true;
}

bool KtMk4Device::isInLegacyMode() const {
  std::lock_guard<std::mutex> lock(m_configurationLock);
  return m_configurationCount == 0;
}

ZtOutputConfigurationArray KtMk4Device::outputConfiguration() const {
  std::array<ZtOutputConfiguration, kMaxEntries> entries;
  const size_t count = configurationEntries(entries);
  ZtOutputConfigurationArray out;
  ZtOutputConfigurationArray_construct(&out, count, count ? entries.data() : nullptr);
  return out;
}

ZtOutputConfigurationArray KtMk4Device::processedOutputConfiguration() const {
  Entries entries = configurationList();
  int orientation = -1, dv = -1, acc = -1, dq = -1, rate = -1, mag = -1, status = -1, raw = -1;
  componentFrequencies(entries.data(), entries.size(), orientation, dv, acc, dq, rate, mag, status, raw);
  rawDataDerivedFrequencies(entries, raw, rate, acc, dq, dv, mag);
  calculatedInertialFrequencies(entries, dq, rate, dv, acc);
  if (outputWindowDecimation() != 1) {
    entries.push_back({kQuaternion, kOutputRate});
    // Status at the host output's rate unless the device reports its orientation at a rate.
    if (status == -1)
      entries.push_back({kStatusWord, static_cast<uint16_t>(orientation > 0 ? orientation : kOutputRate)});
  }
  ZtOutputConfigurationArray out;
  ZtOutputConfigurationArray_construct(&out, entries.size(), entries.empty() ? nullptr : entries.data());
  return out;
}

bool KtMk4Device::setOutputConfiguration(ZtOutputConfigurationArray& configuration) {
  const size_t size = configuration.data ? configuration.size : 0;
  // The record's table has 32 rows: a longer configuration cannot be held.
  if (size > kMaxEntries) return false;
  {
    std::lock_guard<std::mutex> lock(m_configurationLock);
    bool equal = size == m_configurationCount;
    for (size_t i = 0; equal && i < size; ++i)
      equal = configuration.data[i].dataIdentifier == m_configuration[i].dataIdentifier &&
              configuration.data[i].frequency == m_configuration[i].frequency;
    if (equal) return true;
  }
  if (!KtDevice::setOutputConfiguration(configuration)) return false;
  const size_t acknowledged = configuration.data ? std::min(configuration.size, kMaxEntries) : 0;
  if (m_ekts->hasOutputConfiguration()) {
    zelto::GenericMatrix<unsigned short> table(static_cast<int32_t>(kMaxEntries), 2);
    for (size_t i = 0; i < acknowledged; ++i) {
      table(static_cast<int32_t>(i), 0) = configuration.data[i].dataIdentifier;
      table(static_cast<int32_t>(i), 1) = configuration.data[i].frequency;
    }
    m_ekts->setOutputConfiguration(table);
  } else {
    std::lock_guard<std::mutex> lock(m_configurationLock);
    m_configurationCount = 0;
    for (size_t i = 0; i < acknowledged && configuration.data[i].dataIdentifier != 0; ++i)
      m_configuration[m_configurationCount++] = configuration.data[i];
  }
  refreshFromRecord();
  initializeSdiWindows();
  return true;
}

// ---- Rates ---------------------------------------------------------------------------------------------

int KtMk4Device::calculateUpdateRateImp(ZtDataIdentifier id, const ZtOutputConfiguration* entries,
                                        size_t count) const {
  if (usesLegacyDeviceMode()) {
    const uint16_t mode = m_ekts->outputMode();
    const ZtDataIdentifier type = id & kTypeMask;
    const bool enabled = (type == kRawReadout && (mode & 0x4000) != 0) ||
                         ((type == kRateOfTurn || type == kAcceleration) && (mode & 0x0002) != 0) ||
                         (sameGroup(id, kOrientationGroup) && (mode & 0x0004) != 0);
    return enabled ? KtDevice::calculateUpdateRate() : 0;
  }
  if (id == (id & kGroupMask)) {
    // A whole group: an entry of the group's own type beats any other; the first wins.
    const ZtOutputConfiguration* best = nullptr;
    for (size_t i = 0; i < count; ++i) {
      if (!sameGroup(entries[i].dataIdentifier, id)) continue;
      if (sameType(entries[i].dataIdentifier, id)) return entries[i].frequency;
      if (!best) best = &entries[i];
    }
    return best ? best->frequency : 0;
  }
  for (size_t i = 0; i < count; ++i)
    if (entries[i].dataIdentifier == id) return entries[i].frequency;
  for (size_t i = 0; i < count; ++i)
    if (sameType(entries[i].dataIdentifier, id)) return entries[i].frequency;
  return 0;
}

int KtMk4Device::calculateUpdateRate() const {
  return usesLegacyDeviceMode() ? KtDevice::calculateUpdateRate() : 0;
}

int KtMk4Device::calculateUpdateRate(ZtDataIdentifier id) const {
  std::array<ZtOutputConfiguration, kMaxEntries> entries;
  const size_t count = configurationEntries(entries);
  return calculateUpdateRateImp(id, entries.data(), count);
}

int KtMk4Device::calculateProcessedUpdateRate(ZtDataIdentifier id) const {
  ZtOutputConfigurationArray processed = processedOutputConfiguration();
  const int rate = calculateUpdateRateImp(id, processed.data, processed.data ? processed.size : 0);
  ZtArray_destruct(ZTARRAY(&processed));
  return rate;
}

void KtMk4Device::componentFrequencies(const ZtOutputConfiguration* entries, size_t count, int& orientation, int& dv,
                                       int& acc, int& dq, int& rate, int& mag, int& status, int& raw) const {
  for (size_t i = 0; i < count; ++i) {
    const ZtDataIdentifier id = entries[i].dataIdentifier;
    const int f = entries[i].frequency;
    if (sameGroup(id, kOrientationGroup)) orientation = f;
    else if (sameType(id, kVelocityIncrement)) dv = f;
    else if (sameType(id, kAcceleration)) acc = f;
    else if (sameType(id, kOrientationIncrement)) dq = f;
    else if (sameType(id, kRateOfTurn)) rate = f;
    else if (sameType(id, kMagneticField)) mag = f;
    else if (sameType(id, kRawReadout)) raw = f;
    else if (sameGroup(id, kStatusGroup)) status = f;
  }
}

void KtMk4Device::rawDataDerivedFrequencies(Entries& entries, int raw, int& rate, int& acc, int& dq, int& dv,
                                            int& mag) const {
  if (raw <= 0) return;
  const uint16_t r = static_cast<uint16_t>(raw);
  if (rate == -1) {
    rate = raw;
    entries.push_back({kRateOfTurn, r});
  }
  if (acc == -1) {
    acc = raw;
    entries.push_back({kAcceleration, r});
  }
  if (mag == -1) {
    mag = raw;
    entries.push_back({kMagneticField, r});
  }
  const bool scaled = sdiScale() != 1.0;
  const int increments = raw / rawWindowDecimation();
  if (dq == -1 && scaled) {
    dq = increments;
    entries.push_back({kOrientationIncrement, static_cast<uint16_t>(increments)});
  }
  if (dv == -1 && scaled) {
    dv = increments;
    entries.push_back({kVelocityIncrement, static_cast<uint16_t>(increments)});
  }
}

void KtMk4Device::calculatedInertialFrequencies(Entries& entries, int& dq, int& rate, int& dv, int& acc) const {
  if (dq > 0 && rate == -1) {
    rate = dq;
    entries.push_back({kRateOfTurn, static_cast<uint16_t>(rate)});
  }
  if (dv > 0 && acc == -1) {
    acc = dv;
    entries.push_back({kAcceleration, static_cast<uint16_t>(acc)});
  }
  const bool scaled = sdiScale() != 1.0;
  if (rate > 0 && dq == -1 && scaled) {
    dq = rate / rawWindowDecimation();
    entries.push_back({kOrientationIncrement, static_cast<uint16_t>(dq)});
  }
  if (acc > 0 && dv == -1 && scaled) {
    dv = acc / rawWindowDecimation();
    entries.push_back({kVelocityIncrement, static_cast<uint16_t>(dv)});
  }
}

bool KtMk4Device::initializeSdiWindows() {
  const int dq = calculateUpdateRate(kOrientationIncrement);
  const int dv = calculateUpdateRate(kVelocityIncrement);
  const int raw = calculateUpdateRate(kRawReadout);
  const int rateOfTurn = calculateUpdateRate(kRateOfTurn);
  int sdi = dq == dv ? dq : 0;
  double scale = 1.0;
  int rawDecimation = 1;
  int outputDecimation = 1;
  bool result = false;
  if (raw > 0 && raw % kRawSdiRate == 0) {
    scale = 1.0 / raw;
    rawDecimation = raw / kRawSdiRate;
    if (sdi == 0) sdi = kRawSdiRate;
  }
  if (sdi > 0 && sdi % kOutputRate == 0) {
    outputDecimation = sdi / kOutputRate;
    result = true;
  } else if (sdi == 0 && rateOfTurn > 0 && rateOfTurn % kOutputRate == 0) {
    scale = 1.0 / rateOfTurn;
    outputDecimation = rateOfTurn / kOutputRate;
    rawDecimation = 1;
    result = true;
  } else {
    scale = 1.0;
    rawDecimation = 1;
  }
  {
    std::lock_guard<std::mutex> lock(m_orientationLock);
    m_sdiScale = scale;
    m_sdiWindow.setDecimationRate(rawDecimation);
    m_outputSdiWindow.setDecimationRate(outputDecimation);
  }
  // One calibrated sample spans the scale; without one (1.0) it spans a sample of the raw or
  // calibrated rate, so that no sample is integrated over a whole second.
  const double period = scale != 1.0 ? scale : raw > 0 ? 1.0 / raw : rateOfTurn > 0 ? 1.0 / rateOfTurn : 0.0;
  // With an output configuration the host makes increments only where the processed
  // configuration names them (a scaled window) and the device does not send its own: a packet's
  // increments keep one rate. In legacy mode the tracker base's rule holds (every window).
  const bool legacy = usesLegacyDeviceMode();
  setSdiPeriod(legacy ? 0.0 : period);
  setHostSdiEnabled(legacy || (dq <= 0 && dv <= 0 && scale != 1.0));
  return result;
}

void KtMk4Device::writeOutputWindow(zelto::SettingsFile& file) const {
  double content[9];
  {
    std::lock_guard<std::mutex> lock(m_orientationLock);
    const zelto::SdiWindow& w = m_outputSdiWindow;
    content[0] = w.getDecimationRate();
    content[1] = w.getDecimationCounter();
    content[2] = w.m_dq.w, content[3] = w.m_dq.x, content[4] = w.m_dq.y, content[5] = w.m_dq.z;
    for (int i = 0; i < 3; ++i) content[6 + i] = w.m_dv[i];
  }
  zelto::mk4::putValues(file, "host.window", content, 9);
}

bool KtMk4Device::resumeOutputWindow(const zelto::SettingsFile& file) {
  double content[9];
  if (!zelto::mk4::getValues(file, "host.window", content, 9)) return false;
  zelto::SdiData partial;
  partial.m_dq = zelto::Quaternion(content[2], content[3], content[4], content[5]);
  for (int i = 0; i < 3; ++i) partial.m_dv[i] = content[6 + i];
  std::lock_guard<std::mutex> lock(m_orientationLock);
  if (content[0] != m_outputSdiWindow.getDecimationRate()) return false;
  return m_outputSdiWindow.resume(partial, static_cast<int>(content[1]));
}

int KtMk4Device::rawWindowDecimation() const {
  std::lock_guard<std::mutex> lock(m_orientationLock);
  return m_sdiWindow.getDecimationRate();
}

int KtMk4Device::outputWindowDecimation() const {
  std::lock_guard<std::mutex> lock(m_orientationLock);
  return m_outputSdiWindow.getDecimationRate();
}

double KtMk4Device::sdiScale() const {
  std::lock_guard<std::mutex> lock(m_orientationLock);
  return m_sdiScale;
}

std::vector<int> KtMk4Device::supportedUpdateRates(ZtDataIdentifier id) const {
  std::vector<int> rates;
  const int base = getBaseFrequency(id);
  for (int k = 1; k <= base; ++k) {
    if (base % k != 0) continue;
    const int rate = base / k;
    if (rate == 500 || rate == 250 || rate == 125) continue;
    rates.push_back(rate);
  }
  return rates;
}

bool KtMk4Device::hasDataEnabled(ZtDataIdentifier id) const {
  if (usesLegacyDeviceMode()) return KtDevice::hasDataEnabled(id);
  std::lock_guard<std::mutex> lock(m_configurationLock);
  for (size_t i = 0; i < m_configurationCount; ++i)
    if (matches(m_configuration[i].dataIdentifier, id)) return true;
  return false;
}

bool KtMk4Device::hasProcessedDataEnabled(ZtDataIdentifier id) const {
  if (usesLegacyDeviceMode()) return KtDevice::hasProcessedDataEnabled(id);
  ZtOutputConfigurationArray processed = processedOutputConfiguration();
  bool found = false;
  for (size_t i = 0; processed.data && i < processed.size && !found; ++i)
    found = matches(processed.data[i].dataIdentifier, id);
  ZtArray_destruct(ZTARRAY(&processed));
  return found;
}

// ---- Legacy view ---------------------------------------------------------------------------------------

int KtMk4Device::outputSkipFactor() const { return usesLegacyDeviceMode() ? KtDevice::outputSkipFactor() : 0; }

bool KtMk4Device::setOutputSkipFactor(uint16_t skipFactor) {
  return usesLegacyDeviceMode() ? KtDevice::setOutputSkipFactor(skipFactor) : true;
}

ZtDeviceMode KtMk4Device::deviceMode() const {
  if (usesLegacyDeviceMode()) return ZtDevice::deviceMode();
  ZtDeviceMode mode;
  mode.outputMode = 0;
  mode.outputSettings = 1;
  // 115200 / 1152 = 100 Hz.
  mode.period = 1152;
  mode.skipFactor = 0;
  return mode;
}

bool KtMk4Device::setDeviceMode(const ZtDeviceMode& mode) {
  if (m_ekts->hasOutputConfiguration() && m_ekts->outputConfiguration()(0, 0) != 0) {
    ZtOutputConfigurationArray empty;
    ZtOutputConfigurationArray_construct(&empty, 0, nullptr);
    const bool cleared = setOutputConfiguration(empty);
    ZtArray_destruct(ZTARRAY(&empty));
    if (!cleared) return false;
  }
  return ZtDevice::setDeviceMode(mode);
}

// ---- Filter windows ------------------------------------------------------------------------------------

void KtMk4Device::restartFilter(ZkfParams* parameters) {
  KtDevice::restartFilter(parameters);
  std::lock_guard<std::mutex> lock(m_orientationLock);
  m_outputSdiWindow.restart();
}

void KtMk4Device::resetSoftwareFilter(zelto::SettingsFile* settings) {
  KtDevice::resetSoftwareFilter(settings);
  const zelto::NonIntrusiveSharedPointer<ZtZkfFilter> filter = zkfFilter();
  if (!filter) return;
  {
    std::lock_guard<std::mutex> lock(m_orientationLock);
    m_outputSdiWindow.restart();
  }
  std::lock_guard<std::recursive_mutex> lock(m_filterLock);
  filter->restart(nullptr);
}

bool KtMk4Device::setNoRotation(uint16_t duration) {
  const zelto::NonIntrusiveSharedPointer<ZtZkfFilter> filter = zkfFilter();
  if (filter && filter->isInitialized()) {
    m_pendingNoRotation.store(duration);
    return true;
  }
  return KtDevice::setNoRotation(duration);
}

// ---- Calibration -----------------------------------------------------------------------------------------

bool KtMk4Device::initializeSoftwareCalibration() {
  // Filled once: the processing task reads the record without a lock while it exists.
  if (m_calibrationInfo) return true;
  auto* info = new KtMk4CalibrationInfo();
  info->readFromRecord(*m_ekts);
  m_calibrationInfo = info;
  return true;
}

bool KtMk4Device::calibrateData(const ZtScrData& raw, const CalibrationInfo* base, ZtCalibratedData& out) {
  const auto* info = dynamic_cast<const KtMk4CalibrationInfo*>(base);
  if (!info) return false;
  const uint16_t* counts[3] = {raw.acc, raw.gyr, raw.mag};
  double* results[3] = {out.acc, out.gyr, out.mag};
  const double sensorTemperature = static_cast<int16_t>(raw.temp[0]) * 0.00390625 - 35.0;
  for (int s = 0; s < 3; ++s) {
    const auto& c = info->coefficients[s];
    double v[3];
    for (int k = 0; k < 3; ++k) {
      const double t = s == KtMk4CalibrationInfo::kGyr ? static_cast<int16_t>(raw.temp[1 + k]) * 0.00390625 - 35.0
                                                       : sensorTemperature;
      const double offset = c[KtMk4CalibrationInfo::kO0][k] + (c[KtMk4CalibrationInfo::kO1][k] +
                                                               c[KtMk4CalibrationInfo::kO2][k] * t) * t;
      const double gain = c[KtMk4CalibrationInfo::kG0][k] + (c[KtMk4CalibrationInfo::kG1][k] +
                                                             c[KtMk4CalibrationInfo::kG2][k] * t) * t;
      // A record without calibration (all zeros) would put inf or NaN into every packet.
      if (gain == 0.0 || !std::isfinite(gain) || !std::isfinite(offset))
        throw ZtException(ZRV_INVALIDPARAM, "calibration gain is 0 or not finite");
      v[k] = (static_cast<double>(counts[s][k]) - offset) / gain;
    }
    const double* kk = info->k[s];
    for (int i = 0; i < 3; ++i) results[s][i] = kk[3 * i] * v[0] + kk[3 * i + 1] * v[1] + kk[3 * i + 2] * v[2];
  }
  const double* g = info->g;
  double correction[3];
  for (int i = 0; i < 3; ++i)
    correction[i] = g[3 * i] * out.acc[0] + g[3 * i + 1] * out.acc[1] + g[3 * i + 2] * out.acc[2];
  for (int i = 0; i < 3; ++i) out.gyr[i] -= correction[i];
  return true;
}

// ---- Setters by message -------------------------------------------------------------------------------

uint16_t KtMk4Device::processingFlags() const {
  if (m_ekts->hasProcessingFlags()) return m_ekts->processingFlags();
  const int acknowledged = m_acknowledgedFlags.load();
  return acknowledged < 0 ? 0 : static_cast<uint16_t>(acknowledged);
}

bool KtMk4Device::setProcessingFlag(uint16_t bit, bool enable) {
  const uint16_t flags = processingFlags();
  // Without the record's field and before any acknowledgement the device's flags are unknown:
  // the request is sent rather than assumed to be in place.
  const bool known = m_ekts->hasProcessingFlags() || m_acknowledgedFlags.load() >= 0;
  if (known && ((flags & bit) != 0) == enable) return true;
  const uint16_t value = enable ? static_cast<uint16_t>(flags | bit) : static_cast<uint16_t>(flags & ~bit);
  std::vector<uint8_t> payload;
  putU16(payload, value);
  if (!exchangeRequest(kSetProcessingFlags, payload, kAckTimeoutMs)) return false;
  if (m_ekts->hasProcessingFlags()) m_ekts->setProcessingFlags(value);
  m_acknowledgedFlags.store(value);
  return true;
}

bool KtMk4Device::isInitialBiasUpdateEnabled() const { return (processingFlags() & kInitialBiasUpdateFlag) != 0; }
bool KtMk4Device::setInitialBiasUpdateEnabled(bool enable) { return setProcessingFlag(kInitialBiasUpdateFlag, enable); }
bool KtMk4Device::isFixedGravityEnabled() const { return (processingFlags() & kFixedGravityFlag) != 0; }
bool KtMk4Device::setFixedGravityEnabled(bool enable) { return setProcessingFlag(kFixedGravityFlag, enable); }

bool KtMk4Device::setHeadingOffset(double offset) {
  std::vector<uint8_t> payload;
  putFloat(payload, offset);
  if (!exchangeRequest(kSetHeadingOffset, payload, kAckTimeoutMs)) return false;
  return KtDevice::setHeadingOffset(offset);
}

ZtErrorMode KtMk4Device::errorMode() const { return static_cast<ZtErrorMode>(2); }
bool KtMk4Device::setErrorMode(ZtErrorMode mode) { return static_cast<int>(mode) == 2; }
bool KtMk4Device::setRs485TransmissionDelay(uint16_t delay) { return delay == 0; }

bool KtMk4Device::setAlignmentRotationQuaternion(ZtAlignmentFrame frame, const ZtQuaternion& q) {
  const double values[4] = {q.w, q.x, q.y, q.z};
  for (double v : values)
    if (!std::isfinite(v)) return false;
  std::vector<uint8_t> payload{static_cast<uint8_t>(frame)};
  for (double v : values) putFloat(payload, v);
  if (!exchangeRequest(kSetAlignmentRotation, payload, kAckTimeoutMs)) return false;
  const zelto::Quaternion rotation(q.w, q.x, q.y, q.z);
  const bool local = frame == ZAF_Local;
  if (local ? m_ekts->hasQuatRotLocal() : m_ekts->hasQuatRotSensor()) {
    if (local)
      m_ekts->setQuatRotLocal(rotation);
    else
      m_ekts->setQuatRotSensor(rotation);
    refreshFromRecord();
  } else {
    std::lock_guard<std::mutex> lock(m_orientationLock);
    (local ? m_localRotation : m_sensorRotation) = unitOrIdentity(rotation);
  }
  return true;
}

ZtQuaternion KtMk4Device::alignmentRotationQuaternion(ZtAlignmentFrame frame) const {
  std::lock_guard<std::mutex> lock(m_orientationLock);
  return frame == ZAF_Local ? m_localRotation : m_sensorRotation;
}

bool KtMk4Device::setAlignmentRotationMatrix(ZtAlignmentFrame frame, const ZtMatrix& matrix) {
  if (!matrix.data || matrix.rows < 3 || matrix.cols < 3) return false;
  double m[9];
  for (size_t r = 0; r < 3; ++r)
    for (size_t c = 0; c < 3; ++c) m[3 * r + c] = matrix.data[r * matrix.stride + c];
  // Only a rotation has a quaternion: M M^T = I and det M = 1, within single precision.
  constexpr double kTolerance = 1e-4;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const double dot = m[3 * i] * m[3 * j] + m[3 * i + 1] * m[3 * j + 1] + m[3 * i + 2] * m[3 * j + 2];
      if (!(std::fabs(dot - (i == j ? 1.0 : 0.0)) < kTolerance)) return false;
    }
  const double det = m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
                     m[2] * (m[3] * m[7] - m[4] * m[6]);
  if (!(det > 0.0)) return false;
  zelto::Quaternion q = quatOfMatrix(m);
  q.isNormalizeSelf();
  return setAlignmentRotationQuaternion(frame, q);
}

ZtMatrix KtMk4Device::alignmentRotationMatrix(ZtAlignmentFrame frame) const {
  const ZtQuaternion q = alignmentRotationQuaternion(frame);
  double r[9];
  rotationMatrix(q, r);
  ZtMatrix out;
  ZtMatrix_construct(&out, 3, 3, 3, r);
  return out;
}

// ---- Synchronisation -----------------------------------------------------------------------------------

std::vector<ZtSyncSetting> KtMk4Device::supportedSyncSettings() const {
  return {
      syncSetting(2, 3, 1, 0, 1, 0, 1, 0, 0), syncSetting(2, 8, 1, 0, 1, 0, 1, 0, 0),
      syncSetting(6, 8, 0, 0, 0, 0, 0, 0, 0), syncSetting(4, 4, 1, 1, 1, 0, 1, 0, 0),
      syncSetting(0, 9, 1, 0, 0, 0, 1, 1, 0), syncSetting(2, 11, 1, 0, 1, 0, 0, 0, 0),
  };
}

std::vector<ZtSyncSetting> KtMk4Device::syncSettings() const {
  std::vector<ZtSyncSetting> list;
  if (!m_ekts->hasSyncSettings()) return list;
  const uint8_t* rows = m_ekts->syncSettings();
  if (!rows) return list;
  for (size_t i = 0; i < kMaxSyncSettings; ++i) {
    const uint8_t* b = rows + i * kSyncRowSize;
    if (b[2] == 0) break;
    const int32_t function = b[0];
    const uint16_t last = getU16(b + 10);
    list.push_back(syncSetting(b[1], function, b[2], getU16(b + 8) * 100u,
                               function == kClockSyncFunction ? 0 : last * 100, getU16(b + 4), getU16(b + 6),
                               function == kClockSyncFunction ? last : 0, b[3]));
  }
  return list;
}

bool KtMk4Device::setSyncSettings(const std::vector<ZtSyncSetting>& settings) {
  if (settings.size() > kMaxSyncSettings) return false;
  std::vector<uint8_t> payload;
  for (const ZtSyncSetting& s : settings) {
    // The message holds hundreds of microseconds in 16 bits: a time it cannot hold would reach
    // the device as another time.
    if (static_cast<int64_t>(s.pulseWidth) / 100 > kMaxSyncHundreds) return false;
    if (s.function != kClockSyncFunction && (s.offset < 0 || static_cast<int64_t>(s.offset) / 100 > kMaxSyncHundreds))
      return false;
    payload.push_back(static_cast<uint8_t>(s.function));
    payload.push_back(static_cast<uint8_t>(ztlToZtl4(s.line)));
    payload.push_back(static_cast<uint8_t>(s.polarity));
    payload.push_back(s.triggerOnce ? 1 : 0);
    putU16(payload, s.skipFirst);
    putU16(payload, s.skipFactor);
    putU16(payload, static_cast<uint16_t>(s.pulseWidth / 100));
    putU16(payload, s.function == kClockSyncFunction ? s.clockPeriod : static_cast<uint16_t>(s.offset / 100));
  }
  if (!exchangeRequest(kSetSyncSettings, payload, kAckTimeoutMs)) return false;
  if (m_ekts->hasSyncSettings()) {
    uint8_t rows[kMaxSyncSettings * kSyncRowSize] = {};
    std::memcpy(rows, payload.data(), payload.size());
    m_ekts->setSyncSettings(rows);
  }
  return true;
}

// ---- Configuration requests ----------------------------------------------------------------------------

DeviceConfigurationMessages* KtMk4Device::determineConfigurationMessages() const {
  DeviceConfigurationMessages* messages = KtDevice::determineConfigurationMessages();
  static const struct {
    const char* name;
    uint8_t requestId;
  } kRequests[] = {{"ExtOutputMode", 0x86},
                   {"OutputConfiguration", 0xC0},
                   {"SyncSettings", 0x2C},
                   {"LatLonAlt", 0x6E},
                   {"CurrentScenario", 0x64}};
  for (const auto& r : kRequests) {
    const uint8_t bytes[5] = {0xFA, 0xFF, r.requestId, 0x00, static_cast<uint8_t>(-(0xFF + r.requestId))};
    messages->add(r.name, bytes, sizeof bytes);
  }
  return messages;
}

// ---- Orientation resets --------------------------------------------------------------------------------

void KtMk4Device::computeOrientations(const ZtQuaternion& q, ZtQuaternion& local, ZtQuaternion& sensor) {
  double m[9];
  rotationMatrix(q, m);
  const double z[3] = {0.0, 0.0, 1.0};
  double x[3], y[3];
  if (m[0] * m[0] + m[3] * m[3] > 0.1) {
    x[0] = m[0];
    x[1] = m[3];
    x[2] = 0.0;
    normalise(x);
    cross(z, x, y);
    normalise(y);
  } else {
    y[0] = m[1];
    y[1] = m[4];
    y[2] = 0.0;
    normalise(y);
    cross(y, z, x);
    normalise(x);
  }
  // H has the columns x, y, z.
  const double h[9] = {x[0], y[0], z[0], x[1], y[1], z[1], x[2], y[2], z[2]};
  double ht[9], mth[9];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      ht[3 * i + j] = h[3 * j + i];
      double sum = 0.0;
      for (int k = 0; k < 3; ++k) sum += m[3 * k + i] * h[3 * k + j];
      mth[3 * i + j] = sum;
    }
  local = quatOfMatrix(ht);
  sensor = quatOfMatrix(mth);
}

ZtQuaternion KtMk4Device::doOrientationResets(const ZtQuaternion& q) {
  // Taken and cleared at once: a reset scheduled meanwhile stays pending for the next packet.
  const int m = static_cast<int>(m_resetMethod.exchange(ZRM_None));
  ZtQuaternion local, sensor;
  if (m == 1 || m == 3 || m == 4) computeOrientations(q, local, sensor);
  std::lock_guard<std::mutex> lock(m_orientationLock);
  switch (m) {
    case 1:
      m_localRotation = zelto::Quaternion(local.w, local.x, local.y, local.z);
      break;
    case 3:
      m_sensorRotation = zelto::Quaternion(sensor.w, sensor.x, sensor.y, sensor.z);
      break;
    case 4:
      m_localRotation = zelto::Quaternion(local.w, local.x, local.y, local.z);
      m_sensorRotation = zelto::Quaternion(sensor.w, sensor.x, sensor.y, sensor.z);
      break;
    case 5:
      m_localRotation = zelto::Quaternion();
      break;
    case 6:
      m_sensorRotation = zelto::Quaternion();
      break;
    case 7:
      m_localRotation = zelto::Quaternion();
      m_sensorRotation = zelto::Quaternion();
      break;
    default:
      break;
  }
  return quatMul(quatMul(m_localRotation, q), m_sensorRotation);
}

bool KtMk4Device::storeAlignmentMatrix() { return ZtDevice::scheduleOrientationReset(ZRM_StoreAlignment); }

// ---- Hardware parameters -------------------------------------------------------------------------------

bool KtMk4Device::readHardwareParamsFromFile(const zelto::SettingsFile& settings) {
  return readMk4HardwareParams(settings, "ZKF.hardwares");
}

bool KtMk4Device::readMk4HardwareParams(const zelto::SettingsFile& settings, const char* listKey) {
  const int major = m_ekts->hardwareVersionMajor();
  const int minor = m_ekts->hardwareVersionMinor();
  zelto::Variant list;
  if (settings.getSetting("", listKey, list) != ZRV_OK) return false;
  zelto::LabelList labels;
  try {
    labels = list.toLabelList();
  } catch (const ZtException&) {
    return false;
  }
  for (uint32_t i = 0; i < labels.count(); ++i) {
    const std::string prefix = std::string(labels[i].c_str()) + ".";
    std::string revision, assembly;
    if (settings.getSetting(prefix.c_str(), "gp.hw_revision", revision) != ZRV_OK) continue;
    if (settings.getSetting(prefix.c_str(), "gp.assembly", assembly) != ZRV_OK) continue;
    int entryMajor = 0, entryMinor = 0;
    if (!KtixDevice::parseHardwareRevision(revision.c_str(), entryMajor, entryMinor)) continue;
    if (!startsWithIgnoringCase(assembly, "MkIV") || entryMajor != major || entryMinor != minor) continue;
    m_hardwareParams->setHardwareType(findHardwareType(productCodeText()));
    return m_hardwareParams->readFromFileNoThrow(settings, prefix);
  }
  return false;
}
