// Arbitrary bytes as a data message: loaded, handed to a packet, every item read back, then
// written and merged. Nothing may read past the payload.
#include <cstddef>
#include <cstdint>
#include <vector>

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

  // Writes onto whatever the input held, then a merge into a fresh packet and into itself.
  const ZtQuaternion q{1, 0, 0, 0};
  ZtDataPacket_setOrientationQuaternion(&p, &q, ZDI_FrameNed);
  ZtDataPacket_setStatus(&p, 1);
  ZtDataPacket_setCalibratedAcceleration(&p, &v);
  ZtDataPacket_setPacketCounter(&p, 1);
  readEverything(&p, &v, &m);
  ZtDataPacket_append(&merged, &p);
  ZtDataPacket_append(&p, &merged);
  readEverything(&merged, &v, &m);

  ZtMatrix_destruct(&m);
  ZtVector_destruct(&v);
  ZtDataPacket_destruct(&merged);
  ZtDataPacket_destruct(&p);
  ZtMessage_destruct(&msg);
  return 0;
}
