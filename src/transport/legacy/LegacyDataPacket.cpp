#include "transport/legacy/LegacyDataPacket.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kDoubleForm = 0x300;
constexpr uint32_t kNedFrameSetting = 0x80000000u;

// Size of an entry's item: fixed bytes, or a number of floating-point values.
struct EntrySize {
  uint8_t bytes;
  uint8_t values;
};

constexpr EntrySize entrySize(int entry) {
  switch (entry) {
    case PI_RawAcc:
    case PI_RawGyr:
    case PI_RawMag: return {6, 0};
    case PI_RawTemp0:
    case PI_RawTemp0 + 1:
    case PI_RawTemp0 + 2:
    case PI_RawTemp0 + 3: return {2, 0};
    case PI_Temp0:
    case PI_Temp0 + 1:
    case PI_Temp0 + 2:
    case PI_Temp0 + 3: return {0, 1};
    case PI_CalAcc:
    case PI_CalGyr:
    case PI_CalMag:
    case PI_OriEuler:
    case PI_Position:
    case PI_Velocity:
    case PI_FreeAcc:
    case PI_SdiBias:
    case PI_SdiDeltaV:
    case PI_SdiMag: return {0, 3};
    case PI_OriQuat:
    case PI_SdiDeltaQ: return {0, 4};
    case PI_OriMatrix: return {0, 9};
    case PI_AnalogIn1:
    case PI_AnalogIn2:
    case PI_PacketCounter:
    case PI_UtcYear:
    case PI_Pressure:
    case PI_SdiFirstFrame:
    case PI_SdiLastFrame:
    case PI_SdiPressure: return {2, 0};
    case PI_DetailedStatus:
    case PI_UtcNano:
    case PI_SdiDeviceId: return {4, 0};
    case PI_Start:
    case PI_Raw:
    case PI_Calibrated:
    case PI_Utc:
    case PI_PressureGnss:
    case PI_Gnss:
    case PI_Sdi: return {0, 0};  // block starts: only their offset counts
    default:
      if (entry >= PI_GnssValue0 && entry < PI_GnssValue0 + 10) return {4, 0};
      return {1, 0};  // status byte, UTC bytes, ages, SDI byte, aiding flag, rssi
  }
}

uint16_t be16(const uint8_t* b) { return static_cast<uint16_t>((b[0] << 8) | b[1]); }
uint32_t be32(const uint8_t* b) {
  return (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) | (static_cast<uint32_t>(b[2]) << 8) | b[3];
}
void put16(uint8_t* b, uint16_t v) {
  b[0] = static_cast<uint8_t>(v >> 8);
  b[1] = static_cast<uint8_t>(v);
}
void put32(uint8_t* b, uint32_t v) {
  b[0] = static_cast<uint8_t>(v >> 24);
  b[1] = static_cast<uint8_t>(v >> 16);
  b[2] = static_cast<uint8_t>(v >> 8);
  b[3] = static_cast<uint8_t>(v);
}

}  // namespace

LegacyDataPacket::LegacyDataPacket(uint16_t count, bool zbusSystem)
    : m_fixedData(count, zbusSystem),
      m_appendedFrom(PI_Absent),
      m_lastFoundId(0),
      m_lastFoundIndex(-1),
      m_rtc(0),
      m_toa(0),
      m_packetCounter(-1),
      m_triggerIndication{0, 0} {
  ZtMessage_construct(&m_msg);
}

LegacyDataPacket::LegacyDataPacket(const LegacyDataPacket& o)
    : m_fixedData(o.m_fixedData),
      m_appendedFrom(o.m_appendedFrom),
      m_lastFoundId(o.m_lastFoundId),
      m_lastFoundIndex(o.m_lastFoundIndex),
      m_rtc(o.m_rtc),
      m_toa(o.m_toa),
      m_packetCounter(o.m_packetCounter),
      m_triggerIndication{o.m_triggerIndication[0], o.m_triggerIndication[1]} {
  ZtMessage_constructCopy(&m_msg, &o.m_msg);
}

LegacyDataPacket& LegacyDataPacket::operator=(const LegacyDataPacket& o) {
  if (this == &o) return *this;
  m_fixedData = o.m_fixedData;
  m_appendedFrom = o.m_appendedFrom;
  m_lastFoundId = o.m_lastFoundId;
  m_lastFoundIndex = o.m_lastFoundIndex;
  ZtMessage_copy(&m_msg, &o.m_msg);
  m_rtc = o.m_rtc;
  m_toa = o.m_toa;
  m_packetCounter = o.m_packetCounter;
  m_triggerIndication[0] = o.m_triggerIndication[0];
  m_triggerIndication[1] = o.m_triggerIndication[1];
  return *this;
}

LegacyDataPacket::~LegacyDataPacket() { ZtMessage_destruct(&m_msg); }

void LegacyDataPacket::setZbusSystem(bool zbusSystem, bool updateMessage) {
  if (zbusSystem == isZbusSystem()) return;
  if (updateMessage) {
    if (zbusSystem) {
      uint8_t counter[2];
      put16(counter, packetCounter(0));
      if (ZtMessage_insertData(&m_msg, 2, 0) == 0) {
        ZtMessage_setDataBuffer(&m_msg, counter, 2, 0);
        if (m_appendedFrom != PI_Absent) m_appendedFrom = static_cast<uint16_t>(std::min(m_appendedFrom + 2, PI_Absent - 1));
      }
    } else {
      ZtMessage_deleteData(&m_msg, 2, 0);
      if (m_appendedFrom != PI_Absent) m_appendedFrom = static_cast<uint16_t>(m_appendedFrom > 2 ? m_appendedFrom - 2 : 0);
    }
  }
  m_fixedData.setZbusSystem(zbusSystem);
  m_fixedData.updateInfoList();
}

