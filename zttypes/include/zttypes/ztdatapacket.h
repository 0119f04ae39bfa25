#ifndef ZTTYPES_ZTDATAPACKET_H
#define ZTTYPES_ZTDATAPACKET_H
/* ZtDataPacket: one sample of a device. Its data items live in a data message (id 0x36) in the
 * form <id hi> <id lo> <size> <value bytes> (identifiers and layouts: ztdataid.h).
 *
 * Reading: every lookup scans the payload; an item that runs past the payload ends the list, and
 * an item whose size byte disagrees with its identifier's layout is treated as absent. The first
 * well-formed item of a kind is the one that counts. Absent items read as zeros.
 *
 * Writing: a setter overwrites an existing item of the same kind in place, keeping its value form
 * (float, fixed point or double); a new item is appended with double values. Forms that exclude
 * each other are replaced: setting one orientation form removes the others, and the status byte
 * and the status word replace each other. Setters return 1, or 0 when the message would exceed
 * its size limit (the packet is then unchanged).
 *
 * Frames: orientation and velocity getters take the frame code wanted (ZDI_FrameNwu or
 * ZDI_FrameNed) and convert an item stored in the other one; frame code 0 in either place means
 * "as stored". North-east-down is north-west-up turned 180 degrees about north.
 *
 * Getters of records copy into the caller's record and return its pointer. */
#include <stddef.h>
#include <stdint.h>
#include "ztexport.h"
#include "ztmessage.h"
#include "ztdeviceid.h"
#include "ztdataid.h"
#include "ztmath.h"
#include "ztmisc.h"
#include "zttime.h"

ZTTYPES_BEGIN_DECLS

enum { ZTDATAPACKET_MESSAGE_ID = 0x36 };

/* One sample of a device: its data items (a 0x36 data message), the message it came from when it
 * was converted from the legacy 0x32 form, its device id, packet id and time of arrival. */
typedef struct ZtDataPacket {
  ZtDeviceId deviceId;
  int64_t packetId;        /* negative: none; 0 by default */
  ZtTimeStamp toa;         /* time of arrival, ms */
  ZtMessage message;       /* the 0x36 data message holding the items */
  ZtMessage original;      /* legacy 0x32 source message, empty otherwise */
} ZtDataPacket;

/* Raw sensor readout, all unsigned 16-bit counts: accelerometer, gyroscope, magnetometer, then
 * the sensor temperature and one temperature per gyroscope axis (the last three come from the
 * raw gyroscope temperature item; 0 when the packet has none). */
typedef struct ZtScrData {
  uint16_t acc[3];
  uint16_t gyr[3];
  uint16_t mag[3];
  uint16_t temp[4];
} ZtScrData;

typedef struct ZtCalibratedData {
  double acc[3];
  double gyr[3];
  double mag[3];
} ZtCalibratedData;

/* Roll, pitch, yaw in degrees; the rotation is yaw about z, then pitch about y, then roll about x. */
typedef struct ZtEuler {
  double roll, pitch, yaw;
} ZtEuler;

/* Strapdown increments: orientation increment and velocity increment. */
typedef struct ZtSdiData {
  ZtQuaternion orientationIncrement;
  double velocityIncrement[3];
} ZtSdiData;

typedef struct ZtPressure {
  double pressure;      /* pascal (stored as a whole number) */
  uint8_t pressureAge;  /* samples since the last measurement */
} ZtPressure;

typedef struct ZtGpsPvtData {
  uint16_t pressure;
  uint8_t pressureAge;
  uint32_t itow;
  int32_t latitude;   /* 1e-7 degrees */
  int32_t longitude;  /* 1e-7 degrees */
  int32_t height;     /* mm */
  int32_t velN, velE, velD;
  uint32_t hAcc, vAcc, sAcc;
  uint8_t gpsAge;
} ZtGpsPvtData;

