#ifndef ZTTYPES_ZTDEVICEID_H
#define ZTTYPES_ZTDEVICEID_H
#include <stdint.h>
#include "ztexport.h"
#include "ztarray.h"

ZTTYPES_BEGIN_DECLS

/* The 32-bit device id; 0 is the empty id. */
typedef uint32_t ZtDeviceId;
ZTARRAY_DECLARE(ZtDeviceIdArray, ZtDeviceId);

ZTTYPES_API int ZtDeviceId_isValid(ZtDeviceId id);

ZTTYPES_END_DECLS
#endif