void LegacyDataPacket::setMessage(const ZtMessage& msg) {
  if (&msg == &m_msg) return;
  ZtMessage_copy(&m_msg, &msg);
  if (m_appendedFrom != PI_Absent) {
    // Setters repointed entries into the old message's appended data: lay the new one out afresh.
    m_appendedFrom = PI_Absent;
    m_fixedData.updateInfoList();
  }
}

void LegacyDataPacket::originalMessage(ZtMessage& out) const {
  ZtMessage_copy(&out, &m_msg);
  size_t end = 0;
  for (int i = 0; i < itemCount(); ++i) {
    const uint16_t e = m_fixedData.info(i)[PI_End];
    if (e != PI_Absent) end = std::max<size_t>(end, e);
  }
  // Only ever shortened: a message shorter than its layout stays as received.
  if (m_appendedFrom != PI_Absent) end = std::min<size_t>(end, m_appendedFrom);
  if (end < ZtMessage_dataSize(&out)) ZtMessage_resizeData(&out, end);
  ZtMessage_recomputeChecksum(&out);
}

bool LegacyDataPacket::setDeviceId(ZtDeviceId id, int index) {
  if (!validIndex(index)) return false;
  m_fixedData.setDeviceId(id, index);
  m_lastFoundIndex = -1;
  return true;
}

ZtDeviceId LegacyDataPacket::deviceId(int index) const { return validIndex(index) ? m_fixedData.deviceId(index) : 0; }

int LegacyDataPacket::findDeviceId(ZtDeviceId id) const {
  if (!ZtDeviceId_isValid(id)) return 0;
  if (m_lastFoundIndex >= 0 && m_lastFoundId == id && validIndex(m_lastFoundIndex) &&
      m_fixedData.deviceId(m_lastFoundIndex) == id)
    return m_lastFoundIndex;
  for (int i = 0; i < itemCount(); ++i) {
    if (m_fixedData.deviceId(i) == id) {
      m_lastFoundId = id;
      m_lastFoundIndex = i;
      return i;
    }
  }
  return -1;
}

bool LegacyDataPacket::setDataFormat(uint32_t outputMode, uint32_t outputSettings, int index) {
  ZtDataFormat format;
  format.outputMode = outputMode;
  format.outputSettings = outputSettings;
  return setDataFormat(format, index);
}

bool LegacyDataPacket::setDataFormat(const ZtDataFormat& format, int index) {
  if (!validIndex(index)) return false;
  m_fixedData.setFormat(format, index);
  m_fixedData.updateInfoList();
  return true;
}

ZtDataFormat LegacyDataPacket::dataFormat(int index) const { return validIndex(index) ? m_fixedData.format(index) : ZtDataFormat(); }

PacketInfo LegacyDataPacket::packetInfo(int index) const {
  if (validIndex(index)) return m_fixedData.info(index);
  PacketInfo none;
  none.fill(PI_Absent);
  return none;
}

uint16_t LegacyDataPacket::dataSize(int index) const { return validIndex(index) ? m_fixedData.info(index)[PI_DataSize] : 0; }

bool LegacyDataPacket::setTriggerIndication(int trigger, ZtTimeStamp time) {
  if (trigger != 1 && trigger != 2) return false;
  m_triggerIndication[trigger - 1] = time;
  return true;
}

ZtTimeStamp LegacyDataPacket::triggerIndication(int trigger) const {
  return (trigger == 1 || trigger == 2) ? m_triggerIndication[trigger - 1] : 0;
}

bool LegacyDataPacket::containsTriggerIndication(int trigger) const {
  if (trigger == 1 || trigger == 2) return m_triggerIndication[trigger - 1] != 0;
  return m_triggerIndication[0] != 0 || m_triggerIndication[1] != 0;
}

// ---- item access ----

bool LegacyDataPacket::hasData(int index) const {
  if (!validIndex(index)) return false;
  const uint16_t size = m_fixedData.info(index)[PI_DataSize];
  return size != 0 && size != PI_Absent;
}

uint32_t LegacyDataPacket::valueForm(int index, uint16_t offset) const {
  return offset < m_fixedData.info(index)[PI_End] && !isAppended(offset) ? m_fixedData.format(index).outputSettings
                                                                          : kDoubleForm;
}

uint32_t LegacyDataPacket::itemValueForm(int index, int entry) const {
  if (!validIndex(index) || entry < 0 || entry >= PI_DataSize) return kDoubleForm;
  return valueForm(index, m_fixedData.info(index)[entry]);
}

long LegacyDataPacket::itemSpan(int index, int entry) const {
  if (!hasData(index)) return -1;
  return itemSpanIn(m_fixedData.info(index), index, entry, ZtMessage_dataSize(&m_msg));
}

long LegacyDataPacket::itemSpanIn(const PacketInfo& info, int index, int entry, size_t payload) const {
  if (entry < 0 || entry >= PI_DataSize) return -1;
  const uint16_t o = info[entry];
  if (o == PI_Absent) return -1;
  const EntrySize es = entrySize(entry);
  const size_t size = es.values ? es.values * PacketFixedData::valueSize(valueForm(index, o)) : es.bytes;
  if (o > payload || size > payload - o || (size == 0 && o >= payload)) return -1;
  return o;
}

bool LegacyDataPacket::containsItem(int index, int entry) const { return itemSpan(index, entry) >= 0; }

const uint8_t* LegacyDataPacket::bytesAt(int index, int entry) const {
  const long o = itemSpan(index, entry);
  return o < 0 ? nullptr : ZtMessage_constData(&m_msg) + o;
}

bool LegacyDataPacket::readValues(int index, int entry, double* values, size_t count) const {
  std::fill(values, values + count, 0.0);
  const long o = itemSpan(index, entry);
  if (o < 0) return false;
  const size_t offset = static_cast<size_t>(o);
  return ZtMessage_getDataFPValues(&m_msg, valueForm(index, static_cast<uint16_t>(o)), values, offset, count) != offset;
}

