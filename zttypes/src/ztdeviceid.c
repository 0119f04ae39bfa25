#include "zttypes/ztdeviceid.h"

/* The bit scheme is documented in ztdeviceid.h. */

uint8_t ZtDeviceId_family(ZtDeviceId id) { return (uint8_t)((id & ZTDEVICEID_FAMILY_MASK) >> ZTDEVICEID_FAMILY_SHIFT); }

ZtDeviceId ZtDeviceId_broadcast(void) { return ZTDEVICEID_BROADCAST; }

static unsigned mk4Series(ZtDeviceId id) {
  const unsigned f = ZtDeviceId_family(id);
  const unsigned series = f >> 4;
  return (series >= ZTDEVICEID_MK4_SERIES_10 && series <= ZTDEVICEID_MK4_SERIES_700) ? series : 0;
}

static int isFamily(ZtDeviceId id, unsigned family) { return ZtDeviceId_family(id) == family; }

int ZtDeviceId_isValid(ZtDeviceId id) { return id != 0; }
int ZtDeviceId_isBroadcast(ZtDeviceId id) { return id == ZTDEVICEID_BROADCAST; }
int ZtDeviceId_isZbusMaster(ZtDeviceId id) { return isFamily(id, ZTDEVICEID_FAMILY_ZBUSMASTER); }
int ZtDeviceId_isTovanaStation(ZtDeviceId id) { return isFamily(id, ZTDEVICEID_FAMILY_STATION); }
int ZtDeviceId_isTovanaDongle(ZtDeviceId id) { return isFamily(id, ZTDEVICEID_FAMILY_DONGLE); }
int ZtDeviceId_isTovanaOem(ZtDeviceId id) { return isFamily(id, ZTDEVICEID_FAMILY_OEM); }
int ZtDeviceId_isLegacyKtig(ZtDeviceId id) { return isFamily(id, ZTDEVICEID_FAMILY_LEGACYKTIG); }
int ZtDeviceId_isKtix(ZtDeviceId id) { return isFamily(id, ZTDEVICEID_FAMILY_KTIX); }
int ZtDeviceId_isKtw(ZtDeviceId id) { return isFamily(id, ZTDEVICEID_FAMILY_KTW); }
int ZtDeviceId_isKtx2(ZtDeviceId id) { return isFamily(id, ZTDEVICEID_FAMILY_KTX2); }

int ZtDeviceId_isKtMk4(ZtDeviceId id) { return mk4Series(id) != 0; }
int ZtDeviceId_isKtMk4_700(ZtDeviceId id) { return mk4Series(id) == ZTDEVICEID_MK4_SERIES_700; }
int ZtDeviceId_isKtMk4_X00(ZtDeviceId id) {
  const unsigned s = mk4Series(id);
  return s >= ZTDEVICEID_MK4_SERIES_100 && s <= ZTDEVICEID_MK4_SERIES_300;
}
int ZtDeviceId_isKtMk4_10(ZtDeviceId id) { return mk4Series(id) == ZTDEVICEID_MK4_SERIES_10; }
int ZtDeviceId_isKtMk4_20(ZtDeviceId id) { return mk4Series(id) == ZTDEVICEID_MK4_SERIES_20; }
int ZtDeviceId_isKtMk4_100(ZtDeviceId id) { return mk4Series(id) == ZTDEVICEID_MK4_SERIES_100; }
int ZtDeviceId_isKtMk4_200(ZtDeviceId id) { return mk4Series(id) == ZTDEVICEID_MK4_SERIES_200; }

int ZtDeviceId_isKtig(ZtDeviceId id) {
  if (ZtDeviceId_isLegacyKtig(id) || ZtDeviceId_isKtMk4_700(id)) return 1;
  return ZtDeviceId_isKtMk4(id) && (ZtDeviceId_family(id) & 0x0F) == ZTDEVICEID_MK4_VARIANT_GNSS;
}
