// Arbitrary bytes as a data message: loaded, handed to a packet, every item read back, then
// written and merged. The same bytes also go through the legacy (0x32) path, with device
// formats taken from the input. Nothing may read past the payload, and the tracker's one-walk
// item reader must find and read every item exactly as the library's getters do.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "trackers/PacketItems.h"
#include "transport/legacy/LegacyDataPacket.h"
#include "zttypes/ztdatapacket.h"

namespace {

void readEverything(const ZtDataPacket* p, ZtVector* v, ZtMatrix* m) {
  volatile uint64_t sink = 0;
  sink = sink + ZtDataPacket_packetCounter(p) + ZtDataPacket_packetCounter8(p) + ZtDataPacket_sampleTime64(p) +
         ZtDataPacket_status(p) + ZtDataPacket_statusByte(p) + static_cast<uint8_t>(ZtDataPacket_rssi(p)) +
         ZtDataPacket_itemCount(p);
  ZtUtcTime utc;
  ZtRange range;
  ZtScrData raw;
  uint16_t temps[3];
  ZtCalibratedData cal;
  ZtQuaternion q;
  ZtEuler e;
  ZtSdiData sdi;
  ZtPressure pressure;
  ZtGpsPvtData pvt;
  ZtRawGpsSol sol;
  ZtTriggerIndicationData trigger;
  ZtDataPacket_utcTime(p, &utc);
  ZtDataPacket_frameRange(p, &range);
  ZtDataPacket_rawData(p, &raw);
  ZtDataPacket_rawGyroscopeTemperatures(p, temps);
  ZtDataPacket_calibratedData(p, &cal);
  ZtDataPacket_calibratedAcceleration(p, v);
  ZtDataPacket_freeAcceleration(p, v);
  ZtDataPacket_positionLLA(p, v);
  const int frames[] = {0, ZDI_FrameNed, ZDI_FrameNwu};
  for (int frame : frames) {
    ZtDataPacket_orientationQuaternion(p, frame, &q);
    ZtDataPacket_orientationEuler(p, frame, &e);
    ZtDataPacket_orientationMatrix(p, frame, m);
    ZtDataPacket_velocity(p, frame, v);
  }
  ZtDataPacket_sdiData(p, &sdi);
  ZtDataPacket_pressure(p, &pressure);
  ZtDataPacket_gpsPvtData(p, &pvt);
  ZtDataPacket_rawGpsSol(p, &sol);
  ZtDataPacket_triggerIndication(p, ZDI_TriggerIndication1, &trigger);
  ZtDataPacket_triggerIndication(p, ZDI_TriggerIndication2, &trigger);
  sink = sink + ZtDataPacket_temperature(p) + static_cast<uint64_t>(ZtDataPacket_itemOffsetExact(p, 0x2013) + 1);
}

void require(bool ok) {
  if (!ok) __builtin_trap();
}

// Bit-wise, so that NaN payloads and signed zeros count.
bool sameBits(const double* a, const double* b, size_t count) { return std::memcmp(a, b, count * sizeof *a) == 0; }

// PacketItems against the library's getters: presence of each kind, the values in the item's own
// form, the raw counts, status and frame range.
void comparePacketItems(const ZtDataPacket* p, ZtVector* v, ZtMatrix* m) {
  const PacketItems items(*p);
  double got[9];

  struct Vector {
    PacketItems::Kind kind;
    int (*contains)(const ZtDataPacket*);
    ZtVector* (*get)(const ZtDataPacket*, ZtVector*);
  };
  static constexpr Vector kVectors[] = {
      {PacketItems::kAcceleration, ZtDataPacket_containsCalibratedAcceleration, ZtDataPacket_calibratedAcceleration},
      {PacketItems::kRateOfTurn, ZtDataPacket_containsCalibratedRateOfTurn, ZtDataPacket_calibratedRateOfTurn},
      {PacketItems::kMagneticField, ZtDataPacket_containsCalibratedMagneticField,
       ZtDataPacket_calibratedMagneticField},
  };
  for (const Vector& c : kVectors) {
    const bool present = c.contains(p) != 0;
    require(items.has(c.kind) == present);
    require(items.values(c.kind, got, 3) == present);
    require(c.get(p, v) == v && sameBits(got, v->data, 3));
  }

  // The increments one by one: the pair getter reads whichever of the two is present.
  const bool hasDq = ZtDataPacket_itemIdentifier(p, ZDI_DeltaQ) != 0;
  const bool hasDv = ZtDataPacket_itemIdentifier(p, ZDI_DeltaV) != 0;
  require(items.has(PacketItems::kDeltaQ) == hasDq && items.has(PacketItems::kDeltaV) == hasDv);
  require((hasDq && hasDv) == (ZtDataPacket_containsSdiData(p) != 0));
  ZtSdiData sdi;
  ZtDataPacket_sdiData(p, &sdi);
  const double dq[4] = {sdi.orientationIncrement.w, sdi.orientationIncrement.x, sdi.orientationIncrement.y,
                        sdi.orientationIncrement.z};
  require(items.values(PacketItems::kDeltaQ, got, 4) == hasDq && sameBits(got, dq, 4));
  require(items.values(PacketItems::kDeltaV, got, 3) == hasDv && sameBits(got, sdi.velocityIncrement, 3));

  require(items.has(PacketItems::kRaw) == (ZtDataPacket_containsRawData(p) != 0));
  require(items.has(PacketItems::kGyroTemperatures) == (ZtDataPacket_containsRawGyroscopeTemperatures(p) != 0));
  ZtScrData mine, theirs;
  items.rawData(mine);
  ZtDataPacket_rawData(p, &theirs);
  require(std::memcmp(&mine, &theirs, sizeof mine) == 0);

  require(items.has(PacketItems::kStatusWord) == (ZtDataPacket_containsDetailedStatus(p) != 0));
  require(items.has(PacketItems::kStatusByte) == (ZtDataPacket_itemIdentifier(p, ZDI_StatusByte) != 0));
  require(items.hasStatus() == (ZtDataPacket_containsStatus(p) != 0));
  require(items.status() == ZtDataPacket_status(p));

  require(items.has(PacketItems::kFrameRange) == (ZtDataPacket_containsFrameRange(p) != 0));
  ZtRange a, b;
  items.frameRange(a);
  ZtDataPacket_frameRange(p, &b);
  require(a.first == b.first && a.last == b.last);

  // Orientation: the first item of any of the three forms, read in its stored form and frame.
  const bool hasOrientation = ZtDataPacket_containsOrientation(p) != 0;
  require(items.has(PacketItems::kOrientation) == hasOrientation);
  if (!hasOrientation) {
    require(!items.values(PacketItems::kOrientation, got, 9));
    return;
  }
  uint16_t first = 0;
  int32_t firstOffset = -1;
  for (uint16_t type : {ZDI_Quaternion, ZDI_EulerAngles, ZDI_RotationMatrix}) {
    const uint16_t id = ZtDataPacket_itemIdentifier(p, type);
    if (id == 0) continue;
    const int32_t offset = ZtDataPacket_itemOffsetExact(p, id);
    if (firstOffset < 0 || offset < firstOffset) {
      first = type;
      firstOffset = offset;
    }
  }
  if (first == ZDI_Quaternion) {
    ZtQuaternion q;
    ZtDataPacket_orientationQuaternion(p, 0, &q);
    const double stored[4] = {q.w, q.x, q.y, q.z};
    require(items.values(PacketItems::kOrientation, got, 4) && sameBits(got, stored, 4));
  } else if (first == ZDI_EulerAngles) {
    ZtEuler e;
    ZtDataPacket_orientationEuler(p, 0, &e);
    const double stored[3] = {e.roll, e.pitch, e.yaw};
    require(items.values(PacketItems::kOrientation, got, 3) && sameBits(got, stored, 3));
  } else {
    // The item holds the matrix column by column; the getter gives it row by row.
    require(first == ZDI_RotationMatrix && ZtDataPacket_orientationMatrix(p, 0, m) == m);
    double stored[9];
    for (size_t row = 0; row < 3; ++row)
      for (size_t col = 0; col < 3; ++col) stored[col * 3 + row] = m->data[row * m->stride + col];
    require(items.values(PacketItems::kOrientation, got, 9) && sameBits(got, stored, 9));
  }
}

// Input: one byte device count (1-4) and bus flag, then per device 4 bytes mode and 4 bytes
// settings, then the payload of the legacy message.
void legacyPath(const uint8_t* data, size_t size) {
  if (size < 1) return;
  const int count = (data[0] & 3) + 1;
  const bool zbus = (data[0] & 4) != 0;
  const size_t header = 1 + 8 * static_cast<size_t>(count);
  if (size < header) return;
  LegacyDataPacket lp(static_cast<uint16_t>(count), false);
  ZtMessage msg;
  ZtMessage_constructSized(&msg, size - header);
  ZtMessage_setMessageId(&msg, 0x32);
  if (size > header) ZtMessage_setDataBuffer(&msg, data + header, size - header, 0);
  lp.setMessage(msg);
  lp.setZbusSystem(zbus, false);
  for (int i = 0; i < count; ++i) {
    uint32_t mode, settings;
    std::memcpy(&mode, data + 1 + 8 * i, 4);
    std::memcpy(&settings, data + 5 + 8 * i, 4);
    lp.setDeviceId(0x00080000u + static_cast<uint32_t>(i), i);
    lp.setDataFormat(mode, settings, i);
  }
  ZtDataPacket p;
  ZtDataPacket_construct(&p);
  for (int i = 0; i < count; ++i) {
    ZtDataPacket_assignFromZtLegacyDataPacket(&p, lp, i);
    (void)lp.ktwSdiData(i);
    (void)lp.orientationMatrix(i);
    (void)lp.rawData(i);
    lp.setCalibratedAcceleration({1, 2, 3}, i);
    lp.setStatus(7, i);
    lp.setRawTemperature(1, i, 3);
  }
  ZtMessage original;
  ZtMessage_construct(&original);
  lp.originalMessage(original);
  ZtMessage_destruct(&original);
  ZtDataPacket_destruct(&p);
  ZtMessage_destruct(&msg);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Whole frames as they come off the wire, and the bytes as a bare payload.
  ZtMessage msg;
  ZtMessage_construct(&msg);
  if (!ZtMessage_load(&msg, size, data)) {
    ZtMessage_destruct(&msg);
    ZtMessage_constructSized(&msg, size);
    if (size) ZtMessage_setDataBuffer(&msg, data, size, 0);
    ZtMessage_setMessageId(&msg, ZTDATAPACKET_MESSAGE_ID);
  }
  ZtDataPacket p, merged;
  ZtDataPacket_construct(&p);
  ZtDataPacket_construct(&merged);
  ZtVector v;
  ZtVector_construct(&v, 3, nullptr);
  ZtMatrix m;
  ZtMatrix_construct(&m, 3, 3, 0, nullptr);

  ZtDataPacket_setMessage(&p, &msg);
  readEverything(&p, &v, &m);
  comparePacketItems(&p, &v, &m);

  // Writes onto whatever the input held, then a merge into a fresh packet and into itself.
  const ZtQuaternion q{1, 0, 0, 0};
  ZtDataPacket_setOrientationQuaternion(&p, &q, ZDI_FrameNed);
  ZtDataPacket_setStatus(&p, 1);
  ZtDataPacket_setCalibratedAcceleration(&p, &v);
  ZtDataPacket_setPacketCounter(&p, 1);
  readEverything(&p, &v, &m);
  comparePacketItems(&p, &v, &m);
  ZtDataPacket_append(&merged, &p);
  ZtDataPacket_append(&p, &merged);
  readEverything(&merged, &v, &m);
  comparePacketItems(&merged, &v, &m);
  comparePacketItems(&p, &v, &m);

  ZtMatrix_destruct(&m);
  ZtVector_destruct(&v);
  ZtDataPacket_destruct(&merged);
  ZtDataPacket_destruct(&p);
  ZtMessage_destruct(&msg);

  legacyPath(data, size);
  return 0;
}