long LegacyDataPacket::appendData(int index, uint16_t size) {
  const size_t n = ZtMessage_dataSize(&m_msg);
  if (n + size >= PI_Absent || ZtMessage_resizeData(&m_msg, n + size) != 0) return -1;
  if (m_appendedFrom == PI_Absent) m_appendedFrom = static_cast<uint16_t>(n);
  PacketInfo& info = m_fixedData.info(index);
  info[PI_DataSize] = static_cast<uint16_t>(info[PI_DataSize] + size);
  return static_cast<long>(n);
}

// Floating-point items inside the device's original data keep its layout for the other items:
// a new value is appended as doubles and the entry repointed; appended items are overwritten.
bool LegacyDataPacket::writeValues(int index, int entry, const double* values, size_t count) {
  if (!hasData(index)) return false;
  PacketInfo& info = m_fixedData.info(index);
  long o = itemSpan(index, entry);
  if (o < 0 || (o < info[PI_End] && !isAppended(static_cast<uint16_t>(o)))) {
    o = appendData(index, static_cast<uint16_t>(8 * count));
    if (o < 0) return false;
    info[entry] = static_cast<uint16_t>(o);
  }
  return ZtMessage_setDataFPValues(&m_msg, kDoubleForm, values, static_cast<size_t>(o), count) != static_cast<size_t>(o);
}

// 16-bit and byte items are overwritten in place, or appended when absent.
bool LegacyDataPacket::writeBytes(int index, int entry, const uint8_t* bytes, uint16_t size) {
  if (!hasData(index)) return false;
  long o = itemSpan(index, entry);
  if (o < 0) {
    o = appendData(index, size);
    if (o < 0) return false;
    m_fixedData.info(index)[entry] = static_cast<uint16_t>(o);
  }
  ZtMessage_setDataBuffer(&m_msg, bytes, size, static_cast<size_t>(o));
  return true;
}

LegacyDataPacket::Raw3 LegacyDataPacket::readRaw3(int index, int entry) const {
  Raw3 v{0, 0, 0};
  if (const uint8_t* b = bytesAt(index, entry))
    for (int i = 0; i < 3; ++i) v[i] = be16(b + 2 * i);
  return v;
}

// A missing raw block is appended whole: 9 sensor values and 4 temperature channels.
bool LegacyDataPacket::ensureRawBlock(int index) {
  if (!hasData(index)) return false;
  if (containsItem(index, PI_RawAcc) && containsItem(index, PI_RawGyr) && containsItem(index, PI_RawMag)) return true;
  const long o = appendData(index, 26);
  if (o < 0) return false;
  PacketInfo& info = m_fixedData.info(index);
  info[PI_Raw] = info[PI_RawAcc] = static_cast<uint16_t>(o);
  info[PI_RawGyr] = static_cast<uint16_t>(o + 6);
  info[PI_RawMag] = static_cast<uint16_t>(o + 12);
  for (int c = 0; c < 4; ++c) info[PI_RawTemp0 + c] = static_cast<uint16_t>(o + 18 + 2 * c);
  return true;
}

bool LegacyDataPacket::writeRaw3(const Raw3& v, int index, int entry) {
  if (!ensureRawBlock(index)) return false;
  uint8_t b[6];
  for (int i = 0; i < 3; ++i) put16(b + 2 * i, v[i]);
  return writeBytes(index, entry, b, 6);
}

// ---- getters ----

LegacyDataPacket::Raw3 LegacyDataPacket::rawAcceleration(int index) const { return readRaw3(index, PI_RawAcc); }
LegacyDataPacket::Raw3 LegacyDataPacket::rawGyroscopeData(int index) const { return readRaw3(index, PI_RawGyr); }
LegacyDataPacket::Raw3 LegacyDataPacket::rawMagneticField(int index) const { return readRaw3(index, PI_RawMag); }

uint16_t LegacyDataPacket::rawTemperature(int index, int channel) const {
  if (channel < 0 || channel > 3) return 0;
  const uint8_t* b = bytesAt(index, PI_RawTemp0 + channel);
  return b ? be16(b) : 0;
}

int LegacyDataPacket::rawTemperatureChannelCount(int index) const {
  int n = 0;
  while (n < 4 && containsItem(index, PI_RawTemp0 + n)) ++n;
  return n;
}

ZtScrData LegacyDataPacket::rawData(int index) const {
  ZtScrData raw{};
  const Raw3 acc = rawAcceleration(index), gyr = rawGyroscopeData(index), mag = rawMagneticField(index);
  for (int i = 0; i < 3; ++i) {
    raw.acc[i] = acc[i];
    raw.gyr[i] = gyr[i];
    raw.mag[i] = mag[i];
  }
  const int channels = rawTemperatureChannelCount(index);
  for (int c = 0; c < channels; ++c) raw.temp[c] = static_cast<int16_t>(rawTemperature(index, c));
  return raw;
}

double LegacyDataPacket::temperature(int index, int channel) const {
  double v = 0.0;
  if (channel >= 0 && channel <= 3) readValues(index, PI_Temp0 + channel, &v, 1);
  return v;
}

int LegacyDataPacket::temperatureChannelCount(int index) const {
  int n = 0;
  while (n < 4 && containsItem(index, PI_Temp0 + n)) ++n;
  return n;
}

// Three values of an item; zeros when it is absent.
LegacyDataPacket::Vector3 LegacyDataPacket::readVector3(int index, int entry) const {
  Vector3 v{};
  readValues(index, entry, v.data(), 3);
  return v;
}