/* Wire order: u32 itow, u8 fixType, u8 flags, i32 x y z (cm), u32 pAcc (cm), i32 vx vy vz (cm/s),
 * u32 sAcc (cm/s), u16 pDop, u8 numSv: 41 bytes. */
typedef struct ZtRawGpsSol {
  uint32_t itow;
  uint8_t fixType;
  uint8_t flags;
  int32_t ecefX, ecefY, ecefZ;
  uint32_t pAcc;
  int32_t ecefVX, ecefVY, ecefVZ;
  uint32_t sAcc;
  uint16_t pDop;
  uint8_t numSv;
} ZtRawGpsSol;

/* Wire order as listed: 12 bytes. */
typedef struct ZtUtcTime {
  uint32_t nano;
  uint16_t year;
  uint8_t month, day, hour, minute, second;
  uint8_t valid;
} ZtUtcTime;

/* A trigger indication of a wireless system: type byte, a second byte, a 32-bit time and the
 * frame number it belongs to. Wire order as listed: 8 bytes. */
typedef struct ZtTriggerIndicationData {
  uint8_t type;
  uint8_t line;
  uint32_t timestamp;
  uint16_t frameNumber;
} ZtTriggerIndicationData;

/* Life cycle. A constructed packet is empty: no message, device id 0, packet id 0, toa 0. */
ZTTYPES_API void ZtDataPacket_construct(ZtDataPacket* p);
ZTTYPES_API void ZtDataPacket_constructCopy(ZtDataPacket* p, const ZtDataPacket* source);
ZTTYPES_API void ZtDataPacket_destruct(ZtDataPacket* p);
/* Deep copy of every field. */
ZTTYPES_API void ZtDataPacket_copy(ZtDataPacket* p, const ZtDataPacket* source);
ZTTYPES_API void ZtDataPacket_swap(ZtDataPacket* a, ZtDataPacket* b);
/* Empty: neither a data message nor an original message. */
ZTTYPES_API int ZtDataPacket_empty(const ZtDataPacket* p);
/* Drops the messages; keeps device id, packet id and toa. */
ZTTYPES_API void ZtDataPacket_clear(ZtDataPacket* p);

/* The packet's items become those of msg (a data message); the original message is cleared. */
ZTTYPES_API void ZtDataPacket_setMessage(ZtDataPacket* p, const ZtMessage* msg);
/* The message to record: the legacy original when there is one, else the data message. */
ZTTYPES_API ZtMessage* ZtDataPacket_originalMessage(const ZtDataPacket* p, ZtMessage* out);
/* Adds every well-formed item of source whose kind target lacks (one orientation form and one
 * status form count as the kind). Returns 1, or 0 when the result would exceed the size limit
 * (target keeps the items added so far). */
ZTTYPES_API int ZtDataPacket_append(ZtDataPacket* target, const ZtDataPacket* source);

/* Payload offset of the value bytes of the first well-formed item with exactly this identifier
 * (an identifier the table does not know matches by identifier only); -1 when there is none. */
ZTTYPES_API int32_t ZtDataPacket_itemOffsetExact(const ZtDataPacket* p, ZtDataIdentifier id);
/* The full identifier of the first well-formed item of the identifier's type, 0 when none. */
ZTTYPES_API ZtDataIdentifier ZtDataPacket_itemIdentifier(const ZtDataPacket* p, ZtDataIdentifier type);
/* Number of items in the payload up to the first truncated one (well-formed or not). */
ZTTYPES_API size_t ZtDataPacket_itemCount(const ZtDataPacket* p);
/* Value size by the floating-point form of bits 0-1 of id: 4, 4, 6, 8. */
ZTTYPES_API size_t ZtDataPacket_getFPValueSize(ZtDataIdentifier id);

