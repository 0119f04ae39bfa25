#ifndef ZTTYPES_ZTDATAPACKET_H
#define ZTTYPES_ZTDATAPACKET_H
#include <stdint.h>
#include "ztexport.h"
#include "ztmessage.h"
#include "ztdeviceid.h"
#include "zttime.h"

ZTTYPES_BEGIN_DECLS

/* One sample of a device: its data items (a 0x36 data message), the message it came from when it
 * was converted from the legacy 0x32 form, its device id, packet id and time of arrival. */
typedef struct ZtDataPacket {
  ZtDeviceId deviceId;
  int64_t packetId;        /* negative: none; 0 by default */
  ZtTimeStamp toa;         /* time of arrival, ms */
  ZtMessage message;       /* the 0x36 data message holding the items */
  ZtMessage original;      /* legacy 0x32 source message, empty otherwise */
} ZtDataPacket;

ZTTYPES_API void ZtDataPacket_construct(ZtDataPacket* p);
ZTTYPES_API void ZtDataPacket_destruct(ZtDataPacket* p);
ZTTYPES_API void ZtDataPacket_copy(ZtDataPacket* p, const ZtDataPacket* source);

ZTTYPES_END_DECLS
#endif