LegacyDataPacket::Vector3 LegacyDataPacket::calibratedAcceleration(int index) const { return readVector3(index, PI_CalAcc); }
LegacyDataPacket::Vector3 LegacyDataPacket::calibratedGyroscopeData(int index) const { return readVector3(index, PI_CalGyr); }
LegacyDataPacket::Vector3 LegacyDataPacket::calibratedMagneticField(int index) const { return readVector3(index, PI_CalMag); }

ZtCalibratedData LegacyDataPacket::calibratedData(int index) const {
  ZtCalibratedData c;
  readValues(index, PI_CalAcc, c.acc, 3);
  readValues(index, PI_CalGyr, c.gyr, 3);
  readValues(index, PI_CalMag, c.mag, 3);
  return c;
}

ZtQuaternion LegacyDataPacket::orientationQuaternion(int index) const {
  double v[4];
  readValues(index, PI_OriQuat, v, 4);
  return ZtQuaternion{v[0], v[1], v[2], v[3]};
}

ZtEuler LegacyDataPacket::orientationEuler(int index) const {
  double v[3];
  readValues(index, PI_OriEuler, v, 3);
  return ZtEuler{v[0], v[1], v[2]};
}

// Stored column by column.
LegacyDataPacket::Matrix3 LegacyDataPacket::orientationMatrix(int index) const {
  double c[9];
  readValues(index, PI_OriMatrix, c, 9);
  Matrix3 m;
  for (int r = 0; r < 3; ++r)
    for (int col = 0; col < 3; ++col) m[3 * r + col] = c[3 * col + r];
  return m;
}

uint16_t LegacyDataPacket::analogIn1(int index) const {
  const uint8_t* b = bytesAt(index, PI_AnalogIn1);
  return b ? be16(b) : 0;
}
uint16_t LegacyDataPacket::analogIn2(int index) const {
  const uint8_t* b = bytesAt(index, PI_AnalogIn2);
  return b ? be16(b) : 0;
}

LegacyDataPacket::Vector3 LegacyDataPacket::positionLLA(int index) const { return readVector3(index, PI_Position); }
LegacyDataPacket::Vector3 LegacyDataPacket::velocity(int index) const { return readVector3(index, PI_Velocity); }
LegacyDataPacket::Vector3 LegacyDataPacket::freeAcceleration(int index) const { return readVector3(index, PI_FreeAcc); }

uint32_t LegacyDataPacket::status(int index, bool* detailed) const {
  if (detailed) *detailed = false;
  if (const uint8_t* b = bytesAt(index, PI_DetailedStatus)) {
    if (detailed) *detailed = true;
    return be32(b);
  }
  const uint8_t* b = bytesAt(index, PI_Status);
  return b ? b[0] : 0;
}

uint16_t LegacyDataPacket::packetCounter(int index) const {
  const uint8_t* b = bytesAt(index, PI_PacketCounter);
  return b ? be16(b) : 0;
}

uint16_t LegacyDataPacket::frameCounter() const { return packetCounter(0); }

ZtUtcTime LegacyDataPacket::utcTime(int index) const {
  ZtUtcTime u{};
  if (const uint8_t* b = bytesAt(index, PI_UtcNano)) u.nano = be32(b);
  if (const uint8_t* b = bytesAt(index, PI_UtcYear)) u.year = be16(b);
  uint8_t* fields[6] = {&u.month, &u.day, &u.hour, &u.minute, &u.second, &u.valid};
  for (int i = 0; i < 6; ++i)
    if (const uint8_t* b = bytesAt(index, PI_UtcMonth + i)) *fields[i] = b[0];
  return u;
}

ZtGpsPvtData LegacyDataPacket::gpsPvtData(int index) const {
  ZtGpsPvtData g{};
  if (const uint8_t* b = bytesAt(index, PI_Pressure)) g.pressure = be16(b);
  if (const uint8_t* b = bytesAt(index, PI_PressureAge)) g.pressureAge = b[0];
  uint32_t v[10] = {};
  if (containsItem(index, PI_Gnss))
    for (int i = 0; i < 10; ++i)
      if (const uint8_t* b = bytesAt(index, PI_GnssValue0 + i)) v[i] = be32(b);
  g.itow = v[0];
  g.latitude = static_cast<int32_t>(v[1]);
  g.longitude = static_cast<int32_t>(v[2]);
  g.height = static_cast<int32_t>(v[3]);
  g.velN = static_cast<int32_t>(v[4]);
  g.velE = static_cast<int32_t>(v[5]);
  g.velD = static_cast<int32_t>(v[6]);
  g.hAcc = v[7];
  g.vAcc = v[8];
  g.sAcc = v[9];
  if (const uint8_t* b = bytesAt(index, PI_GnssAge)) g.gpsAge = b[0];
  return g;
}

ZtPressure LegacyDataPacket::pressure(int index) const {
  ZtPressure p{0.0, 0};
  if (const uint8_t* b = bytesAt(index, PI_Pressure)) {
    p.pressure = be16(b);
    if (const uint8_t* age = bytesAt(index, PI_PressureAge)) p.pressureAge = age[0];
  } else if (const uint8_t* s = bytesAt(index, PI_SdiPressure)) {
    p.pressure = be16(s);
    const uint8_t* aiding = bytesAt(index, PI_SdiAidingFlag);
    p.pressureAge = (aiding && aiding[0] != 0) ? 0 : 255;
  }
  return p;
}