/* Counters and time. */
ZTTYPES_API int ZtDataPacket_containsPacketCounter(const ZtDataPacket* p);
ZTTYPES_API uint16_t ZtDataPacket_packetCounter(const ZtDataPacket* p);
ZTTYPES_API int ZtDataPacket_setPacketCounter(ZtDataPacket* p, uint16_t counter);
ZTTYPES_API int ZtDataPacket_containsPacketCounter8(const ZtDataPacket* p);
ZTTYPES_API uint8_t ZtDataPacket_packetCounter8(const ZtDataPacket* p);
ZTTYPES_API int ZtDataPacket_setPacketCounter8(ZtDataPacket* p, uint8_t counter);
ZTTYPES_API int ZtDataPacket_containsSampleTimeFine(const ZtDataPacket* p);
ZTTYPES_API uint32_t ZtDataPacket_sampleTimeFine(const ZtDataPacket* p);
ZTTYPES_API int ZtDataPacket_setSampleTimeFine(ZtDataPacket* p, uint32_t ticks);
ZTTYPES_API int ZtDataPacket_containsSampleTimeCoarse(const ZtDataPacket* p);
ZTTYPES_API uint32_t ZtDataPacket_sampleTimeCoarse(const ZtDataPacket* p);
ZTTYPES_API int ZtDataPacket_setSampleTimeCoarse(ZtDataPacket* p, uint32_t seconds);
/* coarse * 10000 + fine % 10000 (0.1 ms ticks); present when both items are. The setter writes
 * fine = t % 864000000 and coarse = t / 10000. */
ZTTYPES_API int ZtDataPacket_containsSampleTime64(const ZtDataPacket* p);
ZTTYPES_API uint64_t ZtDataPacket_sampleTime64(const ZtDataPacket* p);
ZTTYPES_API int ZtDataPacket_setSampleTime64(ZtDataPacket* p, uint64_t ticks);
ZTTYPES_API int ZtDataPacket_containsUtcTime(const ZtDataPacket* p);
ZTTYPES_API ZtUtcTime* ZtDataPacket_utcTime(const ZtDataPacket* p, ZtUtcTime* out);
ZTTYPES_API int ZtDataPacket_setUtcTime(ZtDataPacket* p, const ZtUtcTime* utc);
ZTTYPES_API int ZtDataPacket_containsFrameRange(const ZtDataPacket* p);
ZTTYPES_API ZtRange* ZtDataPacket_frameRange(const ZtDataPacket* p, ZtRange* out);
ZTTYPES_API int ZtDataPacket_setFrameRange(ZtDataPacket* p, const ZtRange* range);

/* Raw data. */
ZTTYPES_API int ZtDataPacket_containsRawData(const ZtDataPacket* p);
ZTTYPES_API ZtScrData* ZtDataPacket_rawData(const ZtDataPacket* p, ZtScrData* out);
/* Writes the nine sensor counts and temp[0]; temp[1..3] belong to setRawGyroscopeTemperatures. */
ZTTYPES_API int ZtDataPacket_setRawData(ZtDataPacket* p, const ZtScrData* raw);
ZTTYPES_API int ZtDataPacket_containsRawGyroscopeTemperatures(const ZtDataPacket* p);
ZTTYPES_API uint16_t* ZtDataPacket_rawGyroscopeTemperatures(const ZtDataPacket* p, uint16_t out[3]);
ZTTYPES_API int ZtDataPacket_setRawGyroscopeTemperatures(ZtDataPacket* p, const uint16_t temps[3]);

/* Calibrated inertial data (3-vectors). A ZtVector out must be constructed; it is made to hold
 * 3 values (a view must hold at least 3, else null is returned). A vector argument of a setter
 * must hold at least 3 values (else 0 is returned). */
