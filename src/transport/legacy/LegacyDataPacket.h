#pragma once
// A legacy data message (0x32) holding the samples of one or more devices back to back, with
// the layout record that says where each device's items lie.
//
// Getters take a device index and return zeros for a bad index, a device without data, an
// absent item, or an item whose bytes do not lie wholly inside the payload (a short or hostile
// message never makes a getter read past it). Floating-point items are read in the device's
// form when they lie inside its original data and as doubles when a setter appended them.
// Setters (value, then index) return false for a bad index or a device without data.
// Not for concurrent use, not even of const members: findDeviceId caches its last hit.
#include <array>
#include <cstdint>

#include "transport/legacy/KtwSdiData.h"
#include "transport/legacy/PacketFixedData.h"
#include "zttypes/ztdatapacket.h"
#include "zttypes/ztmessage.h"
#include "zttypes/zttime.h"

class LegacyDataPacket {
 public:
  using Vector3 = std::array<double, 3>;
  using Matrix3 = std::array<double, 9>;  // row-major: (r, c) at [3 r + c]
  using Raw3 = std::array<uint16_t, 3>;

  explicit LegacyDataPacket(uint16_t count = 1, bool zbusSystem = false);
  LegacyDataPacket(const LegacyDataPacket& other);
  LegacyDataPacket& operator=(const LegacyDataPacket& other);
  ~LegacyDataPacket();

  uint16_t itemCount() const { return m_fixedData.itemCount(); }
  bool isZbusSystem() const { return m_fixedData.isZbusSystem(); }
  // With updateMessage, two bytes holding device 0's packet counter are inserted at the start of
  // the data (flag set) or the first two bytes removed (flag cleared). Then the layout is redone.
  void setZbusSystem(bool zbusSystem, bool updateMessage);

  // Takes a copy of msg. Entries that setters repointed at appended data are laid out afresh.
  void setMessage(const ZtMessage& msg);
  const ZtMessage& message() const { return m_msg; }
  // The message cut back to the end of the laid-out data (dropping what setters appended),
  // checksum recomputed.
  void originalMessage(ZtMessage& out) const;

  bool setDeviceId(ZtDeviceId id, int index);
  ZtDeviceId deviceId(int index) const;
  // Index of the device id; -1 when not found, 0 for an invalid id.
  int findDeviceId(ZtDeviceId id) const;
  bool setDataFormat(uint32_t outputMode, uint32_t outputSettings, int index);
  bool setDataFormat(const ZtDataFormat& format, int index);
  ZtDataFormat dataFormat(int index) const;  // mode 0x4, settings 0x1 for a bad index
  PacketInfo packetInfo(int index) const;    // all absent for a bad index
  uint16_t dataSize(int index) const;        // 0 for a bad index
  const PacketFixedData& fixedData() const { return m_fixedData; }

  ZtTimeStamp timeOfArrival() const { return m_toa; }
  void setTimeOfArrival(ZtTimeStamp toa) { m_toa = toa; }
  ZtTimeStamp rtc() const { return m_rtc; }
  void setRtc(ZtTimeStamp rtc) { m_rtc = rtc; }
  int64_t largePacketCounter() const { return m_packetCounter; }
  void setLargePacketCounter(int64_t counter) { m_packetCounter = counter; }
  // Triggers 1 and 2.
  bool setTriggerIndication(int trigger, ZtTimeStamp time);
  ZtTimeStamp triggerIndication(int trigger) const;
  bool containsTriggerIndication(int trigger) const;  // either one for other numbers

  // Whether the entry's item is laid out (or appended) and lies wholly inside the payload.
  bool containsItem(int index, int entry) const;
  // The settings word whose 0x300 bits give the form the item's values are encoded in: the
  // device's own for its laid-out data, the double form for items setters appended.
  uint32_t itemValueForm(int index, int entry) const;

  Raw3 rawAcceleration(int index) const;
  Raw3 rawGyroscopeData(int index) const;
  Raw3 rawMagneticField(int index) const;
  uint16_t rawTemperature(int index, int channel) const;
  int rawTemperatureChannelCount(int index) const;
  ZtScrData rawData(int index) const;
  double temperature(int index, int channel = 0) const;
  int temperatureChannelCount(int index) const;
  Vector3 calibratedAcceleration(int index) const;
  Vector3 calibratedGyroscopeData(int index) const;
  Vector3 calibratedMagneticField(int index) const;
  ZtCalibratedData calibratedData(int index) const;
  ZtQuaternion orientationQuaternion(int index) const;
  ZtEuler orientationEuler(int index) const;
  Matrix3 orientationMatrix(int index) const;
  uint16_t analogIn1(int index) const;
  uint16_t analogIn2(int index) const;
  Vector3 positionLLA(int index) const;
  Vector3 velocity(int index) const;
  Vector3 freeAcceleration(int index) const;
  // The detailed status when present (detailed set true), else the status byte.
  uint32_t status(int index, bool* detailed = nullptr) const;
  uint16_t packetCounter(int index) const;
  // Device 0's packet counter (or its SDI last frame), else 0.
  uint16_t frameCounter() const;
  ZtUtcTime utcTime(int index) const;
  ZtGpsPvtData gpsPvtData(int index) const;
  // The raw pressure count with its age; from the SDI block (age 255 without aiding data, else 0)
  // when the device has no pressure item.
  ZtPressure pressure(int index) const;
  KtwSdiData ktwSdiData(int index) const;