KtwSdiData LegacyDataPacket::ktwSdiData(int index) const {
  KtwSdiData sdi;
  const uint8_t* id = bytesAt(index, PI_SdiDeviceId);
  if (!id) return sdi;
  if (const uint8_t* b = bytesAt(index, PI_SdiByte)) sdi.setExtraByte(b[0]);
  const uint8_t* first = bytesAt(index, PI_SdiFirstFrame);
  const uint8_t* last = bytesAt(index, PI_SdiLastFrame);
  sdi.setFrameRange(first ? be16(first) : 0, last ? be16(last) : 0);
  double v[4];
  readValues(index, PI_SdiBias, v, 3);
  sdi.setCurrentBias(v);
  readValues(index, PI_SdiDeltaQ, v, 4);
  sdi.setOrientationIncrement(ZtQuaternion{v[0], v[1], v[2], v[3]});
  readValues(index, PI_SdiDeltaV, v, 3);
  sdi.setVelocityIncrement(v);
  const uint8_t* aiding = bytesAt(index, PI_SdiAidingFlag);
  sdi.setAidingData(aiding && aiding[0] == 1);
  const uint8_t* pressure = bytesAt(index, PI_SdiPressure);
  sdi.setPressure(pressure ? be16(pressure) / 50.0 : 0.0);
  readValues(index, PI_SdiMag, v, 3);
  sdi.setMagneticField(v);
  const uint8_t* rssi = bytesAt(index, PI_SdiRssi);
  sdi.setRssi(rssi ? static_cast<int8_t>(rssi[0]) : int8_t{-128});
  sdi.setDeviceId(be32(id));
  return sdi;
}

// ---- setters ----

bool LegacyDataPacket::setRawAcceleration(const Raw3& v, int index) { return writeRaw3(v, index, PI_RawAcc); }
bool LegacyDataPacket::setRawGyroscopeData(const Raw3& v, int index) { return writeRaw3(v, index, PI_RawGyr); }
bool LegacyDataPacket::setRawMagneticField(const Raw3& v, int index) { return writeRaw3(v, index, PI_RawMag); }

bool LegacyDataPacket::setRawTemperature(uint16_t value, int index, int channel) {
  if (channel < 0 || channel > 3 || !hasData(index)) return false;
  // Channels before this one that are missing are appended too, so the channels stay consecutive.
  for (int c = rawTemperatureChannelCount(index); c < channel; ++c) {
    const uint8_t zero[2] = {0, 0};
    if (!writeBytes(index, PI_RawTemp0 + c, zero, 2)) return false;
  }
  uint8_t b[2];
  put16(b, value);
  return writeBytes(index, PI_RawTemp0 + channel, b, 2);
}

bool LegacyDataPacket::setRawData(const ZtScrData& raw, int index) {
  if (!ensureRawBlock(index)) return false;
  Raw3 acc, gyr, mag;
  for (int i = 0; i < 3; ++i) {
    acc[i] = raw.acc[i];
    gyr[i] = raw.gyr[i];
    mag[i] = raw.mag[i];
  }
  bool ok = writeRaw3(acc, index, PI_RawAcc) && writeRaw3(gyr, index, PI_RawGyr) && writeRaw3(mag, index, PI_RawMag);
  for (int c = 0; ok && c < 4; ++c) ok = setRawTemperature(static_cast<uint16_t>(raw.temp[c]), index, c);
  return ok;
}

bool LegacyDataPacket::setTemperature(double celsius, int index, int channel) {
  if (channel < 0 || channel > 3) return false;
  return writeValues(index, PI_Temp0 + channel, &celsius, 1);
}

bool LegacyDataPacket::setCalibratedAcceleration(const Vector3& v, int index) { return writeValues(index, PI_CalAcc, v.data(), 3); }
bool LegacyDataPacket::setCalibratedGyroscopeData(const Vector3& v, int index) { return writeValues(index, PI_CalGyr, v.data(), 3); }
bool LegacyDataPacket::setCalibratedMagneticField(const Vector3& v, int index) { return writeValues(index, PI_CalMag, v.data(), 3); }

bool LegacyDataPacket::setCalibratedData(const ZtCalibratedData& data, int index) {
  if (!writeValues(index, PI_CalAcc, data.acc, 3) || !writeValues(index, PI_CalGyr, data.gyr, 3) ||
      !writeValues(index, PI_CalMag, data.mag, 3))
    return false;
  PacketInfo& info = m_fixedData.info(index);
  info[PI_Calibrated] = info[PI_CalAcc];
  return true;
}

bool LegacyDataPacket::setOrientationQuaternion(const ZtQuaternion& q, int index) {
  const double v[4] = {q.w, q.x, q.y, q.z};
  return writeValues(index, PI_OriQuat, v, 4);
}

bool LegacyDataPacket::setOrientationEuler(const ZtEuler& e, int index) {
  const double v[3] = {e.roll, e.pitch, e.yaw};
  return writeValues(index, PI_OriEuler, v, 3);
}

bool LegacyDataPacket::setOrientationMatrix(const Matrix3& m, int index) {
  double c[9];
  for (int r = 0; r < 3; ++r)
    for (int col = 0; col < 3; ++col) c[3 * col + r] = m[3 * r + col];
  return writeValues(index, PI_OriMatrix, c, 9);
}

bool LegacyDataPacket::setAnalogIn1(uint16_t value, int index) {
  uint8_t b[2];
  put16(b, value);
  return writeBytes(index, PI_AnalogIn1, b, 2);
}

bool LegacyDataPacket::setAnalogIn2(uint16_t value, int index) {
  uint8_t b[2];
  put16(b, value);
  return writeBytes(index, PI_AnalogIn2, b, 2);
}

bool LegacyDataPacket::setPositionLLA(const Vector3& v, int index) { return writeValues(index, PI_Position, v.data(), 3); }
bool LegacyDataPacket::setVelocity(const Vector3& v, int index) { return writeValues(index, PI_Velocity, v.data(), 3); }
bool LegacyDataPacket::setFreeAcceleration(const Vector3& v, int index) { return writeValues(index, PI_FreeAcc, v.data(), 3); }