ZTTYPES_API int ZtDataPacket_containsCalibratedData(const ZtDataPacket* p); /* all three */
ZTTYPES_API ZtCalibratedData* ZtDataPacket_calibratedData(const ZtDataPacket* p, ZtCalibratedData* out);
ZTTYPES_API int ZtDataPacket_setCalibratedData(ZtDataPacket* p, const ZtCalibratedData* data);
ZTTYPES_API int ZtDataPacket_containsCalibratedAcceleration(const ZtDataPacket* p);
ZTTYPES_API ZtVector* ZtDataPacket_calibratedAcceleration(const ZtDataPacket* p, ZtVector* out);
ZTTYPES_API int ZtDataPacket_setCalibratedAcceleration(ZtDataPacket* p, const ZtVector* v);
ZTTYPES_API int ZtDataPacket_containsCalibratedRateOfTurn(const ZtDataPacket* p);
ZTTYPES_API ZtVector* ZtDataPacket_calibratedRateOfTurn(const ZtDataPacket* p, ZtVector* out);
ZTTYPES_API int ZtDataPacket_setCalibratedRateOfTurn(ZtDataPacket* p, const ZtVector* v);
ZTTYPES_API int ZtDataPacket_containsCalibratedMagneticField(const ZtDataPacket* p);
ZTTYPES_API ZtVector* ZtDataPacket_calibratedMagneticField(const ZtDataPacket* p, ZtVector* out);
ZTTYPES_API int ZtDataPacket_setCalibratedMagneticField(ZtDataPacket* p, const ZtVector* v);
ZTTYPES_API int ZtDataPacket_containsFreeAcceleration(const ZtDataPacket* p);
ZTTYPES_API ZtVector* ZtDataPacket_freeAcceleration(const ZtDataPacket* p, ZtVector* out);
ZTTYPES_API int ZtDataPacket_setFreeAcceleration(ZtDataPacket* p, const ZtVector* v);

/* Orientation: one of quaternion, rotation matrix (3x3) or Euler angles. Each getter converts
 * from whichever form the packet holds. */
ZTTYPES_API int ZtDataPacket_containsOrientation(const ZtDataPacket* p);
ZTTYPES_API int ZtDataPacket_containsOrientationQuaternion(const ZtDataPacket* p);
ZTTYPES_API int ZtDataPacket_containsOrientationEuler(const ZtDataPacket* p);
ZTTYPES_API int ZtDataPacket_containsOrientationMatrix(const ZtDataPacket* p);
/* The frame code of the orientation item as stored; 0 without orientation. */
ZTTYPES_API int ZtDataPacket_orientationFrame(const ZtDataPacket* p);
ZTTYPES_API ZtQuaternion* ZtDataPacket_orientationQuaternion(const ZtDataPacket* p, int frame, ZtQuaternion* out);
ZTTYPES_API ZtEuler* ZtDataPacket_orientationEuler(const ZtDataPacket* p, int frame, ZtEuler* out);
/* out must be constructed; it is made a 3x3 matrix (a view must be large enough, else null). */
ZTTYPES_API ZtMatrix* ZtDataPacket_orientationMatrix(const ZtDataPacket* p, int frame, ZtMatrix* out);
ZTTYPES_API int ZtDataPacket_setOrientationQuaternion(ZtDataPacket* p, const ZtQuaternion* q, int frame);
ZTTYPES_API int ZtDataPacket_setOrientationEuler(ZtDataPacket* p, const ZtEuler* e, int frame);
ZTTYPES_API int ZtDataPacket_setOrientationMatrix(ZtDataPacket* p, const ZtMatrix* m, int frame);

/* Strapdown increments: both the orientation and the velocity increment. */
ZTTYPES_API int ZtDataPacket_containsSdiData(const ZtDataPacket* p);
ZTTYPES_API ZtSdiData* ZtDataPacket_sdiData(const ZtDataPacket* p, ZtSdiData* out);
ZTTYPES_API int ZtDataPacket_setSdiData(ZtDataPacket* p, const ZtSdiData* sdi);

