#ifndef ZTTYPES_ZTDEVICEID_H
#define ZTTYPES_ZTDEVICEID_H
/* The 32-bit device id; 0 is the empty id.
 *
 * Bit scheme: bits 0-15 serial number, bits 16-23 the family byte F, bits 24-31 free (part of the
 * serial space; they take no part in any test). The broadcast id 0x80000000 has F = 0.
 *
 * | F                   | family                                  | test                         |
 * |---------------------|-----------------------------------------|------------------------------|
 * | 0x01                | bus master                              | isZbusMaster                 |
 * | 0x02                | wireless station                        | isTovanaStation              |
 * | 0x04                | wireless dongle                         | isTovanaDongle               |
 * | 0x05                | wireless OEM station                    | isTovanaOem                  |
 * | 0x06                | legacy GNSS-aided tracker               | isLegacyKtig (and isKtig)    |
 * | 0x07                | host-filtered tracker                   | isKtix                       |
 * | 0x08                | wireless tracker                        | isKtw                        |
 * | 0x09                | second wireless tracker variant         | isKtx2                       |
 * | 0x10-0x7F           | fourth generation: series S = F >> 4,   | isKtMk4                      |
 * |                     | interface variant V = F & 0x0F          |                              |
 * |   S = 1, 2, 3       |   10-, 20-, 30-series                   | isKtMk4_10 / _20, X0 class   |
 * |   S = 4, 5, 6       |   100-, 200-, 300-series                | isKtMk4_X00, _100 / _200     |
 * |   S = 7             |   700-series (navigation)               | isKtMk4_700 (and isKtig)     |
 * |   V = 3             |   RS-485 interface: (id & 0xF0000) == 0x30000, repeated GotoConfig |
 * |   V = 4             |   with GNSS receiver                    | isKtig                       |
 * | 0xF0, 0xF1          | outside inertial units (0xF00000, 0xF10000): no family, no test    |
 * | anything else       | unknown: every family test is false                                |
 *
 * The families are disjoint, so the classification order of the device factory never has to
 * break a tie. */
#include <stdint.h>
#include "ztexport.h"
#include "ztarray.h"

ZTTYPES_BEGIN_DECLS

typedef uint32_t ZtDeviceId;
ZTARRAY_DECLARE(ZtDeviceIdArray, ZtDeviceId);

#define ZTDEVICEID_BROADCAST ((ZtDeviceId)0x80000000u)

enum {
  ZTDEVICEID_FAMILY_SHIFT = 16,
  ZTDEVICEID_FAMILY_MASK = 0x00FF0000,
  ZTDEVICEID_SERIAL_MASK = 0x0000FFFF,

  ZTDEVICEID_FAMILY_ZBUSMASTER = 0x01,
  ZTDEVICEID_FAMILY_STATION = 0x02,
  ZTDEVICEID_FAMILY_DONGLE = 0x04,
  ZTDEVICEID_FAMILY_OEM = 0x05,
  ZTDEVICEID_FAMILY_LEGACYKTIG = 0x06,
  ZTDEVICEID_FAMILY_KTIX = 0x07,
  ZTDEVICEID_FAMILY_KTW = 0x08,
  ZTDEVICEID_FAMILY_KTX2 = 0x09,
  ZTDEVICEID_FAMILY_IMAR_FSAS = 0xF0,
  ZTDEVICEID_FAMILY_IMAR_IFOG = 0xF1,

  ZTDEVICEID_MK4_SERIES_10 = 1,
  ZTDEVICEID_MK4_SERIES_20 = 2,
  ZTDEVICEID_MK4_SERIES_30 = 3,
  ZTDEVICEID_MK4_SERIES_100 = 4,
  ZTDEVICEID_MK4_SERIES_200 = 5,
  ZTDEVICEID_MK4_SERIES_300 = 6,
  ZTDEVICEID_MK4_SERIES_700 = 7,
  ZTDEVICEID_MK4_VARIANT_RS485 = 3,
  ZTDEVICEID_MK4_VARIANT_GNSS = 4
};

/* The family byte (bits 16-23). */
ZTTYPES_API uint8_t ZtDeviceId_family(ZtDeviceId id);
/* The broadcast id, standing for all devices. */
ZTTYPES_API ZtDeviceId ZtDeviceId_broadcast(void);

ZTTYPES_API int ZtDeviceId_isValid(ZtDeviceId id); /* not 0 */
ZTTYPES_API int ZtDeviceId_isBroadcast(ZtDeviceId id);
ZTTYPES_API int ZtDeviceId_isZbusMaster(ZtDeviceId id);
ZTTYPES_API int ZtDeviceId_isTovanaStation(ZtDeviceId id);
ZTTYPES_API int ZtDeviceId_isTovanaDongle(ZtDeviceId id);
ZTTYPES_API int ZtDeviceId_isTovanaOem(ZtDeviceId id);
ZTTYPES_API int ZtDeviceId_isLegacyKtig(ZtDeviceId id);
/* Every GNSS-aided tracker: legacy, 700-series and fourth-generation GNSS variants. */
ZTTYPES_API int ZtDeviceId_isKtig(ZtDeviceId id);
ZTTYPES_API int ZtDeviceId_isKtix(ZtDeviceId id);
ZTTYPES_API int ZtDeviceId_isKtw(ZtDeviceId id);
ZTTYPES_API int ZtDeviceId_isKtx2(ZtDeviceId id);
ZTTYPES_API int ZtDeviceId_isKtMk4(ZtDeviceId id);
ZTTYPES_API int ZtDeviceId_isKtMk4_700(ZtDeviceId id);
ZTTYPES_API int ZtDeviceId_isKtMk4_X00(ZtDeviceId id); /* 100-, 200- and 300-series */
ZTTYPES_API int ZtDeviceId_isKtMk4_10(ZtDeviceId id);
ZTTYPES_API int ZtDeviceId_isKtMk4_20(ZtDeviceId id);
ZTTYPES_API int ZtDeviceId_isKtMk4_100(ZtDeviceId id);
ZTTYPES_API int ZtDeviceId_isKtMk4_200(ZtDeviceId id);

ZTTYPES_END_DECLS
#endif