bool LegacyDataPacket::setStatus(uint32_t status, int index) {
  if (!hasData(index)) return false;
  if (containsItem(index, PI_DetailedStatus)) {
    uint8_t b[4];
    put32(b, status);
    return writeBytes(index, PI_DetailedStatus, b, 4);
  }
  if (containsItem(index, PI_Status)) {
    const uint8_t b = static_cast<uint8_t>(status);
    return writeBytes(index, PI_Status, &b, 1);
  }
  const long o = appendData(index, 4);
  if (o < 0) return false;
  PacketInfo& info = m_fixedData.info(index);
  info[PI_Status] = info[PI_DetailedStatus] = static_cast<uint16_t>(o);
  uint8_t b[4];
  put32(b, status);
  return writeBytes(index, PI_DetailedStatus, b, 4);
}

bool LegacyDataPacket::setPacketCounter(uint16_t counter, int index) {
  uint8_t b[2];
  put16(b, counter);
  return writeBytes(index, PI_PacketCounter, b, 2);
}

bool LegacyDataPacket::setUtcTime(const ZtUtcTime& utc, int index) {
  if (!hasData(index)) return false;
  if (!containsItem(index, PI_UtcNano) || !containsItem(index, PI_UtcMonth + 5)) {
    const long o = appendData(index, 12);
    if (o < 0) return false;
    PacketInfo& info = m_fixedData.info(index);
    info[PI_Utc] = info[PI_UtcNano] = static_cast<uint16_t>(o);
    info[PI_UtcYear] = static_cast<uint16_t>(o + 4);
    for (int i = 0; i < 6; ++i) info[PI_UtcMonth + i] = static_cast<uint16_t>(o + 6 + i);
  }
  uint8_t nano[4], year[2];
  put32(nano, utc.nano);
  put16(year, utc.year);
  const uint8_t bytes[6] = {utc.month, utc.day, utc.hour, utc.minute, utc.second, utc.valid};
  bool ok = writeBytes(index, PI_UtcNano, nano, 4) && writeBytes(index, PI_UtcYear, year, 2);
  for (int i = 0; ok && i < 6; ++i) ok = writeBytes(index, PI_UtcMonth + i, &bytes[i], 1);
  return ok;
}

bool LegacyDataPacket::setGpsPvtData(const ZtGpsPvtData& pvt, int index) {
  if (!hasData(index)) return false;
  if (!containsItem(index, PI_Gnss) || !containsItem(index, PI_GnssAge) || !containsItem(index, PI_Pressure)) {
    const long o = appendData(index, 44);
    if (o < 0) return false;
    PacketInfo& info = m_fixedData.info(index);
    info[PI_PressureGnss] = info[PI_Pressure] = static_cast<uint16_t>(o);
    info[PI_PressureAge] = static_cast<uint16_t>(o + 2);
    info[PI_Gnss] = static_cast<uint16_t>(o + 3);
    for (int i = 0; i < 10; ++i) info[PI_GnssValue0 + i] = static_cast<uint16_t>(o + 3 + 4 * i);
    info[PI_GnssAge] = static_cast<uint16_t>(o + 43);
  }
  const uint32_t v[10] = {pvt.itow,
                          static_cast<uint32_t>(pvt.latitude),
                          static_cast<uint32_t>(pvt.longitude),
                          static_cast<uint32_t>(pvt.height),
                          static_cast<uint32_t>(pvt.velN),
                          static_cast<uint32_t>(pvt.velE),
                          static_cast<uint32_t>(pvt.velD),
                          pvt.hAcc,
                          pvt.vAcc,
                          pvt.sAcc};
  uint8_t b[4];
  put16(b, pvt.pressure);
  bool ok = writeBytes(index, PI_Pressure, b, 2) && writeBytes(index, PI_PressureAge, &pvt.pressureAge, 1) &&
            writeBytes(index, PI_GnssAge, &pvt.gpsAge, 1);
  for (int i = 0; ok && i < 10; ++i) {
    put32(b, v[i]);
    ok = writeBytes(index, PI_GnssValue0 + i, b, 4);
  }
  return ok;
}

bool LegacyDataPacket::setPressure(const ZtPressure& pressure, int index) {
  if (!hasData(index)) return false;
  if (!containsItem(index, PI_Pressure) || !containsItem(index, PI_PressureAge)) {
    const long o = appendData(index, 3);
    if (o < 0) return false;
    PacketInfo& info = m_fixedData.info(index);
    info[PI_PressureGnss] = info[PI_Pressure] = static_cast<uint16_t>(o);
    info[PI_PressureAge] = static_cast<uint16_t>(o + 2);
  }
  const double p = pressure.pressure;
  const uint16_t count = p >= 65535.0 ? 0xFFFF : (p > 0.0 ? static_cast<uint16_t>(p) : 0);  // NaN gives 0
  uint8_t b[2];
  put16(b, count);
  return writeBytes(index, PI_Pressure, b, 2) && writeBytes(index, PI_PressureAge, &pressure.pressureAge, 1);
}