/* Position (latitude, longitude in degrees, altitude in m) and velocity (m/s). */
ZTTYPES_API int ZtDataPacket_containsPositionLLA(const ZtDataPacket* p);
ZTTYPES_API ZtVector* ZtDataPacket_positionLLA(const ZtDataPacket* p, ZtVector* out);
ZTTYPES_API int ZtDataPacket_setPositionLLA(ZtDataPacket* p, const ZtVector* lla);
ZTTYPES_API int ZtDataPacket_containsVelocity(const ZtDataPacket* p);
ZTTYPES_API int ZtDataPacket_velocityFrame(const ZtDataPacket* p);
ZTTYPES_API ZtVector* ZtDataPacket_velocity(const ZtDataPacket* p, int frame, ZtVector* out);
ZTTYPES_API int ZtDataPacket_setVelocity(ZtDataPacket* p, const ZtVector* v, int frame);

/* Status: the 32-bit word, or the status byte of older devices. status() gives the word when
 * present, else the byte; statusByte() the byte, else the word's low byte. */
ZTTYPES_API int ZtDataPacket_containsStatus(const ZtDataPacket* p);
ZTTYPES_API int ZtDataPacket_containsDetailedStatus(const ZtDataPacket* p);
ZTTYPES_API uint32_t ZtDataPacket_status(const ZtDataPacket* p);
ZTTYPES_API int ZtDataPacket_setStatus(ZtDataPacket* p, uint32_t status);
ZTTYPES_API uint8_t ZtDataPacket_statusByte(const ZtDataPacket* p);
ZTTYPES_API int ZtDataPacket_setStatusByte(ZtDataPacket* p, uint8_t status);

/* Pressure (pascal, rounded to a whole number when written) with its age. */
ZTTYPES_API int ZtDataPacket_containsPressure(const ZtDataPacket* p);
ZTTYPES_API ZtPressure* ZtDataPacket_pressure(const ZtDataPacket* p, ZtPressure* out);
ZTTYPES_API int ZtDataPacket_setPressure(ZtDataPacket* p, const ZtPressure* pressure);

ZTTYPES_API int ZtDataPacket_containsGpsPvtData(const ZtDataPacket* p);
ZTTYPES_API ZtGpsPvtData* ZtDataPacket_gpsPvtData(const ZtDataPacket* p, ZtGpsPvtData* out);
ZTTYPES_API int ZtDataPacket_setGpsPvtData(ZtDataPacket* p, const ZtGpsPvtData* pvt);
ZTTYPES_API int ZtDataPacket_containsRawGpsSol(const ZtDataPacket* p);
ZTTYPES_API ZtRawGpsSol* ZtDataPacket_rawGpsSol(const ZtDataPacket* p, ZtRawGpsSol* out);
ZTTYPES_API int ZtDataPacket_setRawGpsSol(ZtDataPacket* p, const ZtRawGpsSol* sol);

/* Received signal strength in dBm. */
ZTTYPES_API int ZtDataPacket_containsRssi(const ZtDataPacket* p);
ZTTYPES_API int8_t ZtDataPacket_rssi(const ZtDataPacket* p);
ZTTYPES_API int ZtDataPacket_setRssi(ZtDataPacket* p, int8_t rssi);

/* Temperature in degrees Celsius. */
ZTTYPES_API int ZtDataPacket_containsTemperature(const ZtDataPacket* p);
ZTTYPES_API double ZtDataPacket_temperature(const ZtDataPacket* p);
ZTTYPES_API int ZtDataPacket_setTemperature(ZtDataPacket* p, double celsius);

/* Trigger indications under ZDI_TriggerIndication1 or ZDI_TriggerIndication2; other identifiers
 * give 0 / a zeroed record. */
ZTTYPES_API int ZtDataPacket_containsTriggerIndication(const ZtDataPacket* p, ZtDataIdentifier id);
ZTTYPES_API ZtTriggerIndicationData* ZtDataPacket_triggerIndication(const ZtDataPacket* p, ZtDataIdentifier id,
                                                                    ZtTriggerIndicationData* out);
ZTTYPES_API int ZtDataPacket_setTriggerIndication(ZtDataPacket* p, ZtDataIdentifier id,
                                                  const ZtTriggerIndicationData* trigger);

ZTTYPES_END_DECLS
#endif