  bool setRawAcceleration(const Raw3& v, int index);
  bool setRawGyroscopeData(const Raw3& v, int index);
  bool setRawMagneticField(const Raw3& v, int index);
  bool setRawTemperature(uint16_t value, int index, int channel);
  bool setRawData(const ZtScrData& raw, int index);
  bool setTemperature(double celsius, int index, int channel = 0);
  bool setCalibratedAcceleration(const Vector3& v, int index);
  bool setCalibratedGyroscopeData(const Vector3& v, int index);
  bool setCalibratedMagneticField(const Vector3& v, int index);
  bool setCalibratedData(const ZtCalibratedData& data, int index);
  bool setOrientationQuaternion(const ZtQuaternion& q, int index);
  bool setOrientationEuler(const ZtEuler& e, int index);
  bool setOrientationMatrix(const Matrix3& m, int index);
  bool setAnalogIn1(uint16_t value, int index);
  bool setAnalogIn2(uint16_t value, int index);
  bool setPositionLLA(const Vector3& v, int index);
  bool setVelocity(const Vector3& v, int index);
  bool setFreeAcceleration(const Vector3& v, int index);
  bool setStatus(uint32_t status, int index);
  bool setPacketCounter(uint16_t counter, int index);
  bool setUtcTime(const ZtUtcTime& utc, int index);
  bool setGpsPvtData(const ZtGpsPvtData& pvt, int index);
  // Writes the pressure truncated to a whole 16-bit count, and its age.
  bool setPressure(const ZtPressure& pressure, int index);
  bool setKtwSdiData(const KtwSdiData& sdi, int index);

 private:
  bool validIndex(int index) const { return index >= 0 && index < itemCount(); }
  bool hasData(int index) const;
  uint32_t valueForm(int index, uint16_t offset) const;  // settings word whose 0x300 bits give the form
  long itemSpan(int index, int entry) const;              // offset of a wholly present item, else -1
  // As itemSpan for a device with data, with the payload size given (callers asking for many
  // items take it once).
  long itemSpanIn(const PacketInfo& info, int index, int entry, size_t payload) const;
  const uint8_t* bytesAt(int index, int entry) const;
  bool readValues(int index, int entry, double* values, size_t count) const;
  Vector3 readVector3(int index, int entry) const;
  bool writeValues(int index, int entry, const double* values, size_t count);
  bool writeBytes(int index, int entry, const uint8_t* bytes, uint16_t size);
  long appendData(int index, uint16_t size);  // grows the payload; -1 past the size limit
  Raw3 readRaw3(int index, int entry) const;
  bool writeRaw3(const Raw3& v, int index, int entry);
  bool ensureRawBlock(int index);

  // The conversion reads the layout and the message directly: one pass over a device's items.
  friend void ZtDataPacket_assignFromZtLegacyDataPacket(ZtDataPacket*, const LegacyDataPacket&, int);

  // Offset from which setters appended data (PI_Absent: nothing appended). Usually the end of
  // the laid-out data; earlier when the message is shorter than its layout, and then what lies
  // there is still appended data, not the devices' own.
  bool isAppended(uint16_t offset) const { return m_appendedFrom != PI_Absent && offset >= m_appendedFrom; }

  PacketFixedData m_fixedData;
  uint16_t m_appendedFrom;
  mutable ZtDeviceId m_lastFoundId;
  mutable int m_lastFoundIndex;
  ZtMessage m_msg;
  ZtTimeStamp m_rtc;
  ZtTimeStamp m_toa;
  int64_t m_packetCounter;
  ZtTimeStamp m_triggerIndication[2];
};

// Fills destination with the items of one device of a legacy packet (index used only in a
// bus-master system, else 0); the destination keeps a copy of the whole legacy message. A reused
// destination that has grown to size allocates nothing.
void ZtDataPacket_assignFromZtLegacyDataPacket(ZtDataPacket* destination, const LegacyDataPacket& legacy, int index);