bool LegacyDataPacket::setKtwSdiData(const KtwSdiData& sdi, int index) {
  if (!hasData(index)) return false;
  if (!containsItem(index, PI_SdiDeviceId) || !containsItem(index, PI_SdiRssi)) {
    // The block in its double layout: 13 + 13 * 8 bytes.
    const long o = appendData(index, 117);
    if (o < 0) return false;
    PacketInfo& info = m_fixedData.info(index);
    const long s = 8;
    info[PI_Sdi] = info[PI_SdiDeviceId] = static_cast<uint16_t>(o);
    info[PI_SdiByte] = static_cast<uint16_t>(o + 4);
    info[PI_SdiFirstFrame] = static_cast<uint16_t>(o + 5);
    info[PI_SdiLastFrame] = static_cast<uint16_t>(o + 7);
    info[PI_SdiBias] = static_cast<uint16_t>(o + 9);
    info[PI_SdiDeltaQ] = static_cast<uint16_t>(o + 9 + 3 * s);
    info[PI_SdiDeltaV] = static_cast<uint16_t>(o + 9 + 7 * s);
    info[PI_SdiAidingFlag] = static_cast<uint16_t>(o + 9 + 10 * s);
    info[PI_SdiPressure] = static_cast<uint16_t>(o + 10 + 10 * s);
    info[PI_SdiMag] = static_cast<uint16_t>(o + 12 + 10 * s);
    info[PI_SdiRssi] = static_cast<uint16_t>(o + 12 + 13 * s);
  }
  uint8_t b[4];
  put32(b, sdi.deviceId());
  bool ok = writeBytes(index, PI_SdiDeviceId, b, 4);
  const uint8_t extra = sdi.extraByte();
  ok = ok && writeBytes(index, PI_SdiByte, &extra, 1);
  put16(b, sdi.firstFrame());
  ok = ok && writeBytes(index, PI_SdiFirstFrame, b, 2);
  put16(b, sdi.lastFrame());
  ok = ok && writeBytes(index, PI_SdiLastFrame, b, 2);
  const uint8_t aiding = sdi.containsAidingData() ? 1 : 0;
  ok = ok && writeBytes(index, PI_SdiAidingFlag, &aiding, 1);
  const double p = sdi.pressure() * 50.0;
  put16(b, p >= 65535.0 ? 0xFFFF : (p > 0.0 ? static_cast<uint16_t>(p + 0.5) : 0));
  ok = ok && writeBytes(index, PI_SdiPressure, b, 2);
  const uint8_t rssi = static_cast<uint8_t>(sdi.rawRssi());
  ok = ok && writeBytes(index, PI_SdiRssi, &rssi, 1);
  const double zero[3] = {0, 0, 0};
  auto vec = [&](std::span<const double> s) { return s.size() == 3 ? s.data() : zero; };
  const ZtQuaternion q = sdi.orientationIncrement();
  const double dq[4] = {q.w, q.x, q.y, q.z};
  ok = ok && writeValues(index, PI_SdiBias, vec(sdi.currentBias()), 3);
  ok = ok && writeValues(index, PI_SdiDeltaQ, dq, 4);
  ok = ok && writeValues(index, PI_SdiDeltaV, vec(sdi.velocityIncrement()), 3);
  ok = ok && writeValues(index, PI_SdiMag, vec(sdi.magneticField()), 3);
  return ok;
}

// ---- conversion ----

namespace {

// Items the conversion appends behind the destination's item list, gathered and written in one
// piece (one growth, one checksum) before the next item that goes through the packet's own
// setter, and at the end. Only items of types nothing else in the conversion writes are
// gathered, so the bytes are those of appending them one by one: each is dropped, as an append
// would refuse it, when the data message would outgrow its limit.
class GatheredItems {
 public:
  explicit GatheredItems(ZtDataPacket* dst) : m_dst(dst) {}
  GatheredItems(const GatheredItems&) = delete;
  GatheredItems& operator=(const GatheredItems&) = delete;

  void add(uint16_t id, const uint8_t* bytes, size_t size) {
    if (3 + size > sizeof m_bytes) return;
    if (m_size + 3 + size > sizeof m_bytes) flush();
    if (m_size == 0) m_base = ZtMessage_dataSize(&m_dst->message);
    if (m_base + m_size + 3 + size > static_cast<size_t>(ZTMESSAGE_MAX_DATA_SIZE)) return;
    uint8_t* b = m_bytes + m_size;
    put16(b, id);
    b[2] = static_cast<uint8_t>(size);
    std::memcpy(b + 3, bytes, size);
    m_size += 3 + size;
  }
  // Writes what was gathered behind the list (call before any setter of the packet).
  void flush() {
    if (m_size == 0) return;
    ZtMessage_setDataBuffer(&m_dst->message, m_bytes, m_size, m_base);
    m_size = 0;
  }

 private:
  ZtDataPacket* m_dst;
  size_t m_base = 0;  // the payload's size when the first gathered item came
  size_t m_size = 0;
  uint8_t m_bytes[256];
};

ZtVector* view(ZtVector& v, LegacyDataPacket::Vector3& data) {
  v.data = data.data();
  v.size = data.size();
  v.flags = 0;
  return &v;
}

uint32_t byteSwap32(uint32_t v) { return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24); }

}  // namespace

void ZtDataPacket_assignFromZtLegacyDataPacket(ZtDataPacket* dst, const LegacyDataPacket& lp, int index) {
  if (!lp.isZbusSystem()) index = 0;
  const bool zbus = lp.isZbusSystem();

  ZtMessage_copy(&dst->original, &lp.message());
  // A destination keeps its storage, also when it was cleared (a reused scratch packet): no
  // allocation per packet once a reused destination has grown to size.
  if (ZtMessage_resizeData(&dst->message, 0) != 0) {
    ZtMessage_destruct(&dst->message);
    ZtMessage_constructSized(&dst->message, 0);
  }
  ZtMessage_setBusId(&dst->message, zbus ? static_cast<uint8_t>(index + 1) : static_cast<uint8_t>(ZTMESSAGE_MASTER_BUS_ID));
  ZtMessage_setMessageId(&dst->message, ZTDATAPACKET_MESSAGE_ID);
  dst->deviceId = lp.deviceId(index);
  dst->toa = lp.timeOfArrival();
  dst->packetId = lp.largePacketCounter();
  if (!lp.hasData(index)) return;

  // Where each item lies, from the layout and the payload's size taken once.
  const PacketInfo& info = lp.m_fixedData.info(index);
  const size_t payloadSize = ZtMessage_dataSize(&lp.m_msg);
  const uint8_t* payload = ZtMessage_constData(&lp.m_msg);
  const auto at = [&](int entry) { return lp.itemSpanIn(info, index, entry, payloadSize); };
  const auto has = [&](int entry) { return at(entry) >= 0; };
  GatheredItems gathered(dst);
  // An item copied byte for byte from the legacy message under its type and form.
  const auto copyEncoded = [&](int entry, uint16_t type, size_t values) {
    const long o = at(entry);
    if (o < 0) return;
    // Items appended by setters are doubles whatever the device's form.
    const uint32_t form = lp.valueForm(index, static_cast<uint16_t>(o));
    gathered.add(static_cast<uint16_t>(type + ((form >> 8) & 3)), payload + o, values * PacketFixedData::valueSize(form));
  };

  const uint32_t settings = lp.m_fixedData.format(index).outputSettings;
  const int frame = (settings & kNedFrameSetting) ? ZDI_FrameNed : ZDI_FrameNwu;
  ZtVector v;
  LegacyDataPacket::Vector3 data;

  if (has(PI_RawAcc) && has(PI_RawGyr) && has(PI_RawMag)) {
    const ZtScrData raw = lp.rawData(index);
    ZtDataPacket_setRawData(dst, &raw);
    if (lp.rawTemperatureChannelCount(index) == 4) {
      const uint16_t temps[3] = {static_cast<uint16_t>(raw.temp[1]), static_cast<uint16_t>(raw.temp[2]),
                                 static_cast<uint16_t>(raw.temp[3])};
      ZtDataPacket_setRawGyroscopeTemperatures(dst, temps);
    }
  }
  if (has(PI_CalAcc)) {
    data = lp.calibratedAcceleration(index);
    ZtDataPacket_setCalibratedAcceleration(dst, view(v, data));
  }
  copyEncoded(PI_CalGyr, ZDI_RateOfTurn, 3);
  if (has(PI_CalMag)) {
    data = lp.calibratedMagneticField(index);
    gathered.flush();
    ZtDataPacket_setCalibratedMagneticField(dst, view(v, data));
  }
  gathered.flush();
  if (has(PI_OriQuat)) {
    const ZtQuaternion q = lp.orientationQuaternion(index);
    ZtDataPacket_setOrientationQuaternion(dst, &q, frame);
  }
  if (has(PI_OriEuler)) {
    const ZtEuler e = lp.orientationEuler(index);
    ZtDataPacket_setOrientationEuler(dst, &e, frame);
  }
  if (has(PI_OriMatrix)) {
    LegacyDataPacket::Matrix3 rows = lp.orientationMatrix(index);
    ZtMatrix m{rows.data(), 3, 3, 3, 0};
    ZtDataPacket_setOrientationMatrix(dst, &m, frame);
  }
  if (has(PI_Position)) {
    data = lp.positionLLA(index);
    ZtDataPacket_setPositionLLA(dst, view(v, data));
  }
  if (has(PI_Velocity)) {
    data = lp.velocity(index);
    ZtDataPacket_setVelocity(dst, view(v, data), frame);
  }
  if (has(PI_Status) || has(PI_DetailedStatus)) {
    bool detailed = false;
    uint32_t status = lp.status(index, &detailed);
    if (ZtDeviceId_isKtw(dst->deviceId)) status = byteSwap32(status);
    if (detailed)
      ZtDataPacket_setStatus(dst, status);
    else
      ZtDataPacket_setStatusByte(dst, static_cast<uint8_t>(status));
  }
  if (has(PI_Pressure)) {
    const ZtPressure count = lp.pressure(index);
    const ZtPressure pascal{count.pressure * 2.0, count.pressureAge};
    ZtDataPacket_setPressure(dst, &pascal);
    const ZtGpsPvtData pvt = lp.gpsPvtData(index);
    ZtDataPacket_setGpsPvtData(dst, &pvt);
  }
  if (has(PI_UtcNano)) {
    const ZtUtcTime utc = lp.utcTime(index);
    ZtDataPacket_setUtcTime(dst, &utc);
  }
  if (const long id = at(PI_SdiDeviceId); id >= 0) {
    // The parts of the SDI record the packet takes (the increments go as encoded bytes), read
    // as ktwSdiData reads them: a record whose device id is 0 is empty (no field, no pressure).
    const ZtDeviceId sdiId = be32(payload + id);
    dst->deviceId = sdiId;
    copyEncoded(PI_SdiDeltaQ, ZDI_DeltaQ, 4);
    copyEncoded(PI_SdiDeltaV, ZDI_DeltaV, 3);
    if (has(PI_SdiMag)) {
      data.fill(0.0);
      if (sdiId != 0) lp.readValues(index, PI_SdiMag, data.data(), 3);
      gathered.flush();
      ZtDataPacket_setCalibratedMagneticField(dst, view(v, data));
    }
    const long pressure = at(PI_SdiPressure);
    const double hPa = sdiId != 0 && pressure >= 0 ? be16(payload + pressure) / 50.0 : 0.0;
    if (hPa != 0.0) {
      const ZtPressure pascal{hPa * 100.0, 0};
      gathered.flush();
      ZtDataPacket_setPressure(dst, &pascal);
    }
    const long first = at(PI_SdiFirstFrame), last = at(PI_SdiLastFrame), rssi = at(PI_SdiRssi);
    uint8_t range[8];
    put32(range, first >= 0 ? be16(payload + first) : 0u);
    put32(range + 4, last >= 0 ? be16(payload + last) : 0u);
    gathered.add(ZDI_FrameRange, range, sizeof range);
    const uint8_t rssiByte = rssi >= 0 ? payload[rssi] : static_cast<uint8_t>(-128);
    gathered.add(ZDI_Rssi, &rssiByte, 1);
  }
  if (has(PI_Temp0)) {
    gathered.flush();
    ZtDataPacket_setTemperature(dst, lp.temperature(index, 0));
  }
  if (const long counter = at(PI_PacketCounter); counter >= 0) {
    gathered.add(ZDI_PacketCounter, payload + counter, 2);
  }
  gathered.flush();
}
